#include "rpcwire/dispatcher.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <map>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "rpcwire/xmlrpc_text.h"

namespace {

// Adds its two int parameters, as the gateway's methods read theirs.
class Add : public xmlrpc_c::method {
 public:
  void execute(xmlrpc_c::paramList const& params,
               xmlrpc_c::value* result) override {
    const int a = params.getInt(0);
    const int b = params.getInt(1);
    params.verifyEnd(2);
    *result = xmlrpc_c::value_int(a + b);
  }
};

class Throws : public xmlrpc_c::method {
 public:
  void execute(xmlrpc_c::paramList const&, xmlrpc_c::value*) override {
    throw std::runtime_error("engine is gone");
  }
};

class Nan : public xmlrpc_c::method {
 public:
  void execute(xmlrpc_c::paramList const&, xmlrpc_c::value* result) override {
    *result = xmlrpc_c::value_double(std::numeric_limits<double>::quiet_NaN());
  }
};

class DispatcherTest : public ::testing::Test {
 protected:
  DispatcherTest() {
    dispatcher_.add("add", xmlrpc_c::methodPtr(new Add));
    dispatcher_.add("throws", xmlrpc_c::methodPtr(new Throws));
    dispatcher_.add("nan", xmlrpc_c::methodPtr(new Nan));
  }

  rpcwire::Response call(const std::string& method,
                         const xmlrpc_c::paramList& params) const {
    return answer(rpcwire::formatCall(method, params));
  }

  rpcwire::Response answer(const std::string& body) const {
    const std::string text = dispatcher_.process(body.data(), body.size());
    rpcwire::Response response;
    const rpcwire::ParseResult r =
        rpcwire::parseResponse(text.data(), text.size(), &response);
    EXPECT_TRUE(r.ok()) << r.message << "\n" << text;
    return response;
  }

  static xmlrpc_c::paramList ints(std::vector<int> values) {
    xmlrpc_c::paramList params;
    for (const int v : values) params.add(xmlrpc_c::value_int(v));
    return params;
  }

  static xmlrpc_c::value element(const std::string& method,
                                 std::vector<xmlrpc_c::value> params) {
    return xmlrpc_c::value_struct(xmlrpc_c::cstruct
        {{"methodName", xmlrpc_c::value_string(method)},
         {"params", xmlrpc_c::value_array(params)}});
  }

  rpcwire::Dispatcher dispatcher_;
};

TEST_F(DispatcherTest, AnswersWithTheMethodsResult) {
  const rpcwire::Response r = call("add", ints({2, 3}));
  ASSERT_FALSE(r.isFault) << r.faultString;
  EXPECT_EQ(xmlrpc_c::value_int(r.value).cvalue(), 5);
}

TEST_F(DispatcherTest, UnknownMethodIsNoSuchMethod) {
  const rpcwire::Response r = call("nope", ints({}));
  EXPECT_TRUE(r.isFault);
  EXPECT_EQ(r.faultCode, rpcwire::kFaultNoSuchMethod);
}

TEST_F(DispatcherTest, UnparsableBodyIsParseError) {
  std::string deep;
  for (int i = 0; i < 1000; ++i) deep += "<value><array><data>";
  const std::string bodies[] = {
      "not xml", "<methodCall>",
      "<methodCall><methodName>add</methodName><params><param>" + deep,
      std::string(rpcwire::kMaxRequestBytes + 1, ' ')};
  for (const std::string& body : bodies) {
    const rpcwire::Response r = answer(body);
    EXPECT_TRUE(r.isFault);
    EXPECT_EQ(r.faultCode, rpcwire::kFaultParse) << body.substr(0, 40);
  }
}

// xmlrpc-c's value classes take only the Basic Multilingual Plane; a struct
// member name beyond it used to end the process inside the struct's
// constructor. Each such text must come back as a parse fault instead, one
// that quotes nothing a client's reader would refuse.
TEST_F(DispatcherTest, TextBeyondTheBasicPlaneIsAParseErrorNotACrash) {
  const std::string head = "<methodCall><methodName>add</methodName><params>";
  const std::string end = "</params></methodCall>";
  const std::string bodies[] = {
      head + "<param><value><struct><member><name>&#x1F600;</name>"
             "<value>1</value></member></struct></value></param>" + end,
      head + "<param><value><string>\xF0\x9F\x98\x80</string></value></param>" +
          end,
      head + "<param><value>&#128512;</value></param>" + end,
      head + "<param><value>&#xD800;</value></param>" + end,
      "<methodCall><methodName>add&#x10000;</methodName></methodCall>",
      head + "<\xF0\x9F\x98\x80/>" + end};
  for (const std::string& body : bodies) {
    const rpcwire::Response r = answer(body);
    EXPECT_TRUE(r.isFault) << body;
    EXPECT_EQ(r.faultCode, rpcwire::kFaultParse) << body;
  }
  EXPECT_FALSE(call("add", ints({1, 2})).isFault);
}

// The codes and texts xmlrpc-c's registry answers for these, so clients
// see no change.
TEST_F(DispatcherTest, WrongParametersKeepTheMethodsFault) {
  xmlrpc_c::paramList wrongType;
  wrongType.add(xmlrpc_c::value_string("2"));
  wrongType.add(xmlrpc_c::value_int(3));
  const struct {
    xmlrpc_c::paramList params;
    const char* text;
  } cases[] = {{ints({2}), "Not enough parameters"},
               {ints({1, 2, 3}), "Too many parameters"},
               {wrongType, "Parameter that is supposed to be integer is not"}};
  for (const auto& c : cases) {
    const rpcwire::Response r = call("add", c.params);
    EXPECT_TRUE(r.isFault);
    EXPECT_EQ(r.faultCode, rpcwire::kFaultType);
    EXPECT_EQ(r.faultString, c.text);
  }
}

TEST_F(DispatcherTest, MethodExceptionIsInternalErrorWithItsText) {
  const rpcwire::Response r = call("throws", ints({}));
  EXPECT_TRUE(r.isFault);
  EXPECT_EQ(r.faultCode, rpcwire::kFaultInternal);
  EXPECT_NE(r.faultString.find("engine is gone"), std::string::npos);
}

TEST_F(DispatcherTest, UnsendableResultIsInternalError) {
  const rpcwire::Response r = call("nan", ints({}));
  EXPECT_TRUE(r.isFault);
  EXPECT_EQ(r.faultCode, rpcwire::kFaultInternal);
}

TEST_F(DispatcherTest, MulticallWrapsResultsAndFaultsPerElement) {
  xmlrpc_c::paramList params;
  params.add(xmlrpc_c::value_array(xmlrpc_c::carray
      {element("add", {xmlrpc_c::value_int(1), xmlrpc_c::value_int(2)}),
       element("add", {xmlrpc_c::value_int(1)}),
       element("nan", {}),
       element("system.multicall", {}),
       xmlrpc_c::value_int(4),
       element("add", {xmlrpc_c::value_int(3), xmlrpc_c::value_int(4)})}));
  const rpcwire::Response r = call("system.multicall", params);
  ASSERT_FALSE(r.isFault) << r.faultString;
  const std::vector<xmlrpc_c::value> results = xmlrpc_c::value_array(r.value).cvalue();
  ASSERT_EQ(results.size(), 6u);

  auto faultCode = [](const xmlrpc_c::value& v) {
    std::map<std::string, xmlrpc_c::value> f = xmlrpc_c::value_struct(v);
    EXPECT_EQ(f["faultString"].type(), xmlrpc_c::value::TYPE_STRING);
    return xmlrpc_c::value_int(f["faultCode"]).cvalue();
  };
  auto single = [](const xmlrpc_c::value& v) {
    const std::vector<xmlrpc_c::value> one = xmlrpc_c::value_array(v).cvalue();
    EXPECT_EQ(one.size(), 1u);
    return xmlrpc_c::value_int(one.at(0)).cvalue();
  };
  EXPECT_EQ(single(results[0]), 3);
  EXPECT_EQ(faultCode(results[1]), rpcwire::kFaultType);
  EXPECT_EQ(faultCode(results[2]), rpcwire::kFaultInternal);
  EXPECT_EQ(faultCode(results[3]), rpcwire::kFaultRefused);
  EXPECT_EQ(faultCode(results[4]), rpcwire::kFaultType);
  EXPECT_EQ(single(results[5]), 7);
}

TEST_F(DispatcherTest, ListMethodsInTheOrderAdded) {
  const rpcwire::Response r = call("system.listMethods", ints({}));
  ASSERT_FALSE(r.isFault);
  std::vector<std::string> names;
  for (const xmlrpc_c::value& v : xmlrpc_c::value_array(r.value).cvalue()) {
    names.push_back(xmlrpc_c::value_string(v).cvalue());
  }
  EXPECT_EQ(names, (std::vector<std::string>{"add", "throws", "nan",
                                             "system.listMethods",
                                             "system.multicall"}));
  EXPECT_THROW(dispatcher_.add("add", xmlrpc_c::methodPtr(new Add)),
               std::invalid_argument);
}

TEST_F(DispatcherTest, ConcurrentCallsAreAnsweredIndependently) {
  constexpr int kThreads = 4;
  constexpr int kCallsEach = 500;
  std::vector<int> wrong(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([this, t, &wrong] {
      for (int i = 0; i < kCallsEach; ++i) {
        const std::string body = rpcwire::formatCall("add", ints({t, i}));
        const std::string text = dispatcher_.process(body.data(), body.size());
        rpcwire::Response r;
        if (!rpcwire::parseResponse(text.data(), text.size(), &r).ok() ||
            r.isFault || xmlrpc_c::value_int(r.value).cvalue() != t + i) {
          ++wrong[t];
        }
      }
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(wrong, std::vector<int>(kThreads, 0));
}

}  // namespace
