// The robot-to-PLC pass: read the robot output registers, convert through
// the type table, cut runs of gap-free PLC words, write each run through the
// link, publish each mapping's state.

#include <vector>

#include "exio/fins_data_types.h"
#include "exio/fins_exio_impl.h"

void FinsExIO::Impl::syncRobotToPlc(RobotCalls& robot) {
  if (stopping) {
    return;
  }
  // A copy of every group that has something to read: the forced types are
  // read-only and keep their state.
  std::vector<ExternIOClient::RegisterCall> reads;
  std::vector<std::vector<MappingRel>> groups = mappings.copyRobotToPlcGroups(
      [&reads](const std::vector<MappingRel>& group) {
        return queueGroupReads(group, reads);
      });
  // Every robot value of the pass first, in one batch ...
  if (!robot.serviceLost && !reads.empty()) {
    robotLink->callRegisters(kRobotOwner, reads);
  }
  std::vector<PlcRun> runs;
  const ExternIOClient::RegisterCall* answers = reads.data();
  for (std::vector<MappingRel>& group : groups) {
    readGroupFromRobot(group, answers, robot, runs);
    answers += group.size();
  }
  // The values read, and the robot-side failures, are in the table before
  // the PLC sees a value.
  for (const std::vector<MappingRel>& group : groups) {
    mappings.publish(group);
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
  for (const std::vector<MappingRel>& group : groups) {
    mappings.publish(group);
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
