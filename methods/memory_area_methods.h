#ifndef GW_METHODS_MEMORY_AREA_METHODS_H_
#define GW_METHODS_MEMORY_AREA_METHODS_H_

#include <xmlrpc-c/base.hpp>
#include <xmlrpc-c/registry.hpp>

#include "exio/fins_data_types.h"
#include "exio/fins_exio.h"

// The XML-RPC methods that read and write one value in the PLC's memory
// directly: "memoryAreaRead<Name>" and "memoryAreaWrite<Name>" for the data
// type names ("Int16", "SBCD32_2", "BitForced", ...). `T` is the FinsValue
// alternative that carries values of `Type`. Only the 19 read and 17 write
// instances the daemon registers exist (the forced types are read-only).
//
// Every method object holds a non-owning pointer to the engine, which must
// outlive it. Both kinds run on the request's thread and answer when the
// engine is done. Surplus parameters are ignored; a missing or mistyped one
// is answered with the parameter list's fault and no engine call.

namespace FINS {
namespace METHOD {

// (string address) -> struct {"state": int, "value": ...}
//
// "state" is the engine's code: 0 when "value" holds the PLC's value, else a
// FINS library code or, for a mapped address, the mapping's state; "value"
// is then the type's zero. A failed read is an answer, not a fault.
//
// "value" by T: short and unsigned short as int (-32768..32767,
// 0..65535); int as int; unsigned int as the int of the same 32 bits (values
// from 2^31 up arrive negative, as XML-RPC ints are signed 32-bit); float
// (widened exactly) and double as double; bool as boolean; BitForce as an
// array of two booleans {value, forced}; WordForce as an array of two ints
// {value, forced}, each 0 or 1. A float or double that is infinite or NaN
// has no XML-RPC form and is answered with a fault.
template <typename T, FinsDataType Type>
class FinsmemoryAreaRead : public xmlrpc_c::method {
 public:
  explicit FinsmemoryAreaRead(FinsExIO* engine);
  ~FinsmemoryAreaRead() override;

  FinsmemoryAreaRead(const FinsmemoryAreaRead&) = delete;
  FinsmemoryAreaRead& operator=(const FinsmemoryAreaRead&) = delete;

  void execute(xmlrpc_c::paramList const& params,
               xmlrpc_c::value* result) override;

 private:
  FinsExIO* const engine_;
};

// (string address, value) -> int, the engine's code (0 when written).
//
// The value's XML-RPC type by T: int for the integer types, of which the
// 16-bit ones keep the low 16 bits (70000 writes 4464, -1 and 65535 the same
// word) and unsigned int keeps the 32-bit pattern (-1 writes 0xFFFFFFFF);
// double for float (rounded to the nearest float) and double; boolean for
// bool. A failed write is an answer, not a fault.
template <typename T, FinsDataType Type>
class FinsmemoryAreaWrite : public xmlrpc_c::method {
 public:
  explicit FinsmemoryAreaWrite(FinsExIO* engine);
  ~FinsmemoryAreaWrite() override;

  FinsmemoryAreaWrite(const FinsmemoryAreaWrite&) = delete;
  FinsmemoryAreaWrite& operator=(const FinsmemoryAreaWrite&) = delete;

  void execute(xmlrpc_c::paramList const& params,
               xmlrpc_c::value* result) override;

 private:
  FinsExIO* const engine_;
};

// The instances, defined in memory_area_methods.cpp.
#define GW_FINS_READ_METHOD(Type) \
  extern template class FinsmemoryAreaRead<datatypes::ClientValueOf<Type>, Type>;
#define GW_FINS_WRITE_METHOD(Type)                                      \
  extern template class FinsmemoryAreaWrite<datatypes::ClientValueOf<Type>, \
                                            Type>;
#include "methods/memory_area_instances.inc"
#undef GW_FINS_READ_METHOD
#undef GW_FINS_WRITE_METHOD

}  // namespace METHOD
}  // namespace FINS

#endif  // GW_METHODS_MEMORY_AREA_METHODS_H_
