#include "rpcwire/xml_reader.h"

#include <cstdint>

namespace rpcwire {
namespace detail {

namespace {

constexpr std::uint32_t kMaxCodePoint = 0x10FFFF;

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

bool isNameStart(char c) {
  const auto b = static_cast<std::uint8_t>(c);
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' ||
         c == ':' || b >= 0x80;
}

bool isNameChar(char c) {
  return isNameStart(c) || (c >= '0' && c <= '9') || c == '-' || c == '.';
}

// Raw bytes XML 1.0 allows in character data besides those handled apart
// ('<', '&', '\r'): no C0 control but tab and line feed.
bool isPlainChar(char c) {
  const auto b = static_cast<std::uint8_t>(c);
  return c != '<' && c != '&' && c != '\r' && (b >= 0x20 || c == '\t' || c == '\n');
}

// The Char production of XML 1.0.
bool isXmlCodePoint(std::uint32_t cp) {
  return cp == 0x9 || cp == 0xA || cp == 0xD || (cp >= 0x20 && cp <= 0xD7FF) ||
         (cp >= 0xE000 && cp <= 0xFFFD) || (cp >= 0x10000 && cp <= kMaxCodePoint);
}

void appendUtf8(std::string* out, std::uint32_t cp) {
  if (cp < 0x80) {
    out->push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

int digitValue(char c, bool hex) {
  if (c >= '0' && c <= '9') return c - '0';
  if (hex && c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (hex && c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string_view declaredEncoding(std::string_view text) {
  constexpr std::string_view kOpen = "<?xml";
  if (text.substr(0, kOpen.size()) != kOpen || text.size() == kOpen.size() ||
      !isSpace(text[kOpen.size()])) {
    return {};
  }
  const std::string_view declaration = text.substr(0, text.find("?>"));
  std::size_t at = declaration.find("encoding");
  if (at == std::string_view::npos) return {};
  at += std::string_view("encoding").size();
  const auto skipSpace = [&] {
    while (at < declaration.size() && isSpace(declaration[at])) ++at;
  };
  skipSpace();
  if (at >= declaration.size() || declaration[at] != '=') return {};
  ++at;
  skipSpace();
  if (at >= declaration.size() ||
      (declaration[at] != '"' && declaration[at] != '\'')) {
    return {};
  }
  const char quote = declaration[at++];
  const std::size_t close = declaration.find(quote, at);
  if (close == std::string_view::npos) return {};
  return declaration.substr(at, close - at);
}

XmlReader::XmlReader(const char* text, std::size_t size)
    : begin_(text), end_(text + size), pos_(text) {
  // A byte order mark is allowed before the prolog.
  if (startsWith("\xEF\xBB\xBF")) pos_ += 3;
}

XmlReader::Token XmlReader::next() {
  if (!error_.ok()) return Token::kError;
  if (pendingEnd_) {
    pendingEnd_ = false;
    name_ = open_.back();
    open_.pop_back();
    return Token::kEnd;
  }
  text_.clear();
  while (pos_ < end_) {
    const char c = *pos_;
    if (c == '<') {
      if (startsWith("<!--") || startsWith("<?") || startsWith("<![CDATA[")) {
        if (!skipMarkup()) return Token::kError;
        continue;
      }
      if (startsWith("<!")) {
        return fail(ParseStatus::kMalformedXml,
                    "document type declarations are not accepted");
      }
      // Text broken by comments or CDATA is still one run of text.
      if (!text_.empty()) return Token::kText;
      return readTag();
    }
    if (open_.empty()) {
      if (isSpace(c)) {
        ++pos_;
        continue;
      }
      return fail(ParseStatus::kMalformedXml,
                  rootSeen_ ? "text after the root element"
                            : "text before the root element");
    }
    if (c == '&') {
      if (!readReference()) return Token::kError;
    } else if (c == '\r') {
      text_.push_back('\n');
      ++pos_;
      if (pos_ < end_ && *pos_ == '\n') ++pos_;
    } else if (isPlainChar(c)) {
      const char* const run = pos_;
      while (pos_ < end_ && isPlainChar(*pos_)) ++pos_;
      text_.append(run, pos_);
    } else {
      return fail(ParseStatus::kMalformedXml,
                  "control character in text");
    }
  }
  if (!open_.empty()) {
    return fail(ParseStatus::kMalformedXml,
                "document ends inside <" + std::string(open_.back()) + ">");
  }
  if (!rootSeen_) return fail(ParseStatus::kMalformedXml, "no root element");
  return Token::kDone;
}

XmlReader::Token XmlReader::fail(ParseStatus status,
                                 const std::string& message) {
  error_.status = status;
  error_.message = message + where();
  return Token::kError;
}

std::string XmlReader::where() const {
  return " at byte " + std::to_string(pos_ - begin_);
}

bool XmlReader::startsWith(std::string_view prefix) const {
  return static_cast<std::size_t>(end_ - pos_) >= prefix.size() &&
         std::string_view(pos_, prefix.size()) == prefix;
}

void XmlReader::skipSpace() {
  while (pos_ < end_ && isSpace(*pos_)) ++pos_;
}

XmlReader::Token XmlReader::readTag() {
  if (startsWith("</")) {
    pos_ += 2;
    std::string_view name;
    if (!readName(&name)) return Token::kError;
    skipSpace();
    if (pos_ == end_ || *pos_ != '>') {
      return fail(ParseStatus::kMalformedXml, "expected '>' in an end tag");
    }
    ++pos_;
    if (open_.empty() || open_.back() != name) {
      return fail(ParseStatus::kMalformedXml,
                  "</" + std::string(name) + "> closes no open element");
    }
    open_.pop_back();
    name_ = name;
    return Token::kEnd;
  }
  ++pos_;
  if (open_.empty() && rootSeen_) {
    return fail(ParseStatus::kMalformedXml, "a second root element");
  }
  if (open_.size() >= kMaxElementDepth) {
    return fail(ParseStatus::kTooDeep,
                "elements nested deeper than " +
                    std::to_string(kMaxElementDepth));
  }
  std::string_view name;
  bool emptyElement = false;
  if (!readName(&name) || !skipAttributes(&emptyElement)) return Token::kError;
  open_.push_back(name);
  rootSeen_ = true;
  name_ = name;
  pendingEnd_ = emptyElement;
  return Token::kStart;
}

bool XmlReader::readName(std::string_view* name) {
  const char* const start = pos_;
  if (pos_ == end_ || !isNameStart(*pos_)) {
    fail(ParseStatus::kMalformedXml, "expected an element name");
    return false;
  }
  while (pos_ < end_ && isNameChar(*pos_)) ++pos_;
  *name = std::string_view(start, static_cast<std::size_t>(pos_ - start));
  return true;
}

bool XmlReader::skipAttributes(bool* emptyElement) {
  for (;;) {
    const char* const before = pos_;
    skipSpace();
    if (pos_ == end_) {
      fail(ParseStatus::kMalformedXml, "document ends inside a tag");
      return false;
    }
    if (*pos_ == '>') {
      ++pos_;
      *emptyElement = false;
      return true;
    }
    if (startsWith("/>")) {
      pos_ += 2;
      *emptyElement = true;
      return true;
    }
    if (pos_ == before) {
      fail(ParseStatus::kMalformedXml, "expected white space or '>' in a tag");
      return false;
    }
    std::string_view attribute;
    if (!readName(&attribute)) return false;
    skipSpace();
    if (pos_ == end_ || *pos_ != '=') {
      fail(ParseStatus::kMalformedXml, "expected '=' after an attribute name");
      return false;
    }
    ++pos_;
    skipSpace();
    if (pos_ == end_ || (*pos_ != '"' && *pos_ != '\'')) {
      fail(ParseStatus::kMalformedXml, "expected a quoted attribute value");
      return false;
    }
    const char quote = *pos_++;
    while (pos_ < end_ && *pos_ != quote) {
      if (*pos_ == '<') {
        fail(ParseStatus::kMalformedXml, "'<' in an attribute value");
        return false;
      }
      ++pos_;
    }
    if (pos_ == end_) {
      fail(ParseStatus::kMalformedXml, "document ends inside an attribute");
      return false;
    }
    ++pos_;
  }
}

bool XmlReader::skipMarkup() {
  const std::string_view rest(pos_, static_cast<std::size_t>(end_ - pos_));
  if (startsWith("<!--")) {
    const std::size_t close = rest.find("-->", 4);
    if (close == std::string_view::npos) {
      fail(ParseStatus::kMalformedXml, "unterminated comment");
      return false;
    }
    pos_ += close + 3;
    return true;
  }
  if (startsWith("<?")) {
    const std::size_t close = rest.find("?>", 2);
    if (close == std::string_view::npos) {
      fail(ParseStatus::kMalformedXml, "unterminated processing instruction");
      return false;
    }
    pos_ += close + 2;
    return true;
  }
  // CDATA: its content is text, taken literally.
  constexpr std::size_t kCdataOpen = 9;  // "<![CDATA["
  if (open_.empty()) {
    fail(ParseStatus::kMalformedXml, "CDATA section outside the root element");
    return false;
  }
  const std::size_t close = rest.find("]]>", kCdataOpen);
  if (close == std::string_view::npos) {
    fail(ParseStatus::kMalformedXml, "unterminated CDATA section");
    return false;
  }
  const char* p = pos_ + kCdataOpen;
  const char* const stop = pos_ + close;
  while (p < stop) {
    if (*p == '\r') {
      text_.push_back('\n');
      ++p;
      if (p < stop && *p == '\n') ++p;
    } else if (isPlainChar(*p) || *p == '<' || *p == '&') {
      text_.push_back(*p++);
    } else {
      pos_ = p;
      fail(ParseStatus::kMalformedXml, "control character in CDATA");
      return false;
    }
  }
  pos_ = stop + 3;
  return true;
}

bool XmlReader::readReference() {
  ++pos_;  // '&'
  if (pos_ < end_ && *pos_ == '#') {
    ++pos_;
    const bool hex = pos_ < end_ && *pos_ == 'x';
    if (hex) ++pos_;
    std::uint32_t cp = 0;
    std::size_t digits = 0;
    while (pos_ < end_ && *pos_ != ';') {
      const int d = digitValue(*pos_, hex);
      if (d < 0) {
        fail(ParseStatus::kMalformedXml, "bad character reference");
        return false;
      }
      cp = cp * (hex ? 16 : 10) + static_cast<std::uint32_t>(d);
      if (cp > kMaxCodePoint) {
        fail(ParseStatus::kMalformedXml, "character reference beyond U+10FFFF");
        return false;
      }
      ++digits;
      ++pos_;
    }
    if (pos_ == end_ || digits == 0) {
      fail(ParseStatus::kMalformedXml, "bad character reference");
      return false;
    }
    ++pos_;  // ';'
    if (!isXmlCodePoint(cp)) {
      fail(ParseStatus::kMalformedXml,
           "character reference to a code point XML does not allow");
      return false;
    }
    appendUtf8(&text_, cp);
    return true;
  }
  struct Entity {
    std::string_view name;
    char value;
  };
  static constexpr Entity kEntities[] = {
      {"lt;", '<'}, {"gt;", '>'}, {"amp;", '&'}, {"quot;", '"'}, {"apos;", '\''}};
  for (const Entity& e : kEntities) {
    if (startsWith(e.name)) {
      pos_ += e.name.size();
      text_.push_back(e.value);
      return true;
    }
  }
  fail(ParseStatus::kMalformedXml, "unknown entity");
  return false;
}

}  // namespace detail
}  // namespace rpcwire
