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

// Items per frame of the multiple read, as the library packs them.
constexpr std::size_t kItemsPerFrame = FINS_MULTI_READ_MAX_ITEMS;
// How long an item the PLC refused stays out of the shared read before it
// is tried alone again: often enough to recover by itself within about a
// second, seldom enough to cost next to nothing while it stays refused.
constexpr auto kRefusedRetryPause = std::chrono::seconds(1);
// Refused items tried alone in one pass, at most; many refused items are
// then tried in turn rather than all in one cycle.
constexpr std::size_t kRetriesPerPass = 1;
// The highest masked FINS end code; the library's own codes lie above.
constexpr int kLastPlcEndCode = 0x7F3F;
// An item's outcome while it was not read in this pass.
constexpr int kUnread = -1;

// Whether `code` is about the items asked for rather than about the link:
// the PLC answered with an end code, or the library refused an address
// before anything was sent.
bool refusesItems(int code) {
  return (code > 0 && code <= kLastPlcEndCode) ||
         code == FINS_RETVAL_INVALID_READ_ADDRESS ||
         code == FINS_RETVAL_INVALID_READ_AREA;
}

// Codes the library returns before it sends anything: a bad argument or an
// address it cannot place. It does not count them as failures.
bool isUnsentCode(int code) {
  switch (code) {
    case FINS_RETVAL_NO_WRITE_ADDRESS:
    case FINS_RETVAL_NO_DATA_BLOCK:
    case FINS_RETVAL_INVALID_READ_ADDRESS:
    case FINS_RETVAL_INVALID_WRITE_ADDRESS:
    case FINS_RETVAL_INVALID_READ_AREA:
    case FINS_RETVAL_INVALID_WRITE_AREA:
      return true;
    default:
      return false;
  }
}

// Runs one library exchange on `sys` so that an answer of the PLC, a
// refusal included, leaves the library's count of consecutive failures as
// it was. The library closes the socket when that count runs over its
// limit, to notice a dead link; a PLC that refuses an element over a
// working link would otherwise have the link closed and opened again, and
// the other mappings' traffic with it. A failure of the link is counted
// exactly as the library counts it.
// REQUIRES: connectionMutex held.
template <typename Exchange>
int exchangeCountingLinkFailures(fins_sys_tp* sys, Exchange exchange) {
  if (sys == nullptr) {
    return exchange();
  }
  const int failures = sys->error_count;
  // Counted from zero, one failure cannot run over the limit (a limit of 0
  // aside, which closes at the first failure either way).
  sys->error_count = 0;
  const int code = exchange();
  if (sys->sockfd < 0) {
    return code;  // the library closed the socket, and cleared the count
  }
  if ((code > 0 && code <= kLastPlcEndCode) || isUnsentCode(code)) {
    sys->error_count = failures;
    return code;
  }
  if (sys->error_count > 0) {
    // The library counted a failure of the link: count it on top of the
    // earlier ones, as it would have.
    sys->error_count = failures;
    return check_error_count(sys, code);
  }
  return code;  // a success, or a failure the library does not count
}

// Reads the items of one PLC-to-robot pass with the frames the library
// would send, and when the PLC refuses a frame, searches that frame for the
// item it refuses instead of failing the other items with it: halves are
// read until one item is left (about log2 of the frame's size exchanges),
// then the frame's other items in one more exchange. Each item's outcome
// lands in `codes`: 0 (read), kUnread, or the code that refused it alone.
// REQUIRES: connectionMutex held for the reader's whole life.
class FrameReader {
 public:
  FrameReader(fins_sys_tp* connection, fins_multidata_tp* items, int* codes)
      : connection_(connection), items_(items), codes_(codes) {}

  // Reads items [0, count). Returns 0, or the code of a link failure, which
  // ends the read at once.
  int readAll(std::size_t count) {
    for (std::size_t first = 0; first < count; first += kItemsPerFrame) {
      const std::size_t n = std::min(kItemsPerFrame, count - first);
      const int code =
          finslib_multiple_memory_area_read(connection_, items_ + first, n);
      if (code == FINS_RETVAL_SUCCESS) {
        markRead(first, n);
        continue;
      }
      if (!refusesItems(code)) {
        return code;
      }
      const int failure = searchFrame(first, n, code);
      if (failure != FINS_RETVAL_SUCCESS) {
        return failure;
      }
    }
    return FINS_RETVAL_SUCCESS;
  }

  // Reads item `index` alone. Returns 0, or the code that refused it (also
  // in its outcome), or the code of a link failure.
  int readOne(std::size_t index) {
    const int code =
        finslib_multiple_memory_area_read(connection_, items_ + index, 1);
    if (code == FINS_RETVAL_SUCCESS || refusesItems(code)) {
      codes_[index] = code;
    }
    return code;
  }

 private:
  // Items [first, first + count) were refused as a whole with `code`.
  int searchFrame(std::size_t first, std::size_t count, int code) {
    std::size_t low = first;
    std::size_t size = count;
    bool readAlone = size == 1;  // the suspect's own code is known
    while (size > 1) {
      const std::size_t half = size / 2;
      const int answer = readSearching(items_ + low, half);
      if (answer == FINS_RETVAL_SUCCESS) {
        markRead(low, half);
        low += half;
        size -= half;
        readAlone = false;
      } else if (refusesItems(answer)) {
        size = half;
        code = answer;
        readAlone = half == 1;
      } else {
        return answer;
      }
    }
    if (!readAlone) {
      const int answer = readSearching(items_ + low, 1);
      if (answer == FINS_RETVAL_SUCCESS) {
        // Accepted alone: no single item is to blame this time.
        markRead(low, 1);
        return readRest(first, count);
      }
      if (!refusesItems(answer)) {
        return answer;
      }
      code = answer;
    }
    codes_[low] = code;
    return readRest(first, count);
  }

  // Reads the items of [first, first + count) still unread, in one
  // exchange. Should the PLC refuse that too, they stay unread for this
  // pass: the next pass finds the next refused item.
  int readRest(std::size_t first, std::size_t count) {
    std::vector<std::size_t> rest;
    for (std::size_t i = first; i < first + count; ++i) {
      if (codes_[i] == kUnread) {
        rest.push_back(i);
      }
    }
    if (rest.empty()) {
      return FINS_RETVAL_SUCCESS;
    }
    std::vector<fins_multidata_tp> items;
    items.reserve(rest.size());
    for (std::size_t i : rest) {
      items.push_back(items_[i]);
    }
    const int answer = readSearching(items.data(), items.size());
    if (answer == FINS_RETVAL_SUCCESS) {
      for (std::size_t k = 0; k < rest.size(); ++k) {
        items_[rest[k]] = items[k];
        codes_[rest[k]] = FINS_RETVAL_SUCCESS;
      }
      return FINS_RETVAL_SUCCESS;
    }
    return refusesItems(answer) ? FINS_RETVAL_SUCCESS : answer;
  }

  // One read of the search, which expects refusals: they must not make
  // the library give the link up half way.
  int readSearching(fins_multidata_tp* items, std::size_t count) {
    return exchangeCountingLinkFailures(connection_, [&] {
      return finslib_multiple_memory_area_read(connection_, items, count);
    });
  }

  void markRead(std::size_t first, std::size_t count) {
    std::fill(codes_ + first, codes_ + first + count, FINS_RETVAL_SUCCESS);
  }

  fins_sys_tp* const connection_;
  fins_multidata_tp* const items_;
  int* const codes_;
};

void logReadNotes(const std::vector<FinsExIO::Impl::ReadNote>& notes) {
  using Kind = FinsExIO::Impl::ReadNote::Kind;
  Logger* const logger = Logger::getInstance();
  for (const auto& note : notes) {
    const char* name = note.rel->robotRegister.c_str();
    const char* address = note.rel->item.address;
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
  std::shared_lock<std::shared_timed_mutex> lock(mappingLock);
  if (stopping || robot.serviceLost) {
    return;
  }
  // Every claim of the cycle in one batch; a forced type's two registers
  // stand side by side in it.
  std::vector<MappingRel*> claiming;
  std::vector<Call> calls;
  for (auto& entry : plcToRobotMap) {
    MappingRel& rel = entry.second;
    if (rel.direction != PlcToRobot || rel.occupied.load() ||
        rel.registerType < 0) {
      continue;
    }
    claiming.push_back(&rel);
    calls.push_back(Call::claimInput(rel.registerType, rel.registerIndex));
    if (hasSecondRegister(rel.item.type) && rel.secondRegisterIndex >= 0) {
      calls.push_back(
          Call::claimInput(rel.registerType, rel.secondRegisterIndex));
    }
  }
  if (calls.empty()) {
    return;
  }
  externIOClient.callRegisters(kOwner, calls);

  std::size_t next = 0;
  for (MappingRel* rel : claiming) {
    const Call& first = calls[next++];
    const bool forced = hasSecondRegister(rel->item.type);
    const Call* second = nullptr;
    if (forced && rel->secondRegisterIndex >= 0) {
      second = &calls[next++];
    }
    const bool lost =
        first.outcome == Outcome::kTimedOut ||
        (second != nullptr && second->outcome == Outcome::kTimedOut);
    if (lost) {
      // Whatever the service did with the claim, the next cycle asks again.
      robot.serviceLost = true;
      rel->state.store(MappingServiceDown);
      rel->occupied.store(false);
      continue;
    }
    const bool firstGranted = first.outcome == Outcome::kAnswered;
    const bool secondGranted =
        second != nullptr && second->outcome == Outcome::kAnswered;
    if (!firstGranted || (forced && !secondGranted)) {
      // Half a forced value is no use: give the granted register back.
      if (forced && firstGranted != secondGranted && !robot.serviceLost) {
        externIOClient.releaseInput(
            kOwner, rel->registerType,
            firstGranted ? rel->registerIndex : rel->secondRegisterIndex);
      }
      rel->state.store(MappingClaimRefused);
      rel->occupied.store(false);
      continue;
    }
    rel->occupied.store(true);
    // A mapping refused earlier would otherwise hold its registers and never
    // be exchanged again.
    if (rel->state.load() == MappingClaimRefused) {
      rel->state.store(MappingNew);
    }
  }
}

namespace {

using RegisterCall = ExternIOClient::RegisterCall;


}  // namespace

void FinsExIO::Impl::placePlcToRobotItems(std::vector<ReadNote>& notes) {
  if (connection == nullptr) {
    return;
  }
  const int family = connection->plc_family;
  for (auto& entry : plcToRobotMap) {
    MappingRel& rel = entry.second;
    MappingRel::ReadStanding& standing = rel.standing;
    if (standing.placedFamily == family) {
      continue;
    }
    standing.placedFamily = family;
    standing.refusedCode = 0;
    const int code = readPlacementCode(connection, rel.item);
    if (code != FINS_RETVAL_SUCCESS && code != standing.placementCode) {
      notes.push_back({ReadNote::Kind::kNoPlace, &rel, code});
    }
    standing.placementCode = code;
  }
}

void FinsExIO::Impl::syncPlcToRobot(RobotCalls& robot) {
  std::shared_lock<std::shared_timed_mutex> mappings(mappingLock);
  const auto now = std::chrono::steady_clock::now();

  // The records read in this pass, item i for record i: the shared read's
  // records in table order, then the refused records tried alone.
  std::vector<MappingRel*> records;
  std::vector<fins_multidata_tp> items;
  std::vector<MappingRel*> leftOut;
  std::vector<ReadNote> notes;
  records.reserve(plcToRobotMap.size());
  items.reserve(plcToRobotMap.size());
  int result = FINS_RETVAL_SUCCESS;
  {
    // Only the FINS reads hold the link: a robot service that hangs must
    // not hold up the API's direct PLC access.
    std::lock_guard<std::mutex> link(connectionMutex);
    placePlcToRobotItems(notes);
    std::vector<MappingRel*> retries;
    for (auto& entry : plcToRobotMap) {
      MappingRel& rel = entry.second;
      const MappingRel::ReadStanding& standing = rel.standing;
      if (standing.placementCode != FINS_RETVAL_SUCCESS) {
        leftOut.push_back(&rel);
      } else if (standing.refusedCode != FINS_RETVAL_SUCCESS) {
        if (retries.size() < kRetriesPerPass && now >= standing.retryAt) {
          retries.push_back(&rel);
        } else {
          leftOut.push_back(&rel);
        }
      } else {
        records.push_back(&rel);
        items.push_back(rel.item.toMultidata());
      }
    }
    const std::size_t shared = items.size();
    for (MappingRel* rel : retries) {
      records.push_back(rel);
      items.push_back(rel->item.toMultidata());
    }
    std::vector<int> codes(items.size(), kUnread);
    FrameReader reader(connection, items.data(), codes.data());
    // The lone retries first: the shared read's success then clears the
    // library's failure count that a refusal left.
    for (std::size_t i = shared; i < items.size(); ++i) {
      const int code = reader.readOne(i);
      if (code != FINS_RETVAL_SUCCESS && !refusesItems(code)) {
        result = code;
        break;
      }
    }
    if (result == FINS_RETVAL_SUCCESS) {
      result = reader.readAll(shared);
    }
    for (std::size_t i = 0; i < records.size(); ++i) {
      MappingRel::ReadStanding& standing = records[i]->standing;
      const int code = codes[i];
      if (code == kUnread) {
        continue;
      }
      if (code != FINS_RETVAL_SUCCESS) {
        if (standing.refusedCode == FINS_RETVAL_SUCCESS) {
          notes.push_back({ReadNote::Kind::kRefused, records[i], code});
        }
        standing.refusedCode = code;
        standing.retryAt = now + kRefusedRetryPause;
      } else if (standing.refusedCode != FINS_RETVAL_SUCCESS) {
        standing.refusedCode = FINS_RETVAL_SUCCESS;
        notes.push_back({ReadNote::Kind::kAccepted, records[i], code});
      }
    }
    // `result` now tells only of a link failure, which fails every record
    // read in this pass; refusals are per item.
    if (result == FINS_RETVAL_SUCCESS) {
      for (std::size_t i = 0; i < records.size(); ++i) {
        if (codes[i] != FINS_RETVAL_SUCCESS) {
          // Refused or not reached: shown by its standing, or left as it
          // was for this one pass.
          if (codes[i] != kUnread) {
            leftOut.push_back(records[i]);
          }
          records[i] = nullptr;
        }
      }
    }
  }
  logReadNotes(notes);

  for (MappingRel* rel : leftOut) {
    if (rel->state.load() == MappingClaimRefused) {
      continue;
    }
    const MappingRel::ReadStanding& standing = rel->standing;
    rel->state.store(standing.placementCode != FINS_RETVAL_SUCCESS
                         ? standing.placementCode
                         : standing.refusedCode);
  }
  // The records written to the robot, each with its writes' count, in the
  // order of `writes`.
  struct Writing {
    MappingRel* rel;
    std::size_t count;
  };
  std::vector<Writing> writing;
  std::vector<RegisterCall> writes;
  writing.reserve(records.size());
  writes.reserve(records.size());
  for (std::size_t i = 0; i < records.size(); ++i) {
    MappingRel* const rel = records[i];
    if (rel == nullptr || rel->state.load() == MappingClaimRefused) {
      continue;
    }
    if (result != FINS_RETVAL_SUCCESS) {
      rel->state.store(result);
      continue;
    }
    const fins_multidata_tp& item = items[i];
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
  // Every robot write of the pass in one batch, after the link was let go.
  if (writes.empty()) {
    return;
  }
  if (!robot.serviceLost) {
    externIOClient.callRegisters(kOwner, writes);
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
  if (stopping) {
    return;
  }
  // Every robot value of the pass first, in one batch, without the link
  // held ...
  std::vector<std::vector<MappingRel>*> groups;
  std::vector<ExternIOClient::RegisterCall> reads;
  for (auto& byType : robotToPlcGroups) {
    for (auto& byArea : byType.second) {
      if (queueGroupReads(byArea.second, reads)) {
        groups.push_back(&byArea.second);
      }
    }
  }
  if (!robot.serviceLost && !reads.empty()) {
    externIOClient.callRegisters(kOwner, reads);
  }
  std::vector<PlcRun> runs;
  const ExternIOClient::RegisterCall* answers = reads.data();
  for (std::vector<MappingRel>* group : groups) {
    readGroupFromRobot(*group, answers, robot, runs);
    answers += group->size();
  }
  if (stopping) {
    return;
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

void FinsExIO::Impl::writeRunToPlc(const PlcRun& run) {
  if (run.records.empty()) {
    return;
  }
  const FinsDataType type = run.records.front()->item.type;
  const datatypes::DataTypeRow* row = datatypes::rowOf(type);
  if (row == nullptr || !row->writable()) {
    return;  // read-only or no type: nothing to write, no state to change
  }
  const char* start = run.records.front()->item.address;
  // A run the PLC refuses leaves the others alone: its refusal must not
  // make the library give the link up when the next run is refused too.
  const int result = exchangeCountingLinkFailures(connection, [&] {
    return row->write(connection, start, run.items.data(), run.items.size(),
                      type);
  });
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
  const datatypes::DataTypeRow* row = datatypes::rowOf(type);
  if (row != nullptr) {
    value = row->clientValue(item);
  }
  return code;
}

int FinsExIO::memoryAreaWrite(const std::string& address, FinsDataType type,
                              Value value) {
  std::lock_guard<std::mutex> link(impl_->connectionMutex);
  fins_sys_tp* const connection = impl_->connection;
  const datatypes::DataTypeRow* row = datatypes::rowOf(type);
  if (row == nullptr || !row->writable()) {
    return kNoWriterCode;
  }
  fins_multidata_tp item = {};
  item.type = type;
  row->takeClientValue(value, &item);
  return row->write(connection, address.c_str(), &item, 1, type);
}
