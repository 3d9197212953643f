// The XML text of the external IO client's calls and of the service's
// answers. Kept apart from the client so that the client deals in values
// and outcomes only, whatever writes and reads the text.

#ifndef GW_ROBOTIO_CALL_CODEC_H_
#define GW_ROBOTIO_CALL_CODEC_H_

#include <cstddef>
#include <string>
#include <xmlrpc-c/base.hpp>

namespace robotio {

// Writes the <methodCall> document for `method` with `params` into *xml.
// Returns false with a reason in *error for a value XML-RPC cannot carry.
bool formatCall(const std::string& method, const xmlrpc_c::paramList& params,
                std::string* xml, std::string* error);

// What one answer document said.
struct Answer {
  enum class Kind {
    kValue,      // a result; in `value`
    kFault,      // a fault; in `fault_code` and `text`
    kMalformed,  // no XML-RPC answer at all; why in `text`
  };
  Kind kind = Kind::kMalformed;
  xmlrpc_c::value value;
  int fault_code = 0;
  std::string text;
};

// Reads the answer document of `size` bytes at `xml` (need not be
// NUL-terminated). Never throws on any bytes.
Answer parseAnswer(const char* xml, size_t size);

}  // namespace robotio

#endif  // GW_ROBOTIO_CALL_CODEC_H_
