// The method classes called directly, against an engine connected to the
// simulators in this process: what only an in-process caller can send (a
// NaN, any double), and checks of the PLC's words behind each answer.

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <iostream>
#include <limits>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <xmlrpc-c/base.hpp>

#include "exio/fins_exio.h"
#include "methods/connection_methods.h"
#include "methods/engine_work_queue.h"
#include "methods/mapping_methods.h"
#include "methods/memory_area_methods.h"
#include "tools/exio-sim/exio_sim.h"
#include "tools/plc-sim/plc_sim.h"

namespace {

using namespace std::chrono_literals;
using FINS::METHOD::FinsmemoryAreaRead;
using FINS::METHOD::FinsmemoryAreaWrite;

template <typename Predicate>
bool waitFor(Predicate done, std::chrono::milliseconds timeout = 10s) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

xmlrpc_c::value call(xmlrpc_c::method& method,
                     const xmlrpc_c::paramList& params) {
  xmlrpc_c::value result;
  method.execute(params, &result);
  return result;
}

std::uint32_t bitsOf(float f) {
  std::uint32_t bits;
  std::memcpy(&bits, &f, sizeof(bits));
  return bits;
}

class MethodsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The engine logs every cycle; keep the test output readable.
    savedCout_ = std::cout.rdbuf(log_.rdbuf());
    plcsim::Options plcOptions;
    plcOptions.port = 0;
    plc_.reset(new plcsim::PlcSimulator(plcOptions));
    ASSERT_TRUE(plc_->start());
    exiosim::Options exioOptions;
    exioOptions.port = 0;
    exio_.reset(new exiosim::ExioSimulator(exioOptions));
    ASSERT_TRUE(exio_->start());
    engine_.reset(new FinsExIO(exio_->url()));
  }

  void TearDown() override {
    // Queued engine work refers to this test's engine.
    FINS::METHOD::flushEngineWork();
    engine_.reset();
    exio_.reset();
    plc_.reset();
    std::cout.rdbuf(savedCout_);
  }

  void connect() {
    FINS::METHOD::FinsSetConnect method(engine_.get());
    xmlrpc_c::paramList params;
    params.add(xmlrpc_c::value_string("127.0.0.1"));
    params.add(xmlrpc_c::value_int(plc_->port()));
    for (int i = 0; i < 7; ++i) params.add(xmlrpc_c::value_int(0));
    EXPECT_EQ(xmlrpc_c::value_int(call(method, params)).cvalue(), 0);
    ASSERT_TRUE(waitFor([&] { return engine_->getState() == 4; }));
  }

  template <typename T, FinsDataType Type>
  int write(const std::string& address, const xmlrpc_c::value& value) {
    FinsmemoryAreaWrite<T, Type> method(engine_.get());
    xmlrpc_c::paramList params;
    params.add(xmlrpc_c::value_string(address));
    params.add(value);
    return xmlrpc_c::value_int(call(method, params)).cvalue();
  }

  template <typename T, FinsDataType Type>
  std::map<std::string, xmlrpc_c::value> read(const std::string& address) {
    FinsmemoryAreaRead<T, Type> method(engine_.get());
    xmlrpc_c::paramList params;
    params.add(xmlrpc_c::value_string(address));
    return xmlrpc_c::value_struct(call(method, params)).cvalue();
  }

  std::uint32_t plcPair(std::uint32_t word) {
    return static_cast<std::uint32_t>(plc_->word("DM", word + 1)) << 16 |
           plc_->word("DM", word);
  }

  std::ostringstream log_;
  std::streambuf* savedCout_ = nullptr;
  std::unique_ptr<plcsim::PlcSimulator> plc_;
  std::unique_ptr<exiosim::ExioSimulator> exio_;
  std::unique_ptr<FinsExIO> engine_;
};

TEST_F(MethodsTest, FloatWritesRoundEveryDoubleToTheNearestFloat) {
  connect();
  const double largest = std::numeric_limits<float>::max();
  const double halfUlp = std::ldexp(1.0, 103);
  struct Case {
    double value;
    std::uint32_t bits;
  } cases[] = {
      {1.5, 0x3FC00000u},
      {0.1, bitsOf(0.1f)},
      {largest, 0x7F7FFFFFu},
      {largest + halfUlp / 2, 0x7F7FFFFFu},
      {largest + halfUlp, 0x7F800000u},  // a tie goes to the even 2^128
      {1e300, 0x7F800000u},
      {-1e300, 0xFF800000u},
      {1e-46, 0x00000000u},
      {1.5e-45, 0x00000001u},  // the smallest subnormal float
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    ASSERT_EQ((write<float, Float>("DM100", xmlrpc_c::value_double(c.value))),
              0);
    EXPECT_EQ(plcPair(100), c.bits);
  }
  ASSERT_EQ((write<float, Float>(
                "DM100", xmlrpc_c::value_double(
                             std::numeric_limits<double>::quiet_NaN()))),
            0);
  EXPECT_TRUE(std::isnan(
      [&] {
        const std::uint32_t bits = plcPair(100);
        float f;
        std::memcpy(&f, &bits, sizeof(f));
        return f;
      }()));
}

TEST_F(MethodsTest, IntegerWritesKeepTheLowBits) {
  connect();
  EXPECT_EQ((write<short, Int16>("DM10", xmlrpc_c::value_int(70000))), 0);
  EXPECT_EQ(plc_->word("DM", 10), 4464);
  EXPECT_EQ((write<unsigned short, Uint16>("DM11", xmlrpc_c::value_int(-1))),
            0);
  EXPECT_EQ(plc_->word("DM", 11), 0xFFFF);
  EXPECT_EQ((write<short, SBCD16_2>("DM12", xmlrpc_c::value_int(-5))), 0);
  EXPECT_EQ(plc_->word("DM", 12), 0xF005);
  EXPECT_EQ((write<unsigned int, Uint32>(
                "DM20", xmlrpc_c::value_int(std::numeric_limits<int>::min()))),
            0);
  EXPECT_EQ(plcPair(20), 0x80000000u);
}

TEST_F(MethodsTest, NonFiniteValuesReadFromThePlcAreFaults) {
  connect();
  plc_->setWord("DM", 31, 0x7F80);  // +infinity as a float at DM30
  EXPECT_THROW((read<float, Float>("DM30")), xmlrpc_c::fault);
  plc_->setWord("DM", 43, 0x7FF8);  // a double NaN at DM40
  EXPECT_THROW((read<double, Double>("DM40")), xmlrpc_c::fault);
  plc_->setWord("DM", 43, 0x4000);  // 2.0
  EXPECT_EQ(
      xmlrpc_c::value_double((read<double, Double>("DM40"))["value"]).cvalue(),
      2.0);
}

TEST_F(MethodsTest, ReadsCarryStateAndValue) {
  connect();
  plc_->setWord("DM", 50, 0x0000);
  plc_->setWord("DM", 51, 0x8000);
  auto answer = read<unsigned int, Uint32>("DM50");
  EXPECT_EQ(xmlrpc_c::value_int(answer["state"]).cvalue(), 0);
  EXPECT_EQ(xmlrpc_c::value_int(answer["value"]).cvalue(),
            std::numeric_limits<int>::min());

  plc_->setWord("W", 5, 0x0004);
  plc_->setForced("W", 5, 0x0004);
  answer = read<FinsExIO::BitForce, BitForced>("W5.2");
  const std::vector<xmlrpc_c::value> pair =
      xmlrpc_c::value_array(answer["value"]).vectorValueValue();
  ASSERT_EQ(pair.size(), 2u);
  EXPECT_TRUE(xmlrpc_c::value_boolean(pair[0]).cvalue());
  EXPECT_TRUE(xmlrpc_c::value_boolean(pair[1]).cvalue());
}

TEST_F(MethodsTest, MissingOrMistypedParametersNeverReachTheEngine) {
  connect();
  FinsmemoryAreaWrite<bool, Bit> writeBit(engine_.get());
  xmlrpc_c::paramList params;
  params.add(xmlrpc_c::value_string("W1.0"));
  params.add(xmlrpc_c::value_int(1));
  EXPECT_ANY_THROW(call(writeBit, params));
  EXPECT_FALSE(plc_->bit("W", 1, 0));

  FINS::METHOD::AddMapping addMapping(engine_.get());
  xmlrpc_c::paramList four;
  four.add(xmlrpc_c::value_string("DM1"));
  four.add(xmlrpc_c::value_string("in1"));
  four.add(xmlrpc_c::value_string(""));
  four.add(xmlrpc_c::value_int(1));
  EXPECT_ANY_THROW(call(addMapping, four));
  four.add(xmlrpc_c::value_int(0));
  EXPECT_TRUE(xmlrpc_c::value_boolean(call(addMapping, four)).cvalue());
  EXPECT_TRUE(waitFor([&] { return engine_->getMapDirection("in1") == 0; }));
}

TEST_F(MethodsTest, DisconnectStartsOneWorkerAtATimeAndCanRunAgain) {
  connect();
  FINS::METHOD::FinsDisconnect disconnect(engine_.get());
  EXPECT_EQ(xmlrpc_c::value_int(call(disconnect, xmlrpc_c::paramList()))
                .cvalue(),
            0);
  EXPECT_EQ(xmlrpc_c::value_int(call(disconnect, xmlrpc_c::paramList()))
                .cvalue(),
            0);
  ASSERT_TRUE(waitFor([&] { return engine_->getState() == 1; }));
  connect();
  // Had the busy flag stayed set, this would start nothing.
  EXPECT_EQ(xmlrpc_c::value_int(call(disconnect, xmlrpc_c::paramList()))
                .cvalue(),
            0);
  EXPECT_TRUE(waitFor([&] { return engine_->getState() == 1; }));
}

TEST_F(MethodsTest, CpuUnitDataReadAnswersTheEnginesRecord) {
  FINS::METHOD::FinsCPUUnitDataRead method(engine_.get());
  auto members =
      xmlrpc_c::value_struct(call(method, xmlrpc_c::paramList())).cvalue();
  EXPECT_EQ(members.size(), 16u);
  EXPECT_EQ(xmlrpc_c::value_string(members["model"]).cvalue(), "");
  connect();
  members =
      xmlrpc_c::value_struct(call(method, xmlrpc_c::paramList())).cvalue();
  EXPECT_EQ(xmlrpc_c::value_string(members["model"]).cvalue(), "CJ2M-CPU33");
  EXPECT_EQ(
      xmlrpc_c::value_array(members["system_block"]).vectorValueValue().size(),
      40u);
}

// The background work of one client's calls takes effect in the order the
// calls were answered: an add answered before a remove never outlives it.
TEST_F(MethodsTest, AddThenRemoveOfOneNameNeverLeavesTheMapping) {
  FINS::METHOD::AddMapping add(engine_.get());
  FINS::METHOD::RemoveMapping remove(engine_.get());
  for (int round = 0; round < 200; ++round) {
    xmlrpc_c::paramList addParams;
    addParams.add(xmlrpc_c::value_string("DM100"))
        .add(xmlrpc_c::value_string("in5"))
        .add(xmlrpc_c::value_string(""))
        .add(xmlrpc_c::value_int(Int16))
        .add(xmlrpc_c::value_int(FinsExIO::PlcToRobot));
    call(add, addParams);
    xmlrpc_c::paramList removeParams;
    removeParams.add(xmlrpc_c::value_string("in5"));
    call(remove, removeParams);
  }
  FINS::METHOD::flushEngineWork();
  EXPECT_TRUE(engine_->getMapping().empty());
}

}  // namespace
