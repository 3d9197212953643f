// ExternIOClient: the gateway's XML-RPC client of the robot controller's
// external IO service ("EX-IO"), which owns the robot's input and output
// registers of three kinds (bool, int, double): the RobotLink the exchange
// engine talks through.
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
#include "robotio/robot_link.h"

// The external IO service's endpoint on the robot controller.
inline constexpr char EXIO_SERVER_URL[] = "http://127.0.0.1:9602/RPC2";

class ExternIOClient : public robotio::RobotLink {
 public:
  using Outcome = robotio::Outcome;
  using RegisterCall = robotio::RegisterCall;

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
  ~ExternIOClient() override;

  ExternIOClient(const ExternIOClient&) = delete;
  ExternIOClient& operator=(const ExternIOClient&) = delete;
  ExternIOClient(ExternIOClient&&) = delete;
  ExternIOClient& operator=(ExternIOClient&&) = delete;

  // Each single operation below is the batch of one call of its kind, run
  // as one request, and logs as that element would, but under the
  // operation's own name.

  // Claims input register `index` of register type `type` for `name`
  // ("occupyInput"). Returns the service's answer (true: claimed); false on
  // any failure. Logs INFO on every answer, also false.
  bool occupyInput(const std::string& name, int type, int index);

  // Gives input register `index` of `type` back ("releaseInput"). Logs a
  // WARNING before the call; the service's int answer is not used.
  void releaseInput(const std::string& name, int type, int index) override;

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

  // The service's "isInputInUse" answer; false on any failure.
  bool isInputInUse();

  // The service's "isConnectController" answer; false on any failure.
  bool isConnectController();

  // Liveness probe: true when "isConnectController" is answered with a
  // boolean, whatever its value; false on any failure. Never logs, since
  // the synchronisation loop calls it every cycle.
  bool isExIORunning();
  bool isRunning() override { return isExIORunning(); }

  robotio::CallStats callStats() const override;

  // ---- Batches: many calls in one round trip.

  // Elements per system.multicall; a longer batch goes as several. 500
  // register calls make a request of about 130 KB and an answer of about
  // 60 KB, well inside the 1 MiB the service and this client accept.
  static constexpr std::size_t kMaxMulticallElements = 500;

  // How long the client keeps to one call per register after the service
  // was found without system.multicall, before it asks again (the service
  // may have been updated or restarted meanwhile without ever looking
  // down to isExIORunning).
  static constexpr std::chrono::seconds kMulticallRecheck{30};

  // As RobotLink::callRegisters. Each element ends as the single call of
  // its kind would, logging the same records (ERROR for a failure, INFO
  // for every claim answered, WARNING before every release) under the
  // name of the element's kind (its named constructor; "occupyInput" for
  // claims).
  //
  // With system.multicall in use (see probeMulticall) the batch costs one
  // round trip per kMaxMulticallElements elements; otherwise one per
  // element. A multicall that times out makes all its elements kTimedOut
  // (one ERROR record) and they are not tried again singly; in the one-
  // call-per-register mode, too, a time-out ends the batch and the
  // elements not yet sent are kTimedOut without a call. Any other failure
  // of a whole multicall (no answer, HTTP error, malformed answer, a fault
  // such as "no such method") runs that batch's elements singly and turns
  // multicall off until the next probe: a service that loses multicall
  // keeps its exchange.
  void callRegisters(const std::string& name,
                     std::vector<RegisterCall>& calls) override;

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

  bool multicallInUse() const override;

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

#endif  // GW_ROBOTIO_EXTERN_IO_CLIENT_H_
