// BCD conversion: round trips over every 16-bit value, dense samples of the 32-bit ranges, the
// range edges, and the documented examples.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "fins/fins.h"

namespace {

struct Range {
  int type;
  int64_t min, max;
  uint32_t marker;  // what an out-of-range value encodes to
};

const Range k16[] = {
    {FINS_DATA_TYPE_BCD16, 0, 9999, 0x7FFF},        {FINS_DATA_TYPE_SBCD16_0, -999, 999, 0x7FFF},
    {FINS_DATA_TYPE_SBCD16_1, -7999, 7999, 0x7FFF}, {FINS_DATA_TYPE_SBCD16_2, -999, 9999, 0x7FFF},
    {FINS_DATA_TYPE_SBCD16_3, -1999, 9999, 0x7FFF},
};
const Range k32[] = {
    {FINS_DATA_TYPE_BCD32, 0, 99999999, 0x7FFFFFFF},
    {FINS_DATA_TYPE_SBCD32_0, -9999999, 9999999, 0x7FFFFFFF},
    {FINS_DATA_TYPE_SBCD32_1, -79999999, 79999999, 0x7FFFFFFF},
    {FINS_DATA_TYPE_SBCD32_2, -9999999, 99999999, 0x7FFFFFFF},
    {FINS_DATA_TYPE_SBCD32_3, -19999999, 99999999, 0x7FFFFFFF},
};

TEST(Bcd, Every16BitValueRoundTrips) {
  for (const Range& r : k16) {
    for (int64_t v = r.min; v <= r.max; ++v) {
      uint32_t raw = finslib_int_to_bcd(static_cast<int>(v), r.type);
      ASSERT_LE(raw, 0xFFFFu) << "type " << r.type << " value " << v;
      ASSERT_EQ(finslib_bcd_to_int(raw, r.type), v) << "type " << r.type << " raw " << std::hex << raw;
    }
  }
}

TEST(Bcd, Every16BitValueOutsideTheRangeGivesTheMarker) {
  for (const Range& r : k16) {
    for (int v = -40000; v <= 40000; ++v) {
      if (v >= r.min && v <= r.max) continue;
      ASSERT_EQ(finslib_int_to_bcd(v, r.type), r.marker) << "type " << r.type << " value " << v;
    }
  }
}

// Every 16-bit pattern that decodes to a non-zero value encodes back to itself: the encoding is
// the only one for each value but zero, which has a plain and a signed form.
TEST(Bcd, Every16BitPatternThatDecodesEncodesBack) {
  for (const Range& r : k16) {
    int decoded = 0;
    for (uint32_t raw = 0; raw <= 0xFFFF; ++raw) {
      int v = finslib_bcd_to_int(raw, r.type);
      if (v == 0x7FFF || v == 0x7FFFFFFF) continue;
      ASSERT_GE(v, r.min);
      ASSERT_LE(v, r.max);
      decoded++;
      if (v != 0) {
        ASSERT_EQ(finslib_int_to_bcd(v, r.type), raw) << "type " << r.type << " raw " << std::hex << raw;
      }
    }
    EXPECT_GE(decoded, r.max - r.min + 1) << "type " << r.type;
  }
}

std::vector<int64_t> sample(const Range& r) {
  std::vector<int64_t> out;
  for (int64_t v = r.min; v <= r.max; v += 997) out.push_back(v);
  for (int64_t d = 0; d < 1000; ++d) {  // around the edges and zero
    out.push_back(r.min + d);
    out.push_back(r.max - d);
    if (-500 + d >= r.min) out.push_back(-500 + d);
  }
  for (int64_t p = 1; p <= 100000000; p *= 10) {  // digit-count boundaries
    for (int64_t v : {p - 1, p, p + 1, -(p - 1), -p, -(p + 1), 10000000 + p, -(10000000 + p)})
      if (v >= r.min && v <= r.max) out.push_back(v);
  }
  return out;
}

TEST(Bcd, DenseSampleOf32BitValuesRoundTrips) {
  for (const Range& r : k32) {
    for (int64_t v : sample(r)) {
      uint32_t raw = finslib_int_to_bcd(static_cast<int>(v), r.type);
      ASSERT_NE(raw, r.marker) << "type " << r.type << " value " << v;
      ASSERT_EQ(finslib_bcd_to_int(raw, r.type), v) << "type " << r.type << " raw " << std::hex << raw;
    }
  }
}

TEST(Bcd, ThirtyTwoBitRangeEdges) {
  for (const Range& r : k32) {
    EXPECT_EQ(finslib_int_to_bcd(static_cast<int>(r.max + 1), r.type), r.marker) << r.type;
    EXPECT_EQ(finslib_int_to_bcd(static_cast<int>(r.min - 1), r.type), r.marker) << r.type;
    EXPECT_EQ(finslib_int_to_bcd(INT32_MAX, r.type), r.marker) << r.type;
    EXPECT_EQ(finslib_int_to_bcd(INT32_MIN, r.type), r.marker) << r.type;
    EXPECT_EQ(finslib_bcd_to_int(finslib_int_to_bcd(static_cast<int>(r.max), r.type), r.type), r.max);
    EXPECT_EQ(finslib_bcd_to_int(finslib_int_to_bcd(static_cast<int>(r.min), r.type), r.type), r.min);
  }
  EXPECT_EQ(finslib_int_to_bcd(99999999, FINS_DATA_TYPE_BCD32), 0x99999999u);
  EXPECT_EQ(finslib_int_to_bcd(-9999999, FINS_DATA_TYPE_SBCD32_0), 0x19999999u);
  EXPECT_EQ(finslib_int_to_bcd(-79999999, FINS_DATA_TYPE_SBCD32_1), 0xF9999999u);
  EXPECT_EQ(finslib_int_to_bcd(-9999999, FINS_DATA_TYPE_SBCD32_2), 0xF9999999u);
  EXPECT_EQ(finslib_int_to_bcd(-9999999, FINS_DATA_TYPE_SBCD32_3), 0xF9999999u);
  EXPECT_EQ(finslib_int_to_bcd(-10000000, FINS_DATA_TYPE_SBCD32_3), 0xA0000000u);
  EXPECT_EQ(finslib_int_to_bcd(-19999999, FINS_DATA_TYPE_SBCD32_3), 0xA9999999u);
}

TEST(Bcd, EncodeExamples) {
  EXPECT_EQ(finslib_int_to_bcd(1234, 5), 0x1234u);
  EXPECT_EQ(finslib_int_to_bcd(-123, 7), 0x1123u);
  EXPECT_EQ(finslib_int_to_bcd(-7999, 8), 0xF999u);
  EXPECT_EQ(finslib_int_to_bcd(-5, 9), 0xF005u);
  EXPECT_EQ(finslib_int_to_bcd(-1234, 10), 0xA234u);
  EXPECT_EQ(finslib_int_to_bcd(-1, 12), 0x80000001u);
  EXPECT_EQ(finslib_int_to_bcd(-12345678, 14), 0xA2345678u);
  EXPECT_EQ(finslib_int_to_bcd(10000, 5), 0x7FFFu);
  EXPECT_EQ(finslib_int_to_bcd(-999, 10), 0xF999u);
  EXPECT_EQ(finslib_int_to_bcd(-1000, 10), 0xA000u);
  EXPECT_EQ(finslib_int_to_bcd(-1999, 10), 0xA999u);
  EXPECT_EQ(finslib_int_to_bcd(-2000, 10), 0x7FFFu);
  EXPECT_EQ(finslib_int_to_bcd(8000, 8), 0x7FFFu);
  EXPECT_EQ(finslib_int_to_bcd(79999999, 12), 0x79999999u);
  EXPECT_EQ(finslib_int_to_bcd(1000, 7), 0x7FFFu);
  EXPECT_EQ(finslib_int_to_bcd(0, 9), 0u);
}

TEST(Bcd, DecodeExamples) {
  EXPECT_EQ(finslib_bcd_to_int(0xF123, 9), -123);
  EXPECT_EQ(finslib_bcd_to_int(0xA234, 10), -1234);
  EXPECT_EQ(finslib_bcd_to_int(0xB234, 10), 0x7FFF);
  EXPECT_EQ(finslib_bcd_to_int(0xB234, 9), 0x7FFFFFFF);
  EXPECT_EQ(finslib_bcd_to_int(0x2000, 7), 0x7FFF);
  EXPECT_EQ(finslib_bcd_to_int(0x12A4, 5), 0x7FFFFFFF);
  EXPECT_EQ(finslib_bcd_to_int(0x10000001, 11), -1);
  EXPECT_EQ(finslib_bcd_to_int(0x8000, 8), 0);
  EXPECT_EQ(finslib_bcd_to_int(0x80000000u, 12), 0);
  EXPECT_EQ(finslib_bcd_to_int(0xF000, 9), 0);
  EXPECT_EQ(finslib_bcd_to_int(0xF0000000u, 13), 0);
  EXPECT_EQ(finslib_bcd_to_int(0x1000, 7), 0);
  EXPECT_EQ(finslib_bcd_to_int(0xF042, 9), -42);
  EXPECT_EQ(finslib_bcd_to_int(0x10000, 5), 0x7FFF);
  EXPECT_EQ(finslib_bcd_to_int(0x10000, 8), 0x7FFF);
  EXPECT_EQ(finslib_bcd_to_int(0x10000, 9), 0x7FFF);
  EXPECT_EQ(finslib_bcd_to_int(0x20000000, 11), 0x7FFFFFFF);
  EXPECT_EQ(finslib_bcd_to_int(0xB0000000u, 13), 0x7FFFFFFF);
  EXPECT_EQ(finslib_bcd_to_int(0xB0000000u, 14), 0x7FFFFFFF);
  EXPECT_EQ(finslib_bcd_to_int(0x1234567A, 6), 0x7FFFFFFF);
  EXPECT_EQ(finslib_bcd_to_int(0x99999999u, 6), 99999999);
}

// Code 10 reads 0xA000 as -1000 and code 14 reads 0xA0000000 as -10000000: the A-signed forms
// carry a leading 1, so their zero digits are not the value zero.
TEST(Bcd, ASignedZeroDigitsCarryTheLeadingOne) {
  EXPECT_EQ(finslib_bcd_to_int(0xA000, 10), -1000);
  EXPECT_EQ(finslib_bcd_to_int(0xA0000000u, 14), -10000000);
  EXPECT_EQ(finslib_bcd_to_int(0xF000, 10), 0);
  EXPECT_EQ(finslib_bcd_to_int(0xF0000000u, 14), 0);
  // code 10 looks at bits 0..15 only
  EXPECT_EQ(finslib_bcd_to_int(0x12340000u | 0x0042u, 10), 42);
}

TEST(Bcd, OtherTypeCodes) {
  EXPECT_EQ(finslib_int_to_bcd(123, 0), 0x123u);
  EXPECT_EQ(finslib_int_to_bcd(12345678, 1), 0x12345678u);
  EXPECT_EQ(finslib_int_to_bcd(123456789, 0), 0x7FFFFFFFu);  // more than 8 digits
  EXPECT_EQ(finslib_int_to_bcd(0, 15), 0u);
  for (int type : {0, 1, 4, 15, 16, 19, 20, -1}) EXPECT_EQ(finslib_bcd_to_int(0x1234, type), 0x7FFFFFFF) << type;
}

}  // namespace
