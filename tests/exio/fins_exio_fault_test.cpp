// The engine under robot service and PLC faults: a value nobody read is
// never written, a hung service never holds up direct PLC access, and a PLC
// that refuses is retried at a gentle pace with a quiet log.

#include <future>

#include "service/mutex.h"
#include "tests/exio/engine_test_support.h"
#include "tests/fins/scripted_peer.h"

namespace exiotest {
namespace {

class FaultTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    ASSERT_TRUE(connectEngine());
  }

  // Maps out4 to DM300 and holds the loop in a robot read of it that the
  // service does not answer; `cycle` gets the loop's cycle count then.
  void hangTheReadOfOut4(std::uint64_t* cycle) {
    ASSERT_TRUE(engine_->addMapping("DM300", "out4", "", Int16,
                                    FinsExIO::RobotToPlc));
    ASSERT_TRUE(waitForState("out4", FinsExIO::MappingGood));
    exio_->setHang(true, "getOutputIntData");
    ASSERT_TRUE(waitFor([&] { return exio_->hungCalls() > 0; }));
    *cycle = impl().cycleCount;
  }
};

TEST_F(FaultTest, UnreadRobotValueIsNotWrittenAndOnlyItsMappingShowsIt) {
  ASSERT_TRUE(engine_->addMapping("DM100", "out1", "", Int16,
                                  FinsExIO::RobotToPlc));
  ASSERT_TRUE(engine_->addMapping("DM101", "out2", "", Int16,
                                  FinsExIO::RobotToPlc));
  exio_->setOutputInt(1, 11);
  exio_->setOutputInt(2, 12);
  ASSERT_TRUE(waitFor([&] { return plc_->word("DM", 101) == 12; }));
  ASSERT_EQ(11, plc_->word("DM", 100));

  exio_->setFailingRegister(exiosim::kIntBank, 1, true);
  exio_->setOutputInt(1, 21);
  exio_->setOutputInt(2, 22);
  ASSERT_TRUE(waitForState("out1", FinsExIO::MappingRobotCallFailed));
  ASSERT_TRUE(waitFor([&] { return plc_->word("DM", 101) == 22; }));
  ASSERT_TRUE(waitCycles());
  EXPECT_EQ(11, plc_->word("DM", 100)) << "a value nobody read was written";
  EXPECT_EQ(FinsExIO::MappingGood, engine_->getMapState("out2"));

  exio_->setFailingRegister(exiosim::kIntBank, 1, false);
  ASSERT_TRUE(waitFor([&] { return plc_->word("DM", 100) == 21; }));
  EXPECT_TRUE(waitForState("out1", FinsExIO::MappingGood));
}

TEST_F(FaultTest, FailedRobotWriteLeavesTheMappingNotGood) {
  ASSERT_TRUE(engine_->addMapping("DM200", "in3", "", Int16,
                                  FinsExIO::PlcToRobot));
  plc_->setWord("DM", 200, 7);
  ASSERT_TRUE(waitFor([&] { return exio_->inputInt(3) == 7; }));
  ASSERT_TRUE(waitForState("in3", FinsExIO::MappingGood))
      << engine_->getMapState("in3");

  exio_->setFailingRegister(exiosim::kIntBank, 3, true);
  EXPECT_TRUE(waitForState("in3", FinsExIO::MappingRobotCallFailed));
  exio_->setFailingRegister(exiosim::kIntBank, 3, false);
  EXPECT_TRUE(waitForState("in3", FinsExIO::MappingGood));
}

TEST_F(FaultTest, FailedFirstRegisterOfAForcedTypeIsNotHiddenByTheSecond) {
  ASSERT_TRUE(engine_->addMapping("W12", "in6", "in7", WordForced,
                                  FinsExIO::PlcToRobot));
  ASSERT_TRUE(waitForState("in6", FinsExIO::MappingGood));
  // Both claims are held by now: only the value's write fails from here.
  exio_->setFailingRegister(exiosim::kIntBank, 6, true);
  EXPECT_TRUE(waitForState("in6", FinsExIO::MappingRobotCallFailed))
      << engine_->getMapState("in6");
}

// While the loop is stuck in a robot read that the service never answers,
// the API's PLC calls go through: nothing holds the link across the call.
TEST_F(FaultTest, HungRobotReadHoldsUpNoDirectPlcCall) {
  std::uint64_t cycle = 0;
  ASSERT_NO_FATAL_FAILURE(hangTheReadOfOut4(&cycle));

  FinsExIO::Value read;
  EXPECT_EQ(0, engine_->memoryAreaReadInternal("DM301", Int16, read));
  EXPECT_EQ(0, engine_->memoryAreaWrite("DM302", Int16, short{5}));
  EXPECT_EQ("CJ", engine_->getPLCMode());
  EXPECT_STREQ("CJ2M-CPU33", engine_->getCPUData().model);
  EXPECT_EQ(cycle, impl().cycleCount)
      << "the calls waited for the robot read to end";
  EXPECT_EQ(5, plc_->word("DM", 302));
  exio_->setHang(false);
}

// Nor does the pass hold the mapping table across the call: a mapping
// replaced meanwhile takes effect at once, and what the pass learned about
// the record it copied is not published to the new one.
TEST_F(FaultTest, MappingReplacedWhileARobotReadHangsGetsNoStaleState) {
  std::uint64_t cycle = 0;
  ASSERT_NO_FATAL_FAILURE(hangTheReadOfOut4(&cycle));
  // Read-only: no pass of its own ever changes this record's state.
  ASSERT_TRUE(engine_->addMapping("W12", "out4", "out5", WordForced,
                                  FinsExIO::RobotToPlc));
  EXPECT_EQ(cycle, impl().cycleCount) << "the add waited for the robot read";
  exio_->setHang(false);
  ASSERT_TRUE(waitCycles(2));
  EXPECT_EQ(FinsExIO::MappingNew, engine_->getMapState("out4"));
}

TEST_F(FaultTest, TimedOutRobotCallEndsTheCycleForEveryOtherMapping) {
  for (int i = 0; i < 5; ++i) {
    ASSERT_TRUE(engine_->addMapping("DM" + std::to_string(400 + 2 * i),
                                    "out" + std::to_string(10 + i), "", Int16,
                                    FinsExIO::RobotToPlc));
  }
  ASSERT_TRUE(waitForState("out14", FinsExIO::MappingGood));
  exio_->setHang(true, "getOutputIntData");
  // One call hangs until the client gives up; the other four mappings of
  // that cycle get no call at all.
  EXPECT_TRUE(waitFor(
      [&] {
        for (int i = 0; i < 5; ++i) {
          if (engine_->getMapState("out" + std::to_string(10 + i)) !=
              FinsExIO::MappingServiceDown) {
            return false;
          }
        }
        return true;
      },
      15000ms));
  // The cycle that met the hang made one call; the next may have begun its
  // own. A pass that went on calling would have left five.
  EXPECT_LE(exio_->hungCalls(), 2);
  exio_->setHang(false);
}

TEST_F(FaultTest, CpuDataAndFamilyNeverWaitForTheLink) {
  gw::UniqueMutexLock link(impl().plc.connectionMutex);
  auto answers = std::async(std::launch::async, [&] {
    return engine_->getPLCMode() + "/" + engine_->getCPUData().model;
  });
  ASSERT_EQ(std::future_status::ready, answers.wait_for(10s))
      << "waited for the link";
  link.unlock();
  EXPECT_EQ("CJ/CJ2M-CPU33", answers.get());
}

TEST_F(FaultTest, RefusingPlcIsRetriedAtAPaceWithAQuietLog) {
  const auto port = plc_->port();
  plc_->dropAllConnections();
  plc_->stop();
  ASSERT_TRUE(waitFor([&] {
    return log_.count("FINS connect fail and reconnecting") >= 3;
  }));
  // 100 cycles take a second or more, when an unpaced loop would have
  // tried (and logged) about a hundred times.
  ASSERT_TRUE(waitCycles(100));
  EXPECT_EQ(3u, log_.count("FINS connect fail and reconnecting"));
  EXPECT_EQ(3u, log_.count("Fins start connecting PLC") - 1);
  EXPECT_EQ(FinsExIO::ConnectFailed, engine_->getState());

  ASSERT_TRUE(plc_->start());
  ASSERT_EQ(port, plc_->port());
  ASSERT_TRUE(waitFor(
      [&] { return engine_->getState() == FinsExIO::Connected; }));
  // Logged just after the state turned Connected.
  EXPECT_TRUE(waitFor(
      [&] { return log_.count("FINS PLC connection back after") == 1; }));
}

// The loop's reconnect step is made here on a clock that stands still,
// while the loop waits for the link: only the prompt attempts are due.
TEST_F(FaultTest, OutageStartsWithThreePromptConnectAttempts) {
  finstest::ScriptedPeer plc;  // closes every connection at once
  plc.setHandshake({{}, false, 0ms, true});
  EXPECT_FALSE(engine_->connect("127.0.0.1", plc.port(), 0, 0, 0, 0, 0, 0));
  FinsExIO::Impl& engine = impl();
  int attempts = 0;
  {
    gw::MutexLock link(engine.plc.connectionMutex);
    engine.plc.resetPacingLocked();
    const int before = plc.connections();
    const auto now = std::chrono::steady_clock::now();
    for (int cycle = 0; cycle < 10; ++cycle) {
      if (engine.plc.reconnectDue(now)) engine.plc.pacedReconnectLocked(now);
    }
    attempts = plc.connections() - before;
  }
  engine_->disconnect();
  EXPECT_EQ(3, attempts);
}

// 25 s of outage on the loop's clock, an attempt a second, run by the test
// while the loop waits for the link.
TEST_F(FaultTest, LongOutageLogsOneSummaryPerTenSeconds) {
  plc_->stop();
  FinsExIO::Impl& engine = impl();
  {
    gw::MutexLock link(engine.plc.connectionMutex);
    engine.plc.resetPacingLocked();
    const auto start = std::chrono::steady_clock::now();
    for (int second = 0; second <= 25; ++second) {
      engine.plc.pacedReconnectLocked(start + std::chrono::seconds(second));
    }
  }
  engine_->disconnect();
  EXPECT_EQ(2u, log_.count("FINS PLC still unreachable for"));
  EXPECT_EQ(1u, log_.count("still unreachable for 10 s"));
  EXPECT_EQ(1u, log_.count("still unreachable for 20 s"));
}

}  // namespace
}  // namespace exiotest
