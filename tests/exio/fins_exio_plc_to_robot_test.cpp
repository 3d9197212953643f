// The PLC-to-robot pass: claims of robot input registers, the one multiple
// read per cycle, and each type's value reaching the robot.

#include <mutex>

#include "robotio/extern_io_client.h"
#include "tests/exio/engine_test_support.h"

namespace exiotest {
namespace {

class PlcToRobotTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    ASSERT_TRUE(connectEngine());
  }
  bool add(const std::string& address, const std::string& name,
           FinsDataType type = Int16, const std::string& second = "") {
    return engine_->addMapping(address, name, second, type,
                               FinsExIO::PlcToRobot);
  }
  bool ownedByEngine(int bank, int index) {
    return exio_->owner(bank, index) == kOwner;
  }
};

TEST_F(PlcToRobotTest, ClaimsTheInputRegisterAndCopiesTheValue) {
  plc_->setWord("DM", 100, 1234);
  ASSERT_TRUE(add("DM100", "in3"));
  ASSERT_TRUE(waitForState("in3", 0));
  EXPECT_TRUE(ownedByEngine(exiosim::kIntBank, 3));
  // The state is stored before the value goes out to the robot.
  EXPECT_TRUE(waitFor([&] { return exio_->inputInt(3) == 1234; }));
  plc_->setWord("DM", 100, 4321);
  EXPECT_TRUE(waitFor([&] { return exio_->inputInt(3) == 4321; }));
  EXPECT_EQ(1u, trace_.count("occupyInput(\"FINS_EX_IO\", 1, 3) -> true"));
}

TEST_F(PlcToRobotTest, EveryTypeReachesItsRegister) {
  plc_->setWord("DM", 0, 0xFFFE);
  plc_->setWord("DM", 1, 0xFFFE);
  plc_->setWord("DM", 2, 0x1234);
  plc_->setWord("DM", 3, 0xF042);  // SBCD16_2: -42
  plc_->setWord("DM", 10, 0x1234);
  plc_->setWord("DM", 11, 0x5678);
  plc_->setWord("DM", 12, 0xFFFF);
  plc_->setWord("DM", 13, 0xFFFF);
  plc_->setWord("DM", 14, 0x5678);
  plc_->setWord("DM", 15, 0x1234);
  plc_->setWord("DM", 20, 0x0000);  // 1.5f = 0x3FC00000, low word first
  plc_->setWord("DM", 21, 0x3FC0);
  plc_->setWord("DM", 33, 0x4004);  // 2.5 = 0x4004000000000000
  plc_->setBit("W", 10, 3, true);
  plc_->setBit("W", 11, 2, false);
  plc_->setForced("W", 11, 1 << 2);
  plc_->setWord("W", 12, 0x00A5);
  plc_->setForced("W", 12, 0x0F00);

  struct Case {
    const char* address;
    const char* name;
    FinsDataType type;
    const char* second;
  };
  const Case cases[] = {
      {"DM0", "i0", Int16, ""},       {"DM1", "i1", Uint16, ""},
      {"DM2", "i2", BCD16, ""},       {"DM3", "i3", SBCD16_2, ""},
      {"DM10", "i4", Int32, ""},      {"DM12", "i5", Uint32, ""},
      {"DM14", "i6", BCD32, ""},      {"DM20", "d0", Float, ""},
      {"DM30", "d1", Double, ""},     {"W10.3", "b0", Bit, ""},
      {"W11.2", "b1", BitForced, "b2"}, {"W12", "i7", WordForced, "i8"},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(add(c.address, c.name, c.type, c.second)) << c.address;
  }
  for (const Case& c : cases) {
    ASSERT_TRUE(waitForState(c.name, 0)) << c.name;
  }
  ASSERT_TRUE(waitCycles(2));
  EXPECT_EQ(-2, exio_->inputInt(0));
  EXPECT_EQ(65534, exio_->inputInt(1));
  EXPECT_EQ(1234, exio_->inputInt(2));
  EXPECT_EQ(-42, exio_->inputInt(3));
  EXPECT_EQ(0x56781234, exio_->inputInt(4));
  EXPECT_EQ(-1, exio_->inputInt(5));  // the largest Uint32
  EXPECT_EQ(12345678, exio_->inputInt(6));
  EXPECT_EQ(1.5, exio_->inputDouble(0));
  EXPECT_EQ(2.5, exio_->inputDouble(1));
  EXPECT_TRUE(exio_->inputBool(0));
  EXPECT_FALSE(exio_->inputBool(1));
  EXPECT_TRUE(exio_->inputBool(2));
  EXPECT_EQ(0x00A5, exio_->inputInt(7));
  EXPECT_EQ(0x0F00, exio_->inputInt(8));
  // The forced types hold both of their registers.
  EXPECT_TRUE(ownedByEngine(exiosim::kBoolBank, 1));
  EXPECT_TRUE(ownedByEngine(exiosim::kBoolBank, 2));
  EXPECT_TRUE(ownedByEngine(exiosim::kIntBank, 7));
  EXPECT_TRUE(ownedByEngine(exiosim::kIntBank, 8));
  EXPECT_TRUE(ownedByEngine(exiosim::kDoubleBank, 1));
}

TEST_F(PlcToRobotTest, ForcedTypeWithoutSecondRegisterGivesTheFirstBack) {
  ASSERT_TRUE(add("W11.2", "b5", BitForced, ""));
  ASSERT_TRUE(waitForState("b5", FinsExIO::MappingClaimRefused));
  EXPECT_GE(trace_.count("releaseInput(\"FINS_EX_IO\", 0, 5)"), 1u);
}

TEST_F(PlcToRobotTest, ForcedTypeWhoseSecondClaimFailsGivesTheFirstBack) {
  ExternIOClient other(exio_->url());
  ASSERT_TRUE(other.occupyInput("OTHER", exiosim::kIntBank, 7));
  ASSERT_TRUE(add("W12", "i6", WordForced, "i7"));
  ASSERT_TRUE(waitForState("i6", FinsExIO::MappingClaimRefused));
  EXPECT_GE(trace_.count("releaseInput(\"FINS_EX_IO\", 1, 6)"), 1u);
  EXPECT_EQ(0u, trace_.count("releaseInput(\"FINS_EX_IO\", 1, 7)"));
  EXPECT_EQ("OTHER", exio_->owner(exiosim::kIntBank, 7));
}

TEST_F(PlcToRobotTest, RefusedClaimIsRetriedAndExchangedOnceGranted) {
  exio_->setRefuseClaims(true);
  plc_->setWord("DM", 100, 5);
  ASSERT_TRUE(add("DM100", "in3"));
  ASSERT_TRUE(waitForState("in3", FinsExIO::MappingClaimRefused));
  ASSERT_TRUE(waitCycles(3));
  EXPECT_EQ(FinsExIO::MappingClaimRefused, engine_->getMapState("in3"));
  EXPECT_GE(trace_.count("occupyInput(\"FINS_EX_IO\", 1, 3) -> false"), 2u);

  exio_->setRefuseClaims(false);
  ASSERT_TRUE(waitForState("in3", 0));
  EXPECT_TRUE(waitFor([&] { return exio_->inputInt(3) == 5; }));
  EXPECT_TRUE(ownedByEngine(exiosim::kIntBank, 3));
}

TEST_F(PlcToRobotTest, RefusedFirstMappingDoesNotShiftTheOthersValues) {
  ExternIOClient other(exio_->url());
  ASSERT_TRUE(other.occupyInput("OTHER", exiosim::kIntBank, 1));
  plc_->setWord("DM", 100, 100);
  plc_->setWord("DM", 101, 101);
  ASSERT_TRUE(add("DM100", "a1"));
  ASSERT_TRUE(add("DM101", "b2"));
  ASSERT_TRUE(waitForState("a1", FinsExIO::MappingClaimRefused));
  ASSERT_TRUE(waitForState("b2", 0));
  EXPECT_TRUE(waitFor([&] { return exio_->inputInt(2) == 101; }));
  EXPECT_EQ(FinsExIO::MappingClaimRefused, engine_->getMapState("a1"));
}

TEST_F(PlcToRobotTest, OneMultipleReadPerCycleForAllMappings) {
  ASSERT_TRUE(add("DM0", "i0", Int16));         // 1 element
  ASSERT_TRUE(add("DM10", "i1", Int32));        // 2 elements
  ASSERT_TRUE(add("DM20", "d2", Double));       // 4 elements
  ASSERT_TRUE(add("W1.1", "b3", Bit));          // 1 element
  ASSERT_TRUE(add("W2", "i4", WordForced, "i5"));  // 1 element
  for (const char* name : {"i0", "i1", "d2", "b3", "i4"}) {
    ASSERT_TRUE(waitForState(name, 0)) << name;
  }
  plc_->clearReceivedFrames();
  const std::uint64_t first = impl().cycleCount;
  ASSERT_TRUE(waitCycles(6));
  const std::uint64_t cycles = impl().cycleCount - first;
  const auto frames = reads();
  ASSERT_FALSE(frames.empty());
  for (const auto& frame : frames) {
    EXPECT_EQ(9u, readElements(frame));
  }
  EXPECT_LE(frames.size(), cycles + 1);
  EXPECT_GE(frames.size() + 1, cycles);
}

TEST_F(PlcToRobotTest, ManyMappingsShareOnePackedRead) {
  // Too few for a range to spare a frame: one multiple read of all of them,
  // not 24 and 6.
  for (int i = 0; i < 30; ++i) {
    ASSERT_TRUE(add("DM" + std::to_string(i), "in" + std::to_string(i)));
  }
  ASSERT_TRUE(waitForState("in29", 0));
  plc_->clearReceivedFrames();
  ASSERT_TRUE(waitCycles(4));
  const auto frames = reads();
  ASSERT_GE(frames.size(), 3u);
  for (const auto& frame : frames) {
    EXPECT_TRUE(isMultipleRead(frame));
    EXPECT_EQ(30u, readElements(frame));
  }
}

TEST_F(PlcToRobotTest, BlockOfWordsIsOneRangeRead) {
  constexpr int kWords = 200;  // two packed frames, or one range
  // Register names hold two digits: mapping i and i + 100 share register
  // i, under the names ina<i> and inb<i>.
  const auto name = [](int i) {
    return std::string("in") + static_cast<char>('a' + i / 100) +
           std::to_string(i % 100);
  };
  for (int i = 0; i < kWords; ++i) {
    ASSERT_TRUE(add("DM" + std::to_string(500 + i), name(i)));
  }
  ASSERT_TRUE(waitForState(name(kWords - 1), 0));
  plc_->clearReceivedFrames();
  ASSERT_TRUE(waitCycles(4));
  const auto frames = reads();
  ASSERT_GE(frames.size(), 3u);
  for (const auto& frame : frames) {
    ASSERT_TRUE(isRangeRead(frame));
    EXPECT_TRUE(readAsksFor(frame, kDmWordCode, 500));
    EXPECT_EQ(static_cast<std::size_t>(kWords), readWords(frame));
  }
  plc_->setWord("DM", 500 + 23, 4321);
  plc_->setWord("DM", 500 + 123, 4321);
  EXPECT_TRUE(waitFor([&] { return exio_->inputInt(23) == 4321; }));
}

TEST_F(PlcToRobotTest, NoMappingSendsNoRead) {
  plc_->clearReceivedFrames();
  ASSERT_TRUE(waitCycles(5));
  EXPECT_TRUE(plc_->receivedFrames().empty());
}

TEST_F(PlcToRobotTest, FailedReadLeavesRobotRegistersAlone) {
  plc_->setWord("DM", 100, 7);
  ASSERT_TRUE(add("DM100", "in3"));
  ASSERT_TRUE(waitFor([&] { return exio_->inputInt(3) == 7; }));

  // A PLC that is gone fails the whole cycle's read.
  plc_->stop();
  ASSERT_TRUE(waitFor([&] { return engine_->getMapState("in3") != 0; }));
  plc_->setWord("DM", 100, 8);
  ASSERT_TRUE(waitCycles(3));
  EXPECT_EQ(7, exio_->inputInt(3));

  ASSERT_TRUE(plc_->start());
  EXPECT_TRUE(waitFor([&] { return exio_->inputInt(3) == 8; }));
  EXPECT_TRUE(waitForState("in3", 0));
}

TEST_F(PlcToRobotTest, WithoutConnectionMappingsShowNoRecord) {
  plc_->setWord("DM", 100, 7);
  ASSERT_TRUE(add("DM100", "in3"));
  ASSERT_TRUE(waitFor([&] { return exio_->inputInt(3) == 7; }));
  engine_->disconnect();
  ASSERT_TRUE(waitForState("in3", FINS_RETVAL_NO_RECORD));
  plc_->setWord("DM", 100, 8);
  ASSERT_TRUE(waitCycles(3));
  EXPECT_EQ(7, exio_->inputInt(3));
  EXPECT_EQ(FinsExIO::Disconnected, engine_->getState());
}

TEST_F(PlcToRobotTest, ReplacedMappingClaimsItsRegisterAgain) {
  ASSERT_TRUE(add("DM100", "in1", Int16));
  ASSERT_TRUE(waitForState("in1", 0));
  ASSERT_TRUE(add("DM100", "in1", Float));
  EXPECT_TRUE(waitFor([&] {
    return ownedByEngine(exiosim::kDoubleBank, 1);
  }));
  // The old claim is neither released nor carried over.
  EXPECT_TRUE(ownedByEngine(exiosim::kIntBank, 1));
  EXPECT_EQ(0u, trace_.count("releaseInput"));
}

TEST_F(PlcToRobotTest, RemovedMappingKeepsItsClaimAndIsNoLongerRead) {
  ASSERT_TRUE(add("DM100", "in1"));
  ASSERT_TRUE(waitForState("in1", 0));
  engine_->removeMapping("in1");
  EXPECT_EQ(1u, log_.count("Fins remove mapping in1 "));
  plc_->clearReceivedFrames();
  ASSERT_TRUE(waitCycles(3));
  EXPECT_TRUE(reads().empty());
  EXPECT_TRUE(ownedByEngine(exiosim::kIntBank, 1));
}

}  // namespace
}  // namespace exiotest
