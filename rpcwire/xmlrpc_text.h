// XML-RPC text at both ends of a call, written here rather than taken from
// xmlrpc-c: its double parser is not correctly rounded, its formatter drops
// digits, and its element tree is built and freed recursively, so a deeply
// nested request overflows a thread stack. xmlrpc-c's value classes are kept
// as the in-memory form.
//
// Parsing never throws, never recurses with input depth and accepts any byte
// string; it is safe from any number of threads at once (no shared state).
#ifndef RPCWIRE_XMLRPC_TEXT_H
#define RPCWIRE_XMLRPC_TEXT_H

#include <cstddef>
#include <stdexcept>
#include <string>

#include <xmlrpc-c/base.hpp>

namespace rpcwire {

// Valid calls of the gateway's API nest about 10 elements deep, a
// system.multicall a few more; 64 leaves room for any honest client and
// bounds the parser's work stack.
constexpr std::size_t kMaxElementDepth = 64;

// The largest real documents are a system.multicall of a few hundred calls
// (about 100 KB) and an answer listing 1,000 mappings (about 300 KB).
// 1 MiB leaves three times that and still bounds what one connection may
// make us hold.
constexpr std::size_t kMaxRequestBytes = 1024 * 1024;

// Fault codes of the answers this library writes, the same numbers xmlrpc-c
// uses, so clients see no difference.
constexpr int kFaultInternal = -500;
constexpr int kFaultType = -501;
constexpr int kFaultParse = -503;
constexpr int kFaultNoSuchMethod = -506;
constexpr int kFaultRefused = -507;

enum class ParseStatus {
  kOk,
  kMalformedXml,  // not well-formed XML
  kTooDeep,       // elements nested deeper than kMaxElementDepth
  kTooLarge,      // more than kMaxRequestBytes
  kNotXmlRpc,     // well-formed XML, but not a call/answer of XML-RPC
};

// A short English name of the status, e.g. "malformed XML".
const char* statusName(ParseStatus status);

struct ParseResult {
  ParseStatus status = ParseStatus::kOk;
  std::string message;  // empty when ok(); else what was wrong and where

  bool ok() const { return status == ParseStatus::kOk; }
};

// One parsed <methodResponse>: either a value or a fault.
struct Response {
  bool isFault = false;
  int faultCode = 0;        // set when isFault
  std::string faultString;  // set when isFault
  xmlrpc_c::value value;    // the result when !isFault
};

// Parses a <methodCall> of `size` bytes at `text` (need not be
// NUL-terminated). On success fills *methodName and appends the parameters
// to *params (which should be empty); on failure leaves them in an
// unspecified but valid state and says why.
ParseResult parseCall(const char* text, std::size_t size,
                      std::string* methodName, xmlrpc_c::paramList* params);

// Parses a <methodResponse>. A well-formed fault answer is a success with
// response->isFault set; only text that is no XML-RPC answer is an error.
ParseResult parseResponse(const char* text, std::size_t size,
                          Response* response);

// Thrown by the formatters for values XML-RPC cannot carry: infinity, NaN,
// strings holding characters XML 1.0 forbids (NUL and the C0 controls but
// tab, line feed and carriage return), values of no XML-RPC type.
class FormatError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A complete <methodCall> document, as Python's xmlrpc.client writes one.
// Throws FormatError (nothing is half-written to the caller).
std::string formatCall(const std::string& methodName,
                       const xmlrpc_c::paramList& params);

// A complete <methodResponse> carrying `result`. Throws FormatError.
std::string formatResponse(const xmlrpc_c::value& result);

// A complete fault <methodResponse>. Never throws FormatError: characters XML
// cannot carry are written as '?'.
std::string formatFault(int code, const std::string& faultString);

// Appends <value>...</value> for `value` to *out. Doubles get the shortest
// text that reads back to the same bits; -0.0 keeps its sign. Works without
// recursion, for values of any depth. Throws FormatError; *out then holds
// a partial value, so callers that recover must cut it back themselves.
void appendValue(std::string* out, const xmlrpc_c::value& value);

}  // namespace rpcwire

#endif  // RPCWIRE_XMLRPC_TEXT_H
