// One mapping the PLC cannot serve, among good ones: only that mapping
// fails, the others keep exchanging, and it comes back by itself once it can
// be served.

#include <chrono>
#include <string>

#include "tests/exio/engine_test_support.h"

namespace exiotest {
namespace {

constexpr std::uint16_t kOutOfRange = 0x1103;

class IsolationTest : public EngineTest {
 protected:
  static constexpr int kGood = 5;

  void SetUp() override {
    EngineTest::SetUp();
    ASSERT_TRUE(connectEngine());
  }

  // in1..in5 read DM101..DM105, as Int16.
  void addGoodMappings() {
    for (int i = 1; i <= kGood; ++i) {
      plc_->setWord("DM", 100 + i, static_cast<std::uint16_t>(i));
      ASSERT_TRUE(add("DM" + std::to_string(100 + i), name(i)));
    }
  }
  // Each good mapping shows state 0 and carries a new value to the robot.
  void expectGoodOnesFlow(int base) {
    for (int i = 1; i <= kGood; ++i) {
      plc_->setWord("DM", 100 + i, static_cast<std::uint16_t>(base + i));
    }
    for (int i = 1; i <= kGood; ++i) {
      EXPECT_TRUE(waitFor([&] { return exio_->inputInt(i) == base + i; }))
          << name(i);
      EXPECT_EQ(0, engine_->getMapState(name(i))) << name(i);
    }
  }
  bool add(const std::string& address, const std::string& robotRegister,
           FinsDataType type = Int16,
           FinsExIO::MappingDirection direction = FinsExIO::PlcToRobot) {
    return engine_->addMapping(address, robotRegister, "", type, direction);
  }
  static std::string name(int i) { return "in" + std::to_string(i); }

  // Read frames received since the last clearReceivedFrames that ask for
  // DM `word`.
  std::size_t readsOfDm(std::uint16_t word) const {
    std::size_t n = 0;
    for (const auto& frame : reads()) {
      n += readAsksFor(frame, kDmWordCode, word) ? 1 : 0;
    }
    return n;
  }
};

TEST_F(IsolationTest, ItemThePlcRefusesFailsAloneAndComesBackByItself) {
  addGoodMappings();
  for (int i = 1; i <= kGood; ++i) {
    ASSERT_TRUE(waitForState(name(i), 0));
  }
  plc_->refuseElement(kDmWordCode, 150, kOutOfRange);
  plc_->setWord("DM", 150, 77);
  ASSERT_TRUE(add("DM150", "in9"));
  ASSERT_TRUE(waitForState("in9", kOutOfRange));
  expectGoodOnesFlow(10);
  EXPECT_EQ(1u, plc_->clientNodes().size()) << "the link was not reopened";
  EXPECT_EQ(1u, log_.count("Fins mapping DM150 <---> in9 refused"));

  // While refused, the item is tried alone about once a second, not every
  // cycle.
  plc_->clearReceivedFrames();
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(waitCycles(100));
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(
                           std::chrono::steady_clock::now() - start)
                           .count();
  EXPECT_LE(readsOfDm(150), static_cast<std::size_t>(seconds) + 1);
  EXPECT_EQ(kOutOfRange, engine_->getMapState("in9"));

  plc_->refuseElement(kDmWordCode, 150, 0);
  ASSERT_TRUE(waitForState("in9", 0));
  EXPECT_TRUE(waitFor([&] { return exio_->inputInt(9) == 77; }));
  expectGoodOnesFlow(20);
}

TEST_F(IsolationTest, AddressesTheFamilyCannotPlaceAreLeftOutOfTheRead) {
  addGoodMappings();
  ASSERT_TRUE(add("QQ1", "in7"));
  ASSERT_TRUE(add("TK40", "b8", Bit));  // task flags end at 31
  ASSERT_TRUE(waitForState("in7", FINS_RETVAL_INVALID_READ_AREA));
  ASSERT_TRUE(waitForState("b8", FINS_RETVAL_INVALID_READ_AREA));
  // From here on; earlier frames may have gone out while the good ones
  // were still being added.
  plc_->clearReceivedFrames();
  expectGoodOnesFlow(30);
  ASSERT_FALSE(reads().empty());
  for (const auto& frame : reads()) {
    EXPECT_EQ(static_cast<std::size_t>(kGood), readWords(frame));
  }

  // Removing one and repairing the other need nothing more.
  engine_->removeMapping("in7");
  ASSERT_TRUE(add("TK4", "b8", Bit));
  ASSERT_TRUE(waitForState("b8", 0));
  expectGoodOnesFlow(40);
}

TEST_F(IsolationTest, FamilyChangePlacesTheItemsAgain) {
  ASSERT_TRUE(add("DM100", "in1"));
  ASSERT_TRUE(add("W10", "in2"));  // the CV family has no W area
  ASSERT_TRUE(waitForState("in2", 0));
  ASSERT_TRUE(engine_->setPLCMode("CV"));
  ASSERT_TRUE(waitForState("in2", FINS_RETVAL_INVALID_READ_AREA));
  plc_->setWord("DM", 100, 5);
  EXPECT_TRUE(waitFor([&] { return exio_->inputInt(1) == 5; }));
  EXPECT_EQ(0, engine_->getMapState("in1"));

  ASSERT_TRUE(engine_->setPLCMode("CJ"));
  plc_->setWord("W", 10, 6);
  ASSERT_TRUE(waitForState("in2", 0));
  EXPECT_TRUE(waitFor([&] { return exio_->inputInt(2) == 6; }));
}

TEST_F(IsolationTest, LinkFailureStillFailsEveryMappingWithoutASearch) {
  addGoodMappings();
  for (int i = 1; i <= kGood; ++i) {
    ASSERT_TRUE(waitForState(name(i), 0));
  }
  plc_->clearReceivedFrames();
  plc_->ignoreNextCommands(1);  // the read times out
  ASSERT_TRUE(waitFor([&] { return engine_->getMapState("in1") != 0; }));
  const int code = engine_->getMapState("in1");
  EXPECT_GT(code, FINS_LAST_END_CODE) << "a library code, not a PLC end code";
  for (int i = 2; i <= kGood; ++i) {
    EXPECT_EQ(code, engine_->getMapState(name(i))) << name(i);
  }
  // Nothing was sent while the one read waited for its answer.
  EXPECT_EQ(1u, reads().size());
  for (int i = 1; i <= kGood; ++i) {
    EXPECT_TRUE(waitForState(name(i), 0)) << name(i);
  }
}

TEST_F(IsolationTest, RefusedRobotToPlcRunsLeaveTheOtherRunsAlone) {
  // Four runs in address order: DM200..DM201, DM300 and DM400 (both
  // refused, one right after the other), DM500.
  const struct {
    std::uint16_t word;
    const char* name;
    int index;
    bool refused;
  } outs[] = {{200, "out1", 1, false},
              {201, "out2", 2, false},
              {300, "out3", 3, true},
              {400, "out4", 4, true},
              {500, "out5", 5, false}};
  for (const auto& out : outs) {
    if (out.refused) {
      plc_->refuseElement(kDmWordCode, out.word, kOutOfRange);
    }
    exio_->setOutputInt(out.index, 10 + out.index);
    ASSERT_TRUE(add("DM" + std::to_string(out.word), out.name, Int16,
                    FinsExIO::RobotToPlc));
  }
  for (const auto& out : outs) {
    if (out.refused) {
      EXPECT_TRUE(waitForState(out.name, kOutOfRange)) << out.name;
      EXPECT_EQ(0u, plc_->word("DM", out.word)) << out.name;
    } else {
      EXPECT_TRUE(waitForState(out.name, 0)) << out.name;
      EXPECT_TRUE(waitFor([&] {
        return plc_->word("DM", out.word) == 10 + out.index;
      })) << out.name;
    }
  }
  ASSERT_TRUE(waitCycles(5));
  EXPECT_EQ(1u, plc_->clientNodes().size()) << "the link was not reopened";

  plc_->refuseElement(kDmWordCode, 300, 0);
  EXPECT_TRUE(waitForState("out3", 0));
  EXPECT_TRUE(waitFor([&] { return plc_->word("DM", 300) == 13; }));
}

}  // namespace
}  // namespace exiotest
