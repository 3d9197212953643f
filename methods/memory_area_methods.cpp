#include "methods/memory_area_methods.h"

#include <cmath>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace FINS {
namespace METHOD {

namespace detail {

// --- XML-RPC parameter -> FinsValue alternative ------------------------------

void takeParam(const xmlrpc_c::paramList& params, unsigned index, short* v) {
  *v = static_cast<short>(static_cast<std::uint16_t>(params.getInt(index)));
}

void takeParam(const xmlrpc_c::paramList& params, unsigned index,
               unsigned short* v) {
  *v = static_cast<unsigned short>(params.getInt(index));
}

void takeParam(const xmlrpc_c::paramList& params, unsigned index, int* v) {
  *v = params.getInt(index);
}

void takeParam(const xmlrpc_c::paramList& params, unsigned index,
               unsigned int* v) {
  *v = static_cast<unsigned int>(params.getInt(index));
}

// Clients may send any double, also beyond the largest float.
void takeParam(const xmlrpc_c::paramList& params, unsigned index, float* v) {
  *v = datatypes::toNearestFloat(params.getDouble(index));
}

void takeParam(const xmlrpc_c::paramList& params, unsigned index, double* v) {
  *v = params.getDouble(index);
}

void takeParam(const xmlrpc_c::paramList& params, unsigned index, bool* v) {
  *v = params.getBoolean(index);
}

// --- FinsValue alternative -> XML-RPC value -----------------------------------

namespace {

xmlrpc_c::value toWire(short v) { return xmlrpc_c::value_int(v); }
xmlrpc_c::value toWire(unsigned short v) { return xmlrpc_c::value_int(v); }
xmlrpc_c::value toWire(int v) { return xmlrpc_c::value_int(v); }

// XML-RPC has no unsigned 32-bit int: the same 32 bits go out as a signed
// int, which the client can take back modulo 2^32.
xmlrpc_c::value toWire(unsigned int v) {
  return xmlrpc_c::value_int(static_cast<std::int32_t>(v));
}

// XML-RPC has no infinity and no NaN, and the server library cannot even
// write them (it crashes trying), yet any two or four PLC words may hold
// one: such a value is refused with a fault.
xmlrpc_c::value toWire(double v) {
  if (!std::isfinite(v)) {
    throw xmlrpc_c::fault(
        "the PLC value is not a finite number, which XML-RPC cannot carry",
        xmlrpc_c::fault::CODE_TYPE);
  }
  return xmlrpc_c::value_double(v);
}
xmlrpc_c::value toWire(float v) { return toWire(static_cast<double>(v)); }
xmlrpc_c::value toWire(bool v) { return xmlrpc_c::value_boolean(v); }

xmlrpc_c::value toWire(const FinsExIO::BitForce& v) {
  const std::vector<xmlrpc_c::value> pair = {xmlrpc_c::value_boolean(v.value),
                                             xmlrpc_c::value_boolean(v.forced)};
  return xmlrpc_c::value_array(pair);
}

xmlrpc_c::value toWire(const FinsExIO::WordForce& v) {
  const std::vector<xmlrpc_c::value> pair = {
      xmlrpc_c::value_int(v.value ? 1 : 0),
      xmlrpc_c::value_int(v.forced ? 1 : 0)};
  return xmlrpc_c::value_array(pair);
}

// Applies toWire to whichever alternative a FinsValue holds (unsigned char,
// which no data type carries, would go out as an int).
struct ToWire : boost::static_visitor<xmlrpc_c::value> {
  template <typename Alternative>
  xmlrpc_c::value operator()(const Alternative& v) const {
    return toWire(v);
  }
};

}  // namespace

xmlrpc_c::value readAnswer(int state, const FinsValue& value) {
  std::map<std::string, xmlrpc_c::value> members;
  members["state"] = xmlrpc_c::value_int(state);
  members["value"] = boost::apply_visitor(ToWire(), value);
  return xmlrpc_c::value_struct(members);
}

}  // namespace detail
}  // namespace METHOD
}  // namespace FINS
