#ifndef GW_METHODS_CONNECTION_METHODS_H_
#define GW_METHODS_CONNECTION_METHODS_H_

#include <atomic>

#include <xmlrpc-c/base.hpp>
#include <xmlrpc-c/registry.hpp>

#include "exio/fins_exio.h"

// The XML-RPC methods that open and close the engine's FINS connection,
// report its state, and read or override what the engine knows of the PLC.
//
// Every method object holds a non-owning pointer to the engine, which must
// outlive it and every worker it started. Parameters are positional; surplus
// parameters are ignored; a missing or mistyped one is answered with the
// parameter list's fault and no engine call.

namespace FINS {
namespace METHOD {

// "connect"(string address, int port, int localNet, int localNode,
//           int localUnit, int remoteNet, int remoteNode, int remoteUnit,
//           int unused) -> int 0
// Starts FinsExIO::connect on a worker and answers before the attempt ends;
// the client follows it through "getState". While the engine is already
// Connecting the call answers 0 at once, without reading its parameters.
class FinsSetConnect : public xmlrpc_c::method {
 public:
  explicit FinsSetConnect(FinsExIO* engine);
  ~FinsSetConnect() override;

  FinsSetConnect(const FinsSetConnect&) = delete;
  FinsSetConnect& operator=(const FinsSetConnect&) = delete;

  void execute(xmlrpc_c::paramList const& params,
               xmlrpc_c::value* result) override;

 private:
  FinsExIO* const engine_;
};

// "connectUdp"(the nine parameters of "connect") -> int 0
// As "connect", over FINS/UDP (FinsExIO::connectUdp): a local or PLC node of
// 0 is derived from the last octet of the local or the PLC's address.
// "connect" keeps meaning FINS/TCP.
class FinsSetConnectUdp : public xmlrpc_c::method {
 public:
  explicit FinsSetConnectUdp(FinsExIO* engine);
  ~FinsSetConnectUdp() override;

  FinsSetConnectUdp(const FinsSetConnectUdp&) = delete;
  FinsSetConnectUdp& operator=(const FinsSetConnectUdp&) = delete;

  void execute(xmlrpc_c::paramList const& params,
               xmlrpc_c::value* result) override;

 private:
  FinsExIO* const engine_;
};

// "getTransport"() -> string, the transport of the last connect: "TCP",
// "UDP", or "" before the first.
class FinsGetTransport : public xmlrpc_c::method {
 public:
  explicit FinsGetTransport(FinsExIO* engine);
  ~FinsGetTransport() override;

  FinsGetTransport(const FinsGetTransport&) = delete;
  FinsGetTransport& operator=(const FinsGetTransport&) = delete;

  void execute(xmlrpc_c::paramList const& params,
               xmlrpc_c::value* result) override;

 private:
  FinsExIO* const engine_;
};

// "disconnect"() -> int 0
// Starts FinsExIO::disconnect on a worker and answers at once; while an
// earlier disconnect worker still runs, starts nothing.
class FinsDisconnect : public xmlrpc_c::method {
 public:
  explicit FinsDisconnect(FinsExIO* engine);
  ~FinsDisconnect() override;

  FinsDisconnect(const FinsDisconnect&) = delete;
  FinsDisconnect& operator=(const FinsDisconnect&) = delete;

  void execute(xmlrpc_c::paramList const& params,
               xmlrpc_c::value* result) override;

 private:
  FinsExIO* const engine_;
  // A disconnect worker runs. Tested and set in one exchange, so that two
  // requests arriving together start one worker.
  std::atomic<bool> busy_;
};

// "getState"() -> int, the engine's connection state code.
class FinsGetConnectionState : public xmlrpc_c::method {
 public:
  explicit FinsGetConnectionState(FinsExIO* engine);
  ~FinsGetConnectionState() override;

  FinsGetConnectionState(const FinsGetConnectionState&) = delete;
  FinsGetConnectionState& operator=(const FinsGetConnectionState&) = delete;

  void execute(xmlrpc_c::paramList const& params,
               xmlrpc_c::value* result) override;

 private:
  FinsExIO* const engine_;
};

// "PLCModeGet"() -> string, the PLC family ("CS", "CJ", "CV", "CP" or
// "UNKNOWN").
class FinsPLCModeGet : public xmlrpc_c::method {
 public:
  explicit FinsPLCModeGet(FinsExIO* engine);
  ~FinsPLCModeGet() override;

  FinsPLCModeGet(const FinsPLCModeGet&) = delete;
  FinsPLCModeGet& operator=(const FinsPLCModeGet&) = delete;

  void execute(xmlrpc_c::paramList const& params,
               xmlrpc_c::value* result) override;

 private:
  FinsExIO* const engine_;
};

// "PLCModeSet"(string family) -> boolean, whether the engine took it.
class FinsPLCModeSet : public xmlrpc_c::method {
 public:
  explicit FinsPLCModeSet(FinsExIO* engine);
  ~FinsPLCModeSet() override;

  FinsPLCModeSet(const FinsPLCModeSet&) = delete;
  FinsPLCModeSet& operator=(const FinsPLCModeSet&) = delete;

  void execute(xmlrpc_c::paramList const& params,
               xmlrpc_c::value* result) override;

 private:
  FinsExIO* const engine_;
};

// "CPUUnitDataRead"() -> struct of the CPU unit data the engine read at its
// last successful connect (all zero and empty before the first). Makes no
// FINS exchange.
class FinsCPUUnitDataRead : public xmlrpc_c::method {
 public:
  explicit FinsCPUUnitDataRead(FinsExIO* engine);
  ~FinsCPUUnitDataRead() override;

  FinsCPUUnitDataRead(const FinsCPUUnitDataRead&) = delete;
  FinsCPUUnitDataRead& operator=(const FinsCPUUnitDataRead&) = delete;

  void execute(xmlrpc_c::paramList const& params,
               xmlrpc_c::value* result) override;

 private:
  FinsExIO* const engine_;
};

}  // namespace METHOD
}  // namespace FINS

#endif  // GW_METHODS_CONNECTION_METHODS_H_
