#include "robotio/extern_io_client.h"

#include <cmath>
#include <xmlrpc-c/base.hpp>

#include "robotio/call_codec.h"
#include "robotio/http_transport.h"
#include "service/logger.h"

namespace {

using Outcome = ExternIOClient::Outcome;

// The XML-RPC type a result must have to be read as XmlValue's C++ type.
template <typename XmlValue>
struct ResultType;
template <>
struct ResultType<xmlrpc_c::value_boolean> {
  static constexpr xmlrpc_c::value::type_t kType =
      xmlrpc_c::value::TYPE_BOOLEAN;
  static constexpr const char* kName = "boolean";
};
template <>
struct ResultType<xmlrpc_c::value_int> {
  static constexpr xmlrpc_c::value::type_t kType = xmlrpc_c::value::TYPE_INT;
  static constexpr const char* kName = "int";
};
template <>
struct ResultType<xmlrpc_c::value_double> {
  static constexpr xmlrpc_c::value::type_t kType =
      xmlrpc_c::value::TYPE_DOUBLE;
  static constexpr const char* kName = "double";
};

const char* typeName(xmlrpc_c::value::type_t type) {
  switch (type) {
    case xmlrpc_c::value::TYPE_INT:
      return "int";
    case xmlrpc_c::value::TYPE_BOOLEAN:
      return "boolean";
    case xmlrpc_c::value::TYPE_DOUBLE:
      return "double";
    case xmlrpc_c::value::TYPE_DATETIME:
      return "dateTime";
    case xmlrpc_c::value::TYPE_STRING:
      return "string";
    case xmlrpc_c::value::TYPE_BYTESTRING:
      return "base64";
    case xmlrpc_c::value::TYPE_ARRAY:
      return "array";
    case xmlrpc_c::value::TYPE_STRUCT:
      return "struct";
    case xmlrpc_c::value::TYPE_NIL:
      return "nil";
    case xmlrpc_c::value::TYPE_I8:
      return "i8";
    default:
      return "value of another type";
  }
}

}  // namespace

// One transport for the life of the object, so that the HTTP connection to
// the service is reused from call to call: the synchronisation loop calls
// every 10 ms per mapping, and a new connection per call costs about twice
// as much as the call itself.
class ExternIOClient::Impl {
 public:
  Impl(const std::string& serverUrl, std::chrono::milliseconds callTimeout)
      : transport_(serverUrl), timeout_(callTimeout) {}

  Impl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;

  // Makes one call. kAnswered with *result set, or the failure's outcome
  // with a readable reason in *detail.
  Outcome call(const char* method, const xmlrpc_c::paramList& params,
               xmlrpc_c::value* result, std::string* detail) {
    if (!robotio::formatCall(method, params, &request_, detail)) {
      return Outcome::kFault;
    }
    switch (transport_.post(request_, timeout_, detail)) {
      case robotio::HttpTransport::Result::kOk:
        break;
      case robotio::HttpTransport::Result::kTimedOut:
        return Outcome::kTimedOut;
      case robotio::HttpTransport::Result::kNoAnswer:
        return Outcome::kNoAnswer;
    }
    robotio::Answer answer = robotio::parseAnswer(
        transport_.answerBody(), transport_.answerBodySize());
    switch (answer.kind) {
      case robotio::Answer::Kind::kValue:
        *result = answer.value;
        return Outcome::kAnswered;
      case robotio::Answer::Kind::kFault:
        *detail = "fault " + std::to_string(answer.fault_code) + ": " +
                  answer.text;
        return Outcome::kFault;
      case robotio::Answer::Kind::kMalformed:
        break;
    }
    *detail = "malformed XML-RPC answer: " + answer.text;
    return Outcome::kNoAnswer;
  }

  // One call answered as XmlValue's C++ type: *out is set only on
  // kAnswered; a result of another type is kFault.
  template <typename XmlValue, typename Result>
  Outcome typedCall(const char* method, const xmlrpc_c::paramList& params,
                    Result* out, std::string* detail) {
    xmlrpc_c::value result;
    const Outcome outcome = call(method, params, &result, detail);
    if (outcome != Outcome::kAnswered) return outcome;
    if (result.type() != ResultType<XmlValue>::kType) {
      *detail = std::string("answer is a ") + typeName(result.type()) +
                ", not a " + ResultType<XmlValue>::kName;
      return Outcome::kFault;
    }
    *out = XmlValue(result).cvalue();
    return Outcome::kAnswered;
  }

  // A register operation: as typedCall, with an ERROR record naming the
  // register on any failure. `function` names the caller in the record.
  template <typename XmlValue, typename Result>
  Outcome registerCall(const char* function, const char* method,
                       const xmlrpc_c::paramList& params, int index,
                       Result* out) {
    std::string detail;
    const Outcome outcome =
        typedCall<XmlValue>(method, params, out, &detail);
    if (outcome != Outcome::kAnswered) {
      logRegisterFailure(function, index, detail.c_str());
    }
    return outcome;
  }

  // A call without arguments answered with a boolean; false after an ERROR
  // record on any failure.
  bool callForFlag(const char* function, const char* method) {
    bool flag = false;
    std::string detail;
    if (typedCall<xmlrpc_c::value_boolean>(method, xmlrpc_c::paramList(),
                                           &flag, &detail) !=
        Outcome::kAnswered) {
      Logger::getInstance()->log<Logger::ERROR>("EX-IO client %s", function,
                                                __LINE__, detail.c_str());
      return false;
    }
    return flag;
  }

  static void logRegisterFailure(const char* function, int index,
                                 const char* detail) {
    Logger::getInstance()->log<Logger::ERROR>(
        "EX-IO client index:%d detail: %s", function, __LINE__, index, detail);
  }

  static void logTypedFailure(const char* function, int type, int index,
                              const std::string& detail) {
    Logger::getInstance()->log<Logger::ERROR>(
        "EX-IO client type:%d index:%d detail: %s", function, __LINE__, type,
        index, detail.c_str());
  }

 private:
  robotio::HttpTransport transport_;
  const std::chrono::milliseconds timeout_;
  std::string request_;  // Reused from call to call.
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

// A write's answer says whether the service wrote the register.
Outcome writeOutcome(Outcome call, bool written) {
  if (call == Outcome::kAnswered && !written) return Outcome::kRejected;
  return call;
}

// XML-RPC has no text for infinity or NaN: a PLC word pair that happens to
// hold such a pattern fails this one call.
constexpr char kNotFinite[] = "value is not a finite number";

}  // namespace

ExternIOClient::ExternIOClient() : ExternIOClient(EXIO_SERVER_URL) {}

ExternIOClient::ExternIOClient(const std::string& serverUrl)
    : ExternIOClient(serverUrl,
                     std::chrono::milliseconds(kDefaultCallTimeoutMs)) {}

ExternIOClient::ExternIOClient(const std::string& serverUrl,
                               std::chrono::milliseconds callTimeout)
    : impl_(new Impl(serverUrl, callTimeout)) {}

ExternIOClient::~ExternIOClient() = default;

bool ExternIOClient::occupyInput(const std::string& name, int type, int index) {
  bool occupied = false;
  std::string detail;
  if (impl_->typedCall<xmlrpc_c::value_boolean>(
          "occupyInput", nameTypeIndex(name, type, index), &occupied,
          &detail) != Outcome::kAnswered) {
    Impl::logTypedFailure(__func__, type, index, detail);
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
  // The answer's value means nothing to the caller; its type still tells a
  // proper answer from a wrong one.
  int ignored = 0;
  std::string detail;
  if (impl_->typedCall<xmlrpc_c::value_int>("releaseInput",
                                            nameTypeIndex(name, type, index),
                                            &ignored, &detail) !=
      Outcome::kAnswered) {
    Impl::logTypedFailure(__func__, type, index, detail);
  }
}

bool ExternIOClient::getOutputBoolData(int index) {
  bool value = false;
  impl_->registerCall<xmlrpc_c::value_boolean>(
      __func__, "getOutputBoolData", justIndex(index), index, &value);
  return value;
}

int ExternIOClient::getOutputIntData(int index) {
  int value = 0;
  impl_->registerCall<xmlrpc_c::value_int>(__func__, "getOutputIntData",
                                           justIndex(index), index, &value);
  return value;
}

double ExternIOClient::getOutputDoubleData(int index) {
  double value = 0.0;
  impl_->registerCall<xmlrpc_c::value_double>(
      __func__, "getOutputDoubleData", justIndex(index), index, &value);
  return value;
}

bool ExternIOClient::setInputBoolData(const std::string& name, int index,
                                      bool value) {
  bool written = false;
  impl_->registerCall<xmlrpc_c::value_boolean>(
      __func__, "setInputBoolData",
      nameIndexValue(name, index, xmlrpc_c::value_boolean(value)), index,
      &written);
  return written;
}

bool ExternIOClient::setInputIntData(const std::string& name, int index,
                                     int value) {
  bool written = false;
  impl_->registerCall<xmlrpc_c::value_boolean>(
      __func__, "setInputIntData",
      nameIndexValue(name, index, xmlrpc_c::value_int(value)), index,
      &written);
  return written;
}

bool ExternIOClient::setInputDoubleData(const std::string& name, int index,
                                        double value) {
  return writeInputDoubleAs(__func__, name, index, value) == Outcome::kAnswered;
}

ExternIOClient::Outcome ExternIOClient::readOutputBool(int index,
                                                       bool* value) {
  return impl_->registerCall<xmlrpc_c::value_boolean>(
      __func__, "getOutputBoolData", justIndex(index), index, value);
}

ExternIOClient::Outcome ExternIOClient::readOutputInt(int index, int* value) {
  return impl_->registerCall<xmlrpc_c::value_int>(
      __func__, "getOutputIntData", justIndex(index), index, value);
}

ExternIOClient::Outcome ExternIOClient::readOutputDouble(int index,
                                                         double* value) {
  return impl_->registerCall<xmlrpc_c::value_double>(
      __func__, "getOutputDoubleData", justIndex(index), index, value);
}

ExternIOClient::Outcome ExternIOClient::writeInputBool(const std::string& name,
                                                       int index, bool value) {
  bool written = false;
  // Sequenced: `written` is read only after the call has set it.
  const Outcome call = impl_->registerCall<xmlrpc_c::value_boolean>(
      __func__, "setInputBoolData",
      nameIndexValue(name, index, xmlrpc_c::value_boolean(value)), index,
      &written);
  return writeOutcome(call, written);
}

ExternIOClient::Outcome ExternIOClient::writeInputInt(const std::string& name,
                                                      int index, int value) {
  bool written = false;
  // Sequenced: `written` is read only after the call has set it.
  const Outcome call = impl_->registerCall<xmlrpc_c::value_boolean>(
      __func__, "setInputIntData",
      nameIndexValue(name, index, xmlrpc_c::value_int(value)), index,
      &written);
  return writeOutcome(call, written);
}

ExternIOClient::Outcome ExternIOClient::writeInputDouble(
    const std::string& name, int index, double value) {
  return writeInputDoubleAs(__func__, name, index, value);
}

ExternIOClient::Outcome ExternIOClient::writeInputDoubleAs(
    const char* function, const std::string& name, int index, double value) {
  if (!std::isfinite(value)) {
    Impl::logRegisterFailure(function, index, kNotFinite);
    return Outcome::kFault;
  }
  bool written = false;
  // Sequenced: `written` is read only after the call has set it.
  const Outcome call = impl_->registerCall<xmlrpc_c::value_boolean>(
      function, "setInputDoubleData",
      nameIndexValue(name, index, xmlrpc_c::value_double(value)), index,
      &written);
  return writeOutcome(call, written);
}

bool ExternIOClient::isInputInUse() {
  return impl_->callForFlag(__func__, "isInputInUse");
}

bool ExternIOClient::isConnectController() {
  return impl_->callForFlag(__func__, "isConnectController");
}

bool ExternIOClient::isExIORunning() {
  // Only a proper answer counts: the value says whether the controller is
  // connected, not whether the service runs.
  bool connected = false;
  std::string detail;
  return impl_->typedCall<xmlrpc_c::value_boolean>(
             "isConnectController", xmlrpc_c::paramList(), &connected,
             &detail) == Outcome::kAnswered;
}
