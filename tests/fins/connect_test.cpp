// FINS/TCP connect and node address handshake against a scripted peer; UDP connect and exchange
// against a small datagram responder.
#include <gtest/gtest.h>
#include <netinet/tcp.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>

#include "scripted_peer.h"
#include "wire_helpers.h"

namespace finstest {
namespace {

int intOption(int fd, int level, int name) {
  int v = -1;
  socklen_t len = sizeof v;
  getsockopt(fd, level, name, &v, &len);
  return v;
}

TEST(Handshake, AssignsNodesAndKeepsTheSocketOpen) {
  ScriptedPeer peer;
  int err = -1;
  fins_sys_tp* sys = finslib_tcp_connect(nullptr, "127.0.0.1", peer.port(), 1, 5, 2, 3, 7, 4, &err, 1);
  ASSERT_NE(sys, nullptr);
  EXPECT_EQ(err, 0);
  EXPECT_EQ(sys->last_error, 0);
  ASSERT_GE(sys->sockfd, 0);
  EXPECT_EQ(sys->transport, FINS_TRANSPORT_TCP);
  EXPECT_EQ(sys->local_node, 20);   // assigned by the server
  EXPECT_EQ(sys->remote_node, 10);  // the server's node
  EXPECT_EQ(sys->local_net, 1);
  EXPECT_EQ(sys->local_unit, 2);
  EXPECT_EQ(sys->remote_net, 3);
  EXPECT_EQ(sys->remote_unit, 4);
  EXPECT_EQ(sys->sid, 0);
  EXPECT_EQ(sys->error_count, 0);
  EXPECT_EQ(sys->error_max, 1);
  EXPECT_STREQ(sys->address, "127.0.0.1");
  EXPECT_EQ(sys->port, peer.port());
  EXPECT_STREQ(sys->model, "");
  EXPECT_EQ(sys->plc_family, FINS_PLC_FAMILY_UNKNOWN);
  EXPECT_GT(sys->socket_time, 0);
  // The frame after the FINS/TCP header must never wait for an acknowledgement.
  EXPECT_EQ(intOption(sys->sockfd, IPPROTO_TCP, TCP_NODELAY), 1);
  EXPECT_EQ(intOption(sys->sockfd, SOL_SOCKET, SO_KEEPALIVE), 1);
  timeval tv{};
  socklen_t len = sizeof tv;
  getsockopt(sys->sockfd, SOL_SOCKET, SO_RCVTIMEO, &tv, &len);
  EXPECT_EQ(tv.tv_sec, 3);
  getsockopt(sys->sockfd, SOL_SOCKET, SO_SNDTIMEO, &tv, &len);
  EXPECT_EQ(tv.tv_sec, 3);

  ASSERT_EQ(peer.handshakes().size(), 1u);
  const Bytes expect = {'F', 'I', 'N', 'S', 0, 0, 0, 12, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(peer.handshakes()[0], expect);
  finslib_disconnect(sys);
  EXPECT_TRUE(peer.waitForClosedByClient(1, std::chrono::seconds(2)));
}

TEST(Handshake, CommandOneIsAcceptedWhateverItsMagicAndLength) {
  ScriptedPeer peer;
  Bytes answer = ScriptedPeer::handshakeAnswer(33, 44);
  std::memcpy(answer.data(), "XXXX", 4);
  answer[4] = answer[5] = answer[6] = answer[7] = 0xFF;
  peer.setHandshake(Action{answer});
  int err = -1;
  fins_sys_tp* sys = connectTo(peer.port(), &err);
  ASSERT_NE(sys, nullptr);
  EXPECT_EQ(err, 0);
  EXPECT_GE(sys->sockfd, 0);
  EXPECT_EQ(sys->local_node, 33);
  EXPECT_EQ(sys->remote_node, 44);
  finslib_disconnect(sys);
}

TEST(Handshake, RefusalsMapTheirErrorCodes) {
  const struct {
    uint32_t code;
    int expect;
  } cases[] = {
      {0x00, 0x8900}, {0x01, 0x8901}, {0x02, 0x8902}, {0x03, 0x8903}, {0x04, 0x870B}, {0x10, 0x870B},
      {0x1F, 0x870B}, {0x20, 0x8904}, {0x21, 0x8905}, {0x22, 0x8906}, {0x23, 0x8907}, {0x24, 0x8908},
      {0x25, 0x8909}, {0x26, 0x870B}, {0x100, 0x870B}, {0xFFFFFFFF, 0x870B},
  };
  ScriptedPeer peer;
  for (const auto& c : cases) {
    for (uint32_t command : {0u, 3u}) {
      Action refuse{ScriptedPeer::handshakeAnswer(0, 0, command, c.code)};
      refuse.close_after = true;
      peer.setHandshake(refuse);
      int err = -1;
      fins_sys_tp* sys = connectTo(peer.port(), &err);
      ASSERT_NE(sys, nullptr);
      EXPECT_EQ(err, c.expect) << std::hex << "code " << c.code;
      EXPECT_EQ(sys->last_error, c.expect);
      EXPECT_EQ(sys->sockfd, -1);
      EXPECT_EQ(sys->transport, FINS_TRANSPORT_NONE);
      EXPECT_EQ(sys->error_count, 0);
      finslib_disconnect(sys);
    }
  }
}

TEST(Handshake, ShortAnswerFromAPeerThatCloses) {
  ScriptedPeer peer;
  Bytes answer = ScriptedPeer::handshakeAnswer(20, 10);
  answer.resize(23);
  Action a{answer};
  a.close_after = true;
  peer.setHandshake(a);
  int err = -1;
  Stopwatch sw;
  fins_sys_tp* sys = connectTo(peer.port(), &err);
  ASSERT_NE(sys, nullptr);
  EXPECT_EQ(err, FINS_RETVAL_TCP_HEADER_INCOMPLETE);
  EXPECT_EQ(sys->sockfd, -1);
  EXPECT_LT(sw.seconds(), 2.0);  // no wait for the receive time-out
  finslib_disconnect(sys);

  peer.setHandshake(Action{{}, false, std::chrono::milliseconds(0), true});  // closes without a word
  sys = connectTo(peer.port(), &err);
  EXPECT_EQ(err, FINS_RETVAL_TCP_HEADER_INCOMPLETE);
  finslib_disconnect(sys);
}

// Waits out the 3-second receive time-out.
TEST(Handshake, ShortAnswerFromAPeerThatWaits) {
  ScriptedPeer peer;
  Bytes answer = ScriptedPeer::handshakeAnswer(20, 10);
  answer.resize(10);
  peer.setHandshake(Action{answer});
  int err = -1;
  Stopwatch sw;
  fins_sys_tp* sys = connectTo(peer.port(), &err);
  double t = sw.seconds();
  ASSERT_NE(sys, nullptr);
  EXPECT_EQ(err, FINS_RETVAL_TCP_HEADER_INCOMPLETE);
  EXPECT_EQ(sys->last_error, FINS_RETVAL_TCP_HEADER_INCOMPLETE);
  EXPECT_EQ(sys->sockfd, -1);
  EXPECT_GE(t, 2.5);
  EXPECT_LT(t, 6.0);
  finslib_disconnect(sys);
}

TEST(Handshake, DribbledAnswerIsAssembled) {
  ScriptedPeer peer;
  Action a{ScriptedPeer::handshakeAnswer(21, 11)};
  a.dribble = true;
  peer.setHandshake(a);
  int err = -1;
  fins_sys_tp* sys = connectTo(peer.port(), &err);
  ASSERT_NE(sys, nullptr);
  EXPECT_EQ(err, 0);
  EXPECT_EQ(sys->local_node, 21);
  EXPECT_EQ(sys->remote_node, 11);
  finslib_disconnect(sys);
}

TEST(Connect, RefusedConnectionReportsErrno) {
  int err = -1;
  fins_sys_tp* sys = connectTo(closedPort(), &err);
  ASSERT_NE(sys, nullptr);
  EXPECT_EQ(err, FINS_RETVAL_ERRNO_BASE + ECONNREFUSED);
  EXPECT_EQ(err, 0xC06F);
  EXPECT_EQ(sys->last_error, 0xC06F);
  EXPECT_EQ(sys->sockfd, -1);
  EXPECT_EQ(sys->transport, FINS_TRANSPORT_NONE);
  EXPECT_GT(sys->socket_time, 0);
  finslib_disconnect(sys);
}

TEST(Connect, PortOutsideTheRangeBecomes9600) {
  const struct {
    uint16_t given, kept;
  } cases[] = {{1023, 9600}, {65535, 9600}, {0, 9600}, {1024, 1024}, {65534, 65534}};
  for (const auto& c : cases) {
    int err = 0;
    // An invalid address text stops the connect before any traffic.
    fins_sys_tp* sys = finslib_tcp_connect(nullptr, "not-an-address", c.given, 0, 0, 0, 0, 0, 0, &err, 1);
    ASSERT_NE(sys, nullptr);
    EXPECT_EQ(err, FINS_RETVAL_INVALID_IP_ADDRESS);
    EXPECT_EQ(sys->port, c.kept) << c.given;
    finslib_disconnect(sys);
  }
}

TEST(Connect, AddressTexts) {
  int err = 0;
  EXPECT_EQ(finslib_tcp_connect(nullptr, nullptr, 9600, 0, 0, 0, 0, 0, 0, &err, 1), nullptr);
  EXPECT_EQ(err, FINS_RETVAL_NO_PLC_ADDRESS);
  err = 0;
  EXPECT_EQ(finslib_tcp_connect(nullptr, "", 9600, 0, 0, 0, 0, 0, 0, &err, 1), nullptr);
  EXPECT_EQ(err, FINS_RETVAL_NO_PLC_ADDRESS);
  EXPECT_EQ(finslib_udp_connect(nullptr, "", 9600, 0, 0, 0, 0, 0, 0, nullptr, 1), nullptr);

  std::string long_text(200, '1');
  fins_sys_tp* sys = finslib_tcp_connect(nullptr, long_text.c_str(), 9600, 0, 0, 0, 0, 0, 0, &err, 1);
  ASSERT_NE(sys, nullptr);
  EXPECT_EQ(std::string(sys->address), long_text.substr(0, 127));
  EXPECT_EQ(err, FINS_RETVAL_INVALID_IP_ADDRESS);
  EXPECT_EQ(sys->last_error, FINS_RETVAL_INVALID_IP_ADDRESS);
  EXPECT_EQ(sys->sockfd, -1);
  finslib_disconnect(sys);

  sys = finslib_tcp_connect(nullptr, "256.1.1.1", 9600, 0, 0, 0, 0, 0, 0, nullptr, 1);  // error_val may be absent
  ASSERT_NE(sys, nullptr);
  EXPECT_EQ(sys->last_error, FINS_RETVAL_INVALID_IP_ADDRESS);
  finslib_disconnect(sys);
}

TEST(Reconnect, TooSoonIsRefusedAndChangesNothing) {
  ScriptedPeer peer;
  int err = -1;
  fins_sys_tp* sys = connectTo(peer.port(), &err);
  ASSERT_NE(sys, nullptr);
  ASSERT_EQ(err, 0);
  fins_sys_tp before = *sys;
  err = 0;
  EXPECT_EQ(finslib_tcp_connect(sys, "127.0.0.1", peer.port(), 0, 0, 0, 0, 0, 0, &err, 1), sys);
  EXPECT_EQ(err, FINS_RETVAL_TRY_LATER);
  EXPECT_EQ(std::memcmp(&before, sys, sizeof before), 0);
  // 30 seconds after the last socket event: still too soon
  sys->socket_time = finslib_monotonic_sec_timer() - 30;
  before = *sys;
  EXPECT_EQ(finslib_tcp_connect(sys, "127.0.0.1", peer.port(), 0, 0, 0, 0, 0, 0, &err, 1), sys);
  EXPECT_EQ(err, FINS_RETVAL_TRY_LATER);
  EXPECT_EQ(std::memcmp(&before, sys, sizeof before), 0);
  EXPECT_EQ(peer.connections(), 1);
  finslib_disconnect(sys);
}

// A record whose socket is still open is reconnected on a new socket; the old one is closed first.
TEST(Reconnect, ClosesTheOpenSocketFirst) {
  ScriptedPeer peer;
  int err = -1;
  fins_sys_tp* sys = connectTo(peer.port(), &err);
  ASSERT_NE(sys, nullptr);
  ASSERT_EQ(err, 0);
  int64_t now = finslib_monotonic_sec_timer();
  sys->socket_time = now > 61 ? now - 60 : 0;
  peer.setHandshake(Action{ScriptedPeer::handshakeAnswer(22, 12)});
  EXPECT_EQ(finslib_tcp_connect(sys, "127.0.0.1", peer.port(), 0, 0, 0, 0, 0, 0, &err, 1), sys);
  EXPECT_EQ(err, 0);
  EXPECT_GE(sys->sockfd, 0);
  EXPECT_EQ(sys->transport, FINS_TRANSPORT_TCP);
  EXPECT_EQ(sys->local_node, 22);
  EXPECT_EQ(sys->remote_node, 12);
  EXPECT_EQ(peer.connections(), 2);
  EXPECT_TRUE(peer.waitForClosedByClient(1, std::chrono::seconds(2))) << "old socket left open";
  finslib_disconnect(sys);
  EXPECT_TRUE(peer.waitForClosedByClient(2, std::chrono::seconds(2)));
}

TEST(Reconnect, ClosedRecordUsesTheArgumentsAsPassed) {
  int err = -1;
  fins_sys_tp* sys = connectTo(closedPort(), &err);
  ASSERT_NE(sys, nullptr);
  ASSERT_EQ(sys->sockfd, -1);
  ScriptedPeer peer;
  sys->socket_time = 0;
  EXPECT_EQ(finslib_tcp_connect(sys, "127.0.0.1", peer.port(), 9, 9, 9, 9, 9, 9, &err, 5), sys);
  EXPECT_EQ(err, 0);
  EXPECT_GE(sys->sockfd, 0);
  EXPECT_EQ(sys->transport, FINS_TRANSPORT_TCP);
  EXPECT_EQ(sys->error_max, 1);  // the stored fields stay as they were
  EXPECT_EQ(sys->local_net, 0);
  EXPECT_NE(sys->port, peer.port());
  finslib_disconnect(sys);
}

// ---- UDP ------------------------------------------------------------------------------------

class UdpResponder {
 public:
  // mode 0: correct answer with `data`; 1: 5-byte answer; 2: foreign SID
  explicit UdpResponder(int mode, Bytes data = {}) : mode_(mode), data_(std::move(data)) {
    fd_ = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    timeval tv{0, 100000};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    thread_ = std::thread([this] { run(); });
  }
  ~UdpResponder() {
    stop_ = true;
    thread_.join();
    close(fd_);
  }
  uint16_t port() const { return port_; }

 private:
  void run() {
    while (!stop_) {
      uint8_t buf[2048];
      sockaddr_in from{};
      socklen_t len = sizeof from;
      ssize_t n = recvfrom(fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
      if (n < 12) continue;
      Bytes req(buf, buf + n);
      Bytes full = ScriptedPeer::reply(req, 0, data_);
      Bytes frame(full.begin() + 16, full.end());
      if (mode_ == 1) frame.resize(5);
      if (mode_ == 2) frame[9] = static_cast<uint8_t>(frame[9] - 1);
      sendto(fd_, frame.data(), frame.size(), 0, reinterpret_cast<sockaddr*>(&from), len);
    }
  }
  int mode_;
  Bytes data_;
  int fd_;
  uint16_t port_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

TEST(Udp, ConnectAndExchange) {
  UdpResponder responder(0, Bytes{0xAB, 0xCD, 0xEF});
  int err = 12345;
  fins_sys_tp* sys = finslib_udp_connect(nullptr, "127.0.0.1", responder.port(), 0, 1, 0, 0, 2, 0, &err, 1);
  ASSERT_NE(sys, nullptr);
  EXPECT_EQ(err, 12345);  // left untouched on success
  EXPECT_EQ(sys->transport, FINS_TRANSPORT_UDP);
  ASSERT_GE(sys->sockfd, 0);
  EXPECT_EQ(sys->local_node, 1);  // no handshake over UDP
  fins_command_tp c;
  XX_finslib_init_command(sys, &c, 0x01, 0x04);
  size_t len = 0;
  EXPECT_EQ(XX_finslib_communicate(sys, &c, &len, true), 0);
  EXPECT_EQ(len, 5u);
  EXPECT_EQ(c.body[2], 0xAB);
  EXPECT_EQ(c.body[4], 0xEF);
  finslib_disconnect(sys);
}

TEST(Udp, ShortAndForeignAnswers) {
  {
    UdpResponder responder(1);
    fins_sys_tp* sys = finslib_udp_connect(nullptr, "127.0.0.1", responder.port(), 0, 0, 0, 0, 0, 0, nullptr, -1);
    ASSERT_NE(sys, nullptr);
    fins_command_tp c;
    XX_finslib_init_command(sys, &c, 0x01, 0x04);
    size_t len = 0;
    EXPECT_EQ(XX_finslib_communicate(sys, &c, &len, true), FINS_RETVAL_BODY_TOO_SHORT);
    finslib_disconnect(sys);
  }
  {
    UdpResponder responder(2);
    fins_sys_tp* sys = finslib_udp_connect(nullptr, "127.0.0.1", responder.port(), 0, 0, 0, 0, 0, 0, nullptr, -1);
    ASSERT_NE(sys, nullptr);
    fins_command_tp c;
    XX_finslib_init_command(sys, &c, 0x01, 0x04);
    size_t len = 0;
    // Only a reply to an earlier SID arrives: it is discarded and the exchange times out.
    EXPECT_EQ(XX_finslib_communicate(sys, &c, &len, true), FINS_RETVAL_ERRNO_BASE + EAGAIN);
    finslib_disconnect(sys);
  }
}

TEST(Udp, InvalidAddress) {
  int err = 0;
  fins_sys_tp* sys = finslib_udp_connect(nullptr, "1.2.3", 9600, 0, 0, 0, 0, 0, 0, &err, 1);
  ASSERT_NE(sys, nullptr);
  EXPECT_EQ(err, FINS_RETVAL_INVALID_IP_ADDRESS);
  EXPECT_EQ(sys->sockfd, -1);
  finslib_disconnect(sys);
}

}  // namespace
}  // namespace finstest
