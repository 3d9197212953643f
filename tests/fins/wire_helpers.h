// Small helpers shared by the tests that talk to a peer over loopback.
#ifndef TESTS_FINS_WIRE_HELPERS_H_
#define TESTS_FINS_WIRE_HELPERS_H_

#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>

#include "fins/fins.h"

namespace finstest {

inline bool fdIsOpen(int fd) { return fd >= 0 && fcntl(fd, F_GETFD) != -1; }

// A loopback port with nothing listening on it.
inline uint16_t closedPort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  socklen_t len = sizeof a;
  getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  close(fd);
  return ntohs(a.sin_port);
}

inline fins_sys_tp* connectTo(uint16_t port, int* err, int error_max = 1) {
  return finslib_tcp_connect(nullptr, "127.0.0.1", port, 0, 0, 0, 0, 0, 0, err, error_max);
}

class Stopwatch {
 public:
  Stopwatch() : t0_(std::chrono::steady_clock::now()) {}
  double seconds() const {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0_).count();
  }

 private:
  std::chrono::steady_clock::time_point t0_;
};

}  // namespace finstest

#endif  // TESTS_FINS_WIRE_HELPERS_H_
