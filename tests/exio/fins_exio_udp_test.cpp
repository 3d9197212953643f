// The engine over FINS/UDP against the PLC simulator: nodes derived from the
// addresses, mappings both ways, and the faults a datagram link has (a lost
// datagram, a late reply, a PLC that goes away and comes back).

#include <mutex>

#include "tests/exio/engine_test_support.h"

namespace exiotest {
namespace {

class UdpTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    ASSERT_TRUE(engine_->connectUdp("127.0.0.1", plc_->port(), 0, 0, 0, 0, 0,
                                    0));
    ASSERT_TRUE(engine_->addMapping("DM100", "in1", "", Int16,
                                    FinsExIO::PlcToRobot));
    ASSERT_TRUE(engine_->addMapping("DM200", "out1", "", Int16,
                                    FinsExIO::RobotToPlc));
    ASSERT_TRUE(flowsBothWays(1));
  }

  // Puts `value` into the PLC and the robot and waits until each reached the
  // other side.
  bool flowsBothWays(int value, std::chrono::milliseconds timeout = 15000ms) {
    plc_->setWord("DM", 100, static_cast<std::uint16_t>(value));
    exio_->setOutputInt(1, value);
    return waitFor(
        [&] {
          return exio_->inputInt(1) == value &&
                 plc_->word("DM", 200) == value;
        },
        timeout);
  }

  // Failed exchanges on the current connection record.
  std::uint64_t failedExchanges() {
    return impl().plc.exchangeStats().failures;
  }
  // Failed exchanges on the current record that ended with `code`.
  std::uint64_t failuresWith(int code) {
    for (const auto& slot : impl().plc.exchangeStats().by_code) {
      if (slot.code == code) return slot.count;
    }
    return 0;
  }
};

TEST_F(UdpTest, ConnectsWithDerivedNodesAndMapsBothWays) {
  EXPECT_EQ("UDP", engine_->getTransport());
  EXPECT_EQ(FinsExIO::Connected, engine_->getState());
  EXPECT_STREQ("CJ2M-CPU33", engine_->getCPUData().model);
  EXPECT_EQ(0u, plc_->connectionCount()) << "a TCP connection was opened";
  const auto frames = plc_->receivedFrames();
  ASSERT_FALSE(frames.empty());
  // Loopback: both nodes are the last octet of 127.0.0.1.
  EXPECT_EQ(1, frames.front()[4]) << "PLC node (DA1)";
  EXPECT_EQ(1, frames.front()[7]) << "local node (SA1)";
  EXPECT_TRUE(flowsBothWays(2));
}

TEST_F(UdpTest, ExplicitNodesAreSentAsGiven) {
  ASSERT_TRUE(engine_->connectUdp("127.0.0.1", plc_->port(), 0, 33, 0, 0, 10,
                                  0));
  plc_->clearReceivedFrames();
  ASSERT_TRUE(plc_->waitForFrames(1, 5000ms));
  const auto frame = plc_->receivedFrames().front();
  EXPECT_EQ(10, frame[4]);
  EXPECT_EQ(33, frame[7]);
}

TEST_F(UdpTest, NodeThatNamesNoHostFailsTheConnect) {
  // The last octet 255 is the broadcast node: no PLC node can be derived.
  EXPECT_FALSE(engine_->connectUdp("127.0.0.255", plc_->port(), 0, 0, 0, 0, 0,
                                   0));
  EXPECT_EQ(FinsExIO::ConnectFailed, engine_->getState());
  EXPECT_EQ(FINS_RETVAL_INVALID_IP_ADDRESS, impl().plc.lastConnectCode());
}

TEST_F(UdpTest, LostDatagramCostsOneFailedExchange) {
  const std::uint64_t attempts = impl().plc.connectAttempts();
  const std::uint64_t failed = failedExchanges();
  plc_->dropNextCommands(1);
  ASSERT_TRUE(flowsBothWays(3));
  EXPECT_EQ(failed + 1, failedExchanges());
  EXPECT_EQ(attempts, impl().plc.connectAttempts()) << "the lost datagram cost a reconnect";
}

TEST_F(UdpTest, LateReplyIsNotTakenForALaterAnswer) {
  const std::uint64_t attempts = impl().plc.connectAttempts();
  const std::uint64_t failed = failedExchanges();
  // Longer than the library waits for one reply: the exchange gives up and
  // the reply lands while later exchanges run.
  const auto late = std::chrono::milliseconds(FINS_SOCKET_TIMEOUT_SEC * 1000 + 500);
  const auto sent = std::chrono::steady_clock::now();
  plc_->delayNextCommands(late, 1);
  ASSERT_TRUE(waitFor([&] { return failedExchanges() == failed + 1; }, 10000ms));
  // Past the moment the late reply was sent, values still flow.
  ASSERT_TRUE(waitFor(
      [&] {
        return std::chrono::steady_clock::now() > sent + late + 200ms &&
               flowsBothWays(4, 0ms);
      },
      10000ms));
  ASSERT_TRUE(flowsBothWays(5));
  EXPECT_EQ(failed + 1, failedExchanges());
  EXPECT_EQ(0u, failuresWith(FINS_RETVAL_SYNC_ERROR));
  EXPECT_EQ(attempts, impl().plc.connectAttempts());
}

TEST_F(UdpTest, RestartedPlcIsReconnected) {
  const std::uint64_t attempts = impl().plc.connectAttempts();
  plc_->stop();
  // Two timed-out exchanges in a row make the library close the socket; the
  // loop then tries new sockets until the CPU unit data read is answered.
  ASSERT_TRUE(waitFor([&] { return impl().plc.connectAttempts() > attempts; },
                      20000ms));
  ASSERT_TRUE(plc_->start());
  EXPECT_TRUE(flowsBothWays(6, 30000ms));
  EXPECT_EQ(FinsExIO::Connected, engine_->getState());
  EXPECT_EQ("UDP", engine_->getTransport());
}

TEST_F(UdpTest, TcpConnectAfterUdpSwitchesTransport) {
  ASSERT_TRUE(connectEngine());
  EXPECT_EQ("TCP", engine_->getTransport());
  EXPECT_EQ(1u, plc_->connectionCount());
  EXPECT_TRUE(flowsBothWays(7));
}

}  // namespace
}  // namespace exiotest
