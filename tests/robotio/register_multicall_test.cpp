// The direct text of register multicalls against the general codec: what
// the direct writer sends reads back as the same call, and whatever the
// direct reader accepts, the general reader reads alike.

#include "robotio/register_multicall.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "robotio/call_codec.h"
#include "robotio/multicall_codec.h"
#include "rpcwire/xmlrpc_text.h"

namespace {

using Type = xmlrpc_c::value::type_t;

std::string answerOf(const std::string& elements) {
  return "<?xml version=\"1.0\"?>\r\n<methodResponse><params><param><value>"
         "<array><data>" +
         elements + "</data></array></value></param></params></methodResponse>";
}

std::string element(const std::string& value) {
  return "<value><array><data>" + value + "</data></array></value>";
}

TEST(RegisterMulticallText, ReadsBackAsTheSameCalls) {
  std::string xml;
  robotio::MulticallText text(&xml);
  text.beginCall("setInputDoubleData");
  text.addString("A<&>\r\nB");
  text.addInt(-2147483647 - 1);
  ASSERT_TRUE(text.addDouble(0.1 + 0.2));
  text.endCall();
  text.beginCall("getOutputBoolData");
  text.addInt(99);
  text.endCall();
  text.beginCall("setInputBoolData");
  text.addBoolean(true);
  EXPECT_FALSE(text.addDouble(1.0 / 0.0));
  text.endCall();
  text.finish();

  std::string method;
  xmlrpc_c::paramList params;
  ASSERT_TRUE(rpcwire::parseCall(xml.data(), xml.size(), &method, &params).ok());
  EXPECT_EQ("system.multicall", method);
  const std::vector<xmlrpc_c::value> calls = params.getArray(0);
  ASSERT_EQ(3u, calls.size());
  auto call = [&](std::size_t i) {
    return std::map<std::string, xmlrpc_c::value>(xmlrpc_c::value_struct(calls[i]));
  };
  auto args = [&](std::size_t i) {
    return xmlrpc_c::value_array(call(i).at("params")).vectorValueValue();
  };
  EXPECT_EQ("setInputDoubleData", xmlrpc_c::value_string(call(0).at("methodName")).cvalue());
  ASSERT_EQ(3u, args(0).size());
  EXPECT_EQ("A<&>\r\nB", xmlrpc_c::value_string(args(0)[0]).cvalue());
  EXPECT_EQ(-2147483647 - 1, xmlrpc_c::value_int(args(0)[1]).cvalue());
  EXPECT_EQ(0.1 + 0.2, xmlrpc_c::value_double(args(0)[2]).cvalue());
  ASSERT_EQ(1u, args(1).size());
  EXPECT_EQ(99, xmlrpc_c::value_int(args(1)[0]).cvalue());
  // The refused infinity left nothing behind.
  ASSERT_EQ(1u, args(2).size());
  EXPECT_TRUE(xmlrpc_c::value_boolean(args(2)[0]).cvalue());
}

// Answers the direct reader must take, and ones it must leave to the general
// reader, each checked against the general reader's view.
TEST(RegisterMulticallText, DirectReadingAgreesWithTheGeneralReader) {
  struct Case {
    std::string xml;
    std::size_t count;
    bool direct;  // the direct reader takes it
  };
  const std::vector<Case> cases = {
      {answerOf(element("<value><i4>-7</i4></value>") +
                element("<value><int> 2147483647 </int></value>") +
                element("<value><boolean> 1 </boolean></value>") +
                element("<value><double>5e-324</double></value>") +
                element("<value>text &amp; more</value>") +
                element("<value><string/></value>") +
                element("<value>\n  <boolean>0</boolean>\n</value>")),
       7, true},
      {answerOf("\r\n  " + element("<value><double>-0.0</double></value>") + "\r\n"), 1, true},
      {answerOf(""), 0, true},
      {answerOf(element("<value><i4>1</i4></value>")), 2, false},   // count
      {answerOf(element("<value><i8>1</i8></value>")), 1, false},   // i8
      {answerOf(element("<value><i4>99999999999</i4></value>")), 1, false},
      {answerOf(element("<value><array><data/></array></value>")), 1, false},
      {answerOf(element("<value>x<i4>1</i4></value>")), 1, false},  // text, then type
      {answerOf("<value><struct><member><name>faultCode</name><value><i4>3</i4></value>"
                "</member><member><name>faultString</name><value>no</value></member>"
                "</struct></value>"),
       1, false},
      {"<?xml version=\"1.0\"?><methodResponse><fault><value><struct><member><name>"
       "faultCode</name><value><i4>1</i4></value></member><member><name>faultString"
       "</name><value>x</value></member></struct></value></fault></methodResponse>",
       0, false},
      {answerOf(element("<value><double>1e400</double></value>")), 1, false},
      {answerOf(element("<value><i4>1</i4></value>")) + "<trailing/>", 1, false},
      {answerOf(element("<value>\xfe</value>")), 1, false},  // not UTF-8
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.xml);
    std::vector<robotio::ScalarResult> direct;
    const bool taken =
        robotio::readScalarMulticall(c.xml.data(), c.xml.size(), c.count, &direct);
    EXPECT_EQ(c.direct, taken);
    if (!taken) continue;
    const robotio::Answer answer = robotio::parseAnswer(c.xml.data(), c.xml.size());
    ASSERT_EQ(robotio::Answer::Kind::kValue, answer.kind) << answer.text;
    std::vector<robotio::MulticallResult> general;
    std::string error;
    ASSERT_TRUE(robotio::readMulticallResults(answer.value, c.count, &general, &error))
        << error;
    for (std::size_t i = 0; i < c.count; ++i) {
      ASSERT_FALSE(general[i].isFault);
      const xmlrpc_c::value& v = general[i].value;
      ASSERT_EQ(v.type(), direct[i].type) << i;
      if (v.type() == Type::TYPE_INT) {
        EXPECT_EQ(xmlrpc_c::value_int(v).cvalue(), direct[i].intValue);
      } else if (v.type() == Type::TYPE_BOOLEAN) {
        EXPECT_EQ(xmlrpc_c::value_boolean(v).cvalue(), direct[i].boolValue);
      } else if (v.type() == Type::TYPE_DOUBLE) {
        const double d = xmlrpc_c::value_double(v).cvalue();
        EXPECT_EQ(0, std::memcmp(&d, &direct[i].doubleValue, sizeof(d))) << i;
      }
    }
  }
}

}  // namespace
