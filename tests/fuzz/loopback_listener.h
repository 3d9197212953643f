// A listening TCP socket on 127.0.0.1 with a port of the system's choice, for the whole process:
// the harnesses that play a peer accept one connection from it per run.
#ifndef TESTS_FUZZ_LOOPBACK_LISTENER_H_
#define TESTS_FUZZ_LOOPBACK_LISTENER_H_

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>

#include "fuzz_check.h"

class LoopbackListener {
 public:
  LoopbackListener() {
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    FUZZ_CHECK(fd_ >= 0);
    int one = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    FUZZ_CHECK(bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0);
    FUZZ_CHECK(listen(fd_, 64) == 0);
    socklen_t len = sizeof addr;
    FUZZ_CHECK(getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) == 0);
    port_ = ntohs(addr.sin_port);
  }
  LoopbackListener(const LoopbackListener&) = delete;
  LoopbackListener& operator=(const LoopbackListener&) = delete;

  int fd() const { return fd_; }
  uint16_t port() const { return port_; }

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
};

#endif  // TESTS_FUZZ_LOOPBACK_LISTENER_H_
