// The mapping table: adding, removing and inspecting mappings, keeping the
// RobotToPlc mappings in groups sorted by PLC address, and the copies the
// passes work on.

#include "exio/mapping_table.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <mutex>

#include "service/logger.h"

fins_multidata_tp MappingItem::toMultidata() const {
  fins_multidata_tp out = {};
  std::memcpy(out.address, address, sizeof(out.address));
  out.type = type;
  const std::uint64_t bytes = value.load();
  std::memcpy(&out.value, &bytes, sizeof(bytes));
  return out;
}

void MappingItem::keepValue(const fins_multidata_tp& from) {
  std::uint64_t bytes = 0;
  std::memcpy(&bytes, &from.value, sizeof(bytes));
  value.store(bytes);
}

void MappingTable::add(MappingRel rel) {
  gw::WriterLock lock(mappingLock);
  rel.id = nextId_++;
  if (rel.direction != FinsExIO::PlcToRobot) {
    addRobotToPlcMapping(rel.robotRegister, rel);
  } else {
    plcToRobotMap[rel.robotRegister] = rel;
  }
}

bool MappingTable::remove(const std::string& name) {
  gw::WriterLock lock(mappingLock);
  auto plcToRobot = plcToRobotMap.find(name);
  if (plcToRobot != plcToRobotMap.end()) {
    GW_LOG_AS(INFO, "removeMapping", "Fins remove mapping %s ", name.c_str());
    plcToRobotMap.erase(plcToRobot);
    return true;
  }
  if (robotToPlcIndex.count(name) != 0) {
    GW_LOG_AS(INFO, "removeMapping", "Fins remove mapping %s ", name.c_str());
    removeRobotToPlcMapping(name);
    return true;
  }
  return false;
}

std::int32_t MappingTable::state(const std::string& name) {
  gw::ReaderLock lock(mappingLock);
  auto plcToRobot = plcToRobotMap.find(name);
  if (plcToRobot != plcToRobotMap.end()) {
    return plcToRobot->second.state.load();
  }
  auto robotToPlc = robotToPlcIndex.find(name);
  if (robotToPlc != robotToPlcIndex.end()) {
    return robotToPlc->second->state.load();
  }
  return FinsExIO::MappingNotFound;
}

std::int32_t MappingTable::direction(const std::string& name) {
  gw::ReaderLock lock(mappingLock);
  auto plcToRobot = plcToRobotMap.find(name);
  if (plcToRobot != plcToRobotMap.end()) {
    return plcToRobot->second.direction;
  }
  auto robotToPlc = robotToPlcIndex.find(name);
  if (robotToPlc != robotToPlcIndex.end()) {
    return robotToPlc->second->direction;
  }
  return -1;
}

std::unordered_map<std::string, std::string> MappingTable::addresses() {
  gw::ReaderLock lock(mappingLock);
  std::unordered_map<std::string, std::string> table;
  // RobotToPlc first: a name mapped both ways shows its RobotToPlc address.
  for (const auto& entry : robotToPlcIndex) {
    table.emplace(entry.first, entry.second->item.address);
  }
  for (const auto& entry : plcToRobotMap) {
    table.emplace(entry.first, entry.second.item.address);
  }
  return table;
}

void MappingTable::publish(const std::vector<MappingRel>& work) {
  gw::ReaderLock mappings(mappingLock);
  publishLocked(work);
}

void MappingTable::publishLocked(const std::vector<MappingRel>& work) {
  // PlcToRobot copies come in the map's order: while the map is as it was,
  // the record after the last one found is the next one's, which spares a
  // lookup (a dozen name comparisons at 1,000 mappings) per record.
  auto next = plcToRobotMap.begin();
  for (const MappingRel& done : work) {
    MappingRel* live = nullptr;
    if (done.direction == FinsExIO::PlcToRobot) {
      auto found = next;
      if (found == plcToRobotMap.end() || found->second.id != done.id) {
        found = plcToRobotMap.find(done.robotRegister);
      }
      if (found != plcToRobotMap.end()) {
        live = &found->second;
        next = std::next(found);
      }
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

void MappingTable::markServiceDown() {
  for (auto& entry : robotToPlcIndex) {
    entry.second->state.store(FinsExIO::MappingServiceDown);
    entry.second->occupied.store(false);
  }
  for (auto& entry : plcToRobotMap) {
    entry.second.state.store(FinsExIO::MappingServiceDown);
    entry.second.occupied.store(false);
  }
}

namespace {

void noteOutcome(MappingRel& rel, std::int64_t nowMs) {
  const std::int32_t state = rel.state.load();
  if (state == FinsExIO::MappingGood) {
    rel.lastGoodMs.store(nowMs);
  } else if (state != FinsExIO::MappingNew) {
    rel.failedCycles.store(rel.failedCycles.load() + 1);
  }
}

}  // namespace

void MappingTable::noteCycleOutcomes(std::int64_t nowMs) {
  for (auto& entry : plcToRobotMap) noteOutcome(entry.second, nowMs);
  for (auto& entry : robotToPlcIndex) noteOutcome(*entry.second, nowMs);
}

bool MappingTable::plcRegcompare(const MappingRel& a, const MappingRel& b) {
  if (a.decodedAddress.word != b.decodedAddress.word) {
    return a.decodedAddress.word < b.decodedAddress.word;
  }
  return a.decodedAddress.bit < b.decodedAddress.bit;
}

bool MappingTable::addRobotToPlcMapping(const std::string& name,
                                          const MappingRel& rel) {
  if (robotToPlcIndex.count(name) != 0) {
    removeRobotToPlcMapping(name);
  }
  std::vector<MappingRel>& group =
      robotToPlcGroups[rel.item.type][rel.decodedAddress.name];
  group.push_back(rel);
  std::sort(group.begin(), group.end(), plcRegcompare);
  // The append may have moved the whole vector and the sort any record.
  for (MappingRel& record : group) {
    robotToPlcIndex[record.robotRegister] = &record;
  }
  return true;
}

bool MappingTable::removeRobotToPlcOrderMapping(const std::string& name) {
  for (auto& byType : robotToPlcGroups) {
    for (auto& byArea : byType.second) {
      std::vector<MappingRel>& group = byArea.second;
      auto found = std::find_if(
          group.begin(), group.end(),
          [&name](const MappingRel& rel) { return rel.robotRegister == name; });
      if (found == group.end()) {
        continue;
      }
      GW_LOG(INFO, "Fins remove %s <---> %s mapping", name.c_str(),
             found->item.address);
      const auto position = group.erase(found);
      for (auto moved = position; moved != group.end(); ++moved) {
        robotToPlcIndex[moved->robotRegister] = &*moved;
      }
      return true;
    }
  }
  return false;
}

void MappingTable::removeRobotToPlcMapping(const std::string& name) {
  if (!removeRobotToPlcOrderMapping(name)) {
    GW_LOG(WARNING,
           "Fins remove robot ro plc order mapping don't find item: %s",
           name.c_str());
  }
  if (robotToPlcIndex.erase(name) == 0) {
    GW_LOG(WARNING, "Fins remove robot ro plc mapping don't find item: %s",
           name.c_str());
  }
}
