// Pieces of the formatter the dispatcher shares, to write a multicall answer
// element by element.
#ifndef RPCWIRE_FORMAT_DETAIL_H
#define RPCWIRE_FORMAT_DETAIL_H

#include <string>
#include <string_view>

namespace rpcwire {
namespace detail {

// What to do with bytes XML cannot carry: invalid UTF-8 and C0 controls
// other than tab, line feed and carriage return.
enum class Unfit {
  kThrow,    // throw FormatError
  kReplace,  // write '?' instead
};

// Appends `text` as XML character data: & < > escaped, CR as &#13; so that
// it is not read back as LF.
void appendEscaped(std::string* out, std::string_view text, Unfit unfit);

// Appends the <value> of a fault struct {faultCode, faultString}.
void appendFaultValue(std::string* out, int code, const std::string& faultString);

}  // namespace detail
}  // namespace rpcwire

#endif  // RPCWIRE_FORMAT_DETAIL_H
