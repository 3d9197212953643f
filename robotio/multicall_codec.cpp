#include "robotio/multicall_codec.h"

#include <map>
#include <utility>

namespace robotio {

namespace {

using Type = xmlrpc_c::value::type_t;

// The fault struct of a multicall element: exactly the two standard
// members, of their standard types.
bool readFault(const xmlrpc_c::value& element, MulticallResult* out) {
  const std::map<std::string, xmlrpc_c::value> members =
      xmlrpc_c::value_struct(element);
  const auto code = members.find("faultCode");
  const auto text = members.find("faultString");
  if (members.size() != 2 || code == members.end() || text == members.end() ||
      code->second.type() != Type::TYPE_INT ||
      text->second.type() != Type::TYPE_STRING) {
    return false;
  }
  out->isFault = true;
  out->faultCode = xmlrpc_c::value_int(code->second).cvalue();
  out->text = xmlrpc_c::value_string(text->second).cvalue();
  return true;
}

MulticallResult readElement(const xmlrpc_c::value& element) {
  MulticallResult result;
  if (element.type() == Type::TYPE_ARRAY) {
    const std::vector<xmlrpc_c::value> wrapped =
        xmlrpc_c::value_array(element).vectorValueValue();
    if (wrapped.size() == 1) {
      result.isFault = false;
      result.value = wrapped[0];
      return result;
    }
  } else if (element.type() == Type::TYPE_STRUCT && readFault(element, &result)) {
    return result;
  }
  result.isFault = true;
  result.malformed = true;
  result.text =
      "multicall element is neither a one-element array nor a fault struct";
  return result;
}

}  // namespace

void MulticallBuilder::add(const char* method,
                           const xmlrpc_c::paramList& params) {
  std::vector<xmlrpc_c::value> args;
  args.reserve(params.size());
  for (unsigned i = 0; i < params.size(); ++i) args.push_back(params[i]);
  std::map<std::string, xmlrpc_c::value> call;
  call.emplace("methodName", xmlrpc_c::value_string(method));
  call.emplace("params", xmlrpc_c::value_array(args));
  calls_.push_back(xmlrpc_c::value_struct(call));
}

xmlrpc_c::paramList MulticallBuilder::take() {
  xmlrpc_c::paramList params;
  params.add(xmlrpc_c::value_array(calls_));
  calls_.clear();
  return params;
}

bool readMulticallResults(const xmlrpc_c::value& result, size_t count,
                          std::vector<MulticallResult>* out,
                          std::string* error) {
  if (result.type() != Type::TYPE_ARRAY) {
    *error = "multicall answer is not an array";
    return false;
  }
  const std::vector<xmlrpc_c::value> elements =
      xmlrpc_c::value_array(result).vectorValueValue();
  if (elements.size() != count) {
    *error = "multicall answer has " + std::to_string(elements.size()) +
             " elements for " + std::to_string(count) + " calls";
    return false;
  }
  out->clear();
  out->reserve(count);
  for (const xmlrpc_c::value& element : elements) {
    out->push_back(readElement(element));
  }
  return true;
}

}  // namespace robotio
