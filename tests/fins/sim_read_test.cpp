// Multiple memory area read against the PLC simulator: batching (frame log) and the decoding of
// every data type (values set in the simulator's memory).
#include <cmath>
#include <string>

#include "sim_fixture.h"

namespace finstest {
namespace {

class SimRead : public SimTest {
 protected:
  void SetUp() override { start(); }
  std::vector<fins_multidata_tp> dmItems(size_t n, int type = FINS_DATA_TYPE_UINT16) {
    std::vector<fins_multidata_tp> items;
    for (size_t i = 0; i < n; ++i) items.push_back(item(("DM" + std::to_string(i)).c_str(), type));
    return items;
  }
};

TEST_F(SimRead, BatchesOf24Items) {
  for (uint32_t i = 0; i < 1000; ++i) sim_->setWord("DM", i, static_cast<uint16_t>(i * 3 + 1));
  auto items = dmItems(24);
  ASSERT_EQ(finslib_multiple_memory_area_read(sys_, items.data(), items.size()), 0);
  ASSERT_EQ(frames().size(), 1u);
  EXPECT_EQ(frames()[0].size(), 12u + 24 * 4);
  sim_->clearReceivedFrames();

  items = dmItems(25);
  ASSERT_EQ(finslib_multiple_memory_area_read(sys_, items.data(), items.size()), 0);
  auto f = frames();
  ASSERT_EQ(f.size(), 2u);
  EXPECT_EQ(f[0].size(), 12u + 24 * 4);
  EXPECT_EQ(f[1].size(), 12u + 4);
  EXPECT_EQ(Frame(f[1].begin() + 12, f[1].end()), (Frame{0x82, 0x00, 24, 0x00}));
  for (size_t i = 0; i < items.size(); ++i) EXPECT_EQ(items[i].value.uint16, i * 3 + 1) << i;
  sim_->clearReceivedFrames();

  items = dmItems(1000);
  ASSERT_EQ(finslib_multiple_memory_area_read(sys_, items.data(), items.size()), 0);
  EXPECT_EQ(frames().size(), 42u);
  for (size_t i = 0; i < items.size(); ++i) ASSERT_EQ(items[i].value.uint16, static_cast<uint16_t>(i * 3 + 1)) << i;
}

TEST_F(SimRead, OneWordItemRequest) {
  fins_multidata_tp it = item("DM100", FINS_DATA_TYPE_INT16);
  sim_->setWord("DM", 100, 0xFFFE);
  ASSERT_EQ(finslib_multiple_memory_area_read(sys_, &it, 1), 0);
  EXPECT_EQ(it.value.int16, -2);
  Frame f = frames().at(0);
  EXPECT_EQ(f[10], 0x01);
  EXPECT_EQ(f[11], 0x04);
  EXPECT_EQ(Frame(f.begin() + 12, f.end()), (Frame{0x82, 0x00, 0x64, 0x00}));
}

TEST_F(SimRead, EveryDataType) {
  auto set32 = [this](uint32_t at, uint32_t v) {
    sim_->setWord("DM", at, static_cast<uint16_t>(v & 0xFFFF));
    sim_->setWord("DM", at + 1, static_cast<uint16_t>(v >> 16));
  };
  sim_->setWord("DM", 0, 0xFFFE);
  set32(100, 0x56781234);
  sim_->setWord("DM", 2, 0xBEEF);
  set32(4, 0xFFFFFFFF);
  sim_->setWord("DM", 6, 0x1234);
  sim_->setWord("DM", 7, 0x12A4);
  sim_->setWord("DM", 8, 0x1123);
  sim_->setWord("DM", 9, 0xF999);
  sim_->setWord("DM", 10, 0xF042);
  sim_->setWord("DM", 11, 0xA234);
  sim_->setWord("DM", 12, 0xB234);
  set32(14, 0x12345678);
  set32(16, 0x10000001);
  set32(18, 0x80000001);
  set32(20, 0xF0000042);
  set32(22, 0xA2345678);
  float fl = -3.25f;
  uint32_t fbits;
  std::memcpy(&fbits, &fl, 4);
  set32(30, fbits);
  double db = 12345.0625;
  uint64_t dbits;
  std::memcpy(&dbits, &db, 8);
  for (int i = 0; i < 4; ++i) sim_->setWord("DM", 40 + i, static_cast<uint16_t>(dbits >> (16 * i)));
  sim_->setBit("W", 3, 4, true);
  sim_->setBit("CIO", 10, 3, true);
  sim_->setForced("CIO", 10, 0x000C);  // bits 2 and 3 forced
  sim_->setWord("CIO", 11, 0xABCD);
  sim_->setForced("CIO", 11, 0x00FF);

  std::vector<fins_multidata_tp> items = {
      item("DM0", FINS_DATA_TYPE_INT16),          // 0
      item("DM100", FINS_DATA_TYPE_INT32),        // 1
      item("DM2", FINS_DATA_TYPE_UINT16),         // 2
      item("DM4", FINS_DATA_TYPE_UINT32),         // 3
      item("DM6", FINS_DATA_TYPE_BCD16),          // 4
      item("DM7", FINS_DATA_TYPE_BCD16),          // 5 invalid digit
      item("DM8", FINS_DATA_TYPE_SBCD16_0),       // 6
      item("DM9", FINS_DATA_TYPE_SBCD16_1),       // 7
      item("DM10", FINS_DATA_TYPE_SBCD16_2),      // 8
      item("DM11", FINS_DATA_TYPE_SBCD16_3),      // 9
      item("DM12", FINS_DATA_TYPE_SBCD16_3),      // 10 B: 16-bit marker
      item("DM14", FINS_DATA_TYPE_BCD32),         // 11
      item("DM16", FINS_DATA_TYPE_SBCD32_0),      // 12
      item("DM18", FINS_DATA_TYPE_SBCD32_1),      // 13
      item("DM20", FINS_DATA_TYPE_SBCD32_2),      // 14
      item("DM22", FINS_DATA_TYPE_SBCD32_3),      // 15
      item("DM30", FINS_DATA_TYPE_FLOAT),         // 16
      item("DM40", FINS_DATA_TYPE_DOUBLE),        // 17
      item("W3.4", FINS_DATA_TYPE_BIT),           // 18
      item("CIO10.3", FINS_DATA_TYPE_BIT_FORCED), // 19 set and forced
      item("CIO10.2", FINS_DATA_TYPE_BIT_FORCED), // 20 forced only
      item("CIO11", FINS_DATA_TYPE_WORD_FORCED),  // 21
      item("W3.5", FINS_DATA_TYPE_BIT),           // 22
  };
  ASSERT_EQ(finslib_multiple_memory_area_read(sys_, items.data(), items.size()), 0);
  EXPECT_EQ(items[0].value.int16, -2);
  EXPECT_EQ(items[1].value.uint32, 0x56781234u);
  EXPECT_EQ(items[2].value.uint16, 0xBEEF);
  EXPECT_EQ(items[3].value.uint32, 0xFFFFFFFFu);
  EXPECT_EQ(items[4].value.uint16, 1234);
  EXPECT_EQ(items[5].value.uint16, 0xFFFF);  // 0x7FFFFFFF arrives as 0xFFFF
  EXPECT_EQ(items[6].value.int16, -123);
  EXPECT_EQ(items[7].value.int16, -7999);
  EXPECT_EQ(items[8].value.int16, -42);
  EXPECT_EQ(items[9].value.int16, -1234);
  EXPECT_EQ(items[10].value.uint16, 0x7FFF);
  EXPECT_EQ(items[11].value.int32, 12345678);
  EXPECT_EQ(items[12].value.int32, -1);
  EXPECT_EQ(items[13].value.int32, -1);
  EXPECT_EQ(items[14].value.int32, -42);
  EXPECT_EQ(items[15].value.int32, -12345678);
  EXPECT_EQ(items[16].value.float32, fl);
  EXPECT_EQ(items[17].value.float64, db);
  EXPECT_EQ(items[18].value.bit.value, 1);
  EXPECT_EQ(items[18].value.bit.forced, 0);
  EXPECT_EQ(items[19].value.bit.value, 1);
  EXPECT_EQ(items[19].value.bit.forced, 1);
  EXPECT_EQ(items[20].value.bit.value, 0);
  EXPECT_EQ(items[20].value.bit.forced, 1);
  EXPECT_EQ(items[21].value.word.first, 0xABCD);   // the data word
  EXPECT_EQ(items[21].value.word.second, 0x00FF);  // its forced-status word
  EXPECT_EQ(items[22].value.bit.value, 0);

  // elements asked for: nine 16-bit items, eight 32-bit items (2 each), one double (4), four bits
  // and one forced word
  Frame f = frames().at(0);
  size_t elements = (f.size() - 12) / 4;
  EXPECT_EQ(elements, 9u + 2u * 8 + 4u + 4u + 1u);
  EXPECT_EQ(Frame(f.begin() + 12 + 4 * 1, f.begin() + 12 + 4 * 3), (Frame{0x82, 0, 100, 0, 0x82, 0, 101, 0}));
  EXPECT_EQ(Frame(f.begin() + f.size() - 4 * 5, f.end()),
            (Frame{0x31, 0, 3, 4, 0x70, 0, 10, 3, 0x70, 0, 10, 2, 0xF0, 0, 11, 0, 0x31, 0, 3, 5}));
}

TEST_F(SimRead, ItemsOfOtherTypesAreSkipped) {
  sim_->setWord("DM", 1, 11);
  sim_->setWord("DM", 3, 33);
  std::vector<fins_multidata_tp> items = {item("DM1", FINS_DATA_TYPE_UINT16), item("not an address", 0),
                                          item("DM3", FINS_DATA_TYPE_UINT16), item("DM9", 20)};
  items[1].value.uint32 = 0xDEADBEEF;
  items[3].value.uint32 = 0xFEEDF00D;
  ASSERT_EQ(finslib_multiple_memory_area_read(sys_, items.data(), items.size()), 0);
  EXPECT_EQ(items[0].value.uint16, 11);
  EXPECT_EQ(items[2].value.uint16, 33);
  EXPECT_EQ(items[1].value.uint32, 0xDEADBEEFu);
  EXPECT_EQ(items[3].value.uint32, 0xFEEDF00Du);
  EXPECT_EQ(frames().at(0).size(), 12u + 8);
}

TEST_F(SimRead, SpecialAreas) {
  sim_->setWord("EM3", 100, 0x3333);
  sim_->setWord("EM", 0, 5);  // current bank: 5
  sim_->setWord("EM5", 7, 0x5555);
  sim_->setBit("TIM", 5, 0, true);
  sim_->setWord("CNT", 6, 0x0606);
  sim_->setBit("EM12", 1, 9, true);
  std::vector<fins_multidata_tp> items = {
      item("E3_100", FINS_DATA_TYPE_UINT16), item("E7", FINS_DATA_TYPE_UINT16), item("EM0", FINS_DATA_TYPE_UINT16),
      item("TIM5", FINS_DATA_TYPE_BIT),      item("CNT6", FINS_DATA_TYPE_UINT16), item("ON0", FINS_DATA_TYPE_BIT),
      item("OFF0", FINS_DATA_TYPE_BIT),      item("E12_1.9", FINS_DATA_TYPE_BIT), item("C1M_0", FINS_DATA_TYPE_BIT),
      item("A447", FINS_DATA_TYPE_UINT16),
  };
  ASSERT_EQ(finslib_multiple_memory_area_read(sys_, items.data(), items.size()), 0);
  EXPECT_EQ(items[0].value.uint16, 0x3333);
  EXPECT_EQ(items[1].value.uint16, 0x5555);
  EXPECT_EQ(items[2].value.uint16, 5);
  EXPECT_EQ(items[3].value.bit.value, 1);
  EXPECT_EQ(items[4].value.uint16, 0x0606);
  EXPECT_EQ(items[5].value.bit.value, 1);
  EXPECT_EQ(items[6].value.bit.value, 0);
  EXPECT_EQ(items[7].value.bit.value, 1);
}

TEST_F(SimRead, CvFamily) {
  TearDown();
  start(simOptions("CV500-CPU01"));
  sim_->setWord("A", 500, 0x0500);
  sim_->setWord("CNT", 5, 0x0005);
  sim_->setWord("DR", 2, 0x0D02);
  std::vector<fins_multidata_tp> items = {item("A500", FINS_DATA_TYPE_UINT16), item("CNT5", FINS_DATA_TYPE_UINT16),
                                          item("DR2", FINS_DATA_TYPE_UINT16)};
  ASSERT_EQ(finslib_multiple_memory_area_read(sys_, items.data(), items.size()), 0);
  EXPECT_EQ(items[0].value.uint16, 0x0500);
  EXPECT_EQ(items[1].value.uint16, 0x0005);
  EXPECT_EQ(items[2].value.uint16, 0x0D02);
  Frame f = frames().at(0);
  EXPECT_EQ(Frame(f.begin() + 12, f.end()),
            (Frame{0x80, 0x0C, 0xF4, 0x00, 0x81, 0x08, 0x05, 0x00, 0x9C, 0x00, 0x05, 0x00}));
}

TEST_F(SimRead, FailuresAbortBeforeTheirFrame) {
  sim_->setWord("DM", 0, 7);
  auto items = dmItems(30);
  std::strcpy(items[27].address, "DMX1");
  for (auto& it : items) it.value.uint16 = 0xEEEE;
  EXPECT_EQ(finslib_multiple_memory_area_read(sys_, items.data(), items.size()), FINS_RETVAL_INVALID_READ_AREA);
  EXPECT_EQ(frames().size(), 1u);          // the first frame went out and was decoded
  EXPECT_EQ(items[0].value.uint16, 7);
  EXPECT_EQ(items[25].value.uint16, 0xEEEE);  // later items untouched
  std::strcpy(items[27].address, "DM1.");
  items[27].type = FINS_DATA_TYPE_INT16;
  std::strcpy(items[26].address, "DM 1 ");
  EXPECT_EQ(finslib_multiple_memory_area_read(sys_, items.data(), items.size()), FINS_RETVAL_INVALID_READ_ADDRESS);

  sim_->failNextCommands(0x1101, 1);
  auto ok = dmItems(3);
  EXPECT_EQ(finslib_multiple_memory_area_read(sys_, ok.data(), ok.size()), 0x1101);
}

}  // namespace
}  // namespace finstest
