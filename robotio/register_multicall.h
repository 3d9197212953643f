// The text of a multicall of register calls, written and read directly:
// a cycle with 1,000 mappings sends two of 500 calls each, and building
// and taking apart a library value for every call, parameter and result
// cost more than the calls' travel. Answers of an unusual form are left to
// the general reader (multicall_codec), which makes sense of any.

#ifndef GW_ROBOTIO_REGISTER_MULTICALL_H_
#define GW_ROBOTIO_REGISTER_MULTICALL_H_

#include <cstddef>
#include <string>
#include <vector>

#include <xmlrpc-c/base.hpp>

namespace robotio {

// Writes the <methodCall> of one "system.multicall", call by call.
class MulticallText {
 public:
  // Starts a new document in *out, dropping what it held.
  explicit MulticallText(std::string* out);

  // One call of `method`; then its parameters in order.
  void beginCall(const char* method);
  void addString(const std::string& text);
  void addInt(int value);
  void addBoolean(bool value);
  // False, writing nothing, for infinity and NaN, which XML-RPC cannot
  // carry.
  bool addDouble(double value);
  void endCall();

  // Closes the document.
  void finish();

 private:
  std::string* const out_;
};

// One element of a multicall answer that held a single scalar.
struct ScalarResult {
  xmlrpc_c::value::type_t type = xmlrpc_c::value::TYPE_STRING;
  int intValue = 0;        // TYPE_INT
  bool boolValue = false;  // TYPE_BOOLEAN
  double doubleValue = 0;  // TYPE_DOUBLE
};

// Reads the answer document of a multicall of `count` calls when every
// element is a one-element array holding an int, boolean, double or string,
// read exactly as the general reader reads them. False, with *out
// unspecified, for any other document: a fault, an element that is a fault
// or of another type, a different count, or anything malformed; the caller
// then reads it the general way.
bool readScalarMulticall(const char* xml, std::size_t size, std::size_t count,
                         std::vector<ScalarResult>* out);

}  // namespace robotio

#endif  // GW_ROBOTIO_REGISTER_MULTICALL_H_
