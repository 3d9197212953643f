// The two synchronisation passes and the direct reads and writes of PLC
// memory.

#include <cstring>
#include <mutex>
#include <shared_mutex>

#include "exio/fins_exio_impl.h"

namespace {

// The owner name under which the engine holds robot input registers.
const char kOwner[] = "FINS_EX_IO";

// The code a direct write answers for a type that has no writer (the forced
// types are read-only): the same as for an address no row may write.
constexpr int kNoWriterCode = FINS_RETVAL_INVALID_WRITE_AREA;

bool isForcedType(FinsDataType type) {
  return type == BitForced || type == WordForced;
}

std::uint32_t floatBits(float value) {
  std::uint32_t bits = 0;
  std::memcpy(&bits, &value, sizeof(bits));
  return bits;
}

// A double as the library's 32-bit writer takes it: low 32 bits first, so
// that bits 0..15 land at the lowest PLC address.
void doubleWords(double value, std::uint32_t words[2]) {
  std::uint64_t bits = 0;
  std::memcpy(&bits, &value, sizeof(bits));
  words[0] = static_cast<std::uint32_t>(bits);
  words[1] = static_cast<std::uint32_t>(bits >> 32);
}

// The robot's ints as the writer's element type: the low 16 bits for the
// 16-bit types, the same 32 bits for the unsigned 32-bit ones.
template <typename T>
std::vector<T> narrowed(const std::vector<int>& values) {
  std::vector<T> out;
  out.reserve(values.size());
  for (int value : values) {
    out.push_back(static_cast<T>(value));
  }
  return out;
}

}  // namespace

// --- PLC to robot --------------------------------------------------------------

int FinsExIO::Impl::robotCallState(ExternIOClient::Outcome outcome,
                                   RobotCalls& robot) {
  using Outcome = ExternIOClient::Outcome;
  switch (outcome) {
    case Outcome::kAnswered:
      return MappingGood;
    case Outcome::kRejected:
    case Outcome::kFault:
      return MappingRobotCallFailed;
    case Outcome::kTimedOut:
      robot.serviceLost = true;
      return MappingServiceDown;
    case Outcome::kNoAnswer:
      break;
  }
  return MappingServiceDown;
}

void FinsExIO::Impl::occupyExternlIO(RobotCalls& robot) {
  std::shared_lock<std::shared_timed_mutex> lock(mappingLock);
  for (auto& entry : plcToRobotMap) {
    MappingRel& rel = entry.second;
    if (stopping || robot.serviceLost) {
      return;
    }
    if (rel.direction != PlcToRobot || rel.occupied.load() ||
        rel.registerType < 0) {
      continue;
    }
    if (!externIOClient.occupyInput(kOwner, rel.registerType,
                                    rel.registerIndex)) {
      rel.state.store(MappingClaimRefused);
      rel.occupied.store(false);
      continue;
    }
    if (isForcedType(rel.item.type)) {
      const bool secondClaimed =
          rel.secondRegisterIndex >= 0 &&
          externIOClient.occupyInput(kOwner, rel.registerType,
                                     rel.secondRegisterIndex);
      if (!secondClaimed) {
        // Half a forced value is no use: give the first register back.
        externIOClient.releaseInput(kOwner, rel.registerType,
                                    rel.registerIndex);
        rel.state.store(MappingClaimRefused);
        rel.occupied.store(false);
        continue;
      }
    }
    rel.occupied.store(true);
    // A mapping refused earlier would otherwise hold its registers and never
    // be exchanged again.
    if (rel.state.load() == MappingClaimRefused) {
      rel.state.store(MappingNew);
    }
  }
}

int FinsExIO::Impl::writeToRobot(const MappingRel& rel,
                                 const fins_multidata_tp& item,
                                 RobotCalls& robot) {
  const int index = rel.registerIndex;
  const int second = rel.secondRegisterIndex;
  // The state of the first write that failed; a forced value's second
  // register is not written once its first failed.
  auto call = [&](auto write) {
    if (robot.serviceLost) {
      return static_cast<int>(MappingServiceDown);
    }
    return robotCallState(write(), robot);
  };
  auto writeInt = [&](int i, int value) {
    return call([&] { return externIOClient.writeInputInt(kOwner, i, value); });
  };
  auto writeBool = [&](int i, bool value) {
    return call(
        [&] { return externIOClient.writeInputBool(kOwner, i, value); });
  };
  auto writeDouble = [&](int i, double value) {
    return call(
        [&] { return externIOClient.writeInputDouble(kOwner, i, value); });
  };
  switch (rel.item.type) {
    case Int16:
    case SBCD16_0:
    case SBCD16_1:
    case SBCD16_2:
    case SBCD16_3:
      return writeInt(index, item.value.int16);
    case Uint16:
    case BCD16:
      return writeInt(index, item.value.uint16);
    case Int32:
    case BCD32:
    case SBCD32_0:
    case SBCD32_1:
    case SBCD32_2:
    case SBCD32_3:
      return writeInt(index, item.value.int32);
    case Uint32:
      // The robot's int register takes the same 32 bits; values from 2^31
      // up arrive negative.
      return writeInt(index, static_cast<int>(item.value.uint32));
    case Float:
      return writeDouble(index, item.value.float32);
    case Double:
      return writeDouble(index, item.value.float64);
    case Bit:
      return writeBool(index, item.value.bit.value != 0);
    case BitForced: {
      const int state = writeBool(index, item.value.bit.value != 0);
      return state != MappingGood ? state
                                  : writeBool(second, item.value.bit.forced != 0);
    }
    case WordForced: {
      const int state = writeInt(index, item.value.word.first);
      return state != MappingGood ? state
                                  : writeInt(second, item.value.word.second);
    }
  }
  return MappingRobotCallFailed;
}

void FinsExIO::Impl::syncPlcToRobot(RobotCalls& robot) {
  std::shared_lock<std::shared_timed_mutex> mappings(mappingLock);

  std::vector<fins_multidata_tp> batch;
  batch.reserve(plcToRobotMap.size());
  for (const auto& entry : plcToRobotMap) {
    batch.push_back(entry.second.item.toMultidata());
  }
  int result = 0;
  {
    // Only the FINS read holds the link: a robot service that hangs must not
    // hold up the API's direct PLC access.
    std::lock_guard<std::mutex> link(connectionMutex);
    result = finslib_multiple_memory_area_read(connection, batch.data(),
                                               batch.size());
  }

  std::size_t i = 0;
  for (auto& entry : plcToRobotMap) {
    MappingRel& rel = entry.second;
    const fins_multidata_tp& item = batch[i++];
    if (rel.state.load() == MappingClaimRefused) {
      continue;
    }
    if (result != FINS_RETVAL_SUCCESS) {
      rel.state.store(result);
      continue;
    }
    // The value before the state: a direct read that sees the good state
    // then sees this value.
    rel.item.keepValue(item);
    if (stopping) {
      continue;
    }
    rel.state.store(writeToRobot(rel, item, robot));
  }
}

int FinsExIO::Impl::getPlcToRobotValue(const std::string& address,
                                       FinsDataType type,
                                       fins_multidata_tp& out) {
  // A longer text cannot be held by the item; cut short it could read a
  // different address.
  if (address.size() > MappingItem::kMaxAddressLength) {
    return FINS_RETVAL_INVALID_READ_ADDRESS;
  }
  std::shared_lock<std::shared_timed_mutex> mappings(mappingLock);
  for (const auto& entry : plcToRobotMap) {
    const MappingRel& rel = entry.second;
    // The kept bytes mean something only as the mapping's own type.
    if (rel.item.type == type && address == rel.item.address) {
      const int state = rel.state.load();
      out = rel.item.toMultidata();
      return state;
    }
  }
  std::lock_guard<std::mutex> link(connectionMutex);
  std::memcpy(out.address, address.c_str(), address.size() + 1);
  out.type = type;
  return finslib_multiple_memory_area_read(connection, &out, 1);
}

// --- Robot to PLC --------------------------------------------------------------

void FinsExIO::Impl::syncRobotToPlc(RobotCalls& robot) {
  std::shared_lock<std::shared_timed_mutex> mappings(mappingLock);
  // Every robot value of the pass first, without the link held ...
  std::vector<PlcRun> runs;
  for (auto& byType : robotToPlcGroups) {
    for (auto& byArea : byType.second) {
      if (stopping) {
        return;
      }
      if (!byArea.second.empty()) {
        readGroupFromRobot(byArea.second, robot, runs);
      }
    }
  }
  // ... then the FINS writes, each run whole or not at all.
  std::lock_guard<std::mutex> link(connectionMutex);
  for (const PlcRun& run : runs) {
    writeRunToPlc(run);
  }
}

namespace {

// Whether `rel` takes up the PLC memory right after `last` in its group:
// the next word for the word types, the next bit (bit 15 carrying into the
// next word) for Bit.
bool followsInPlc(const MappingRel& last, const MappingRel& rel) {
  const fins_address_tp& a = last.decodedAddress;
  const fins_address_tp& b = rel.decodedAddress;
  if (rel.item.type != Bit) {
    return b.word == a.word + static_cast<std::uint32_t>(last.addressStep);
  }
  return (b.word == a.word && b.bit == a.bit + 1) ||
         (b.bit == 0 && a.bit == 15 && b.word == a.word + 1);
}

}  // namespace

void FinsExIO::Impl::readGroupFromRobot(std::vector<MappingRel>& group,
                                        RobotCalls& robot,
                                        std::vector<PlcRun>& runs) {
  const FinsDataType type = group.front().item.type;
  if (isForcedType(type) || finsTypeConvert(type) < 0) {
    // The forced types are read-only and keep their state.
    return;
  }
  const bool fromDoubles = type == Float || type == Double;
  const MappingRel* last = nullptr;  // the last record placed in a run
  for (MappingRel& rel : group) {
    if (stopping) {
      return;
    }
    int value = 0;
    double real = 0.0;
    int state = MappingServiceDown;
    if (!robot.serviceLost) {
      ExternIOClient::Outcome outcome;
      if (type == Bit) {
        bool on = false;
        outcome = externIOClient.readOutputBool(rel.registerIndex, &on);
        value = on ? 1 : 0;
      } else if (fromDoubles) {
        outcome = externIOClient.readOutputDouble(rel.registerIndex, &real);
      } else {
        outcome = externIOClient.readOutputInt(rel.registerIndex, &value);
      }
      state = robotCallState(outcome, robot);
    }
    if (state != MappingGood) {
      // Not written: the PLC keeps its last value, and the run is cut here.
      rel.state.store(state);
      last = nullptr;
      continue;
    }
    if (last == nullptr || !followsInPlc(*last, rel)) {
      runs.emplace_back();
    }
    PlcRun& run = runs.back();
    run.records.push_back(&rel);
    if (fromDoubles) {
      run.doubles.push_back(real);
    } else {
      run.ints.push_back(value);
    }
    if (type == Bit) {
      fins_multidata_tp kept = {};
      kept.value.bit.value = static_cast<std::uint8_t>(value);
      rel.item.keepValue(kept);
    }
    last = &rel;
  }
}

void FinsExIO::Impl::writeRunToPlc(const PlcRun& run) {
  if (run.records.empty()) {
    return;
  }
  const FinsDataType type = run.records.front()->item.type;
  const std::vector<int>& ints = run.ints;
  const char* start = run.records.front()->item.address;
  const std::size_t count = run.records.size();
  int result = 0;
  switch (type) {
    case Bit: {
      const std::vector<std::uint8_t> bits = narrowed<std::uint8_t>(ints);
      result = finslib_memory_area_write_bit(connection, start, bits.data(),
                                             bits.size());
      break;
    }
    case Int16:
      result = finslib_memory_area_write_int16(
          connection, start, narrowed<std::int16_t>(ints).data(), count);
      break;
    case SBCD16_0:
    case SBCD16_1:
    case SBCD16_2:
    case SBCD16_3:
      result = finslib_memory_area_write_sbcd16(
          connection, start, narrowed<std::int16_t>(ints).data(), count, type);
      break;
    case Uint16:
      result = finslib_memory_area_write_uint16(
          connection, start, narrowed<std::uint16_t>(ints).data(), count);
      break;
    case BCD16:
      result = finslib_memory_area_write_bcd16(
          connection, start, narrowed<std::uint16_t>(ints).data(), count);
      break;
    case Int32:
      result = finslib_memory_area_write_int32(
          connection, start, narrowed<std::int32_t>(ints).data(), count);
      break;
    case SBCD32_0:
    case SBCD32_1:
    case SBCD32_2:
    case SBCD32_3:
      result = finslib_memory_area_write_sbcd32(
          connection, start, narrowed<std::int32_t>(ints).data(), count, type);
      break;
    case Uint32:
      result = finslib_memory_area_write_uint32(
          connection, start, narrowed<std::uint32_t>(ints).data(), count);
      break;
    case BCD32:
      result = finslib_memory_area_write_bcd32(
          connection, start, narrowed<std::uint32_t>(ints).data(), count);
      break;
    case Float: {
      std::vector<std::uint32_t> words;
      words.reserve(count);
      for (double value : run.doubles) {
        words.push_back(floatBits(static_cast<float>(value)));
      }
      result = finslib_memory_area_write_uint32(connection, start,
                                                words.data(), count);
      break;
    }
    case Double: {
      std::vector<std::uint32_t> words(2 * count);
      for (std::size_t i = 0; i < count; ++i) {
        doubleWords(run.doubles[i], &words[2 * i]);
      }
      result = finslib_memory_area_write_uint32(connection, start,
                                                words.data(), 2 * count);
      break;
    }
    default:
      return;
  }
  for (MappingRel* rel : run.records) {
    rel->state.store(result);
  }
}

void FinsExIO::Impl::markServiceDown() {
  for (auto& entry : robotToPlcIndex) {
    entry.second->state.store(MappingServiceDown);
    entry.second->occupied.store(false);
  }
  for (auto& entry : plcToRobotMap) {
    entry.second.state.store(MappingServiceDown);
    entry.second.occupied.store(false);
  }
}

// --- Direct access ---------------------------------------------------------------

int FinsExIO::memoryAreaReadInternal(const std::string& address,
                                     FinsDataType type, Value& value) {
  fins_multidata_tp item = {};
  const int code = impl_->getPlcToRobotValue(address, type, item);
  if (code != FINS_RETVAL_SUCCESS) {
    item = fins_multidata_tp{};
  }
  switch (type) {
    case Int16:
    case SBCD16_0:
    case SBCD16_1:
    case SBCD16_2:
    case SBCD16_3:
      value = static_cast<short>(item.value.int16);
      break;
    case Uint16:
    case BCD16:
      value = static_cast<unsigned short>(item.value.uint16);
      break;
    case Int32:
    case SBCD32_0:
    case SBCD32_1:
    case SBCD32_2:
    case SBCD32_3:
      value = static_cast<int>(item.value.int32);
      break;
    case Uint32:
    case BCD32:
      value = static_cast<unsigned int>(item.value.uint32);
      break;
    case Float:
      value = item.value.float32;
      break;
    case Double:
      value = item.value.float64;
      break;
    case Bit:
      value = item.value.bit.value != 0;
      break;
    case BitForced:
      value = BitForce{item.value.bit.value != 0, item.value.bit.forced != 0};
      break;
    case WordForced:
      value = WordForce{item.value.word.first != 0,
                        item.value.word.second != 0};
      break;
  }
  return code;
}

int FinsExIO::memoryAreaWrite(const std::string& address, FinsDataType type,
                              Value value) {
  std::lock_guard<std::mutex> link(impl_->connectionMutex);
  fins_sys_tp* const connection = impl_->connection;
  const char* const start = address.c_str();
  switch (type) {
    case Int16: {
      const std::int16_t v = boost::get<short>(value);
      return finslib_memory_area_write_int16(connection, start, &v, 1);
    }
    case Int32: {
      const std::int32_t v = boost::get<int>(value);
      return finslib_memory_area_write_int32(connection, start, &v, 1);
    }
    case Uint16: {
      const std::uint16_t v = boost::get<unsigned short>(value);
      return finslib_memory_area_write_uint16(connection, start, &v, 1);
    }
    case Uint32: {
      const std::uint32_t v = boost::get<unsigned int>(value);
      return finslib_memory_area_write_uint32(connection, start, &v, 1);
    }
    case BCD16: {
      const std::uint16_t v = boost::get<unsigned short>(value);
      return finslib_memory_area_write_bcd16(connection, start, &v, 1);
    }
    case BCD32: {
      const std::uint32_t v = boost::get<unsigned int>(value);
      return finslib_memory_area_write_bcd32(connection, start, &v, 1);
    }
    case SBCD16_0:
    case SBCD16_1:
    case SBCD16_2:
    case SBCD16_3: {
      const std::int16_t v = boost::get<short>(value);
      return finslib_memory_area_write_sbcd16(connection, start, &v, 1, type);
    }
    case SBCD32_0:
    case SBCD32_1:
    case SBCD32_2:
    case SBCD32_3: {
      const std::int32_t v = boost::get<int>(value);
      return finslib_memory_area_write_sbcd32(connection, start, &v, 1, type);
    }
    case Float: {
      const std::uint32_t bits = floatBits(boost::get<float>(value));
      return finslib_memory_area_write_uint32(connection, start, &bits, 1);
    }
    case Double: {
      std::uint32_t words[2];
      doubleWords(boost::get<double>(value), words);
      return finslib_memory_area_write_uint32(connection, start, words, 2);
    }
    case Bit: {
      const std::uint8_t v = boost::get<bool>(value) ? 1 : 0;
      return finslib_memory_area_write_bit(connection, start, &v, 1);
    }
    default:
      return kNoWriterCode;
  }
}
