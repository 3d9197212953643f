// Address texts and the memory area table of both PLC families.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

#include "fins/fins.h"

namespace {

struct Parsed {
  bool ok;
  std::string name;
  uint32_t word, bit;
};

Parsed parse(const char* text) {
  fins_address_tp a;
  std::memset(&a, 0xEE, sizeof a);
  bool failed = XX_finslib_decode_address(text, &a);
  if (failed) {
    // out is written only on success
    const uint8_t* p = reinterpret_cast<const uint8_t*>(&a);
    for (size_t i = 0; i < sizeof a; ++i) EXPECT_EQ(p[i], 0xEE) << "written on failure: " << text;
    return {false, "", 0, 0};
  }
  EXPECT_EQ(a.name[3], '\0');
  return {true, std::string(a.name, strnlen(a.name, 4)), a.word, a.bit};
}

void expectParses(const char* text, const std::string& name, uint32_t word, uint32_t bit) {
  Parsed p = parse(text);
  ASSERT_TRUE(p.ok) << "'" << text << "'";
  EXPECT_EQ(p.name, name) << text;
  EXPECT_EQ(p.word, word) << text;
  EXPECT_EQ(p.bit, bit) << text;
}

TEST(AddressText, Examples) {
  expectParses("DM100", "DM", 100, 0);
  expectParses("cio 10.05", "CIO", 10, 5);
  expectParses("  A448", "A", 448, 0);
  expectParses("DM100.", "DM", 100, 0);
  expectParses("W3.15", "W", 3, 15);
  expectParses("TIM0.1", "TIM", 0, 1);
  expectParses("dm5", "DM", 5, 0);
  expectParses("\tH 7", "H", 7, 0);
  expectParses("DMX1", "DMX", 1, 0);  // up to three letters parse; the lookup then fails
  expectParses("100", "", 100, 0);
  expectParses("0", "", 0, 0);
  expectParses("DM0000000000000100", "DM", 100, 0);
  expectParses("E4294967295", "E", 4294967295u, 0);
  expectParses("W1.015", "W", 1, 15);
}

void expectInvalid(std::initializer_list<const char*> texts) {
  for (const char* text : texts) EXPECT_FALSE(parse(text).ok) << "'" << text << "'";
}

TEST(AddressText, BitAbove15IsRejected) { expectInvalid({"H1.16", "W0.99", "DM1.99999999999999999999"}); }

TEST(AddressText, FourthLetterIsRejected) { expectInvalid({"DMXY1", "CIOX1"}); }

TEST(AddressText, AnythingAfterTheNumberIsRejected) {
  expectInvalid({"DM1 ", "DM1.2.3", "DM1x", "DM 1 ", "CIO10. 5", "DM1\n"});
}

TEST(AddressText, MissingWordNumberIsRejected) { expectInvalid({"", " ", "DM", "DM.1", ".1", "D-1", "-1", "DM_1"}); }

TEST(AddressText, NonAsciiLetterIsRejected) { expectInvalid({"\xC4" "1", "D\xC4" "1"}); }

// A word number that does not fit 32 bits is refused, not wrapped around to a small word.
TEST(AddressText, WordNumberOverflowIsRejected) {
  EXPECT_FALSE(parse("DM4294967296").ok);  // 2^32 would wrap to DM0
  EXPECT_FALSE(parse("DM4294967396").ok);  // would wrap to DM100
  EXPECT_FALSE(parse("DM99999999999999999999999").ok);
  EXPECT_FALSE(parse("18446744073709551716").ok);
}

TEST(AddressText, AbsentArguments) {
  fins_address_tp a;
  EXPECT_TRUE(XX_finslib_decode_address(nullptr, &a));
  EXPECT_TRUE(XX_finslib_decode_address("DM1", nullptr));
}

TEST(AddressText, NamesWithDigitsUseAnUnderscore) {
  expectParses("E0_100", "E0", 100, 0);
  expectParses("e12_32767", "E12", 32767, 0);
  expectParses("E3_5.7", "E3", 5, 7);
  expectParses(" C1M_0", "C1M", 0, 0);
  expectParses("c22_0", "C22", 0, 0);
  expectParses("EM3_1", "EM3", 1, 0);  // parses; no such row
  for (const char* text : {"E3_", "E3 _1", "E3_ 1", "E3_1 ", "E123_1", "DM_1", "E_1", "E3__1", "3_1", "E3_1.16"})
    EXPECT_FALSE(parse(text).ok) << "'" << text << "'";
}

class AreaLookup : public ::testing::Test {
 protected:
  const fins_area_tp* find(int family, const char* text, int bits, int access, bool force = false) {
    sys_.plc_family = family;
    fins_address_tp a;
    if (XX_finslib_decode_address(text, &a)) {
      ADD_FAILURE() << "does not parse: " << text;
      return nullptr;
    }
    return XX_finslib_search_area(&sys_, &a, bits, access, force);
  }
  // FINS word address of the match
  static uint32_t wordOf(const fins_area_tp* row, uint32_t word) {
    return ((row->low_addr >> 8) - row->low_id + word) & 0xFFFF;
  }
  fins_sys_tp sys_{};
  static constexpr int CS = FINS_PLC_FAMILY_CS, CV = FINS_PLC_FAMILY_CV;
  static constexpr int BIT = FINS_AREA_KIND_BIT, WORD = FINS_AREA_KIND_WORD;
  static constexpr int W = FINS_AREA_ACCESS_WRITE, R = FINS_AREA_ACCESS_MULTI_READ;
};

TEST_F(AreaLookup, AuxiliaryAreaIsWritableFromA448OnCs) {
  EXPECT_NE(find(CS, "A447", WORD, R), nullptr);
  EXPECT_EQ(find(CS, "A447", WORD, W), nullptr);
  EXPECT_NE(find(CS, "A448", WORD, R), nullptr);
  const fins_area_tp* w = find(CS, "A448", WORD, W);
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(wordOf(w, 448), 0x01C0u);
  EXPECT_EQ(find(CS, "A960", WORD, R), nullptr);
  EXPECT_EQ(find(CS, "A960", WORD, W), nullptr);
  EXPECT_EQ(find(CS, "A447.1", BIT, W), nullptr);
  EXPECT_NE(find(CS, "A448.1", BIT, W), nullptr);
}

TEST_F(AreaLookup, CvCioBitsCannotBeWritten) {
  EXPECT_EQ(find(CV, "CIO100.03", BIT, W), nullptr);
  EXPECT_NE(find(CV, "CIO100.03", BIT, R), nullptr);
  EXPECT_NE(find(CS, "CIO100.03", BIT, W), nullptr);
}

TEST_F(AreaLookup, CountersAndTimers) {
  const fins_area_tp* cs = find(CS, "CNT5", WORD, W);
  ASSERT_NE(cs, nullptr);
  EXPECT_EQ(cs->area_code, 0x89);
  EXPECT_EQ(wordOf(cs, 5), 0x8005u);
  const fins_area_tp* cv = find(CV, "CNT5", WORD, W);
  ASSERT_NE(cv, nullptr);
  EXPECT_EQ(cv->area_code, 0x81);
  EXPECT_EQ(wordOf(cv, 5), 0x0805u);
  const fins_area_tp* tim = find(CS, "TIM0.1", BIT, R);
  ASSERT_NE(tim, nullptr);
  EXPECT_EQ(tim->area_code, 0x09);
  EXPECT_EQ(find(CS, "TIM0.1", BIT, W), nullptr);
  const fins_area_tp* timf = find(CS, "TIM7", BIT, R, true);
  ASSERT_NE(timf, nullptr);
  EXPECT_EQ(timf->area_code, 0x49);
}

TEST_F(AreaLookup, CvAuxiliaryWordIsTheSameFinsWordForReadAndWrite) {
  const fins_area_tp* w = find(CV, "A500", WORD, W);
  const fins_area_tp* r = find(CV, "A500", WORD, R);
  ASSERT_NE(w, nullptr);
  ASSERT_NE(r, nullptr);
  EXPECT_NE(w, r);
  EXPECT_EQ(w->area_code, 0x80);
  EXPECT_EQ(r->area_code, 0x80);
  EXPECT_EQ(wordOf(w, 500), 0x0CF4u);
  EXPECT_EQ(wordOf(r, 500), 0x0CF4u);
}

TEST_F(AreaLookup, CaseAndFamily) {
  const fins_area_tp* dm = find(CS, "dm5", WORD, R);
  ASSERT_NE(dm, nullptr);
  EXPECT_STREQ(dm->name, "DM");
  EXPECT_EQ(dm->area_code, 0x82);
  EXPECT_EQ(find(FINS_PLC_FAMILY_UNKNOWN, "DM0", WORD, R), nullptr);
  EXPECT_EQ(find(FINS_PLC_FAMILY_UNKNOWN, "DM0", WORD, W), nullptr);
  EXPECT_EQ(find(CS, "DMX1", WORD, R), nullptr);
  EXPECT_EQ(find(CS, "100", WORD, R), nullptr);
  EXPECT_EQ(find(CV, "DM0.1", BIT, R), nullptr);  // no DM bit rows on CV
  EXPECT_EQ(find(CS, "DM32768", WORD, R), nullptr);
  EXPECT_NE(find(CS, "DM32767", WORD, R), nullptr);
  EXPECT_NE(find(CV, "CIO2555", WORD, R), nullptr);
  EXPECT_EQ(find(CV, "CIO2556", WORD, R), nullptr);
  EXPECT_NE(find(CS, "CIO6143", WORD, R), nullptr);
}

TEST_F(AreaLookup, ForcedRowsAreReadOnly) {
  const fins_area_tp* f = find(CS, "CIO10", WORD, R, true);
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(f->area_code, 0xF0);
  EXPECT_EQ(find(CS, "CIO10", WORD, W, true), nullptr);
  EXPECT_EQ(find(CS, "DM10", WORD, R, true), nullptr);
  const fins_area_tp* wb = find(CS, "W10.2", BIT, R, true);
  ASSERT_NE(wb, nullptr);
  EXPECT_EQ(wb->area_code, 0x71);
  const fins_area_tp* cvf = find(CV, "CIO10", WORD, R, true);
  ASSERT_NE(cvf, nullptr);
  EXPECT_EQ(cvf->area_code, 0xC0);
}

TEST_F(AreaLookup, SpecialAreas) {
  struct Case {
    int family;
    const char* text;
    int bits;
    int access;
    uint8_t code;
    uint32_t fins_word;
  } cases[] = {
      {CS, "E100", WORD, W, 0x98, 100},      {CS, "EM0", WORD, R, 0xBC, 0x0F00},  {CS, "IR3", WORD, W, 0xDC, 0x0103},
      {CS, "DR15", WORD, R, 0xBC, 0x020F},   {CS, "TK31", BIT, R, 0x06, 31},      {CS, "TKS0", BIT, R, 0x46, 0},
      {CS, "CER0", BIT, R, 0x07, 0x1000},    {CS, "CLE0", BIT, R, 0x07, 0x100A},  {CS, "OFF0", BIT, R, 0x07, 0x100E},
      {CS, "ON0", BIT, R, 0x07, 0x100F},     {CV, "EM0", WORD, R, 0x9C, 0x0006},  {CV, "DR2", WORD, W, 0x9C, 0x0005},
      {CV, "E7", WORD, R, 0x98, 7},          {CV, "A0.1", BIT, R, 0x00, 0x0B00},  {CV, "TIM3", WORD, W, 0x81, 3},
      {CS, "E0_100", WORD, W, 0xA0, 100},    {CS, "E12_32767", WORD, R, 0xAC, 32767},
      {CS, "E5_1.3", BIT, W, 0x25, 1},       {CV, "E7_9", WORD, W, 0x97, 9},      {CV, "E0_0", WORD, R, 0x90, 0},
      {CS, "C1M_0", BIT, R, 0x07, 0x0000},   {CS, "C1S_0", BIT, R, 0x07, 0x0001}, {CS, "C02_0", BIT, R, 0x07, 0x0002},
      {CS, "C01_0", BIT, R, 0x07, 0x0003},   {CS, "C22_0", BIT, R, 0x07, 0x0004},
  };
  for (const Case& c : cases) {
    const fins_area_tp* row = find(c.family, c.text, c.bits, c.access);
    ASSERT_NE(row, nullptr) << c.text;
    EXPECT_EQ(row->area_code, c.code) << c.text;
    EXPECT_EQ(wordOf(row, parse(c.text).word), c.fins_word) << c.text;
  }
  EXPECT_EQ(find(CS, "EM1", WORD, R), nullptr);
  EXPECT_EQ(find(CS, "EM0", WORD, W), nullptr);
  EXPECT_EQ(find(CS, "CER0", BIT, W), nullptr);
  EXPECT_EQ(find(CS, "C1M_0", BIT, W), nullptr);
  EXPECT_EQ(find(CS, "E13_0", WORD, R), nullptr);
  EXPECT_EQ(find(CV, "E8_0", WORD, R), nullptr);
  EXPECT_EQ(find(CV, "E3_0.1", BIT, R), nullptr);  // CV banks are words only
  EXPECT_EQ(find(CS, "DR16", WORD, R), nullptr);
}

// Every row can be reached by an address text, and every name that texts use has rows.
TEST(AreaTable, Shape) {
  std::set<std::string> names;
  for (const fins_area_tp* r = fins_area; r->plc_family != 0; ++r) {
    EXPECT_TRUE(r->plc_family == FINS_PLC_FAMILY_CS || r->plc_family == FINS_PLC_FAMILY_CV);
    ASSERT_NE(r->name, nullptr);
    EXPECT_LE(std::strlen(r->name), 3u) << r->name;  // fits the parsed name
    EXPECT_TRUE(r->bits == 1 || r->bits == 16) << r->name;
    EXPECT_LE(r->low_id, r->high_id) << r->name;
    EXPECT_NE(r->access & (FINS_AREA_ACCESS_WRITE | FINS_AREA_ACCESS_MULTI_READ), 0u) << r->name;
    EXPECT_EQ(r->low_addr & 0xFF, 0u) << r->name;
    names.insert(r->name);
  }
  for (const char* n : {"CIO", "W", "H", "A", "TIM", "CNT", "DM", "E", "EM", "TK", "TKS", "IR", "DR", "CER", "CCY",
                        "CGT", "CEQ", "CLT", "NEG", "COF", "CUF", "CGE", "CNE", "CLE", "OFF", "ON", "E0", "E12", "C1M",
                        "C1S", "C02", "C01", "C22"})
    EXPECT_EQ(names.count(n), 1u) << n;
}

TEST(AreaTable, ConditionFlagsInOrder) {
  const char* flags[] = {"CER", "CCY", "CGT", "CEQ", "CLT", "NEG", "COF", "CUF", "CGE", "CNE", "CLE"};
  fins_sys_tp sys{};
  sys.plc_family = FINS_PLC_FAMILY_CS;
  for (int i = 0; i < 11; ++i) {
    fins_address_tp a{};
    std::strcpy(a.name, flags[i]);
    const fins_area_tp* row = XX_finslib_search_area(&sys, &a, FINS_AREA_KIND_BIT, FINS_AREA_ACCESS_MULTI_READ, false);
    ASSERT_NE(row, nullptr) << flags[i];
    EXPECT_EQ(row->low_addr >> 8, 0x1000u + i) << flags[i];
    EXPECT_EQ(row->area_code, 0x07);
  }
}

TEST(AreaTable, AbsentArguments) {
  fins_sys_tp sys{};
  sys.plc_family = FINS_PLC_FAMILY_CS;
  fins_address_tp a{};
  std::strcpy(a.name, "DM");
  EXPECT_EQ(XX_finslib_search_area(nullptr, &a, 16, 8, false), nullptr);
  EXPECT_EQ(XX_finslib_search_area(&sys, nullptr, 16, 8, false), nullptr);
  EXPECT_NE(XX_finslib_search_area(&sys, &a, 16, 8, false), nullptr);
}

}  // namespace
