// Fuzzes what the gateway reads from the robot controller's external IO service: the whole HTTP
// answer (status line, headers, body) to one call of the external IO client comes from the
// input. A loopback server reads the client's request, sends the input, and closes.
//
// Properties: the call ends (no crash, no hang), and the client stays usable: the next call,
// answered properly on a fresh connection, returns the proper value.
//
// Input layout: byte 0 picks the call, the rest is the answer.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "fuzz_check.h"
#include "loopback_listener.h"
#include "robotio/extern_io_client.h"

namespace {

// Long enough never to end a call on a loaded machine; the server closes after its answer, so
// no call of this harness waits for it.
constexpr std::chrono::milliseconds kCallTimeout{5000};
constexpr size_t kMaxRequestBytes = 64 * 1024;
constexpr int kProbeIndex = 7;
constexpr int kProbeValue = 4242;

// The proper answer to the probe call that follows every input's call.
std::string goodAnswer() {
  const std::string body = "<?xml version=\"1.0\"?>\r\n<methodResponse><params><param><value><i4>" +
                           std::to_string(kProbeValue) + "</i4></value></param></params></methodResponse>\r\n";
  return "HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\nConnection: close\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\n\r\n" + body;
}

// The loopback listener, with the URL the client calls it by.
class Listener : public LoopbackListener {
 public:
  Listener() : url_("http://127.0.0.1:" + std::to_string(port()) + "/RPC2") {}
  const std::string& url() const { return url_; }

 private:
  std::string url_;
};

// Case-insensitive search for an ASCII header name.
size_t findHeader(const std::string& head, const char* name) {
  std::string lower(head);
  for (char& c : lower) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
  return lower.find(name);
}

// Reads one HTTP request (headers and a Content-Length body); false when the client went away.
bool readRequest(int fd) {
  std::string in;
  char buf[4096];
  size_t need = 0;
  for (;;) {
    size_t end = in.find("\r\n\r\n");
    if (end != std::string::npos && need == 0) {
      size_t at = findHeader(in.substr(0, end), "\r\ncontent-length:");
      size_t body = at == std::string::npos ? 0 : std::strtoul(in.c_str() + at + 17, nullptr, 10);
      need = end + 4 + body;
    }
    if (need != 0 && in.size() >= need) return true;
    if (in.size() > kMaxRequestBytes) return false;
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) return false;
    in.append(buf, static_cast<size_t>(n));
  }
}

// Serves the run's connections in turn: the first gets the input, later ones the good answer.
class AnswerServer {
 public:
  AnswerServer(const Listener& listener, const uint8_t* data, size_t size)
      : answer_(reinterpret_cast<const char*>(data), size), wake_(makePipe()),
        thread_([this, &listener] { serve(listener.fd()); }) {}
  ~AnswerServer() {
    done_ = true;
    char b = 0;
    FUZZ_CHECK(write(wake_.write_end, &b, 1) == 1);
    thread_.join();
    close(wake_.read_end);
    close(wake_.write_end);
  }

 private:
  void serve(int listen_fd) {
    for (int served = 0; !done_;) {
      pollfd p[2] = {{listen_fd, POLLIN, 0}, {wake_.read_end, POLLIN, 0}};
      if (poll(p, 2, -1) <= 0 || !(p[0].revents & POLLIN)) continue;
      int fd = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      static const std::string good = goodAnswer();
      const std::string& reply = served++ == 0 ? answer_ : good;
      if (readRequest(fd)) {
        size_t sent = 0;
        while (sent < reply.size()) {
          ssize_t n = send(fd, reply.data() + sent, reply.size() - sent, MSG_NOSIGNAL);
          if (n <= 0) break;
          sent += static_cast<size_t>(n);
        }
        // Close only after the client has read or dropped the answer, so that no reset can
        // overtake it.
        shutdown(fd, SHUT_WR);
        char sink[1024];
        while (recv(fd, sink, sizeof sink, 0) > 0) {
        }
      }
      close(fd);
    }
  }

  // Wakes the accept wait when the run is over.
  struct Pipe {
    int read_end, write_end;
  };
  static Pipe makePipe() {
    int fds[2];
    FUZZ_CHECK(pipe2(fds, O_CLOEXEC) == 0);
    return {fds[0], fds[1]};
  }

  std::string answer_;
  Pipe wake_;
  std::atomic<bool> done_{false};
  std::thread thread_;  // last: starts after the members it uses
};

void callOnce(ExternIOClient* client, uint8_t which) {
  switch (which % 7) {
    case 0: client->getOutputBoolData(1); break;
    case 1: client->getOutputIntData(2); break;
    case 2: client->getOutputDoubleData(3); break;
    case 3: client->setInputIntData("FINS_EX_IO", 4, -5); break;
    case 4: client->setInputDoubleData("FINS_EX_IO", 5, 0.1); break;
    case 5: client->occupyInput("FINS_EX_IO", 1, 6); break;
    default: client->isExIORunning(); break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Listener listener;
  if (size < 1) return 0;
  AnswerServer server(listener, data + 1, size - 1);
  ExternIOClient client(listener.url(), kCallTimeout);
  callOnce(&client, data[0]);
  FUZZ_CHECK(client.getOutputIntData(kProbeIndex) == kProbeValue);
  return 0;
}
