#include "methods/mapping_methods.h"

#include <map>
#include <string>

#include "methods/engine_work_queue.h"

namespace FINS {
namespace METHOD {

// --- "addMapping" ----------------------------------------------------------------

AddMapping::AddMapping(FinsExIO* engine) : engine_(engine) {}
AddMapping::~AddMapping() = default;

void AddMapping::execute(xmlrpc_c::paramList const& params,
                         xmlrpc_c::value* result) {
  const std::string plcAddress = params.getString(0);
  const std::string robotRegister = params.getString(1);
  const std::string secondRobotRegister = params.getString(2);
  // Both enumerations have a fixed 32-bit underlying type, so any int a
  // client sends is a value the engine can hold and reject.
  const FinsDataType type = static_cast<FinsDataType>(params.getInt(3));
  const FinsExIO::MappingDirection direction =
      static_cast<FinsExIO::MappingDirection>(params.getInt(4));

  FinsExIO* const engine = engine_;
  queueEngineWork("addMapping", [=] {
    engine->addMapping(plcAddress, robotRegister, secondRobotRegister, type,
                       direction);
  });
  *result = xmlrpc_c::value_boolean(true);
}

// --- "removeMapping" -------------------------------------------------------------

RemoveMapping::RemoveMapping(FinsExIO* engine) : engine_(engine) {}
RemoveMapping::~RemoveMapping() = default;

void RemoveMapping::execute(xmlrpc_c::paramList const& params,
                            xmlrpc_c::value* result) {
  const std::string robotRegister = params.getString(0);
  FinsExIO* const engine = engine_;
  queueEngineWork("removeMapping",
                      [=] { engine->removeMapping(robotRegister); });
  *result = xmlrpc_c::value_int(0);
}

// --- "getMappingState", "getMappingDirection" -----------------------------------------

GetMappingState::GetMappingState(FinsExIO* engine) : engine_(engine) {}
GetMappingState::~GetMappingState() = default;

void GetMappingState::execute(xmlrpc_c::paramList const& params,
                              xmlrpc_c::value* result) {
  const std::string robotRegister = params.getString(0);
  *result = xmlrpc_c::value_int(engine_->getMapState(robotRegister));
}

GetMappingDirection::GetMappingDirection(FinsExIO* engine)
    : engine_(engine) {}
GetMappingDirection::~GetMappingDirection() = default;

void GetMappingDirection::execute(xmlrpc_c::paramList const& params,
                                  xmlrpc_c::value* result) {
  const std::string robotRegister = params.getString(0);
  *result = xmlrpc_c::value_int(engine_->getMapDirection(robotRegister));
}

// --- "getMappingTable" -------------------------------------------------------------

GetMappingTable::GetMappingTable(FinsExIO* engine) : engine_(engine) {}
GetMappingTable::~GetMappingTable() = default;

void GetMappingTable::execute(xmlrpc_c::paramList const& /*params*/,
                              xmlrpc_c::value* result) {
  std::map<std::string, xmlrpc_c::value> members;
  for (const auto& entry : engine_->getMapping()) {
    members.emplace(entry.first, xmlrpc_c::value_string(entry.second));
  }
  *result = xmlrpc_c::value_struct(members);
}

}  // namespace METHOD
}  // namespace FINS
