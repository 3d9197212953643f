// ExternIOClient: the gateway's XML-RPC client of the robot controller's
// external IO service ("EX-IO"), which owns the robot's input and output
// registers of three kinds (bool, int, double).
//
// Every operation is one synchronous call to the service (a batch, see
// callRegisters, one or a few system.multicall requests). Whatever goes
// wrong on the way (service down, connection refused, transport error or
// time-out, a fault answered by the service, an answer of an unexpected
// type, a malformed answer) is caught here, logged at ERROR (except by
// isExIORunning) and turned into a neutral result: false, 0, 0.0 or nothing.
// No failed call is retried (a request that met a kept connection the
// service had just closed is sent once more on a new one, which is no
// failure) and the object stays usable for the next call. Doubles cross
// bit-exactly in both directions.
//
// Register types, as the `type` argument of the claim and release calls:
// 0 bool register, 1 int register, 2 double register.
//
// A call the service does not answer completely ends when the call
// time-out (kDefaultCallTimeoutMs unless the constructor says otherwise) has
// passed since it began, and counts as a failure, so that a stalled service
// cannot stall the caller for good. No answer, however malformed, does more
// than fail its call (see robotio/http_transport.h and http_response.h for
// what is accepted).
//
// Thread-safety: none. The object keeps its HTTP connection from call to
// call (a new one after a failure or when the service closed it); a caller
// that shares one instance between threads must serialise the calls itself.

#ifndef GW_ROBOTIO_EXTERN_IO_CLIENT_H_
#define GW_ROBOTIO_EXTERN_IO_CLIENT_H_

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "robotio/call_stats.h"

// The external IO service's endpoint on the robot controller.
inline constexpr char EXIO_SERVER_URL[] = "http://127.0.0.1:9602/RPC2";

class ExternIOClient {
 public:
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

  // A sound call costs well under a millisecond on loopback; 2 s tells a
  // busy service from a stalled one and bounds what a stalled one holds up.
  static constexpr int kDefaultCallTimeoutMs = 2000;

  // Talks to the service at EXIO_SERVER_URL.
  ExternIOClient();
  // Talks to the service at `serverUrl`, e.g. a simulator on another port.
  explicit ExternIOClient(const std::string& serverUrl);
  // The same with a call time-out of `callTimeout` (> 0) instead of
  // kDefaultCallTimeoutMs.
  ExternIOClient(const std::string& serverUrl,
                 std::chrono::milliseconds callTimeout);
  ~ExternIOClient();

  ExternIOClient(const ExternIOClient&) = delete;
  ExternIOClient& operator=(const ExternIOClient&) = delete;
  ExternIOClient(ExternIOClient&&) = delete;
  ExternIOClient& operator=(ExternIOClient&&) = delete;

  // Claims input register `index` of register type `type` for `name`
  // ("occupyInput"). Returns the service's answer (true: claimed); false on
  // any failure. Logs INFO on every answer, also false.
  bool occupyInput(const std::string& name, int type, int index);

  // Gives input register `index` of `type` back ("releaseInput"). Logs a
  // WARNING before the call; the service's int answer is not used.
  void releaseInput(const std::string& name, int type, int index);

  // The value of output register `index` ("getOutputBoolData",
  // "getOutputIntData", "getOutputDoubleData"); false, 0 or 0.0 on any
  // failure, which the caller cannot tell from a real value.
  bool getOutputBoolData(int index);
  int getOutputIntData(int index);
  double getOutputDoubleData(int index);

  // Writes input register `index`, held under `name` ("setInputBoolData",
  // "setInputIntData", "setInputDoubleData"). Returns the service's answer
  // (true: written); false on any failure.
  bool setInputBoolData(const std::string& name, int index, bool value);
  bool setInputIntData(const std::string& name, int index, int value);
  bool setInputDoubleData(const std::string& name, int index, double value);

  // The same reads and writes with their outcome: `*value` is set only when
  // the outcome is kAnswered. Failures are logged at ERROR as above.
  Outcome readOutputBool(int index, bool* value);
  Outcome readOutputInt(int index, int* value);
  Outcome readOutputDouble(int index, double* value);
  Outcome writeInputBool(const std::string& name, int index, bool value);
  Outcome writeInputInt(const std::string& name, int index, int value);
  Outcome writeInputDouble(const std::string& name, int index, double value);

  // The service's "isInputInUse" answer; false on any failure.
  bool isInputInUse();

  // The service's "isConnectController" answer; false on any failure.
  bool isConnectController();

  // Liveness probe: true when "isConnectController" is answered with a
  // boolean, whatever its value; false on any failure. Never logs, since
  // the synchronisation loop calls it every cycle.
  bool isExIORunning();

  // Counts and times of every call made so far (liveness probes included).
  // Unlike the calls, safe to ask from any thread at any time; costs no
  // call.
  robotio::CallStats callStats() const;

  // ---- Batches: many register operations in one round trip.
  //
  // One register operation of a batch: what to do, and afterwards how it
  // ended. Build them with the named constructors below.
  struct RegisterCall {
    enum class Kind {
      kClaimInput,        // occupyInput(name, registerType, index)
      kReadOutputBool,    // getOutputBoolData(index)    -> boolValue
      kReadOutputInt,     // getOutputIntData(index)     -> intValue
      kReadOutputDouble,  // getOutputDoubleData(index)  -> doubleValue
      kWriteInputBool,    // setInputBoolData(name, index, boolValue)
      kWriteInputInt,     // setInputIntData(name, index, intValue)
      kWriteInputDouble,  // setInputDoubleData(name, index, doubleValue)
    };

    static RegisterCall claimInput(int registerType, int index);
    static RegisterCall readOutputBool(int index);
    static RegisterCall readOutputInt(int index);
    static RegisterCall readOutputDouble(int index);
    static RegisterCall writeInputBool(int index, bool value);
    static RegisterCall writeInputInt(int index, int value);
    static RegisterCall writeInputDouble(int index, double value);

    Kind kind = Kind::kReadOutputInt;
    int index = 0;
    int registerType = 0;  // claims only: 0 bool, 1 int, 2 double
    // In for writes; out for reads, set only when outcome is kAnswered.
    bool boolValue = false;
    int intValue = 0;
    double doubleValue = 0.0;
    // Set by callRegisters. kRejected: a write or claim answered false.
    Outcome outcome = Outcome::kNoAnswer;
  };

  // Elements per system.multicall; a longer batch goes as several. 500
  // register calls make a request of about 130 KB and an answer of about
  // 60 KB, well inside the 1 MiB the service and this client accept.
  static constexpr std::size_t kMaxMulticallElements = 500;

  // How long the client keeps to one call per register after the service
  // was found without system.multicall, before it asks again (the service
  // may have been updated or restarted meanwhile without ever looking
  // down to isExIORunning).
  static constexpr std::chrono::seconds kMulticallRecheck{30};

  // Runs every element of `calls` on behalf of `name` (the claims' and the
  // writes' owner) and sets each element's outcome and, for reads, its
  // value. Each element ends as the single call of its kind would, logging
  // the same records (ERROR for a failure, INFO for every claim answered);
  // one element's failure leaves the others alone.
  //
  // With system.multicall in use (see probeMulticall) the batch costs one
  // round trip per kMaxMulticallElements elements; otherwise one per
  // element. A multicall that times out makes all its elements kTimedOut
  // (one ERROR record) and they are not tried again singly, so that a hung
  // service costs one time-out, not one per register; in the one-call-per-
  // register mode, too, a time-out ends the batch and the elements not yet
  // sent are kTimedOut without a call. Any other failure of a whole
  // multicall (no answer, HTTP error, malformed answer, a fault such as "no
  // such method") runs that batch's elements singly and turns multicall
  // off until the next probe: a service that loses multicall keeps its
  // exchange. A write of a value XML-RPC cannot carry (infinity, NaN) is
  // kFault without a call. Elements are answered in order; an empty batch
  // makes no call.
  void callRegisters(const std::string& name, std::vector<RegisterCall>& calls);

  // Asks the service now whether it offers system.multicall, by a trial
  // multicall of one "isConnectController": in use when it is answered with
  // the one-element array of a boolean a multicall answer holds; not
  // offered when the service answers a fault or anything else; undecided
  // (returns false, tries again on the next batch) when the service does
  // not answer at all. Logs the decision at INFO ("EX-IO multicall in use"
  // / "EX-IO multicall not offered, one call per register"). Returns
  // multicallInUse().
  //
  // Needed only to ask at a moment of the caller's choosing: callRegisters
  // probes by itself before its first batch, and again once isExIORunning
  // has found the service running after it had not, or kMulticallRecheck
  // after a "not offered".
  bool probeMulticall();

  // Whether batches go as system.multicall right now.
  bool multicallInUse() const;

 private:
  // writeInputDouble, logging failures under `function`'s name.
  Outcome writeInputDoubleAs(const char* function, const std::string& name,
                             int index, double value);

  class Impl;
  std::unique_ptr<Impl> impl_;
};

#endif  // GW_ROBOTIO_EXTERN_IO_CLIENT_H_
