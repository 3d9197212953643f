// ExternIOClient's batches against the external IO simulator, with
// system.multicall offered, refused, lost at run time, and a hung service.

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "robotio/extern_io_client.h"
#include "tests/robotio/log_records.h"
#include "tests/robotio/scripted_server.h"
#include "tools/exio-sim/exio_sim.h"

namespace {

using robotio_test::LogRecord;
using robotio_test::recordsOf;
using Call = ExternIOClient::RegisterCall;
using Outcome = ExternIOClient::Outcome;

const char kOwner[] = "FINS_EX_IO";
const char kInUse[] = "EX-IO multicall in use";
const char kNotOffered[] = "EX-IO multicall not offered, one call per register";

// Polls `condition` until it holds or about 10 seconds have passed.
template <typename Condition>
bool eventually(Condition condition) {
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

size_t countMessages(const std::vector<LogRecord>& records,
                     const std::string& prefix) {
  size_t n = 0;
  for (const LogRecord& r : records) {
    if (r.message.compare(0, prefix.size(), prefix) == 0) ++n;
  }
  return n;
}

class BatchTest : public testing::Test {
 protected:
  void start(bool offerMulticall,
             std::chrono::milliseconds timeout = std::chrono::milliseconds(
                 ExternIOClient::kDefaultCallTimeoutMs)) {
    exiosim::Options options;
    options.port = 0;
    options.offerMulticall = offerMulticall;
    sim_ = std::make_unique<exiosim::ExioSimulator>(options);
    std::string error;
    ASSERT_TRUE(sim_->start(&error)) << error;
    client_ = std::make_unique<ExternIOClient>(sim_->url(), timeout);
  }

  // The client goes first: with no connection held the simulator stops at
  // once.
  void TearDown() override {
    if (sim_) sim_->setHang(false);
    client_.reset();
    sim_.reset();
  }

  // A batch of every kind, against registers set up to give known answers;
  // the last write is to a register nobody claimed, so it is refused.
  std::vector<Call> mixedBatch() {
    sim_->setOutputBool(6, true);
    sim_->setOutputInt(3, -7);
    sim_->setOutputDouble(4, 0.1 + 0.2);
    return {Call::claimInput(1, 5),       Call::writeInputInt(5, 42),
            Call::readOutputBool(6),      Call::readOutputInt(3),
            Call::readOutputDouble(4),    Call::writeInputDouble(8, 1.5)};
  }

  void expectMixedResults(const std::vector<Call>& calls) {
    ASSERT_EQ(calls.size(), 6u);
    EXPECT_EQ(calls[0].outcome, Outcome::kAnswered);
    EXPECT_EQ(calls[1].outcome, Outcome::kAnswered);
    EXPECT_EQ(sim_->inputInt(5), 42);
    EXPECT_EQ(calls[2].outcome, Outcome::kAnswered);
    EXPECT_TRUE(calls[2].boolValue);
    EXPECT_EQ(calls[3].outcome, Outcome::kAnswered);
    EXPECT_EQ(calls[3].intValue, -7);
    EXPECT_EQ(calls[4].outcome, Outcome::kAnswered);
    EXPECT_EQ(calls[4].doubleValue, 0.1 + 0.2);  // bit for bit
    EXPECT_EQ(calls[5].outcome, Outcome::kRejected);
    EXPECT_EQ(sim_->inputDouble(8), 0.0);
  }

  std::unique_ptr<exiosim::ExioSimulator> sim_;
  std::unique_ptr<ExternIOClient> client_;
};

TEST_F(BatchTest, MulticallAnswersTheWholeBatchInOneRequest) {
  start(true);
  std::vector<LogRecord> records =
      recordsOf([&] { EXPECT_TRUE(client_->probeMulticall()); });
  EXPECT_EQ(countMessages(records, kInUse), 1u);
  EXPECT_TRUE(client_->multicallInUse());

  std::vector<Call> calls = mixedBatch();
  const uint64_t requests = sim_->requestsAnswered();
  const uint64_t answered = sim_->callsAnswered();
  records = recordsOf([&] { client_->callRegisters(kOwner, calls); });
  EXPECT_EQ(sim_->requestsAnswered() - requests, 1u);
  EXPECT_EQ(sim_->callsAnswered() - answered, calls.size());
  expectMixedResults(calls);
  // The claim's record, as occupyInput writes it; nothing else.
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].function, "occupyInput");
}

TEST_F(BatchTest, RefusedMulticallFallsBackToSingleCallsWithSameResults) {
  start(false);
  std::vector<Call> calls = mixedBatch();
  const uint64_t requests = sim_->requestsAnswered();
  const std::vector<LogRecord> records =
      recordsOf([&] { client_->callRegisters(kOwner, calls); });
  // The trial multicall, then one request per element.
  EXPECT_EQ(sim_->requestsAnswered() - requests, 1 + calls.size());
  expectMixedResults(calls);
  EXPECT_EQ(countMessages(records, kNotOffered), 1u);
  EXPECT_FALSE(client_->multicallInUse());

  // Decided: the next batch asks no more.
  std::vector<Call> again = {Call::readOutputInt(3)};
  const uint64_t before = sim_->requestsAnswered();
  recordsOf([&] { client_->callRegisters(kOwner, again); });
  EXPECT_EQ(sim_->requestsAnswered() - before, 1u);
  EXPECT_EQ(again[0].outcome, Outcome::kAnswered);
}

TEST_F(BatchTest, FailingElementFailsAloneAndLogsAsItsSingleCall) {
  start(true);
  recordsOf([&] { ASSERT_TRUE(client_->probeMulticall()); });
  sim_->setFailingRegister(exiosim::kIntBank, 3, true);
  sim_->setOutputInt(2, 20);
  sim_->setOutputInt(4, 40);
  std::vector<Call> calls = {
      Call::readOutputInt(2), Call::readOutputInt(3), Call::readOutputInt(4),
      Call::writeInputDouble(1, std::numeric_limits<double>::quiet_NaN())};
  const uint64_t answered = sim_->callsAnswered();
  const std::vector<LogRecord> records =
      recordsOf([&] { client_->callRegisters(kOwner, calls); });
  EXPECT_EQ(calls[0].outcome, Outcome::kAnswered);
  EXPECT_EQ(calls[0].intValue, 20);
  EXPECT_EQ(calls[1].outcome, Outcome::kFault);
  EXPECT_EQ(calls[2].outcome, Outcome::kAnswered);
  EXPECT_EQ(calls[2].intValue, 40);
  EXPECT_EQ(calls[3].outcome, Outcome::kFault);  // never sent
  EXPECT_EQ(sim_->callsAnswered() - answered, 3u);
  EXPECT_TRUE(client_->multicallInUse());
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].level, "ERROR");
  EXPECT_EQ(records[0].function, "writeInputDouble");
  EXPECT_EQ(records[1].level, "ERROR");
  EXPECT_EQ(records[1].function, "readOutputInt");
  EXPECT_EQ(records[1].message.rfind("EX-IO client index:3 detail: fault ", 0),
            0u)
      << records[1];
}

TEST_F(BatchTest, LongBatchIsSplitIntoBoundedMulticalls) {
  start(true);
  recordsOf([&] { ASSERT_TRUE(client_->probeMulticall()); });
  std::vector<Call> calls;
  const size_t n = 2 * ExternIOClient::kMaxMulticallElements + 1;
  for (size_t i = 0; i < n; ++i) {
    calls.push_back(Call::readOutputInt(static_cast<int>(i % 100)));
  }
  sim_->setOutputInt(99, 9);
  const uint64_t requests = sim_->requestsAnswered();
  client_->callRegisters(kOwner, calls);
  EXPECT_EQ(sim_->requestsAnswered() - requests, 3u);
  for (const Call& c : calls) ASSERT_EQ(c.outcome, Outcome::kAnswered);
  EXPECT_EQ(calls[n - 2].intValue, 9);
}

TEST_F(BatchTest, MulticallLostAtRunTimeKeepsTheExchange) {
  start(true);
  recordsOf([&] { ASSERT_TRUE(client_->probeMulticall()); });
  sim_->setOfferMulticall(false);
  std::vector<Call> calls = mixedBatch();
  const std::vector<LogRecord> records =
      recordsOf([&] { client_->callRegisters(kOwner, calls); });
  expectMixedResults(calls);
  EXPECT_EQ(countMessages(records, kNotOffered), 1u);
  EXPECT_FALSE(client_->multicallInUse());

  std::vector<Call> next = {Call::readOutputInt(3), Call::readOutputBool(6)};
  const uint64_t requests = sim_->requestsAnswered();
  client_->callRegisters(kOwner, next);
  EXPECT_EQ(sim_->requestsAnswered() - requests, next.size());
  EXPECT_EQ(next[0].intValue, -7);
  EXPECT_TRUE(next[1].boolValue);
}

TEST_F(BatchTest, ServiceFoundRunningAgainIsAskedAfresh) {
  start(false);
  std::vector<Call> calls = {Call::readOutputInt(0)};
  recordsOf([&] { client_->callRegisters(kOwner, calls); });
  ASSERT_FALSE(client_->multicallInUse());
  // The service goes away and comes back, now with multicall.
  EXPECT_TRUE(client_->isExIORunning());
  sim_->setAnswerFaults(true);
  EXPECT_FALSE(client_->isExIORunning());
  sim_->setAnswerFaults(false);
  sim_->setOfferMulticall(true);
  EXPECT_TRUE(client_->isExIORunning());
  const std::vector<LogRecord> records =
      recordsOf([&] { client_->callRegisters(kOwner, calls); });
  EXPECT_EQ(countMessages(records, kInUse), 1u);
  EXPECT_TRUE(client_->multicallInUse());
  EXPECT_EQ(calls[0].outcome, Outcome::kAnswered);
}

// A service whose multicall answers are scripted: `probe` for the trial
// multicall, `batch` for every later one; single calls get true.
robotio_test::ScriptedServer::Handler multicallAnswers(std::string probe,
                                                       std::string batch) {
  auto probed = std::make_shared<bool>(false);
  return [=](const std::string& body) {
    using robotio_test::httpOk;
    using robotio_test::xmlResult;
    if (body.find("system.multicall") == std::string::npos) {
      return robotio_test::ScriptedServer::Reply{
          httpOk(xmlResult("<boolean>1</boolean>"))};
    }
    const std::string& value = *probed ? batch : probe;
    *probed = true;
    return robotio_test::ScriptedServer::Reply{
        httpOk(xmlResult("<array><data>" + value + "</data></array>"))};
  };
}

const char kWrappedTrue[] =
    "<value><array><data><value><boolean>1</boolean></value></data></array>"
    "</value>";

TEST(BatchAgainstScriptedService, MiscountedMulticallAnswerFallsBack) {
  robotio_test::ScriptedServer server(
      multicallAnswers(kWrappedTrue, kWrappedTrue));
  ExternIOClient client(server.url());
  std::vector<Call> calls = {Call::readOutputBool(1), Call::readOutputBool(2)};
  const std::vector<LogRecord> records =
      recordsOf([&] { client.callRegisters(kOwner, calls); });
  for (const Call& c : calls) {
    EXPECT_EQ(c.outcome, Outcome::kAnswered);
    EXPECT_TRUE(c.boolValue);
  }
  EXPECT_FALSE(client.multicallInUse());
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].message, kInUse);
  EXPECT_EQ(records[1].message,
            std::string(kNotOffered) +
                ": multicall answer has 1 elements for 2 calls");
}

TEST(BatchAgainstScriptedService, ProbeAnsweredInAnotherFormIsNotOffered) {
  // The bare result, not wrapped in a one-element array.
  robotio_test::ScriptedServer server(
      multicallAnswers("<value><boolean>1</boolean></value>", ""));
  ExternIOClient client(server.url());
  const std::vector<LogRecord> records =
      recordsOf([&] { EXPECT_FALSE(client.probeMulticall()); });
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].message.rfind(kNotOffered, 0), 0u) << records[0];
}

// Both ways of sending a batch: a hung service costs one time-out, and the
// elements not answered are all kTimedOut.
class HungBatchTest : public BatchTest,
                      public testing::WithParamInterface<bool> {};

TEST_P(HungBatchTest, HungServiceCostsOneTimeOut) {
  start(GetParam(), std::chrono::milliseconds(300));
  recordsOf([&] { client_->probeMulticall(); });
  ASSERT_EQ(client_->multicallInUse(), GetParam());
  sim_->setHang(true);
  std::vector<Call> calls = {Call::readOutputInt(1), Call::readOutputInt(2),
                             Call::writeInputInt(3, 3), Call::readOutputBool(4)};
  const std::vector<LogRecord> records =
      recordsOf([&] { client_->callRegisters(kOwner, calls); });
  for (const Call& c : calls) EXPECT_EQ(c.outcome, Outcome::kTimedOut);
  ASSERT_TRUE(eventually([&] { return sim_->hungCalls() >= 1; }));
  EXPECT_EQ(sim_->hungCalls(), 1);
  EXPECT_EQ(countMessages(records, "EX-IO client batch: "), 1u);
  // A time-out is no verdict on multicall.
  EXPECT_EQ(client_->multicallInUse(), GetParam());
}

INSTANTIATE_TEST_SUITE_P(MulticallOnAndOff, HungBatchTest, testing::Bool(),
                         [](const testing::TestParamInfo<bool>& info) {
                           return info.param ? "Multicall" : "SingleCalls";
                         });

}  // namespace
