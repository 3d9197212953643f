// ExternIOClient: the gateway's XML-RPC client of the robot controller's
// external IO service ("EX-IO"), which owns the robot's input and output
// registers of three kinds (bool, int, double).
//
// Every operation is one synchronous call to the service. Whatever goes
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
#include <memory>
#include <string>

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

 private:
  // writeInputDouble, logging failures under `function`'s name.
  Outcome writeInputDoubleAs(const char* function, const std::string& name,
                             int index, double value);

  class Impl;
  std::unique_ptr<Impl> impl_;
};

#endif  // GW_ROBOTIO_EXTERN_IO_CLIENT_H_
