// A PLC simulator started in process on an ephemeral loopback port, and a library connection to it.
#ifndef TESTS_FINS_SIM_FIXTURE_H_
#define TESTS_FINS_SIM_FIXTURE_H_

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fins/fins.h"
#include "tools/plc-sim/plc_sim.h"

namespace finstest {

using Frame = std::vector<uint8_t>;

inline plcsim::Options simOptions(const std::string& model = "CJ2M-CPU33") {
  plcsim::Options o;
  o.port = 0;
  o.model = model;
  return o;
}

class SimTest : public ::testing::Test {
 protected:
  // Starts the simulator, connects (limit error_max) and reads the CPU unit data, which sets the
  // PLC family; the frame log is cleared afterwards.
  void start(plcsim::Options options = simOptions(), int error_max = 1) {
    sim_ = std::make_unique<plcsim::PlcSimulator>(options);
    ASSERT_TRUE(sim_->start());
    int err = -1;
    sys_ = finslib_tcp_connect(nullptr, "127.0.0.1", sim_->port(), 0, 0, 0, 0, 0, 0, &err, error_max);
    ASSERT_NE(sys_, nullptr);
    ASSERT_EQ(err, 0);
    ASSERT_EQ(finslib_cpu_unit_data_read(sys_, &cpu_), 0);
    sim_->clearReceivedFrames();
  }
  void TearDown() override {
    finslib_disconnect(sys_);
    if (sim_) sim_->stop();
  }
  std::vector<Frame> frames() const { return sim_->receivedFrames(); }

  static fins_multidata_tp item(const char* address, int type) {
    fins_multidata_tp it;
    std::memset(&it, 0, sizeof it);
    std::memcpy(it.address, address, std::min(std::strlen(address), sizeof it.address - 1));
    it.type = type;
    return it;
  }
  static uint16_t be16(const Frame& f, size_t at) { return static_cast<uint16_t>((f[at] << 8) | f[at + 1]); }

  std::unique_ptr<plcsim::PlcSimulator> sim_;
  fins_sys_tp* sys_ = nullptr;
  fins_cpudata_tp cpu_{};
};

}  // namespace finstest

#endif  // TESTS_FINS_SIM_FIXTURE_H_
