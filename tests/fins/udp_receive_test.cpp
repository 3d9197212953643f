// The FINS/UDP receive: datagrams that do not answer the request (late replies to earlier SIDs,
// strays from another address) are discarded, and the exchange takes the answer that follows.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <thread>
#include <vector>

#include "fins/fins.h"
#include "scripted_peer.h"

namespace finstest {
namespace {

// One datagram the peer sends for a request: from which of its two sockets, and what.
struct Datagram {
  bool from_other_host = false;  // from 127.0.0.2 instead of the PLC's 127.0.0.1
  Bytes frame;
};
using UdpScript = std::function<std::vector<Datagram>(const Bytes& request)>;

// A bare FINS/UDP peer on 127.0.0.1 with a second socket on 127.0.0.2 for strays; it answers
// every request with the datagrams its script gives.
class UdpPeer {
 public:
  explicit UdpPeer(UdpScript script) : script_(std::move(script)) {
    plc_fd_ = bound("127.0.0.1", &port_);
    uint16_t unused = 0;
    other_fd_ = bound("127.0.0.2", &unused);
    thread_ = std::thread([this] { run(); });
  }
  ~UdpPeer() {
    stop_ = true;
    thread_.join();
    close(plc_fd_);
    close(other_fd_);
  }
  uint16_t port() const { return port_; }

  // The answer frame (no FINS/TCP header) to `request`, with `sid_shift` added to its SID.
  static Bytes answer(const Bytes& request, const Bytes& data, int sid_shift = 0) {
    Bytes full = ScriptedPeer::reply(request, 0, data);
    Bytes frame(full.begin() + 16, full.end());
    frame[9] = static_cast<uint8_t>(frame[9] + sid_shift);
    return frame;
  }

 private:
  static int bound(const char* address, uint16_t* port) {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    inet_pton(AF_INET, address, &a.sin_addr);
    EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0) << address;
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    *port = ntohs(a.sin_port);
    timeval tv{0, 50000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    return fd;
  }

  void run() {
    while (!stop_) {
      uint8_t buf[2048];
      sockaddr_in from{};
      socklen_t len = sizeof from;
      ssize_t n = recvfrom(plc_fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
      if (n < 12) continue;
      for (const Datagram& d : script_(Bytes(buf, buf + n))) {
        sendto(d.from_other_host ? other_fd_ : plc_fd_, d.frame.data(), d.frame.size(), 0,
               reinterpret_cast<sockaddr*>(&from), len);
      }
    }
  }

  UdpScript script_;
  int plc_fd_ = -1;
  int other_fd_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// One read-like exchange against the peer; the response body lands in `command`.
int exchangeOnce(const UdpPeer& peer, fins_command_tp* command, size_t* len) {
  fins_sys_tp* sys = finslib_udp_connect(nullptr, "127.0.0.1", peer.port(), 0, 1, 0, 0, 2, 0, nullptr, 1);
  EXPECT_NE(sys, nullptr);
  if (sys == nullptr) return -1;
  XX_finslib_init_command(sys, command, 0x01, 0x04);
  *len = 0;
  int code = XX_finslib_communicate(sys, command, len, true);
  finslib_disconnect(sys);
  return code;
}

TEST(UdpReceive, LateReplyToAnEarlierSidIsDiscarded) {
  UdpPeer peer([](const Bytes& request) {
    return std::vector<Datagram>{{false, UdpPeer::answer(request, {0x11}, -1)},
                                 {false, UdpPeer::answer(request, {0x22})}};
  });
  fins_command_tp c;
  size_t len = 0;
  ASSERT_EQ(exchangeOnce(peer, &c, &len), FINS_RETVAL_SUCCESS);
  EXPECT_EQ(len, 3u);
  EXPECT_EQ(c.body[2], 0x22) << "the late reply was taken for the answer";
}

TEST(UdpReceive, AnswerFromAnotherAddressIsDiscarded) {
  UdpPeer peer([](const Bytes& request) {
    return std::vector<Datagram>{{true, UdpPeer::answer(request, {0x33})},
                                 {false, UdpPeer::answer(request, {0x44})}};
  });
  fins_command_tp c;
  size_t len = 0;
  ASSERT_EQ(exchangeOnce(peer, &c, &len), FINS_RETVAL_SUCCESS);
  EXPECT_EQ(c.body[2], 0x44) << "a stray from another host was taken for the answer";
}

TEST(UdpReceive, FloodOfForeignDatagramsEndsTheExchange) {
  UdpPeer peer([](const Bytes& request) {
    return std::vector<Datagram>(64, Datagram{false, UdpPeer::answer(request, {0x55}, 7)});
  });
  fins_command_tp c;
  size_t len = 0;
  EXPECT_EQ(exchangeOnce(peer, &c, &len), FINS_RETVAL_SYNC_ERROR);
}

TEST(UdpReceive, FifteenForeignDatagramsAreDiscardedTheSixteenthEndsTheExchange) {
  for (int foreign : {15, 16}) {
    UdpPeer peer([foreign](const Bytes& request) {
      std::vector<Datagram> sent(foreign, Datagram{false, UdpPeer::answer(request, {0x55}, 7)});
      sent.push_back({false, UdpPeer::answer(request, {0x66})});
      return sent;
    });
    fins_command_tp c;
    size_t len = 0;
    EXPECT_EQ(exchangeOnce(peer, &c, &len), foreign < 16 ? FINS_RETVAL_SUCCESS : FINS_RETVAL_SYNC_ERROR)
        << foreign << " foreign datagrams";
  }
}

}  // namespace
}  // namespace finstest
