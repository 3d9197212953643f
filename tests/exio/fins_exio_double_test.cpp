// Doubles through the robot registers, both ways, bit for bit: the robot's
// double output lands in the PLC's four words unchanged, and the PLC's four
// words reach the robot's double input unchanged.

#include <cmath>
#include <cstring>
#include <random>

#include "tests/exio/engine_test_support.h"

namespace exiotest {
namespace {

constexpr int kMappings = 50;  // each way; the banks hold 100 registers
constexpr std::uint32_t kRobotToPlcBase = 1000;  // DM1000, DM1004, ...
constexpr std::uint32_t kPlcToRobotBase = 2000;

std::uint64_t bitsOf(double value) {
  std::uint64_t bits = 0;
  std::memcpy(&bits, &value, sizeof(bits));
  return bits;
}

double randomFiniteDouble(std::mt19937_64& rng) {
  for (;;) {
    const std::uint64_t bits = rng();
    double value = 0;
    std::memcpy(&value, &bits, sizeof(value));
    if (std::isfinite(value)) return value;
  }
}

class DoubleExactnessTest : public EngineTest {
 protected:
  std::uint64_t plcBits(std::uint32_t word) const {
    std::uint64_t bits = 0;
    for (int w = 3; w >= 0; --w) {
      bits = bits << 16 | plc_->word("DM", word + w);
    }
    return bits;
  }
  void setPlcBits(std::uint32_t word, std::uint64_t bits) {
    for (int w = 0; w < 4; ++w) {
      plc_->setWord("DM", word + w, static_cast<std::uint16_t>(bits >> (16 * w)));
    }
  }
};

TEST_F(DoubleExactnessTest, TenThousandDoublesCrossBothWaysUnchanged) {
  ASSERT_TRUE(connectEngine());
  for (int i = 0; i < kMappings; ++i) {
    ASSERT_TRUE(engine_->addMapping(
        "DM" + std::to_string(kRobotToPlcBase + 4 * i), "dout" + std::to_string(i),
        "", Double, FinsExIO::RobotToPlc));
    ASSERT_TRUE(engine_->addMapping(
        "DM" + std::to_string(kPlcToRobotBase + 4 * i), "din" + std::to_string(i),
        "", Double, FinsExIO::PlcToRobot));
  }
  std::mt19937_64 rng(20261209);
  std::vector<double> values = {-0.15625, 123456789.125, 0.30000000000000004,
                                -0.0, 5e-324};
  while (values.size() < 10000) values.push_back(randomFiniteDouble(rng));

  for (std::size_t first = 0; first < values.size(); first += kMappings) {
    const std::size_t count =
        std::min<std::size_t>(kMappings, values.size() - first);
    for (std::size_t i = 0; i < count; ++i) {
      exio_->setOutputDouble(static_cast<int>(i), values[first + i]);
      setPlcBits(kPlcToRobotBase + 4 * static_cast<std::uint32_t>(i),
                 bitsOf(values[first + i]));
    }
    ASSERT_TRUE(waitFor([&] {
      for (std::size_t i = 0; i < count; ++i) {
        const std::uint64_t want = bitsOf(values[first + i]);
        if (plcBits(kRobotToPlcBase + 4 * static_cast<std::uint32_t>(i)) != want ||
            bitsOf(exio_->inputDouble(static_cast<int>(i))) != want) {
          return false;
        }
      }
      return true;
    })) << "a value of the batch from " << first << " never arrived unchanged, e.g. "
        << std::hexfloat << values[first];
  }
}

}  // namespace
}  // namespace exiotest
