#include "methods/diagnostics_method.h"

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace FINS {
namespace METHOD {

namespace {

using Members = std::map<std::string, xmlrpc_c::value>;
using Diagnostics = FinsExIO::Diagnostics;

// Counters travel as doubles: an XML-RPC int has 32 bits, and a double
// counts exactly far beyond anything a gateway reaches.
xmlrpc_c::value count(std::uint64_t n) {
  return xmlrpc_c::value_double(static_cast<double>(n));
}

xmlrpc_c::value shown(const Diagnostics::ShownValue& v) {
  switch (v.kind) {
    case Diagnostics::ShownValue::kInt:
      return xmlrpc_c::value_int(static_cast<int>(v.first));
    case Diagnostics::ShownValue::kNumber:
      return xmlrpc_c::value_double(v.first);
    case Diagnostics::ShownValue::kBool:
      return xmlrpc_c::value_boolean(v.first != 0);
    case Diagnostics::ShownValue::kBoolPair:
      return xmlrpc_c::value_array(std::vector<xmlrpc_c::value>{
          xmlrpc_c::value_boolean(v.first != 0),
          xmlrpc_c::value_boolean(v.second != 0)});
    case Diagnostics::ShownValue::kIntPair:
      return xmlrpc_c::value_array(std::vector<xmlrpc_c::value>{
          xmlrpc_c::value_int(static_cast<int>(v.first)),
          xmlrpc_c::value_int(static_cast<int>(v.second))});
    case Diagnostics::ShownValue::kNone:
      break;
  }
  return xmlrpc_c::value_nil();
}

xmlrpc_c::value connection(const Diagnostics::Connection& c) {
  Members m;
  m["state"] = xmlrpc_c::value_int(c.state);
  m["plcAddress"] = xmlrpc_c::value_string(c.plcAddress);
  m["plcPort"] = xmlrpc_c::value_int(c.plcPort);
  m["transport"] = xmlrpc_c::value_string(c.transport);
  m["cpuModel"] = xmlrpc_c::value_string(c.cpuModel);
  m["family"] = xmlrpc_c::value_string(c.family);
  m["connectedSince"] = xmlrpc_c::value_double(c.connectedSince);
  m["connectAttempts"] = count(c.connectAttempts);
  m["reconnects"] = count(c.reconnects);
  m["lastFailureCode"] = xmlrpc_c::value_int(c.lastFailureCode);
  m["lastFailureAt"] = xmlrpc_c::value_double(c.lastFailureAt);
  return xmlrpc_c::value_struct(m);
}

xmlrpc_c::value cycle(const Diagnostics::Cycle& c) {
  Members m;
  m["cycles"] = count(c.cycles);
  m["lastMs"] = xmlrpc_c::value_double(c.lastMs);
  m["meanMs"] = xmlrpc_c::value_double(c.meanMs);
  m["p99Ms"] = xmlrpc_c::value_double(c.p99Ms);
  m["maxMs"] = xmlrpc_c::value_double(c.maxMs);
  m["perSecond"] = xmlrpc_c::value_double(c.perSecond);
  return xmlrpc_c::value_struct(m);
}

xmlrpc_c::value fins(const Diagnostics::Fins& f) {
  Members m;
  m["exchanges"] = count(f.exchanges);
  m["failures"] = count(f.failures);
  m["timeouts"] = count(f.timeouts);
  // Keyed by the code's decimal text: struct member names are strings.
  Members byCode;
  for (const auto& entry : f.failuresByCode) {
    byCode[std::to_string(entry.first)] = count(entry.second);
  }
  m["failuresByCode"] = xmlrpc_c::value_struct(byCode);
  m["meanMs"] = xmlrpc_c::value_double(f.meanMs);
  m["p99Ms"] = xmlrpc_c::value_double(f.p99Ms);
  return xmlrpc_c::value_struct(m);
}

xmlrpc_c::value robot(const Diagnostics::RobotService& r) {
  Members m;
  m["running"] = xmlrpc_c::value_boolean(r.running);
  m["calls"] = count(r.calls);
  m["failures"] = count(r.failures);
  m["timeouts"] = count(r.timeouts);
  m["meanMs"] = xmlrpc_c::value_double(r.meanMs);
  m["p99Ms"] = xmlrpc_c::value_double(r.p99Ms);
  m["multicall"] = xmlrpc_c::value_boolean(r.multicall);
  return xmlrpc_c::value_struct(m);
}

xmlrpc_c::value mapping(const Diagnostics::Mapping& d) {
  Members m;
  m["name"] = xmlrpc_c::value_string(d.name);
  m["direction"] = xmlrpc_c::value_int(d.direction);
  m["address"] = xmlrpc_c::value_string(d.address);
  m["type"] = xmlrpc_c::value_int(d.type);
  m["state"] = xmlrpc_c::value_int(d.state);
  m["value"] = shown(d.value);
  m["msSinceGood"] = xmlrpc_c::value_double(static_cast<double>(d.msSinceGood));
  m["failures"] = count(d.failures);
  return xmlrpc_c::value_struct(m);
}

}  // namespace

GetDiagnostics::GetDiagnostics(
    FinsExIO* engine, std::function<std::uint64_t()> browserRequestsRefused)
    : engine_(engine),
      browserRequestsRefused_(std::move(browserRequestsRefused)) {}

GetDiagnostics::~GetDiagnostics() = default;

void GetDiagnostics::execute(xmlrpc_c::paramList const& /*params*/,
                             xmlrpc_c::value* result) {
  const xmlrpc_c::value engine = toValue(engine_->getDiagnostics());
  if (!browserRequestsRefused_) {
    *result = engine;
    return;
  }
  Members m = xmlrpc_c::value_struct(engine).cvalue();
  m["api"] = xmlrpc_c::value_struct(
      Members{{"browserRequestsRefused", count(browserRequestsRefused_())}});
  *result = xmlrpc_c::value_struct(m);
}

xmlrpc_c::value GetDiagnostics::toValue(const Diagnostics& diagnostics) {
  Members m;
  m["connection"] = connection(diagnostics.connection);
  m["cycle"] = cycle(diagnostics.cycle);
  m["fins"] = fins(diagnostics.fins);
  m["robot"] = robot(diagnostics.robot);
  std::vector<xmlrpc_c::value> mappings;
  mappings.reserve(diagnostics.mappings.size());
  for (const auto& entry : diagnostics.mappings) {
    mappings.push_back(mapping(entry));
  }
  m["mappings"] = xmlrpc_c::value_array(mappings);
  return xmlrpc_c::value_struct(m);
}

}  // namespace METHOD
}  // namespace FINS
