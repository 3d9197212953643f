// ExternIOClient against a raw server scripted to answer badly: every
// broken answer must fail its one call with the right outcome, and the
// client must work again once the answers are sound.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "robotio/extern_io_client.h"
#include "robotio/http_response.h"
#include "tests/robotio/log_records.h"
#include "tests/robotio/scripted_server.h"

namespace {

using robotio_test::httpOk;
using robotio_test::recordsOf;
using robotio_test::ScriptedServer;
using robotio_test::xmlResult;
using Outcome = ExternIOClient::Outcome;
using Reply = ScriptedServer::Reply;
using Then = ScriptedServer::Reply::Then;

const char kOwner[] = "FINS_EX_IO";
const std::chrono::milliseconds kShortTimeout(300);
// Far above the time-out, so that only a call that hangs can exceed it.
const auto kCeiling = std::chrono::seconds(10);

const std::string kTrue = httpOk(xmlResult("<boolean>1</boolean>"));

// Answers the requests in turn with `replies`; once they run out, with
// kTrue.
ScriptedServer::Handler inTurn(std::vector<Reply> replies) {
  auto next = std::make_shared<size_t>(0);
  return [replies, next](const std::string&) {
    return *next < replies.size() ? replies[(*next)++] : Reply{kTrue};
  };
}

// One boolean read, its log records swallowed. Every sound answer here is
// true, so false is a failure; the call statistics tell a time-out.
Outcome readBool(ExternIOClient& client) {
  const uint64_t timeouts = client.callStats().timeouts;
  bool value = false;
  recordsOf([&] { value = client.getOutputBoolData(1); });
  if (value) return Outcome::kAnswered;
  return client.callStats().timeouts > timeouts ? Outcome::kTimedOut
                                                : Outcome::kNoAnswer;
}

std::string bits(double d) {
  uint64_t u;
  std::memcpy(&u, &d, sizeof(u));
  char text[64];
  std::snprintf(text, sizeof(text), "%016llx (%.17g)",
                static_cast<unsigned long long>(u), d);
  return text;
}

TEST(MisbehavingService, FoldedHeaderAfterSoundAnswerFailsOnlyThatCall) {
  ScriptedServer server(
      inTurn({{kTrue}, {"HTTP/1.1 200 OK\r\n x: y\r\n\r\n", Then::kHold}}));
  ExternIOClient client(server.url(), kShortTimeout);
  EXPECT_EQ(readBool(client), Outcome::kAnswered);
  EXPECT_EQ(readBool(client), Outcome::kNoAnswer);
  EXPECT_EQ(readBool(client), Outcome::kAnswered);
  EXPECT_EQ(server.connectionsAccepted(), 2);
}

TEST(MisbehavingService, TruncatedBodyIsNoAnswer) {
  const std::string whole = kTrue;
  ScriptedServer server(
      inTurn({{whole.substr(0, whole.size() - 10), Then::kClose}}));
  ExternIOClient client(server.url(), kShortTimeout);
  EXPECT_EQ(readBool(client), Outcome::kNoAnswer);
  EXPECT_EQ(readBool(client), Outcome::kAnswered);
}

TEST(MisbehavingService, HugeContentLengthIsRefusedWithoutWaiting) {
  ScriptedServer server(inTurn(
      {{"HTTP/1.1 200 OK\r\nContent-Length: 99999999999\r\n\r\n<?xml",
        Then::kHold}}));
  // A time-out far above the test's ceiling: only an answer refused at
  // once lets the call end in time.
  ExternIOClient client(server.url(), std::chrono::seconds(60));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(readBool(client), Outcome::kNoAnswer);
  EXPECT_LT(std::chrono::steady_clock::now() - start, kCeiling);
}

TEST(MisbehavingService, GarbageStatusLineIsNoAnswer) {
  ScriptedServer server(
      inTurn({{"\x16\x03\x01 garbage\r\n\r\n", Then::kHold},
              {"HTTP/1.1 500 Internal Server Error\r\nContent-Length: 0\r\n\r\n"}}));
  ExternIOClient client(server.url(), std::chrono::seconds(60));
  EXPECT_EQ(readBool(client), Outcome::kNoAnswer);
  EXPECT_EQ(readBool(client), Outcome::kNoAnswer);
  EXPECT_EQ(readBool(client), Outcome::kAnswered);
}

TEST(MisbehavingService, SilentServiceTimesOutAndLogs) {
  ScriptedServer server(inTurn({{"", Then::kHold}}));
  ExternIOClient client(server.url(), kShortTimeout);
  std::vector<ExternIOClient::RegisterCall> calls = {
      ExternIOClient::RegisterCall::readOutputBool(3)};
  calls[0].boolValue = true;
  const auto start = std::chrono::steady_clock::now();
  // The trial multicall meets the silence: the batch ends with it.
  auto records = recordsOf([&] { client.callRegisters(kOwner, calls); });
  EXPECT_LT(std::chrono::steady_clock::now() - start, kCeiling);
  EXPECT_EQ(calls[0].outcome, Outcome::kTimedOut);
  EXPECT_TRUE(calls[0].boolValue);  // Untouched: nothing was read.
  EXPECT_EQ(client.callStats().timeouts, 1u);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].function, "callRegisters");
  EXPECT_EQ(readBool(client), Outcome::kAnswered);
}

TEST(MisbehavingService, SilentServiceIsGivenUpAfterTwoSeconds) {
  ScriptedServer server(inTurn({{"", Then::kHold}}));
  ExternIOClient client(server.url());  // the engine's own time-out
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(readBool(client), Outcome::kTimedOut);
  const auto tookMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::steady_clock::now() - start)
                          .count();
  EXPECT_GE(tookMs, 2000);
  // Twice the time-out is far outside; a busy machine's lag far inside.
  EXPECT_LT(tookMs, 3500);
}

TEST(MisbehavingService, KeptConnectionClosedWhileIdleIsReopened) {
  // Closes after every answer without saying so.
  ScriptedServer server([](const std::string&) { return Reply{kTrue, Then::kClose}; });
  ExternIOClient client(server.url(), kShortTimeout);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(readBool(client), Outcome::kAnswered);
  EXPECT_EQ(server.connectionsAccepted(), 3);
}

TEST(MisbehavingService, RequestMeetingClosedKeptConnectionIsSentAgain) {
  // The second request reaches the server just as it drops the kept
  // connection: read, then closed unanswered.
  ScriptedServer server(inTurn({{kTrue}, {"", Then::kClose}}));
  ExternIOClient client(server.url(), kShortTimeout);
  EXPECT_EQ(readBool(client), Outcome::kAnswered);
  EXPECT_EQ(readBool(client), Outcome::kAnswered);
  EXPECT_EQ(server.requestsSeen(), 3);
  EXPECT_EQ(server.connectionsAccepted(), 2);
}

TEST(MisbehavingService, FreshConnectionClosedUnansweredIsNotRetried) {
  ScriptedServer server(
      [](const std::string&) { return Reply{"", Then::kClose}; });
  ExternIOClient client(server.url(), kShortTimeout);
  EXPECT_EQ(readBool(client), Outcome::kNoAnswer);
  EXPECT_EQ(server.requestsSeen(), 1);
}

TEST(MisbehavingService, OutcomesTellFaultRejectionAndMalformedXml) {
  const std::string fault = httpOk(
      "<?xml version=\"1.0\"?><methodResponse><fault><value><struct>"
      "<member><name>faultCode</name><value><int>-501</int></value></member>"
      "<member><name>faultString</name><value><string>no</string></value>"
      "</member></struct></value></fault></methodResponse>");
  // The fault first refuses the trial multicall: the writes go singly.
  ScriptedServer server(
      inTurn({{fault},
              {fault},
              {httpOk(xmlResult("<int>1</int>"))},
              {httpOk(xmlResult("<boolean>0</boolean>"))},
              {httpOk("<methodResponse><params>")}}));
  ExternIOClient client(server.url(), kShortTimeout);
  std::vector<ExternIOClient::RegisterCall> writes(
      5, ExternIOClient::RegisterCall::writeInputInt(1, 2));
  recordsOf([&] { client.callRegisters(kOwner, writes); });
  EXPECT_FALSE(client.multicallInUse());
  EXPECT_EQ(writes[0].outcome, Outcome::kFault);
  EXPECT_EQ(writes[1].outcome, Outcome::kFault);
  EXPECT_EQ(writes[2].outcome, Outcome::kRejected);
  EXPECT_EQ(writes[3].outcome, Outcome::kNoAnswer);
  EXPECT_EQ(writes[4].outcome, Outcome::kAnswered);
}

// Random bit patterns cover every exponent; the fixed ones are values an
// inexact parser or a 16-digit formatter gets wrong.
std::vector<double> testDoubles(size_t count) {
  std::vector<double> values = {-0.0,   0.0,  5e-324, -2.2250738585072014e-308,
                                1.7976931348623157e308, 0.30000000000000004,
                                -0.15625, 123456789.125};
  std::mt19937_64 random(20240611);
  while (values.size() < count) {
    const uint64_t pattern = random();
    double d;
    std::memcpy(&d, &pattern, sizeof(d));
    if (std::isfinite(d)) values.push_back(d);
  }
  return values;
}

bool sameBits(double a, double b) { return std::memcmp(&a, &b, sizeof(a)) == 0; }

TEST(MisbehavingService, DoublesWrittenCrossBitExactly) {
  const std::vector<double> values = testDoubles(10000);
  std::atomic<size_t> seen{0};
  std::atomic<int> mismatches{0};
  ScriptedServer server([&](const std::string& body) {
    const size_t i = seen++;
    const size_t at = body.find("<double>");
    const double got =
        at == std::string::npos ? NAN : std::strtod(body.c_str() + at + 8, nullptr);
    if (i >= values.size() || !sameBits(got, values[i])) {
      if (mismatches++ < 5) {
        ADD_FAILURE() << "sent " << bits(i < values.size() ? values[i] : 0)
                      << " in " << body;
      }
    }
    return Reply{kTrue};
  });
  ExternIOClient client(server.url());
  for (double d : values) ASSERT_TRUE(client.setInputDoubleData(kOwner, 2, d));
  EXPECT_EQ(mismatches, 0);
  EXPECT_EQ(seen, values.size());
}

TEST(MisbehavingService, DoublesReadCrossBitExactly) {
  const std::vector<double> values = testDoubles(10000);
  std::atomic<size_t> next{0};
  ScriptedServer server([&](const std::string&) {
    char text[64];
    std::snprintf(text, sizeof(text), "<double>%.17g</double>",
                  values[next++ % values.size()]);
    return Reply{httpOk(xmlResult(text))};
  });
  ExternIOClient client(server.url());
  int mismatches = 0;
  for (double d : values) {
    const double got = client.getOutputDoubleData(2);
    if (!sameBits(got, d) && mismatches++ < 5) {
      ADD_FAILURE() << "answered " << bits(d) << ", read " << bits(got);
    }
  }
  EXPECT_EQ(mismatches, 0);
}

// ---- The answer reader on its own: framing that needs no server.

robotio::HttpResponseReader::State feedAll(robotio::HttpResponseReader* reader,
                                           const std::string& bytes,
                                           size_t step) {
  auto state = reader->state();
  for (size_t at = 0; at < bytes.size(); at += step) {
    state = reader->feed(reinterpret_cast<const uint8_t*>(bytes.data()) + at,
                         std::min(step, bytes.size() - at));
  }
  return state;
}

TEST(HttpResponseReader, AnswerArrivingByteByByteIsRead) {
  robotio::HttpResponseReader reader;
  const std::string answer =
      "HTTP/1.1 200 OK\r\nConnection: Keep-Alive, close\r\nContent-Length: "
      "5\r\n\r\nhello";
  ASSERT_EQ(feedAll(&reader, answer, 1),
            robotio::HttpResponseReader::State::kComplete)
      << reader.error();
  EXPECT_EQ(std::string(reader.body(), reader.bodySize()), "hello");
  EXPECT_FALSE(reader.keepAlive());
}

TEST(HttpResponseReader, FramingOtherThanOneContentLengthIsRefused) {
  for (const std::string answer : {
           "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello",
           "HTTP/1.1 200 OK\r\n\r\nhello",
           "HTTP/1.1 200 OK\r\nContent-Length: 5\r\nContent-Length: 6\r\n\r\n",
           "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nhello",
           "HTTP/1.1 200 OK\r\nContent-Length: -1\r\n\r\n",
       }) {
    robotio::HttpResponseReader reader;
    EXPECT_EQ(feedAll(&reader, answer, answer.size()),
              robotio::HttpResponseReader::State::kMalformed)
        << answer;
  }
}

TEST(HttpResponseReader, HeadersWithoutContentLengthAreRefusedAtOnce) {
  // Fed before any body: no length means no end of the answer, not an
  // empty one.
  robotio::HttpResponseReader reader;
  const std::string head =
      "HTTP/1.1 200 OK\r\nContent-Type: text/xml\r\n\r\n";
  EXPECT_EQ(feedAll(&reader, head, head.size()),
            robotio::HttpResponseReader::State::kMalformed);
}

TEST(HttpResponseReader, EndlessHeadersAreRefused) {
  robotio::HttpResponseReader reader;
  std::string answer = "HTTP/1.1 200 OK\r\n";
  while (answer.size() <= robotio::HttpResponseReader::kMaxHeaderBytes) {
    answer += "X: y\r\n";
  }
  EXPECT_EQ(feedAll(&reader, answer, 100),
            robotio::HttpResponseReader::State::kMalformed);
}

}  // namespace
