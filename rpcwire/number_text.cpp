#include "rpcwire/number_text.h"

#include <charconv>
#include <cmath>
#include <cstddef>
#include <system_error>

namespace rpcwire {
namespace detail {

namespace {

// Long enough for "-2.2250738585072014e-308" and for any int64.
constexpr std::size_t kNumberBufferSize = 32;

// Exponents beyond this are clamped while scanning: the value is then far
// outside a double's range either way, and the sum cannot overflow.
constexpr long kExponentClamp = 100000;

constexpr unsigned kMaxMicroseconds = 999999;
constexpr unsigned kMicrosecondDigits = 6;

bool isDigit(char c) { return c >= '0' && c <= '9'; }

bool isXmlSpaceChar(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// The integer text from_chars takes: one optional '-', and we also allow
// one '+', which from_chars does not.
template <typename T>
bool parseInteger(std::string_view text, T* value) {
  text = trimXmlSpace(text);
  if (!text.empty() && text.front() == '+') {
    text.remove_prefix(1);
    if (text.empty() || !isDigit(text.front())) return false;
  }
  if (text.empty()) return false;
  T parsed = 0;
  const auto [end, ec] =
      std::from_chars(text.data(), text.data() + text.size(), parsed);
  if (ec != std::errc() || end != text.data() + text.size()) return false;
  *value = parsed;
  return true;
}

// Reads `count` digits at text[*pos] as an unsigned number.
bool takeDigits(std::string_view text, std::size_t* pos, std::size_t count,
                unsigned* value) {
  if (text.size() - *pos < count) return false;
  unsigned n = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const char c = text[*pos + i];
    if (!isDigit(c)) return false;
    n = n * 10 + static_cast<unsigned>(c - '0');
  }
  *pos += count;
  *value = n;
  return true;
}

bool takeChar(std::string_view text, std::size_t* pos, char c) {
  if (*pos < text.size() && text[*pos] == c) {
    ++*pos;
    return true;
  }
  return false;
}

void appendFixed(std::string* out, unsigned value, unsigned digits) {
  char buf[kNumberBufferSize];
  for (unsigned i = digits; i > 0; --i) {
    buf[i - 1] = static_cast<char>('0' + value % 10);
    value /= 10;
  }
  out->append(buf, digits);
}

int base64Index(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

constexpr char kBase64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

}  // namespace

std::string_view trimXmlSpace(std::string_view text) {
  while (!text.empty() && isXmlSpaceChar(text.front())) text.remove_prefix(1);
  while (!text.empty() && isXmlSpaceChar(text.back())) text.remove_suffix(1);
  return text;
}

bool isXmlSpace(std::string_view text) {
  for (const char c : text) {
    if (!isXmlSpaceChar(c)) return false;
  }
  return true;
}

bool parseInt32(std::string_view text, std::int32_t* value) {
  return parseInteger(text, value);
}

bool parseInt64(std::string_view text, std::int64_t* value) {
  return parseInteger(text, value);
}

bool parseDouble(std::string_view text, double* value) {
  text = trimXmlSpace(text);
  // Our own grammar check first: from_chars would also take "inf", "nan"
  // and hex digits, none of which an XML-RPC double may be.
  std::size_t pos = 0;
  bool negative = false;
  if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
    negative = text[pos] == '-';
    ++pos;
  }
  const std::size_t numberStart = pos;
  std::size_t digits = 0;
  bool nonZeroSeen = false;
  // Decimal exponent of the first non-zero digit, so that an out-of-range
  // answer can be told apart as overflow or underflow.
  long leadExponent = 0;
  while (pos < text.size() && isDigit(text[pos])) {
    if (text[pos] != '0') nonZeroSeen = true;
    if (nonZeroSeen && leadExponent < kExponentClamp) ++leadExponent;
    ++pos;
    ++digits;
  }
  if (takeChar(text, &pos, '.')) {
    while (pos < text.size() && isDigit(text[pos])) {
      if (!nonZeroSeen) {
        if (text[pos] != '0') {
          nonZeroSeen = true;
        } else if (leadExponent > -kExponentClamp) {
          --leadExponent;
        }
      }
      ++pos;
      ++digits;
    }
  }
  if (digits == 0) return false;
  long exponent = 0;
  if (pos < text.size() && (text[pos] == 'e' || text[pos] == 'E')) {
    ++pos;
    bool negativeExponent = false;
    if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
      negativeExponent = text[pos] == '-';
      ++pos;
    }
    if (pos == text.size() || !isDigit(text[pos])) return false;
    while (pos < text.size() && isDigit(text[pos])) {
      if (exponent < kExponentClamp) exponent = exponent * 10 + (text[pos] - '0');
      ++pos;
    }
    if (negativeExponent) exponent = -exponent;
  }
  if (pos != text.size()) return false;

  // from_chars takes a '-' but no '+'.
  const char* const first =
      negative ? text.data() + numberStart - 1 : text.data() + numberStart;
  double parsed = 0.0;
  const auto [end, ec] =
      std::from_chars(first, text.data() + text.size(), parsed,
                      std::chars_format::general);
  if (ec == std::errc::result_out_of_range) {
    if (!nonZeroSeen || leadExponent + exponent > 0) return false;  // overflow
    *value = negative ? -0.0 : 0.0;
    return true;
  }
  if (ec != std::errc() || end != text.data() + text.size()) return false;
  if (!std::isfinite(parsed)) return false;
  *value = parsed;
  return true;
}

bool appendDouble(std::string* out, double value) {
  if (!std::isfinite(value)) return false;
  // The shortest digits come from the scientific form and are then laid
  // out without the exponent: to_chars's own fixed form spells out every
  // digit of a large whole number's binary value (1e308 as 10000000000000
  // 000109790636...) where zeros read back just as exactly.
  char buf[kNumberBufferSize];
  const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value,
                                       std::chars_format::scientific);
  if (ec != std::errc()) return false;
  const char* p = buf;
  if (*p == '-') out->push_back(*p++);
  std::string digits;
  for (; *p != 'e'; ++p) {
    if (*p != '.') digits.push_back(*p);
  }
  ++p;  // the exponent: a sign, then at least two digits
  const bool negative = *p++ == '-';
  int exponent = 0;
  std::from_chars(p, end, exponent);
  if (negative) {
    out->append("0.");
    out->append(static_cast<std::size_t>(exponent) - 1, '0');
    out->append(digits);
    return true;
  }
  const std::size_t whole = static_cast<std::size_t>(exponent) + 1;
  if (digits.size() <= whole) {
    out->append(digits);
    out->append(whole - digits.size(), '0');
    out->append(".0");
  } else {
    out->append(digits, 0, whole);
    out->push_back('.');
    out->append(digits, whole, std::string::npos);
  }
  return true;
}

void appendInt(std::string* out, std::int64_t value) {
  char buf[kNumberBufferSize];
  const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value);
  (void)ec;  // cannot fail: the buffer fits any int64
  out->append(buf, end);
}

bool decodeBase64(std::string_view text, std::vector<unsigned char>* bytes) {
  bytes->clear();
  unsigned accumulator = 0;
  int bits = 0;
  int padding = 0;
  std::size_t symbols = 0;
  for (const char c : text) {
    if (isXmlSpaceChar(c)) continue;
    if (c == '=') {
      ++padding;
      ++symbols;
      if (padding > 2) return false;
      continue;
    }
    const int index = base64Index(c);
    if (index < 0 || padding > 0) return false;  // data after padding
    ++symbols;
    accumulator = (accumulator << 6) | static_cast<unsigned>(index);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      bytes->push_back(static_cast<unsigned char>(accumulator >> bits));
      accumulator &= (1u << bits) - 1;
    }
  }
  if (symbols % 4 != 0) return false;
  // Padding must stand for exactly the bits left over, and they must be 0.
  if ((padding == 1 && bits != 2) || (padding == 2 && bits != 4) ||
      (padding == 0 && bits != 0)) {
    return false;
  }
  return accumulator == 0;
}

void appendBase64(std::string* out, const std::vector<unsigned char>& bytes) {
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const unsigned n = (bytes[i] << 16) | (bytes[i + 1] << 8) | bytes[i + 2];
    out->push_back(kBase64Alphabet[(n >> 18) & 63]);
    out->push_back(kBase64Alphabet[(n >> 12) & 63]);
    out->push_back(kBase64Alphabet[(n >> 6) & 63]);
    out->push_back(kBase64Alphabet[n & 63]);
  }
  const std::size_t rest = bytes.size() - i;
  if (rest == 0) return;
  unsigned n = static_cast<unsigned>(bytes[i]) << 16;
  if (rest == 2) n |= static_cast<unsigned>(bytes[i + 1]) << 8;
  out->push_back(kBase64Alphabet[(n >> 18) & 63]);
  out->push_back(kBase64Alphabet[(n >> 12) & 63]);
  out->push_back(rest == 2 ? kBase64Alphabet[(n >> 6) & 63] : '=');
  out->push_back('=');
}

bool parseDateTime(std::string_view text, xmlrpc_datetime* value) {
  text = trimXmlSpace(text);
  std::size_t pos = 0;
  xmlrpc_datetime dt{};
  if (!takeDigits(text, &pos, 4, &dt.Y)) return false;
  const bool dashed = takeChar(text, &pos, '-');
  if (!takeDigits(text, &pos, 2, &dt.M)) return false;
  if (dashed && !takeChar(text, &pos, '-')) return false;
  if (!takeDigits(text, &pos, 2, &dt.D)) return false;
  if (!takeChar(text, &pos, 'T')) return false;
  if (!takeDigits(text, &pos, 2, &dt.h)) return false;
  const bool colons = takeChar(text, &pos, ':');
  if (!takeDigits(text, &pos, 2, &dt.m)) return false;
  if (colons && !takeChar(text, &pos, ':')) return false;
  if (!takeDigits(text, &pos, 2, &dt.s)) return false;
  if (takeChar(text, &pos, '.')) {
    unsigned digits = 0;
    unsigned micro = 0;
    while (pos < text.size() && isDigit(text[pos])) {
      // Digits beyond microseconds are dropped, as xmlrpc-c does.
      if (digits < kMicrosecondDigits) {
        micro = micro * 10 + static_cast<unsigned>(text[pos] - '0');
      }
      ++digits;
      ++pos;
    }
    if (digits == 0) return false;
    for (unsigned d = digits; d < kMicrosecondDigits; ++d) micro *= 10;
    dt.u = micro;
  }
  takeChar(text, &pos, 'Z');
  if (pos != text.size()) return false;
  if (dt.Y < 1 || dt.M < 1 || dt.M > 12 || dt.D < 1 || dt.D > 31 ||
      dt.h > 23 || dt.m > 59 || dt.s > 59 || dt.u > kMaxMicroseconds) {
    return false;
  }
  *value = dt;
  return true;
}

void appendDateTime(std::string* out, const xmlrpc_datetime& value) {
  appendFixed(out, value.Y % 10000, 4);
  appendFixed(out, value.M % 100, 2);
  appendFixed(out, value.D % 100, 2);
  out->push_back('T');
  appendFixed(out, value.h % 100, 2);
  out->push_back(':');
  appendFixed(out, value.m % 100, 2);
  out->push_back(':');
  appendFixed(out, value.s % 100, 2);
  if (value.u != 0) {
    out->push_back('.');
    appendFixed(out, value.u % (kMaxMicroseconds + 1), kMicrosecondDigits);
  }
}

}  // namespace detail
}  // namespace rpcwire
