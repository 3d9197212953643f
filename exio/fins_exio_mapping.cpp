// The mapping table: adding, removing and inspecting mappings, and keeping
// the RobotToPlc mappings in groups sorted by PLC address.

#include <algorithm>
#include <cstring>
#include <mutex>
#include <shared_mutex>

#include "exio/fins_data_types.h"
#include "exio/fins_exio_impl.h"
#include "service/logger.h"

namespace {

Logger* logger() { return Logger::getInstance(); }

}  // namespace

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

bool FinsExIO::addMapping(const std::string& plcAddress,
                          const std::string& robotRegister,
                          const std::string& secondRobotRegister,
                          FinsDataType type, MappingDirection direction) {
  return impl_->addMapping(plcAddress, robotRegister, secondRobotRegister,
                           type, direction);
}

bool FinsExIO::Impl::addMapping(const std::string& plcAddress,
                                const std::string& robotRegister,
                                const std::string& secondRobotRegister,
                                FinsDataType type,
                                MappingDirection direction) {
  if (plcAddress.empty() || robotRegister.empty()) {
    return false;
  }
  // The text must fit the read item's address field whole: cut short it
  // could name another, valid-looking address.
  if (plcAddress.size() > MappingItem::kMaxAddressLength) {
    logger()->log<Logger::ERROR>(
        "Fins add mapping %s <---> %s fail: address longer than %d characters",
        __func__, __LINE__, plcAddress.c_str(), robotRegister.c_str(),
        static_cast<int>(MappingItem::kMaxAddressLength));
    return false;
  }

  MappingRel rel;
  rel.direction = direction;
  std::memcpy(rel.item.address, plcAddress.c_str(), plcAddress.size() + 1);
  rel.item.type = type;
  rel.addressStep = calculatePlcAddressStep(type);
  const bool decodeFailed =
      XX_finslib_decode_address(plcAddress.c_str(), &rel.decodedAddress);
  rel.robotRegister = robotRegister;
  rel.registerIndex = getRegisterIndex(robotRegister);
  rel.secondRegisterIndex = getRegisterIndex(secondRobotRegister);
  rel.registerType = finsTypeConvert(type);

  if (decodeFailed) {
    logger()->log<Logger::ERROR>(
        "Fins add mapping %s <---> %s fail: address decode fail", __func__,
        __LINE__, plcAddress.c_str(), robotRegister.c_str());
    return false;
  }
  if (rel.registerIndex < 0) {
    logger()->log<Logger::ERROR>(
        "Fins add mapping %s <---> %s fail: vorl register parser fail %s",
        __func__, __LINE__, plcAddress.c_str(), robotRegister.c_str(),
        robotRegister.c_str());
    return false;
  }
  if (rel.registerType < 0) {
    logger()->log<Logger::ERROR>(
        "Fins add mapping %s <---> %s fail: vorl register type parser fail "
        "(FinsDataType)%d",
        __func__, __LINE__, plcAddress.c_str(), robotRegister.c_str(),
        static_cast<int>(type));
    return false;
  }

  std::unique_lock<std::shared_timed_mutex> lock(mappingLock);
  rel.id = nextMappingId++;
  if (direction != PlcToRobot) {
    addRobotToPlcMapping(robotRegister, rel);
  } else {
    // The replaced record's claim is not carried over: the new record claims
    // its register again in the next cycle.
    plcToRobotMap[robotRegister] = rel;
  }
  logger()->log<Logger::INFO>("Fins add mapping %s <---> %s", __func__,
                              __LINE__, plcAddress.c_str(),
                              robotRegister.c_str());
  return true;
}

void FinsExIO::removeMapping(const std::string& robotRegister) {
  std::unique_lock<std::shared_timed_mutex> lock(impl_->mappingLock);
  auto plcToRobot = impl_->plcToRobotMap.find(robotRegister);
  if (plcToRobot != impl_->plcToRobotMap.end()) {
    logger()->log<Logger::INFO>("Fins remove mapping %s ", __func__, __LINE__,
                                robotRegister.c_str());
    impl_->plcToRobotMap.erase(plcToRobot);
  } else if (impl_->robotToPlcIndex.count(robotRegister) != 0) {
    logger()->log<Logger::INFO>("Fins remove mapping %s ", __func__, __LINE__,
                                robotRegister.c_str());
    impl_->removeRobotToPlcMapping(robotRegister);
  }
}

std::int32_t FinsExIO::getMapState(const std::string& robotRegister) {
  std::shared_lock<std::shared_timed_mutex> lock(impl_->mappingLock);
  auto plcToRobot = impl_->plcToRobotMap.find(robotRegister);
  if (plcToRobot != impl_->plcToRobotMap.end()) {
    return plcToRobot->second.state.load();
  }
  auto robotToPlc = impl_->robotToPlcIndex.find(robotRegister);
  if (robotToPlc != impl_->robotToPlcIndex.end()) {
    return robotToPlc->second->state.load();
  }
  return MappingNotFound;
}

std::int32_t FinsExIO::getMapDirection(const std::string& robotRegister) {
  std::shared_lock<std::shared_timed_mutex> lock(impl_->mappingLock);
  auto plcToRobot = impl_->plcToRobotMap.find(robotRegister);
  if (plcToRobot != impl_->plcToRobotMap.end()) {
    return plcToRobot->second.direction;
  }
  auto robotToPlc = impl_->robotToPlcIndex.find(robotRegister);
  if (robotToPlc != impl_->robotToPlcIndex.end()) {
    return robotToPlc->second->direction;
  }
  return -1;
}

std::unordered_map<std::string, std::string> FinsExIO::getMapping() {
  std::shared_lock<std::shared_timed_mutex> lock(impl_->mappingLock);
  std::unordered_map<std::string, std::string> table;
  // RobotToPlc first: a name mapped both ways shows its RobotToPlc address.
  for (const auto& entry : impl_->robotToPlcIndex) {
    table.emplace(entry.first, entry.second->item.address);
  }
  for (const auto& entry : impl_->plcToRobotMap) {
    table.emplace(entry.first, entry.second.item.address);
  }
  return table;
}

bool FinsExIO::Impl::plcRegcompare(const MappingRel& a, const MappingRel& b) {
  if (a.decodedAddress.word != b.decodedAddress.word) {
    return a.decodedAddress.word < b.decodedAddress.word;
  }
  return a.decodedAddress.bit < b.decodedAddress.bit;
}

bool FinsExIO::Impl::addRobotToPlcMapping(const std::string& name,
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

bool FinsExIO::Impl::removeRobotToPlcOrderMapping(const std::string& name) {
  for (auto& byType : robotToPlcGroups) {
    for (auto& byArea : byType.second) {
      std::vector<MappingRel>& group = byArea.second;
      auto found = std::find_if(
          group.begin(), group.end(),
          [&name](const MappingRel& rel) { return rel.robotRegister == name; });
      if (found == group.end()) {
        continue;
      }
      logger()->log<Logger::INFO>("Fins remove %s <---> %s mapping", __func__,
                                  __LINE__, name.c_str(),
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

void FinsExIO::Impl::removeRobotToPlcMapping(const std::string& name) {
  if (!removeRobotToPlcOrderMapping(name)) {
    logger()->log<Logger::WARNING>(
        "Fins remove robot ro plc order mapping don't find item: %s", __func__,
        __LINE__, name.c_str());
  }
  if (robotToPlcIndex.erase(name) == 0) {
    logger()->log<Logger::WARNING>(
        "Fins remove robot ro plc mapping don't find item: %s", __func__,
        __LINE__, name.c_str());
  }
}
