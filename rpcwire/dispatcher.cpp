#include "rpcwire/dispatcher.h"

#include <cstdint>
#include <exception>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "rpcwire/format_detail.h"
#include "rpcwire/utf8.h"
#include "rpcwire/xmlrpc_text.h"

namespace rpcwire {

namespace {

constexpr char kMulticallHead[] =
    "<?xml version='1.0'?>\n<methodResponse>\n<params>\n<param>\n"
    "<value><array><data>\n";
constexpr char kMulticallTail[] =
    "</data></array></value>\n</param>\n</params>\n</methodResponse>\n";

// A fault the dispatcher itself raises, beside the methods' xmlrpc_c::fault.
struct CallFault {
  int code;
  std::string text;
};

// A fault text that quotes what a client sent must stay readable by every
// XML-RPC reader, or the client cannot even learn why it was refused: what a
// reader may refuse (control characters, characters beyond U+FFFF, bytes that
// are not UTF-8) becomes '?', and a long quote is cut.
std::string quotable(const std::string& text) {
  constexpr std::size_t kMaxQuoteBytes = 200;
  std::string out;
  std::size_t i = 0;
  while (i < text.size() && out.size() < kMaxQuoteBytes) {
    const detail::Utf8Sequence sequence = detail::decodeUtf8(text, i);
    const std::uint32_t cp = sequence.codePoint;
    const bool quoted = sequence.length != 0 && cp != 0x7F && cp < 0x10000 &&
                        (cp >= 0x20 || cp == '\t' || cp == '\n');
    if (quoted) {
      out.append(text, i, sequence.length);
      i += sequence.length;
    } else {
      out += '?';
      ++i;
    }
  }
  if (i < text.size()) out += "...";
  return out;
}

bool isSystemName(const std::string& name) {
  return name == Dispatcher::kListMethods || name == Dispatcher::kMulticall;
}

// Runs `call`, turning every way it can fail into a fault code and text,
// the way xmlrpc-c's registry does. Returns false with *code and *text set
// on failure.
template <typename Call>
bool runGuarded(Call&& call, int* code, std::string* text) {
  try {
    call();
    return true;
  } catch (const CallFault& f) {
    *code = f.code;
    *text = f.text;
  } catch (const xmlrpc_c::fault& f) {
    *code = static_cast<int>(f.getCode());
    *text = f.getDescription();
  } catch (const FormatError& e) {
    *code = kFaultInternal;
    *text = std::string("the method's result cannot be sent: ") + e.what();
  } catch (const std::exception& e) {
    *code = kFaultInternal;
    *text = e.what();
  } catch (...) {
    *code = kFaultInternal;
    *text = "the method failed with an unknown exception";
  }
  return false;
}

}  // namespace

Dispatcher::Dispatcher() = default;
Dispatcher::~Dispatcher() = default;

void Dispatcher::add(const std::string& name,
                     const xmlrpc_c::methodPtr& method) {
  if (name.empty()) throw std::invalid_argument("a method needs a name");
  if (isSystemName(name)) {
    throw std::invalid_argument(name + " is answered by the dispatcher");
  }
  if (!methods_.emplace(name, method).second) {
    throw std::invalid_argument(name + " is already added");
  }
  order_.push_back(name);
}

std::vector<std::string> Dispatcher::methodNames() const {
  std::vector<std::string> names = order_;
  names.emplace_back(kListMethods);
  names.emplace_back(kMulticall);
  return names;
}

std::string Dispatcher::process(const char* body, std::size_t size) const {
  std::string name;
  xmlrpc_c::paramList params;
  const ParseResult parsed = parseCall(body, size, &name, &params);
  if (!parsed.ok()) {
    return formatFault(kFaultParse, std::string("XML-RPC parse error (") +
                                        statusName(parsed.status) +
                                        "): " + quotable(parsed.message));
  }
  return processCall(name, params);
}

std::string Dispatcher::processCall(const std::string& name,
                                    const xmlrpc_c::paramList& params) const {
  std::string answer;
  int code = 0;
  std::string text;
  const bool ok = runGuarded(
      [&] {
        answer = name == kMulticall ? processMulticall(params)
                                    : formatResponse(execute(name, params));
      },
      &code, &text);
  return ok ? answer : formatFault(code, text);
}

xmlrpc_c::value Dispatcher::execute(const std::string& name,
                                    const xmlrpc_c::paramList& params) const {
  if (name == kListMethods) {
    std::vector<xmlrpc_c::value> names;
    for (const std::string& n : methodNames()) {
      names.push_back(xmlrpc_c::value_string(n));
    }
    return xmlrpc_c::value_array(names);
  }
  const auto found = methods_.find(name);
  if (found == methods_.end()) {
    throw CallFault{kFaultNoSuchMethod,
                    "Method '" + quotable(name) + "' not defined"};
  }
  xmlrpc_c::value result;
  found->second->execute(params, &result);
  if (!result.isInstantiated()) {
    throw CallFault{kFaultInternal,
                    "method '" + name + "' did not set its result"};
  }
  return result;
}

std::string Dispatcher::processMulticall(
    const xmlrpc_c::paramList& params) const {
  if (params.size() != 1 ||
      params[0].type() != xmlrpc_c::value::TYPE_ARRAY) {
    throw CallFault{kFaultType,
                    "system.multicall takes one parameter: an array of calls"};
  }
  const std::vector<xmlrpc_c::value> calls = params.getArray(0);
  std::string out = kMulticallHead;
  for (const xmlrpc_c::value& call : calls) appendMulticallElement(&out, call);
  out += kMulticallTail;
  return out;
}

// Each call's result is a one-element array, each failure a fault struct,
// so one failing call leaves the others' results intact.
void Dispatcher::appendMulticallElement(std::string* out,
                                        const xmlrpc_c::value& element) const {
  const std::size_t mark = out->size();
  int code = 0;
  std::string text;
  const bool ok = runGuarded(
      [&] {
        if (element.type() != xmlrpc_c::value::TYPE_STRUCT) {
          throw CallFault{kFaultType, "a multicall element must be a struct"};
        }
        const std::map<std::string, xmlrpc_c::value> call =
            xmlrpc_c::value_struct(element);
        const auto name = call.find("methodName");
        if (name == call.end() ||
            name->second.type() != xmlrpc_c::value::TYPE_STRING) {
          throw CallFault{kFaultType,
                          "a multicall element needs a string methodName"};
        }
        const std::string methodName = xmlrpc_c::value_string(name->second);
        if (methodName == kMulticall) {
          throw CallFault{kFaultRefused, "Recursive system.multicall forbidden"};
        }
        xmlrpc_c::paramList callParams;
        const auto args = call.find("params");
        if (args != call.end()) {
          if (args->second.type() != xmlrpc_c::value::TYPE_ARRAY) {
            throw CallFault{kFaultType,
                            "a multicall element's params must be an array"};
          }
          for (const xmlrpc_c::value& v :
               xmlrpc_c::value_array(args->second).vectorValueValue()) {
            callParams.add(v);
          }
        }
        const xmlrpc_c::value result = execute(methodName, callParams);
        out->append("<value><array><data>\n");
        appendValue(out, result);
        out->append("</data></array></value>\n");
      },
      &code, &text);
  if (!ok) {
    out->resize(mark);  // drop a half-written result
    detail::appendFaultValue(out, code, text);
  }
}

}  // namespace rpcwire
