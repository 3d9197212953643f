// Fuzzes the robot client's direct reader of multicall answers against its general reader: the
// input is an answer document, byte 0 the number of calls it answers (0..15).
//
// Properties: neither reader crashes on any bytes; whatever the direct reader takes, the
// general reader reads as an array of as many one-element arrays, each holding a value of the
// same type and, for ints, booleans and doubles, the same value (doubles bit for bit).
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "robotio/call_codec.h"
#include "robotio/multicall_codec.h"
#include "robotio/register_multicall.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const size_t count = data[0] % 16;
  const char* xml = reinterpret_cast<const char*>(data + 1);
  const size_t length = size - 1;

  std::vector<robotio::ScalarResult> direct;
  const bool taken = robotio::readScalarMulticall(xml, length, count, &direct);
  const robotio::Answer answer = robotio::parseAnswer(xml, length);
  if (!taken) return 0;

  FUZZ_CHECK(direct.size() == count);
  FUZZ_CHECK(answer.kind == robotio::Answer::Kind::kValue);
  std::vector<robotio::MulticallResult> general;
  std::string error;
  FUZZ_CHECK(robotio::readMulticallResults(answer.value, count, &general, &error));
  for (size_t i = 0; i < count; ++i) {
    FUZZ_CHECK(!general[i].isFault);
    const xmlrpc_c::value& v = general[i].value;
    FUZZ_CHECK(v.type() == direct[i].type);
    switch (v.type()) {
      case xmlrpc_c::value::TYPE_INT:
        FUZZ_CHECK(xmlrpc_c::value_int(v).cvalue() == direct[i].intValue);
        break;
      case xmlrpc_c::value::TYPE_BOOLEAN:
        FUZZ_CHECK(xmlrpc_c::value_boolean(v).cvalue() == direct[i].boolValue);
        break;
      case xmlrpc_c::value::TYPE_DOUBLE: {
        const double d = xmlrpc_c::value_double(v).cvalue();
        FUZZ_CHECK(std::memcmp(&d, &direct[i].doubleValue, sizeof d) == 0);
        break;
      }
      default:
        break;
    }
  }
  return 0;
}
