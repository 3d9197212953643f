#include "service/rpc_server.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <mutex>
#include <stdexcept>
#include <thread>

#include <xmlrpc-c/abyss.h>
#include <xmlrpc-c/server_abyss.hpp>

// Exported by libxmlrpc_abyss but missing from its header: writes the
// interim "100 Continue" a client asked for with "Expect: 100-continue"
// (libcurl does for bodies over 1 KiB, and would otherwise wait a second).
extern "C" abyss_bool HTTPWriteContinue(TSession* sessionP);

namespace rpcserver {

namespace {

// XMLRPC_LIMIT_EXCEEDED_ERROR of the library: what its own limits answer.
// The fault code a parser gives a body that is no XML-RPC call.
constexpr int kParseFault = -503;
constexpr int kInternalFault = -500;

// Abyss stamps every answer's Date through mktime, which re-reads the
// time-zone setting; with TZ unset glibc then frees and copies the zone's
// name again at every call. It does so under a lock of its own, which
// ThreadSanitizer cannot see, so two connections answering at once look like
// a race (and every answer checks /etc/localtime anew). Naming the zone glibc
// falls back on anyway, before main and so before any thread exists, lets
// every later call find the setting unchanged. A TZ already set is kept.
[[maybe_unused]] const bool kTimeZoneNamed = [] {
  setenv("TZ", ":/etc/localtime", /*overwrite=*/0);
  tzset();
  return true;
}();

// Longest Content-Length text taken as a number (more digits would be
// far beyond any limit anyway).
constexpr size_t kMaxLengthDigits = 15;

std::string escape(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      default: out += c;
    }
  }
  return out;
}

// Index just past the first `end` at or after `from`, or `size` when the
// body ends first.
size_t skipPast(const char* body, size_t size, size_t from, const char* end) {
  const size_t n = std::strlen(end);
  for (size_t i = from; i + n <= size; ++i) {
    if (std::memcmp(body + i, end, n) == 0) return i + n;
  }
  return size;
}

bool startsWith(const char* body, size_t size, size_t at, const char* text) {
  const size_t n = std::strlen(text);
  return at + n <= size && std::memcmp(body + at, text, n) == 0;
}

// `text` as a log may show it: printable ASCII only, cut after 100 bytes.
std::string printable(const char* text) {
  constexpr size_t kMaxShown = 100;
  std::string out;
  for (size_t i = 0; text[i] != '\0'; ++i) {
    if (out.size() == kMaxShown) return out + "...";
    const auto byte = static_cast<uint8_t>(text[i]);
    out += byte >= 0x20 && byte < 0x7F ? static_cast<char>(byte) : '?';
  }
  return out;
}

// Whether `contentType` is one a web page may POST anywhere without the
// browser asking the server first (a "simple" request), parameters aside.
bool browserPostable(const char* contentType) {
  const char* const kinds[] = {"text/plain",
                               "application/x-www-form-urlencoded",
                               "multipart/form-data"};
  const size_t start = std::strspn(contentType, " \t");
  size_t end = start + std::strcspn(contentType + start, ";");
  while (end > start &&
         (contentType[end - 1] == ' ' || contentType[end - 1] == '\t')) {
    --end;
  }
  for (const char* kind : kinds) {
    if (std::strlen(kind) == end - start &&
        strncasecmp(contentType + start, kind, end - start) == 0) {
      return true;
    }
  }
  return false;
}

// Abyss reports errors as text it allocated with malloc; returns a copy
// and frees it.
std::string takeError(const char* error) {
  const std::string text = error;
  std::free(const_cast<char*>(error));
  return text;
}

std::once_flag abyssInitialised;

void initAbyss() {
  std::call_once(abyssInitialised, [] {
    const char* error = nullptr;
    AbyssInit(&error);
    if (error != nullptr) {
      const std::string why = takeError(error);
      throw std::runtime_error("cannot initialise the HTTP server: " + why);
    }
  });
}

// The port of an IPv4 or IPv6 socket address, 0 for any other family.
in_port_t portOf(const sockaddr_storage& address) {
  if (address.ss_family == AF_INET) {
    return reinterpret_cast<const sockaddr_in&>(address).sin_port;
  }
  if (address.ss_family == AF_INET6) {
    return reinterpret_cast<const sockaddr_in6&>(address).sin6_port;
  }
  return 0;
}

// Whether `fd` is a connection accepted on the listening socket bound to
// `listening`: a TCP socket, not itself listening, whose local end is that
// address (its port, and its host unless the listener takes any host).
// A connection the client reset keeps its local address, so it is still
// recognised until the connection thread closes it.
bool acceptedOn(int fd, const sockaddr_storage& listening) {
  sockaddr_storage local{};
  socklen_t length = sizeof(local);
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0 ||
      local.ss_family != listening.ss_family ||
      portOf(local) != portOf(listening) || portOf(local) == 0) {
    return false;
  }
  if (listening.ss_family == AF_INET) {
    const in_addr_t host =
        reinterpret_cast<const sockaddr_in&>(listening).sin_addr.s_addr;
    if (host != htonl(INADDR_ANY) &&
        host != reinterpret_cast<const sockaddr_in&>(local).sin_addr.s_addr) {
      return false;
    }
  } else {
    const in6_addr& host =
        reinterpret_cast<const sockaddr_in6&>(listening).sin6_addr;
    if (!IN6_IS_ADDR_UNSPECIFIED(&host) &&
        !IN6_ARE_ADDR_EQUAL(
            &host, &reinterpret_cast<const sockaddr_in6&>(local).sin6_addr)) {
      return false;
    }
  }
  int type = 0;
  int accepting = 1;
  length = sizeof(type);
  if (::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &length) != 0 ||
      type != SOCK_STREAM) {
    return false;
  }
  length = sizeof(accepting);
  return ::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &accepting, &length) ==
             0 &&
         accepting == 0;
}

// Ends reading on every connection this process holds that was accepted on
// `listening`, and returns how many it found. A connection thread of Abyss
// then reads the end of its stream, writes any answer it is still making,
// and ends, closing its socket; so a later call finds it no more. Returns
// -1 when the process's descriptors cannot be listed.
long endReadingOnConnections(const sockaddr_storage& listening) {
  DIR* const dir = ::opendir("/proc/self/fd");
  if (dir == nullptr) return -1;
  const int listed = ::dirfd(dir);
  long found = 0;
  while (const dirent* entry = ::readdir(dir)) {
    char* end = nullptr;
    const long fd = std::strtol(entry->d_name, &end, 10);
    if (end == entry->d_name || *end != '\0' || fd == listed) continue;
    // Another thread may close this number and open something else under
    // it at any moment. A duplicate keeps naming the object it was taken
    // from, so the check and the shutdown below act on one socket, never
    // on a newcomer that reused the number.
    const int copy = ::fcntl(static_cast<int>(fd), F_DUPFD_CLOEXEC, 0);
    if (copy < 0) continue;
    if (acceptedOn(copy, listening)) {
      ::shutdown(copy, SHUT_RD);
      ++found;
    }
    ::close(copy);
  }
  ::closedir(dir);
  return found;
}

}  // namespace

size_t elementDepth(const char* body, size_t size, size_t stopAt) {
  size_t depth = 0;
  size_t deepest = 0;
  size_t i = 0;
  while (i < size) {
    if (body[i] != '<') {
      ++i;
      continue;
    }
    if (startsWith(body, size, i, "</")) {
      if (depth > 0) --depth;
      i = skipPast(body, size, i, ">");
    } else if (startsWith(body, size, i, "<?")) {
      i = skipPast(body, size, i, "?>");
    } else if (startsWith(body, size, i, "<!--")) {
      i = skipPast(body, size, i + 4, "-->");
    } else if (startsWith(body, size, i, "<![CDATA[")) {
      i = skipPast(body, size, i, "]]>");
    } else if (startsWith(body, size, i, "<!")) {
      i = skipPast(body, size, i, ">");
    } else {
      // An opening tag; '>' inside a quoted attribute value does not end it.
      char quote = 0;
      size_t j = i + 1;
      for (; j < size; ++j) {
        const char c = body[j];
        if (quote != 0) {
          if (c == quote) quote = 0;
        } else if (c == '"' || c == '\'') {
          quote = c;
        } else if (c == '>') {
          break;
        }
      }
      const bool selfClosing = j < size && body[j - 1] == '/';
      if (!selfClosing) {
        ++depth;
        if (depth >= stopAt) return stopAt;
        if (depth > deepest) deepest = depth;
      }
      i = j + 1;
    }
  }
  return deepest;
}

std::string faultResponse(int code, const std::string& text) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n"
         "<methodResponse>\r\n<fault>\r\n<value><struct>\r\n"
         "<member><name>faultCode</name>\r\n<value><i4>" +
         std::to_string(code) +
         "</i4></value></member>\r\n"
         "<member><name>faultString</name>\r\n<value><string>" +
         escape(text) +
         "</string></value></member>\r\n"
         "</struct></value>\r\n</fault>\r\n</methodResponse>\r\n";
}

// ---- RegistryProcessor

RegistryProcessor::RegistryProcessor(const xmlrpc_c::registry& registry)
    : registry_(registry) {}

std::string RegistryProcessor::process(const char* body, size_t size,
                                       const xmlrpc_c::callInfo* callInfo) {
  try {
    std::string response;
    registry_.processCall(std::string(body, size), callInfo, &response);
    return response;
  } catch (const std::exception& e) {
    return faultResponse(kInternalFault, e.what());
  }
}

// ---- DispatcherProcessor

DispatcherProcessor::DispatcherProcessor(const rpcwire::Dispatcher& dispatcher)
    : dispatcher_(dispatcher) {}

std::string DispatcherProcessor::process(const char* body, size_t size,
                                         const xmlrpc_c::callInfo*) {
  try {
    return dispatcher_.process(body, size);
  } catch (const std::exception& e) {
    return faultResponse(kInternalFault, e.what());
  }
}

// ---- The call being answered on this thread

namespace {

thread_local TSession* currentSession = nullptr;

// Marks the session of the call this thread answers for its lifetime.
class CurrentSession {
 public:
  explicit CurrentSession(TSession* session) { currentSession = session; }
  ~CurrentSession() { currentSession = nullptr; }
  CurrentSession(const CurrentSession&) = delete;
  CurrentSession& operator=(const CurrentSession&) = delete;
};

}  // namespace

bool currentPeer(sockaddr_in* peer) {
  if (currentSession == nullptr) return false;
  void* channelInfo = nullptr;
  SessionGetChannelInfo(currentSession, &channelInfo);
  if (channelInfo == nullptr) return false;
  const sockaddr& address =
      static_cast<const abyss_unix_chaninfo*>(channelInfo)->peerAddr;
  if (address.sa_family != AF_INET) return false;
  std::memcpy(peer, &address, sizeof(*peer));
  return true;
}

// ---- RpcServer

class RpcServer::Impl {
 public:
  Impl(const ServerOptions& options, CallProcessor* processor);
  ~Impl();

  void run();
  void terminate();
  unsigned port() const { return port_; }
  const ServerOptions& options() const { return options_; }

 private:
  // Abyss's request handler: every request, on its connection thread.
  static void handleRequest(void* self, TSession* session,
                            abyss_bool* handled);
  void answer(TSession* session);
  static void refuse(TSession* session, uint16_t status, const char* why);
  // Refuses (403) a call request that only a browser sends; false, having
  // answered nothing, for any other.
  bool refusedAsBrowsers(TSession* session);
  // Answers a request for any path but the call path: a page for GET,
  // else 404 (no such page) or 405 (a page, but not GET).
  void servePage(TSession* session, const TRequestInfo* request);

  void bindSocket();
  [[noreturn]] void fail(const std::string& why);

  const ServerOptions options_;
  CallProcessor* const processor_;
  int fd_ = -1;
  bool ownsFd_ = false;
  unsigned port_ = 0;
  // What fd_ is bound to; the local end of every connection it accepts.
  sockaddr_storage address_{};
  TChanSwitch* switch_ = nullptr;
  TServer server_{};
  bool serverCreated_ = false;
};

RpcServer::Impl::Impl(const ServerOptions& options, CallProcessor* processor)
    : options_(options), processor_(processor) {
  initAbyss();
  if (options_.listenFd >= 0) {
    fd_ = options_.listenFd;
  } else {
    bindSocket();
  }
  socklen_t length = sizeof(address_);
  if (::getsockname(fd_, reinterpret_cast<sockaddr*>(&address_), &length) ==
      0) {
    port_ = ntohs(portOf(address_));
  }

  const char* error = nullptr;
  ChanSwitchUnixCreateFd(fd_, &switch_, &error);
  if (error == nullptr) {
    ServerCreateSwitch(&server_, switch_, &error);
    serverCreated_ = error == nullptr;
  }
  if (error != nullptr) {
    fail(takeError(error));
  }
  ServerSetKeepaliveTimeout(&server_, options_.keepaliveTimeoutSeconds);
  ServerSetKeepaliveMaxConn(&server_, options_.keepaliveMaxRequests);
  ServerSetTimeout(&server_, options_.ioTimeoutSeconds);
  ServerSetMaxConn(&server_, options_.maxConnections);
  ServerSetMaxConnBacklog(&server_, options_.listenBacklog);
  ServerSetAdvertise(&server_, true);

  ServerReqHandler3 handler{};
  handler.term = nullptr;
  handler.handleReq = &Impl::handleRequest;
  handler.userdata = this;
  handler.handleReqStackSize = options_.handlerStackBytes;
  abyss_bool added = false;
  ServerAddHandler3(&server_, &handler, &added);
  if (!added) fail("cannot install the request handler");

  ServerInit2(&server_, &error);
  if (error != nullptr) {
    fail(takeError(error));
  }
}

RpcServer::Impl::~Impl() {
  if (serverCreated_) ServerFree(&server_);
  if (switch_ != nullptr) ChanSwitchDestroy(switch_);
  if (ownsFd_) ::close(fd_);
}

void RpcServer::Impl::fail(const std::string& why) {
  if (serverCreated_) ServerFree(&server_);
  serverCreated_ = false;
  if (switch_ != nullptr) ChanSwitchDestroy(switch_);
  switch_ = nullptr;
  if (ownsFd_) ::close(fd_);
  ownsFd_ = false;
  fd_ = -1;
  throw std::runtime_error("cannot serve on port " +
                           std::to_string(port_ != 0 ? port_ : options_.port) +
                           ": " + why);
}

void RpcServer::Impl::bindSocket() {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) fail(std::strerror(errno));
  ownsFd_ = true;
  // A restarted daemon binds again while its old connections linger in
  // TIME_WAIT; a second live listener is still refused.
  const int on = 1;
  ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(options_.port));
  address.sin_addr.s_addr =
      htonl(options_.loopbackOnly ? INADDR_LOOPBACK : INADDR_ANY);
  if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) !=
      0) {
    fail(std::strerror(errno));
  }
  if (::listen(fd_, static_cast<int>(options_.listenBacklog)) != 0) {
    fail(std::strerror(errno));
  }
}

void RpcServer::Impl::run() { ServerRun(&server_); }

void RpcServer::Impl::terminate() {
  // Told to terminate, Abyss's server loop interrupts every connection it
  // still lists as unfinished. It reads a connection's "finished" flag and
  // then calls into the connection's channel, while the connection's own
  // thread, ending at that moment (its client just closed, as every test's
  // teardown does), sets the flag and frees the channel: the interrupt
  // then runs on freed memory (a SIGSEGV seen under qemu, silent writes to
  // a closed or reused descriptor elsewhere). So no connection is left to
  // interrupt: each one is ended here and its thread awaited, and only
  // then is the loop told to stop; threads that ended are only joined.
  // A client that connects in the instant between the last look and the
  // stop meets the library's own interrupt, as before.
  for (;;) {
    const long open = endReadingOnConnections(address_);
    if (open <= 0) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ServerTerminate(&server_);
}

void RpcServer::Impl::handleRequest(void* self, TSession* session,
                                    abyss_bool* handled) {
  // Every path is ours: left unhandled, Abyss would serve files.
  *handled = true;
  static_cast<Impl*>(self)->answer(session);
}

void RpcServer::Impl::refuse(TSession* session, uint16_t status,
                             const char* why) {
  // A status of 400 or more also makes Abyss close the connection, so an
  // unread body can never be taken for the next request.
  ResponseStatus(session, status);
  ResponseError2(session, why);
}

void RpcServer::Impl::servePage(TSession* session,
                                const TRequestInfo* request) {
  PageSource::Page page;
  if (options_.pages == nullptr ||
      !options_.pages->page(request->uri, &page)) {
    refuse(session, 404, "No XML-RPC service at this path");
    return;
  }
  if (request->method != m_get) {
    ResponseAddField(session, "Allow", "GET");
    refuse(session, 405, "This page is read only");
    return;
  }
  ResponseStatus(session, 200);
  ResponseContentType(session, page.contentType.c_str());
  // A live view: never shown from a cache.
  ResponseAddField(session, "Cache-Control", "no-store");
  ResponseContentLength(session, page.body.size());
  ResponseWriteStart(session);
  ResponseWriteBody(session, page.body.data(),
                    static_cast<uint32_t>(page.body.size()));
  ResponseWriteEnd(session);
}

bool RpcServer::Impl::refusedAsBrowsers(TSession* session) {
  // A web page open in a browser anywhere on the cell network could
  // otherwise write PLC memory through its user's browser: the browser
  // sends such requests without asking, and the page only misses the
  // answer. So before anything is parsed or called, a request that shows a
  // browser's marks is refused.
  std::string seen;
  const char* why = nullptr;
  const char* const origin = RequestHeaderValue(session, "origin");
  const char* const type = RequestHeaderValue(session, "content-type");
  if (origin != nullptr) {
    seen = "Origin: " + printable(origin);
    why = "Calls from web pages are refused (the request carries an Origin "
          "header)";
  } else if (type != nullptr && browserPostable(type)) {
    seen = "Content-Type: " + printable(type);
    why = "Calls from web pages are refused (XML-RPC is sent as text/xml, "
          "not as a form or plain text)";
  } else {
    return false;
  }
  if (options_.browserRefusals != nullptr) {
    options_.browserRefusals->refused(seen);
  }
  refuse(session, 403, why);
  return true;
}

void RpcServer::Impl::answer(TSession* session) {
  const TRequestInfo* request = nullptr;
  SessionGetRequestInfo(session, &request);
  if (options_.uriPath != request->uri) {
    servePage(session, request);
    return;
  }
  if (request->method != m_post) {
    // Also a browser's preflight (OPTIONS): it gets no allowance.
    ResponseAddField(session, "Allow", "POST");
    refuse(session, 405, "XML-RPC calls are POST requests");
    return;
  }
  const char* const lengthText = RequestHeaderValue(session, "content-length");
  if (lengthText == nullptr) {
    refuse(session, 411, "Content-Length required");
    return;
  }
  const size_t digits = std::strlen(lengthText);
  if (digits == 0 || digits > kMaxLengthDigits ||
      std::strspn(lengthText, "0123456789") != digits) {
    refuse(session, 400, "Content-Length is not a number");
    return;
  }
  const uint64_t length = std::strtoull(lengthText, nullptr, 10);
  if (length > options_.maxRequestBytes) {
    refuse(session, 413, "XML-RPC request too large");
    return;
  }
  const char* const expect = RequestHeaderValue(session, "expect");
  if (expect != nullptr && strcasecmp(expect, "100-continue") == 0) {
    HTTPWriteContinue(session);
  }

  std::string body;
  body.reserve(length);
  while (body.size() < length) {
    const char* chunk = nullptr;
    size_t got = 0;
    SessionGetReadData(session, length - body.size(), &chunk, &got);
    body.append(chunk, got);
    if (body.size() < length && !SessionRefillBuffer(session)) {
      refuse(session, 408, "Timed out waiting for the request body");
      return;
    }
  }

  // Only now, with the body read: a refusal that left it unread would
  // reset the connection, and the client would never see why.
  if (refusedAsBrowsers(session)) return;

  std::string response;
  if (elementDepth(body.data(), body.size(), options_.maxElementDepth + 1) >
      options_.maxElementDepth) {
    response = faultResponse(
        kParseFault,
        "XML elements nested deeper than " +
            std::to_string(options_.maxElementDepth));
  } else {
    const xmlrpc_c::callInfo_serverAbyss callInfo(nullptr, session);
    const CurrentSession current(session);
    response = processor_->process(body.data(), body.size(), &callInfo);
  }
  ResponseStatus(session, 200);
  ResponseContentType(session, "text/xml; charset=\"utf-8\"");
  ResponseContentLength(session, response.size());
  ResponseWriteStart(session);
  ResponseWriteBody(session, response.data(),
                    static_cast<uint32_t>(response.size()));
  ResponseWriteEnd(session);
}

// ---- RpcServer

RpcServer::RpcServer(const ServerOptions& options, CallProcessor* processor)
    : impl_(new Impl(options, processor)) {}

RpcServer::~RpcServer() = default;

void RpcServer::run() { impl_->run(); }

void RpcServer::terminate() { impl_->terminate(); }

unsigned RpcServer::port() const { return impl_->port(); }

const ServerOptions& RpcServer::options() const { return impl_->options(); }

}  // namespace rpcserver
