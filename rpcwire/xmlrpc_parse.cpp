#include <cstdint>
#include <exception>
#include <map>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "rpcwire/number_text.h"
#include "rpcwire/xml_reader.h"
#include "rpcwire/xmlrpc_text.h"

namespace rpcwire {

const char* statusName(ParseStatus status) {
  switch (status) {
    case ParseStatus::kOk: return "ok";
    case ParseStatus::kMalformedXml: return "malformed XML";
    case ParseStatus::kTooDeep: return "nested too deep";
    case ParseStatus::kTooLarge: return "too large";
    case ParseStatus::kNotXmlRpc: return "not XML-RPC";
  }
  return "unknown";
}

namespace {

using detail::XmlReader;

enum class Kind {
  kMethodCall, kMethodResponse, kMethodName, kParams, kParam, kFault,
  kValue, kScalar, kArray, kData, kStruct, kMember, kName, kNil,
};

enum class Scalar { kInt, kI8, kBoolean, kDouble, kString, kDateTime, kBase64 };

// One open element of the document. The builder keeps these on an explicit
// stack, as deep as the reader lets elements nest, so the input's depth
// never becomes ours.
struct Frame {
  explicit Frame(Kind k, Scalar s = Scalar::kString) : kind(k), scalar(s) {}

  Kind kind;
  Scalar scalar;
  std::string text;       // character data, where the element may have it
  unsigned children = 0;  // child elements so far
  bool hasValue = false;  // kParam, kFault, kMember, kValue: `value` is set
  xmlrpc_c::value value;
  bool hasName = false;  // kMember; kMethodCall: methodName seen
  std::string name;
  std::vector<xmlrpc_c::value> items;               // kArray, kData
  std::map<std::string, xmlrpc_c::value> members;   // kStruct
};

bool scalarKind(std::string_view tag, Kind* kind, Scalar* scalar) {
  struct Entry {
    std::string_view tag;
    Kind kind;
    Scalar scalar;
  };
  static constexpr Entry kTypes[] = {
      {"int", Kind::kScalar, Scalar::kInt},
      {"i4", Kind::kScalar, Scalar::kInt},
      {"string", Kind::kScalar, Scalar::kString},
      {"double", Kind::kScalar, Scalar::kDouble},
      {"boolean", Kind::kScalar, Scalar::kBoolean},
      {"struct", Kind::kStruct, Scalar::kString},
      {"array", Kind::kArray, Scalar::kString},
      {"i8", Kind::kScalar, Scalar::kI8},
      {"ex:i8", Kind::kScalar, Scalar::kI8},
      {"dateTime.iso8601", Kind::kScalar, Scalar::kDateTime},
      {"base64", Kind::kScalar, Scalar::kBase64},
      {"nil", Kind::kNil, Scalar::kString},
      {"ex:nil", Kind::kNil, Scalar::kString},
  };
  for (const Entry& e : kTypes) {
    if (e.tag == tag) {
      *kind = e.kind;
      *scalar = e.scalar;
      return true;
    }
  }
  return false;
}

// Deep enough for the calls and answers of the gateway's API without the
// work stack growing.
constexpr std::size_t kUsualDepth = 16;

// Builds XML-RPC values from the reader's tokens. One per document.
class Builder {
 public:
  enum class Mode { kCall, kResponse };

  Builder(Mode mode, std::string* methodName, xmlrpc_c::paramList* params,
          Response* response)
      : mode_(mode), methodName_(methodName), params_(params),
        response_(response) {}

  ParseResult run(const char* text, std::size_t size) {
    stack_.reserve(kUsualDepth);
    XmlReader reader(text, size);
    for (;;) {
      switch (reader.next()) {
        case XmlReader::Token::kStart: start(reader.name()); break;
        case XmlReader::Token::kEnd: end(); break;
        case XmlReader::Token::kText: addText(reader.text()); break;
        case XmlReader::Token::kDone: return result_;
        case XmlReader::Token::kError: return reader.error();
      }
      if (!result_.ok()) return result_;
    }
  }

 private:
  void refuse(const std::string& message) {
    if (result_.ok()) {
      result_.status = ParseStatus::kNotXmlRpc;
      result_.message = message;
    }
  }

  void start(std::string_view tag) {
    if (stack_.empty()) {
      const char* const root =
          mode_ == Mode::kCall ? "methodCall" : "methodResponse";
      if (tag != root) {
        return refuse("<" + std::string(tag) + "> where <" + root +
                      "> belongs");
      }
      stack_.emplace_back(mode_ == Mode::kCall ? Kind::kMethodCall
                                               : Kind::kMethodResponse);
      return;
    }
    Frame& parent = stack_.back();
    Kind kind = Kind::kValue;
    Scalar scalar = Scalar::kString;
    bool allowed = false;
    switch (parent.kind) {
      case Kind::kMethodCall:
        if (tag == "methodName") {
          allowed = parent.children == 0, kind = Kind::kMethodName;
        } else if (tag == "params") {
          allowed = parent.children == 1, kind = Kind::kParams;
        }
        break;
      case Kind::kMethodResponse:
        if (tag == "params" || tag == "fault") {
          allowed = parent.children == 0;
          kind = tag == "params" ? Kind::kParams : Kind::kFault;
        }
        break;
      case Kind::kParams:
        allowed = tag == "param", kind = Kind::kParam;
        break;
      case Kind::kParam:
      case Kind::kFault:
      case Kind::kData:
        allowed = tag == "value" && (parent.kind == Kind::kData || !parent.hasValue);
        break;
      case Kind::kValue:
        allowed = parent.children == 0 && detail::isXmlSpace(parent.text) &&
                  scalarKind(tag, &kind, &scalar);
        parent.text.clear();
        break;
      case Kind::kArray:
        allowed = tag == "data" && parent.children == 0, kind = Kind::kData;
        break;
      case Kind::kStruct:
        allowed = tag == "member", kind = Kind::kMember;
        break;
      case Kind::kMember:
        if (tag == "name") {
          allowed = !parent.hasName, kind = Kind::kName;
        } else if (tag == "value") {
          allowed = !parent.hasValue;
        }
        break;
      case Kind::kMethodName:
      case Kind::kScalar:
      case Kind::kName:
      case Kind::kNil:
        break;
    }
    if (!allowed) return refuse("unexpected <" + std::string(tag) + ">");
    ++parent.children;
    stack_.emplace_back(kind, scalar);
  }

  void addText(const std::string& text) {
    Frame& top = stack_.back();
    const bool takesText =
        top.kind == Kind::kMethodName || top.kind == Kind::kScalar ||
        top.kind == Kind::kName ||
        (top.kind == Kind::kValue && top.children == 0);
    if (takesText) {
      top.text += text;
    } else if (!detail::isXmlSpace(text)) {
      refuse("text where only elements belong");
    }
  }

  void end() {
    Frame frame = std::move(stack_.back());
    stack_.pop_back();
    Frame* const parent = stack_.empty() ? nullptr : &stack_.back();
    switch (frame.kind) {
      case Kind::kMethodCall:
        if (frame.children == 0) refuse("<methodCall> without <methodName>");
        break;
      case Kind::kMethodResponse:
        if (frame.children == 0) refuse("empty <methodResponse>");
        break;
      case Kind::kMethodName:
        if (!fitsValueClasses(frame.text, "the method name")) return;
        *methodName_ = std::move(frame.text);
        break;
      case Kind::kParams:
        if (mode_ == Mode::kResponse && frame.children != 1) {
          refuse("an answer must carry exactly one <param>");
        }
        break;
      case Kind::kParam:
        if (!frame.hasValue) return refuse("<param> without <value>");
        if (mode_ == Mode::kCall) {
          params_->add(frame.value);
        } else {
          response_->isFault = false;
          replaceValue(&response_->value, frame.value);
        }
        break;
      case Kind::kFault:
        if (!frame.hasValue) return refuse("<fault> without <value>");
        takeFault(frame.value);
        break;
      case Kind::kValue:
        if (frame.children != 0) {
          deliver(parent, frame.value);
        } else if (fitsValueClasses(frame.text, "a string")) {
          deliver(parent, stringValue(frame.text));
        }
        break;
      case Kind::kScalar:
        deliverScalar(parent, frame);
        break;
      case Kind::kArray:
        deliver(parent, xmlrpc_c::value_array(frame.items));
        break;
      case Kind::kData:
        parent->items = std::move(frame.items);
        break;
      case Kind::kStruct:
        deliver(parent, xmlrpc_c::value_struct(frame.members));
        break;
      case Kind::kMember:
        if (!frame.hasName || !frame.hasValue) {
          return refuse("<member> needs both <name> and <value>");
        }
        // The last of equal names wins, as in Python; erased first because
        // xmlrpc_c::value cannot be assigned once it holds a value.
        parent->members.erase(frame.name);
        parent->members.emplace(std::move(frame.name), frame.value);
        break;
      case Kind::kName:
        if (!fitsValueClasses(frame.text, "a member name")) return;
        parent->hasName = true;
        parent->name = std::move(frame.text);
        break;
      case Kind::kNil:
        deliver(parent, xmlrpc_c::value_nil());
        break;
    }
  }

  // xmlrpc-c's value classes take only characters of the Basic Multilingual
  // Plane; handed anything beyond, its struct constructor releases a value it
  // never got and the process dies. The document was valid UTF-8, so what is
  // left to look for is a four-byte sequence (lead byte 0xF0 and up) and a
  // surrogate that a character reference made.
  bool fitsValueClasses(const std::string& text, const char* what) {
    for (std::size_t i = 0; i < text.size(); ++i) {
      const auto byte = static_cast<std::uint8_t>(text[i]);
      // A surrogate (ED A0..BF) can only come from a character reference.
      const bool surrogate =
          byte == 0xED && i + 1 < text.size() &&
          static_cast<std::uint8_t>(text[i + 1]) >= 0xA0;
      if (byte >= 0xF0 || surrogate) {
        refuse(std::string(what) +
               " holds a character beyond U+FFFF or a surrogate, which is not "
               "accepted");
        return false;
      }
    }
    return true;
  }

  // The text as it arrived: xmlrpc-c's default would turn a CR (sent as
  // &#13; on purpose) into LF.
  static xmlrpc_c::value stringValue(const std::string& text) {
    return xmlrpc_c::value_string(text, xmlrpc_c::value_string::nlCode_lf);
  }

  // xmlrpc_c::value refuses assignment once it holds a value, so a caller's
  // reused Response gets its value replaced in place instead.
  static void replaceValue(xmlrpc_c::value* slot, const xmlrpc_c::value& v) {
    if (!slot->isInstantiated()) {
      *slot = v;
      return;
    }
    slot->~value();
    new (slot) xmlrpc_c::value(v);
  }

  // A finished value goes to the element that holds it.
  static void deliver(Frame* parent, const xmlrpc_c::value& value) {
    if (parent->kind == Kind::kData) {
      parent->items.push_back(value);
    } else {
      parent->value = value;
      parent->hasValue = true;
    }
  }

  void deliverScalar(Frame* parent, const Frame& frame) {
    const std::string& text = frame.text;
    switch (frame.scalar) {
      case Scalar::kInt: {
        std::int32_t v = 0;
        if (!detail::parseInt32(text, &v)) return refuse("bad <int>: " + text);
        return deliver(parent, xmlrpc_c::value_int(v));
      }
      case Scalar::kI8: {
        std::int64_t v = 0;
        if (!detail::parseInt64(text, &v)) return refuse("bad <i8>: " + text);
        return deliver(parent, xmlrpc_c::value_i8(v));
      }
      case Scalar::kBoolean: {
        const std::string_view t = detail::trimXmlSpace(text);
        if (t != "0" && t != "1") return refuse("bad <boolean>: " + text);
        return deliver(parent, xmlrpc_c::value_boolean(t == "1"));
      }
      case Scalar::kDouble: {
        double v = 0.0;
        if (!detail::parseDouble(text, &v)) return refuse("bad <double>: " + text);
        return deliver(parent, xmlrpc_c::value_double(v));
      }
      case Scalar::kString:
        if (!fitsValueClasses(text, "a string")) return;
        return deliver(parent, stringValue(text));
      case Scalar::kDateTime: {
        xmlrpc_datetime v{};
        if (!detail::parseDateTime(text, &v)) {
          return refuse("bad <dateTime.iso8601>: " + text);
        }
        return deliver(parent, xmlrpc_c::value_datetime(v));
      }
      case Scalar::kBase64: {
        std::vector<unsigned char> bytes;
        if (!detail::decodeBase64(text, &bytes)) return refuse("bad <base64>");
        return deliver(parent, xmlrpc_c::value_bytestring(bytes));
      }
    }
  }

  void takeFault(const xmlrpc_c::value& value) {
    if (value.type() != xmlrpc_c::value::TYPE_STRUCT) {
      return refuse("a fault must be a struct");
    }
    const std::map<std::string, xmlrpc_c::value> members =
        xmlrpc_c::value_struct(value);
    const auto code = members.find("faultCode");
    if (code == members.end() ||
        code->second.type() != xmlrpc_c::value::TYPE_INT) {
      return refuse("a fault needs an int faultCode");
    }
    response_->isFault = true;
    response_->faultCode = xmlrpc_c::value_int(code->second);
    const auto text = members.find("faultString");
    if (text != members.end()) {
      if (text->second.type() != xmlrpc_c::value::TYPE_STRING) {
        return refuse("a fault's faultString must be a string");
      }
      response_->faultString = xmlrpc_c::value_string(text->second);
    }
  }

  const Mode mode_;
  std::string* const methodName_;
  xmlrpc_c::paramList* const params_;
  Response* const response_;
  std::vector<Frame> stack_;
  ParseResult result_;
};

bool sameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const auto lower = [](char c) {
      return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

// Each byte is the code point of the same number.
std::string latin1AsUtf8(const char* text, std::size_t size) {
  std::string out;
  out.reserve(size);
  for (std::size_t i = 0; i < size; ++i) {
    const auto byte = static_cast<std::uint8_t>(text[i]);
    if (byte < 0x80) {
      out.push_back(text[i]);
    } else {
      out.push_back(static_cast<char>(0xC0 | (byte >> 6)));
      out.push_back(static_cast<char>(0x80 | (byte & 0x3F)));
    }
  }
  return out;
}

// Common to both parsers: the size limit, the encoding, and the promise
// that nothing escapes as an exception (xmlrpc-c's value classes throw, and
// allocation may fail).
ParseResult parseDocument(const char* text, std::size_t size, Builder* builder) {
  ParseResult result;
  if (size > kMaxRequestBytes) {
    result.status = ParseStatus::kTooLarge;
    result.message = std::to_string(size) + " bytes, more than the " +
                     std::to_string(kMaxRequestBytes) + " accepted";
    return result;
  }
  // The encodings xmlrpc-c's own server reads, so that no client of it
  // finds its calls refused here.
  const std::string_view encoding =
      detail::declaredEncoding(std::string_view(text, size));
  std::string utf8;
  if (sameName(encoding, "ISO-8859-1")) {
    utf8 = latin1AsUtf8(text, size);
    text = utf8.data();
    size = utf8.size();
  } else if (sameName(encoding, "US-ASCII")) {
    for (std::size_t i = 0; i < size; ++i) {
      if (static_cast<std::uint8_t>(text[i]) >= 0x80) {
        result.status = ParseStatus::kMalformedXml;
        result.message = "not valid US-ASCII, the encoding it declares";
        return result;
      }
    }
  } else if (!encoding.empty() && !sameName(encoding, "UTF-8")) {
    result.status = ParseStatus::kMalformedXml;
    result.message = "the declared encoding " + std::string(encoding) +
                     " is not read (UTF-8, ISO-8859-1 and US-ASCII are)";
    return result;
  }
  if (!detail::isValidUtf8(std::string_view(text, size))) {
    result.status = ParseStatus::kMalformedXml;
    result.message = "not valid UTF-8";
    return result;
  }
  try {
    return builder->run(text, size);
  } catch (const std::exception& e) {
    result.status = ParseStatus::kNotXmlRpc;
    result.message = e.what();
  } catch (...) {
    result.status = ParseStatus::kNotXmlRpc;
    result.message = "unknown failure while building values";
  }
  return result;
}

}  // namespace

ParseResult parseCall(const char* text, std::size_t size,
                      std::string* methodName, xmlrpc_c::paramList* params) {
  Builder builder(Builder::Mode::kCall, methodName, params, nullptr);
  return parseDocument(text, size, &builder);
}

ParseResult parseResponse(const char* text, std::size_t size,
                          Response* response) {
  response->isFault = false;
  response->faultCode = 0;
  response->faultString.clear();
  Builder builder(Builder::Mode::kResponse, nullptr, nullptr, response);
  return parseDocument(text, size, &builder);
}

}  // namespace rpcwire
