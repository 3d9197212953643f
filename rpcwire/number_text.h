// Text forms of XML-RPC's scalar types, exact in both directions and free of
// locales, iostreams and allocation beyond the output string.
#ifndef RPCWIRE_NUMBER_TEXT_H
#define RPCWIRE_NUMBER_TEXT_H

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <xmlrpc-c/base.h>

namespace rpcwire {
namespace detail {

// `text` without leading and trailing XML white space (space, tab, CR, LF).
std::string_view trimXmlSpace(std::string_view text);

// True when `text` is only XML white space (or empty).
bool isXmlSpace(std::string_view text);

// Decimal integers with an optional sign; false when out of range or not
// a number.
bool parseInt32(std::string_view text, std::int32_t* value);
bool parseInt64(std::string_view text, std::int64_t* value);

// A decimal floating-point number as XML-RPC senders write them ("1.5",
// "-0.0", "+1E+10", "5e-324"), correctly rounded. False for anything else:
// infinity, NaN, hex floats, empty text and values too large for a double.
// Values too small for one become zero of their sign, as strtod does.
bool parseDouble(std::string_view text, double* value);

// Appends the shortest text in XML-RPC's own form of a double (an
// optional '-', digits, '.', digits; no exponent) that parseDouble reads
// back to the same bits: 1e308 is written out in full, -0 as "-0.0".
// False, appending nothing, for infinity and NaN.
bool appendDouble(std::string* out, double value);

void appendInt(std::string* out, std::int64_t value);

// Standard base64 (RFC 4648 alphabet, '=' padding); white space between
// characters is ignored when decoding.
bool decodeBase64(std::string_view text, std::vector<unsigned char>* bytes);
void appendBase64(std::string* out, const std::vector<unsigned char>& bytes);

// "YYYYMMDDTHH:MM:SS" with optional ".ffffff" fraction and trailing 'Z';
// "YYYY-MM-DD" and "HHMMSS" forms are accepted too. Fields are range-checked.
bool parseDateTime(std::string_view text, xmlrpc_datetime* value);
// Writes "YYYYMMDDTHH:MM:SS", plus ".ffffff" when there are microseconds.
void appendDateTime(std::string* out, const xmlrpc_datetime& value);

}  // namespace detail
}  // namespace rpcwire

#endif  // RPCWIRE_NUMBER_TEXT_H
