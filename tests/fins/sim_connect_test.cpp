// Against the PLC simulator: handshake and node numbers, CPU unit data and PLC family, several
// clients, the consecutive-error counter, and the simulator's injected faults.
#include "sim_fixture.h"
#include "wire_helpers.h"

namespace finstest {
namespace {

class SimConnect : public SimTest {};

TEST_F(SimConnect, HandshakeNodeNumbers) {
  plcsim::Options o = simOptions();
  o.server_node = 7;
  o.first_client_node = 30;
  start(o);
  EXPECT_EQ(sys_->local_node, 30);
  EXPECT_EQ(sys_->remote_node, 7);
  int err = -1;
  fins_sys_tp* second = connectTo(sim_->port(), &err);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(err, 0);
  EXPECT_EQ(second->local_node, 31);
  EXPECT_EQ(second->remote_node, 7);
  EXPECT_EQ(sim_->clientNodes(), (std::vector<uint8_t>{30, 31}));
  // the frames carry the nodes of the handshake
  fins_multidata_tp it = item("DM0", FINS_DATA_TYPE_INT16);
  second->plc_family = FINS_PLC_FAMILY_CS;
  ASSERT_EQ(finslib_multiple_memory_area_read(second, &it, 1), 0);
  Frame f = frames().back();
  EXPECT_EQ(f[4], 7);   // DA1
  EXPECT_EQ(f[7], 31);  // SA1
  finslib_disconnect(second);
}

TEST_F(SimConnect, CpuUnitDataOfACjUnit) {
  start();
  EXPECT_STREQ(cpu_.model, "CJ2M-CPU33");
  EXPECT_STREQ(cpu_.version, "02.00");
  EXPECT_STREQ(sys_->model, "CJ2M-CPU33");
  EXPECT_STREQ(sys_->version, "02.00");
  EXPECT_EQ(sys_->plc_family, FINS_PLC_FAMILY_CS);
  EXPECT_EQ(cpu_.largest_em_bank, 12);
  EXPECT_EQ(cpu_.program_area_size, 0x14);
  EXPECT_EQ(cpu_.iom_size, 0x17);
  EXPECT_EQ(cpu_.number_of_dm_words, 0x8000);
  EXPECT_EQ(cpu_.timer_counter_size, 8);
  EXPECT_EQ(cpu_.em_non_file_memory_size, 13);
  EXPECT_EQ(cpu_.memory_card_type, 0);
  EXPECT_EQ(cpu_.memory_card_size, 0);
  EXPECT_EQ(cpu_.num_sysmac_bus_masters, 0);
  EXPECT_EQ(cpu_.num_racks, 1);
  for (int i = 0; i < 16; ++i) EXPECT_FALSE(cpu_.bus_unit_present[i]);
  for (int i = 0; i < 8; ++i) EXPECT_FALSE(cpu_.dip_switch[i]);
}

TEST_F(SimConnect, CpuUnitDataOfACvUnit) {
  start(simOptions("CV1000-CPU01"));
  EXPECT_STREQ(cpu_.model, "CV1000-CPU01");
  EXPECT_EQ(sys_->plc_family, FINS_PLC_FAMILY_CV);
  EXPECT_EQ(cpu_.largest_em_bank, 7);
  EXPECT_EQ(cpu_.em_non_file_memory_size, 8);
}

// The longer form of the answer (159 data bytes) is accepted; the first 158 bytes are decoded
// as usual, so the racks come from byte 157, the second remote I/O byte of that form.
TEST_F(SimConnect, CpuUnitDataLongForm) {
  plcsim::Options o = simOptions();
  o.long_cpu_unit_data = true;
  start(o);
  EXPECT_STREQ(cpu_.model, "CJ2M-CPU33");
  EXPECT_EQ(sys_->plc_family, FINS_PLC_FAMILY_CS);
  EXPECT_EQ(cpu_.num_racks, 0);
  EXPECT_EQ(cpu_.largest_em_bank, 12);
}

TEST_F(SimConnect, UnknownModelLeavesTheFamilyUnknown) {
  start(simOptions("NJ501-1300"));
  EXPECT_EQ(sys_->plc_family, FINS_PLC_FAMILY_UNKNOWN);
  fins_multidata_tp it = item("DM0", FINS_DATA_TYPE_INT16);
  EXPECT_EQ(finslib_multiple_memory_area_read(sys_, &it, 1), FINS_RETVAL_INVALID_READ_AREA);
  const uint16_t v = 1;
  EXPECT_EQ(finslib_memory_area_write_uint16(sys_, "DM0", &v, 1), FINS_RETVAL_INVALID_WRITE_AREA);
  EXPECT_TRUE(frames().empty());
}

TEST_F(SimConnect, SeveralClientsAtOnce) {
  start();
  std::vector<fins_sys_tp*> clients;
  for (int i = 0; i < 4; ++i) {
    int err = -1;
    clients.push_back(connectTo(sim_->port(), &err));
    ASSERT_EQ(err, 0);
    clients.back()->plc_family = FINS_PLC_FAMILY_CS;
  }
  EXPECT_TRUE(sim_->waitForConnectionCount(5, std::chrono::seconds(2)));
  for (int i = 0; i < 4; ++i) {
    const uint16_t v = static_cast<uint16_t>(100 + i);
    std::string addr = "DM" + std::to_string(i);
    ASSERT_EQ(finslib_memory_area_write_uint16(clients[i], addr.c_str(), &v, 1), 0);
  }
  for (int i = 0; i < 4; ++i) {
    fins_multidata_tp it = item(("DM" + std::to_string(3 - i)).c_str(), FINS_DATA_TYPE_UINT16);
    ASSERT_EQ(finslib_multiple_memory_area_read(clients[i], &it, 1), 0);
    EXPECT_EQ(it.value.uint16, 103 - i);
  }
  for (fins_sys_tp* c : clients) finslib_disconnect(c);
  EXPECT_TRUE(sim_->waitForConnectionCount(1, std::chrono::seconds(2)));
}

int readDm0(fins_sys_tp* sys) {
  fins_multidata_tp it;
  std::memset(&it, 0, sizeof it);
  std::strcpy(it.address, "DM0");
  it.type = FINS_DATA_TYPE_INT16;
  return finslib_multiple_memory_area_read(sys, &it, 1);
}

TEST_F(SimConnect, SidWrapsAfter255) {
  start();
  sys_->sid = 253;
  for (int i = 0; i < 5; ++i) ASSERT_EQ(readDm0(sys_), 0) << i;
  std::vector<uint8_t> sids;
  for (const Frame& f : frames()) sids.push_back(f[9]);
  EXPECT_EQ(sids, (std::vector<uint8_t>{253, 254, 255, 0, 1}));
}

TEST_F(SimConnect, ErrorLimitOne) {
  start(simOptions(), 1);
  sim_->failNextCommands(0x1103, 1);
  EXPECT_EQ(readDm0(sys_), 0x1103);
  EXPECT_EQ(readDm0(sys_), 0);
  sim_->failNextCommands(0x1103, 1);
  EXPECT_EQ(readDm0(sys_), 0x1103);
  EXPECT_GE(sys_->sockfd, 0);  // failure, success, failure: open
  sim_->failNextCommands(0x0401, 1);
  EXPECT_EQ(readDm0(sys_), FINS_RETVAL_MAX_ERROR_COUNT);
  EXPECT_EQ(sys_->sockfd, -1);
  EXPECT_EQ(sys_->last_error, FINS_RETVAL_MAX_ERROR_COUNT);
  EXPECT_EQ(readDm0(sys_), FINS_RETVAL_NOT_CONNECTED);
  EXPECT_TRUE(sim_->waitForConnectionCount(0, std::chrono::seconds(2)));
}

TEST_F(SimConnect, ErrorCountingDisabled) {
  start(simOptions(), -1);
  sim_->failNextCommands(0x1103, 10);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(readDm0(sys_), 0x1103);
  EXPECT_GE(sys_->sockfd, 0);
  EXPECT_EQ(sys_->error_count, 0);
  EXPECT_EQ(readDm0(sys_), 0);
}

TEST_F(SimConnect, DroppedConnection) {
  start(simOptions(), 1);
  sim_->dropNextCommands(1);
  Stopwatch sw;
  EXPECT_EQ(readDm0(sys_), FINS_RETVAL_TCP_HEADER_INCOMPLETE);
  EXPECT_LT(sw.seconds(), 2.0);
  // the next exchange meets the closed stream: second failure closes the record
  EXPECT_EQ(readDm0(sys_), FINS_RETVAL_MAX_ERROR_COUNT);
  EXPECT_EQ(sys_->sockfd, -1);
}

}  // namespace
}  // namespace finstest
