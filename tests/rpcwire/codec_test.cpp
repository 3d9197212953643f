#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "rpcwire/utf8.h"
#include "rpcwire/xml_reader.h"
#include "rpcwire/xmlrpc_text.h"
#include "small_stack.h"

namespace {

using rpcwire::ParseStatus;

std::uint64_t bitsOf(double d) {
  std::uint64_t bits = 0;
  std::memcpy(&bits, &d, sizeof bits);
  return bits;
}

rpcwire::Response parseAnswer(const std::string& text) {
  rpcwire::Response response;
  const rpcwire::ParseResult r =
      rpcwire::parseResponse(text.data(), text.size(), &response);
  EXPECT_TRUE(r.ok()) << r.message << "\n" << text;
  return response;
}

// The double inside <value><double>TEXT</double></value> of an answer.
rpcwire::ParseResult parseDoubleText(const std::string& number, double* out) {
  const std::string text =
      "<methodResponse><params><param><value><double>" + number +
      "</double></value></param></params></methodResponse>";
  rpcwire::Response response;
  const rpcwire::ParseResult r =
      rpcwire::parseResponse(text.data(), text.size(), &response);
  if (r.ok()) *out = xmlrpc_c::value_double(response.value).cvalue();
  return r;
}

ParseStatus callStatus(const std::string& text) {
  std::string name;
  xmlrpc_c::paramList params;
  return rpcwire::parseCall(text.data(), text.size(), &name, &params).status;
}

std::string wrapCall(const std::string& value) {
  return "<methodCall><methodName>m</methodName><params><param>" + value +
         "</param></params></methodCall>";
}

// How the bare XML reader ends on `text`.
ParseStatus readerStatus(const std::string& text) {
  rpcwire::detail::XmlReader reader(text.data(), text.size());
  for (;;) {
    const auto token = reader.next();
    if (token == rpcwire::detail::XmlReader::Token::kDone) return ParseStatus::kOk;
    if (token == rpcwire::detail::XmlReader::Token::kError) {
      return reader.error().status;
    }
  }
}

// A string parameter of a call, parsed.
std::string parsedString(const std::string& valueXml) {
  const std::string text = wrapCall(valueXml);
  std::string name;
  xmlrpc_c::paramList params;
  const rpcwire::ParseResult r =
      rpcwire::parseCall(text.data(), text.size(), &name, &params);
  EXPECT_TRUE(r.ok()) << r.message;
  return r.ok() ? params.getString(0) : std::string();
}

TEST(RpcwireDouble, ParsesTheValuesXmlrpcCRoundsWrongly) {
  const struct {
    const char* text;
    double expected;
  } cases[] = {{"-0.15625", -0.15625},
               {"123456789.125", 123456789.125},
               {"0.30000000000000004", 0.1 + 0.2}};
  for (const auto& c : cases) {
    double parsed = 0.0;
    ASSERT_TRUE(parseDoubleText(c.text, &parsed).ok()) << c.text;
    EXPECT_EQ(bitsOf(parsed), bitsOf(c.expected)) << c.text;
    const std::string answer = rpcwire::formatResponse(xmlrpc_c::value_double(c.expected));
    EXPECT_NE(answer.find(std::string("<double>") + c.text + "</double>"),
              std::string::npos) << answer;
  }
}

// The text of the one <double> in `document`.
std::string doubleText(const std::string& document) {
  const std::size_t start = document.find("<double>") + 8;
  return document.substr(start, document.find("</double>") - start);
}

// XML-RPC's own form of a double: an optional minus, digits, a point,
// digits; no exponent.
bool inXmlRpcForm(const std::string& text) {
  const std::size_t digits = text[0] == '-' ? 1 : 0;
  const std::size_t point = text.find('.');
  return point != std::string::npos && point > digits &&
         point + 1 < text.size() &&
         text.find_first_not_of("0123456789", digits) == point &&
         text.find_first_not_of("0123456789", point + 1) == std::string::npos;
}

TEST(RpcwireDouble, RandomBitPatternsRoundTripExactly) {
  std::mt19937_64 random(20240611);
  int checked = 0;
  while (checked < 10000) {
    const std::uint64_t bits = random();
    double d = 0.0;
    std::memcpy(&d, &bits, sizeof d);
    if (!std::isfinite(d)) continue;
    ++checked;

    const std::string text =
        rpcwire::formatResponse(xmlrpc_c::value_double(d));
    ASSERT_TRUE(inXmlRpcForm(doubleText(text))) << text;
    const rpcwire::Response answer = parseAnswer(text);
    ASSERT_EQ(bitsOf(xmlrpc_c::value_double(answer.value).cvalue()), bits);

    xmlrpc_c::paramList in;
    in.add(xmlrpc_c::value_double(d));
    const std::string call = rpcwire::formatCall("setInputDoubleData", in);
    std::string name;
    xmlrpc_c::paramList out;
    ASSERT_TRUE(rpcwire::parseCall(call.data(), call.size(), &name, &out).ok());
    ASSERT_EQ(bitsOf(out.getDouble(0)), bits);
  }
}

TEST(RpcwireDouble, AcceptsWhatSendersWrite) {
  const struct {
    const char* text;
    double expected;
  } cases[] = {{"1.5", 1.5},        {"-0.0", -0.0},     {"1e-300", 1e-300},
               {"5e-324", 5e-324},  {"1E+10", 1e10},    {"+2.5", 2.5},
               {" 7 ", 7.0},        {".5", 0.5},        {"3.", 3.0},
               {"1e-400", 0.0},     {"-1e-400", -0.0},
               {"1.7976931348623157e308", 1.7976931348623157e308}};
  for (const auto& c : cases) {
    double parsed = 1.0;
    ASSERT_TRUE(parseDoubleText(c.text, &parsed).ok()) << c.text;
    EXPECT_EQ(bitsOf(parsed), bitsOf(c.expected)) << c.text;
  }
}

TEST(RpcwireDouble, RefusesNonNumbersAndOverflow) {
  for (const char* text : {"inf", "-inf", "nan", "NaN", "infinity", "0x1p3",
                           "", " ", "1e999", "-1e400", "1.5.2", "e5", "--1",
                           "+-1", "1e", "1e+", "1,5", "1.5x"}) {
    double parsed = 0.0;
    EXPECT_EQ(parseDoubleText(text, &parsed).status, ParseStatus::kNotXmlRpc)
        << text;
  }
}

// Written out in full, never with an exponent, and no longer than needed.
TEST(RpcwireFormat, WritesDoublesWithoutExponentAtTheirShortest) {
  const struct {
    double value;
    std::string text;
  } cases[] = {{-0.0, "-0.0"},
               {100.0, "100.0"},
               {0.1, "0.1"},
               {1e21, "1" + std::string(21, '0') + ".0"},
               {-1e308, "-1" + std::string(308, '0') + ".0"},
               {5e-324, "0." + std::string(323, '0') + "5"}};
  for (const auto& c : cases) {
    EXPECT_EQ(doubleText(rpcwire::formatResponse(xmlrpc_c::value_double(c.value))),
              c.text);
  }
}

TEST(RpcwireFormat, RefusesInfinityAndNaNAndKeepsNegativeZero) {
  EXPECT_THROW(rpcwire::formatResponse(xmlrpc_c::value_double(
                   std::numeric_limits<double>::infinity())),
               rpcwire::FormatError);
  xmlrpc_c::paramList nan;
  nan.add(xmlrpc_c::value_double(std::numeric_limits<double>::quiet_NaN()));
  EXPECT_THROW(rpcwire::formatCall("m", nan), rpcwire::FormatError);

  const rpcwire::Response zero =
      parseAnswer(rpcwire::formatResponse(xmlrpc_c::value_double(-0.0)));
  EXPECT_TRUE(std::signbit(xmlrpc_c::value_double(zero.value).cvalue()));
}

TEST(RpcwireFormat, WritesCallsAsPythonDoes) {
  xmlrpc_c::paramList params;
  params.add(xmlrpc_c::value_string("in1"));
  params.add(xmlrpc_c::value_int(3));
  EXPECT_EQ(rpcwire::formatCall("getInputIntData", params),
            "<?xml version='1.0'?>\n<methodCall>\n"
            "<methodName>getInputIntData</methodName>\n<params>\n"
            "<param>\n<value><string>in1</string></value>\n</param>\n"
            "<param>\n<value><int>3</int></value>\n</param>\n"
            "</params>\n</methodCall>\n");
}

// Every type, nested, survives format -> parse -> format unchanged.
TEST(RpcwireFormat, EveryTypeRoundTrips) {
  std::map<std::string, xmlrpc_c::value> members;
  members["i"] = xmlrpc_c::value_int(-7);
  members["i8"] = xmlrpc_c::value_i8(-9000000000LL);
  members["b"] = xmlrpc_c::value_boolean(true);
  members["d"] = xmlrpc_c::value_double(0.1);
  // nlCode_lf: xmlrpc-c's default would store the CR as LF.
  members["s"] = xmlrpc_c::value_string("a&b<c>d\re\n\"'\xC3\xA9",
                                        xmlrpc_c::value_string::nlCode_lf);
  xmlrpc_datetime when{2024, 2, 29, 23, 59, 58, 125000};
  members["t"] = xmlrpc_c::value_datetime(when);
  members["raw"] = xmlrpc_c::value_bytestring({0, 1, 0xFE, 0xFF, 'x'});
  members["nil"] = xmlrpc_c::value_nil();
  members["list"] = xmlrpc_c::value_array(xmlrpc_c::carray{xmlrpc_c::value_int(1), xmlrpc_c::value_array(xmlrpc_c::carray()),
       xmlrpc_c::value_struct(xmlrpc_c::cstruct())});
  xmlrpc_c::paramList params;
  params.add(xmlrpc_c::value_struct(members));
  params.add(xmlrpc_c::value_string(""));

  const std::string first = rpcwire::formatCall("m", params);
  std::string name;
  xmlrpc_c::paramList parsed;
  const rpcwire::ParseResult r =
      rpcwire::parseCall(first.data(), first.size(), &name, &parsed);
  ASSERT_TRUE(r.ok()) << r.message;
  EXPECT_EQ(rpcwire::formatCall(name, parsed), first);
  EXPECT_EQ(xmlrpc_c::value_string(
                xmlrpc_c::value_struct(parsed[0]).cvalue()["s"]).cvalue(),
            "a&b<c>d\re\n\"'\xC3\xA9");
}

TEST(RpcwireFormat, RefusesTextXmlCannotCarry) {
  EXPECT_THROW(rpcwire::formatResponse(
                   xmlrpc_c::value_string(std::string("a\0b", 3))),
               rpcwire::FormatError);
  // A fault always goes out, with the unfit character replaced.
  const rpcwire::Response fault =
      parseAnswer(rpcwire::formatFault(-1, std::string("a\x01\xFF", 3)));
  EXPECT_TRUE(fault.isFault);
  EXPECT_EQ(fault.faultString, "a??");
}

TEST(RpcwireParse, ReadsPythonStyleCall) {
  const std::string text =
      "<?xml version='1.0'?>\n<methodCall>\n<methodName>m</methodName>\n"
      "<params>\n"
      "<param>\n<value><int>42</int></value>\n</param>\n"
      "<param>\n<value><i4>-1</i4></value>\n</param>\n"
      "<param>\n<value><boolean>1</boolean></value>\n</param>\n"
      "<param>\n<value><string>text</string></value>\n</param>\n"
      "<param>\n<value>bare</value>\n</param>\n"
      "<param>\n<value><double>2.5</double></value>\n</param>\n"
      "<param>\n<value><dateTime.iso8601>20240102T03:04:05</dateTime.iso8601>"
      "</value>\n</param>\n"
      "<param>\n<value><base64>\naGk=\n</base64></value>\n</param>\n"
      "<param>\n<value><struct>\n"
      "<member><name>k</name><value><int>0</int></value></member>\n"
      "<member>\n<name>k</name>\n"
      "<value><int>1</int></value>\n</member>\n</struct></value>\n</param>\n"
      "<param>\n<value><array><data>\n<value><int>5</int></value>\n"
      "</data></array></value>\n</param>\n"
      "<param>\n<value><nil/></value></param>\n"
      "<param>\n<value><ex:i8>9000000000</ex:i8></value></param>\n"
      "</params>\n</methodCall>\n";
  std::string name;
  xmlrpc_c::paramList p;
  const rpcwire::ParseResult r =
      rpcwire::parseCall(text.data(), text.size(), &name, &p);
  ASSERT_TRUE(r.ok()) << r.message;
  EXPECT_EQ(name, "m");
  ASSERT_EQ(p.size(), 12u);
  EXPECT_EQ(p.getInt(0), 42);
  EXPECT_EQ(p.getInt(1), -1);
  EXPECT_TRUE(p.getBoolean(2));
  EXPECT_EQ(p.getString(3), "text");
  EXPECT_EQ(p.getString(4), "bare");
  EXPECT_EQ(p.getDouble(5), 2.5);
  const xmlrpc_datetime dt = xmlrpc_c::value_datetime(p[6]);
  EXPECT_EQ(dt.Y * 10000 + dt.M * 100 + dt.D, 20240102u);
  EXPECT_EQ(dt.h * 10000 + dt.m * 100 + dt.s, 30405u);
  EXPECT_EQ(p.getBytestring(7), std::vector<unsigned char>({'h', 'i'}));
  EXPECT_EQ(xmlrpc_c::value_int(p.getStruct(8)["k"]).cvalue(), 1);
  EXPECT_EQ(xmlrpc_c::value_int(p.getArray(9).at(0)).cvalue(), 5);
  EXPECT_EQ(p[10].type(), xmlrpc_c::value::TYPE_NIL);
  EXPECT_EQ(xmlrpc_c::value_i8(p[11]).cvalue(), 9000000000LL);
}

TEST(RpcwireParse, TellsFaultFromValue) {
  const std::string text =
      "<?xml version='1.0'?>\n<methodResponse>\n<fault>\n<value><struct>\n"
      "<member>\n<name>faultCode</name>\n<value><int>-506</int></value>\n"
      "</member>\n<member>\n<name>faultString</name>\n"
      "<value><string>no such method</string></value>\n</member>\n"
      "</struct></value>\n</fault>\n</methodResponse>\n";
  const rpcwire::Response fault = parseAnswer(text);
  EXPECT_TRUE(fault.isFault);
  EXPECT_EQ(fault.faultCode, -506);
  EXPECT_EQ(fault.faultString, "no such method");

  const rpcwire::Response value =
      parseAnswer(rpcwire::formatResponse(xmlrpc_c::value_boolean(true)));
  EXPECT_FALSE(value.isFault);
  EXPECT_TRUE(xmlrpc_c::value_boolean(value.value).cvalue());
}

TEST(RpcwireParse, DecodesEntitiesCdataAndLineEnds) {
  EXPECT_EQ(parsedString("<value>&lt;&gt;&amp;&quot;&apos;&#65;&#x42;"
                         "&#x20AC;&#8364;\xE2\x82\xAC</value>"),
            "<>&\"'AB\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC");
  // xmlrpc-c's strings hold the Basic Multilingual Plane only: refused, not
  // mangled.
  EXPECT_EQ(callStatus(wrapCall("<value>&#x10348;</value>")),
            ParseStatus::kNotXmlRpc);
  EXPECT_EQ(parsedString("<value><string>a<![CDATA[<b>&c]]>d<!-- x -->e"
                         "</string></value>"),
            "a<b>&cde");
  EXPECT_EQ(parsedString("<value>a\r\nb\rc&#13;</value>"), "a\nb\nc\r");
  for (const char* bad : {"&#0;", "&#xD800;", "&#x110000;", "&#xFFFE;",
                          "&nope;", "&#;", "&#12a;", "\x01"}) {
    EXPECT_EQ(callStatus(wrapCall(std::string("<value>") + bad + "</value>")),
              ParseStatus::kMalformedXml) << bad;
  }
}

// The encodings xmlrpc-c's own server reads; any other is named in the fault.
TEST(RpcwireParse, ReadsTheDeclaredEncodingsXmlrpcCReads) {
  const auto declared = [](const std::string& encoding) {
    return "<?xml version='1.0' encoding='" + encoding + "'?>" +
           wrapCall("<value><string>caf\xE9</string></value>");
  };
  const auto parse = [](const std::string& text, std::string* value) {
    std::string name;
    xmlrpc_c::paramList params;
    const rpcwire::ParseResult r =
        rpcwire::parseCall(text.data(), text.size(), &name, &params);
    if (r.ok()) *value = params.getString(0);
    return r;
  };
  std::string value;
  ASSERT_TRUE(parse(declared("ISO-8859-1"), &value).ok());
  EXPECT_EQ(value, "caf\xC3\xA9");
  ASSERT_TRUE(parse(declared("iso-8859-1"), &value).ok());
  EXPECT_EQ(value, "caf\xC3\xA9");
  EXPECT_EQ(parse(declared("US-ASCII"), &value).status,
            ParseStatus::kMalformedXml);
  EXPECT_EQ(parse(declared("UTF-8"), &value).status,
            ParseStatus::kMalformedXml);  // a lone Latin-1 byte
  const rpcwire::ParseResult other = parse(declared("Shift_JIS"), &value);
  EXPECT_EQ(other.status, ParseStatus::kMalformedXml);
  EXPECT_NE(other.message.find("Shift_JIS"), std::string::npos);
  const std::string ascii = "<?xml version=\"1.0\" encoding = \"US-ASCII\"?>" +
                            wrapCall("<value>cafe</value>");
  ASSERT_TRUE(parse(ascii, &value).ok());
  EXPECT_EQ(value, "cafe");
}

TEST(RpcwireParse, RefusesWhatIsNoXmlRpcCall) {
  const struct {
    std::string text;
    ParseStatus status;
  } cases[] = {
      {"", ParseStatus::kMalformedXml},
      {"<methodCall>", ParseStatus::kMalformedXml},
      {"<methodCall></methodcall>", ParseStatus::kMalformedXml},
      {"<!DOCTYPE x><methodCall/>", ParseStatus::kMalformedXml},
      {"<methodCall><methodName>m</methodName></methodCall><x/>",
       ParseStatus::kMalformedXml},
      {"<methodCall a=1><methodName>m</methodName></methodCall>",
       ParseStatus::kMalformedXml},
      {"<methodCall><methodName>\xC0\xAF</methodName></methodCall>",
       ParseStatus::kMalformedXml},
      {"<methodResponse/>", ParseStatus::kNotXmlRpc},
      {"<methodCall><params/></methodCall>", ParseStatus::kNotXmlRpc},
      {wrapCall("<value><int>2147483648</int></value>"), ParseStatus::kNotXmlRpc},
      {wrapCall("<value><boolean>2</boolean></value>"), ParseStatus::kNotXmlRpc},
      {wrapCall("<value><base64>a</base64></value>"), ParseStatus::kNotXmlRpc},
      {wrapCall("<value><float>1</float></value>"), ParseStatus::kNotXmlRpc},
      {wrapCall("<value>x<int>1</int></value>"), ParseStatus::kNotXmlRpc},
      {wrapCall("<value><struct><member><name>a</name></member></struct></value>"),
       ParseStatus::kNotXmlRpc},
  };
  for (const auto& c : cases) EXPECT_EQ(callStatus(c.text), c.status) << c.text;
}

// Depth and size limits, on a thread stack as small as a server's: the
// parser must neither recurse with depth nor give up on honest depth.
TEST(RpcwireParse, DeepInputFailsWithoutStackGrowth) {
  std::string arrays = "<methodCall><methodName>m</methodName><params><param>";
  for (int i = 0; i < 100000; ++i) arrays += "<value><array><data>";
  // The same within the size limit, so the depth limit must catch it.
  const std::string fits = arrays.substr(0, rpcwire::kMaxRequestBytes);
  std::string unclosed = "<methodCall>";
  for (int i = 0; i < 100000; ++i) unclosed += "<a>";
  std::string unknown;
  for (int i = 0; i < 10000; ++i) unknown += "<x>";
  for (int i = 0; i < 10000; ++i) unknown += "</x>";
  std::string honest = "<value><int>1</int></value>";
  for (int i = 0; i < 15; ++i) {
    honest = "<value><array><data>" + honest + "</data></array></value>";
  }
  honest = wrapCall(honest);

  rpcwire_test::runOnSmallStack([&] {
    EXPECT_EQ(callStatus(arrays), ParseStatus::kTooLarge);
    EXPECT_EQ(readerStatus(arrays), ParseStatus::kTooDeep);
    EXPECT_EQ(callStatus(fits), ParseStatus::kTooDeep);
    EXPECT_NE(callStatus(unclosed), ParseStatus::kOk);
    EXPECT_EQ(readerStatus(unclosed), ParseStatus::kTooDeep);
    rpcwire::Response response;
    EXPECT_EQ(rpcwire::parseResponse(unknown.data(), unknown.size(), &response)
                  .status, ParseStatus::kNotXmlRpc);
    EXPECT_EQ(readerStatus(unknown), ParseStatus::kTooDeep);
    std::string limit;
    for (std::size_t i = 0; i < rpcwire::kMaxElementDepth; ++i) limit += "<x>";
    for (std::size_t i = 0; i < rpcwire::kMaxElementDepth; ++i) limit += "</x>";
    EXPECT_EQ(readerStatus(limit), ParseStatus::kOk);
    EXPECT_EQ(readerStatus("<y>" + limit + "</y>"), ParseStatus::kTooDeep);
    EXPECT_EQ(callStatus(honest), ParseStatus::kOk);
  });
}

TEST(RpcwireParse, OversizedBodyRefused) {
  std::string body = wrapCall("<value>x</value>");
  body.resize(rpcwire::kMaxRequestBytes, ' ');
  EXPECT_EQ(callStatus(body), ParseStatus::kOk);
  body.push_back(' ');
  EXPECT_EQ(callStatus(body), ParseStatus::kTooLarge);
}

// Values far deeper than any parser accepts still format, iteratively. The
// value is built and destroyed on this thread: xmlrpc-c frees it recursively.
TEST(RpcwireFormat, DeepValueFormatsOnSmallStack) {
  std::vector<xmlrpc_c::value> chain{xmlrpc_c::value_int(1)};
  for (int i = 0; i < 1000; ++i) {
    chain.push_back(xmlrpc_c::value_array(xmlrpc_c::carray{chain.back()}));
  }
  std::string text;
  rpcwire_test::runOnSmallStack(
      [&] { text = rpcwire::formatResponse(chain.back()); });
  EXPECT_NE(text.find("<int>1</int>"), std::string::npos);
  EXPECT_EQ(callStatus(text), ParseStatus::kNotXmlRpc);  // an answer, not a call
}

// Damaged copies of real documents: whatever the parser says, it must say
// it without crashing (the sanitizer builds check the memory accesses).
TEST(RpcwireParse, SurvivesDamagedDocuments) {
  xmlrpc_c::paramList params;
  params.add(xmlrpc_c::value_struct(xmlrpc_c::cstruct
      {{"a", xmlrpc_c::value_array(xmlrpc_c::carray{xmlrpc_c::value_double(1.25),
                                    xmlrpc_c::value_bytestring({1, 2, 3})})},
       {"b", xmlrpc_c::value_string("&<x>")}}));
  const std::string original = rpcwire::formatCall("m", params) +
                               "<!-- c --><![CDATA[x]]>&#65;";
  std::mt19937 random(7);
  int accepted = 0;
  for (int i = 0; i < 10000; ++i) {
    std::string damaged = original;
    const int edits = 1 + static_cast<int>(random() % 4);
    for (int e = 0; e < edits; ++e) {
      const std::size_t at = random() % damaged.size();
      switch (random() % 3) {
        case 0: damaged[at] = static_cast<char>(random()); break;
        case 1: damaged.erase(at, 1 + random() % 8); break;
        default: damaged.resize(at); break;
      }
      if (damaged.empty()) break;
    }
    if (callStatus(damaged) == ParseStatus::kOk) ++accepted;
  }
  EXPECT_LT(accepted, 10000);
}

}  // namespace

// The reader, the formatter and the dispatcher's quotes share this decoder:
// each class of malformed sequence must be refused at its first byte.
TEST(RpcwireUtf8, DecodesWellFormedAndRefusesEachMalformedClass) {
  using rpcwire::detail::decodeUtf8;
  const struct {
    std::string bytes;
    std::size_t length;
    std::uint32_t codePoint;
  } cases[] = {
      {"A", 1, 'A'},           {"\xC3\xA9", 2, 0xE9},
      {"\xEF\xBF\xBF", 3, 0xFFFF}, {"\xF4\x8F\xBF\xBF", 4, 0x10FFFF},
      {"\xC0\xAF", 0, 0},      {"\xE0\x9F\xBF", 0, 0},      // overlong
      {"\xED\xA0\x80", 0, 0},  {"\xF4\x90\x80\x80", 0, 0},  // surrogate, > U+10FFFF
      {"\x80", 0, 0},          {"\xF8\x88\x80\x80", 0, 0},  // stray, no lead byte
      {"\xE2\x82", 0, 0},      {"\xE2\x28\xAC", 0, 0},      // cut off, no continuation
  };
  for (const auto& c : cases) {
    const rpcwire::detail::Utf8Sequence s = decodeUtf8(c.bytes, 0);
    EXPECT_EQ(s.length, c.length) << c.bytes;
    if (c.length != 0) {
      EXPECT_EQ(s.codePoint, c.codePoint) << c.bytes;
    }
  }
}
