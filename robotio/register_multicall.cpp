#include "robotio/register_multicall.h"

#include <string_view>

#include "rpcwire/format_detail.h"
#include "rpcwire/number_text.h"
#include "rpcwire/xml_reader.h"

namespace robotio {

// ---- Writing

MulticallText::MulticallText(std::string* out) : out_(out) {
  out_->assign(
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n<methodCall>"
      "<methodName>system.multicall</methodName><params><param><value>"
      "<array><data>\r\n");
}

void MulticallText::beginCall(const char* method) {
  out_->append("<value><struct><member><name>methodName</name><value><string>");
  rpcwire::detail::appendEscaped(out_, method,
                                 rpcwire::detail::Unfit::kReplace);
  out_->append(
      "</string></value></member><member><name>params</name><value><array>"
      "<data>");
}

void MulticallText::addString(const std::string& text) {
  out_->append("<value><string>");
  rpcwire::detail::appendEscaped(out_, text, rpcwire::detail::Unfit::kReplace);
  out_->append("</string></value>");
}

void MulticallText::addInt(int value) {
  out_->append("<value><i4>");
  rpcwire::detail::appendInt(out_, value);
  out_->append("</i4></value>");
}

void MulticallText::addBoolean(bool value) {
  out_->append(value ? "<value><boolean>1</boolean></value>"
                     : "<value><boolean>0</boolean></value>");
}

bool MulticallText::addDouble(double value) {
  const std::size_t mark = out_->size();
  out_->append("<value><double>");
  if (!rpcwire::detail::appendDouble(out_, value)) {
    out_->resize(mark);
    return false;
  }
  out_->append("</double></value>");
  return true;
}

void MulticallText::endCall() {
  out_->append("</data></array></value></member></struct></value>\r\n");
}

void MulticallText::finish() {
  out_->append("</data></array></value></param></params></methodCall>\r\n");
}

// ---- Reading

namespace {

using rpcwire::detail::XmlReader;
using Token = XmlReader::Token;

// Walks the one expected shape of the document; any step that does not
// find what it expects ends the walk with false.
class ScalarWalk {
 public:
  ScalarWalk(const char* xml, std::size_t size) : reader_(xml, size) {}

  bool read(std::size_t count, std::vector<ScalarResult>* out) {
    if (!open("methodResponse") || !open("params") || !open("param") ||
        !open("value") || !open("array") || !open("data")) {
      return false;
    }
    out->clear();
    out->reserve(count);
    for (;;) {
      next();
      if (token_ == Token::kEnd) break;  // </data>
      if (token_ != Token::kStart || reader_.name() != "value" ||
          out->size() == count) {
        return false;
      }
      ScalarResult result;
      if (!open("array") || !open("data") || !open("value") ||
          !readScalar(&result) || !close() || !close() || !close()) {
        return false;
      }
      out->push_back(result);
    }
    return out->size() == count && close() && close() && close() &&
           close() && close() && next() == Token::kDone;
  }

 private:
  // The next token that is not white space between elements.
  Token next() {
    do {
      token_ = reader_.next();
    } while (token_ == Token::kText && rpcwire::detail::isXmlSpace(reader_.text()));
    return token_;
  }
  bool open(std::string_view name) {
    return next() == Token::kStart && reader_.name() == name;
  }
  bool close() { return next() == Token::kEnd; }

  // Inside an open <value>: its scalar and the </value>.
  bool readScalar(ScalarResult* result) {
    std::string text;
    for (;;) {
      token_ = reader_.next();
      if (token_ == Token::kText) {
        text += reader_.text();
        continue;
      }
      break;
    }
    if (token_ == Token::kEnd) {  // an untyped value: a string
      result->type = xmlrpc_c::value::TYPE_STRING;
      return true;
    }
    if (token_ != Token::kStart || !rpcwire::detail::isXmlSpace(text)) {
      return false;
    }
    const std::string_view type = reader_.name();
    text.clear();
    for (;;) {
      token_ = reader_.next();
      if (token_ != Token::kText) break;
      text += reader_.text();
    }
    if (token_ != Token::kEnd) return false;  // a struct, array, ...
    if (type == "int" || type == "i4") {
      std::int32_t v = 0;
      if (!rpcwire::detail::parseInt32(text, &v)) return false;
      result->type = xmlrpc_c::value::TYPE_INT;
      result->intValue = v;
    } else if (type == "boolean") {
      const std::string_view t = rpcwire::detail::trimXmlSpace(text);
      if (t != "0" && t != "1") return false;
      result->type = xmlrpc_c::value::TYPE_BOOLEAN;
      result->boolValue = t == "1";
    } else if (type == "double") {
      if (!rpcwire::detail::parseDouble(text, &result->doubleValue)) {
        return false;
      }
      result->type = xmlrpc_c::value::TYPE_DOUBLE;
    } else if (type == "string") {
      result->type = xmlrpc_c::value::TYPE_STRING;
    } else {
      return false;
    }
    return close();  // </value>
  }

  XmlReader reader_;
  Token token_ = Token::kError;
};

}  // namespace

bool readScalarMulticall(const char* xml, std::size_t size, std::size_t count,
                         std::vector<ScalarResult>* out) {
  // The general reader refuses these as a whole before looking at any value.
  if (size > rpcwire::kMaxRequestBytes ||
      !rpcwire::detail::isValidUtf8(std::string_view(xml, size))) {
    return false;
  }
  ScalarWalk walk(xml, size);
  return walk.read(count, out);
}

}  // namespace robotio
