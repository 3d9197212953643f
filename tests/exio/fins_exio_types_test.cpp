#include "exio/fins_exio.h"
#include "exio/fins_exio_impl.h"
#include "service/logger.h"
#include "tests/support/cout_capture.h"

#include <gtest/gtest.h>

#include <climits>
#include <iostream>
#include <sstream>
#include <string>

namespace {

FinsDataType typeOf(int code) { return static_cast<FinsDataType>(code); }

TEST(FinsTypeConvert, RegisterTypeOfEveryDataType) {
  // code -> robot register: 1 int, 2 double, 0 bool
  const int expected[20] = {-1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1,
                            1,  1, 1, 1, 2, 2, 0, 0, 1};
  for (int code = 0; code <= 19; ++code) {
    EXPECT_EQ(FinsExIO::Impl::finsTypeConvert(typeOf(code)), expected[code])
        << "type " << code;
  }
}

TEST(FinsTypeConvert, ValuesOutsideTheTypesAreInvalid) {
  EXPECT_EQ(FinsExIO::Impl::finsTypeConvert(typeOf(0)), -1);
  EXPECT_EQ(FinsExIO::Impl::finsTypeConvert(typeOf(20)), -1);
  EXPECT_EQ(FinsExIO::Impl::finsTypeConvert(typeOf(-1)), -1);
  EXPECT_EQ(FinsExIO::Impl::finsTypeConvert(typeOf(INT_MAX)), -1);
  EXPECT_EQ(FinsExIO::Impl::finsTypeConvert(typeOf(INT_MIN)), -1);
}

TEST(CalculatePlcAddressStep, WordsPerValueOfEveryDataType) {
  const int expected[20] = {-1, 1, 2, 1, 2, 1, 2, 1, 1, 1, 1,
                            2,  2, 2, 2, 2, 4, 0, 0, 2};
  for (int code = 0; code <= 19; ++code) {
    EXPECT_EQ(FinsExIO::Impl::calculatePlcAddressStep(typeOf(code)),
              expected[code])
        << "type " << code;
  }
}

TEST(CalculatePlcAddressStep, EdgeTypes) {
  // Bits occupy no whole word; a forced word carries its status word too.
  EXPECT_EQ(FinsExIO::Impl::calculatePlcAddressStep(Bit), 0);
  EXPECT_EQ(FinsExIO::Impl::calculatePlcAddressStep(BitForced), 0);
  EXPECT_EQ(FinsExIO::Impl::calculatePlcAddressStep(WordForced), 2);
  EXPECT_EQ(FinsExIO::Impl::calculatePlcAddressStep(Double), 4);
  EXPECT_EQ(FinsExIO::Impl::calculatePlcAddressStep(typeOf(0)), -1);
  EXPECT_EQ(FinsExIO::Impl::calculatePlcAddressStep(typeOf(20)), -1);
  EXPECT_EQ(FinsExIO::Impl::calculatePlcAddressStep(typeOf(-1)), -1);
  EXPECT_EQ(FinsExIO::Impl::calculatePlcAddressStep(typeOf(INT_MAX)), -1);
}

TEST(GetRegisterIndex, EmptyNameIsInvalid) {
  EXPECT_EQ(FinsExIO::Impl::getRegisterIndex(""), -1);
}

TEST(GetRegisterIndex, NameWithoutDigitsIsZero) {
  EXPECT_EQ(FinsExIO::Impl::getRegisterIndex("in"), 0);
  EXPECT_EQ(FinsExIO::Impl::getRegisterIndex("_"), 0);
}

TEST(GetRegisterIndex, DigitsAreCollectedFromTheWholeName) {
  EXPECT_EQ(FinsExIO::Impl::getRegisterIndex("in5"), 5);
  EXPECT_EQ(FinsExIO::Impl::getRegisterIndex("in1_2"), 12);
  EXPECT_EQ(FinsExIO::Impl::getRegisterIndex("3out"), 3);
  EXPECT_EQ(FinsExIO::Impl::getRegisterIndex("a9b9"), 99);
  EXPECT_EQ(FinsExIO::Impl::getRegisterIndex("in07"), 7);
  EXPECT_EQ(FinsExIO::Impl::getRegisterIndex("00"), 0);
}

TEST(GetRegisterIndex, OnlyAsciiDigitsCount) {
  // Bytes above 127 (here UTF-8 of a superscript two) are not digits.
  EXPECT_EQ(FinsExIO::Impl::getRegisterIndex("in\xc2\xb2" "4"), 4);
  EXPECT_EQ(FinsExIO::Impl::getRegisterIndex("in\xff"), 0);
}

TEST(GetRegisterIndex, ThreeOrMoreDigitsAreRejected) {
  EXPECT_LT(FinsExIO::Impl::getRegisterIndex("in100"), 0);
  EXPECT_LT(FinsExIO::Impl::getRegisterIndex("in007"), 0);
  EXPECT_LT(FinsExIO::Impl::getRegisterIndex("1a2b3"), 0);
  // Far more digits than an int holds.
  EXPECT_LT(FinsExIO::Impl::getRegisterIndex("in" + std::string(400, '9')), 0);
}

TEST(FinsValue, AlternativesKeepTheirOrder) {
  EXPECT_EQ(FinsValue(static_cast<short>(-1)).which(), 0);
  EXPECT_EQ(FinsValue(static_cast<unsigned short>(1)).which(), 1);
  EXPECT_EQ(FinsValue(-1).which(), 2);
  EXPECT_EQ(FinsValue(1u).which(), 3);
  EXPECT_EQ(FinsValue(true).which(), 4);
  EXPECT_EQ(FinsValue(static_cast<unsigned char>(1)).which(), 5);
  EXPECT_EQ(FinsValue(1.5f).which(), 6);
  EXPECT_EQ(FinsValue(1.5).which(), 7);
  EXPECT_EQ(FinsValue(FinsExIO::BitForce{true, false}).which(), 8);
  EXPECT_EQ(FinsValue(FinsExIO::WordForce{false, true}).which(), 9);
}

TEST(FinsValue, ReadingAnotherAlternativeThrowsBadGet) {
  FinsValue value = static_cast<short>(-7);
  EXPECT_THROW(boost::get<int>(value), boost::bad_get);
  EXPECT_THROW(boost::get<unsigned short>(value), boost::bad_get);
  EXPECT_EQ(boost::get<short>(value), -7);
}

TEST(FinsValue, AssignmentCopiesAlternativeAndValue) {
  FinsValue source = FinsExIO::BitForce{false, true};
  FinsValue target = 3.25;
  target = source;
  ASSERT_EQ(target.which(), 8);
  const auto& bit = boost::get<FinsExIO::BitForce>(target);
  EXPECT_FALSE(bit.value);
  EXPECT_TRUE(bit.forced);
  EXPECT_THROW(boost::get<double>(target), boost::bad_get);
}


TEST(FinsDataTypeLogging, TypeIsLoggedAsItsNumber) {
  CoutCapture capture;
  const std::string address = "DM100";
  Logger::getInstance()->log<Logger::ERROR>(
      "Fins add mapping %s <---> %s fail: vorl register type parser fail "
      "(FinsDataType)%d",
      "addMapping", 301, address.c_str(), "in1", Float);
  EXPECT_EQ(capture.text(),
            "[ERROR] - [\n\nFins add mapping DM100 <---> in1 fail: vorl "
            "register type parser fail (FinsDataType)15\n\n] - "
            "[addMapping - line: 301]\n\n\n");
}

}  // namespace
