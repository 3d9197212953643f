// The robot-to-PLC pass: runs of gap-free addresses written with one FINS
// command each, the values they carry, and the states they leave.

#include <algorithm>
#include <cstring>
#include <mutex>
#include <shared_mutex>
#include <tuple>

#include "tests/exio/engine_test_support.h"

namespace exiotest {
namespace {

// Where a write started and how much it carried; what a run looks like on
// the wire.
struct WrittenRun {
  std::uint8_t area;
  std::uint16_t word;
  std::uint8_t bit;
  std::uint16_t count;
  bool operator<(const WrittenRun& o) const {
    return std::tie(area, word, bit, count) <
           std::tie(o.area, o.word, o.bit, o.count);
  }
  bool operator==(const WrittenRun& o) const {
    return !(*this < o) && !(o < *this);
  }
};

std::ostream& operator<<(std::ostream& out, const WrittenRun& r) {
  return out << "{area " << int(r.area) << " word " << r.word << "." << int(r.bit)
             << " x" << r.count << "}";
}

constexpr std::uint8_t kWBits = 0x31;

class RobotToPlcTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    ASSERT_TRUE(connectEngine());
    // One PlcToRobot mapping makes every cycle start with a read frame, so
    // the writes between two reads are one cycle's.
    ASSERT_TRUE(engine_->addMapping("DM999", "m99", "", Int16,
                                    FinsExIO::PlcToRobot));
  }
  bool add(const std::string& address, const std::string& name,
           FinsDataType type = Int16) {
    return engine_->addMapping(address, name, "", type,
                               FinsExIO::RobotToPlc);
  }
  // The runs written in each complete cycle seen from now on, sorted (the
  // order of the groups within a cycle is not fixed).
  std::vector<std::vector<WrittenRun>> cycleRuns(std::size_t cycles = 3) {
    plc_->clearReceivedFrames();
    std::vector<std::vector<WrittenRun>> result;
    waitFor([&] { return reads().size() >= cycles + 1; });
    const auto frames = plc_->receivedFrames();
    std::vector<WrittenRun> current;
    bool started = false;
    for (const auto& frame : frames) {
      if (isMultipleRead(frame) || isRangeRead(frame)) {
        if (started) {
          std::sort(current.begin(), current.end());
          result.push_back(current);
        }
        started = true;
        current.clear();
      } else if (started && isWrite(frame)) {
        const WriteFrame w = decodeWrite(frame);
        current.push_back(WrittenRun{w.area, w.word, w.bit, w.count});
      }
    }
    return result;
  }
  void expectEveryCycleWrites(std::vector<WrittenRun> expected) {
    std::sort(expected.begin(), expected.end());
    const auto cycles = cycleRuns();
    ASSERT_GE(cycles.size(), 3u);
    for (const auto& runs : cycles) {
      EXPECT_EQ(expected, runs);
    }
  }
};

TEST_F(RobotToPlcTest, ThreeAdjacentWordsAddedInAnyOrderAreOneWrite) {
  exio_->setOutputInt(1, 11);
  exio_->setOutputInt(2, -22);
  exio_->setOutputInt(3, 33);
  ASSERT_TRUE(add("DM102", "o3"));
  ASSERT_TRUE(add("DM100", "o1"));
  ASSERT_TRUE(add("DM101", "o2"));
  ASSERT_TRUE(waitForState("o2", 0));
  expectEveryCycleWrites({{kDmWordCode, 100, 0, 3}});
  EXPECT_EQ(11, plc_->word("DM", 100));
  EXPECT_EQ(0xFFEA, plc_->word("DM", 101));
  EXPECT_EQ(33, plc_->word("DM", 102));
  EXPECT_EQ(0, engine_->getMapState("o1"));
  EXPECT_EQ(0, engine_->getMapState("o3"));
}

TEST_F(RobotToPlcTest, GapSplitsARun) {
  ASSERT_TRUE(add("DM100", "o1"));
  ASSERT_TRUE(add("DM102", "o2"));
  ASSERT_TRUE(add("DM103", "o3"));
  ASSERT_TRUE(waitForState("o3", 0));
  expectEveryCycleWrites({{kDmWordCode, 100, 0, 1}, {kDmWordCode, 102, 0, 2}});
}

TEST_F(RobotToPlcTest, Int32ValuesStepTwoWords) {
  exio_->setOutputInt(1, 0x12345678);
  ASSERT_TRUE(add("DM100", "o1", Int32));
  ASSERT_TRUE(add("DM102", "o2", Int32));
  ASSERT_TRUE(waitForState("o2", 0));
  expectEveryCycleWrites({{kDmWordCode, 100, 0, 4}});
  EXPECT_EQ(0x5678, plc_->word("DM", 100));
  EXPECT_EQ(0x1234, plc_->word("DM", 101));
}

TEST_F(RobotToPlcTest, OverlappingInt32ValuesAreTwoWrites) {
  ASSERT_TRUE(add("DM100", "o1", Int32));
  ASSERT_TRUE(add("DM101", "o2", Int32));
  ASSERT_TRUE(waitForState("o2", 0));
  expectEveryCycleWrites({{kDmWordCode, 100, 0, 2}, {kDmWordCode, 101, 0, 2}});
}

TEST_F(RobotToPlcTest, UnreadRobotValueCutsTheRunAtItsRecord) {
  // DM102 follows DM100, but only across the unread DM101: joined, a PLC
  // refusal of either half would fail both.
  ASSERT_TRUE(add("DM100", "o1", Int32));
  ASSERT_TRUE(add("DM101", "o2", Int32));
  ASSERT_TRUE(add("DM102", "o3", Int32));
  exio_->setFailingRegister(exiosim::kIntBank, 2, true);
  ASSERT_TRUE(waitForState("o2", FinsExIO::MappingRobotCallFailed));
  expectEveryCycleWrites({{kDmWordCode, 100, 0, 2}, {kDmWordCode, 102, 0, 2}});
}

TEST_F(RobotToPlcTest, DoubleValuesStepFourWords) {
  exio_->setOutputDouble(1, 2.5);     // 0x4004000000000000
  exio_->setOutputDouble(2, -1.0);    // 0xBFF0000000000000
  ASSERT_TRUE(add("DM200", "o1", Double));
  ASSERT_TRUE(add("DM204", "o2", Double));
  ASSERT_TRUE(waitForState("o2", 0));
  expectEveryCycleWrites({{kDmWordCode, 200, 0, 8}});
  EXPECT_EQ(0x0000, plc_->word("DM", 200));
  EXPECT_EQ(0x4004, plc_->word("DM", 203));
  EXPECT_EQ(0xBFF0, plc_->word("DM", 207));
}

TEST_F(RobotToPlcTest, FloatGoesLowWordFirst) {
  exio_->setOutputDouble(1, 1.5);  // 0x3FC00000
  plc_->setWord("DM", 10, 0xFFFF);
  ASSERT_TRUE(add("DM10", "o1", Float));
  ASSERT_TRUE(waitFor([&] { return plc_->word("DM", 11) == 0x3FC0; }));
  EXPECT_EQ(0x0000, plc_->word("DM", 10));
}

TEST_F(RobotToPlcTest, DoublesBeyondAFloatRoundAsIeeeDoes) {
  exio_->setOutputDouble(1, 1e300);    // beyond any float: +infinity
  exio_->setOutputDouble(2, -1e300);   // -infinity
  exio_->setOutputDouble(3, 3.4028235e38);  // within half a unit of FLT_MAX
  ASSERT_TRUE(add("DM20", "o1", Float));
  ASSERT_TRUE(add("DM22", "o2", Float));
  ASSERT_TRUE(add("DM24", "o3", Float));
  ASSERT_TRUE(waitFor([&] { return plc_->word("DM", 25) == 0x7F7F; }));
  EXPECT_EQ(0x7F80, plc_->word("DM", 21));
  EXPECT_EQ(0xFF80, plc_->word("DM", 23));
  EXPECT_EQ(0xFFFF, plc_->word("DM", 24));
}

TEST_F(RobotToPlcTest, BcdValuesAreEncodedByTheLibrary) {
  exio_->setOutputInt(1, 1234);
  ASSERT_TRUE(add("DM10", "o1", BCD16));
  EXPECT_TRUE(waitFor([&] { return plc_->word("DM", 10) == 0x1234; }));
}

TEST_F(RobotToPlcTest, BitsRunAcrossAWordBoundary) {
  exio_->setOutputBool(1, true);
  exio_->setOutputBool(2, false);
  exio_->setOutputBool(3, true);
  plc_->setBit("W", 10, 15, true);
  ASSERT_TRUE(add("W11.0", "o3", Bit));
  ASSERT_TRUE(add("W10.14", "o1", Bit));
  ASSERT_TRUE(add("W10.15", "o2", Bit));
  ASSERT_TRUE(waitForState("o2", 0));
  expectEveryCycleWrites({{kWBits, 10, 14, 3}});
  EXPECT_TRUE(plc_->bit("W", 10, 14));
  EXPECT_FALSE(plc_->bit("W", 10, 15));
  EXPECT_TRUE(plc_->bit("W", 11, 0));
}

TEST_F(RobotToPlcTest, BitsWithAGapAreTwoWrites) {
  ASSERT_TRUE(add("W10.14", "o1", Bit));
  ASSERT_TRUE(add("W11.0", "o3", Bit));
  ASSERT_TRUE(waitForState("o3", 0));
  expectEveryCycleWrites({{kWBits, 10, 14, 1}, {kWBits, 11, 0, 1}});
}

TEST_F(RobotToPlcTest, BitRecordsKeepTheValueReadFromTheRobot) {
  exio_->setOutputBool(1, true);
  ASSERT_TRUE(add("W10.1", "o1", Bit));
  ASSERT_TRUE(waitFor([&] { return plc_->bit("W", 10, 1); }));
  gw::ReaderLock lock(impl().mappings.mappingLock);
  EXPECT_EQ(1, impl().mappings.robotToPlcIndex.at("o1")->item.toMultidata()
                   .value.bit.value);
}

TEST_F(RobotToPlcTest, SameWordInTwoTypesOrTwoAreasAreSeparateWrites) {
  ASSERT_TRUE(add("DM100", "o1", Int16));
  ASSERT_TRUE(add("DM101", "o2", Uint16));
  ASSERT_TRUE(add("W101", "o3", Int16));
  ASSERT_TRUE(waitForState("o3", 0));
  expectEveryCycleWrites(
      {{kDmWordCode, 100, 0, 1}, {kDmWordCode, 101, 0, 1}, {0xB1, 101, 0, 1}});
}

TEST_F(RobotToPlcTest, FailedWriteGivesItsRunTheLibraryCode) {
  // A0..A447 cannot be written on this family.
  ASSERT_TRUE(add("A100", "o1"));
  ASSERT_TRUE(add("DM100", "o2"));
  ASSERT_TRUE(waitForState("o1", FINS_RETVAL_INVALID_WRITE_AREA));
  ASSERT_TRUE(waitForState("o2", 0));
  expectEveryCycleWrites({{kDmWordCode, 100, 0, 1}});

  engine_->disconnect();
  EXPECT_TRUE(waitForState("o2", FINS_RETVAL_NO_RECORD));
}

TEST_F(RobotToPlcTest, PlcRefusalGivesTheRunItsEndCode) {
  // Past the end of DM: the PLC answers "address range exceeded".
  ASSERT_TRUE(add("DM32767", "o1", Int32));
  EXPECT_TRUE(waitForState("o1", 0x1104));
}

TEST_F(RobotToPlcTest, ForcedTypesAreStoredButNeverWritten) {
  ASSERT_TRUE(add("W20", "o1", WordForced));
  ASSERT_TRUE(add("W21.1", "o2", BitForced));
  const auto cycles = cycleRuns();
  ASSERT_GE(cycles.size(), 3u);
  for (const auto& runs : cycles) {
    EXPECT_TRUE(runs.empty());
  }
  EXPECT_EQ(FinsExIO::MappingNew, engine_->getMapState("o1"));
  EXPECT_EQ(FinsExIO::MappingNew, engine_->getMapState("o2"));
  EXPECT_EQ(3u, engine_->getMapping().size());
}

TEST_F(RobotToPlcTest, EmptiedGroupWritesNothing) {
  ASSERT_TRUE(add("DM100", "o1"));
  ASSERT_TRUE(waitForState("o1", 0));
  engine_->removeMapping("o1");
  const auto cycles = cycleRuns();
  ASSERT_GE(cycles.size(), 3u);
  for (const auto& runs : cycles) {
    EXPECT_TRUE(runs.empty());
  }
}

}  // namespace
}  // namespace exiotest
