// The PLC-to-robot pass: claim the robot input registers, read the PLC
// through the link, convert through the type table, write the robot,
// publish each mapping's state.

#include <chrono>
#include <vector>

#include "exio/fins_data_types.h"
#include "exio/fins_exio_impl.h"
#include "service/logger.h"

namespace {

using RegisterCall = robotio::RegisterCall;

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
  for (const auto& note : notes) {
    const MappingRel& rel = records[note.index];
    const char* name = rel.robotRegister.c_str();
    const char* address = rel.item.address;
    switch (note.kind) {
      case Kind::kNoPlace:
        GW_LOG_AS(
            WARNING, "syncPlcToRobot",
            "Fins mapping %s <---> %s is not read: the PLC family has no such "
            "address, code %d",
            address, name, note.code);
        break;
      case Kind::kRefused:
        GW_LOG_AS(WARNING, "syncPlcToRobot",
                  "Fins mapping %s <---> %s refused by the PLC with end code "
                  "0x%04X; tried alone again every second",
                  address, name, note.code);
        break;
      case Kind::kAccepted:
        GW_LOG_AS(INFO, "syncPlcToRobot",
                  "Fins mapping %s <---> %s accepted by the PLC again", address,
                  name);
        break;
    }
  }
}

}  // namespace

void FinsExIO::Impl::occupyExternlIO(RobotCalls& robot) {
  using Call = ExternIOClient::RegisterCall;
  using Outcome = ExternIOClient::Outcome;
  if (stopping || robot.serviceLost) {
    return;
  }
  std::vector<MappingRel> claiming =
      mappings.copyPlcToRobot([](const MappingRel& rel) {
        return !rel.occupied.load() && rel.registerType >= 0;
      });
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
  robotLink->callRegisters(kRobotOwner, calls);

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
            kRobotOwner, rel.registerType,
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
  mappings.publish(claiming);
}

void FinsExIO::Impl::syncPlcToRobot(RobotCalls& robot) {
  std::vector<MappingRel> work = mappings.copyPlcToRobot();
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
  // The values read, and the read failures, are in the table before the
  // robot sees a value: whoever sees it there then reads the same value
  // from the engine.
  mappings.publish(work);
  // Every robot write of the pass in one batch, with no lock held.
  if (!writes.empty() && !robot.serviceLost) {
    robotLink->callRegisters(kRobotOwner, writes);
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
  mappings.publish(work);
}
