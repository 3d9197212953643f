// The exchange against a scripted peer: request bytes, every check of the response, the drain
// after a foreign response, the error counter, and the CPU unit data lengths.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "scripted_peer.h"
#include "wire_helpers.h"

namespace finstest {
namespace {

class Exchange : public ::testing::Test {
 protected:
  void SetUp() override { open(5); }
  void TearDown() override { finslib_disconnect(sys_); }
  void open(int error_max) {
    if (sys_ != nullptr) finslib_disconnect(sys_);
    int err = -1;
    sys_ = connectTo(peer_.port(), &err, error_max);
    ASSERT_NE(sys_, nullptr);
    ASSERT_EQ(err, 0);
  }
  // One multiple-read-shaped command with a 4-byte body.
  int exchange(size_t* len_out = nullptr) {
    XX_finslib_init_command(sys_, &cmd_, 0x01, 0x04);
    const uint8_t element[4] = {0x82, 0x00, 0x64, 0x00};
    std::memcpy(cmd_.body, element, 4);
    size_t len = 4;
    int rc = XX_finslib_communicate(sys_, &cmd_, &len, true);
    if (len_out) *len_out = len;
    return rc;
  }
  // Queues a reply computed from the request's correct reply by `edit`.
  void script(std::function<void(Bytes&)> edit, bool close_after = false) {
    peer_.pushReply([edit, close_after](const Bytes& req) {
      Action a{ScriptedPeer::reply(req, 0, {0x82, 0x12, 0x34})};
      edit(a.bytes);
      a.close_after = close_after;
      return a;
    });
  }
  static void setLength(Bytes& b, uint32_t v) {
    b[4] = static_cast<uint8_t>(v >> 24);
    b[5] = static_cast<uint8_t>(v >> 16);
    b[6] = static_cast<uint8_t>(v >> 8);
    b[7] = static_cast<uint8_t>(v);
  }

  ScriptedPeer peer_;
  fins_sys_tp* sys_ = nullptr;
  fins_command_tp cmd_;
};

TEST_F(Exchange, RequestBytesAndAGoodResponse) {
  sys_->local_net = 1;
  sys_->local_unit = 2;
  sys_->remote_net = 3;
  sys_->remote_unit = 4;
  sys_->sid = 0x42;
  script([](Bytes&) {});
  size_t len = 0;
  EXPECT_EQ(exchange(&len), 0);
  EXPECT_EQ(len, 5u);  // end code + area code + 2 data bytes
  EXPECT_EQ(cmd_.body[0], 0);
  EXPECT_EQ(cmd_.body[1], 0);
  EXPECT_EQ(cmd_.body[3], 0x12);
  EXPECT_EQ(cmd_.body[4], 0x34);
  EXPECT_EQ(cmd_.header[0], 0xC0);
  ASSERT_EQ(peer_.frames().size(), 1u);
  const Bytes tcp = {'F', 'I', 'N', 'S', 0, 0, 0, 24, 0, 0, 0, 2, 0, 0, 0, 0};
  EXPECT_EQ(peer_.tcpHeaders()[0], tcp);
  const Bytes frame = {0x80, 0x00, 0x02, 3, 10, 4, 1, 20, 2, 0x42, 0x01, 0x04, 0x82, 0x00, 0x64, 0x00};
  EXPECT_EQ(peer_.frames()[0], frame);
  EXPECT_EQ(sys_->sid, 0x43);
  EXPECT_EQ(sys_->error_count, 0);
  EXPECT_EQ(sys_->last_error, 0);
}

TEST_F(Exchange, ThirteenByteResponseIsTooShort) {
  script([](Bytes& b) {
    b.resize(16 + 13);
    setLength(b, 8 + 13);
  });
  EXPECT_EQ(exchange(), FINS_RETVAL_BODY_TOO_SHORT);
  EXPECT_EQ(sys_->error_count, 1);
}

TEST_F(Exchange, FourteenByteResponseCarriesItsEndCode) {
  peer_.pushReply([](const Bytes& req) { return Action{ScriptedPeer::reply(req, 0x0101)}; });
  size_t len = 0;
  EXPECT_EQ(exchange(&len), 0x0101);
  EXPECT_EQ(len, 2u);
}

TEST_F(Exchange, EndCodeFlagsAreMasked) {
  peer_.pushReply([](const Bytes& req) { return Action{ScriptedPeer::reply(req, 0x8140)}; });
  EXPECT_EQ(exchange(), 0x0100);
  peer_.pushReply([](const Bytes& req) { return Action{ScriptedPeer::reply(req, 0xFFFF)}; });
  EXPECT_EQ(exchange(), 0x7F3F);
  peer_.pushReply([](const Bytes& req) { return Action{ScriptedPeer::reply(req, 0x80C0)}; });
  EXPECT_EQ(exchange(), 0);  // only flags: normal completion
  EXPECT_EQ(sys_->error_count, 0);
}

TEST_F(Exchange, HeaderWithoutFrameIsTooShort) {
  peer_.pushReply([](const Bytes&) { return Action{ScriptedPeer::tcpHeader(0)}; });
  EXPECT_EQ(exchange(), FINS_RETVAL_BODY_TOO_SHORT);
}

TEST_F(Exchange, LengthBelowEightIsTooShort) {
  peer_.pushReply([](const Bytes&) {
    Bytes h = ScriptedPeer::tcpHeader(0);
    setLength(h, 3);
    return Action{h};
  });
  EXPECT_EQ(exchange(), FINS_RETVAL_BODY_TOO_SHORT);
}

TEST_F(Exchange, AnnouncedFrameAbove2012IsTooLong) {
  peer_.pushReply([](const Bytes&) {
    Bytes h = ScriptedPeer::tcpHeader(0);
    setLength(h, 2021);
    return Action{h};
  });
  EXPECT_EQ(exchange(), FINS_RETVAL_BODY_TOO_LONG);
}

// Only bytes 6..7 of the length field count.
TEST_F(Exchange, HighLengthBytesAreIgnored) {
  script([](Bytes& b) { b[4] = b[5] = 0xFF; });
  EXPECT_EQ(exchange(), 0);
}

// A frame shorter than its own 12 header bytes cannot be checked: too short, without wrapping.
TEST_F(Exchange, FrameShorterThanItsHeaderIsTooShort) {
  script([](Bytes& b) {
    b.resize(16 + 5);
    setLength(b, 8 + 5);
  });
  size_t len = 0;
  EXPECT_EQ(exchange(&len), FINS_RETVAL_BODY_TOO_SHORT);
  EXPECT_EQ(len, 4u);  // left as the request had it
}

TEST_F(Exchange, FinsTcpErrorNotifications) {
  peer_.pushReply([](const Bytes&) { return Action{ScriptedPeer::tcpHeader(0, 3, 1)}; });
  EXPECT_EQ(exchange(), FINS_RETVAL_TCP_HEADER_NOT_FINS);
  EXPECT_EQ(sys_->error_count, 1);
  EXPECT_GE(sys_->sockfd, 0);
  peer_.pushReply([](const Bytes&) { return Action{ScriptedPeer::tcpHeader(0, 7, 0x21)}; });
  EXPECT_EQ(exchange(), FINS_RETVAL_TCP_NODE_ALREADY_CONNECTED);
  peer_.pushReply([](const Bytes&) { return Action{ScriptedPeer::tcpHeader(0, 3, 0x11)}; });
  EXPECT_EQ(exchange(), FINS_RETVAL_TCP_UNEXPECTED_COMMAND);
  EXPECT_EQ(sys_->error_count, 3);
  // error code 0 with a wrong command closes at once, whatever the count
  peer_.pushReply([](const Bytes&) { return Action{ScriptedPeer::tcpHeader(0, 3, 0)}; });
  EXPECT_EQ(exchange(), FINS_RETVAL_TCP_NORMAL_CODE);
  EXPECT_EQ(sys_->sockfd, -1);
  EXPECT_EQ(sys_->last_error, FINS_RETVAL_TCP_NORMAL_CODE);
  EXPECT_EQ(exchange(), FINS_RETVAL_NOT_CONNECTED);
}

TEST_F(Exchange, HeaderIncompleteWhenThePeerCloses) {
  script([](Bytes& b) { b.resize(10); }, true);
  EXPECT_EQ(exchange(), FINS_RETVAL_TCP_HEADER_INCOMPLETE);
}

TEST_F(Exchange, FrameIncompleteWhenThePeerCloses) {
  script([](Bytes& b) { b.resize(b.size() - 3); }, true);
  EXPECT_EQ(exchange(), FINS_RETVAL_RESPONSE_INCOMPLETE);
}

// Waits out the 3-second receive time-out.
TEST_F(Exchange, MissingResponseTimesOut) {
  peer_.pushReply([](const Bytes&) { return Action{}; });
  Stopwatch sw;
  EXPECT_EQ(exchange(), FINS_RETVAL_TCP_HEADER_INCOMPLETE);
  EXPECT_GE(sw.seconds(), 2.5);
  EXPECT_LT(sw.seconds(), 6.0);
}

TEST_F(Exchange, DribbledAndLateResponsesArrive) {
  peer_.pushReply([](const Bytes& req) {
    Action a{ScriptedPeer::reply(req, 0, {0x82, 0xBE, 0xEF})};
    a.dribble = true;
    return a;
  });
  EXPECT_EQ(exchange(), 0);
  EXPECT_EQ(cmd_.body[3], 0xBE);
  EXPECT_EQ(cmd_.body[4], 0xEF);
  peer_.pushReply([](const Bytes& req) {
    Action a{ScriptedPeer::reply(req, 0, {0x82, 0x01, 0x02})};
    a.delay = std::chrono::milliseconds(800);
    return a;
  });
  EXPECT_EQ(exchange(), 0);
  EXPECT_EQ(cmd_.body[4], 0x02);
}

TEST_F(Exchange, WithoutReadingTheResponse) {
  sys_->error_count = 1;
  XX_finslib_init_command(sys_, &cmd_, 0x01, 0x02);
  size_t len = 0;
  EXPECT_EQ(XX_finslib_communicate(sys_, &cmd_, &len, false), 0);
  EXPECT_EQ(sys_->error_count, 1);
  EXPECT_TRUE(peer_.waitForFrames(1, std::chrono::seconds(2)));
}

// Each header field that ties the response to the request; the peer closes after its answer so
// that the drain ends at once.
TEST_F(Exchange, ForeignResponsesAreSyncErrors) {
  const std::vector<std::pair<size_t, uint8_t>> edits = {
      {16 + 0, 0x80}, {16 + 0, 0xC1}, {16 + 1, 0x01}, {16 + 3, 0x09}, {16 + 4, 0x09}, {16 + 5, 0x09},
      {16 + 6, 0x09}, {16 + 7, 0x09}, {16 + 8, 0x09}, {16 + 10, 0x05}, {16 + 11, 0x01},
  };
  for (const auto& e : edits) {
    open(-1);
    script([e](Bytes& b) { b[e.first] = e.second; }, true);
    Stopwatch sw;
    EXPECT_EQ(exchange(), FINS_RETVAL_SYNC_ERROR) << "byte " << e.first - 16;
    EXPECT_LT(sw.seconds(), 2.0);
  }
  open(-1);
  script([](Bytes& b) { b[16 + 9] = static_cast<uint8_t>(b[16 + 9] - 1); }, true);  // SID one less
  EXPECT_EQ(exchange(), FINS_RETVAL_SYNC_ERROR);
  open(-1);
  script([](Bytes& b) { b[16 + 2] = 0x07; }, true);  // GCT is not compared
  EXPECT_EQ(exchange(), 0);
}

// The drain lasts until the silent peer's receive time-out; afterwards the stream is in step.
TEST_F(Exchange, ForeignSidIsDrainedAndTheNextExchangeWorks) {
  script([](Bytes& b) { b[16 + 9] = static_cast<uint8_t>(b[16 + 9] - 1); });
  Stopwatch sw;
  EXPECT_EQ(exchange(), FINS_RETVAL_SYNC_ERROR);
  EXPECT_GE(sw.seconds(), 2.5);
  EXPECT_LT(sw.seconds(), 6.0);
  EXPECT_EQ(sys_->error_count, 1);
  EXPECT_EQ(exchange(), 0);
  EXPECT_EQ(sys_->error_count, 0);
}

// A peer that never stops sending cannot hold the drain.
TEST_F(Exchange, DrainIsBoundedAgainstAPeerThatKeepsSending) {
  peer_.pushReply([](const Bytes& req) {
    Action a{ScriptedPeer::reply(req)};
    a.bytes[16 + 9] = static_cast<uint8_t>(a.bytes[16 + 9] + 1);
    a.flood = true;
    return a;
  });
  Stopwatch sw;
  EXPECT_EQ(exchange(), FINS_RETVAL_SYNC_ERROR);
  EXPECT_LT(sw.seconds(), 2.5);
}

// With Nagle's algorithm the frame would wait for the delayed ACK of the header (about 40 ms).
TEST_F(Exchange, TheFrameIsNotHeldBack) {
  std::vector<double> t;
  for (int i = 0; i < 21; ++i) {
    Stopwatch sw;
    ASSERT_EQ(exchange(), 0);
    t.push_back(sw.seconds());
  }
  std::sort(t.begin(), t.end());
  EXPECT_LT(t[t.size() / 2], 0.020) << "median exchange " << t[t.size() / 2] * 1000 << " ms";
}

// ---- operations over the scripted peer ----------------------------------------------------

Bytes cpuData(size_t n) {
  Bytes d(std::max<size_t>(n, 158), 0);
  const char model[] = "CJ2M-CPU33          ";
  std::memcpy(d.data(), model, 20);
  std::memcpy(d.data() + 20, "02.00\t \r\n           ", 20);
  d[40] = 0x81;  // DIP switches 0 and 7
  d[41] = 12;
  d[80] = 0x00;
  d[81] = 0x14;
  d[82] = 0x17;
  d[83] = 0x80;
  d[84] = 0x00;
  d[85] = 0x08;
  d[86] = 13;
  d[89] = 4;
  d[90] = 0x01;
  d[91] = 0x02;
  d[92] = 0x85;  // bus unit 0 present, id 0x0506
  d[93] = 0x06;
  d[94 + 2 * 14] = 0x7F;  // bus unit 15 absent, id 0x7FFF
  d[95 + 2 * 14] = 0xFF;
  d[156] = 2;
  d[157] = 0xF3;
  d.resize(n);
  return d;
}

TEST_F(Exchange, CpuUnitDataLengths) {
  fins_cpudata_tp cpu;
  for (size_t n : {158u, 159u, 200u}) {
    peer_.pushReply([n](const Bytes& req) { return Action{ScriptedPeer::reply(req, 0, cpuData(n))}; });
    sys_->plc_family = 0;
    std::memset(&cpu, 0xEE, sizeof cpu);
    ASSERT_EQ(finslib_cpu_unit_data_read(sys_, &cpu), 0) << n;
    EXPECT_STREQ(cpu.model, "CJ2M-CPU33");
    EXPECT_STREQ(cpu.version, "02.00");
    EXPECT_EQ(cpu.dip_switch[0], true);
    EXPECT_EQ(cpu.dip_switch[1], false);
    EXPECT_EQ(cpu.dip_switch[7], true);
    EXPECT_EQ(cpu.system_block[0], 0x81);
    EXPECT_EQ(cpu.system_block[1], 12);
    EXPECT_EQ(cpu.largest_em_bank, 12);
    EXPECT_EQ(cpu.program_area_size, 0x14);
    EXPECT_EQ(cpu.iom_size, 0x17);
    EXPECT_EQ(cpu.number_of_dm_words, 0x8000);
    EXPECT_EQ(cpu.timer_counter_size, 8);
    EXPECT_EQ(cpu.em_non_file_memory_size, 13);
    EXPECT_EQ(cpu.memory_card_type, 4);
    EXPECT_EQ(cpu.memory_card_size, 0x0102);
    EXPECT_TRUE(cpu.bus_unit_present[0]);
    EXPECT_EQ(cpu.bus_unit_id[0], 0x0506);
    EXPECT_FALSE(cpu.bus_unit_present[15]);
    EXPECT_EQ(cpu.bus_unit_id[15], 0x7FFF);
    EXPECT_FALSE(cpu.bus_unit_present[1]);
    EXPECT_EQ(cpu.num_sysmac_bus_masters, 2);
    EXPECT_EQ(cpu.num_racks, 3);
    EXPECT_STREQ(sys_->model, "CJ2M-CPU33");
    EXPECT_STREQ(sys_->version, "02.00");
    EXPECT_EQ(sys_->plc_family, FINS_PLC_FAMILY_CS);
  }
  // shorter than 158 data bytes: refused, record unchanged
  std::strcpy(sys_->model, "keep");
  sys_->plc_family = FINS_PLC_FAMILY_CV;
  peer_.pushReply([](const Bytes& req) { return Action{ScriptedPeer::reply(req, 0, cpuData(157))}; });
  EXPECT_EQ(finslib_cpu_unit_data_read(sys_, &cpu), FINS_RETVAL_BODY_TOO_SHORT);
  EXPECT_STREQ(sys_->model, "keep");
  EXPECT_EQ(sys_->plc_family, FINS_PLC_FAMILY_CV);
  // the request: MRC 05, SRC 01, no parameters
  Bytes last = peer_.frames().back();
  ASSERT_EQ(last.size(), 12u);
  EXPECT_EQ(last[10], 0x05);
  EXPECT_EQ(last[11], 0x01);
}

TEST_F(Exchange, CpuUnitModelSetsTheFamily) {
  const struct {
    const char* model;
    int family;
    const char* trimmed;
  } cases[] = {
      {"CJ        ", FINS_PLC_FAMILY_CS, "CJ"},          {"CJ1234567890        ", FINS_PLC_FAMILY_CS, "CJ1234567890"},
      {"CS1H-CPU67H         ", FINS_PLC_FAMILY_CS, "CS1H-CPU67H"}, {"CP1L-EM40DR-D       ", FINS_PLC_FAMILY_CS, "CP1L-EM40DR-D"},
      {"CV2000-CPU01        ", FINS_PLC_FAMILY_CV, "CV2000-CPU01"}, {"NJ501-1300          ", FINS_PLC_FAMILY_UNKNOWN, "NJ501-1300"},
      {"                    ", FINS_PLC_FAMILY_UNKNOWN, ""},        {"cj2m                ", FINS_PLC_FAMILY_UNKNOWN, "cj2m"},
      {"ABCDEFGHIJKLMNOPQRST", FINS_PLC_FAMILY_UNKNOWN, "ABCDEFGHIJKLMNOPQRST"},
  };
  for (const auto& c : cases) {
    Bytes d = cpuData(158);
    std::memset(d.data(), ' ', 20);
    std::memcpy(d.data(), c.model, std::strlen(c.model));
    peer_.pushReply([d](const Bytes& req) { return Action{ScriptedPeer::reply(req, 0, d)}; });
    fins_cpudata_tp cpu;
    ASSERT_EQ(finslib_cpu_unit_data_read(sys_, &cpu), 0);
    EXPECT_STREQ(cpu.model, c.trimmed);
    EXPECT_STREQ(sys_->model, c.trimmed);
    EXPECT_EQ(sys_->plc_family, c.family) << c.model;
  }
  // with an unknown family every address lookup fails
  fins_multidata_tp item{};
  std::strcpy(item.address, "DM0");
  item.type = FINS_DATA_TYPE_INT16;
  EXPECT_EQ(finslib_multiple_memory_area_read(sys_, &item, 1), FINS_RETVAL_INVALID_READ_AREA);
}

TEST_F(Exchange, WriteAcknowledgementOfTheWrongSizeStopsTheWriter) {
  sys_->plc_family = FINS_PLC_FAMILY_CS;
  peer_.pushReply([](const Bytes& req) { return Action{ScriptedPeer::reply(req, 0, {0x00, 0x00})}; });
  const uint16_t v[300] = {};
  EXPECT_EQ(finslib_memory_area_write_uint16(sys_, "DM0", v, 300), FINS_RETVAL_BODY_TOO_SHORT);
  EXPECT_EQ(peer_.frames().size(), 1u);  // the second frame is never sent
  EXPECT_EQ(sys_->error_count, 0);       // a good exchange, then a size check that is not counted
}

TEST_F(Exchange, ReadResponseOfTheWrongSize) {
  sys_->plc_family = FINS_PLC_FAMILY_CS;
  fins_multidata_tp items[2] = {};
  std::strcpy(items[0].address, "DM0");
  items[0].type = FINS_DATA_TYPE_INT16;
  std::strcpy(items[1].address, "DM1");
  items[1].type = FINS_DATA_TYPE_INT16;
  items[0].value.uint16 = 0x1111;
  peer_.pushReply([](const Bytes& req) { return Action{ScriptedPeer::reply(req, 0, {0x82, 0x12, 0x34})}; });
  EXPECT_EQ(finslib_multiple_memory_area_read(sys_, items, 2), FINS_RETVAL_BODY_TOO_SHORT);
  EXPECT_EQ(items[0].value.uint16, 0x1111);  // left undecoded
  peer_.pushReply([](const Bytes& req) { return Action{ScriptedPeer::reply(req, 0x1101)}; });
  EXPECT_EQ(finslib_multiple_memory_area_read(sys_, items, 2), 0x1101);
}

}  // namespace
}  // namespace finstest
