// The two synchronisation passes and the direct reads and writes of PLC
// memory.

#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>
#include <shared_mutex>

#include "exio/fins_data_types.h"
#include "exio/fins_exio_impl.h"
#include "service/logger.h"

namespace {

// The owner name under which the engine holds robot input registers.
const char kOwner[] = "FINS_EX_IO";

// The code a direct write answers for a type that has no writer (the forced
// types are read-only): the same as for an address no row may write.
constexpr int kNoWriterCode = FINS_RETVAL_INVALID_WRITE_AREA;

// A value and its forced status go to two robot registers.
bool hasSecondRegister(FinsDataType type) {
  const datatypes::DataTypeRow* row = datatypes::rowOf(type);
  return row != nullptr && row->robotRegisters == 2;
}

// Logs the changes of the items' standing that a read pass found;
// `records` holds the pass's records in the order of its reads.
void logReadNotes(const std::vector<PlcLink::ReadNote>& notes,
                  const std::vector<MappingRel>& records) {
  using Kind = PlcLink::ReadNote::Kind;
  Logger* const logger = Logger::getInstance();
  for (const auto& note : notes) {
    const MappingRel& rel = records[note.index];
    const char* name = rel.robotRegister.c_str();
    const char* address = rel.item.address;
    switch (note.kind) {
      case Kind::kNoPlace:
        logger->log<Logger::WARNING>(
            "Fins mapping %s <---> %s is not read: the PLC family has no such "
            "address, code %d",
            "syncPlcToRobot", __LINE__, address, name, note.code);
        break;
      case Kind::kRefused:
        logger->log<Logger::WARNING>(
            "Fins mapping %s <---> %s refused by the PLC with end code "
            "0x%04X; tried alone again every second",
            "syncPlcToRobot", __LINE__, address, name, note.code);
        break;
      case Kind::kAccepted:
        logger->log<Logger::INFO>(
            "Fins mapping %s <---> %s accepted by the PLC again",
            "syncPlcToRobot", __LINE__, address, name);
        break;
    }
  }
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
  using Call = ExternIOClient::RegisterCall;
  using Outcome = ExternIOClient::Outcome;
  if (stopping || robot.serviceLost) {
    return;
  }
  std::vector<MappingRel> claiming;
  {
    std::shared_lock<std::shared_timed_mutex> lock(mappingLock);
    for (const auto& entry : plcToRobotMap) {
      const MappingRel& rel = entry.second;
      if (rel.direction == PlcToRobot && !rel.occupied.load() &&
          rel.registerType >= 0) {
        claiming.push_back(rel);
      }
    }
  }
  // Every claim of the cycle in one batch; a forced type's two registers
  // stand side by side in it.
  std::vector<Call> calls;
  for (const MappingRel& rel : claiming) {
    calls.push_back(Call::claimInput(rel.registerType, rel.registerIndex));
    if (hasSecondRegister(rel.item.type) && rel.secondRegisterIndex >= 0) {
      calls.push_back(
          Call::claimInput(rel.registerType, rel.secondRegisterIndex));
    }
  }
  if (calls.empty()) {
    return;
  }
  robotLink->callRegisters(kOwner, calls);

  std::size_t next = 0;
  for (MappingRel& rel : claiming) {
    const Call& first = calls[next++];
    const bool forced = hasSecondRegister(rel.item.type);
    const Call* second = nullptr;
    if (forced && rel.secondRegisterIndex >= 0) {
      second = &calls[next++];
    }
    const bool lost =
        first.outcome == Outcome::kTimedOut ||
        (second != nullptr && second->outcome == Outcome::kTimedOut);
    if (lost) {
      // Whatever the service did with the claim, the next cycle asks again.
      robot.serviceLost = true;
      rel.state.store(MappingServiceDown);
      rel.occupied.store(false);
      continue;
    }
    const bool firstGranted = first.outcome == Outcome::kAnswered;
    const bool secondGranted =
        second != nullptr && second->outcome == Outcome::kAnswered;
    if (!firstGranted || (forced && !secondGranted)) {
      // Half a forced value is no use: give the granted register back.
      if (forced && firstGranted != secondGranted && !robot.serviceLost) {
        robotLink->releaseInput(
            kOwner, rel.registerType,
            firstGranted ? rel.registerIndex : rel.secondRegisterIndex);
      }
      rel.state.store(MappingClaimRefused);
      rel.occupied.store(false);
      continue;
    }
    rel.occupied.store(true);
    // A mapping refused earlier would otherwise hold its registers and never
    // be exchanged again.
    if (rel.state.load() == MappingClaimRefused) {
      rel.state.store(MappingNew);
    }
  }
  publish(claiming);
}

namespace {

using RegisterCall = ExternIOClient::RegisterCall;

}  // namespace

void FinsExIO::Impl::syncPlcToRobot(RobotCalls& robot) {
  std::vector<MappingRel> work;
  {
    std::shared_lock<std::shared_timed_mutex> mappings(mappingLock);
    work.reserve(plcToRobotMap.size());
    for (const auto& entry : plcToRobotMap) work.push_back(entry.second);
  }
  // Every record's item goes to the link, which reads those it can in as
  // few frames as it may and tells what became of each.
  std::vector<PlcLink::ItemRead> reads(work.size());
  for (std::size_t i = 0; i < work.size(); ++i) {
    reads[i].item = work[i].item.toMultidata();
    reads[i].standing = &work[i].standing;
  }
  std::vector<PlcLink::ReadNote> notes;
  plc.readPass(reads, std::chrono::steady_clock::now(), notes);
  logReadNotes(notes, work);

  // The records written to the robot, each with its writes' count, in the
  // order of `writes`.
  struct Writing {
    MappingRel* rel;
    std::size_t count;
  };
  std::vector<Writing> writing;
  std::vector<RegisterCall> writes;
  writing.reserve(work.size());
  writes.reserve(work.size());
  for (std::size_t i = 0; i < work.size(); ++i) {
    MappingRel* const rel = &work[i];
    const int outcome = reads[i].outcome;
    // Not reached in this pass: shown as it was. A claim refused is shown
    // whatever the read did.
    if (outcome == PlcLink::kNotRead ||
        rel->state.load() == MappingClaimRefused) {
      continue;
    }
    if (outcome != FINS_RETVAL_SUCCESS) {
      rel->state.store(outcome);
      continue;
    }
    const fins_multidata_tp& item = reads[i].item;
    // The value before the state: a direct read that sees the good state
    // then sees this value.
    rel->item.keepValue(item);
    if (stopping) {
      continue;
    }
    const datatypes::DataTypeRow* row = datatypes::rowOf(rel->item.type);
    const std::size_t count =
        row == nullptr ? 0
                       : row->appendRobotWrites(item, rel->registerIndex,
                                                rel->secondRegisterIndex,
                                                writes);
    if (count == 0) {
      rel->state.store(MappingRobotCallFailed);
      continue;
    }
    writing.push_back({rel, count});
  }
  // Every robot write of the pass in one batch, with no lock held.
  if (!writes.empty() && !robot.serviceLost) {
    robotLink->callRegisters(kOwner, writes);
  }
  std::size_t next = 0;
  for (const Writing& w : writing) {
    int state = MappingGood;
    for (std::size_t k = 0; k < w.count; ++k, ++next) {
      // Unsent (the service was lost before) they stay kNoAnswer, which
      // is the service-down state.
      const int callState = robotCallState(writes[next].outcome, robot);
      if (state == MappingGood) {
        state = callState;
      }
    }
    w.rel->state.store(state);
  }
  publish(work);
}

int FinsExIO::Impl::getPlcToRobotValue(const std::string& address,
                                       FinsDataType type,
                                       fins_multidata_tp& out) {
  // A longer text cannot be held by the item; cut short it could read a
  // different address.
  if (address.size() > MappingItem::kMaxAddressLength) {
    return FINS_RETVAL_INVALID_READ_ADDRESS;
  }
  {
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
  }
  std::memcpy(out.address, address.c_str(), address.size() + 1);
  out.type = type;
  return plc.readItem(out);
}

// --- Robot to PLC --------------------------------------------------------------

void FinsExIO::Impl::syncRobotToPlc(RobotCalls& robot) {
  if (stopping) {
    return;
  }
  // A copy of every group that has something to read: the forced types are
  // read-only and keep their state.
  std::vector<std::vector<MappingRel>> groups;
  std::vector<ExternIOClient::RegisterCall> reads;
  {
    std::shared_lock<std::shared_timed_mutex> mappings(mappingLock);
    for (const auto& byType : robotToPlcGroups) {
      for (const auto& byArea : byType.second) {
        if (queueGroupReads(byArea.second, reads)) {
          groups.push_back(byArea.second);
        }
      }
    }
  }
  // Every robot value of the pass first, in one batch ...
  if (!robot.serviceLost && !reads.empty()) {
    robotLink->callRegisters(kOwner, reads);
  }
  std::vector<PlcRun> runs;
  const ExternIOClient::RegisterCall* answers = reads.data();
  for (std::vector<MappingRel>& group : groups) {
    readGroupFromRobot(group, answers, robot, runs);
    answers += group.size();
  }
  // ... then the FINS writes, each run whole or not at all.
  if (!stopping) {
    std::vector<PlcLink::RunWrite> writes;
    writes.reserve(runs.size());
    for (const PlcRun& run : runs) {
      const MappingRel& first = *run.records.front();
      writes.push_back({first.item.address, first.item.type,
                        run.items.data(), run.items.size(), 0});
    }
    plc.writeRuns(writes);
    for (std::size_t i = 0; i < runs.size(); ++i) {
      for (MappingRel* rel : runs[i].records) {
        rel->state.store(writes[i].code);
      }
    }
  }
  std::shared_lock<std::shared_timed_mutex> mappings(mappingLock);
  for (const std::vector<MappingRel>& group : groups) {
    publishLocked(group);
  }
}

void FinsExIO::Impl::publish(const std::vector<MappingRel>& work) {
  std::shared_lock<std::shared_timed_mutex> mappings(mappingLock);
  publishLocked(work);
}

void FinsExIO::Impl::publishLocked(const std::vector<MappingRel>& work) {
  for (const MappingRel& done : work) {
    MappingRel* live = nullptr;
    if (done.direction == PlcToRobot) {
      const auto found = plcToRobotMap.find(done.robotRegister);
      if (found != plcToRobotMap.end()) live = &found->second;
    } else {
      const auto found = robotToPlcIndex.find(done.robotRegister);
      if (found != robotToPlcIndex.end()) live = found->second;
    }
    // Removed or replaced while the pass worked: its outcome is about a
    // mapping that is gone.
    if (live == nullptr || live->id != done.id) {
      continue;
    }
    live->standing = done.standing;
    // The value before the state: a direct read that sees the good state
    // then sees this value.
    live->item.value.store(done.item.value.load());
    live->occupied.store(done.occupied.load());
    live->state.store(done.state.load());
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

bool FinsExIO::Impl::queueGroupReads(
    const std::vector<MappingRel>& group,
    std::vector<ExternIOClient::RegisterCall>& reads) {
  if (group.empty()) {
    return false;
  }
  const datatypes::DataTypeRow* row =
      datatypes::rowOf(group.front().item.type);
  if (row == nullptr || !row->writable()) {
    // The forced types are read-only and keep their state.
    return false;
  }
  for (const MappingRel& rel : group) {
    reads.push_back(row->robotRead(rel.registerIndex));
  }
  return true;
}

void FinsExIO::Impl::readGroupFromRobot(
    std::vector<MappingRel>& group,
    const ExternIOClient::RegisterCall* answers, RobotCalls& robot,
    std::vector<PlcRun>& runs) {
  const datatypes::DataTypeRow* row =
      datatypes::rowOf(group.front().item.type);
  const MappingRel* last = nullptr;  // the last record placed in a run
  for (std::size_t i = 0; i < group.size(); ++i) {
    MappingRel& rel = group[i];
    const ExternIOClient::RegisterCall& answer = answers[i];
    // Unsent (the service was lost before) it stays kNoAnswer, which is
    // the service-down state.
    const int state = robotCallState(answer.outcome, robot);
    if (state != MappingGood) {
      // Not written: the PLC keeps its last value, and the run is cut here.
      rel.state.store(state);
      last = nullptr;
      continue;
    }
    fins_multidata_tp item = {};
    item.type = rel.item.type;
    row->takeRobotValue(answer, &item);
    if (last == nullptr || !followsInPlc(*last, rel)) {
      runs.emplace_back();
    }
    PlcRun& run = runs.back();
    run.records.push_back(&rel);
    run.items.push_back(item);
    // The value last exchanged, for the diagnostics.
    rel.item.keepValue(item);
    last = &rel;
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
  const datatypes::DataTypeRow* row = datatypes::rowOf(type);
  if (row != nullptr) {
    value = row->clientValue(item);
  }
  return code;
}

int FinsExIO::memoryAreaWrite(const std::string& address, FinsDataType type,
                              Value value) {
  const datatypes::DataTypeRow* row = datatypes::rowOf(type);
  if (row == nullptr || !row->writable()) {
    return kNoWriterCode;
  }
  fins_multidata_tp item = {};
  item.type = type;
  row->takeClientValue(value, &item);
  return impl_->plc.writeItem(address, type, item);
}
