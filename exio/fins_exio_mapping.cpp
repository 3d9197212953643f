// The mapping operations of the engine: checking and building a new record
// (the table itself is exio/mapping_table.cpp).

#include <algorithm>
#include <cstring>
#include <mutex>
#include <shared_mutex>

#include "exio/fins_data_types.h"
#include "exio/fins_exio_impl.h"
#include "service/logger.h"

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
    GW_LOG(
        ERROR,
        "Fins add mapping %s <---> %s fail: address longer than %d characters",
        plcAddress.c_str(), robotRegister.c_str(),
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
    GW_LOG(ERROR, "Fins add mapping %s <---> %s fail: address decode fail",
           plcAddress.c_str(), robotRegister.c_str());
    return false;
  }
  if (rel.registerIndex < 0) {
    GW_LOG(ERROR,
           "Fins add mapping %s <---> %s fail: vorl register parser fail %s",
           plcAddress.c_str(), robotRegister.c_str(), robotRegister.c_str());
    return false;
  }
  if (rel.registerType < 0) {
    GW_LOG(ERROR,
           "Fins add mapping %s <---> %s fail: vorl register type parser fail "
           "(FinsDataType)%d",
           plcAddress.c_str(), robotRegister.c_str(), static_cast<int>(type));
    return false;
  }

  mappings.add(std::move(rel));
  GW_LOG(INFO, "Fins add mapping %s <---> %s", plcAddress.c_str(),
         robotRegister.c_str());
  return true;
}

void FinsExIO::removeMapping(const std::string& robotRegister) {
  impl_->mappings.remove(robotRegister);
}

std::int32_t FinsExIO::getMapState(const std::string& robotRegister) {
  return impl_->mappings.state(robotRegister);
}

std::int32_t FinsExIO::getMapDirection(const std::string& robotRegister) {
  return impl_->mappings.direction(robotRegister);
}

std::unordered_map<std::string, std::string> FinsExIO::getMapping() {
  return impl_->mappings.addresses();
}
