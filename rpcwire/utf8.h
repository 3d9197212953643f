// UTF-8 as the XML-RPC codec reads it: the reader checks whole documents, the
// formatter and the dispatcher's fault texts pass on only the sequences their
// readers will take. They all decode one sequence the same way.
#ifndef RPCWIRE_UTF8_H
#define RPCWIRE_UTF8_H

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace rpcwire {
namespace detail {

// One sequence as decoded by decodeUtf8.
struct Utf8Sequence {
  std::size_t length = 0;     // bytes; 0 when the bytes are no well-formed sequence
  std::uint32_t codePoint = 0;  // valid only when length != 0
};

// The sequence that starts at text[at] (at < text.size()). Overlong forms,
// surrogates, code points beyond U+10FFFF, stray continuation bytes and
// sequences cut off by the end of `text` are not well-formed.
Utf8Sequence decodeUtf8(std::string_view text, std::size_t at);

// True when `text` is well-formed UTF-8 (no overlong forms, no surrogates,
// nothing beyond U+10FFFF).
bool isValidUtf8(std::string_view text);

}  // namespace detail
}  // namespace rpcwire

#endif  // RPCWIRE_UTF8_H
