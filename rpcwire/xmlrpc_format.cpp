#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "rpcwire/format_detail.h"
#include "rpcwire/number_text.h"
#include "rpcwire/utf8.h"
#include "rpcwire/xmlrpc_text.h"

namespace rpcwire {

namespace {

constexpr char kProlog[] = "<?xml version='1.0'?>\n";

// Room for a typical small call or answer in one allocation.
constexpr std::size_t kTypicalDocumentBytes = 512;

// One array or struct whose elements are still being written.
struct Open {
  bool isStruct = false;
  std::vector<xmlrpc_c::value> items;
  std::size_t next = 0;
  std::map<std::string, xmlrpc_c::value> members;
  std::map<std::string, xmlrpc_c::value>::const_iterator member;
  bool memberOpen = false;
};

// Writes a scalar whole, or opens an array or struct on `open`.
void beginValue(std::string* out, const xmlrpc_c::value& v,
                std::deque<Open>* open) {
  if (!v.isInstantiated()) throw FormatError("a value that was never set");
  switch (v.type()) {
    case xmlrpc_c::value::TYPE_INT:
      out->append("<value><int>");
      detail::appendInt(out, xmlrpc_c::value_int(v).cvalue());
      out->append("</int></value>\n");
      return;
    case xmlrpc_c::value::TYPE_I8:
      out->append("<value><i8>");
      detail::appendInt(out, xmlrpc_c::value_i8(v).cvalue());
      out->append("</i8></value>\n");
      return;
    case xmlrpc_c::value::TYPE_BOOLEAN:
      out->append(xmlrpc_c::value_boolean(v).cvalue()
                      ? "<value><boolean>1</boolean></value>\n"
                      : "<value><boolean>0</boolean></value>\n");
      return;
    case xmlrpc_c::value::TYPE_DOUBLE:
      out->append("<value><double>");
      if (!detail::appendDouble(out, xmlrpc_c::value_double(v).cvalue())) {
        throw FormatError("infinity or NaN has no XML-RPC form");
      }
      out->append("</double></value>\n");
      return;
    case xmlrpc_c::value::TYPE_STRING:
      out->append("<value><string>");
      detail::appendEscaped(out, xmlrpc_c::value_string(v).cvalue(),
                            detail::Unfit::kThrow);
      out->append("</string></value>\n");
      return;
    case xmlrpc_c::value::TYPE_DATETIME:
      out->append("<value><dateTime.iso8601>");
      detail::appendDateTime(
          out, static_cast<xmlrpc_datetime>(xmlrpc_c::value_datetime(v)));
      out->append("</dateTime.iso8601></value>\n");
      return;
    case xmlrpc_c::value::TYPE_BYTESTRING:
      out->append("<value><base64>");
      detail::appendBase64(out, xmlrpc_c::value_bytestring(v).cvalue());
      out->append("</base64></value>\n");
      return;
    case xmlrpc_c::value::TYPE_NIL:
      out->append("<value><nil/></value>\n");
      return;
    case xmlrpc_c::value::TYPE_ARRAY: {
      out->append("<value><array><data>\n");
      Open& array = open->emplace_back();
      array.items = xmlrpc_c::value_array(v).cvalue();
      return;
    }
    case xmlrpc_c::value::TYPE_STRUCT: {
      out->append("<value><struct>\n");
      Open& st = open->emplace_back();
      st.isStruct = true;
      st.members = xmlrpc_c::value_struct(v).cvalue();
      st.member = st.members.begin();
      return;
    }
    case xmlrpc_c::value::TYPE_C_PTR:
    case xmlrpc_c::value::TYPE_DEAD:
      break;
  }
  throw FormatError("a value of no XML-RPC type");
}

void appendParamsDocument(std::string* out, const char* root,
                          const std::string* methodName,
                          const xmlrpc_c::value* const* values,
                          std::size_t count) {
  out->reserve(kTypicalDocumentBytes);
  out->append(kProlog);
  out->append("<").append(root).append(">\n");
  if (methodName != nullptr) {
    out->append("<methodName>");
    detail::appendEscaped(out, *methodName, detail::Unfit::kThrow);
    out->append("</methodName>\n");
  }
  out->append("<params>\n");
  for (std::size_t i = 0; i < count; ++i) {
    out->append("<param>\n");
    appendValue(out, *values[i]);
    out->append("</param>\n");
  }
  out->append("</params>\n</").append(root).append(">\n");
}

}  // namespace

namespace detail {

void appendEscaped(std::string* out, std::string_view text, Unfit unfit) {
  std::size_t i = 0;
  while (i < text.size()) {
    const char c = text[i];
    const auto b = static_cast<std::uint8_t>(c);
    if (b >= 0x80) {
      const Utf8Sequence sequence = decodeUtf8(text, i);
      const std::size_t length = sequence.length;
      // U+FFFE and U+FFFF are no XML characters either.
      if (length != 0 && sequence.codePoint != 0xFFFE &&
          sequence.codePoint != 0xFFFF) {
        out->append(text.data() + i, length);
        i += length;
        continue;
      }
      if (unfit == Unfit::kThrow) throw FormatError("text is not valid UTF-8");
      out->push_back('?');
      ++i;
      continue;
    }
    switch (c) {
      case '&': out->append("&amp;"); break;
      case '<': out->append("&lt;"); break;
      case '>': out->append("&gt;"); break;
      // A raw CR would reach the reader as LF (XML line-end handling).
      case '\r': out->append("&#13;"); break;
      case '\t':
      case '\n': out->push_back(c); break;
      default:
        if (b >= 0x20) {
          out->push_back(c);
        } else if (unfit == Unfit::kThrow) {
          throw FormatError("text holds a control character XML cannot carry");
        } else {
          out->push_back('?');
        }
    }
    ++i;
  }
}

void appendFaultValue(std::string* out, int code,
                      const std::string& faultString) {
  out->append(
      "<value><struct>\n<member>\n<name>faultCode</name>\n<value><int>");
  appendInt(out, code);
  out->append(
      "</int></value>\n</member>\n<member>\n<name>faultString</name>\n"
      "<value><string>");
  appendEscaped(out, faultString, Unfit::kReplace);
  out->append("</string></value>\n</member>\n</struct></value>\n");
}

}  // namespace detail

void appendValue(std::string* out, const xmlrpc_c::value& value) {
  std::deque<Open> open;
  beginValue(out, value, &open);
  while (!open.empty()) {
    Open& top = open.back();
    if (top.isStruct) {
      if (top.memberOpen) {
        out->append("</member>\n");
        top.memberOpen = false;
      }
      if (top.member == top.members.end()) {
        out->append("</struct></value>\n");
        open.pop_back();
        continue;
      }
      const auto member = top.member++;
      top.memberOpen = true;
      out->append("<member>\n<name>");
      detail::appendEscaped(out, member->first, detail::Unfit::kThrow);
      out->append("</name>\n");
      beginValue(out, member->second, &open);  // a deque keeps `top` valid
    } else {
      if (top.next == top.items.size()) {
        out->append("</data></array></value>\n");
        open.pop_back();
        continue;
      }
      const xmlrpc_c::value& item = top.items[top.next++];
      beginValue(out, item, &open);
    }
  }
}

std::string formatCall(const std::string& methodName,
                       const xmlrpc_c::paramList& params) {
  std::vector<xmlrpc_c::value> values;
  values.reserve(params.size());
  for (unsigned i = 0; i < params.size(); ++i) values.push_back(params[i]);
  std::vector<const xmlrpc_c::value*> pointers;
  pointers.reserve(values.size());
  for (const xmlrpc_c::value& v : values) pointers.push_back(&v);
  std::string out;
  appendParamsDocument(&out, "methodCall", &methodName, pointers.data(),
                       pointers.size());
  return out;
}

std::string formatResponse(const xmlrpc_c::value& result) {
  const xmlrpc_c::value* const values[] = {&result};
  std::string out;
  appendParamsDocument(&out, "methodResponse", nullptr, values, 1);
  return out;
}

std::string formatFault(int code, const std::string& faultString) {
  std::string out;
  out.append(kProlog);
  out.append("<methodResponse>\n<fault>\n");
  detail::appendFaultValue(&out, code, faultString);
  out.append("</fault>\n</methodResponse>\n");
  return out;
}

}  // namespace rpcwire
