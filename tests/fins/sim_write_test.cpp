// Memory area writes against the PLC simulator: frame splitting (read from the simulator's frame
// log) and the value encodings (read back from its memory).
#include <cmath>
#include <numeric>

#include "sim_fixture.h"

namespace finstest {
namespace {

class SimWrite : public SimTest {
 protected:
  void SetUp() override { start(); }
  // body header of a write frame: area code, word, bit, count
  void expectWriteHeader(const Frame& f, uint8_t area, uint16_t word, uint8_t bit, uint16_t count) {
    ASSERT_GE(f.size(), 18u);
    EXPECT_EQ(f[10], 0x01);
    EXPECT_EQ(f[11], 0x02);
    EXPECT_EQ(f[12], area);
    EXPECT_EQ(be16(f, 13), word);
    EXPECT_EQ(f[15], bit);
    EXPECT_EQ(be16(f, 16), count);
  }
};

TEST_F(SimWrite, SixteenBitRunsSplitAt267) {
  std::vector<int16_t> v(268);
  for (size_t i = 0; i < v.size(); ++i) v[i] = static_cast<int16_t>(1000 - 7 * static_cast<int>(i));
  ASSERT_EQ(finslib_memory_area_write_int16(sys_, "DM100", v.data(), 268), 0);
  auto f = frames();
  ASSERT_EQ(f.size(), 2u);
  expectWriteHeader(f[0], 0x82, 100, 0, 267);
  EXPECT_EQ(f[0][16], 0x01);
  EXPECT_EQ(f[0][17], 0x0B);
  EXPECT_EQ(f[0].size(), 12u + 6 + 2 * 267);
  expectWriteHeader(f[1], 0x82, 100 + 267, 0, 1);
  EXPECT_EQ(f[1].size(), 12u + 6 + 2);
  EXPECT_NE(f[0][9], f[1][9]);  // a new SID per frame
  for (size_t i = 0; i < v.size(); ++i) ASSERT_EQ(static_cast<int16_t>(sim_->word("DM", 100 + i)), v[i]) << i;

  sim_->clearReceivedFrames();
  std::vector<uint16_t> u(267, 0xA5A5);
  ASSERT_EQ(finslib_memory_area_write_uint16(sys_, "DM1000", u.data(), 267), 0);
  ASSERT_EQ(frames().size(), 1u);
  expectWriteHeader(frames()[0], 0x82, 1000, 0, 267);
}

TEST_F(SimWrite, Int16Encoding) {
  const int16_t v[3] = {-2, 0x1234, INT16_MIN};
  ASSERT_EQ(finslib_memory_area_write_int16(sys_, "W10", v, 3), 0);
  Frame f = frames().at(0);
  expectWriteHeader(f, 0xB1, 10, 0, 3);
  EXPECT_EQ(f[18], 0xFF);
  EXPECT_EQ(f[19], 0xFE);
  EXPECT_EQ(f[20], 0x12);
  EXPECT_EQ(f[21], 0x34);
  EXPECT_EQ(sim_->word("W", 10), 0xFFFE);
  EXPECT_EQ(sim_->word("W", 11), 0x1234);
  EXPECT_EQ(sim_->word("W", 12), 0x8000);
}

TEST_F(SimWrite, ThirtyTwoBitRunsSplitAt133Values) {
  std::vector<uint32_t> v(134);
  for (size_t i = 0; i < v.size(); ++i) v[i] = 0x10000u * static_cast<uint32_t>(i) + 0xFFFFu - static_cast<uint32_t>(i);
  ASSERT_EQ(finslib_memory_area_write_uint32(sys_, "DM200", v.data(), 134), 0);
  auto f = frames();
  ASSERT_EQ(f.size(), 2u);
  expectWriteHeader(f[0], 0x82, 200, 0, 266);
  EXPECT_EQ(f[0].size(), 12u + 6 + 4 * 133);
  expectWriteHeader(f[1], 0x82, 200 + 266, 0, 2);
  for (size_t i = 0; i < v.size(); ++i) {
    ASSERT_EQ(sim_->word("DM", 200 + 2 * i), v[i] & 0xFFFF) << i;
    ASSERT_EQ(sim_->word("DM", 201 + 2 * i), v[i] >> 16) << i;
  }
  sim_->clearReceivedFrames();
  std::vector<int32_t> w(133, -1);
  ASSERT_EQ(finslib_memory_area_write_int32(sys_, "DM0", w.data(), 133), 0);
  ASSERT_EQ(frames().size(), 1u);
  expectWriteHeader(frames()[0], 0x82, 0, 0, 266);
}

TEST_F(SimWrite, ThirtyTwoBitEncodingLowWordFirst) {
  const uint32_t u = 0x12345678;
  ASSERT_EQ(finslib_memory_area_write_uint32(sys_, "DM10", &u, 1), 0);
  Frame f = frames().at(0);
  EXPECT_EQ(Frame(f.begin() + 18, f.end()), (Frame{0x56, 0x78, 0x12, 0x34}));
  EXPECT_EQ(sim_->word("DM", 10), 0x5678);
  EXPECT_EQ(sim_->word("DM", 11), 0x1234);
  const int32_t s = -2;
  ASSERT_EQ(finslib_memory_area_write_int32(sys_, "DM20", &s, 1), 0);
  EXPECT_EQ(sim_->word("DM", 20), 0xFFFE);
  EXPECT_EQ(sim_->word("DM", 21), 0xFFFF);
}

TEST_F(SimWrite, BcdEncodings) {
  const uint16_t b16[3] = {1234, 9999, 10000};
  ASSERT_EQ(finslib_memory_area_write_bcd16(sys_, "DM0", b16, 3), 0);
  EXPECT_EQ(sim_->word("DM", 0), 0x1234);
  EXPECT_EQ(sim_->word("DM", 1), 0x9999);
  EXPECT_EQ(sim_->word("DM", 2), 0x7FFF);  // out of range: the marker is written, the write goes on

  const int16_t s0[2] = {-123, 1000};
  ASSERT_EQ(finslib_memory_area_write_sbcd16(sys_, "DM10", s0, 2, FINS_DATA_TYPE_SBCD16_0), 0);
  Frame f = frames().back();
  EXPECT_EQ(Frame(f.begin() + 18, f.end()), (Frame{0x11, 0x23, 0x7F, 0xFF}));
  const int16_t s1 = -7999, s2 = -5, s3 = -1234;
  ASSERT_EQ(finslib_memory_area_write_sbcd16(sys_, "DM12", &s1, 1, FINS_DATA_TYPE_SBCD16_1), 0);
  ASSERT_EQ(finslib_memory_area_write_sbcd16(sys_, "DM13", &s2, 1, FINS_DATA_TYPE_SBCD16_2), 0);
  ASSERT_EQ(finslib_memory_area_write_sbcd16(sys_, "DM14", &s3, 1, FINS_DATA_TYPE_SBCD16_3), 0);
  EXPECT_EQ(sim_->word("DM", 12), 0xF999);
  EXPECT_EQ(sim_->word("DM", 13), 0xF005);
  EXPECT_EQ(sim_->word("DM", 14), 0xA234);

  const uint32_t b32[2] = {12345678, 100000000};
  ASSERT_EQ(finslib_memory_area_write_bcd32(sys_, "DM20", b32, 2), 0);
  EXPECT_EQ(sim_->word("DM", 20), 0x5678);
  EXPECT_EQ(sim_->word("DM", 21), 0x1234);
  EXPECT_EQ(sim_->word("DM", 22), 0xFFFF);  // 0x7FFFFFFF, low word first
  EXPECT_EQ(sim_->word("DM", 23), 0x7FFF);
  const uint32_t huge = 0xFFFFFFFFu;
  ASSERT_EQ(finslib_memory_area_write_bcd32(sys_, "DM24", &huge, 1), 0);
  EXPECT_EQ(sim_->word("DM", 25), 0x7FFF);

  const int32_t s32[4] = {-1, -12345678, -9999999, 99999999};
  ASSERT_EQ(finslib_memory_area_write_sbcd32(sys_, "DM30", &s32[0], 1, FINS_DATA_TYPE_SBCD32_1), 0);
  ASSERT_EQ(finslib_memory_area_write_sbcd32(sys_, "DM32", &s32[1], 1, FINS_DATA_TYPE_SBCD32_3), 0);
  ASSERT_EQ(finslib_memory_area_write_sbcd32(sys_, "DM34", &s32[2], 1, FINS_DATA_TYPE_SBCD32_0), 0);
  ASSERT_EQ(finslib_memory_area_write_sbcd32(sys_, "DM36", &s32[3], 1, FINS_DATA_TYPE_SBCD32_2), 0);
  EXPECT_EQ(sim_->word("DM", 30), 0x0001);
  EXPECT_EQ(sim_->word("DM", 31), 0x8000);
  EXPECT_EQ(sim_->word("DM", 32), 0x5678);
  EXPECT_EQ(sim_->word("DM", 33), 0xA234);
  EXPECT_EQ(sim_->word("DM", 34), 0x9999);
  EXPECT_EQ(sim_->word("DM", 35), 0x1999);
  EXPECT_EQ(sim_->word("DM", 36), 0x9999);
  EXPECT_EQ(sim_->word("DM", 37), 0x9999);
}

TEST_F(SimWrite, BitRuns) {
  std::vector<uint8_t> bits(20);
  for (size_t i = 0; i < bits.size(); ++i) bits[i] = (i % 3 == 0);
  ASSERT_EQ(finslib_memory_area_write_bit(sys_, "W0.10", bits.data(), 20), 0);
  ASSERT_EQ(frames().size(), 1u);
  expectWriteHeader(frames()[0], 0x31, 0, 10, 20);
  EXPECT_EQ(frames()[0].size(), 12u + 6 + 20);
  for (size_t i = 0; i < bits.size(); ++i)
    ASSERT_EQ(sim_->bit("W", (10 + i) / 16, (10 + i) % 16), bits[i] != 0) << i;

  sim_->clearReceivedFrames();
  std::vector<uint8_t> many(300);
  for (size_t i = 0; i < many.size(); ++i) many[i] = (i % 5 == 1 || i == 299);
  ASSERT_EQ(finslib_memory_area_write_bit(sys_, "W100.10", many.data(), 300), 0);
  auto f = frames();
  ASSERT_EQ(f.size(), 2u);
  expectWriteHeader(f[0], 0x31, 100, 10, 267);
  expectWriteHeader(f[1], 0x31, 117, 5, 33);  // 10 + 267 = 277 = 17 * 16 + 5
  for (size_t i = 0; i < many.size(); ++i)
    ASSERT_EQ(sim_->bit("W", 100 + (10 + i) / 16, (10 + i) % 16), many[i] != 0) << i;
}

TEST_F(SimWrite, EndCodesStopTheWriter) {
  sim_->failNextCommands(0x1103, 1);
  const uint16_t v[2] = {1, 2};
  EXPECT_EQ(finslib_memory_area_write_uint16(sys_, "DM0", v, 2), 0x1103);
  EXPECT_EQ(sim_->word("DM", 0), 0);
  EXPECT_EQ(finslib_memory_area_write_uint16(sys_, "DM0", v, 2), 0);
  EXPECT_EQ(sim_->word("DM", 1), 2);
  // a run past the end of the area: the simulator's own range check
  EXPECT_EQ(finslib_memory_area_write_uint16(sys_, "DM32767", v, 2), 0x1104);
  EXPECT_GE(sys_->sockfd, 0);
  // a second failure in a row with the limit of 1 closes the record
  EXPECT_EQ(finslib_memory_area_write_uint16(sys_, "DM32767", v, 2), FINS_RETVAL_MAX_ERROR_COUNT);
  EXPECT_EQ(sys_->sockfd, -1);
}

TEST_F(SimWrite, FramesAlreadyAcknowledgedStayWritten) {
  std::vector<uint16_t> v(300, 0x4242);
  // 267 words fit at DM32500..32766; the second frame runs past DM32767
  EXPECT_EQ(finslib_memory_area_write_uint16(sys_, "DM32500", v.data(), 300), 0x1104);
  EXPECT_EQ(frames().size(), 2u);
  EXPECT_EQ(sim_->word("DM", 32500), 0x4242);
  EXPECT_EQ(sim_->word("DM", 32766), 0x4242);
  EXPECT_EQ(sim_->word("DM", 32767), 0);
  EXPECT_GE(sys_->sockfd, 0);  // one failure: the record stays open
}

TEST_F(SimWrite, AuxiliaryAreaAndFamilies) {
  const uint16_t v = 0x0BAD;
  EXPECT_EQ(finslib_memory_area_write_uint16(sys_, "A447", &v, 1), FINS_RETVAL_INVALID_WRITE_AREA);
  EXPECT_TRUE(frames().empty());
  ASSERT_EQ(finslib_memory_area_write_uint16(sys_, "A448", &v, 1), 0);
  EXPECT_EQ(sim_->word("A", 448), 0x0BAD);
  expectWriteHeader(frames().at(0), 0xB3, 0x01C0, 0, 1);
  ASSERT_EQ(finslib_memory_area_write_uint16(sys_, "CNT5", &v, 1), 0);
  expectWriteHeader(frames().at(1), 0x89, 0x8005, 0, 1);
  EXPECT_EQ(sim_->word("CNT", 5), 0x0BAD);
  ASSERT_EQ(finslib_memory_area_write_uint16(sys_, "E3_100", &v, 1), 0);
  expectWriteHeader(frames().at(2), 0xA3, 100, 0, 1);
  EXPECT_EQ(sim_->word("EM3", 100), 0x0BAD);
  const uint8_t one = 1;
  ASSERT_EQ(finslib_memory_area_write_bit(sys_, "E12_7.15", &one, 1), 0);
  EXPECT_TRUE(sim_->bit("EM12", 7, 15));

  // before any CPU unit data read the family is unknown
  sys_->plc_family = FINS_PLC_FAMILY_UNKNOWN;
  EXPECT_EQ(finslib_memory_area_write_uint16(sys_, "DM100", &v, 1), FINS_RETVAL_INVALID_WRITE_AREA);
}

TEST_F(SimWrite, CvFamily) {
  TearDown();
  start(simOptions("CV1000-CPU01"));
  const uint16_t v = 0x7777;
  ASSERT_EQ(finslib_memory_area_write_uint16(sys_, "A500", &v, 1), 0);
  expectWriteHeader(frames().at(0), 0x80, 0x0CF4, 0, 1);
  EXPECT_EQ(sim_->word("A", 500), 0x7777);
  const uint8_t one = 1;
  EXPECT_EQ(finslib_memory_area_write_bit(sys_, "CIO100.03", &one, 1), FINS_RETVAL_INVALID_WRITE_AREA);
  ASSERT_EQ(finslib_memory_area_write_uint16(sys_, "CNT5", &v, 1), 0);
  expectWriteHeader(frames().at(1), 0x81, 0x0805, 0, 1);
  EXPECT_EQ(sim_->word("CNT", 5), 0x7777);
  ASSERT_EQ(finslib_memory_area_write_uint16(sys_, "E7_3", &v, 1), 0);
  EXPECT_EQ(sim_->word("EM7", 3), 0x7777);
}

}  // namespace
}  // namespace finstest
