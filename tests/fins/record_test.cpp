// The connection record without a peer: command frame header and SID wrap, argument checks of
// every operation, the consecutive-error counter, socket close and the timers.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <ctime>
#include <vector>

#include "fins/fins.h"

namespace {

bool fdIsOpen(int fd) { return fcntl(fd, F_GETFD) != -1; }

// A record as the connect leaves it, over an unconnected TCP socket (nothing is ever sent on it).
class Record : public ::testing::Test {
 protected:
  void SetUp() override {
    std::memset(&sys_, 0, sizeof sys_);
    sys_.sockfd = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(sys_.sockfd, 0);
    sys_.transport = FINS_TRANSPORT_TCP;
    sys_.error_max = 1;
    sys_.plc_family = FINS_PLC_FAMILY_CS;
    fd_ = sys_.sockfd;
  }
  void TearDown() override {
    if (sys_.sockfd != -1) close(sys_.sockfd);
  }
  fins_sys_tp sys_;
  int fd_ = -1;
};

TEST(CommandFrame, BufferIsOneFrame) {
  EXPECT_EQ(sizeof(fins_command_tp), 2012u);
  EXPECT_EQ(FINS_FRAME_LEN, 2012);
}

TEST(CommandFrame, HeaderBytesAndSidWrap) {
  fins_sys_tp sys{};
  sys.remote_net = 1;
  sys.remote_node = 2;
  sys.remote_unit = 3;
  sys.local_net = 4;
  sys.local_node = 5;
  sys.local_unit = 6;
  sys.sid = 254;
  fins_command_tp c;
  XX_finslib_init_command(&sys, &c, 0x01, 0x04);
  const uint8_t expect[12] = {0x80, 0x00, 0x02, 1, 2, 3, 4, 5, 6, 254, 0x01, 0x04};
  EXPECT_EQ(std::memcmp(c.header, expect, 12), 0);
  EXPECT_EQ(sys.sid, 255);
  XX_finslib_init_command(&sys, &c, 0x05, 0x01);
  EXPECT_EQ(c.header[9], 255);
  EXPECT_EQ(sys.sid, 0);
  XX_finslib_init_command(&sys, &c, 0x05, 0x01);
  EXPECT_EQ(c.header[9], 0);
  EXPECT_EQ(sys.sid, 1);
  // a full turn comes back to the same SID
  for (int i = 0; i < 256; ++i) XX_finslib_init_command(&sys, &c, 1, 2);
  EXPECT_EQ(sys.sid, 1);
  XX_finslib_init_command(nullptr, &c, 1, 2);  // ignored
  XX_finslib_init_command(&sys, nullptr, 1, 2);
  EXPECT_EQ(sys.sid, 1);
}

TEST(Exchange, ArgumentChecksWithoutSocket) {
  fins_sys_tp sys{};
  sys.sockfd = -1;
  sys.error_max = 1;
  sys.error_count = 1;
  fins_command_tp c;
  size_t len = 0;
  EXPECT_EQ(XX_finslib_communicate(nullptr, &c, &len, true), FINS_RETVAL_NO_RECORD);
  EXPECT_EQ(XX_finslib_communicate(&sys, nullptr, &len, true), FINS_RETVAL_NO_COMMAND);
  EXPECT_EQ(sys.last_error, FINS_RETVAL_NO_COMMAND);
  EXPECT_EQ(sys.error_count, 0);  // no socket: the counter resets
  EXPECT_EQ(XX_finslib_communicate(&sys, &c, nullptr, true), FINS_RETVAL_NO_COMMAND_LENGTH);
  EXPECT_EQ(XX_finslib_communicate(&sys, &c, &len, true), FINS_RETVAL_NOT_CONNECTED);
  EXPECT_EQ(sys.last_error, FINS_RETVAL_NOT_CONNECTED);
}

TEST_F(Record, BodyTooLongIsCounted) {
  fins_command_tp c;
  XX_finslib_init_command(&sys_, &c, 1, 2);
  size_t len = 2001;
  EXPECT_EQ(XX_finslib_communicate(&sys_, &c, &len, true), FINS_RETVAL_BODY_TOO_LONG);
  EXPECT_EQ(sys_.error_count, 1);
  EXPECT_EQ(XX_finslib_communicate(&sys_, &c, &len, true), FINS_RETVAL_MAX_ERROR_COUNT);
  EXPECT_EQ(sys_.sockfd, -1);
  EXPECT_FALSE(fdIsOpen(fd_));
}

TEST_F(Record, UnknownTransport) {
  fins_command_tp c;
  XX_finslib_init_command(&sys_, &c, 1, 2);
  size_t len = 0;
  sys_.transport = 7;
  sys_.error_max = -1;
  for (int i = 0; i < 3; ++i) EXPECT_EQ(XX_finslib_communicate(&sys_, &c, &len, true), FINS_RETVAL_NO_RECORD);
  EXPECT_EQ(sys_.error_count, 0);
  EXPECT_EQ(sys_.last_error, FINS_RETVAL_NO_RECORD);
  sys_.error_max = 1;
  EXPECT_EQ(XX_finslib_communicate(&sys_, &c, &len, true), FINS_RETVAL_NO_RECORD);
  EXPECT_EQ(sys_.error_count, 1);
  EXPECT_EQ(XX_finslib_communicate(&sys_, &c, &len, true), FINS_RETVAL_MAX_ERROR_COUNT);
  EXPECT_EQ(sys_.sockfd, -1);
  EXPECT_EQ(sys_.transport, FINS_TRANSPORT_NONE);
  EXPECT_FALSE(fdIsOpen(fd_));
}

TEST_F(Record, ErrorCounterWithLimitOne) {
  EXPECT_EQ(check_error_count(&sys_, 0x1103), 0x1103);
  EXPECT_EQ(sys_.error_count, 1);
  EXPECT_EQ(check_error_count(&sys_, 0), 0);
  EXPECT_EQ(sys_.error_count, 0);
  EXPECT_EQ(check_error_count(&sys_, 0x1103), 0x1103);
  EXPECT_NE(sys_.sockfd, -1);
  EXPECT_EQ(check_error_count(&sys_, 0x0401), FINS_RETVAL_MAX_ERROR_COUNT);
  EXPECT_EQ(sys_.sockfd, -1);
  EXPECT_EQ(sys_.transport, FINS_TRANSPORT_NONE);
  EXPECT_EQ(sys_.error_count, 0);
  EXPECT_EQ(sys_.last_error, FINS_RETVAL_MAX_ERROR_COUNT);
  EXPECT_GT(sys_.socket_time, 0);
  EXPECT_FALSE(fdIsOpen(fd_));
}

// A refused address over a working link must not close it; a link failure still counts, on top of
// the ones before.
TEST_F(Record, LinkOnlyCountingPassesEndCodesOver) {
  EXPECT_EQ(finslib_set_failure_counting(&sys_, FINS_COUNT_LINK_FAILURES), FINS_COUNT_EVERY_FAILURE);
  EXPECT_EQ(check_error_count(&sys_, FINS_RETVAL_RESPONSE_INCOMPLETE), FINS_RETVAL_RESPONSE_INCOMPLETE);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(check_error_count(&sys_, 0x1103), 0x1103);
  EXPECT_EQ(sys_.error_count, 1);
  EXPECT_NE(sys_.sockfd, -1);
  EXPECT_EQ(check_error_count(&sys_, FINS_RETVAL_RESPONSE_INCOMPLETE), FINS_RETVAL_MAX_ERROR_COUNT);
  EXPECT_EQ(sys_.sockfd, -1);
  EXPECT_EQ(finslib_set_failure_counting(&sys_, 7), -1);
  EXPECT_EQ(finslib_set_failure_counting(&sys_, FINS_COUNT_EVERY_FAILURE), FINS_COUNT_LINK_FAILURES);
}

TEST_F(Record, ErrorCounterDisabled) {
  sys_.error_max = -1;
  for (int i = 0; i < 100; ++i) EXPECT_EQ(check_error_count(&sys_, 0x1103), 0x1103);
  EXPECT_EQ(sys_.error_count, 0);
  EXPECT_EQ(sys_.last_error, 0x1103);
  EXPECT_EQ(sys_.sockfd, fd_);
}

TEST_F(Record, ErrorCounterLastErrorIsKeptWhileCounting) {
  sys_.error_max = 3;
  sys_.last_error = 0;
  EXPECT_EQ(check_error_count(&sys_, 0x1103), 0x1103);
  EXPECT_EQ(sys_.last_error, 0);  // counted failures leave last_error alone
  EXPECT_EQ(check_error_count(&sys_, FINS_RETVAL_NOT_USED), FINS_RETVAL_NOT_USED);
  EXPECT_EQ(sys_.error_count, 0);
  EXPECT_EQ(sys_.last_error, FINS_RETVAL_NOT_USED);
  EXPECT_TRUE(sys_.error_changed);
  EXPECT_EQ(check_error_count(&sys_, FINS_RETVAL_NOT_USED), FINS_RETVAL_NOT_USED);
  EXPECT_FALSE(sys_.error_changed);
}

TEST_F(Record, CodesThatCloseAtOnce) {
  sys_.error_max = 10;
  EXPECT_EQ(check_error_count(&sys_, FINS_RETVAL_TCP_NORMAL_CODE), FINS_RETVAL_TCP_NORMAL_CODE);
  EXPECT_EQ(sys_.sockfd, -1);
  EXPECT_EQ(sys_.last_error, FINS_RETVAL_TCP_NORMAL_CODE);
  EXPECT_EQ(check_error_count(nullptr, 0), FINS_RETVAL_NO_RECORD);
}

TEST_F(Record, ErrorLimitZeroClosesOnTheFirstFailure) {
  sys_.error_max = 0;
  EXPECT_EQ(check_error_count(&sys_, 0x1103), FINS_RETVAL_MAX_ERROR_COUNT);
  EXPECT_EQ(sys_.sockfd, -1);
}

TEST_F(Record, CloseKeepsTheRecord) {
  sys_.error_count = 1;
  EXPECT_EQ(fins_close_socket(&sys_), &sys_);
  EXPECT_EQ(sys_.sockfd, -1);
  EXPECT_EQ(sys_.error_count, 0);
  EXPECT_EQ(sys_.transport, FINS_TRANSPORT_NONE);
  EXPECT_FALSE(fdIsOpen(fd_));
  EXPECT_EQ(fins_close_socket(nullptr), nullptr);
  EXPECT_EQ(fins_close_socket(&sys_), &sys_);  // closing twice is harmless
}

TEST_F(Record, CloseWithErrorRecordsErrno) {
  errno = ECONNRESET;
  int err = 0;
  EXPECT_EQ(fins_close_socket_with_error(&sys_, &err), &sys_);
  EXPECT_EQ(err, FINS_RETVAL_ERRNO_BASE + ECONNRESET);
  EXPECT_EQ(sys_.last_error, FINS_RETVAL_ERRNO_BASE + ECONNRESET);
  EXPECT_TRUE(sys_.error_changed);
  EXPECT_EQ(sys_.sockfd, -1);
  errno = ECONNRESET;
  EXPECT_EQ(fins_close_socket_with_error(&sys_, nullptr), &sys_);
  EXPECT_FALSE(sys_.error_changed);
}

TEST(Disconnect, AbsentRecordIsIgnored) { finslib_disconnect(nullptr); }

TEST(Timers, MonotonicSecondsAndSleep) {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  int64_t s = finslib_monotonic_sec_timer();
  EXPECT_GE(s, ts.tv_sec);
  EXPECT_LE(s, ts.tv_sec + 1);
  auto t0 = std::chrono::steady_clock::now();
  finslib_milli_second_sleep(30);
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(30));
}

// Argument and address errors come back before anything is sent and are not counted.
TEST_F(Record, WriterArgumentAndAddressChecks) {
  const uint16_t words[2] = {1, 2};
  const uint8_t bits[2] = {1, 0};
  EXPECT_EQ(finslib_memory_area_write_uint16(nullptr, nullptr, nullptr, 0), 0);
  EXPECT_EQ(finslib_memory_area_write_uint16(nullptr, "DM0", words, 1), FINS_RETVAL_NO_RECORD);
  EXPECT_EQ(finslib_memory_area_write_uint16(&sys_, nullptr, words, 1), FINS_RETVAL_NO_WRITE_ADDRESS);
  EXPECT_EQ(finslib_memory_area_write_uint16(&sys_, "DM0", nullptr, 1), FINS_RETVAL_NO_DATA_BLOCK);
  EXPECT_EQ(finslib_memory_area_write_uint16(&sys_, "DM0x", words, 1), FINS_RETVAL_INVALID_WRITE_ADDRESS);
  EXPECT_EQ(finslib_memory_area_write_uint16(&sys_, "A447", words, 1), FINS_RETVAL_INVALID_WRITE_AREA);
  EXPECT_EQ(finslib_memory_area_write_bit(&sys_, "IR1", bits, 1), FINS_RETVAL_INVALID_WRITE_AREA);  // no IR bits
  EXPECT_EQ(finslib_memory_area_write_bit(&sys_, "TIM1.1", bits, 1), FINS_RETVAL_INVALID_WRITE_AREA);
  EXPECT_EQ(finslib_memory_area_write_int16(&sys_, "H512", reinterpret_cast<const int16_t*>(words), 1),
            FINS_RETVAL_INVALID_WRITE_AREA);
  EXPECT_EQ(finslib_memory_area_write_int32(&sys_, "", reinterpret_cast<const int32_t*>(words), 1),
            FINS_RETVAL_INVALID_WRITE_ADDRESS);
  EXPECT_EQ(finslib_memory_area_write_sbcd16(&sys_, "EM0", reinterpret_cast<const int16_t*>(words), 1, 7),
            FINS_RETVAL_INVALID_WRITE_AREA);
  sys_.plc_family = FINS_PLC_FAMILY_UNKNOWN;
  EXPECT_EQ(finslib_memory_area_write_uint16(&sys_, "DM100", words, 1), FINS_RETVAL_INVALID_WRITE_AREA);
  EXPECT_EQ(sys_.error_count, 0);
  EXPECT_EQ(sys_.sid, 0);  // no frame was built
  int saved = sys_.sockfd;
  sys_.sockfd = -1;
  EXPECT_EQ(finslib_memory_area_write_uint16(&sys_, "DM0", words, 1), FINS_RETVAL_NOT_CONNECTED);
  EXPECT_EQ(finslib_memory_area_write_bcd32(&sys_, "DM0", reinterpret_cast<const uint32_t*>(words), 1),
            FINS_RETVAL_NOT_CONNECTED);
  sys_.sockfd = saved;
}

TEST_F(Record, ReadArgumentAndAddressChecks) {
  fins_multidata_tp items[3] = {};
  std::strcpy(items[0].address, "DM1");
  items[0].type = FINS_DATA_TYPE_INT16;
  std::strcpy(items[1].address, "DM1x");
  items[1].type = FINS_DATA_TYPE_INT16;
  EXPECT_EQ(finslib_multiple_memory_area_read(nullptr, nullptr, 0), 0);
  EXPECT_EQ(finslib_multiple_memory_area_read(nullptr, items, 1), FINS_RETVAL_NO_RECORD);
  EXPECT_EQ(finslib_multiple_memory_area_read(&sys_, nullptr, 1), FINS_RETVAL_NO_DATA_BLOCK);
  EXPECT_EQ(finslib_multiple_memory_area_read(&sys_, items, 2), FINS_RETVAL_INVALID_READ_ADDRESS);
  std::strcpy(items[1].address, "DMX1");
  EXPECT_EQ(finslib_multiple_memory_area_read(&sys_, items, 2), FINS_RETVAL_INVALID_READ_AREA);
  std::strcpy(items[1].address, "DM1");
  items[1].type = FINS_DATA_TYPE_BIT_FORCED;  // no forced DM bits
  EXPECT_EQ(finslib_multiple_memory_area_read(&sys_, items, 2), FINS_RETVAL_INVALID_READ_AREA);
  // The placement answers alone what the read answers before sending.
  EXPECT_EQ(finslib_multiple_read_placement(&sys_, &items[1]), FINS_RETVAL_INVALID_READ_AREA);
  EXPECT_EQ(finslib_multiple_read_placement(&sys_, &items[0]), FINS_RETVAL_SUCCESS);
  std::memset(items[1].address, 'D', sizeof items[1].address);  // not terminated
  items[1].type = FINS_DATA_TYPE_INT16;
  EXPECT_EQ(finslib_multiple_memory_area_read(&sys_, items, 2), FINS_RETVAL_INVALID_READ_ADDRESS);
  EXPECT_EQ(finslib_multiple_read_placement(&sys_, &items[1]), FINS_RETVAL_INVALID_READ_ADDRESS);
  sys_.plc_family = FINS_PLC_FAMILY_UNKNOWN;
  EXPECT_EQ(finslib_multiple_memory_area_read(&sys_, items, 1), FINS_RETVAL_INVALID_READ_AREA);
  EXPECT_EQ(sys_.error_count, 0);
  sys_.sockfd = -1;
  EXPECT_EQ(finslib_multiple_memory_area_read(&sys_, items, 1), FINS_RETVAL_NOT_CONNECTED);
  sys_.sockfd = fd_;
}

TEST_F(Record, RangeReadStaysInItsRowAndPacksAtLeastTheItemsOfAPlainFrame) {
  fins_multidata_tp item = {};
  std::strcpy(item.address, "DM32766");
  item.type = FINS_DATA_TYPE_DOUBLE;  // its last words lie past the row
  fins_range_span_tp span;
  EXPECT_FALSE(finslib_range_read_span(&sys_, &item, &span));
  item.type = FINS_DATA_TYPE_INT32;
  ASSERT_TRUE(finslib_range_read_span(&sys_, &item, &span));
  EXPECT_EQ(span.first, 32766u);
  EXPECT_EQ(span.words, 2u);
  // A range past the row, longer than a frame carries, or not holding its items is refused before
  // anything is built.
  EXPECT_EQ(finslib_memory_area_read_range(&sys_, span.area, 32766, 3, &item, 1), FINS_RETVAL_INVALID_READ_AREA);
  EXPECT_EQ(finslib_memory_area_read_range(&sys_, span.area, 0, FINS_MEMORY_AREA_READ_MAX_WORDS + 1, nullptr, 0),
            FINS_RETVAL_INVALID_READ_AREA);
  EXPECT_EQ(finslib_memory_area_read_range(&sys_, span.area, 0, 10, &item, 1), FINS_RETVAL_INVALID_READ_AREA);
  EXPECT_EQ(sys_.sid, 0);

  std::vector<fins_multidata_tp> doubles(60);
  for (auto& d : doubles) d.type = FINS_DATA_TYPE_DOUBLE;  // 4 elements each
  EXPECT_EQ(finslib_multiple_read_frame_items(doubles.data(), doubles.size(), FINS_MULTI_READ_MAX_ELEMENTS), 41u);
  EXPECT_EQ(finslib_multiple_read_frame_items(doubles.data(), doubles.size(), 1000), 41u);
  EXPECT_EQ(finslib_multiple_read_frame_items(doubles.data(), doubles.size(), 10), 24u);
  EXPECT_EQ(finslib_multiple_read_frame_items(doubles.data(), 5, 10), 5u);
}

TEST_F(Record, CpuUnitDataArgumentChecks) {
  fins_cpudata_tp cpu;
  EXPECT_EQ(finslib_cpu_unit_data_read(nullptr, &cpu), FINS_RETVAL_NO_RECORD);
  EXPECT_EQ(finslib_cpu_unit_data_read(&sys_, nullptr), FINS_RETVAL_NO_DATA_BLOCK);
  sys_.sockfd = -1;
  EXPECT_EQ(finslib_cpu_unit_data_read(&sys_, &cpu), FINS_RETVAL_NOT_CONNECTED);
  sys_.sockfd = fd_;
}

}  // namespace
