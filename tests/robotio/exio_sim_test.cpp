// The external IO simulator's own behaviour, seen through a plain XML-RPC
// client, so that the client tests stand on a simulator known to be right.

#include "tools/exio-sim/exio_sim.h"

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>
#include <xmlrpc-c/base.hpp>
#include <xmlrpc-c/client_simple.hpp>
#include <xmlrpc-c/girerr.hpp>

#include "tools/exio-sim/console.h"

namespace {

using exiosim::ExioSimulator;

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

class ExioSimTest : public testing::Test {
 protected:
  void SetUp() override {
    exiosim::Options options;
    options.port = 0;
    sim_ = std::make_unique<ExioSimulator>(options);
    std::string error;
    ASSERT_TRUE(sim_->start(&error)) << error;
  }

  // One call on a fresh connection; throws girerr::error for a fault.
  xmlrpc_c::value call(const std::string& method,
                       const xmlrpc_c::paramList& params) {
    xmlrpc_c::clientSimple client;
    xmlrpc_c::value result;
    client.call(sim_->url(), method, params, &result);
    return result;
  }

  static xmlrpc_c::paramList args() { return xmlrpc_c::paramList(); }
  template <typename... Rest>
  static xmlrpc_c::paramList args(const xmlrpc_c::value& first,
                                  const Rest&... rest) {
    xmlrpc_c::paramList params = args(rest...);
    xmlrpc_c::paramList all;
    all.add(first);
    for (unsigned i = 0; i < params.size(); ++i) all.add(params[i]);
    return all;
  }

  static xmlrpc_c::value_string s(const std::string& v) {
    return xmlrpc_c::value_string(v);
  }
  static xmlrpc_c::value_int i(int v) { return xmlrpc_c::value_int(v); }

  bool callBool(const std::string& method, const xmlrpc_c::paramList& p) {
    return xmlrpc_c::value_boolean(call(method, p)).cvalue();
  }
  int callInt(const std::string& method, const xmlrpc_c::paramList& p) {
    return xmlrpc_c::value_int(call(method, p)).cvalue();
  }

  std::unique_ptr<ExioSimulator> sim_;
};

TEST_F(ExioSimTest, ClaimBelongsToItsOwner) {
  EXPECT_TRUE(callBool("occupyInput", args(s("A"), i(1), i(3))));
  EXPECT_TRUE(callBool("occupyInput", args(s("A"), i(1), i(3))));
  EXPECT_FALSE(callBool("occupyInput", args(s("B"), i(1), i(3))));
  EXPECT_EQ(sim_->owner(1, 3), "A");
  // Banks are separate: the bool and double registers 3 are still free.
  EXPECT_TRUE(callBool("occupyInput", args(s("B"), i(0), i(3))));
  EXPECT_EQ(sim_->owner(0, 3), "B");
  EXPECT_EQ(sim_->owner(2, 3), "");
}

TEST_F(ExioSimTest, OnlyTheOwnerWritesAnInputRegister) {
  EXPECT_FALSE(callBool("setInputIntData", args(s("A"), i(3), i(5))));
  EXPECT_EQ(sim_->inputInt(3), 0);
  ASSERT_TRUE(callBool("occupyInput", args(s("A"), i(1), i(3))));
  EXPECT_FALSE(callBool("setInputIntData", args(s("B"), i(3), i(6))));
  EXPECT_EQ(sim_->inputInt(3), 0);
  EXPECT_TRUE(callBool("setInputIntData", args(s("A"), i(3), i(7))));
  EXPECT_EQ(sim_->inputInt(3), 7);

  ASSERT_TRUE(callBool("occupyInput", args(s("A"), i(0), i(9))));
  EXPECT_TRUE(callBool("setInputBoolData",
                       args(s("A"), i(9), xmlrpc_c::value_boolean(true))));
  EXPECT_TRUE(sim_->inputBool(9));
  ASSERT_TRUE(callBool("occupyInput", args(s("A"), i(2), i(99))));
  EXPECT_TRUE(callBool("setInputDoubleData",
                       args(s("A"), i(99), xmlrpc_c::value_double(-0.5))));
  EXPECT_EQ(sim_->inputDouble(99), -0.5);
}

TEST_F(ExioSimTest, ReleaseFreesOnlyOwnOrFreeRegisters) {
  ASSERT_TRUE(callBool("occupyInput", args(s("A"), i(2), i(4))));
  ASSERT_TRUE(callBool("setInputDoubleData",
                       args(s("A"), i(4), xmlrpc_c::value_double(1.5))));
  EXPECT_EQ(callInt("releaseInput", args(s("B"), i(2), i(4))), -1);
  EXPECT_EQ(sim_->owner(2, 4), "A");
  EXPECT_EQ(callInt("releaseInput", args(s("A"), i(2), i(4))), 0);
  EXPECT_EQ(sim_->owner(2, 4), "");
  EXPECT_EQ(sim_->inputDouble(4), 1.5);
  EXPECT_EQ(callInt("releaseInput", args(s("A"), i(2), i(4))), 0);
  EXPECT_TRUE(callBool("occupyInput", args(s("B"), i(2), i(4))));
}

TEST_F(ExioSimTest, InputInUseWhileAnyRegisterIsClaimed) {
  EXPECT_FALSE(callBool("isInputInUse", args()));
  ASSERT_TRUE(callBool("occupyInput", args(s("A"), i(2), i(0))));
  EXPECT_TRUE(callBool("isInputInUse", args()));
  ASSERT_EQ(callInt("releaseInput", args(s("A"), i(2), i(0))), 0);
  EXPECT_FALSE(callBool("isInputInUse", args()));
}

TEST_F(ExioSimTest, OutputsSetFromOutsideAreAnswered) {
  sim_->setOutputBool(0, true);
  sim_->setOutputInt(50, 123456);
  sim_->setOutputDouble(99, -3.25);
  EXPECT_TRUE(callBool("getOutputBoolData", args(i(0))));
  EXPECT_EQ(callInt("getOutputIntData", args(i(50))), 123456);
  EXPECT_EQ(
      xmlrpc_c::value_double(call("getOutputDoubleData", args(i(99)))).cvalue(),
      -3.25);
}

TEST_F(ExioSimTest, BadArgumentsAreAnsweredWithFaults) {
  const std::vector<std::pair<std::string, xmlrpc_c::paramList>> bad = {
      {"getOutputIntData", args(i(100))},
      {"getOutputIntData", args(i(-1))},
      {"getOutputIntData", args(s("3"))},
      {"getOutputIntData", args()},
      {"getOutputIntData", args(i(1), i(2))},
      {"occupyInput", args(s("A"), i(3), i(0))},
      {"occupyInput", args(s(""), i(1), i(0))},
      {"setInputIntData", args(s("A"), i(1), xmlrpc_c::value_double(1.0))},
      {"isConnectController", args(i(1))},
      {"noSuchMethod", args()},
  };
  for (const auto& c : bad) {
    SCOPED_TRACE(c.first);
    EXPECT_THROW(call(c.first, c.second), girerr::error);
  }
  EXPECT_EQ(sim_->owner(1, 0), "");
}

TEST_F(ExioSimTest, WrongResultTypeSwapsTheAnswersType) {
  sim_->setWrongResultType(true);
  EXPECT_EQ(call("occupyInput", args(s("A"), i(1), i(3))).type(),
            xmlrpc_c::value::TYPE_INT);
  EXPECT_EQ(call("releaseInput", args(s("A"), i(1), i(3))).type(),
            xmlrpc_c::value::TYPE_BOOLEAN);
  EXPECT_EQ(call("getOutputDoubleData", args(i(3))).type(),
            xmlrpc_c::value::TYPE_INT);
  EXPECT_EQ(call("isConnectController", args()).type(),
            xmlrpc_c::value::TYPE_INT);
  EXPECT_EQ(sim_->owner(1, 3), "");
}

TEST_F(ExioSimTest, AnswerFaultsFailsEveryCallWithoutEffect) {
  sim_->setAnswerFaults(true);
  EXPECT_THROW(call("occupyInput", args(s("A"), i(1), i(3))), girerr::error);
  EXPECT_THROW(call("isConnectController", args()), girerr::error);
  EXPECT_EQ(sim_->owner(1, 3), "");
  sim_->setAnswerFaults(false);
  EXPECT_TRUE(callBool("isConnectController", args()));
}

TEST_F(ExioSimTest, MulticallCanBeRefusedAndOfferedAgain) {
  auto listed = [&] {
    for (const xmlrpc_c::value& name :
         xmlrpc_c::value_array(call("system.listMethods", args()))
             .vectorValueValue()) {
      if (xmlrpc_c::value_string(name).cvalue() == "system.multicall") {
        return true;
      }
    }
    return false;
  };
  std::map<std::string, xmlrpc_c::value> probe;
  probe.emplace("methodName", s("isConnectController"));
  probe.emplace("params",
                xmlrpc_c::value_array(std::vector<xmlrpc_c::value>()));
  const xmlrpc_c::paramList multicall =
      args(xmlrpc_c::value_array(
          std::vector<xmlrpc_c::value>{xmlrpc_c::value_struct(probe)}));

  const uint64_t before = sim_->requestsAnswered();
  EXPECT_TRUE(listed());
  EXPECT_EQ(xmlrpc_c::value_array(call("system.multicall", multicall)).size(),
            1u);
  EXPECT_EQ(sim_->requestsAnswered() - before, 2u);

  std::ostringstream out;
  EXPECT_TRUE(exiosim::runConsoleCommand(*sim_, "multicall off", out));
  EXPECT_FALSE(sim_->offersMulticall());
  EXPECT_FALSE(listed());
  try {
    call("system.multicall", multicall);
    ADD_FAILURE() << "refused multicall was answered";
  } catch (const girerr::error& e) {
    EXPECT_NE(std::string(e.what()).find("'system.multicall' not defined"),
              std::string::npos)
        << e.what();
  }
  EXPECT_TRUE(callBool("isConnectController", args()));

  sim_->setOfferMulticall(true);
  EXPECT_TRUE(listed());
  EXPECT_EQ(xmlrpc_c::value_array(call("system.multicall", multicall)).size(),
            1u);
}

TEST_F(ExioSimTest, RefusedClaimTakesNothing) {
  sim_->setRefuseClaims(true);
  EXPECT_FALSE(callBool("occupyInput", args(s("A"), i(1), i(3))));
  EXPECT_EQ(sim_->owner(1, 3), "");
  sim_->setRefuseClaims(false);
  EXPECT_TRUE(callBool("occupyInput", args(s("A"), i(1), i(3))));
}

TEST_F(ExioSimTest, ControllerConnectionIsAnswered) {
  EXPECT_TRUE(callBool("isConnectController", args()));
  sim_->setControllerConnected(false);
  EXPECT_FALSE(callBool("isConnectController", args()));
}

TEST_F(ExioSimTest, HungCallProceedsWhenReleased) {
  sim_->setHang(true);
  bool answer = false;
  std::thread caller(
      [&] { answer = callBool("occupyInput", args(s("A"), i(1), i(3))); });
  ASSERT_TRUE(eventually([&] { return sim_->hungCalls() == 1; }));
  EXPECT_EQ(sim_->owner(1, 3), "");
  sim_->setHang(false);
  caller.join();
  EXPECT_TRUE(answer);
  EXPECT_EQ(sim_->owner(1, 3), "A");
  EXPECT_EQ(sim_->hungCalls(), 0);
}

// Two connection threads stamping their answers' Date at the same moment:
// the C library's time-zone state must not be rebuilt under them (a
// ThreadSanitizer report here fails the run).
TEST_F(ExioSimTest, HungCallsReleasedTogetherAreAnsweredTogether) {
  sim_->setHang(true);
  bool answers[2] = {false, false};
  std::vector<std::thread> callers;
  for (int n = 0; n < 2; ++n) {
    callers.emplace_back([&, n] {
      answers[n] = callBool("occupyInput", args(s("A"), i(1), i(3 + n)));
    });
  }
  ASSERT_TRUE(eventually([&] { return sim_->hungCalls() == 2; }));
  sim_->setHang(false);
  for (auto& caller : callers) caller.join();
  EXPECT_TRUE(answers[0]);
  EXPECT_TRUE(answers[1]);
}

TEST_F(ExioSimTest, StopEndsHungCallsWithFault) {
  sim_->setHang(true);
  bool faulted = false;
  std::thread caller([&] {
    try {
      call("isConnectController", args());
    } catch (const girerr::error&) {
      faulted = true;
    }
  });
  ASSERT_TRUE(eventually([&] { return sim_->hungCalls() == 1; }));
  sim_->stop();
  caller.join();
  EXPECT_TRUE(faulted);
  EXPECT_FALSE(sim_->isRunning());
}

TEST_F(ExioSimTest, RestartsOnSamePortKeepingRegisters) {
  ASSERT_TRUE(callBool("occupyInput", args(s("A"), i(1), i(3))));
  sim_->setOutputInt(3, 33);
  const int port = sim_->port();
  sim_->stop();
  EXPECT_THROW(call("isConnectController", args()), girerr::error);
  std::string error;
  ASSERT_TRUE(sim_->start(&error)) << error;
  EXPECT_EQ(sim_->port(), port);
  EXPECT_EQ(callInt("getOutputIntData", args(i(3))), 33);
  EXPECT_FALSE(callBool("occupyInput", args(s("B"), i(1), i(3))));
}

TEST_F(ExioSimTest, StartAndStopManyTimes) {
  for (int n = 0; n < 20; ++n) {
    sim_->stop();
    ASSERT_FALSE(sim_->isRunning());
    ASSERT_TRUE(sim_->start());
    ASSERT_TRUE(callBool("isConnectController", args()));
  }
}

TEST_F(ExioSimTest, StartFailsWhenPortIsTaken) {
  exiosim::Options options;
  options.port = sim_->port();
  ExioSimulator second(options);
  std::string error;
  EXPECT_FALSE(second.start(&error));
  EXPECT_FALSE(second.isRunning());
  EXPECT_NE(error.find("in use"), std::string::npos) << error;
}

TEST_F(ExioSimTest, CountsConnectionsNotCalls) {
  {
    xmlrpc_c::clientSimple kept;
    for (int n = 0; n < 20; ++n) {
      xmlrpc_c::value result;
      kept.call(sim_->url(), "isConnectController", args(), &result);
    }
  }
  EXPECT_EQ(sim_->connectionsSeen(), 1u);
  for (int n = 0; n < 3; ++n) call("isConnectController", args());
  EXPECT_EQ(sim_->connectionsSeen(), 4u);
  EXPECT_EQ(sim_->callsAnswered(), 23u);
}

TEST_F(ExioSimTest, KeepsConnectionAliveForManyRequests) {
  // The library's default would close the connection after 30 requests.
  xmlrpc_c::clientSimple kept;
  for (int n = 0; n < 200; ++n) {
    xmlrpc_c::value result;
    kept.call(sim_->url(), "isConnectController", args(), &result);
  }
  EXPECT_EQ(sim_->connectionsSeen(), 1u);
}

TEST_F(ExioSimTest, ServesManyConnectionsAtOnce) {
  // Past about 15 kept-alive connections the library's default cap would
  // stall the accept loop.
  std::vector<std::unique_ptr<xmlrpc_c::clientSimple>> clients;
  for (int n = 0; n < 32; ++n) {
    clients.push_back(std::make_unique<xmlrpc_c::clientSimple>());
    xmlrpc_c::value result;
    clients.back()->call(sim_->url(), "isConnectController", args(), &result);
  }
  for (auto& client : clients) {
    xmlrpc_c::value result;
    client->call(sim_->url(), "isConnectController", args(), &result);
  }
  EXPECT_EQ(sim_->connectionsSeen(), 32u);
  EXPECT_EQ(sim_->callsAnswered(), 64u);
  clients.clear();
}

TEST_F(ExioSimTest, TracesEveryCall) {
  std::ostringstream trace;
  exiosim::Options options;
  options.port = 0;
  options.trace = &trace;
  ExioSimulator traced(options);
  ASSERT_TRUE(traced.start());
  traced.setOutputInt(3, 42);
  {
    xmlrpc_c::clientSimple client;
    xmlrpc_c::value first;
    client.call(traced.url(), "getOutputIntData", args(i(3)), &first);
    xmlrpc_c::value second;
    EXPECT_THROW(
        client.call(traced.url(), "getOutputIntData", args(i(100)), &second),
        girerr::error);
  }
  // Joins the server threads, which wrote the trace.
  traced.stop();
  EXPECT_EQ(trace.str(),
            "getOutputIntData(3) -> 42\n"
            "getOutputIntData(100) -> fault: register index 100 outside "
            "0..99\n");
}

TEST_F(ExioSimTest, OutsideAccessChecksIndex) {
  EXPECT_THROW(sim_->setOutputInt(100, 1), std::out_of_range);
  EXPECT_THROW(sim_->inputBool(-1), std::out_of_range);
  EXPECT_THROW(sim_->owner(3, 0), std::out_of_range);
}

TEST_F(ExioSimTest, ConsoleSetsOutputsAndShowsRegisters) {
  std::ostringstream out;
  EXPECT_TRUE(exiosim::runConsoleCommand(*sim_, "out int 3 42", out));
  EXPECT_TRUE(exiosim::runConsoleCommand(*sim_, "out bool 4 true", out));
  EXPECT_TRUE(exiosim::runConsoleCommand(*sim_, "out double 5 -1.5", out));
  EXPECT_TRUE(exiosim::runConsoleCommand(*sim_, "out double 6 -0", out));
  EXPECT_EQ(sim_->outputInt(3), 42);
  EXPECT_TRUE(sim_->outputBool(4));
  EXPECT_EQ(sim_->outputDouble(5), -1.5);

  ASSERT_TRUE(callBool("occupyInput", args(s("FINS_EX_IO"), i(1), i(7))));
  ASSERT_TRUE(callBool("setInputIntData", args(s("FINS_EX_IO"), i(7), i(9))));
  out.str("");
  EXPECT_TRUE(exiosim::runConsoleCommand(*sim_, "show", out));
  EXPECT_EQ(out.str(),
            "input  int 7 = 9  (held by FINS_EX_IO)\n"
            "output bool 4 = true\n"
            "output int 3 = 42\n"
            "output double 5 = -1.5\n"
            "output double 6 = -0\n");
}

TEST_F(ExioSimTest, ConsoleRejectsBadLinesAndQuits) {
  std::ostringstream out;
  for (const char* line :
       {"out int 100 1", "out int 3", "out int 3 x", "out int 3 4 5",
        "out bool 1 maybe", "out word 1 1", "multicall", "multicall maybe",
        "jump"}) {
    SCOPED_TRACE(line);
    out.str("");
    EXPECT_TRUE(exiosim::runConsoleCommand(*sim_, line, out));
    EXPECT_FALSE(out.str().empty());
  }
  EXPECT_EQ(sim_->outputInt(3), 0);
  EXPECT_EQ(sim_->outputBool(1), false);
  out.str("");
  EXPECT_TRUE(exiosim::runConsoleCommand(*sim_, "", out));
  EXPECT_EQ(out.str(), "");
  EXPECT_FALSE(exiosim::runConsoleCommand(*sim_, "quit", out));
}

}  // namespace
