// The commands a third-party FINS client sends first, over TCP and UDP, and
// the fault controls as a FINS/UDP client meets them.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/tools/raw_fins_clients.h"
#include "tools/plc-sim/plc_sim.h"

namespace {

using namespace plcsim_test;  // NOLINT: the test helpers

// A memory area read/fill/transfer address: area code, FINS word, bit.
Bytes at(uint8_t area, uint16_t word, uint8_t bit = 0) {
  return {area, static_cast<uint8_t>(word >> 8), static_cast<uint8_t>(word), bit};
}

Bytes be16(uint16_t v) { return {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)}; }

// The SID of a reply; -1 when no reply came.
int sid(const Bytes& reply) { return reply.size() < 12 ? -1 : reply[9]; }

constexpr uint8_t kDm = 0x82, kDmBit = 0x02, kW = 0xB1, kWBit = 0x31, kCioForced = 0xF0,
                  kTimFlag = 0x09, kA = 0xB3;

class PlcSimCommandsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(sim_.start());
    tcp_ = std::make_unique<RawClient>(sim_.port());
    ASSERT_EQ(tcp_->handshake(0).size(), 24u);
  }

  uint16_t tcpEndCode(uint8_t mrc, uint8_t src, const Bytes& body) {
    return endCode(tcp_->exchange(mrc, src, body));
  }

  plcsim::PlcSimulator sim_{testOptions()};
  std::unique_ptr<RawClient> tcp_;
};

TEST_F(PlcSimCommandsTest, MemoryAreaReadAnswersWordsBitsFlagsAndForcedWords) {
  sim_.setWord("DM", 100, 0x1234);
  sim_.setWord("DM", 101, 0xABCD);
  sim_.setWord("W", 3, 0xC000);  // W3.14 and W3.15
  sim_.setWord("W", 4, 0x0002);  // W4.01
  sim_.setWord("CIO", 7, 0x00FF);
  sim_.setForced("CIO", 7, 0x0101);
  sim_.setBit("TIM", 2, 0, true);

  EXPECT_EQ(data(tcp_->exchange(0x01, 0x01, cat(at(kDm, 100), be16(2)))),
            (Bytes{0x12, 0x34, 0xAB, 0xCD}));
  // Four bits from W3.14 carry into W4.
  EXPECT_EQ(data(tcp_->exchange(0x01, 0x01, cat(at(kWBit, 3, 14), be16(4)))),
            (Bytes{1, 1, 0, 1}));
  // Completion flags go timer by timer.
  EXPECT_EQ(data(tcp_->exchange(0x01, 0x01, cat(at(kTimFlag, 1), be16(3)))), (Bytes{0, 1, 0}));
  // A forced word: the forced-status word, then the data.
  EXPECT_EQ(data(tcp_->exchange(0x01, 0x01, cat(at(kCioForced, 7), be16(1)))),
            (Bytes{0x01, 0x01, 0x00, 0xFF}));
  // 999 words fill one reply frame exactly.
  const Bytes full = tcp_->exchange(0x01, 0x01, cat(at(kDm, 0), be16(999)));
  EXPECT_EQ(endCode(full), 0x0000);
  EXPECT_EQ(full.size(), 2012u);
}

TEST_F(PlcSimCommandsTest, MemoryAreaReadRefusesWithOmronEndCodes) {
  EXPECT_EQ(tcpEndCode(0x01, 0x01, cat(at(kDm, 0), Bytes{0})), 0x1002);        // short
  EXPECT_EQ(tcpEndCode(0x01, 0x01, cat(at(kDm, 0), Bytes{0, 1, 0})), 0x1001);  // long
  EXPECT_EQ(tcpEndCode(0x01, 0x01, cat(at(0x55, 0), be16(1))), 0x1101);        // no such area
  EXPECT_EQ(tcpEndCode(0x01, 0x01, cat(at(kDm, 32768), be16(1))), 0x1103);     // DM32768
  EXPECT_EQ(tcpEndCode(0x01, 0x01, cat(at(kDm, 0, 1), be16(1))), 0x1103);      // word, bit 1
  EXPECT_EQ(tcpEndCode(0x01, 0x01, cat(at(kDm, 32767), be16(2))), 0x1104);     // past the end
  EXPECT_EQ(tcpEndCode(0x01, 0x01, cat(at(kDmBit, 32767, 15), be16(2))), 0x1104);
  EXPECT_EQ(tcpEndCode(0x01, 0x01, cat(at(kDm, 0), be16(1000))), 0x110B);      // reply too long
  EXPECT_EQ(tcpEndCode(0x01, 0x01, cat(at(kDm, 0), be16(0))), 0x110C);
}

TEST_F(PlcSimCommandsTest, MemoryAreaReadMeetsARefusedWord) {
  sim_.refuseElement(kDm, 105, 0x1103);
  sim_.refuseElement(kDmBit, 105, 0x1103);
  const Bytes refused = tcp_->exchange(0x01, 0x01, cat(at(kDm, 100), be16(10)));
  EXPECT_EQ(endCode(refused), 0x1103);
  EXPECT_TRUE(data(refused).empty());
  // The words on either side are served.
  EXPECT_EQ(tcpEndCode(0x01, 0x01, cat(at(kDm, 100), be16(5))), 0x0000);
  EXPECT_EQ(tcpEndCode(0x01, 0x01, cat(at(kDm, 106), be16(5))), 0x0000);
  // Seven bits from DM104.10 reach into DM105, six do not.
  EXPECT_EQ(tcpEndCode(0x01, 0x01, cat(at(kDmBit, 104, 10), be16(7))), 0x1103);
  EXPECT_EQ(tcpEndCode(0x01, 0x01, cat(at(kDmBit, 104, 10), be16(6))), 0x0000);

  sim_.refuseElement(kDm, 105, 0);
  EXPECT_EQ(tcpEndCode(0x01, 0x01, cat(at(kDm, 100), be16(10))), 0x0000);
}

TEST_F(PlcSimCommandsTest, ReadsStopAtTheFrameLimitsOfTheNetwork) {
  // Multiple memory area read elements DM0, DM1, ...
  auto elements = [](size_t n) {
    Bytes body;
    for (size_t i = 0; i < n; ++i) {
      body = cat(body, at(kDm, static_cast<uint16_t>(i)));
    }
    return body;
  };
  const Bytes most = tcp_->exchange(0x01, 0x04, elements(167));
  EXPECT_EQ(endCode(most), 0x0000);
  EXPECT_EQ(data(most).size(), 167u * 3);
  EXPECT_EQ(tcpEndCode(0x01, 0x04, elements(168)), 0x1001);
  EXPECT_EQ(tcpEndCode(0x01, 0x01, cat(at(kDm, 0), be16(999))), 0x0000);
  EXPECT_EQ(tcpEndCode(0x01, 0x01, cat(at(kDm, 0), be16(1000))), 0x110B);

  // A slower path refuses the same way, sooner.
  sim_.setReadLimits(89, 200);
  EXPECT_EQ(tcpEndCode(0x01, 0x04, elements(89)), 0x0000);
  EXPECT_EQ(tcpEndCode(0x01, 0x04, elements(90)), 0x1001);
  EXPECT_EQ(tcpEndCode(0x01, 0x01, cat(at(kDm, 0), be16(200))), 0x0000);
  EXPECT_EQ(tcpEndCode(0x01, 0x01, cat(at(kDm, 0), be16(201))), 0x110B);

  // No path carries more than Ethernet does.
  sim_.setReadLimits(1000, 5000);
  EXPECT_EQ(tcpEndCode(0x01, 0x04, elements(168)), 0x1001);
  EXPECT_EQ(tcpEndCode(0x01, 0x01, cat(at(kDm, 0), be16(1000))), 0x110B);
}

TEST_F(PlcSimCommandsTest, MemoryAreaFillStoresOneWordOverARun) {
  sim_.setWord("DM", 9, 1);
  EXPECT_EQ(tcpEndCode(0x01, 0x03, cat(cat(at(kDm, 10), be16(5)), be16(0xBEEF))), 0x0000);
  EXPECT_EQ(sim_.word("DM", 9), 1u);
  for (uint32_t i = 10; i < 15; ++i) EXPECT_EQ(sim_.word("DM", i), 0xBEEFu) << i;
  EXPECT_EQ(sim_.word("DM", 15), 0u);

  // Refusals store nothing.
  EXPECT_EQ(tcpEndCode(0x01, 0x03, cat(cat(at(kDm, 32766), be16(3)), be16(7))), 0x1104);
  EXPECT_EQ(sim_.word("DM", 32766), 0u);
  EXPECT_EQ(tcpEndCode(0x01, 0x03, cat(cat(at(kDmBit, 0), be16(1)), be16(1))), 0x1101);
  EXPECT_EQ(tcpEndCode(0x01, 0x03, cat(cat(at(kA, 0), be16(1)), be16(1))), 0x2101);
  EXPECT_EQ(tcpEndCode(0x01, 0x03, cat(at(kDm, 0), be16(1))), 0x1002);
}

TEST_F(PlcSimCommandsTest, MemoryAreaTransferCopiesAsABlock) {
  for (uint16_t i = 0; i < 4; ++i) sim_.setWord("DM", i, static_cast<uint16_t>(0x100 + i));
  EXPECT_EQ(tcpEndCode(0x01, 0x05, cat(cat(at(kDm, 0), at(kW, 10)), be16(4))), 0x0000);
  for (uint16_t i = 0; i < 4; ++i) EXPECT_EQ(sim_.word("W", 10u + i), 0x100u + i) << i;
  // Overlapping source and destination: the source as it was before.
  EXPECT_EQ(tcpEndCode(0x01, 0x05, cat(cat(at(kDm, 0), at(kDm, 2)), be16(4))), 0x0000);
  EXPECT_EQ(sim_.word("DM", 2), 0x100u);
  EXPECT_EQ(sim_.word("DM", 5), 0x103u);

  EXPECT_EQ(tcpEndCode(0x01, 0x05, cat(cat(at(kDm, 32767), at(kW, 0)), be16(2))), 0x1104);
  EXPECT_EQ(tcpEndCode(0x01, 0x05, cat(cat(at(kDm, 0), at(kA, 0)), be16(1))), 0x2101);
  EXPECT_EQ(tcpEndCode(0x01, 0x05, cat(cat(at(kWBit, 0), at(kW, 0)), be16(1))), 0x1101);
  EXPECT_EQ(tcpEndCode(0x01, 0x05, cat(cat(cat(at(kDm, 0), at(kW, 0)), be16(1)), Bytes{0})), 0x1001);
}

TEST_F(PlcSimCommandsTest, CpuUnitDataReadAnswersAllOrOnePart) {
  const Bytes all = data(tcp_->exchange(0x05, 0x01, {}));
  ASSERT_EQ(all.size(), 158u);
  const Bytes first = data(tcp_->exchange(0x05, 0x01, {0x00}));
  EXPECT_EQ(first, Bytes(all.begin(), all.begin() + 92));
  EXPECT_EQ(std::string(first.begin(), first.begin() + 10), "CJ2M-CPU33");
  const Bytes rest = data(tcp_->exchange(0x05, 0x01, {0x01}));
  EXPECT_EQ(rest, Bytes(all.begin() + 92, all.end()));
  EXPECT_EQ(tcpEndCode(0x05, 0x01, {0x02}), 0x110C);
  EXPECT_EQ(tcpEndCode(0x05, 0x01, {0x00, 0x00}), 0x1001);
}

TEST_F(PlcSimCommandsTest, ControllerStatusAndClockHaveFixedContents) {
  const Bytes status = tcp_->exchange(0x06, 0x01, {});
  EXPECT_EQ(endCode(status), 0x0000);
  EXPECT_EQ(data(status),
            cat(Bytes{0x01, 0x02, 0, 0, 0, 0, 0, 0, 0, 0}, Bytes(16, ' ')));  // running, MONITOR
  EXPECT_EQ(data(tcp_->exchange(0x07, 0x01, {})),
            (Bytes{0x25, 0x01, 0x01, 0x12, 0x00, 0x00, 0x03}));
  EXPECT_EQ(tcpEndCode(0x06, 0x01, {0}), 0x1001);
  EXPECT_EQ(tcpEndCode(0x07, 0x01, {0}), 0x1001);
}

// ---- FINS/UDP ------------------------------------------------------------

class PlcSimUdpTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(sim_.start()); }

  plcsim::PlcSimulator sim_{testOptions()};
};

TEST_F(PlcSimUdpTest, ReadsAndWritesWithBareFramesAndRepliesToTheSender) {
  UdpClient a(sim_.port());
  UdpClient b(sim_.port());
  const Bytes write = cat(cat(at(kDm, 100), be16(2)), Bytes{0x12, 0x34, 0x56, 0x78});
  a.send(UdpClient::frame(7, 0x01, 0x02, write));
  b.send(UdpClient::frame(8, 0x01, 0x01, cat(at(kDm, 0), be16(1))));

  uint16_t from = 0;
  const Bytes written = a.receive(&from);
  EXPECT_EQ(from, sim_.port());
  // Destination and source swapped, ICF marked as a response, SID echoed.
  ASSERT_EQ(written.size(), 14u);
  EXPECT_EQ(Bytes(written.begin(), written.begin() + 12),
            (Bytes{0xC0, 0x00, 0x02, 0x00, 1, 0x00, 0x00, 10, 0x00, 7, 0x01, 0x02}));
  EXPECT_EQ(endCode(written), 0x0000);
  EXPECT_EQ(sid(b.receive()), 8);  // b's own answer, not a's

  const Bytes read = a.exchange(0x01, 0x01, cat(at(kDm, 100), be16(2)));
  EXPECT_EQ(data(read), (Bytes{0x12, 0x34, 0x56, 0x78}));
  EXPECT_EQ(endCode(a.exchange(0x01, 0x01, cat(at(kDm, 100), Bytes{0}))), 0x1002);
  EXPECT_EQ(sim_.receivedFrames().size(), 4u);
}

TEST_F(PlcSimUdpTest, FaultsLoseDelayAndSpoilReplies) {
  UdpClient c(sim_.port());
  const Bytes read = cat(at(kDm, 0), be16(1));
  // A lost reply shows as the next request's reply arriving first.
  sim_.dropNextCommands(1);
  c.send(UdpClient::frame(1, 0x01, 0x01, read));
  EXPECT_EQ(sid(c.exchange(0x01, 0x01, read, 2)), 2);
  sim_.ignoreNextCommands(1);
  c.send(UdpClient::frame(3, 0x01, 0x01, read));
  EXPECT_EQ(sid(c.exchange(0x01, 0x01, read, 4)), 4);

  // A late reply does not hold up the ones after it.
  sim_.delayNextCommands(std::chrono::milliseconds(1000), 1);
  c.send(UdpClient::frame(5, 0x01, 0x01, read));
  EXPECT_EQ(sid(c.exchange(0x01, 0x01, read, 6)), 6);
  EXPECT_EQ(sid(c.receive()), 5);

  sim_.failNextCommands(0x1103, 1);
  EXPECT_EQ(endCode(c.exchange(0x01, 0x01, read)), 0x1103);
  sim_.wrongSidNextCommands(1);
  EXPECT_EQ(sid(c.exchange(0x01, 0x01, read, 0x00)), 0xFF);
  sim_.replyNextWithRaw({1, 2, 3});
  EXPECT_EQ(c.exchange(0x01, 0x01, read), (Bytes{1, 2, 3}));

  // A reply still held back when the PLC stops is never sent, and does
  // not keep stop() waiting.
  sim_.delayNextCommands(std::chrono::hours(1), 1);
  c.send(UdpClient::frame(9, 0x01, 0x01, read));
  ASSERT_TRUE(sim_.waitForFrames(10, kPatience));
  sim_.stop();
}

TEST(PlcSimUdpPortTest, UdpSharesThePortNumberOrStaysOff) {
  auto udpBindable = [](uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in addr = UdpClient::loopback(port);
    const bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    ::close(fd);
    return ok;
  };
  plcsim::PlcSimulator with(testOptions());
  ASSERT_TRUE(with.start());
  EXPECT_FALSE(udpBindable(with.port()));

  plcsim::Options off = testOptions();
  off.udp = false;
  plcsim::PlcSimulator without(off);
  ASSERT_TRUE(without.start());
  EXPECT_TRUE(udpBindable(without.port()));

  // A fixed port whose UDP half is taken: the PLC does not start.
  const int squatter = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in any = UdpClient::loopback(0);
  ASSERT_EQ(::bind(squatter, reinterpret_cast<sockaddr*>(&any), sizeof any), 0);
  socklen_t len = sizeof any;
  ASSERT_EQ(::getsockname(squatter, reinterpret_cast<sockaddr*>(&any), &len), 0);
  plcsim::Options fixed = testOptions();
  fixed.port = ntohs(any.sin_port);
  plcsim::PlcSimulator blocked(fixed);
  EXPECT_FALSE(blocked.start());
  ::close(squatter);
}

}  // namespace
