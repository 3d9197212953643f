#include "robotio/extern_io_client.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <vector>
#include <xmlrpc-c/base.hpp>

#include "robotio/call_codec.h"
#include "robotio/http_transport.h"
#include "robotio/multicall_codec.h"
#include "robotio/register_multicall.h"
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
  // Any thread.
  robotio::CallStats callStats() const { return stats_.summary(); }

  // Posts request_, counting and timing the call.
  robotio::HttpTransport::Result timedPost(std::string* detail) {
    const auto begun = std::chrono::steady_clock::now();
    const robotio::HttpTransport::Result posted =
        transport_.post(request_, timeout_, detail);
    stats_.record(std::chrono::steady_clock::now() - begun,
                  posted != robotio::HttpTransport::Result::kOk,
                  posted == robotio::HttpTransport::Result::kTimedOut);
    return posted;
  }

  Impl(const std::string& serverUrl, std::chrono::milliseconds callTimeout)
      : transport_(serverUrl), timeout_(callTimeout) {}

  Impl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;

  // Makes one call. kAnswered with *result set, or the failure's outcome
  // with a readable reason in *detail. *reached, when given, tells whether
  // a complete HTTP answer came back (whatever it held).
  Outcome call(const char* method, const xmlrpc_c::paramList& params,
               xmlrpc_c::value* result, std::string* detail,
               bool* reached = nullptr) {
    if (reached != nullptr) *reached = false;
    if (!robotio::formatCall(method, params, &request_, detail)) {
      return Outcome::kFault;
    }
    const Outcome posted = post(detail);
    if (posted != Outcome::kAnswered) return posted;
    if (reached != nullptr) *reached = true;
    return answerOf(result, detail);
  }

  // Posts request_: kAnswered when a complete HTTP answer came back, whose
  // body the transport holds; else the failure's outcome with a reason in
  // *detail.
  Outcome post(std::string* detail) {
    switch (timedPost(detail)) {
      case robotio::HttpTransport::Result::kOk:
        return Outcome::kAnswered;
      case robotio::HttpTransport::Result::kTimedOut:
        return Outcome::kTimedOut;
      case robotio::HttpTransport::Result::kNoAnswer:
        break;
    }
    return Outcome::kNoAnswer;
  }

  // Reads the body of the answer just posted: kAnswered with *result set, or
  // the failure's outcome with a reason in *detail.
  Outcome answerOf(xmlrpc_c::value* result, std::string* detail) {
    robotio::Answer answer = robotio::parseAnswer(
        transport_.answerBody(), transport_.answerBodySize());
    if (answer.kind != robotio::Answer::Kind::kValue) stats_.noteFailure();
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

  // The answer just posted read as a multicall of `count` scalar results,
  // without building library values; false when it has another form.
  bool scalarAnswer(std::size_t count,
                    std::vector<robotio::ScalarResult>* results) const {
    return robotio::readScalarMulticall(transport_.answerBody(),
                                        transport_.answerBodySize(), count,
                                        results);
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

  // ---- Batches; see ExternIOClient::callRegisters and probeMulticall.
  void callRegisters(const std::string& name,
                     std::vector<RegisterCall>& calls);
  bool probeMulticall();
  bool multicallInUse() const { return multicall_ == Multicall::kInUse; }
  // Told every liveness answer: a service found running again may be
  // another one, so whether it offers multicall is asked afresh.
  void noteRunning(bool running) {
    if (running && !running_) multicall_ = Multicall::kUndecided;
    running_ = running;
  }

 private:
  using Clock = std::chrono::steady_clock;
  enum class Multicall { kUndecided, kInUse, kNotOffered };
  // How a trial multicall ended.
  enum class Probe { kDecided, kNoAnswer, kTimedOut };
  // How one multicall of a batch ended as a whole.
  enum class Whole { kDone, kFailed, kTimedOut };

  Probe probe(const char* function, bool quietIfSame, std::string* detail);
  // Records the decision and logs it, unless `quietIfSame` and it is the
  // decision already in force.
  void decide(const char* function, Multicall decision,
              const std::string& detail, bool quietIfSame);
  bool probeDue() const;
  Whole multicall(const std::string& name,
                  const std::vector<RegisterCall*>& pending, size_t begin,
                  size_t end, std::string* detail);
  // One call per element from pending[from] on.
  void runSingly(const std::string& name,
                 const std::vector<RegisterCall*>& pending, size_t from);
  void runSingle(const std::string& name, RegisterCall& call);
  static void timeOutAll(const std::vector<RegisterCall*>& pending,
                         size_t from, const std::string& detail);

  robotio::HttpTransport transport_;
  const std::chrono::milliseconds timeout_;
  std::string request_;  // Reused from call to call.
  // Written by the calling thread, read by any (see callStats).
  robotio::CallRecorder stats_;
  std::atomic<Multicall> multicall_{Multicall::kUndecided};
  Clock::time_point decided_at_;  // when multicall_ was last decided
  bool running_ = false;          // the last liveness answer
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
  const bool running =
      impl_->typedCall<xmlrpc_c::value_boolean>(
          "isConnectController", xmlrpc_c::paramList(), &connected,
          &detail) == Outcome::kAnswered;
  impl_->noteRunning(running);
  return running;
}

// ---- Batches

namespace {

using RegisterCall = ExternIOClient::RegisterCall;
using Kind = RegisterCall::Kind;
using Type = xmlrpc_c::value::type_t;

// What a batch needs to know of one kind of register call.
struct KindInfo {
  const char* method;    // the remote method
  const char* function;  // the single operation's name, for log records
  Type result;           // the type its answer must have (writes and
                         // claims answer whether they wrote or claimed)
};

KindInfo infoOf(Kind kind) {
  switch (kind) {
    case Kind::kClaimInput:
      return {"occupyInput", "occupyInput", Type::TYPE_BOOLEAN};
    case Kind::kReadOutputBool:
      return {"getOutputBoolData", "readOutputBool", Type::TYPE_BOOLEAN};
    case Kind::kReadOutputInt:
      return {"getOutputIntData", "readOutputInt", Type::TYPE_INT};
    case Kind::kReadOutputDouble:
      return {"getOutputDoubleData", "readOutputDouble", Type::TYPE_DOUBLE};
    case Kind::kWriteInputBool:
      return {"setInputBoolData", "writeInputBool", Type::TYPE_BOOLEAN};
    case Kind::kWriteInputInt:
      return {"setInputIntData", "writeInputInt", Type::TYPE_BOOLEAN};
    case Kind::kWriteInputDouble:
      break;
  }
  return {"setInputDoubleData", "writeInputDouble", Type::TYPE_BOOLEAN};
}

xmlrpc_c::paramList paramsOf(const std::string& name, const RegisterCall& c) {
  switch (c.kind) {
    case Kind::kClaimInput:
      return nameTypeIndex(name, c.registerType, c.index);
    case Kind::kReadOutputBool:
    case Kind::kReadOutputInt:
    case Kind::kReadOutputDouble:
      return justIndex(c.index);
    case Kind::kWriteInputBool:
      return nameIndexValue(name, c.index, xmlrpc_c::value_boolean(c.boolValue));
    case Kind::kWriteInputInt:
      return nameIndexValue(name, c.index, xmlrpc_c::value_int(c.intValue));
    case Kind::kWriteInputDouble:
      break;
  }
  return nameIndexValue(name, c.index, xmlrpc_c::value_double(c.doubleValue));
}

// The call `c` on behalf of `name` as one element of a multicall's text,
// with the parameters paramsOf gives; false for a value XML-RPC cannot
// carry.
bool appendCallText(const std::string& name, const RegisterCall& c,
                    robotio::MulticallText& text) {
  text.beginCall(infoOf(c.kind).method);
  bool written = true;
  switch (c.kind) {
    case Kind::kClaimInput:
      text.addString(name);
      text.addInt(c.registerType);
      text.addInt(c.index);
      break;
    case Kind::kReadOutputBool:
    case Kind::kReadOutputInt:
    case Kind::kReadOutputDouble:
      text.addInt(c.index);
      break;
    case Kind::kWriteInputBool:
      text.addString(name);
      text.addInt(c.index);
      text.addBoolean(c.boolValue);
      break;
    case Kind::kWriteInputInt:
      text.addString(name);
      text.addInt(c.index);
      text.addInt(c.intValue);
      break;
    case Kind::kWriteInputDouble:
      text.addString(name);
      text.addInt(c.index);
      written = text.addDouble(c.doubleValue);
      break;
  }
  text.endCall();
  return written;
}

// Takes an answer read as a scalar into `c`: kAnswered, kRejected for a
// write or claim answered false, kFault for an answer of the wrong type.
Outcome takeScalar(RegisterCall& c, const robotio::ScalarResult& result,
                   std::string* detail) {
  const Type expected = infoOf(c.kind).result;
  if (result.type != expected) {
    *detail = std::string("answer is a ") + typeName(result.type) +
              ", not a " + typeName(expected);
    return Outcome::kFault;
  }
  switch (c.kind) {
    case Kind::kReadOutputBool:
      c.boolValue = result.boolValue;
      return Outcome::kAnswered;
    case Kind::kReadOutputInt:
      c.intValue = result.intValue;
      return Outcome::kAnswered;
    case Kind::kReadOutputDouble:
      c.doubleValue = result.doubleValue;
      return Outcome::kAnswered;
    case Kind::kClaimInput:
    case Kind::kWriteInputBool:
    case Kind::kWriteInputInt:
    case Kind::kWriteInputDouble:
      break;
  }
  return writeOutcome(Outcome::kAnswered, result.boolValue);
}

// Takes a proper answer into `c`: kAnswered, kRejected for a write or claim
// answered false, kFault for an answer of the wrong type.
Outcome takeResult(RegisterCall& c, const xmlrpc_c::value& result,
                   std::string* detail) {
  robotio::ScalarResult scalar;
  scalar.type = result.type();
  switch (scalar.type) {
    case Type::TYPE_INT:
      scalar.intValue = xmlrpc_c::value_int(result).cvalue();
      break;
    case Type::TYPE_BOOLEAN:
      scalar.boolValue = xmlrpc_c::value_boolean(result).cvalue();
      break;
    case Type::TYPE_DOUBLE:
      scalar.doubleValue = xmlrpc_c::value_double(result).cvalue();
      break;
    default:
      break;  // of no type a register call answers: refused by its type
  }
  return takeScalar(c, scalar, detail);
}

// Sets the outcome and writes the records the single operation would.
void finish(const std::string& name, RegisterCall& c, Outcome outcome,
            const std::string& detail) {
  c.outcome = outcome;
  const bool answered =
      outcome == Outcome::kAnswered || outcome == Outcome::kRejected;
  if (c.kind == Kind::kClaimInput) {
    if (answered) {
      Logger::getInstance()->log<Logger::INFO>(
          "%s occupy vorl register. type: %d, index: %d", "occupyInput",
          __LINE__, name.c_str(), c.registerType, c.index);
    } else {
      Logger::getInstance()->log<Logger::ERROR>(
          "EX-IO client type:%d index:%d detail: %s", "occupyInput", __LINE__,
          c.registerType, c.index, detail.c_str());
    }
  } else if (!answered) {
    Logger::getInstance()->log<Logger::ERROR>(
        "EX-IO client index:%d detail: %s", infoOf(c.kind).function, __LINE__,
        c.index, detail.c_str());
  }
}

bool sendable(const RegisterCall& c) {
  return c.kind != Kind::kWriteInputDouble || std::isfinite(c.doubleValue);
}

constexpr char kMulticallInUse[] = "EX-IO multicall in use";
constexpr char kMulticallNotOffered[] =
    "EX-IO multicall not offered, one call per register";

}  // namespace

ExternIOClient::RegisterCall ExternIOClient::RegisterCall::claimInput(
    int registerType, int index) {
  RegisterCall c;
  c.kind = Kind::kClaimInput;
  c.registerType = registerType;
  c.index = index;
  return c;
}

ExternIOClient::RegisterCall ExternIOClient::RegisterCall::readOutputBool(
    int index) {
  RegisterCall c;
  c.kind = Kind::kReadOutputBool;
  c.index = index;
  return c;
}

ExternIOClient::RegisterCall ExternIOClient::RegisterCall::readOutputInt(
    int index) {
  RegisterCall c;
  c.kind = Kind::kReadOutputInt;
  c.index = index;
  return c;
}

ExternIOClient::RegisterCall ExternIOClient::RegisterCall::readOutputDouble(
    int index) {
  RegisterCall c;
  c.kind = Kind::kReadOutputDouble;
  c.index = index;
  return c;
}

ExternIOClient::RegisterCall ExternIOClient::RegisterCall::writeInputBool(
    int index, bool value) {
  RegisterCall c;
  c.kind = Kind::kWriteInputBool;
  c.index = index;
  c.boolValue = value;
  return c;
}

ExternIOClient::RegisterCall ExternIOClient::RegisterCall::writeInputInt(
    int index, int value) {
  RegisterCall c;
  c.kind = Kind::kWriteInputInt;
  c.index = index;
  c.intValue = value;
  return c;
}

ExternIOClient::RegisterCall ExternIOClient::RegisterCall::writeInputDouble(
    int index, double value) {
  RegisterCall c;
  c.kind = Kind::kWriteInputDouble;
  c.index = index;
  c.doubleValue = value;
  return c;
}

void ExternIOClient::callRegisters(const std::string& name,
                                   std::vector<RegisterCall>& calls) {
  impl_->callRegisters(name, calls);
}

bool ExternIOClient::probeMulticall() { return impl_->probeMulticall(); }

bool ExternIOClient::multicallInUse() const { return impl_->multicallInUse(); }

void ExternIOClient::Impl::callRegisters(const std::string& name,
                                         std::vector<RegisterCall>& calls) {
  std::vector<RegisterCall*> pending;
  pending.reserve(calls.size());
  for (RegisterCall& c : calls) {
    if (sendable(c)) {
      pending.push_back(&c);
    } else {
      finish(name, c, Outcome::kFault, kNotFinite);
    }
  }
  if (pending.empty()) return;

  if (probeDue()) {
    const bool recheck = multicall_ == Multicall::kNotOffered;
    std::string detail;
    switch (probe("callRegisters", recheck, &detail)) {
      case Probe::kDecided:
        break;
      case Probe::kTimedOut:
        // The batch would meet the same silence.
        timeOutAll(pending, 0, detail);
        return;
      case Probe::kNoAnswer:
        // Asked again on the next batch, or after the next recheck time.
        if (recheck) decided_at_ = Clock::now();
        break;
    }
  }

  size_t done = 0;
  while (multicall_ == Multicall::kInUse && done < pending.size()) {
    const size_t end = std::min(pending.size(), done + kMaxMulticallElements);
    std::string detail;
    switch (multicall(name, pending, done, end, &detail)) {
      case Whole::kDone:
        done = end;
        continue;
      case Whole::kTimedOut:
        // Not tried singly: a hung service must cost one time-out.
        timeOutAll(pending, done, detail);
        return;
      case Whole::kFailed:
        decide("callRegisters", Multicall::kNotOffered, detail, false);
        break;
    }
  }
  runSingly(name, pending, done);
}

bool ExternIOClient::Impl::probeMulticall() {
  std::string detail;
  if (probe("probeMulticall", false, &detail) != Probe::kDecided) {
    multicall_ = Multicall::kUndecided;
  }
  return multicallInUse();
}

bool ExternIOClient::Impl::probeDue() const {
  switch (multicall_) {
    case Multicall::kUndecided:
      return true;
    case Multicall::kInUse:
      return false;
    case Multicall::kNotOffered:
      break;
  }
  return Clock::now() - decided_at_ >= kMulticallRecheck;
}

// A trial multicall rather than system.listMethods: it proves the very
// request and answer form the batches rely on, and a service may answer
// multicall without listing it (or list it and answer another form).
ExternIOClient::Impl::Probe ExternIOClient::Impl::probe(const char* function,
                                                        bool quietIfSame,
                                                        std::string* detail) {
  robotio::MulticallBuilder trial;
  trial.add("isConnectController", xmlrpc_c::paramList());
  xmlrpc_c::value result;
  bool reached = false;
  const Outcome outcome =
      call(robotio::kMulticallMethod, trial.take(), &result, detail, &reached);
  if (outcome == Outcome::kTimedOut) return Probe::kTimedOut;
  if (!reached) return Probe::kNoAnswer;
  if (outcome == Outcome::kAnswered) {
    std::vector<robotio::MulticallResult> results;
    if (robotio::readMulticallResults(result, 1, &results, detail)) {
      const robotio::MulticallResult& r = results[0];
      // A fault for the element proves the form as well as a value does.
      if ((r.isFault && !r.malformed) ||
          (!r.isFault && r.value.type() == Type::TYPE_BOOLEAN)) {
        decide(function, Multicall::kInUse, std::string(), quietIfSame);
        return Probe::kDecided;
      }
      *detail = r.isFault ? r.text
                          : std::string("isConnectController answered a ") +
                                typeName(r.value.type());
    }
  }
  decide(function, Multicall::kNotOffered, *detail, quietIfSame);
  return Probe::kDecided;
}

void ExternIOClient::Impl::decide(const char* function, Multicall decision,
                                  const std::string& detail,
                                  bool quietIfSame) {
  const bool same = decision == multicall_;
  multicall_ = decision;
  decided_at_ = Clock::now();
  if (quietIfSame && same) return;
  if (decision == Multicall::kInUse) {
    Logger::getInstance()->log<Logger::INFO>(kMulticallInUse, function,
                                             __LINE__);
  } else if (detail.empty()) {
    Logger::getInstance()->log<Logger::INFO>(kMulticallNotOffered, function,
                                             __LINE__);
  } else {
    Logger::getInstance()->log<Logger::INFO>(
        std::string(kMulticallNotOffered) + ": %s", function, __LINE__,
        detail.c_str());
  }
}

ExternIOClient::Impl::Whole ExternIOClient::Impl::multicall(
    const std::string& name, const std::vector<RegisterCall*>& pending,
    size_t begin, size_t end, std::string* detail) {
  robotio::MulticallText text(&request_);
  for (size_t i = begin; i < end; ++i) {
    if (!appendCallText(name, *pending[i], text)) {
      *detail = kNotFinite;  // sendable() lets none through; never sent
      return Whole::kFailed;
    }
  }
  text.finish();
  const Outcome posted = post(detail);
  if (posted == Outcome::kTimedOut) return Whole::kTimedOut;
  if (posted != Outcome::kAnswered) return Whole::kFailed;

  std::vector<robotio::ScalarResult> scalars;
  if (scalarAnswer(end - begin, &scalars)) {
    for (size_t i = begin; i < end; ++i) {
      RegisterCall& c = *pending[i];
      std::string why;
      const Outcome element = takeScalar(c, scalars[i - begin], &why);
      finish(name, c, element, why);
    }
    return Whole::kDone;
  }
  // Faults among the elements, or an answer of a rarer form: the general
  // reader makes sense of it.
  xmlrpc_c::value result;
  std::vector<robotio::MulticallResult> results;
  if (answerOf(&result, detail) != Outcome::kAnswered ||
      !robotio::readMulticallResults(result, end - begin, &results, detail)) {
    return Whole::kFailed;
  }
  for (size_t i = begin; i < end; ++i) {
    RegisterCall& c = *pending[i];
    const robotio::MulticallResult& r = results[i - begin];
    std::string why;
    Outcome element;
    if (r.isFault) {
      element = Outcome::kFault;
      why = r.malformed ? r.text
                        : "fault " + std::to_string(r.faultCode) + ": " + r.text;
    } else {
      element = takeResult(c, r.value, &why);
    }
    finish(name, c, element, why);
  }
  return Whole::kDone;
}

void ExternIOClient::Impl::runSingly(const std::string& name,
                                     const std::vector<RegisterCall*>& pending,
                                     size_t from) {
  for (size_t i = from; i < pending.size(); ++i) {
    runSingle(name, *pending[i]);
    if (pending[i]->outcome == Outcome::kTimedOut) {
      // As with a multicall: one time-out per batch, not one per register.
      if (i + 1 < pending.size()) {
        timeOutAll(pending, i + 1, "not sent: an earlier call timed out");
      }
      return;
    }
  }
}

void ExternIOClient::Impl::runSingle(const std::string& name,
                                     RegisterCall& c) {
  xmlrpc_c::value result;
  std::string detail;
  Outcome outcome = call(infoOf(c.kind).method, paramsOf(name, c), &result,
                         &detail);
  if (outcome == Outcome::kAnswered) outcome = takeResult(c, result, &detail);
  finish(name, c, outcome, detail);
}

void ExternIOClient::Impl::timeOutAll(const std::vector<RegisterCall*>& pending,
                                      size_t from, const std::string& detail) {
  for (size_t i = from; i < pending.size(); ++i) {
    pending[i]->outcome = Outcome::kTimedOut;
  }
  Logger::getInstance()->log<Logger::ERROR>(
      "EX-IO client batch: %zu calls timed out, detail: %s", "callRegisters",
      __LINE__, pending.size() - from, detail.c_str());
}

robotio::CallStats ExternIOClient::callStats() const {
  return impl_->callStats();
}
