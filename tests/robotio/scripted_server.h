// A raw HTTP server on loopback that answers each request with whatever
// bytes a test scripts, however broken, so that tests can play a
// misbehaving external IO service. One connection at a time, served on a
// thread of its own.

#ifndef TESTS_ROBOTIO_SCRIPTED_SERVER_H_
#define TESTS_ROBOTIO_SCRIPTED_SERVER_H_

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>

namespace robotio_test {

class ScriptedServer {
 public:
  struct Reply {
    enum class Then {
      kKeepOpen,  // wait for the next request on the same connection
      kClose,     // close the connection
      kHold,      // keep the connection open and silent until stopped
    };
    std::string bytes;
    Then then = Then::kKeepOpen;
  };
  // Called on the server thread with each request's body.
  using Handler = std::function<Reply(const std::string& body)>;

  explicit ScriptedServer(Handler handler) : handler_(std::move(handler)) {
    listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof(address);
    if (listen_fd_ < 0 ||
        ::bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
        ::listen(listen_fd_, 8) != 0 ||
        ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&address),
                      &size) != 0 ||
        ::pipe2(wake_, O_CLOEXEC) != 0) {
      throw std::runtime_error("scripted server cannot listen");
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { serve(); });
  }

  ~ScriptedServer() {
    const char stop = 's';
    (void)!::write(wake_[1], &stop, 1);
    thread_.join();
    ::close(listen_fd_);
    ::close(wake_[0]);
    ::close(wake_[1]);
  }

  ScriptedServer(const ScriptedServer&) = delete;
  ScriptedServer& operator=(const ScriptedServer&) = delete;

  std::string url() const {
    return "http://127.0.0.1:" + std::to_string(port_) + "/RPC2";
  }
  int connectionsAccepted() const { return connections_; }
  int requestsSeen() const { return requests_; }

 private:
  // Waits until `fd` is readable; false when the server is being stopped.
  bool readable(int fd) {
    pollfd p[2] = {{fd, POLLIN, 0}, {wake_[0], POLLIN, 0}};
    for (;;) {
      if (::poll(p, 2, -1) < 0) continue;
      if (p[1].revents != 0) return false;
      if (p[0].revents != 0) return true;
    }
  }

  void serve() {
    while (readable(listen_fd_)) {
      const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      ++connections_;
      serveConnection(fd);
      ::close(fd);
    }
  }

  // Reads one request (headers and Content-Length body) into *body; false
  // when the client closed or the server is stopping.
  bool readRequest(int fd, std::string* pending, std::string* body) {
    for (;;) {
      const size_t head_end = pending->find("\r\n\r\n");
      if (head_end != std::string::npos) {
        const size_t at = pending->find("Content-Length: ");
        const size_t length =
            at < head_end ? std::strtoul(pending->c_str() + at + 16, nullptr,
                                         10)
                          : 0;
        if (pending->size() >= head_end + 4 + length) {
          *body = pending->substr(head_end + 4, length);
          pending->erase(0, head_end + 4 + length);
          return true;
        }
      }
      if (!readable(fd)) return false;
      char chunk[4096];
      const ssize_t n = ::recv(fd, chunk, sizeof(chunk), 0);
      if (n <= 0) return false;
      pending->append(chunk, static_cast<size_t>(n));
    }
  }

  void serveConnection(int fd) {
    std::string pending;
    std::string body;
    while (readRequest(fd, &pending, &body)) {
      ++requests_;
      const Reply reply = handler_(body);
      size_t at = 0;
      while (at < reply.bytes.size()) {
        const ssize_t n = ::send(fd, reply.bytes.data() + at,
                                 reply.bytes.size() - at, MSG_NOSIGNAL);
        if (n <= 0) return;
        at += static_cast<size_t>(n);
      }
      if (reply.then == Reply::Then::kClose) return;
      if (reply.then == Reply::Then::kHold) {
        // Until the client gives up (EOF) or the server stops.
        char sink[256];
        while (readable(fd) && ::recv(fd, sink, sizeof(sink), 0) > 0) {
        }
        return;
      }
    }
  }

  Handler handler_;
  int listen_fd_ = -1;
  int wake_[2] = {-1, -1};
  int port_ = 0;
  std::atomic<int> connections_{0};
  std::atomic<int> requests_{0};
  std::thread thread_;
};

// A sound 200 answer carrying `body`.
inline std::string httpOk(const std::string& body) {
  return "HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\n\r\n" + body;
}

// An XML-RPC answer document whose result is `value_xml` (e.g.
// "<boolean>1</boolean>").
inline std::string xmlResult(const std::string& value_xml) {
  return "<?xml version=\"1.0\"?>\r\n<methodResponse><params><param><value>" +
         value_xml + "</value></param></params></methodResponse>\r\n";
}

}  // namespace robotio_test

#endif  // TESTS_ROBOTIO_SCRIPTED_SERVER_H_
