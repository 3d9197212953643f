#ifndef GW_METHODS_MAPPING_METHODS_H_
#define GW_METHODS_MAPPING_METHODS_H_

#include <xmlrpc-c/base.hpp>
#include <xmlrpc-c/registry.hpp>

#include "exio/fins_exio.h"

// The XML-RPC methods that add and remove mappings between PLC addresses
// and robot registers and inspect the engine's mapping table. A mapping is
// named by its robot register name.
//
// Every method object holds a non-owning pointer to the engine, which must
// outlive it and every worker it started. Parameters are positional; surplus
// parameters are ignored; a missing or mistyped one is answered with the
// parameter list's fault, and nothing is started.

namespace FINS {
namespace METHOD {

// "addMapping"(string plcAddress, string robotRegister,
//              string secondRobotRegister, int dataType, int direction)
//     -> boolean true
// Starts FinsExIO::addMapping on a worker and answers at once; the client
// learns whether the mapping was taken from "getMappingState" or
// "getMappingTable". The numbers are passed on unchecked: the engine
// rejects bad ones.
class AddMapping : public xmlrpc_c::method {
 public:
  explicit AddMapping(FinsExIO* engine);
  ~AddMapping() override;

  AddMapping(const AddMapping&) = delete;
  AddMapping& operator=(const AddMapping&) = delete;

  void execute(xmlrpc_c::paramList const& params,
               xmlrpc_c::value* result) override;

 private:
  FinsExIO* const engine_;
};

// "removeMapping"(string robotRegister) -> int 0
// Starts FinsExIO::removeMapping on a worker and answers at once.
class RemoveMapping : public xmlrpc_c::method {
 public:
  explicit RemoveMapping(FinsExIO* engine);
  ~RemoveMapping() override;

  RemoveMapping(const RemoveMapping&) = delete;
  RemoveMapping& operator=(const RemoveMapping&) = delete;

  void execute(xmlrpc_c::paramList const& params,
               xmlrpc_c::value* result) override;

 private:
  FinsExIO* const engine_;
};

// "getMappingState"(string robotRegister) -> int, the mapping's state code
// (64017 when there is no such mapping).
class GetMappingState : public xmlrpc_c::method {
 public:
  explicit GetMappingState(FinsExIO* engine);
  ~GetMappingState() override;

  GetMappingState(const GetMappingState&) = delete;
  GetMappingState& operator=(const GetMappingState&) = delete;

  void execute(xmlrpc_c::paramList const& params,
               xmlrpc_c::value* result) override;

 private:
  FinsExIO* const engine_;
};

// "getMappingTable"() -> struct: robot register name -> PLC address text as
// it was given, for the mappings of both directions.
class GetMappingTable : public xmlrpc_c::method {
 public:
  explicit GetMappingTable(FinsExIO* engine);
  ~GetMappingTable() override;

  GetMappingTable(const GetMappingTable&) = delete;
  GetMappingTable& operator=(const GetMappingTable&) = delete;

  void execute(xmlrpc_c::paramList const& params,
               xmlrpc_c::value* result) override;

 private:
  FinsExIO* const engine_;
};

// "getMappingDirection"(string robotRegister) -> int, the stored direction
// (0 PLC to robot, 1 robot to PLC), -1 when there is no such mapping.
class GetMappingDirection : public xmlrpc_c::method {
 public:
  explicit GetMappingDirection(FinsExIO* engine);
  ~GetMappingDirection() override;

  GetMappingDirection(const GetMappingDirection&) = delete;
  GetMappingDirection& operator=(const GetMappingDirection&) = delete;

  void execute(xmlrpc_c::paramList const& params,
               xmlrpc_c::value* result) override;

 private:
  FinsExIO* const engine_;
};

}  // namespace METHOD
}  // namespace FINS

#endif  // GW_METHODS_MAPPING_METHODS_H_
