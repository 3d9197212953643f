// A pull reader of the XML subset XML-RPC uses: one token at a time, with no
// recursion and a bounded stack of open elements.
#ifndef RPCWIRE_XML_READER_H
#define RPCWIRE_XML_READER_H

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "rpcwire/utf8.h"
#include "rpcwire/xmlrpc_text.h"

namespace rpcwire {
namespace detail {

// The encoding named by the XML declaration that opens `text`, as written
// (a view into `text`); empty when the document has no declaration or the
// declaration names no encoding. A declaration the reader would refuse is
// left to the reader.
std::string_view declaredEncoding(std::string_view text);

// Reads a document held in memory, which must outlive the reader.
//
// Accepts the XML declaration and other processing instructions, comments,
// CDATA sections, the five predefined entities and character references
// (code points XML 1.0 allows only), attributes (checked, then ignored) and
// empty-element tags. Refuses a DOCTYPE, so no entity can expand. Line ends
// are normalised to '\n' as XML requires. Not thread-safe; use one per
// document.
class XmlReader {
 public:
  enum class Token {
    kStart,  // an element opens: name()
    kEnd,    // an element closes: name()
    kText,   // character data (never empty), decoded: text()
    kDone,   // the root element closed and only trailing misc followed
    kError,  // error() says what; every later next() answers kError too
  };

  XmlReader(const char* text, std::size_t size);

  Token next();

  // Name of the element of the last kStart/kEnd token; valid until the
  // reader is destroyed.
  std::string_view name() const { return name_; }
  // Text of the last kText token; valid until the next call of next().
  const std::string& text() const { return text_; }
  const ParseResult& error() const { return error_; }

 private:
  Token fail(ParseStatus status, const std::string& message);
  Token readTag();
  bool skipMarkup();  // comment, PI or CDATA at pos_; false: error set
  bool readReference();
  bool readName(std::string_view* name);
  bool skipAttributes(bool* emptyElement);
  void skipSpace();
  bool startsWith(std::string_view prefix) const;
  std::string where() const;

  const char* const begin_;
  const char* const end_;
  const char* pos_;
  std::vector<std::string_view> open_;  // at most kMaxElementDepth
  std::string_view name_;
  std::string text_;
  bool rootSeen_ = false;
  bool pendingEnd_ = false;  // an empty-element tag's end is still due
  ParseResult error_;
};

}  // namespace detail
}  // namespace rpcwire

#endif  // RPCWIRE_XML_READER_H
