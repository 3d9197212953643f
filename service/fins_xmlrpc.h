#ifndef GW_SERVICE_FINS_XMLRPC_H_
#define GW_SERVICE_FINS_XMLRPC_H_

#include <cstdint>
#include <functional>
#include <memory>

#include "rpcwire/dispatcher.h"
#include "service/rpc_server.h"
#include "service/status_page.h"

class FinsExIO;
class BrowserRefusalLog;

// The daemon's XML-RPC front: the dispatcher of the gateway's 48 methods and
// the HTTP server that serves them on port 9601, path /RPC2.
//
// Usage (the process entry):
//   FinsXmlRpc* front = new FinsXmlRpc(engine);
//   front->init();  // throws when the server cannot be built
//   front->run();   // serves until the process ends
class FinsXmlRpc {
 public:
  // The TCP port clients reach the gateway on.
  static constexpr unsigned kPort = 9601;

  // Connections the server serves at once, idle kept-alive ones included.
  // One connection too many stalls Abyss's accept loop in 2-second sleeps
  // for every new client, so this is twice the 64 concurrent clients the
  // gateway is measured with (each connection costs a thread).
  static constexpr unsigned kMaxConnections = 128;
  // Connections the kernel queues before they are accepted: Abyss's own
  // default (15) dropped SYNs under 64 reconnecting clients, and a dropped
  // SYN costs the client a 1-second retransmission.
  static constexpr unsigned kListenBacklog = kMaxConnections;
  // Seconds a kept-alive connection may sit idle. With more than
  // kMaxConnections idle connections open, a new client waits at most about
  // this plus Abyss's 2-second accept poll. Clients that poll more often
  // than this keep their connection.
  static constexpr unsigned kKeepaliveTimeoutSeconds = 5;
  // Requests per kept-alive connection; the library's default (30) made
  // busy clients reconnect every 30 calls.
  static constexpr unsigned kKeepaliveMaxRequests = 100000;

  // `engine` is not owned; it must outlive this object and its methods.
  explicit FinsXmlRpc(FinsExIO* engine);
  ~FinsXmlRpc();

  FinsXmlRpc(const FinsXmlRpc&) = delete;
  FinsXmlRpc& operator=(const FinsXmlRpc&) = delete;

  // Builds the dispatcher with the 48 methods and the server on kPort,
  // replacing those of an earlier call. Returns true; an error of the server
  // library (such as a port it cannot bind) is thrown as std::exception.
  bool init();

  // Serves on the server init built. Does not return in normal operation;
  // throws std::exception when the server cannot serve (for example when
  // the port is taken).
  // REQUIRES: init() done.
  void run();

  // Has no effect and returns false: the daemon never stops serving.
  bool exit();

  // Adds the 48 methods of the gateway to `dispatcher`, each holding
  // `engine`, in the order "system.listMethods" lists them: the six
  // connection and controller methods, the 19 reads, the 17 writes, the
  // five mapping methods and getDiagnostics (which shows
  // `browserRequestsRefused` when given).
  static void addMethods(
      rpcwire::Dispatcher* dispatcher, FinsExIO* engine,
      std::function<std::uint64_t()> browserRequestsRefused = {});

  // The daemon's server settings for `port`: every interface, path /RPC2,
  // the limits above and rpcwire's request size and depth limits. Shared
  // with the benchmark, so that what it measures is configured as the
  // daemon is.
  static rpcserver::ServerOptions serverOptions(unsigned port);

 private:
  FinsExIO* const engine_;
  std::unique_ptr<rpcwire::Dispatcher> dispatcher_;
  std::unique_ptr<rpcserver::DispatcherProcessor> processor_;
  std::unique_ptr<StatusPage> statusPage_;  // GET /, /status.json, /metrics
  std::unique_ptr<BrowserRefusalLog> browserRefusals_;
  std::unique_ptr<rpcserver::RpcServer> server_;
};

#endif  // GW_SERVICE_FINS_XMLRPC_H_
