// ExternIOClient against the external IO simulator over real loopback.

#include "robotio/extern_io_client.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "tests/robotio/log_records.h"
#include "tools/exio-sim/exio_sim.h"

namespace {

using robotio_test::LogRecord;
using robotio_test::recordsOf;

const char kOwner[] = "FINS_EX_IO";

std::unique_ptr<exiosim::ExioSimulator> startedSimulator() {
  exiosim::Options options;
  options.port = 0;
  auto sim = std::make_unique<exiosim::ExioSimulator>(options);
  std::string error;
  EXPECT_TRUE(sim->start(&error)) << error;
  return sim;
}

// Checks one record's level, function and message; `message_prefix` must
// start the message and, when `detail_follows`, be followed by a non-empty
// detail text.
void expectRecord(const LogRecord& record, const std::string& level,
                  const std::string& function,
                  const std::string& message_prefix,
                  bool detail_follows = false) {
  EXPECT_EQ(record.level, level) << record;
  EXPECT_EQ(record.function, function) << record;
  EXPECT_GT(record.line, 0) << record;
  if (detail_follows) {
    EXPECT_EQ(record.message.compare(0, message_prefix.size(), message_prefix),
              0)
        << record;
    EXPECT_GT(record.message.size(), message_prefix.size()) << record;
  } else {
    EXPECT_EQ(record.message, message_prefix) << record;
  }
}

class ExternIOClientTest : public testing::Test {
 protected:
  void SetUp() override {
    sim_ = startedSimulator();
    client_ = std::make_unique<ExternIOClient>(sim_->url());
  }

  // The client goes first: with no connection held the simulator stops at
  // once.
  void TearDown() override {
    client_.reset();
    sim_.reset();
  }

  // Claims the registers with a client of its own, so that `client_` has
  // opened no connection yet and the claim's records stay out of the test.
  void claimWithOtherClient(const std::string& owner, int type, int index) {
    ExternIOClient other(sim_->url());
    recordsOf([&] { ASSERT_TRUE(other.occupyInput(owner, type, index)); });
  }

  std::unique_ptr<exiosim::ExioSimulator> sim_;
  std::unique_ptr<ExternIOClient> client_;
};

TEST_F(ExternIOClientTest, OccupyInputClaimsRegisterAndLogsInfo) {
  bool occupied = false;
  auto records =
      recordsOf([&] { occupied = client_->occupyInput(kOwner, 1, 3); });
  EXPECT_TRUE(occupied);
  EXPECT_EQ(sim_->owner(1, 3), kOwner);
  ASSERT_EQ(records.size(), 1u);
  expectRecord(records[0], "INFO", "occupyInput",
               "FINS_EX_IO occupy vorl register. type: 1, index: 3");
}

TEST_F(ExternIOClientTest, OccupyInputHeldByOtherOwnerAnswersFalseWithInfo) {
  claimWithOtherClient("ROBOT_PROGRAM", 2, 8);
  bool occupied = true;
  auto records =
      recordsOf([&] { occupied = client_->occupyInput(kOwner, 2, 8); });
  EXPECT_FALSE(occupied);
  EXPECT_EQ(sim_->owner(2, 8), "ROBOT_PROGRAM");
  ASSERT_EQ(records.size(), 1u);
  expectRecord(records[0], "INFO", "occupyInput",
               "FINS_EX_IO occupy vorl register. type: 2, index: 8");
}

TEST_F(ExternIOClientTest, OccupyInputRefusedByServiceAnswersFalseWithInfo) {
  sim_->setRefuseClaims(true);
  bool occupied = true;
  auto records =
      recordsOf([&] { occupied = client_->occupyInput(kOwner, 0, 0); });
  EXPECT_FALSE(occupied);
  EXPECT_EQ(sim_->owner(0, 0), "");
  ASSERT_EQ(records.size(), 1u);
  expectRecord(records[0], "INFO", "occupyInput",
               "FINS_EX_IO occupy vorl register. type: 0, index: 0");
}

TEST_F(ExternIOClientTest, OccupyInputAnsweredWithIntLogsErrorAndNoInfo) {
  sim_->setWrongResultType(true);
  bool occupied = true;
  auto records =
      recordsOf([&] { occupied = client_->occupyInput(kOwner, 1, 3); });
  EXPECT_FALSE(occupied);
  ASSERT_EQ(records.size(), 1u);
  expectRecord(records[0], "ERROR", "occupyInput",
               "EX-IO client type:1 index:3 detail: ", true);
}

TEST_F(ExternIOClientTest, ReleaseInputFreesRegisterAfterWarning) {
  claimWithOtherClient(kOwner, 2, 7);
  auto records = recordsOf([&] { client_->releaseInput(kOwner, 2, 7); });
  EXPECT_EQ(sim_->owner(2, 7), "");
  ASSERT_EQ(records.size(), 1u);
  expectRecord(records[0], "WARNING", "releaseInput",
               "FINS_EX_IO release vorl register. type: 2, index: 7");
}

TEST_F(ExternIOClientTest, ReleaseInputWithServiceDownWarnsBeforeError) {
  sim_->stop();
  auto records = recordsOf([&] { client_->releaseInput(kOwner, 2, 7); });
  ASSERT_EQ(records.size(), 2u);
  expectRecord(records[0], "WARNING", "releaseInput",
               "FINS_EX_IO release vorl register. type: 2, index: 7");
  expectRecord(records[1], "ERROR", "releaseInput",
               "EX-IO client type:2 index:7 detail: ", true);
}

TEST_F(ExternIOClientTest, GetOutputsReturnRegistersWithoutLogging) {
  sim_->setOutputBool(4, true);
  sim_->setOutputInt(5, -42);
  sim_->setOutputDouble(6, 2.5);
  auto records = recordsOf([&] {
    EXPECT_TRUE(client_->getOutputBoolData(4));
    EXPECT_EQ(client_->getOutputIntData(5), -42);
    EXPECT_EQ(client_->getOutputDoubleData(6), 2.5);
    EXPECT_FALSE(client_->getOutputBoolData(5));
  });
  EXPECT_TRUE(records.empty());
}

TEST_F(ExternIOClientTest, SetInputsWriteHeldRegistersWithoutLogging) {
  claimWithOtherClient(kOwner, 0, 4);
  claimWithOtherClient(kOwner, 1, 5);
  claimWithOtherClient(kOwner, 2, 6);
  auto records = recordsOf([&] {
    EXPECT_TRUE(client_->setInputBoolData(kOwner, 4, true));
    EXPECT_TRUE(client_->setInputIntData(kOwner, 5, -7));
    EXPECT_TRUE(client_->setInputDoubleData(kOwner, 6, 1.25));
  });
  EXPECT_TRUE(records.empty());
  EXPECT_TRUE(sim_->inputBool(4));
  EXPECT_EQ(sim_->inputInt(5), -7);
  EXPECT_EQ(sim_->inputDouble(6), 1.25);
}

TEST_F(ExternIOClientTest, SetInputDoubleRefusesValuesXmlRpcCannotCarry) {
  claimWithOtherClient(kOwner, 2, 6);
  ASSERT_TRUE(client_->setInputDoubleData(kOwner, 6, 0.5));
  for (double odd : {std::numeric_limits<double>::infinity(),
                     -std::numeric_limits<double>::infinity(),
                     std::numeric_limits<double>::quiet_NaN()}) {
    bool written = true;
    auto records = recordsOf(
        [&] { written = client_->setInputDoubleData(kOwner, 6, odd); });
    EXPECT_FALSE(written);
    ASSERT_EQ(records.size(), 1u);
    expectRecord(records[0], "ERROR", "setInputDoubleData",
                 "EX-IO client index:6 detail: ", true);
  }
  EXPECT_EQ(sim_->inputDouble(6), 0.5);
  EXPECT_TRUE(client_->setInputDoubleData(kOwner, 6, 2.0));
}

TEST_F(ExternIOClientTest, SetInputRefusedByServiceAnswersFalseWithoutLogging) {
  claimWithOtherClient("ROBOT_PROGRAM", 1, 5);
  bool written = true;
  auto records =
      recordsOf([&] { written = client_->setInputIntData(kOwner, 5, 9); });
  EXPECT_FALSE(written);
  EXPECT_EQ(sim_->inputInt(5), 0);
  EXPECT_TRUE(records.empty());
}

TEST_F(ExternIOClientTest, IsInputInUseFollowsClaims) {
  auto records = recordsOf([&] { EXPECT_FALSE(client_->isInputInUse()); });
  EXPECT_TRUE(records.empty());
  claimWithOtherClient(kOwner, 1, 1);
  EXPECT_TRUE(client_->isInputInUse());
}

TEST_F(ExternIOClientTest, ControllerAnsweredFalseStillMeansServiceRuns) {
  sim_->setControllerConnected(false);
  auto records = recordsOf([&] {
    EXPECT_FALSE(client_->isConnectController());
    EXPECT_TRUE(client_->isExIORunning());
  });
  EXPECT_TRUE(records.empty());
  sim_->setControllerConnected(true);
  EXPECT_TRUE(client_->isConnectController());
}

TEST_F(ExternIOClientTest, FaultAnsweredForIndexOutOfRangeLogsServiceText) {
  int value = -1;
  auto records = recordsOf([&] { value = client_->getOutputIntData(100); });
  EXPECT_EQ(value, 0);
  ASSERT_EQ(records.size(), 1u);
  expectRecord(records[0], "ERROR", "getOutputIntData",
               "EX-IO client index:100 detail: ", true);
  EXPECT_NE(records[0].message.find("register index 100 outside 0..99"),
            std::string::npos)
      << records[0];
}

TEST_F(ExternIOClientTest, KeepsOneConnectionForManyCalls) {
  for (int i = 0; i < 50; ++i) ASSERT_TRUE(client_->isExIORunning());
  EXPECT_EQ(sim_->connectionsSeen(), 1u);
}

TEST_F(ExternIOClientTest, RecoversWhenServiceStopsAndStartsAgain) {
  sim_->setOutputInt(2, 17);
  ASSERT_EQ(client_->getOutputIntData(2), 17);
  const int port = sim_->port();

  sim_->stop();
  int value = -1;
  auto records = recordsOf([&] {
    EXPECT_FALSE(client_->isExIORunning());
    value = client_->getOutputIntData(2);
  });
  EXPECT_EQ(value, 0);
  ASSERT_EQ(records.size(), 1u);
  expectRecord(records[0], "ERROR", "getOutputIntData",
               "EX-IO client index:2 detail: ", true);

  std::string error;
  ASSERT_TRUE(sim_->start(&error)) << error;
  ASSERT_EQ(sim_->port(), port);
  EXPECT_TRUE(client_->isExIORunning());
  EXPECT_EQ(client_->getOutputIntData(2), 17);
}

TEST_F(ExternIOClientTest,
       UnansweredCallReturnsNeutralWithinAboutThreeSeconds) {
  sim_->setOutputInt(5, 42);
  sim_->setHang(true);
  int value = -1;
  const auto start = std::chrono::steady_clock::now();
  auto records = recordsOf([&] { value = client_->getOutputIntData(5); });
  const auto elapsed = std::chrono::steady_clock::now() - start;

  EXPECT_EQ(value, 0);
  // The call reached the service and is still held there: it ended by the
  // client's time-out, not by a refused connection.
  EXPECT_EQ(sim_->hungCalls(), 1);
  EXPECT_LT(elapsed, std::chrono::seconds(5));
  ASSERT_EQ(records.size(), 1u);
  expectRecord(records[0], "ERROR", "getOutputIntData",
               "EX-IO client index:5 detail: ", true);

  sim_->setHang(false);
  EXPECT_EQ(client_->getOutputIntData(5), 42);
}

TEST_F(ExternIOClientTest, UnansweredProbeReturnsFalseSilently) {
  sim_->setHang(true);
  bool running = true;
  const auto start = std::chrono::steady_clock::now();
  auto records = recordsOf([&] { running = client_->isExIORunning(); });
  const auto elapsed = std::chrono::steady_clock::now() - start;

  EXPECT_FALSE(running);
  EXPECT_EQ(sim_->hungCalls(), 1);
  EXPECT_LT(elapsed, std::chrono::seconds(5));
  EXPECT_TRUE(records.empty());

  sim_->setHang(false);
  EXPECT_TRUE(client_->isExIORunning());
}

TEST_F(ExternIOClientTest, DoublesCrossBitExactlyBothWays) {
  claimWithOtherClient(kOwner, 2, 9);
  std::mt19937_64 random(7);
  const auto bits = [](double d) {
    uint64_t u;
    std::memcpy(&u, &d, sizeof(u));
    return u;
  };
  int wrong = 0;
  for (int i = 0; i < 10000 && wrong < 5; ++i) {
    const uint64_t pattern = random();
    double d;
    std::memcpy(&d, &pattern, sizeof(d));
    if (!std::isfinite(d)) continue;
    ASSERT_TRUE(client_->setInputDoubleData(kOwner, 9, d));
    sim_->setOutputDouble(9, d);
    const double written = sim_->inputDouble(9);
    const double read = client_->getOutputDoubleData(9);
    if (bits(written) != pattern || bits(read) != pattern) {
      ++wrong;
      ADD_FAILURE() << std::hexfloat << "sent " << d << ", service holds "
                    << written << ", read back " << read;
    }
  }
}

// ---- Every operation under each kind of failure.

enum class Failure { kServiceDown, kWrongResultType, kFaultAnswered };

std::string failureName(const testing::TestParamInfo<Failure>& info) {
  switch (info.param) {
    case Failure::kServiceDown:
      return "ServiceDown";
    case Failure::kWrongResultType:
      return "WrongResultType";
    case Failure::kFaultAnswered:
      return "FaultAnswered";
  }
  return "Unknown";
}

struct Operation {
  std::string function;
  // Runs the operation and renders its result ("" for none).
  std::function<std::string(ExternIOClient&)> run;
  std::string neutral;
  // Start of the ERROR message, before the exception's text.
  std::string error_prefix;
  bool warns_first;
};

std::string text(bool b) { return b ? "true" : "false"; }
std::string text(int i) { return std::to_string(i); }
std::string text(double d) {
  std::ostringstream out;
  out << d;
  return out.str();
}

std::vector<Operation> allOperations() {
  const std::string typed = "EX-IO client type:1 index:5 detail: ";
  const std::string indexed = "EX-IO client index:5 detail: ";
  return {
      {"occupyInput",
       [](ExternIOClient& c) { return text(c.occupyInput(kOwner, 1, 5)); },
       "false", typed, false},
      {"releaseInput",
       [](ExternIOClient& c) {
         c.releaseInput(kOwner, 1, 5);
         return std::string();
       },
       "", typed, true},
      {"getOutputBoolData",
       [](ExternIOClient& c) { return text(c.getOutputBoolData(5)); }, "false",
       indexed, false},
      {"getOutputIntData",
       [](ExternIOClient& c) { return text(c.getOutputIntData(5)); }, "0",
       indexed, false},
      {"getOutputDoubleData",
       [](ExternIOClient& c) { return text(c.getOutputDoubleData(5)); }, "0",
       indexed, false},
      {"setInputBoolData",
       [](ExternIOClient& c) {
         return text(c.setInputBoolData(kOwner, 5, true));
       },
       "false", indexed, false},
      {"setInputIntData",
       [](ExternIOClient& c) { return text(c.setInputIntData(kOwner, 5, 9)); },
       "false", indexed, false},
      {"setInputDoubleData",
       [](ExternIOClient& c) {
         return text(c.setInputDoubleData(kOwner, 5, 1.5));
       },
       "false", indexed, false},
      {"isInputInUse", [](ExternIOClient& c) { return text(c.isInputInUse()); },
       "false", "EX-IO client ", false},
      {"isConnectController",
       [](ExternIOClient& c) { return text(c.isConnectController()); }, "false",
       "EX-IO client ", false},
  };
}

class ExternIOClientFailureTest : public ExternIOClientTest,
                                  public testing::WithParamInterface<Failure> {
 protected:
  // Sets the service up so that every operation would answer something
  // other than its neutral result, then breaks it the way the parameter
  // says.
  void SetUp() override {
    ExternIOClientTest::SetUp();
    sim_->setOutputBool(5, true);
    sim_->setOutputInt(5, 42);
    sim_->setOutputDouble(5, 2.5);
    claimWithOtherClient(kOwner, 0, 5);
    claimWithOtherClient(kOwner, 1, 5);
    claimWithOtherClient(kOwner, 2, 5);
    switch (GetParam()) {
      case Failure::kServiceDown:
        sim_->stop();
        break;
      case Failure::kWrongResultType:
        sim_->setWrongResultType(true);
        break;
      case Failure::kFaultAnswered:
        sim_->setAnswerFaults(true);
        break;
    }
  }
};

TEST_P(ExternIOClientFailureTest, EveryOperationLogsErrorAndReturnsNeutral) {
  for (const Operation& op : allOperations()) {
    SCOPED_TRACE(op.function);
    std::string result;
    auto records = recordsOf([&] { result = op.run(*client_); });
    EXPECT_EQ(result, op.neutral);
    ASSERT_EQ(records.size(), op.warns_first ? 2u : 1u);
    expectRecord(records.back(), "ERROR", op.function, op.error_prefix, true);
    if (GetParam() == Failure::kFaultAnswered) {
      EXPECT_NE(records.back().message.find("injected fault"),
                std::string::npos)
          << records.back();
    }
  }
}

TEST_P(ExternIOClientFailureTest, ProbeReturnsFalseSilently) {
  bool running = true;
  auto records = recordsOf([&] { running = client_->isExIORunning(); });
  EXPECT_FALSE(running);
  EXPECT_TRUE(records.empty());
}

TEST_P(ExternIOClientFailureTest, ClientWorksAgainOnceServiceIsSound) {
  recordsOf([&] { client_->getOutputIntData(5); });
  sim_->setWrongResultType(false);
  sim_->setAnswerFaults(false);
  std::string error;
  ASSERT_TRUE(sim_->start(&error)) << error;
  EXPECT_EQ(client_->getOutputIntData(5), 42);
}

INSTANTIATE_TEST_SUITE_P(AllFailures, ExternIOClientFailureTest,
                         testing::Values(Failure::kServiceDown,
                                         Failure::kWrongResultType,
                                         Failure::kFaultAnswered),
                         failureName);

// ---- The default endpoint.

TEST(ExternIOClientDefaultEndpoint, TalksToLoopbackPort9602) {
  exiosim::Options options;
  options.port = 9602;
  exiosim::ExioSimulator sim(options);
  std::string error;
  if (!sim.start(&error)) GTEST_SKIP() << "port 9602 not free: " << error;
  {
    ExternIOClient client;
    EXPECT_TRUE(client.isExIORunning());
  }
  EXPECT_EQ(sim.callsAnswered(), 1u);
}

}  // namespace
