#include "robotio/extern_io_client.h"

#include <cmath>
#include <exception>
#include <xmlrpc-c/base.hpp>
#include <xmlrpc-c/client.hpp>
#include <xmlrpc-c/client_transport.hpp>

#include "service/logger.h"

namespace {

// The curl transport checks its time-out only every 3 seconds or so: any
// setting up to about 2.5 s ends a call to a silent service after about
// 3 s. 2 s keeps that bound here and stays far above a real call's cost
// (well under a millisecond on loopback) should the check be finer
// elsewhere.
constexpr unsigned kCallTimeoutMs = 2000;

}  // namespace

// Keeps one transport and one client for the life of the object, so that
// the HTTP connection to the service is reused from call to call: the
// synchronisation loop calls every 10 ms per mapping, and a new connection
// per call costs about twice as much as the call itself.
class ExternIOClient::Impl {
 public:
  explicit Impl(const std::string& serverUrl)
      : transport_(xmlrpc_c::clientXmlTransport_curl::constrOpt().timeout(
            kCallTimeoutMs)),
        client_(&transport_),
        server_(serverUrl) {}

  Impl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;

  // Sends one call and returns the service's result. Throws an exception
  // derived from std::exception for a transport failure or time-out and for
  // a fault answered by the service.
  xmlrpc_c::value call(const std::string& method,
                       const xmlrpc_c::paramList& params) {
    xmlrpc_c::rpcPtr rpc(method, params);
    rpc->call(&client_, &server_);
    return rpc->getResult();
  }

  // One call of a register operation, answered as XmlValue's C++ type; on
  // any failure, an ERROR record naming the register and `neutral`.
  template <typename XmlValue, typename Result>
  Result callForRegister(const char* function, const std::string& method,
                         const xmlrpc_c::paramList& params, int index,
                         Result neutral) {
    try {
      return XmlValue(call(method, params)).cvalue();
    } catch (const std::exception& e) {
      logRegisterFailure(function, index, e.what());
      return neutral;
    }
  }

  // A call without arguments answered with a boolean; false after an ERROR
  // record on any failure.
  bool callForFlag(const char* function, const std::string& method) {
    try {
      return xmlrpc_c::value_boolean(call(method, xmlrpc_c::paramList()))
          .cvalue();
    } catch (const std::exception& e) {
      Logger::getInstance()->log<Logger::ERROR>("EX-IO client %s", function,
                                                __LINE__, e.what());
      return false;
    }
  }

  static void logRegisterFailure(const char* function, int index,
                                 const char* detail) {
    Logger::getInstance()->log<Logger::ERROR>(
        "EX-IO client index:%d detail: %s", function, __LINE__, index, detail);
  }

 private:
  xmlrpc_c::clientXmlTransport_curl transport_;
  xmlrpc_c::client_xml client_;  // Uses transport_; declared after it.
  xmlrpc_c::carriageParm_curl0 server_;
};

namespace {

xmlrpc_c::paramList nameTypeIndex(const std::string& name, int type,
                                  int index) {
  xmlrpc_c::paramList params;
  params.add(xmlrpc_c::value_string(name))
      .add(xmlrpc_c::value_int(type))
      .add(xmlrpc_c::value_int(index));
  return params;
}

xmlrpc_c::paramList justIndex(int index) {
  xmlrpc_c::paramList params;
  params.add(xmlrpc_c::value_int(index));
  return params;
}

xmlrpc_c::paramList nameIndexValue(const std::string& name, int index,
                                   const xmlrpc_c::value& value) {
  xmlrpc_c::paramList params;
  params.add(xmlrpc_c::value_string(name))
      .add(xmlrpc_c::value_int(index))
      .add(value);
  return params;
}

}  // namespace

ExternIOClient::ExternIOClient() : ExternIOClient(EXIO_SERVER_URL) {}

ExternIOClient::ExternIOClient(const std::string& serverUrl)
    : impl_(new Impl(serverUrl)) {}

ExternIOClient::~ExternIOClient() = default;

bool ExternIOClient::occupyInput(const std::string& name, int type, int index) {
  bool occupied = false;
  try {
    occupied = xmlrpc_c::value_boolean(
                   impl_->call("occupyInput", nameTypeIndex(name, type, index)))
                   .cvalue();
  } catch (const std::exception& e) {
    Logger::getInstance()->log<Logger::ERROR>(
        "EX-IO client type:%d index:%d detail: %s", __func__, __LINE__, type,
        index, e.what());
    return false;
  }
  // Written for a refusal too: the caller's log then shows every claim the
  // service answered, granted or not.
  Logger::getInstance()->log<Logger::INFO>(
      "%s occupy vorl register. type: %d, index: %d", __func__, __LINE__,
      name.c_str(), type, index);
  return occupied;
}

void ExternIOClient::releaseInput(const std::string& name, int type,
                                  int index) {
  // Before the call, so that the release shows in the log even when the
  // service cannot be reached.
  Logger::getInstance()->log<Logger::WARNING>(
      "%s release vorl register. type: %d, index: %d", __func__, __LINE__,
      name.c_str(), type, index);
  try {
    // The answer's value means nothing to the caller; its type still tells
    // a proper answer from a wrong one.
    xmlrpc_c::value_int(
        impl_->call("releaseInput", nameTypeIndex(name, type, index)));
  } catch (const std::exception& e) {
    Logger::getInstance()->log<Logger::ERROR>(
        "EX-IO client type:%d index:%d detail: %s", __func__, __LINE__, type,
        index, e.what());
  }
}

bool ExternIOClient::getOutputBoolData(int index) {
  return impl_->callForRegister<xmlrpc_c::value_boolean>(
      __func__, "getOutputBoolData", justIndex(index), index, false);
}

int ExternIOClient::getOutputIntData(int index) {
  return impl_->callForRegister<xmlrpc_c::value_int>(
      __func__, "getOutputIntData", justIndex(index), index, 0);
}

double ExternIOClient::getOutputDoubleData(int index) {
  return impl_->callForRegister<xmlrpc_c::value_double>(
      __func__, "getOutputDoubleData", justIndex(index), index, 0.0);
}

bool ExternIOClient::setInputBoolData(const std::string& name, int index,
                                      bool value) {
  return impl_->callForRegister<xmlrpc_c::value_boolean>(
      __func__, "setInputBoolData",
      nameIndexValue(name, index, xmlrpc_c::value_boolean(value)), index,
      false);
}

bool ExternIOClient::setInputIntData(const std::string& name, int index,
                                     int value) {
  return impl_->callForRegister<xmlrpc_c::value_boolean>(
      __func__, "setInputIntData",
      nameIndexValue(name, index, xmlrpc_c::value_int(value)), index, false);
}

bool ExternIOClient::setInputDoubleData(const std::string& name, int index,
                                        double value) {
  // XML-RPC has no text for infinity or NaN, and the library's double
  // formatter never returns on them: a PLC word pair that happens to hold
  // such a pattern must fail this one call, not take the process down.
  if (!std::isfinite(value)) {
    Impl::logRegisterFailure(__func__, index, "value is not a finite number");
    return false;
  }
  return impl_->callForRegister<xmlrpc_c::value_boolean>(
      __func__, "setInputDoubleData",
      nameIndexValue(name, index, xmlrpc_c::value_double(value)), index,
      false);
}

bool ExternIOClient::isInputInUse() {
  return impl_->callForFlag(__func__, "isInputInUse");
}

bool ExternIOClient::isConnectController() {
  return impl_->callForFlag(__func__, "isConnectController");
}

bool ExternIOClient::isExIORunning() {
  try {
    // Only a proper answer counts: the value says whether the controller
    // is connected, not whether the service runs.
    xmlrpc_c::value_boolean(
        impl_->call("isConnectController", xmlrpc_c::paramList()));
    return true;
  } catch (const std::exception&) {
    return false;
  }
}
