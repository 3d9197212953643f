#include "methods/connection_methods.h"

#include <cstddef>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "methods/engine_work_queue.h"

namespace FINS {
namespace METHOD {

namespace {

// The CPU unit's texts come from the PLC; XML has no room for control
// characters and XML-RPC strings must be valid UTF-8, so anything but
// printable ASCII is shown as '?' rather than spoiling the whole answer.
std::string plcText(const char* text, std::size_t capacity) {
  std::string out(text, strnlen(text, capacity - 1));
  for (char& c : out) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte > 0x7E) c = '?';
  }
  return out;
}

template <typename Element, std::size_t N>
xmlrpc_c::value intArray(const Element (&elements)[N]) {
  std::vector<xmlrpc_c::value> items;
  items.reserve(N);
  for (const Element e : elements) {
    items.push_back(xmlrpc_c::value_int(static_cast<int>(e)));
  }
  return xmlrpc_c::value_array(items);
}

template <std::size_t N>
xmlrpc_c::value boolArray(const bool (&elements)[N]) {
  std::vector<xmlrpc_c::value> items;
  items.reserve(N);
  for (const bool e : elements) items.push_back(xmlrpc_c::value_boolean(e));
  return xmlrpc_c::value_array(items);
}

}  // namespace

// --- "connect", "connectUdp" -----------------------------------------------

namespace {

// The nine parameters both connect methods take; the ninth is required by
// the interface and never used.
struct ConnectArguments {
  std::string address;
  int port, localNet, localNode, localUnit, remoteNet, remoteNode, remoteUnit;

  explicit ConnectArguments(xmlrpc_c::paramList const& params)
      : address(params.getString(0)),
        port(params.getInt(1)),
        localNet(params.getInt(2)),
        localNode(params.getInt(3)),
        localUnit(params.getInt(4)),
        remoteNet(params.getInt(5)),
        remoteNode(params.getInt(6)),
        remoteUnit(params.getInt(7)) {
    params.getInt(8);
  }
};

// The common body of "connect" and "connectUdp": `open` is the engine's
// connect for the transport.
void startConnect(FinsExIO* engine, const char* methodName,
                  bool (FinsExIO::*open)(const std::string&, int, int, int,
                                         int, int, int, int),
                  xmlrpc_c::paramList const& params, xmlrpc_c::value* result) {
  // An attempt under way is not interrupted: the client keeps polling
  // "getState" for its outcome.
  if (engine->getState() == FinsExIO::Connecting) {
    *result = xmlrpc_c::value_int(0);
    return;
  }
  const ConnectArguments a(params);
  queueEngineWork(methodName, [=] {
    (engine->*open)(a.address, a.port, a.localNet, a.localNode, a.localUnit,
                    a.remoteNet, a.remoteNode, a.remoteUnit);
  });
  *result = xmlrpc_c::value_int(0);
}

}  // namespace

FinsSetConnect::FinsSetConnect(FinsExIO* engine) : engine_(engine) {}
FinsSetConnect::~FinsSetConnect() = default;

void FinsSetConnect::execute(xmlrpc_c::paramList const& params,
                             xmlrpc_c::value* result) {
  startConnect(engine_, "connect", &FinsExIO::connect, params, result);
}

FinsSetConnectUdp::FinsSetConnectUdp(FinsExIO* engine) : engine_(engine) {}
FinsSetConnectUdp::~FinsSetConnectUdp() = default;

void FinsSetConnectUdp::execute(xmlrpc_c::paramList const& params,
                                xmlrpc_c::value* result) {
  startConnect(engine_, "connectUdp", &FinsExIO::connectUdp, params, result);
}

// --- "getTransport" ----------------------------------------------------------

FinsGetTransport::FinsGetTransport(FinsExIO* engine) : engine_(engine) {}
FinsGetTransport::~FinsGetTransport() = default;

void FinsGetTransport::execute(xmlrpc_c::paramList const& /*params*/,
                               xmlrpc_c::value* result) {
  *result = xmlrpc_c::value_string(engine_->getTransport());
}

// --- "disconnect" ----------------------------------------------------------

FinsDisconnect::FinsDisconnect(FinsExIO* engine)
    : engine_(engine), busy_(false) {}
FinsDisconnect::~FinsDisconnect() = default;

void FinsDisconnect::execute(xmlrpc_c::paramList const& /*params*/,
                             xmlrpc_c::value* result) {
  if (!busy_.exchange(true)) {
    FinsExIO* const engine = engine_;
    std::atomic<bool>* const busy = &busy_;
    try {
      queueEngineWork("disconnect", [engine, busy] {
        // Cleared however the engine call ends, or no later request could
        // ever disconnect again.
        struct ClearOnExit {
          std::atomic<bool>* flag;
          ~ClearOnExit() { flag->store(false); }
        } clear{busy};
        engine->disconnect();
      });
    } catch (...) {
      busy_.store(false);
      throw;
    }
  }
  *result = xmlrpc_c::value_int(0);
}

// --- "getState" ------------------------------------------------------------

FinsGetConnectionState::FinsGetConnectionState(FinsExIO* engine)
    : engine_(engine) {}
FinsGetConnectionState::~FinsGetConnectionState() = default;

void FinsGetConnectionState::execute(xmlrpc_c::paramList const& /*params*/,
                                     xmlrpc_c::value* result) {
  *result = xmlrpc_c::value_int(engine_->getState());
}

// --- "PLCModeGet", "PLCModeSet" ----------------------------------------------

FinsPLCModeGet::FinsPLCModeGet(FinsExIO* engine) : engine_(engine) {}
FinsPLCModeGet::~FinsPLCModeGet() = default;

void FinsPLCModeGet::execute(xmlrpc_c::paramList const& /*params*/,
                             xmlrpc_c::value* result) {
  *result = xmlrpc_c::value_string(engine_->getPLCMode());
}

FinsPLCModeSet::FinsPLCModeSet(FinsExIO* engine) : engine_(engine) {}
FinsPLCModeSet::~FinsPLCModeSet() = default;

void FinsPLCModeSet::execute(xmlrpc_c::paramList const& params,
                             xmlrpc_c::value* result) {
  const std::string family = params.getString(0);
  *result = xmlrpc_c::value_boolean(engine_->setPLCMode(family));
}

// --- "CPUUnitDataRead" ---------------------------------------------------------

FinsCPUUnitDataRead::FinsCPUUnitDataRead(FinsExIO* engine)
    : engine_(engine) {}
FinsCPUUnitDataRead::~FinsCPUUnitDataRead() = default;

void FinsCPUUnitDataRead::execute(xmlrpc_c::paramList const& /*params*/,
                                  xmlrpc_c::value* result) {
  // One copy, so that every member comes from the same connect even while a
  // reconnect replaces the engine's record.
  const fins_cpudata_tp data = engine_->getCPUData();

  std::map<std::string, xmlrpc_c::value> members;
  members["model"] =
      xmlrpc_c::value_string(plcText(data.model, sizeof(data.model)));
  members["version"] =
      xmlrpc_c::value_string(plcText(data.version, sizeof(data.version)));
  members["system_block"] = intArray(data.system_block);
  members["largest_em_bank"] = xmlrpc_c::value_int(data.largest_em_bank);
  members["program_area_size"] = xmlrpc_c::value_int(data.program_area_size);
  members["iom_size"] = xmlrpc_c::value_int(data.iom_size);
  members["number_of_dm_words"] =
      xmlrpc_c::value_int(data.number_of_dm_words);
  members["timer_counter_size"] =
      xmlrpc_c::value_int(data.timer_counter_size);
  members["em_non_file_memory_size"] =
      xmlrpc_c::value_int(data.em_non_file_memory_size);
  members["memory_card_size"] = xmlrpc_c::value_int(data.memory_card_size);
  members["num_sysmac_bus_masters"] =
      xmlrpc_c::value_int(data.num_sysmac_bus_masters);
  members["num_racks"] = xmlrpc_c::value_int(data.num_racks);
  members["bus_unit_id"] = intArray(data.bus_unit_id);
  members["bus_unit_present"] = boolArray(data.bus_unit_present);
  members["dip_switch"] = boolArray(data.dip_switch);
  members["memory_card_type"] = xmlrpc_c::value_int(data.memory_card_type);
  *result = xmlrpc_c::value_struct(members);
}

}  // namespace METHOD
}  // namespace FINS
