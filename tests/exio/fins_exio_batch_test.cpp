// The robot side of a cycle goes as batches: a few HTTP requests per cycle
// whatever the number of mappings, and the same exchange, one call per
// register, from a service without system.multicall.

#include <string>

#include "tests/exio/engine_test_support.h"

namespace exiotest {
namespace {

class BatchTest : public EngineTest {
 protected:
  bool add(const std::string& address, const std::string& name,
           FinsDataType type, FinsExIO::MappingDirection direction) {
    return engine_->addMapping(address, name, "", type, direction);
  }
  // One mapping of each register kind both ways, values set on both sides.
  void addMixedMappings() {
    plc_->setWord("DM", 100, 0xFFFE);  // Int16: -2
    plc_->setWord("DM", 110, 0x0000);  // Float 1.5f, low word first
    plc_->setWord("DM", 111, 0x3FC0);
    plc_->setBit("W", 10, 3, true);
    exio_->setOutputInt(6, 4321);
    exio_->setOutputDouble(7, 2.5);
    exio_->setOutputBool(8, true);
    ASSERT_TRUE(add("DM100", "in3", Int16, FinsExIO::PlcToRobot));
    ASSERT_TRUE(add("DM110", "in4", Float, FinsExIO::PlcToRobot));
    ASSERT_TRUE(add("W10.03", "in5", Bit, FinsExIO::PlcToRobot));
    ASSERT_TRUE(add("DM200", "out6", Int16, FinsExIO::RobotToPlc));
    ASSERT_TRUE(add("DM210", "out7", Double, FinsExIO::RobotToPlc));
    ASSERT_TRUE(add("W20.01", "out8", Bit, FinsExIO::RobotToPlc));
  }
  void expectMixedValuesExchanged() {
    EXPECT_TRUE(waitFor([&] {
      return exio_->inputInt(3) == -2 && exio_->inputDouble(4) == 1.5 &&
             exio_->inputBool(5);
    }));
    EXPECT_TRUE(waitFor([&] {
      return plc_->word("DM", 200) == 4321 && plc_->word("DM", 213) == 0x4004 &&
             plc_->bit("W", 20, 1);
    }));
    for (const char* name : {"in3", "in4", "in5", "out6", "out7", "out8"}) {
      EXPECT_TRUE(waitForState(name, FinsExIO::MappingGood)) << name;
    }
  }
};

TEST_F(BatchTest, WithoutMulticallEveryRegisterIsItsOwnCall) {
  exio_->setOfferMulticall(false);
  ASSERT_TRUE(connectEngine());
  addMixedMappings();
  expectMixedValuesExchanged();
  EXPECT_FALSE(engine_->getDiagnostics().robot.multicall);
  // One write request per register a cycle: the counter moves by more than
  // the liveness call alone.
  constexpr std::uint64_t kRegisters = 6;
  const std::uint64_t cyclesBefore = impl().cycleCount;
  const std::uint64_t before = exio_->requestsAnswered();
  ASSERT_TRUE(waitCycles(4));
  const std::uint64_t requests = exio_->requestsAnswered() - before;
  const std::uint64_t cycles = impl().cycleCount - cyclesBefore;
  // The counts are not taken at a cycle's edge: one cycle less is certain.
  EXPECT_GE(requests, kRegisters * (cycles - 1));
}

TEST_F(BatchTest, ACycleCostsAFewRequestsWhateverTheMappingCount) {
  ASSERT_TRUE(connectEngine());
  addMixedMappings();
  constexpr int kExtra = 40;
  for (int i = 0; i < kExtra; ++i) {
    const std::string n = std::to_string(10 + i);
    ASSERT_TRUE(add("DM" + std::to_string(300 + i), "in" + n, Int16,
                    FinsExIO::PlcToRobot));
    ASSERT_TRUE(add("DM" + std::to_string(400 + 2 * i), "out" + n, Int16,
                    FinsExIO::RobotToPlc));
  }
  expectMixedValuesExchanged();
  ASSERT_TRUE(waitForState("in49", FinsExIO::MappingGood));
  ASSERT_TRUE(waitForState("out49", FinsExIO::MappingGood));
  EXPECT_TRUE(engine_->getDiagnostics().robot.multicall);

  // The liveness call, the writes and the reads; a claim batch at most.
  constexpr std::uint64_t kRequestsPerCycle = 4;
  constexpr std::uint64_t kCycles = 5;
  const std::uint64_t cyclesBefore = impl().cycleCount;
  const std::uint64_t before = exio_->requestsAnswered();
  ASSERT_TRUE(waitCycles(kCycles));
  const std::uint64_t requests = exio_->requestsAnswered() - before;
  const std::uint64_t cycles = impl().cycleCount - cyclesBefore;
  // The counts are not taken at a cycle's edge: one cycle more is allowed.
  EXPECT_LE(requests, kRequestsPerCycle * (cycles + 1));
  EXPECT_GE(requests, cycles);  // every cycle asked something
}

}  // namespace
}  // namespace exiotest
