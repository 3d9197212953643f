#include "robotio/call_codec.h"

#include "rpcwire/xmlrpc_text.h"

namespace robotio {

bool formatCall(const std::string& method, const xmlrpc_c::paramList& params,
                std::string* xml, std::string* error) {
  try {
    *xml = rpcwire::formatCall(method, params);
    return true;
  } catch (const rpcwire::FormatError& e) {
    *error = e.what();
    return false;
  }
}

Answer parseAnswer(const char* xml, size_t size) {
  Answer answer;
  rpcwire::Response response;
  const rpcwire::ParseResult parsed =
      rpcwire::parseResponse(xml, size, &response);
  if (!parsed.ok()) {
    answer.kind = Answer::Kind::kMalformed;
    answer.text = std::string(rpcwire::statusName(parsed.status)) + ": " +
                  parsed.message;
  } else if (response.isFault) {
    answer.kind = Answer::Kind::kFault;
    answer.fault_code = response.faultCode;
    answer.text = response.faultString;
  } else {
    answer.kind = Answer::Kind::kValue;
    answer.value = response.value;
  }
  return answer;
}

}  // namespace robotio
