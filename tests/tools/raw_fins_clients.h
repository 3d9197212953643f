// Hand-rolled FINS clients for the simulator's tests: TCP (with the
// FINS/TCP header and handshake) and UDP (bare frames), built from the bytes
// up so that they share nothing with the simulator or the FINS library.

#ifndef TESTS_TOOLS_RAW_FINS_CLIENTS_H_
#define TESTS_TOOLS_RAW_FINS_CLIENTS_H_

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tools/plc-sim/plc_sim.h"

namespace plcsim_test {

using Bytes = std::vector<uint8_t>;
using std::chrono::milliseconds;

constexpr milliseconds kPatience{5000};

inline Bytes be32(uint32_t v) {
  return {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16),
          static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
}

inline Bytes cat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// A FINS/TCP client written from the bytes up, with a receive timeout so a
// broken simulator fails a test instead of hanging it.
class RawClient {
 public:
  explicit RawClient(uint16_t port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    timeval tv{5, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  }
  ~RawClient() { ::close(fd_); }
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;

  bool connected() const { return connected_; }

  void send(const Bytes& bytes) {
    ASSERT_EQ(::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(bytes.size()));
  }

  // Up to n bytes: fewer when the peer closes or stays silent too long.
  Bytes receive(size_t n) {
    Bytes out(n);
    size_t got = 0;
    while (got < n) {
      const ssize_t r = ::recv(fd_, out.data() + got, n - got, 0);
      if (r <= 0) break;
      got += static_cast<size_t>(r);
    }
    out.resize(got);
    return out;
  }

  // True when the peer has closed the connection (after any pending bytes).
  bool closedByPeer() {
    uint8_t scratch[64];
    for (;;) {
      const ssize_t r = ::recv(fd_, scratch, sizeof scratch, 0);
      if (r == 0) return true;
      if (r < 0) return false;
    }
  }

  bool hasData() {
    pollfd p{fd_, POLLIN, 0};
    return ::poll(&p, 1, 0) == 1;
  }

  void sendHandshake(uint32_t node) {
    send(cat(cat(Bytes{'F', 'I', 'N', 'S'}, be32(12)), cat(cat(be32(0), be32(0)), be32(node))));
  }

  Bytes handshake(uint32_t node) {
    sendHandshake(node);
    return receive(24);
  }

  static Bytes frame(uint8_t node, uint8_t sid, uint8_t mrc, uint8_t src, const Bytes& body) {
    return cat(Bytes{0x80, 0x00, 0x02, 0x00, 10, 0x00, 0x00, node, 0x00, sid, mrc, src}, body);
  }

  void sendFrame(const Bytes& frame) {
    send(cat(cat(Bytes{'F', 'I', 'N', 'S'}, be32(static_cast<uint32_t>(8 + frame.size()))),
             cat(cat(be32(2), be32(0)), frame)));
  }

  // The reply frame (without its FINS/TCP header); empty when none came.
  Bytes receiveFrame() {
    const Bytes header = receive(16);
    if (header.size() != 16 || header[11] != 2) return {};
    const size_t n = ((size_t{header[6]} << 8) | header[7]) - 8;
    return receive(n);
  }

  Bytes exchange(uint8_t mrc, uint8_t src, const Bytes& body, uint8_t sid = 0x42) {
    sendFrame(frame(20, sid, mrc, src, body));
    return receiveFrame();
  }

 private:
  int fd_ = -1;
  bool connected_ = false;
};

inline uint16_t endCode(const Bytes& reply) {
  return reply.size() < 14 ? 0xFFFF : static_cast<uint16_t>((reply[12] << 8) | reply[13]);
}

inline Bytes data(const Bytes& reply) {
  return reply.size() < 14 ? Bytes{} : Bytes(reply.begin() + 14, reply.end());
}

inline plcsim::Options testOptions(const std::string& model = "CJ2M-CPU33") {
  plcsim::Options o;
  o.port = 0;
  o.model = model;
  return o;
}

// A FINS/UDP client written from the bytes up: bare FINS frames in
// datagrams, with a receive timeout so a silent simulator fails a test
// instead of hanging it.
class UdpClient {
 public:
  explicit UdpClient(uint16_t port) : port_(port) {
    fd_ = ::socket(AF_INET, SOCK_DGRAM, 0);
    timeval tv{5, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  }
  ~UdpClient() { ::close(fd_); }
  UdpClient(const UdpClient&) = delete;
  UdpClient& operator=(const UdpClient&) = delete;

  void send(const Bytes& datagram) {
    sockaddr_in to = loopback(port_);
    ASSERT_EQ(::sendto(fd_, datagram.data(), datagram.size(), 0,
                       reinterpret_cast<sockaddr*>(&to), sizeof to),
              static_cast<ssize_t>(datagram.size()));
  }

  // The next datagram; empty when none came in time. `from_port` (when
  // given) receives the sender's port.
  Bytes receive(uint16_t* from_port = nullptr) {
    Bytes out(4096);
    sockaddr_in from{};
    socklen_t from_len = sizeof from;
    const ssize_t r =
        ::recvfrom(fd_, out.data(), out.size(), 0, reinterpret_cast<sockaddr*>(&from), &from_len);
    out.resize(r > 0 ? static_cast<size_t>(r) : 0);
    if (from_port != nullptr) *from_port = ntohs(from.sin_port);
    return out;
  }

  bool hasData() {
    pollfd p{fd_, POLLIN, 0};
    return ::poll(&p, 1, 0) == 1;
  }

  // A frame from node 1 to the PLC (node 10), as a UDP client sends it.
  static Bytes frame(uint8_t sid, uint8_t mrc, uint8_t src, const Bytes& body) {
    return cat(Bytes{0x80, 0x00, 0x02, 0x00, 10, 0x00, 0x00, 1, 0x00, sid, mrc, src}, body);
  }

  Bytes exchange(uint8_t mrc, uint8_t src, const Bytes& body, uint8_t sid = 0x42) {
    send(frame(sid, mrc, src, body));
    return receive();
  }

  static sockaddr_in loopback(uint16_t port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return addr;
  }

 private:
  uint16_t port_;
  int fd_ = -1;
};

}  // namespace plcsim_test

#endif  // TESTS_TOOLS_RAW_FINS_CLIENTS_H_
