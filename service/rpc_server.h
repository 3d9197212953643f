#ifndef GW_SERVICE_RPC_SERVER_H_
#define GW_SERVICE_RPC_SERVER_H_

// An XML-RPC server over HTTP built on the Abyss HTTP server of xmlrpc-c,
// with the HTTP boundary and the call processing in our hands: Abyss
// accepts connections, keeps them alive and parses HTTP headers; this
// server checks each request (path, method, what a browser gives away,
// size, element depth) before any XML parser sees it and hands the body
// to a CallProcessor.
//
// Why not xmlrpc_c::serverAbyss: its XML parser builds and frees the
// element tree recursively before it looks at its own nesting limit, so
// one small deeply nested request overflows a connection thread's stack
// and kills the process; and an oversized body gets HTTP 500, not 413.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include <netinet/in.h>

#include <xmlrpc-c/registry.hpp>

#include "rpcwire/dispatcher.h"

namespace rpcserver {

// Limits a server starts with unless told otherwise. They fit every call
// of the gateway's API and of the external IO service with a wide margin.
//
// The largest real request is a system.multicall of a few hundred memory
// area calls (about 200 bytes each); 256 KiB holds well over a thousand.
// Bodies are held in memory once per connection while they are answered.
constexpr size_t kDefaultMaxRequestBytes = 256 * 1024;
// Element nesting the deepest legal call needs: XML-RPC nests values
// through <value><array><data> (three elements a level) and the library
// refuses more than 64 levels, under <methodCall><params><param>. Deeper
// bodies are refused before parsing, so no parser recursion can get near
// the end of the connection thread's stack.
constexpr size_t kDefaultMaxElementDepth = 3 * 64 + 8;
// Stack of each connection thread (Abyss adds its own share).
constexpr size_t kDefaultHandlerStackBytes = 512 * 1024;

// Answers request bodies. Implementations are called from many connection
// threads at once and must be thread-safe.
class CallProcessor {
 public:
  virtual ~CallProcessor() = default;

  // Answers one XML-RPC request body (`size` bytes, not NUL-terminated)
  // with a complete methodResponse document, a result or a fault. Must not
  // throw. `callInfo` describes the connection the call came on (an
  // xmlrpc_c::callInfo_serverAbyss); valid for the duration of the call.
  virtual std::string process(const char* body, size_t size,
                              const xmlrpc_c::callInfo* callInfo) = 0;
};

// Told of every call request refused as one only a browser sends: any
// request carrying an Origin header (browsers add it to every cross-site
// POST and to a page whose host name was rebound to ours), and any typed
// as a web page may post without asking the server first (text/plain,
// application/x-www-form-urlencoded, multipart/form-data). XML-RPC clients
// that are not browsers send neither. Called on connection threads at
// once: implementations must be thread-safe and quick.
class BrowserRefusalListener {
 public:
  virtual ~BrowserRefusalListener() = default;

  // `seen` names what gave the request away, e.g. "Origin: http://x.test"
  // or "Content-Type: text/plain"; printable ASCII, at most about 100
  // bytes, so it may be logged as it is.
  virtual void refused(const std::string& seen) = 0;
};

// The deepest element nesting in `body`, counting open tags not yet closed
// (so an unclosed tail counts too), but stops counting and returns
// `stopAt` as soon as the depth reaches it. Comments, processing
// instructions, CDATA and declarations are skipped. Iterative: safe on any
// input.
size_t elementDepth(const char* body, size_t size, size_t stopAt);

// A methodResponse document carrying a fault; `text` is escaped.
std::string faultResponse(int code, const std::string& text);

// Answers calls through an xmlrpc_c::registry and the library's own XML
// parser; safe only behind the server's depth guard. The registry is not
// owned and must outlive this.
class RegistryProcessor : public CallProcessor {
 public:
  explicit RegistryProcessor(const xmlrpc_c::registry& registry);
  std::string process(const char* body, size_t size,
                      const xmlrpc_c::callInfo* callInfo) override;

 private:
  const xmlrpc_c::registry& registry_;
};

// Answers calls through an rpcwire::Dispatcher: exact doubles, no
// recursion on input depth. The dispatcher is not owned and must outlive
// this; it must be fully set up before the first call.
class DispatcherProcessor : public CallProcessor {
 public:
  explicit DispatcherProcessor(const rpcwire::Dispatcher& dispatcher);
  std::string process(const char* body, size_t size,
                      const xmlrpc_c::callInfo* callInfo) override;

 private:
  const rpcwire::Dispatcher& dispatcher_;
};

// The IPv4 address of the client whose call this thread is answering, for
// methods that want to know which connection a call came on (the
// dispatcher hands them no xmlrpc_c::callInfo). False, leaving *peer
// alone, outside a call or for a client that is not IPv4.
bool currentPeer(sockaddr_in* peer);

// Read-only pages served beside the calls (GET on paths other than the
// call path). Implementations are called from many connection threads at
// once, must be thread-safe and must not change anything.
class PageSource {
 public:
  struct Page {
    std::string contentType;
    std::string body;
  };
  virtual ~PageSource() = default;

  // Fills `out` with the page at `path` (without the query) and returns
  // true; false when there is no page there (the server answers 404).
  virtual bool page(const std::string& path, Page* out) = 0;
};

struct ServerOptions {
  // TCP port to bind; 0 picks an ephemeral one (see RpcServer::port()).
  // Ignored when listenFd is given.
  unsigned port = 0;
  // Bind 127.0.0.1 only instead of every interface.
  bool loopbackOnly = false;
  // An already bound socket to listen on, or -1 to bind one. The server
  // does not close a socket it was given.
  int listenFd = -1;
  // The one path calls are answered on; other paths get 404, apart from
  // the pages of `pages`.
  std::string uriPath = "/RPC2";
  // Pages answered to GET, not owned (must outlive the server); none when
  // null.
  PageSource* pages = nullptr;
  // Connections served at once. Abyss stops accepting (in 2-second
  // sleeps) while this many are open, idle or not.
  unsigned maxConnections = 128;
  // Connections the kernel queues before the accept loop takes them.
  unsigned listenBacklog = 128;
  // Seconds an idle kept-alive connection is held open for its next
  // request; also how long a silent new connection holds its slot.
  unsigned keepaliveTimeoutSeconds = 5;
  // Requests per kept-alive connection before the server closes it.
  unsigned keepaliveMaxRequests = 100000;
  // Seconds allowed for the rest of a request once it has begun.
  unsigned ioTimeoutSeconds = 10;
  // Bodies longer than this get HTTP 413 without being read.
  size_t maxRequestBytes = kDefaultMaxRequestBytes;
  // Bodies nested deeper than this get a fault (code -503, a parse error)
  // without being parsed.
  size_t maxElementDepth = kDefaultMaxElementDepth;
  size_t handlerStackBytes = kDefaultHandlerStackBytes;
  // Told of each request refused as a browser's (those are refused with
  // HTTP 403 whether or not anyone listens); not owned, may be null.
  BrowserRefusalListener* browserRefusals = nullptr;
};

// One HTTP server. Construct, then run() on a thread of its own (or the
// main thread); terminate() from any thread makes run() return.
class RpcServer {
 public:
  // Binds (unless given a socket) and sets the server up. `processor` is
  // not owned and must outlive the server. Throws std::runtime_error with
  // a readable reason, naming the port, when the port cannot be bound or
  // the server cannot be built.
  RpcServer(const ServerOptions& options, CallProcessor* processor);
  // REQUIRES: run() has returned or was never called.
  ~RpcServer();

  RpcServer(const RpcServer&) = delete;
  RpcServer& operator=(const RpcServer&) = delete;

  // Serves until terminate(). Returns after every connection thread has
  // ended. Throws std::runtime_error when the server cannot listen.
  void run();

  // Ends every open connection (reading ends: an answer being written is
  // still written), waits until their threads have ended, then makes
  // run() return. Thread-safe; may come before run(). REQUIRES: not called
  // on a connection thread, and no call being answered waits for the
  // caller (terminate() waits for every such call to be answered).
  void terminate();

  // The port the server listens on.
  unsigned port() const;

  const ServerOptions& options() const;

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace rpcserver

#endif  // GW_SERVICE_RPC_SERVER_H_
