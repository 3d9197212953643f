// The synchronisation loop's reaction to the external IO service going down
// and coming back, and the direct reads and writes of PLC memory.

#include <cmath>

#include "tests/exio/engine_test_support.h"

namespace exiotest {
namespace {

class LoopTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    ASSERT_TRUE(connectEngine());
  }
  bool allStates(const std::vector<std::string>& names, std::int32_t state) {
    for (const auto& name : names) {
      if (engine_->getMapState(name) != state) {
        return false;
      }
    }
    return true;
  }
  // Three Int16 mappings: every read of the loop carries three elements,
  // so any other read frame is a direct read.
  void addThreeMappings() {
    for (int i = 0; i < 3; ++i) {
      ASSERT_TRUE(engine_->addMapping("DM10" + std::to_string(i),
                                      "in" + std::to_string(i + 1), "", Int16,
                                      FinsExIO::PlcToRobot));
    }
  }
  std::size_t directReads() const {
    std::size_t n = 0;
    for (const auto& frame : reads()) {
      n += readWords(frame) != 3 ? 1 : 0;
    }
    return n;
  }
};

TEST_F(LoopTest, ServiceDownMarksEveryMappingWithinOneCycleAndStopsExchange) {
  const std::vector<std::string> names = {"in1", "in2", "out1"};
  ASSERT_TRUE(engine_->addMapping("DM100", "in1", "", Int16,
                                  FinsExIO::PlcToRobot));
  ASSERT_TRUE(engine_->addMapping("DM101", "in2", "", Int16,
                                  FinsExIO::PlcToRobot));
  ASSERT_TRUE(engine_->addMapping("DM200", "out1", "", Int16,
                                  FinsExIO::RobotToPlc));
  ASSERT_TRUE(waitFor([&] { return allStates(names, 0); }));

  exio_->stop();
  // The cycle under way may still finish its exchange; the next one finds
  // the service down.
  const std::uint64_t stopped = impl().cycleCount;
  ASSERT_TRUE(waitFor([&] { return impl().cycleCount >= stopped + 2; }));
  EXPECT_TRUE(allStates(names, FinsExIO::MappingServiceDown));
  {
    gw::ReaderLock lock(impl().mappings.mappingLock);
    EXPECT_FALSE(impl().mappings.plcToRobotMap.at("in1").occupied.load());
  }
  plc_->clearReceivedFrames();
  ASSERT_TRUE(waitCycles(5));
  EXPECT_TRUE(plc_->receivedFrames().empty());

  // A mapped direct read answers the service-down state and zero.
  FinsValue value;
  EXPECT_EQ(FinsExIO::MappingServiceDown,
            engine_->memoryAreaReadInternal("DM100", Int16, value));
  EXPECT_EQ(0, boost::get<short>(value));

  const std::size_t claims = trace_.count("occupyInput");
  plc_->setWord("DM", 100, 9);
  ASSERT_TRUE(exio_->start());
  ASSERT_TRUE(waitFor([&] { return allStates(names, 0); }));
  EXPECT_GE(trace_.count("occupyInput"), claims + 2);
  EXPECT_TRUE(waitFor([&] { return exio_->inputInt(1) == 9; }));
}

TEST_F(LoopTest, ControllerNotConnectedStillCountsAsRunning) {
  exio_->setControllerConnected(false);
  ASSERT_TRUE(engine_->addMapping("DM100", "in1", "", Int16,
                                  FinsExIO::PlcToRobot));
  EXPECT_TRUE(waitForState("in1", 0));
}

TEST_F(LoopTest, MappedReadIsAnsweredFromTheKeptValueWithoutTraffic) {
  addThreeMappings();
  plc_->setWord("DM", 100, 0xFFD6);  // -42
  // The state follows the robot write, a moment after the value arrived.
  ASSERT_TRUE(waitFor([&] {
    return exio_->inputInt(1) == -42 && engine_->getMapState("in1") == 0;
  }));

  plc_->clearReceivedFrames();
  FinsValue value;
  EXPECT_EQ(0, engine_->memoryAreaReadInternal("DM100", Int16, value));
  EXPECT_EQ(-42, boost::get<short>(value));
  EXPECT_EQ(0u, directReads());
}

TEST_F(LoopTest, MappedAddressReadAsAnotherTypeIsReadFromThePlc) {
  addThreeMappings();
  plc_->setWord("DM", 100, 0x0000);
  plc_->setWord("DM", 101, 0x3FC0);
  ASSERT_TRUE(waitForState("in1", 0));

  plc_->clearReceivedFrames();
  FinsValue value;
  EXPECT_EQ(0, engine_->memoryAreaReadInternal("DM100", Float, value));
  EXPECT_EQ(1.5f, boost::get<float>(value));
  EXPECT_EQ(1u, directReads());
}

TEST_F(LoopTest, AddressTooLongForTheItemIsRefusedWithoutRead) {
  plc_->clearReceivedFrames();
  FinsValue value = 5;
  EXPECT_EQ(FINS_RETVAL_INVALID_READ_ADDRESS,
            engine_->memoryAreaReadInternal("DM1000000001", Int32, value));
  EXPECT_EQ(0, boost::get<int>(value));
  EXPECT_TRUE(plc_->receivedFrames().empty());
}

// --- Direct access ---------------------------------------------------------------

TEST_F(LoopTest, DirectWritesOfEveryWritableType) {
  EXPECT_EQ(0, engine_->memoryAreaWrite("DM0", Int16, FinsValue(short(-2))));
  EXPECT_EQ(0xFFFE, plc_->word("DM", 0));
  EXPECT_EQ(0, engine_->memoryAreaWrite("DM1", Uint16,
                                        FinsValue((unsigned short)40000)));
  EXPECT_EQ(40000, plc_->word("DM", 1));
  EXPECT_EQ(0, engine_->memoryAreaWrite("DM2", BCD16,
                                        FinsValue((unsigned short)1234)));
  EXPECT_EQ(0x1234, plc_->word("DM", 2));
  EXPECT_EQ(0, engine_->memoryAreaWrite("DM3", SBCD16_0, FinsValue(short(-123))));
  EXPECT_EQ(0x1123, plc_->word("DM", 3));
  EXPECT_EQ(0, engine_->memoryAreaWrite("DM10", Int32, FinsValue(0x12345678)));
  EXPECT_EQ(0x5678, plc_->word("DM", 10));
  EXPECT_EQ(0x1234, plc_->word("DM", 11));
  EXPECT_EQ(0, engine_->memoryAreaWrite("DM12", Uint32,
                                        FinsValue(0xFFFFFFFFu)));
  EXPECT_EQ(0xFFFF, plc_->word("DM", 13));
  EXPECT_EQ(0, engine_->memoryAreaWrite("DM14", BCD32, FinsValue(12345678u)));
  EXPECT_EQ(0x5678, plc_->word("DM", 14));
  EXPECT_EQ(0x1234, plc_->word("DM", 15));
  EXPECT_EQ(0, engine_->memoryAreaWrite("DM20", Float, FinsValue(1.5f)));
  EXPECT_EQ(0x0000, plc_->word("DM", 20));
  EXPECT_EQ(0x3FC0, plc_->word("DM", 21));
  EXPECT_EQ(0, engine_->memoryAreaWrite("DM30", Double, FinsValue(2.5)));
  EXPECT_EQ(0x0000, plc_->word("DM", 30));
  EXPECT_EQ(0x4004, plc_->word("DM", 33));
  EXPECT_EQ(0, engine_->memoryAreaWrite("W5.7", Bit, FinsValue(true)));
  EXPECT_TRUE(plc_->bit("W", 5, 7));
}

TEST_F(LoopTest, DirectFloatWriteIsOneFrameOfOneValue) {
  plc_->clearReceivedFrames();
  EXPECT_EQ(0, engine_->memoryAreaWrite("DM10", Float, FinsValue(1.5f)));
  const auto frames = writes();
  ASSERT_EQ(1u, frames.size());
  EXPECT_EQ(10, frames[0].word);
  EXPECT_EQ(2, frames[0].count);
}

TEST_F(LoopTest, DirectWriteOfTheWrongAlternativeThrows) {
  EXPECT_THROW(engine_->memoryAreaWrite("DM0", Int16, FinsValue(5)),
               boost::bad_get);
  // The lock was released on the way out.
  EXPECT_EQ(0, engine_->memoryAreaWrite("DM0", Int32, FinsValue(5)));
}

TEST_F(LoopTest, DirectWriteOfReadOnlyOrInvalidTypeWritesNothing) {
  plc_->clearReceivedFrames();
  EXPECT_NE(0, engine_->memoryAreaWrite("W1", BitForced,
                                        FinsValue(FinsExIO::BitForce{})));
  EXPECT_NE(0, engine_->memoryAreaWrite("W1", WordForced,
                                        FinsValue(FinsExIO::WordForce{})));
  EXPECT_NE(0, engine_->memoryAreaWrite("W1", static_cast<FinsDataType>(0),
                                        FinsValue(short(1))));
  EXPECT_TRUE(plc_->receivedFrames().empty());
}

TEST_F(LoopTest, DirectReadsOfEveryType) {
  plc_->setWord("DM", 0, 0xFFFE);
  plc_->setWord("DM", 2, 0x1234);
  plc_->setWord("DM", 10, 0x1234);
  plc_->setWord("DM", 11, 0x5678);
  plc_->setWord("DM", 33, 0x4004);
  plc_->setBit("W", 10, 3, true);
  plc_->setForced("W", 10, 1 << 3);
  plc_->setWord("W", 12, 0x00A5);
  FinsValue v;
  EXPECT_EQ(0, engine_->memoryAreaReadInternal("DM0", Int16, v));
  EXPECT_EQ(-2, boost::get<short>(v));
  EXPECT_EQ(0, engine_->memoryAreaReadInternal("DM0", Uint16, v));
  EXPECT_EQ(65534, boost::get<unsigned short>(v));
  EXPECT_EQ(0, engine_->memoryAreaReadInternal("DM2", BCD16, v));
  EXPECT_EQ(1234, boost::get<unsigned short>(v));
  EXPECT_EQ(0, engine_->memoryAreaReadInternal("DM10", Int32, v));
  EXPECT_EQ(0x56781234, boost::get<int>(v));
  EXPECT_EQ(0, engine_->memoryAreaReadInternal("DM10", Uint32, v));
  EXPECT_EQ(0x56781234u, boost::get<unsigned int>(v));
  EXPECT_EQ(0, engine_->memoryAreaReadInternal("DM30", Double, v));
  EXPECT_EQ(2.5, boost::get<double>(v));
  EXPECT_EQ(0, engine_->memoryAreaReadInternal("W10.3", Bit, v));
  EXPECT_TRUE(boost::get<bool>(v));
  EXPECT_EQ(0, engine_->memoryAreaReadInternal("W10.3", BitForced, v));
  EXPECT_TRUE(boost::get<FinsExIO::BitForce>(v).value);
  EXPECT_TRUE(boost::get<FinsExIO::BitForce>(v).forced);
  EXPECT_EQ(0, engine_->memoryAreaReadInternal("W12", WordForced, v));
  EXPECT_TRUE(boost::get<FinsExIO::WordForce>(v).value);
  EXPECT_FALSE(boost::get<FinsExIO::WordForce>(v).forced);
}

TEST_F(LoopTest, FailedReadHandsBackZeroOfTheRequestedType) {
  engine_->disconnect();
  FinsValue v = 7;
  EXPECT_EQ(FINS_RETVAL_NO_RECORD,
            engine_->memoryAreaReadInternal("W1.1", BitForced, v));
  EXPECT_FALSE(boost::get<FinsExIO::BitForce>(v).value);
  EXPECT_FALSE(boost::get<FinsExIO::BitForce>(v).forced);
  EXPECT_EQ(FINS_RETVAL_NO_RECORD,
            engine_->memoryAreaWrite("DM0", Int16, FinsValue(short(1))));
}

}  // namespace
}  // namespace exiotest
