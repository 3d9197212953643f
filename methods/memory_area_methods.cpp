#include "methods/memory_area_methods.h"

#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <string>
#include <vector>

namespace FINS {
namespace METHOD {

namespace {

// --- XML-RPC parameter -> FinsValue alternative ------------------------------
// Integers arrive as XML-RPC ints (signed 32-bit) and keep as many low bits
// as the alternative holds, so a client may write a 16-bit word either as
// its signed or as its unsigned number.

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

}  // namespace

// --- Reads ---------------------------------------------------------------------

template <typename T, FinsDataType Type>
FinsmemoryAreaRead<T, Type>::FinsmemoryAreaRead(FinsExIO* engine)
    : engine_(engine) {}

template <typename T, FinsDataType Type>
FinsmemoryAreaRead<T, Type>::~FinsmemoryAreaRead() = default;

template <typename T, FinsDataType Type>
void FinsmemoryAreaRead<T, Type>::execute(xmlrpc_c::paramList const& params,
                                          xmlrpc_c::value* result) {
  const std::string address = params.getString(0);
  FinsValue value = T();
  const int state = engine_->memoryAreaReadInternal(address, Type, value);
  // An engine that handed back another alternative would make the answer a
  // lie; boost::bad_get turns the call into a fault instead.
  const T& read = boost::get<T>(value);

  std::map<std::string, xmlrpc_c::value> members;
  members["state"] = xmlrpc_c::value_int(state);
  members["value"] = toWire(read);
  *result = xmlrpc_c::value_struct(members);
}

// --- Writes --------------------------------------------------------------------

template <typename T, FinsDataType Type>
FinsmemoryAreaWrite<T, Type>::FinsmemoryAreaWrite(FinsExIO* engine)
    : engine_(engine) {}

template <typename T, FinsDataType Type>
FinsmemoryAreaWrite<T, Type>::~FinsmemoryAreaWrite() = default;

template <typename T, FinsDataType Type>
void FinsmemoryAreaWrite<T, Type>::execute(xmlrpc_c::paramList const& params,
                                           xmlrpc_c::value* result) {
  const std::string address = params.getString(0);
  T value;
  takeParam(params, 1, &value);
  *result = xmlrpc_c::value_int(
      engine_->memoryAreaWrite(address, Type, FinsValue(value)));
}

#define GW_FINS_READ_METHOD(Type) \
  template class FinsmemoryAreaRead<datatypes::ClientValueOf<Type>, Type>;
#define GW_FINS_WRITE_METHOD(Type) \
  template class FinsmemoryAreaWrite<datatypes::ClientValueOf<Type>, Type>;
#include "methods/memory_area_instances.inc"
#undef GW_FINS_READ_METHOD
#undef GW_FINS_WRITE_METHOD

}  // namespace METHOD
}  // namespace FINS
