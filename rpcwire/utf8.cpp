#include "rpcwire/utf8.h"

namespace rpcwire {
namespace detail {

Utf8Sequence decodeUtf8(std::string_view text, std::size_t at) {
  const auto lead = static_cast<std::uint8_t>(text[at]);
  if (lead < 0x80) return {1, lead};
  std::size_t length = 0;
  std::uint32_t cp = 0;
  std::uint32_t minimum = 0;
  if ((lead & 0xE0) == 0xC0) {
    length = 2, cp = lead & 0x1F, minimum = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, cp = lead & 0x0F, minimum = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, cp = lead & 0x07, minimum = 0x10000;
  } else {
    return {};
  }
  if (text.size() - at < length) return {};
  for (std::size_t k = 1; k < length; ++k) {
    const auto next = static_cast<std::uint8_t>(text[at + k]);
    if ((next & 0xC0) != 0x80) return {};
    cp = (cp << 6) | (next & 0x3F);
  }
  if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return {};
  return {length, cp};
}

bool isValidUtf8(std::string_view text) {
  std::size_t at = 0;
  while (at < text.size()) {
    // Documents are mostly ASCII: no call for those bytes.
    if (static_cast<std::uint8_t>(text[at]) < 0x80) {
      ++at;
      continue;
    }
    const std::size_t length = decodeUtf8(text, at).length;
    if (length == 0) return false;
    at += length;
  }
  return true;
}

}  // namespace detail
}  // namespace rpcwire
