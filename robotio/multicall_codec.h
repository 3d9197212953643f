// The values of a system.multicall, the XML-RPC servers' common way of
// taking many calls in one request: the parameter built from a list of
// calls, and the per-call results read back out of its answer. The text
// itself is written and read by call_codec.

#ifndef GW_ROBOTIO_MULTICALL_CODEC_H_
#define GW_ROBOTIO_MULTICALL_CODEC_H_

#include <cstddef>
#include <string>
#include <vector>
#include <xmlrpc-c/base.hpp>

namespace robotio {

inline constexpr char kMulticallMethod[] = "system.multicall";

// Collects the calls of one multicall, in order.
class MulticallBuilder {
 public:
  // Adds the call of `method` with `params`.
  void add(const char* method, const xmlrpc_c::paramList& params);

  size_t size() const { return calls_.size(); }

  // The one parameter of "system.multicall": an array of structs
  // {methodName, params}. The builder is empty afterwards.
  xmlrpc_c::paramList take();

 private:
  std::vector<xmlrpc_c::value> calls_;
};

// What the service answered for one call of a multicall.
struct MulticallResult {
  bool isFault = true;
  // The element had neither form of a multicall result (then isFault).
  bool malformed = false;
  int faultCode = 0;
  std::string text;       // the fault's text, or why the element is unusable
  xmlrpc_c::value value;  // the call's result when !isFault
};

// Reads the result of a multicall of `count` calls: an array of `count`
// elements, each a one-element array holding that call's result or a fault
// struct {faultCode int, faultString string}. An element of any other form
// is a fault of its own (`malformed`, code 0, reason in `text`), since it
// says nothing about the other calls. Returns false with a reason in *error when the
// result is not an array of `count` elements: then no element can be
// matched to its call.
bool readMulticallResults(const xmlrpc_c::value& result, size_t count,
                          std::vector<MulticallResult>* out,
                          std::string* error);

}  // namespace robotio

#endif  // GW_ROBOTIO_MULTICALL_CODEC_H_
