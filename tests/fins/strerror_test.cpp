#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <thread>

#include "fins/fins.h"

namespace {

TEST(Strerror, EveryOwnCodeHasAFixedText) {
  for (int code : {FINS_RETVAL_SUCCESS, FINS_RETVAL_NO_RECORD, FINS_RETVAL_NOT_USED,
                   FINS_RETVAL_MAX_ERROR_COUNT, FINS_RETVAL_NO_DATA_BLOCK, FINS_RETVAL_INVALID_WRITE_AREA,
                   FINS_RETVAL_TCP_HEADER_INCOMPLETE, FINS_RETVAL_TRY_LATER, FINS_RETVAL_TCP_NORMAL_CODE,
                   FINS_RETVAL_TCP_NO_NODE_ADDRESS_LEFT}) {
    const char* text = finslib_strerror(code);
    EXPECT_EQ(text, finslib_strerror(code)) << code;  // the same static text, no buffer
    EXPECT_EQ(std::string(text).find("0x"), std::string::npos) << text;
  }
  EXPECT_STREQ(finslib_strerror(FINS_RETVAL_INVALID_READ_ADDRESS), "address does not decode");
}

TEST(Strerror, EndCodesErrnoCodesAndStrangers) {
  EXPECT_STREQ(finslib_strerror(0x1103), "PLC end code 0x1103");
  EXPECT_STREQ(finslib_strerror(FINS_LAST_END_CODE), "PLC end code 0x7F3F");
  EXPECT_EQ(std::string(finslib_strerror(FINS_RETVAL_ERRNO_BASE + ECONNREFUSED)),
            std::string("socket error: ") + std::strerror(ECONNREFUSED));
  EXPECT_STREQ(finslib_strerror(FINS_LAST_END_CODE + 1), "FINS library code 0x7F40");
  EXPECT_STREQ(finslib_strerror(FINS_RETVAL_ERRNO_LAST + 1), "FINS library code 0xD000");
}

TEST(Strerror, ANumberedTextIsTheCallingThreadsOwn) {
  const char* mine = finslib_strerror(0x0101);
  std::thread([] { finslib_strerror(0x2101); }).join();
  EXPECT_STREQ(mine, "PLC end code 0x0101");
}

}  // namespace
