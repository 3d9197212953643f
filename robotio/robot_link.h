// RobotLink: what the exchange engine needs of the robot controller's
// external IO service, so that the engine holds a link rather than one
// particular client (ExternIOClient speaks XML-RPC to the real service; a
// test or another transport may stand in for it).
//
// The service owns the robot's input and output registers of three kinds:
// 0 bool, 1 int, 2 double (the `type` of claims and releases).

#ifndef GW_ROBOTIO_ROBOT_LINK_H_
#define GW_ROBOTIO_ROBOT_LINK_H_

#include <string>
#include <vector>

#include "robotio/call_stats.h"

namespace robotio {

// How one call to the service ended, for callers that must tell a value
// from a failure (the synchronisation passes never pass on a value that
// nobody read).
enum class Outcome {
  kAnswered,  // a proper answer; for a write: the service wrote it
  kRejected,  // the service answered a write or claim with false
  kFault,     // the service answered a fault or a value of the wrong type
  kNoAnswer,  // refused or broken connection, HTTP error, malformed answer
  kTimedOut,  // no answer within the call time-out
};

// One call of a batch: what to do, and afterwards how it ended. Build the
// register calls with the named constructors.
struct RegisterCall {
  enum class Kind {
    kClaimInput,        // occupyInput(owner, registerType, index)
    kReadOutputBool,    // getOutputBoolData(index)    -> boolValue
    kReadOutputInt,     // getOutputIntData(index)     -> intValue
    kReadOutputDouble,  // getOutputDoubleData(index)  -> doubleValue
    kWriteInputBool,    // setInputBoolData(owner, index, boolValue)
    kWriteInputInt,     // setInputIntData(owner, index, intValue)
    kWriteInputDouble,  // setInputDoubleData(owner, index, doubleValue)
    kReleaseInput,      // releaseInput(owner, registerType, index) -> intValue
    kInputInUse,        // isInputInUse()                           -> boolValue
    kControllerConnected,  // isConnectController()                 -> boolValue
  };

  static RegisterCall claimInput(int registerType, int index) {
    return {Kind::kClaimInput, index, registerType};
  }
  static RegisterCall readOutputBool(int index) {
    return {Kind::kReadOutputBool, index};
  }
  static RegisterCall readOutputInt(int index) {
    return {Kind::kReadOutputInt, index};
  }
  static RegisterCall readOutputDouble(int index) {
    return {Kind::kReadOutputDouble, index};
  }
  static RegisterCall writeInputBool(int index, bool value) {
    return {Kind::kWriteInputBool, index, 0, value};
  }
  static RegisterCall writeInputInt(int index, int value) {
    return {Kind::kWriteInputInt, index, 0, false, value};
  }
  static RegisterCall writeInputDouble(int index, double value) {
    return {Kind::kWriteInputDouble, index, 0, false, 0, value};
  }

  Kind kind = Kind::kReadOutputInt;
  int index = 0;
  int registerType = 0;  // claims and releases only: 0 bool, 1 int, 2 double
  // In for writes; out for the other kinds that answer a value, set only
  // when outcome is kAnswered.
  bool boolValue = false;
  int intValue = 0;
  double doubleValue = 0.0;
  // Set by callRegisters. kRejected: a write or claim answered false.
  Outcome outcome = Outcome::kNoAnswer;
};

class RobotLink {
 public:
  virtual ~RobotLink() = default;

  // Runs every element of `calls` on behalf of `owner` (the claims', the
  // writes' and the releases' owner), in order, and sets each element's
  // outcome and, where its kind answers one, its value. One element's
  // failure leaves the others alone, except that a time-out ends the batch:
  // the elements not yet answered are kTimedOut, so that a hung service
  // costs one time-out per batch. A write of a value the link cannot carry
  // (infinity, NaN) is kFault without a call. Failures are logged; an empty
  // batch makes no call.
  virtual void callRegisters(const std::string& owner,
                             std::vector<RegisterCall>& calls) = 0;

  // Gives input register `index` of register type `type` back from
  // `owner`. Logged before the call, so that a release shows even when the
  // service cannot be reached; the answer is not used.
  virtual void releaseInput(const std::string& owner, int type, int index) = 0;

  // Liveness probe, asked every cycle: true when the service answers
  // properly, whether or not the controller behind it is connected. Never
  // logs.
  virtual bool isRunning() = 0;

  // Whether batches go as one request (system.multicall) right now rather
  // than one call per element; for the status page, never a call.
  virtual bool multicallInUse() const = 0;

  // Counts and times of every call made so far (liveness probes included).
  // Unlike the calls, safe to ask from any thread at any time; costs no
  // call.
  virtual CallStats callStats() const = 0;
};

}  // namespace robotio

#endif  // GW_ROBOTIO_ROBOT_LINK_H_
