// ExternIOClient: the gateway's XML-RPC client of the robot controller's
// external IO service ("EX-IO"), which owns the robot's input and output
// registers of three kinds (bool, int, double).
//
// Every operation is one synchronous call to the service. Whatever goes
// wrong on the way (service down, connection refused, transport error or
// time-out, a fault answered by the service, an answer of an unexpected
// type) is caught here, logged at ERROR (except by isExIORunning) and turned
// into a neutral result: false, 0, 0.0 or nothing. No retry is made and the
// object stays usable for the next call. Exceptions not derived from
// std::exception are not caught.
//
// Register types, as the `type` argument of the claim and release calls:
// 0 bool register, 1 int register, 2 double register.
//
// A call the service does not answer ends after about 3 seconds and counts
// as a failure, so that a stalled service cannot stall the caller for good.
//
// Thread-safety: none. The object keeps one HTTP connection for its life;
// a caller that shares one instance between threads must serialise the
// calls itself.

#ifndef GW_ROBOTIO_EXTERN_IO_CLIENT_H_
#define GW_ROBOTIO_EXTERN_IO_CLIENT_H_

#include <memory>
#include <string>

// The external IO service's endpoint on the robot controller.
inline constexpr char EXIO_SERVER_URL[] = "http://127.0.0.1:9602/RPC2";

class ExternIOClient {
 public:
  // Talks to the service at EXIO_SERVER_URL.
  ExternIOClient();
  // Talks to the service at `serverUrl`, e.g. a simulator on another port.
  explicit ExternIOClient(const std::string& serverUrl);
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

  // The service's "isInputInUse" answer; false on any failure.
  bool isInputInUse();

  // The service's "isConnectController" answer; false on any failure.
  bool isConnectController();

  // Liveness probe: true when "isConnectController" is answered with a
  // boolean, whatever its value; false on any failure. Never logs, since
  // the synchronisation loop calls it every cycle.
  bool isExIORunning();

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

#endif  // GW_ROBOTIO_EXTERN_IO_CLIENT_H_
