#ifndef GW_SERVICE_FINS_XMLRPC_H_
#define GW_SERVICE_FINS_XMLRPC_H_

#include <memory>

#include <xmlrpc-c/registry.hpp>
#include <xmlrpc-c/server_abyss.hpp>

class FinsExIO;

// The daemon's XML-RPC front: the registry of the gateway's 47 methods and
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

  // Connections the server serves at once. Abyss's own default (15) is
  // below the number of keep-alive clients a busy controller can hold
  // open, and one connection too many stalls its accept loop in 2-second
  // sleeps for every client; this leaves ample room.
  static constexpr unsigned kMaxConnections = 64;

  // `engine` is not owned; it must outlive this object and its methods.
  explicit FinsXmlRpc(FinsExIO* engine);
  ~FinsXmlRpc();

  FinsXmlRpc(const FinsXmlRpc&) = delete;
  FinsXmlRpc& operator=(const FinsXmlRpc&) = delete;

  // Builds the registry with the 47 methods and the server on kPort,
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

  // Adds the 47 methods of the gateway to `registry`, each holding
  // `engine`, in the order "system.listMethods" lists them: the six
  // connection and controller methods, the 19 reads, the 17 writes and the
  // five mapping methods.
  static void addMethods(xmlrpc_c::registry* registry, FinsExIO* engine);

  // A server of `registry` on `port` with the daemon's settings: no log
  // file, the library's keep-alive and time-out defaults, kMaxConnections,
  // binding the port itself, and the process's signals left alone. Shared
  // with the benchmark, so that what it measures is configured as the
  // daemon is.
  static std::unique_ptr<xmlrpc_c::serverAbyss> newServer(
      const xmlrpc_c::registry& registry, unsigned port);

 private:
  FinsExIO* const engine_;
  std::unique_ptr<xmlrpc_c::serverAbyss> server_;
  std::unique_ptr<xmlrpc_c::registry> registry_;
};

#endif  // GW_SERVICE_FINS_XMLRPC_H_
