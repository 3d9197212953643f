#include "robotio/http_transport.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace robotio {

namespace {

constexpr char kScheme[] = "http://";
constexpr uint16_t kDefaultHttpPort = 80;
// One read takes at most this much; a sound answer fits in one.
constexpr size_t kReadChunkBytes = 16 * 1024;

std::string systemError(const char* what, int error_number) {
  return std::string(what) + ": " + std::strerror(error_number);
}

// Milliseconds left until `deadline`, rounded up so that a poll never ends
// just before it; 0 once it has passed.
int millisecondsLeft(std::chrono::steady_clock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

// Waits until `fd` is ready for `events` or the deadline passes. Returns
// the revents (0 on time-out) or -1 with errno set.
int waitFor(int fd, short events,
            std::chrono::steady_clock::time_point deadline) {
  for (;;) {
    const int left = millisecondsLeft(deadline);
    if (left == 0) return 0;
    pollfd p{fd, events, 0};
    const int n = ::poll(&p, 1, left);
    if (n > 0) return p.revents;
    if (n < 0 && errno != EINTR) return -1;
  }
}

bool isConnectionLoss(int error_number) {
  return error_number == ECONNRESET || error_number == EPIPE ||
         error_number == ECONNABORTED;
}

}  // namespace

bool parseHttpUrl(const std::string& url, HttpEndpoint* out,
                  std::string* error) {
  const size_t scheme_size = sizeof(kScheme) - 1;
  if (url.compare(0, scheme_size, kScheme) != 0) {
    *error = "URL does not start with http://: " + url;
    return false;
  }
  const size_t path_at = url.find('/', scheme_size);
  const std::string authority = url.substr(
      scheme_size,
      path_at == std::string::npos ? std::string::npos : path_at - scheme_size);
  if (authority.empty() || authority.find('@') != std::string::npos) {
    *error = "URL without a plain host: " + url;
    return false;
  }
  HttpEndpoint endpoint;
  endpoint.port = kDefaultHttpPort;
  const size_t colon = authority.rfind(':');
  endpoint.host = authority.substr(0, colon);
  if (colon != std::string::npos) {
    const std::string port = authority.substr(colon + 1);
    unsigned long value = 0;
    if (port.empty() || port.size() > 5 ||
        port.find_first_not_of("0123456789") != std::string::npos ||
        (value = std::stoul(port)) == 0 || value > 65535) {
      *error = "URL with a bad port: " + url;
      return false;
    }
    endpoint.port = static_cast<uint16_t>(value);
  }
  if (endpoint.host.empty()) {
    *error = "URL without a host: " + url;
    return false;
  }
  endpoint.path = path_at == std::string::npos ? "/" : url.substr(path_at);
  *out = endpoint;
  return true;
}

HttpTransport::HttpTransport(const std::string& url) {
  if (!parseHttpUrl(url, &endpoint_, &url_error_)) return;
  request_head_prefix_ = "POST " + endpoint_.path +
                         " HTTP/1.1\r\n"
                         "Host: " +
                         endpoint_.host + ":" +
                         std::to_string(endpoint_.port) +
                         "\r\n"
                         "User-Agent: fins-gateway\r\n"
                         "Content-Type: text/xml\r\n"
                         "Content-Length: ";
}

HttpTransport::~HttpTransport() { closeConnection(); }

void HttpTransport::closeConnection() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

HttpTransport::Result HttpTransport::post(const std::string& body,
                                          std::chrono::milliseconds timeout,
                                          std::string* error) {
  const Clock::time_point deadline = Clock::now() + timeout;
  if (!url_error_.empty()) {
    *error = url_error_;
    return Result::kNoAnswer;
  }
  // One buffer, one write: a request split over two writes would wait for
  // the server's delayed ACK.
  request_.assign(request_head_prefix_);
  request_.append(std::to_string(body.size()));
  request_.append("\r\n\r\n");
  request_.append(body);

  if (fd_ >= 0 && !keptConnectionUsable()) closeConnection();
  for (int attempt = 0;; ++attempt) {
    const bool reused = fd_ >= 0;
    if (!reused) {
      const Result connected = connect(deadline, error);
      if (connected != Result::kOk) return connected;
    }
    const Exchange ended = exchange(deadline, error);
    if (ended == Exchange::kDone) {
      if (!reader_.keepAlive()) closeConnection();
      return Result::kOk;
    }
    closeConnection();
    // The server may have closed the idle connection just as the request
    // went out: that is no answer to this call, so it gets one fresh try.
    if (ended == Exchange::kClosedUnanswered && reused && attempt == 0) {
      continue;
    }
    return ended == Exchange::kTimedOut ? Result::kTimedOut
                                        : Result::kNoAnswer;
  }
}

bool HttpTransport::keptConnectionUsable() const {
  pollfd p{fd_, POLLIN, 0};
  const int n = ::poll(&p, 1, 0);
  if (n == 0) return true;
  // Readable while no request is out: either EOF (the server closed it) or
  // bytes nobody asked for; neither connection can carry the next call.
  return false;
}

HttpTransport::Result HttpTransport::connect(Clock::time_point deadline,
                                             std::string* error) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const std::string port = std::to_string(endpoint_.port);
  const int resolved =
      ::getaddrinfo(endpoint_.host.c_str(), port.c_str(), &hints, &found);
  if (resolved != 0) {
    *error = "cannot resolve " + endpoint_.host + ": " + gai_strerror(resolved);
    return Result::kNoAnswer;
  }
  Result result = Result::kNoAnswer;
  *error = "no address for " + endpoint_.host;
  for (addrinfo* a = found; a != nullptr; a = a->ai_next) {
    const int fd = ::socket(a->ai_family,
                            a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                            a->ai_protocol);
    if (fd < 0) {
      *error = systemError("socket", errno);
      continue;
    }
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    int connect_error = 0;
    if (::connect(fd, a->ai_addr, a->ai_addrlen) != 0) {
      connect_error = errno;
      if (connect_error == EINPROGRESS) {
        const int ready = waitFor(fd, POLLOUT, deadline);
        if (ready == 0) {
          ::close(fd);
          *error = "connect timed out";
          result = Result::kTimedOut;
          break;
        }
        socklen_t size = sizeof(connect_error);
        if (ready < 0) {
          connect_error = errno;
        } else if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &connect_error,
                                &size) != 0) {
          connect_error = errno;
        }
      }
    }
    if (connect_error != 0) {
      ::close(fd);
      *error = systemError("connect", connect_error);
      continue;
    }
    fd_ = fd;
    ++connections_opened_;
    result = Result::kOk;
    error->clear();
    break;
  }
  ::freeaddrinfo(found);
  return result;
}

HttpTransport::Exchange HttpTransport::exchange(Clock::time_point deadline,
                                                std::string* error) {
  const Exchange sent = sendRequest(deadline, error);
  if (sent != Exchange::kDone) return sent;
  return readAnswer(deadline, error);
}

HttpTransport::Exchange HttpTransport::sendRequest(Clock::time_point deadline,
                                                   std::string* error) {
  size_t at = 0;
  while (at < request_.size()) {
    const ssize_t n =
        ::send(fd_, request_.data() + at, request_.size() - at, MSG_NOSIGNAL);
    if (n >= 0) {
      at += static_cast<size_t>(n);
      continue;
    }
    const int e = errno;
    if (e == EINTR) continue;
    if (e == EAGAIN || e == EWOULDBLOCK) {
      const int ready = waitFor(fd_, POLLOUT, deadline);
      if (ready == 0) {
        *error = "request not sent within the time-out";
        return Exchange::kTimedOut;
      }
      if (ready < 0) {
        *error = systemError("poll", errno);
        return Exchange::kFailed;
      }
      continue;
    }
    *error = systemError("send", e);
    return isConnectionLoss(e) ? Exchange::kClosedUnanswered
                               : Exchange::kFailed;
  }
  return Exchange::kDone;
}

HttpTransport::Exchange HttpTransport::readAnswer(Clock::time_point deadline,
                                                  std::string* error) {
  reader_.reset();
  uint8_t chunk[kReadChunkBytes];
  for (;;) {
    const ssize_t n = ::recv(fd_, chunk, sizeof(chunk), 0);
    if (n > 0) {
      switch (reader_.feed(chunk, static_cast<size_t>(n))) {
        case HttpResponseReader::State::kComplete:
          return Exchange::kDone;
        case HttpResponseReader::State::kMalformed:
          *error = "malformed HTTP answer: " + reader_.error();
          return Exchange::kFailed;
        case HttpResponseReader::State::kIncomplete:
          continue;
      }
    }
    const int e = n == 0 ? 0 : errno;
    if (n < 0 && e == EINTR) continue;
    if (n < 0 && (e == EAGAIN || e == EWOULDBLOCK)) {
      const int ready = waitFor(fd_, POLLIN, deadline);
      if (ready == 0) {
        *error = reader_.anyByte() ? "answer incomplete at the time-out"
                                   : "no answer within the time-out";
        return Exchange::kTimedOut;
      }
      if (ready < 0) {
        *error = systemError("poll", errno);
        return Exchange::kFailed;
      }
      continue;
    }
    if (n == 0 || isConnectionLoss(e)) {
      if (!reader_.anyByte()) {
        *error = n == 0 ? "connection closed without an answer"
                        : systemError("recv", e);
        return Exchange::kClosedUnanswered;
      }
      *error = "connection closed in the middle of the answer";
      return Exchange::kFailed;
    }
    *error = systemError("recv", e);
    return Exchange::kFailed;
  }
}

}  // namespace robotio
