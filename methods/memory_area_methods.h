#ifndef GW_METHODS_MEMORY_AREA_METHODS_H_
#define GW_METHODS_MEMORY_AREA_METHODS_H_

#include <string>

#include <xmlrpc-c/base.hpp>
#include <xmlrpc-c/registry.hpp>

#include "exio/fins_data_types.h"
#include "exio/fins_exio.h"

// The XML-RPC methods that read and write one value in the PLC's memory
// directly: "memoryAreaRead<Name>" and "memoryAreaWrite<Name>" for the data
// type names ("Int16", "SBCD32_2", "BitForced", ...). `T` is the FinsValue
// alternative that carries values of `Type`; the daemon registers a read for
// every row of exio/fins_data_types.def and a write for every row with a
// writer (the forced types are read-only).
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
  explicit FinsmemoryAreaRead(FinsExIO* engine) : engine_(engine) {}
  ~FinsmemoryAreaRead() override = default;

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
  explicit FinsmemoryAreaWrite(FinsExIO* engine) : engine_(engine) {}
  ~FinsmemoryAreaWrite() override = default;

  FinsmemoryAreaWrite(const FinsmemoryAreaWrite&) = delete;
  FinsmemoryAreaWrite& operator=(const FinsmemoryAreaWrite&) = delete;

  void execute(xmlrpc_c::paramList const& params,
               xmlrpc_c::value* result) override;

 private:
  FinsExIO* const engine_;
};

// What the templates share, whatever the type (memory_area_methods.cpp).
namespace detail {

// The parameter at `index` as the alternative: integers arrive as XML-RPC
// ints (signed 32-bit) and keep as many low bits as the alternative holds,
// so a client may write a 16-bit word either as its signed or as its
// unsigned number; a float takes any double, rounded to the nearest float.
void takeParam(const xmlrpc_c::paramList& params, unsigned index, short* v);
void takeParam(const xmlrpc_c::paramList& params, unsigned index,
               unsigned short* v);
void takeParam(const xmlrpc_c::paramList& params, unsigned index, int* v);
void takeParam(const xmlrpc_c::paramList& params, unsigned index,
               unsigned int* v);
void takeParam(const xmlrpc_c::paramList& params, unsigned index, float* v);
void takeParam(const xmlrpc_c::paramList& params, unsigned index, double* v);
void takeParam(const xmlrpc_c::paramList& params, unsigned index, bool* v);

// The answer of a read: {"state": state, "value": value as documented above}.
xmlrpc_c::value readAnswer(int state, const FinsValue& value);

}  // namespace detail

// --- Reads ---------------------------------------------------------------------

template <typename T, FinsDataType Type>
void FinsmemoryAreaRead<T, Type>::execute(xmlrpc_c::paramList const& params,
                                          xmlrpc_c::value* result) {
  const std::string address = params.getString(0);
  FinsValue value = T();
  const int state = engine_->memoryAreaReadInternal(address, Type, value);
  // An engine that handed back another alternative would make the answer a
  // lie; boost::bad_get turns the call into a fault instead.
  if (boost::get<T>(&value) == nullptr) throw boost::bad_get();
  *result = detail::readAnswer(state, value);
}

// --- Writes --------------------------------------------------------------------

template <typename T, FinsDataType Type>
void FinsmemoryAreaWrite<T, Type>::execute(xmlrpc_c::paramList const& params,
                                           xmlrpc_c::value* result) {
  const std::string address = params.getString(0);
  T value;
  detail::takeParam(params, 1, &value);
  *result = xmlrpc_c::value_int(
      engine_->memoryAreaWrite(address, Type, FinsValue(value)));
}

}  // namespace METHOD
}  // namespace FINS

#endif  // GW_METHODS_MEMORY_AREA_METHODS_H_
