// The simulator seen from the wire: a hand-rolled FINS/TCP client checks
// the handshake, the framing, the memory model and the end codes.

#include <chrono>
#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "tests/tools/raw_fins_clients.h"
#include "tools/plc-sim/plc_sim.h"

namespace {

using namespace plcsim_test;  // NOLINT: the test helpers
using std::chrono::milliseconds;

class PlcSimTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(sim_.start()); }

  // A client past its handshake.
  std::unique_ptr<RawClient> client() {
    auto c = std::make_unique<RawClient>(sim_.port());
    EXPECT_TRUE(c->connected());
    EXPECT_EQ(c->handshake(0).size(), 24u);
    return c;
  }

  plcsim::PlcSimulator sim_{testOptions()};
};

TEST_F(PlcSimTest, HandshakeHandsOutNodesAndRefusesClashes) {
  RawClient a(sim_.port());
  const Bytes answer = a.handshake(0);
  const Bytes expected = cat(cat(Bytes{'F', 'I', 'N', 'S'}, be32(16)),
                             cat(cat(be32(1), be32(0)), cat(be32(20), be32(10))));
  EXPECT_EQ(answer, expected);

  RawClient b(sim_.port());
  EXPECT_EQ(b.handshake(0), cat(Bytes(answer.begin(), answer.begin() + 16),
                                cat(be32(21), be32(10))));
  RawClient c(sim_.port());
  EXPECT_EQ(c.handshake(30)[19], 30);

  // Refusals: the error notification carries the FINS/TCP error code, then
  // the PLC hangs up.
  struct Case {
    uint32_t node;
    uint8_t error;
  } cases[] = {{21, 0x21}, {10, 0x24}, {255, 0x23}};
  for (const Case& k : cases) {
    RawClient r(sim_.port());
    const Bytes refusal = r.handshake(k.node);
    ASSERT_EQ(refusal.size(), 24u) << k.node;
    EXPECT_EQ(refusal[11], 3) << k.node;
    EXPECT_EQ(refusal[15], k.error) << k.node;
    EXPECT_TRUE(r.closedByPeer()) << k.node;
  }
  EXPECT_EQ(sim_.clientNodes(), (Bytes{20, 21, 30}));
}

TEST_F(PlcSimTest, ServesClientsIndependently) {
  auto slow = client();
  auto quick = client();
  ASSERT_TRUE(sim_.waitForConnectionCount(2, kPatience));

  // The slow client's answer is held back; the quick client is served
  // meanwhile.
  sim_.delayNextCommands(std::chrono::hours(1), 1);
  slow->sendFrame(RawClient::frame(20, 1, 0x01, 0x02, {0x82, 0x00, 0x05, 0x00, 0x00, 0x01, 0x12, 0x34}));
  ASSERT_TRUE(sim_.waitForFrames(1, kPatience));
  const Bytes reply = quick->exchange(0x01, 0x04, {0x82, 0x00, 0x05, 0x00});
  EXPECT_EQ(endCode(reply), 0x0000);
  EXPECT_EQ(data(reply), (Bytes{0x82, 0x12, 0x34}));
  EXPECT_FALSE(slow->hasData());

  // Stopping cuts the wait short and closes both connections.
  sim_.stop();
  EXPECT_TRUE(slow->closedByPeer());
  EXPECT_TRUE(quick->closedByPeer());
  EXPECT_EQ(sim_.connectionCount(), 0u);
}

TEST_F(PlcSimTest, AnswersOnlyAfterTheAnswerDelay) {
  auto c = client();
  UdpClient u(sim_.port());
  sim_.setAnswerDelay(std::chrono::hours(1));
  c->sendFrame(RawClient::frame(20, 1, 0x07, 0x01, {}));
  u.send(UdpClient::frame(2, 0x07, 0x01, {}));
  ASSERT_TRUE(sim_.waitForFrames(2, kPatience));
  // The handshake is not held back; the round trip gives an undelayed
  // answer ample time to arrive.
  RawClient late(sim_.port());
  EXPECT_EQ(late.handshake(0).size(), 24u);
  EXPECT_FALSE(c->hasData());
  EXPECT_FALSE(u.hasData());

  // Lowering the delay releases the answers already waiting.
  sim_.setAnswerDelay(milliseconds(0));
  EXPECT_EQ(endCode(c->receiveFrame()), 0x0000);
  EXPECT_EQ(endCode(u.receive()), 0x0000);

  // A stop during the wait sends nothing.
  sim_.setAnswerDelay(std::chrono::hours(1));
  c->sendFrame(RawClient::frame(20, 3, 0x07, 0x01, {}));
  ASSERT_TRUE(sim_.waitForFrames(3, kPatience));
  sim_.stop();
  EXPECT_TRUE(c->receive(16).empty());
}

TEST_F(PlcSimTest, ReplyMirrorsTheRequestHeader) {
  auto c = client();
  c->sendFrame({0x80, 0x00, 0x02, 0x01, 0x0A, 0x02, 0x03, 0x14, 0x04, 0x99, 0x05, 0x01});
  const Bytes reply = c->receiveFrame();
  ASSERT_GE(reply.size(), 14u);
  EXPECT_EQ(Bytes(reply.begin(), reply.begin() + 12),
            (Bytes{0xC0, 0x00, 0x02, 0x03, 0x14, 0x04, 0x01, 0x0A, 0x02, 0x99, 0x05, 0x01}));
}

TEST_F(PlcSimTest, AnswersErrorsWithFinsEndCodes) {
  auto c = client();
  EXPECT_EQ(endCode(c->exchange(0x07, 0x02, {})), 0x0401);           // clock write: unsupported
  EXPECT_EQ(endCode(c->exchange(0x01, 0x04, {0x55, 0, 0, 0})), 0x1101);  // no such area
  EXPECT_EQ(endCode(c->exchange(0x01, 0x04, {0x82, 0x80, 0x00, 0x00})), 0x1103);  // DM32768
  EXPECT_EQ(endCode(c->exchange(0x01, 0x04, {0x30, 0x00, 0x00, 16})), 0x1103);    // bit 16
  EXPECT_EQ(endCode(c->exchange(0x01, 0x04, {0x82, 0x00, 0x00, 1})), 0x1103);     // word, bit 1
  EXPECT_EQ(endCode(c->exchange(0x01, 0x04, {0x09, 0x00, 0x00, 1})), 0x1103);     // TIM0 flag, bit 1
  EXPECT_EQ(endCode(c->exchange(0x01, 0x04, {0x82, 0x00, 0x00})), 0x1003);        // partial element
  // A447 is read-only, A448 is not.
  EXPECT_EQ(endCode(c->exchange(0x01, 0x02, {0xB3, 0x01, 0xBF, 0, 0, 1, 0, 1})), 0x2101);
  EXPECT_EQ(endCode(c->exchange(0x01, 0x02, {0xB3, 0x01, 0xC0, 0, 0, 1, 0, 1})), 0x0000);
  // A run past DM32767, and a count that does not match the data.
  EXPECT_EQ(endCode(c->exchange(0x01, 0x02, {0x82, 0x7F, 0xFF, 0, 0, 2, 0, 1, 0, 2})), 0x1104);
  EXPECT_EQ(endCode(c->exchange(0x01, 0x02, {0x82, 0x00, 0x00, 0, 0, 2, 0, 1})), 0x1003);
  // Forced status cannot be written.
  EXPECT_EQ(endCode(c->exchange(0x01, 0x02, {0xF0, 0x00, 0x00, 0, 0, 1, 0, 1})), 0x1101);
  EXPECT_EQ(sim_.word("DM", 32767), 0u);
  EXPECT_EQ(sim_.word("A", 448), 1u);
}

TEST_F(PlcSimTest, ReadsEveryElementKind) {
  sim_.setWord("DM", 100, 0x1234);
  sim_.setWord("CIO", 10, 0x4000);
  sim_.setBit("CIO", 10, 3, true);
  sim_.setBit("W", 2, 0, true);
  sim_.setForced("CIO", 10, 0x100C);  // bits 2, 3 and 12 forced
  sim_.setWord("CNT", 5, 0x0077);
  auto c = client();
  const Bytes reply = c->exchange(0x01, 0x04,
                                  {0x82, 0x00, 0x64, 0x00,    // DM100
                                   0x30, 0x00, 0x0A, 0x03,    // CIO10.03
                                   0x70, 0x00, 0x0A, 0x03,    // CIO10.03 forced, on
                                   0x70, 0x00, 0x0A, 0x02,    // CIO10.02 forced, off
                                   0x71, 0x00, 0x02, 0x00,    // W2.00 on, not forced
                                   0xF0, 0x00, 0x0A, 0x00,    // CIO10 with forced status
                                   0x89, 0x80, 0x05, 0x00});  // CNT5
  EXPECT_EQ(endCode(reply), 0x0000);
  EXPECT_EQ(data(reply), (Bytes{0x82, 0x12, 0x34, 0x30, 0x01, 0x70, 0x03, 0x70, 0x02, 0x71, 0x01,
                                0xF0, 0x10, 0x0C, 0x40, 0x08, 0x89, 0x00, 0x77}));
}

TEST_F(PlcSimTest, WritesWordsAndBitRuns) {
  auto c = client();
  EXPECT_EQ(endCode(c->exchange(0x01, 0x02, {0x82, 0x00, 0x64, 0, 0, 2, 0x56, 0x78, 0x12, 0x34})),
            0x0000);
  EXPECT_EQ(sim_.word("DM", 100), 0x5678u);
  EXPECT_EQ(sim_.word("DM", 101), 0x1234u);
  // Eight bits from W0.12 carry into W1.
  EXPECT_EQ(endCode(c->exchange(0x01, 0x02, {0x31, 0x00, 0x00, 12, 0, 8, 1, 1, 1, 1, 1, 0, 1, 1})),
            0x0000);
  EXPECT_EQ(sim_.word("W", 0), 0xF000u);
  EXPECT_EQ(sim_.word("W", 1), 0x000Du);
  EXPECT_EQ(endCode(c->exchange(0x01, 0x02, {0x31, 0x00, 0x00, 0, 0, 1, 2})), 0x110C);
}

TEST_F(PlcSimTest, ReportsTheCpuUnit) {
  auto c = client();
  const Bytes d = data(c->exchange(0x05, 0x01, {}));
  ASSERT_EQ(d.size(), 158u);
  EXPECT_EQ(std::string(d.begin(), d.begin() + 20), "CJ2M-CPU33          ");
  EXPECT_EQ(std::string(d.begin() + 20, d.begin() + 40), "02.00               ");
  EXPECT_EQ(d[157], 1);
}

TEST(PlcSimFamilyTest, CvFamilyAddressesItsOwnLayout) {
  plcsim::Options o = testOptions("CV1000");
  o.long_cpu_unit_data = true;
  plcsim::PlcSimulator sim(o);
  ASSERT_TRUE(sim.start());
  EXPECT_TRUE(sim.cvFamily());
  RawClient c(sim.port());
  ASSERT_EQ(c.handshake(0).size(), 24u);
  sim.setWord("A", 500, 0xBEEF);
  sim.setWord("CNT", 5, 0x0005);
  const Bytes reply = c.exchange(0x01, 0x04, {0x80, 0x0C, 0xF4, 0x00, 0x81, 0x08, 0x05, 0x00});
  EXPECT_EQ(data(reply), (Bytes{0x80, 0xBE, 0xEF, 0x81, 0x00, 0x05}));
  // CV bit areas are read only; W is not a CV area at all.
  EXPECT_EQ(endCode(c.exchange(0x01, 0x02, {0x00, 0x00, 0x64, 3, 0, 1, 1})), 0x1101);
  EXPECT_EQ(endCode(c.exchange(0x01, 0x04, {0xB1, 0x00, 0x00, 0x00})), 0x1101);
  EXPECT_EQ(data(c.exchange(0x05, 0x01, {})).size(), 159u);
  EXPECT_THROW(sim.word("W", 0), std::out_of_range);
}

TEST(PlcSimLifecycleTest, RestartsOnTheSamePortAndRefusesATakenOne) {
  plcsim::PlcSimulator sim(testOptions());
  ASSERT_TRUE(sim.start());
  const uint16_t port = sim.port();

  plcsim::Options taken = testOptions();
  taken.port = port;
  plcsim::PlcSimulator rival(taken);
  EXPECT_FALSE(rival.start());

  RawClient before(port);
  ASSERT_EQ(before.handshake(0).size(), 24u);
  sim.setWord("DM", 1, 7);
  sim.stop();
  EXPECT_TRUE(before.closedByPeer());

  ASSERT_TRUE(sim.start());
  EXPECT_EQ(sim.port(), port);
  RawClient after(port);
  ASSERT_EQ(after.handshake(0).size(), 24u);
  EXPECT_EQ(data(after.exchange(0x01, 0x04, {0x82, 0x00, 0x01, 0x00})), (Bytes{0x82, 0x00, 0x07}));
}

TEST_F(PlcSimTest, InjectsFaults) {
  auto c = client();
  sim_.failNextCommands(0x1103, 1);
  EXPECT_EQ(endCode(c->exchange(0x05, 0x01, {})), 0x1103);
  EXPECT_EQ(endCode(c->exchange(0x05, 0x01, {})), 0x0000);

  sim_.wrongSidNextCommands(1);
  EXPECT_EQ(c->exchange(0x05, 0x01, {}, 0x00)[9], 0xFF);

  sim_.replyNextWithRaw({'F', 'I', 'N', 'S', 0, 0, 0, 8, 0, 0, 0, 3, 0, 0, 0, 1});
  c->sendFrame(RawClient::frame(20, 1, 0x05, 0x01, {}));
  EXPECT_EQ(c->receive(16)[15], 1);

  sim_.dropNextCommands(1);
  c->sendFrame(RawClient::frame(20, 2, 0x05, 0x01, {}));
  EXPECT_TRUE(c->closedByPeer());

  sim_.shortHandshake(10);
  RawClient shorted(sim_.port());
  shorted.sendHandshake(0);
  EXPECT_EQ(shorted.receive(10).size(), 10u);
  EXPECT_FALSE(shorted.hasData());  // and silence after that

  sim_.refuseHandshake(0x20);
  RawClient refused(sim_.port());
  const Bytes refusal = refused.handshake(0);
  ASSERT_EQ(refusal.size(), 24u);
  EXPECT_EQ(refusal[15], 0x20);
  EXPECT_TRUE(refused.closedByPeer());

  sim_.acceptHandshakes();
  RawClient fine(sim_.port());
  EXPECT_EQ(fine.handshake(0)[11], 1);
}

TEST_F(PlcSimTest, HangsUpOnBrokenFraming) {
  auto c = client();
  c->send(cat(cat(Bytes{'F', 'I', 'N', 'X'}, be32(8)), cat(be32(2), be32(0))));
  const Bytes notification = c->receive(16);
  ASSERT_EQ(notification.size(), 16u);
  EXPECT_EQ(notification[11], 3);
  EXPECT_EQ(notification[15], 0x01);
  EXPECT_TRUE(c->closedByPeer());

  auto d = client();
  d->send(cat(cat(Bytes{'F', 'I', 'N', 'S'}, be32(8 + 2013)), cat(be32(2), be32(0))));
  EXPECT_EQ(d->receive(16)[15], 0x02);
  EXPECT_TRUE(d->closedByPeer());
}

TEST_F(PlcSimTest, LogsEveryFrame) {
  auto c = client();
  c->exchange(0x05, 0x01, {}, 7);
  c->exchange(0x01, 0x04, {0x82, 0, 0, 0}, 8);
  const auto frames = sim_.receivedFrames();
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0], RawClient::frame(20, 7, 0x05, 0x01, {}));
  EXPECT_EQ(frames[1], RawClient::frame(20, 8, 0x01, 0x04, {0x82, 0, 0, 0}));
  sim_.clearReceivedFrames();
  EXPECT_TRUE(sim_.receivedFrames().empty());
}

}  // namespace
