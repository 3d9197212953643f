#include "robotio/extern_io_client.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstddef>
#include <iterator>
#include <vector>
#include <xmlrpc-c/base.hpp>

#include "robotio/call_codec.h"
#include "robotio/http_transport.h"
#include "robotio/multicall_codec.h"
#include "robotio/register_multicall.h"
#include "service/logger.h"

namespace {

using Outcome = robotio::Outcome;
using RegisterCall = robotio::RegisterCall;
using Kind = RegisterCall::Kind;
using Type = xmlrpc_c::value::type_t;

const char* typeName(Type type) {
  switch (type) {
    case Type::TYPE_INT:
      return "int";
    case Type::TYPE_BOOLEAN:
      return "boolean";
    case Type::TYPE_DOUBLE:
      return "double";
    case Type::TYPE_DATETIME:
      return "dateTime";
    case Type::TYPE_STRING:
      return "string";
    case Type::TYPE_BYTESTRING:
      return "base64";
    case Type::TYPE_ARRAY:
      return "array";
    case Type::TYPE_STRUCT:
      return "struct";
    case Type::TYPE_NIL:
      return "nil";
    case Type::TYPE_I8:
      return "i8";
    default:
      return "value of another type";
  }
}

// The parameters of a call, as bits of KindInfo::params; they go in this
// order.
enum Param : unsigned { kOwner = 1, kType = 2, kIndex = 4, kValue = 8 };
constexpr unsigned kOwnedRegister = kOwner | kType | kIndex;
constexpr unsigned kWrite = kOwner | kIndex | kValue;

// The client's whole knowledge of a kind of call, so that writing the
// request, reading the answer and logging cannot disagree on it.
struct KindInfo {
  Kind kind;
  const char* method;   // the remote method; the single operation of this
                        // kind logs under the same name
  const char* element;  // the name a batch element of this kind logs under
  unsigned params;      // Param bits
  Type value;           // the type of the value written (kValue) or answered
  // Answered with whether the service did it (a boolean; false is
  // kRejected) rather than with a value of type `value`.
  bool grants;
  const char* before;    // WARNING before the call: owner, type, index
  const char* answered;  // INFO for every answer: owner, type, index
};

constexpr char kClaimed[] = "%s occupy vorl register. type: %d, index: %d";
constexpr char kReleasing[] = "%s release vorl register. type: %d, index: %d";

constexpr KindInfo kKinds[] = {
    {Kind::kClaimInput, "occupyInput", "occupyInput", kOwnedRegister,
     Type::TYPE_BOOLEAN, true, nullptr, kClaimed},
    {Kind::kReadOutputBool, "getOutputBoolData", "readOutputBool", kIndex,
     Type::TYPE_BOOLEAN, false, nullptr, nullptr},
    {Kind::kReadOutputInt, "getOutputIntData", "readOutputInt", kIndex,
     Type::TYPE_INT, false, nullptr, nullptr},
    {Kind::kReadOutputDouble, "getOutputDoubleData", "readOutputDouble", kIndex,
     Type::TYPE_DOUBLE, false, nullptr, nullptr},
    {Kind::kWriteInputBool, "setInputBoolData", "writeInputBool", kWrite,
     Type::TYPE_BOOLEAN, true, nullptr, nullptr},
    {Kind::kWriteInputInt, "setInputIntData", "writeInputInt", kWrite,
     Type::TYPE_INT, true, nullptr, nullptr},
    {Kind::kWriteInputDouble, "setInputDoubleData", "writeInputDouble", kWrite,
     Type::TYPE_DOUBLE, true, nullptr, nullptr},
    // The answer (0 released, -1 not the owner's) is no verdict on the call:
    // the caller gives the register up either way.
    {Kind::kReleaseInput, "releaseInput", "releaseInput", kOwnedRegister,
     Type::TYPE_INT, false, kReleasing, nullptr},
    {Kind::kInputInUse, "isInputInUse", "isInputInUse", 0, Type::TYPE_BOOLEAN,
     false, nullptr, nullptr},
    {Kind::kControllerConnected, "isConnectController", "isConnectController",
     0, Type::TYPE_BOOLEAN, false, nullptr, nullptr},
};

constexpr bool rowsInKindOrder() {
  for (std::size_t i = 0; i < std::size(kKinds); ++i) {
    if (static_cast<std::size_t>(kKinds[i].kind) != i) return false;
  }
  return std::size(kKinds) ==
         static_cast<std::size_t>(Kind::kControllerConnected) + 1;
}
static_assert(rowsInKindOrder(), "kKinds has one row per Kind, in its order");

const KindInfo& infoOf(Kind kind) {
  return kKinds[static_cast<std::size_t>(kind)];
}

Type answerType(const KindInfo& info) {
  return info.grants ? Type::TYPE_BOOLEAN : info.value;
}

// A parameter list added to the way MulticallText is, so that one writer
// serves a single call and a multicall element alike.
class ParamList {
 public:
  void addString(const std::string& text) {
    list_.add(xmlrpc_c::value_string(text));
  }
  void addInt(int value) { list_.add(xmlrpc_c::value_int(value)); }
  void addBoolean(bool value) { list_.add(xmlrpc_c::value_boolean(value)); }
  // The formatter refuses what XML-RPC cannot carry, with its reason.
  bool addDouble(double value) {
    list_.add(xmlrpc_c::value_double(value));
    return true;
  }
  const xmlrpc_c::paramList& list() const { return list_; }

 private:
  xmlrpc_c::paramList list_;
};

// The parameters of `c` on behalf of `owner`; false for a value XML-RPC
// cannot carry.
template <typename Params>
bool addParams(const std::string& owner, const RegisterCall& c,
               Params& out) {
  const KindInfo& info = infoOf(c.kind);
  if (info.params & kOwner) out.addString(owner);
  if (info.params & kType) out.addInt(c.registerType);
  if (info.params & kIndex) out.addInt(c.index);
  if (!(info.params & kValue)) return true;
  if (info.value == Type::TYPE_BOOLEAN) {
    out.addBoolean(c.boolValue);
    return true;
  }
  if (info.value == Type::TYPE_INT) {
    out.addInt(c.intValue);
    return true;
  }
  return out.addDouble(c.doubleValue);
}

// XML-RPC has no text for infinity or NaN: a PLC word pair that happens to
// hold such a pattern fails this one call.
constexpr char kNotFinite[] = "value is not a finite number";

bool sendable(const RegisterCall& c) {
  const KindInfo& info = infoOf(c.kind);
  return !(info.params & kValue) || info.value != Type::TYPE_DOUBLE ||
         std::isfinite(c.doubleValue);
}

// Takes an answer read as a scalar into `c`: kAnswered, kRejected for a
// write or claim answered false, kFault for an answer of the wrong type.
Outcome takeScalar(RegisterCall& c, const robotio::ScalarResult& result,
                   std::string* detail) {
  const KindInfo& info = infoOf(c.kind);
  const Type expected = answerType(info);
  if (result.type != expected) {
    *detail = std::string("answer is a ") + typeName(result.type) +
              ", not a " + typeName(expected);
    return Outcome::kFault;
  }
  if (info.grants) {
    return result.boolValue ? Outcome::kAnswered : Outcome::kRejected;
  }
  if (expected == Type::TYPE_BOOLEAN) {
    c.boolValue = result.boolValue;
  } else if (expected == Type::TYPE_INT) {
    c.intValue = result.intValue;
  } else {
    c.doubleValue = result.doubleValue;
  }
  return Outcome::kAnswered;
}

// Takes a proper answer into `c`, as takeScalar.
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

// Sets the outcome and writes the records of the call's end under the name
// `function` (none when null).
void finish(const std::string& owner, RegisterCall& c, Outcome outcome,
            const std::string& detail, const char* function) {
  c.outcome = outcome;
  if (function == nullptr) return;
  const KindInfo& info = infoOf(c.kind);
  if (outcome == Outcome::kAnswered || outcome == Outcome::kRejected) {
    // Written for a refusal too: the log then shows every claim the service
    // answered, granted or not.
    if (info.answered != nullptr) {
      GW_LOG_AS(INFO, function, info.answered, owner.c_str(), c.registerType,
                c.index);
    }
  } else if (info.params & kType) {
    GW_LOG_AS(ERROR, function, "EX-IO client type:%d index:%d detail: %s",
              c.registerType, c.index, detail.c_str());
  } else if (info.params & kIndex) {
    GW_LOG_AS(ERROR, function, "EX-IO client index:%d detail: %s", c.index,
              detail.c_str());
  } else {
    GW_LOG_AS(ERROR, function, "EX-IO client %s", detail.c_str());
  }
}

// Writes the record due before the call of `c` and tells whether it can be
// sent at all; one that cannot is finished as kFault.
bool admit(const std::string& owner, RegisterCall& c, const char* function) {
  const KindInfo& info = infoOf(c.kind);
  // Before the call, so that it shows even when the service cannot be
  // reached.
  if (function != nullptr && info.before != nullptr) {
    GW_LOG_AS(WARNING, function, info.before, owner.c_str(), c.registerType,
              c.index);
  }
  if (sendable(c)) return true;
  finish(owner, c, Outcome::kFault, kNotFinite, function);
  return false;
}

const char* elementName(const RegisterCall& c) {
  return infoOf(c.kind).element;
}

constexpr char kMulticallInUse[] = "EX-IO multicall in use";
constexpr char kMulticallNotOffered[] =
    "EX-IO multicall not offered, one call per register";

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

  // Any thread.
  robotio::CallStats callStats() const { return stats_.summary(); }

  // `c` as a request of its own, its records under `function` (none when
  // null): the single operations, and each element of a batch that does
  // not go as multicall.
  void runOne(const std::string& owner, RegisterCall& c,
              const char* function) {
    if (admit(owner, c, function)) runSingle(owner, c, function);
  }

  // ---- Batches; see ExternIOClient::callRegisters and probeMulticall.
  void callRegisters(const std::string& owner,
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

  // Posts request_, counting and timing the call.
  robotio::HttpTransport::Result timedPost(std::string* detail) {
    const auto begun = Clock::now();
    const robotio::HttpTransport::Result posted =
        transport_.post(request_, timeout_, detail);
    stats_.record(Clock::now() - begun,
                  posted != robotio::HttpTransport::Result::kOk,
                  posted == robotio::HttpTransport::Result::kTimedOut);
    return posted;
  }

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

  Probe probe(const char* function, bool quietIfSame, std::string* detail);
  // Records the decision and logs it, unless `quietIfSame` and it is the
  // decision already in force.
  void decide(const char* function, Multicall decision,
              const std::string& detail, bool quietIfSame);
  bool probeDue() const;
  Whole multicall(const std::string& owner,
                  const std::vector<RegisterCall*>& pending, size_t begin,
                  size_t end, std::string* detail);
  // One call per element from pending[from] on.
  void runSingly(const std::string& owner,
                 const std::vector<RegisterCall*>& pending, size_t from);
  void runSingle(const std::string& owner, RegisterCall& c,
                 const char* function);
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

ExternIOClient::ExternIOClient() : ExternIOClient(EXIO_SERVER_URL) {}

ExternIOClient::ExternIOClient(const std::string& serverUrl)
    : ExternIOClient(serverUrl,
                     std::chrono::milliseconds(kDefaultCallTimeoutMs)) {}

ExternIOClient::ExternIOClient(const std::string& serverUrl,
                               std::chrono::milliseconds callTimeout)
    : impl_(new Impl(serverUrl, callTimeout)) {}

ExternIOClient::~ExternIOClient() = default;

// ---- The single operations: each a call of its kind on its own.

bool ExternIOClient::occupyInput(const std::string& name, int type, int index) {
  RegisterCall c = RegisterCall::claimInput(type, index);
  impl_->runOne(name, c, __func__);
  return c.outcome == Outcome::kAnswered;
}

void ExternIOClient::releaseInput(const std::string& name, int type,
                                  int index) {
  RegisterCall c{Kind::kReleaseInput, index, type};
  impl_->runOne(name, c, __func__);
}

bool ExternIOClient::getOutputBoolData(int index) {
  RegisterCall c = RegisterCall::readOutputBool(index);
  impl_->runOne(std::string(), c, __func__);
  return c.boolValue;
}

int ExternIOClient::getOutputIntData(int index) {
  RegisterCall c = RegisterCall::readOutputInt(index);
  impl_->runOne(std::string(), c, __func__);
  return c.intValue;
}

double ExternIOClient::getOutputDoubleData(int index) {
  RegisterCall c = RegisterCall::readOutputDouble(index);
  impl_->runOne(std::string(), c, __func__);
  return c.doubleValue;
}

bool ExternIOClient::setInputBoolData(const std::string& name, int index,
                                      bool value) {
  RegisterCall c = RegisterCall::writeInputBool(index, value);
  impl_->runOne(name, c, __func__);
  return c.outcome == Outcome::kAnswered;
}

bool ExternIOClient::setInputIntData(const std::string& name, int index,
                                     int value) {
  RegisterCall c = RegisterCall::writeInputInt(index, value);
  impl_->runOne(name, c, __func__);
  return c.outcome == Outcome::kAnswered;
}

bool ExternIOClient::setInputDoubleData(const std::string& name, int index,
                                        double value) {
  RegisterCall c = RegisterCall::writeInputDouble(index, value);
  impl_->runOne(name, c, __func__);
  return c.outcome == Outcome::kAnswered;
}

bool ExternIOClient::isInputInUse() {
  RegisterCall c{Kind::kInputInUse};
  impl_->runOne(std::string(), c, __func__);
  return c.boolValue;
}

bool ExternIOClient::isConnectController() {
  RegisterCall c{Kind::kControllerConnected};
  impl_->runOne(std::string(), c, __func__);
  return c.boolValue;
}

bool ExternIOClient::isExIORunning() {
  // Only a proper answer counts: the value says whether the controller is
  // connected, not whether the service runs.
  RegisterCall c{Kind::kControllerConnected};
  impl_->runOne(std::string(), c, nullptr);
  const bool running = c.outcome == Outcome::kAnswered;
  impl_->noteRunning(running);
  return running;
}

robotio::CallStats ExternIOClient::callStats() const {
  return impl_->callStats();
}

// ---- Batches

void ExternIOClient::callRegisters(const std::string& name,
                                   std::vector<RegisterCall>& calls) {
  impl_->callRegisters(name, calls);
}

bool ExternIOClient::probeMulticall() { return impl_->probeMulticall(); }

bool ExternIOClient::multicallInUse() const { return impl_->multicallInUse(); }

void ExternIOClient::Impl::callRegisters(const std::string& owner,
                                         std::vector<RegisterCall>& calls) {
  std::vector<RegisterCall*> pending;
  pending.reserve(calls.size());
  for (RegisterCall& c : calls) {
    if (admit(owner, c, elementName(c))) pending.push_back(&c);
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
    switch (multicall(owner, pending, done, end, &detail)) {
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
  runSingly(owner, pending, done);
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
  trial.add(infoOf(Kind::kControllerConnected).method, xmlrpc_c::paramList());
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
    GW_LOG_AS(INFO, function, kMulticallInUse);
  } else if (detail.empty()) {
    GW_LOG_AS(INFO, function, kMulticallNotOffered);
  } else {
    GW_LOG_AS(INFO, function, std::string(kMulticallNotOffered) + ": %s",
              detail.c_str());
  }
}

ExternIOClient::Impl::Whole ExternIOClient::Impl::multicall(
    const std::string& owner, const std::vector<RegisterCall*>& pending,
    size_t begin, size_t end, std::string* detail) {
  robotio::MulticallText text(&request_);
  for (size_t i = begin; i < end; ++i) {
    const RegisterCall& c = *pending[i];
    text.beginCall(infoOf(c.kind).method);
    if (!addParams(owner, c, text)) {
      *detail = kNotFinite;  // admit() lets none through; never sent
      return Whole::kFailed;
    }
    text.endCall();
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
      finish(owner, c, element, why, elementName(c));
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
    finish(owner, c, element, why, elementName(c));
  }
  return Whole::kDone;
}

void ExternIOClient::Impl::runSingly(const std::string& owner,
                                     const std::vector<RegisterCall*>& pending,
                                     size_t from) {
  for (size_t i = from; i < pending.size(); ++i) {
    runSingle(owner, *pending[i], elementName(*pending[i]));
    if (pending[i]->outcome == Outcome::kTimedOut) {
      // As with a multicall: one time-out per batch, not one per register.
      if (i + 1 < pending.size()) {
        timeOutAll(pending, i + 1, "not sent: an earlier call timed out");
      }
      return;
    }
  }
}

void ExternIOClient::Impl::runSingle(const std::string& owner,
                                     RegisterCall& c, const char* function) {
  ParamList params;
  addParams(owner, c, params);
  xmlrpc_c::value result;
  std::string detail;
  Outcome outcome =
      call(infoOf(c.kind).method, params.list(), &result, &detail);
  if (outcome == Outcome::kAnswered) outcome = takeResult(c, result, &detail);
  finish(owner, c, outcome, detail, function);
}

void ExternIOClient::Impl::timeOutAll(const std::vector<RegisterCall*>& pending,
                                      size_t from, const std::string& detail) {
  for (size_t i = from; i < pending.size(); ++i) {
    pending[i]->outcome = Outcome::kTimedOut;
  }
  GW_LOG_AS(ERROR, "callRegisters",
            "EX-IO client batch: %zu calls timed out, detail: %s",
            pending.size() - from, detail.c_str());
}
