// exio-sim: the robot controller's external IO service, as seen from a
// client of its XML-RPC interface.
//
// It stands in for the robot side of the gateway so that the gateway can be
// run, tested and measured without a robot controller. It serves XML-RPC over
// HTTP on 127.0.0.1, path /RPC2, and owns three banks of input and output
// registers (bool, int, double) of kRegisterCount registers each, indices
// 0 .. kRegisterCount - 1. Bank numbers on the wire: 0 bool, 1 int, 2 double.
//
// Remote methods (argument types as XML-RPC types; "owner" is a string):
//
//   occupyInput(owner, bank, index)          -> boolean
//       Claims input register `index` of `bank` for `owner`. true when the
//       register was free (it now belongs to `owner`) or already belonged to
//       `owner`; false when another owner holds it.
//   releaseInput(owner, bank, index)         -> int
//       0 when the register is free afterwards (it was `owner`'s or nobody's);
//       -1 when another owner holds it (it stays theirs). A released
//       register keeps its value.
//   setInputBoolData(owner, index, boolean)  -> boolean
//   setInputIntData(owner, index, int)       -> boolean
//   setInputDoubleData(owner, index, double) -> boolean
//       Writes the input register when `owner` holds it and answers true;
//       otherwise leaves it unchanged and answers false. A robot program
//       reads its input registers, so only the claimant may write them.
//   getOutputBoolData(index)                 -> boolean
//   getOutputIntData(index)                  -> int
//   getOutputDoubleData(index)               -> double
//       The output register's value; output registers are written by the
//       robot program (here: setOutputBool/Int/Double or the console).
//   isInputInUse()                           -> boolean
//       true while at least one input register of any bank is claimed.
//   isConnectController()                    -> boolean
//       true while the controller is connected (see setControllerConnected).
//   system.multicall(array of {methodName, params})  -> array
//       Many calls in one request: each call's result as a one-element
//       array, or its fault as a struct {faultCode, faultString}, in order.
//       Offered unless turned off (Options::offerMulticall,
//       setOfferMulticall): then answered with fault -506 (no such method)
//       and left out of system.listMethods, as a service without it would.
//   system.listMethods()                     -> array of strings
//
// A bank outside 0..2, an index outside the register range, an empty owner
// name, a missing, surplus or mistyped argument, or an unknown method is
// answered with an XML-RPC fault. All registers start at zero and free.
//
// The HTTP server keeps connections alive for up to 1,000,000 requests each
// and accepts up to 64 connections at once, so that a benchmark measures its
// client rather than reconnects or a stalled accept loop.

#ifndef TOOLS_EXIO_SIM_EXIO_SIM_H_
#define TOOLS_EXIO_SIM_EXIO_SIM_H_

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>

namespace exiosim {

constexpr int kRegisterCount = 100;
constexpr int kDefaultPort = 9602;

// Register banks, numbered as the robot register types on the wire.
enum Bank { kBoolBank = 0, kIntBank = 1, kDoubleBank = 2 };

struct Options {
  // TCP port on 127.0.0.1; 0 picks an ephemeral port (read it with port()).
  int port = kDefaultPort;
  // When set, one line per call answered (method, arguments, answer) is
  // written here. The stream must outlive the simulator; writes to it are
  // serialised by the simulator.
  std::ostream* trace = nullptr;
  // Whether system.multicall is answered; see setOfferMulticall.
  bool offerMulticall = true;
};

// The external IO service. Every client connection is served on a thread of
// its own; all public operations are thread-safe and may be called while
// clients are being served. Not copyable.
class ExioSimulator {
 public:
  explicit ExioSimulator(const Options& options = Options());
  ~ExioSimulator();  // Stops (see stop()).

  ExioSimulator(const ExioSimulator&) = delete;
  ExioSimulator& operator=(const ExioSimulator&) = delete;

  // Binds 127.0.0.1:port, starts serving on a thread of its own and returns
  // true; from then on calls are answered (connections made before the
  // server thread runs wait in the listen queue). Returns false and, when
  // `error` is not null, a readable reason in *error when the port cannot be
  // bound (e.g. it is taken) or the server cannot be set up; the simulator
  // then stays stopped. On a running simulator it returns true and does
  // nothing. A stopped simulator can be started again: it binds the same
  // port (the one chosen at the first start when Options::port was 0) and
  // keeps its registers, claims and fault settings.
  bool start(std::string* error = nullptr);

  // Stops serving: calls held by setHang are released with a fault, every
  // client connection is closed once its answer in progress is written, the
  // server thread and every connection thread are joined and the listening
  // socket is closed (new connections are refused). Safe to call more than
  // once and on a simulator never started. Takes milliseconds; a client
  // that connects while the simulator is stopping can make the HTTP
  // library pause 2 seconds before its server loop returns.
  void stop();

  bool isRunning() const;

  // The port bound by the last successful start; 0 before it.
  int port() const;

  // "http://127.0.0.1:<port>/RPC2".
  std::string url() const;

  // The robot program's side of the registers. REQUIRES (all of them):
  // 0 <= index < kRegisterCount, else std::out_of_range is thrown.
  void setOutputBool(int index, bool value);
  void setOutputInt(int index, int value);
  void setOutputDouble(int index, double value);
  bool outputBool(int index) const;
  int outputInt(int index) const;
  double outputDouble(int index) const;
  bool inputBool(int index) const;
  int inputInt(int index) const;
  double inputDouble(int index) const;

  // Owner name of input register `index` of `bank`; empty when it is free.
  // REQUIRES: bank is a Bank and 0 <= index < kRegisterCount, else
  // std::out_of_range is thrown.
  std::string owner(int bank, int index) const;

  // Number of calls of the register methods answered since construction
  // (faults included): a multicall counts each call it holds.
  uint64_t callsAnswered() const;

  // Number of HTTP requests answered since construction: a multicall counts
  // once; faults, system.* calls and bodies that are no call count too.
  uint64_t requestsAnswered() const;

  // Number of distinct client ports calls have arrived from since
  // construction: one per TCP connection a client opened and used, as long
  // as the system hands out no port twice. Tells connection reuse from a
  // connection per call.
  uint64_t connectionsSeen() const;

  // ---- Fault injection, for tests. Each setting holds until changed.

  // occupyInput answers false whoever holds the register, and claims
  // nothing.
  void setRefuseClaims(bool refuse);

  // Every method answers a value of the wrong XML-RPC type: an int (1) where
  // a boolean or a double belongs, a boolean (true) where an int belongs.
  // The call has no other effect.
  void setWrongResultType(bool wrong);

  // Every method answers an XML-RPC fault and has no other effect.
  void setAnswerFaults(bool faults);

  // Every call that names register `index` of `bank` (a claim or release,
  // a read of the output register, a write of the input register) answers
  // an XML-RPC fault and has no other effect; the other registers work as
  // usual. REQUIRES: bank is a Bank and 0 <= index < kRegisterCount, else
  // std::out_of_range is thrown.
  void setFailingRegister(int bank, int index, bool failing);

  // What isConnectController answers; true at construction.
  void setControllerConnected(bool connected);

  // Whether system.multicall is offered from the next request on; starts
  // as Options::offerMulticall. A multicall already being answered is
  // answered in full.
  void setOfferMulticall(bool offer);
  bool offersMulticall() const;

  // While on, every call that arrives blocks without an answer until the
  // setting is turned off (the call then proceeds as usual) or the
  // simulator stops (the call is answered with a fault).
  // `method`, when not empty, limits the hang to calls of that remote
  // method: the others are answered as usual.
  void setHang(bool hang, const std::string& method = std::string());

  // Number of calls blocked by setHang right now; lets a test wait until a
  // call has reached the simulator.
  int hungCalls() const;

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace exiosim

#endif  // TOOLS_EXIO_SIM_EXIO_SIM_H_
