// The table of the data types (fins_data_types.def) as the engine and the
// XML-RPC methods read it: for each FinsDataType its robot register kind,
// its words in the PLC, how its value moves between the FINS library's
// item, the robot's registers and the clients, and its FINS writer.

#ifndef GW_EXIO_FINS_DATA_TYPES_H_
#define GW_EXIO_FINS_DATA_TYPES_H_

#include <cstddef>
#include <vector>

#include "exio/fins_exio.h"
#include "fins/fins.h"
#include "robotio/extern_io_client.h"

namespace datatypes {

// The shapes a value takes. Each names the FinsValue alternative clients
// read and write, the robot register kind that holds it, and where the
// multiple read finds it: in the bit areas or the word areas, with or
// without the forced status.
struct WordAreaValue {
  static constexpr bool kBitArea = false;
  static constexpr bool kForced = false;
};
struct Signed16Shape : WordAreaValue {
  using Client = short;
  static constexpr auto kRegister = FinsExIO::IntRegister;
};
struct Unsigned16Shape : WordAreaValue {
  using Client = unsigned short;
  static constexpr auto kRegister = FinsExIO::IntRegister;
};
struct Signed32Shape : WordAreaValue {
  using Client = int;
  static constexpr auto kRegister = FinsExIO::IntRegister;
};
struct Unsigned32Shape : WordAreaValue {
  using Client = unsigned int;
  static constexpr auto kRegister = FinsExIO::IntRegister;
};
struct FloatShape : WordAreaValue {
  using Client = float;
  static constexpr auto kRegister = FinsExIO::DoubleRegister;
};
struct DoubleShape : WordAreaValue {
  using Client = double;
  static constexpr auto kRegister = FinsExIO::DoubleRegister;
};
struct BitShape : WordAreaValue {
  using Client = bool;
  static constexpr auto kRegister = FinsExIO::BoolRegister;
  static constexpr bool kBitArea = true;
};
struct BitForcedShape : WordAreaValue {
  using Client = FinsExIO::BitForce;
  static constexpr auto kRegister = FinsExIO::BoolRegister;
  static constexpr bool kBitArea = true;
  static constexpr bool kForced = true;
};
struct WordForcedShape : WordAreaValue {
  using Client = FinsExIO::WordForce;
  static constexpr auto kRegister = FinsExIO::IntRegister;
  static constexpr bool kForced = true;
};

// The FinsValue alternative of `Type`, for code that needs it at compile
// time (the XML-RPC methods' templates).
template <FinsDataType Type>
struct ClientValue;
#define GW_DATA_TYPE(Type, Shape, Register, Words, Writer, WriteMethod) \
  template <>                                                           \
  struct ClientValue<Type> {                                            \
    using type = Shape::Client;                                         \
  };
#include "exio/fins_data_types.def"
#undef GW_DATA_TYPE

template <FinsDataType Type>
using ClientValueOf = typename ClientValue<Type>::type;

using RegisterCall = ExternIOClient::RegisterCall;

// One row of the table, with the operations its shape and writer give.
struct DataTypeRow {
  FinsDataType type;
  const char* name;  // "SBCD16_2"
  FinsExIO::RegisterType robotRegister;
  int plcWords;        // per value; 0 for a bit
  int robotRegisters;  // 1; 2 for the forced types (value, forced status)
  bool bitArea;        // the multiple read looks it up among the bit areas
  bool forcedArea;     // ... among those that hold a forced status

  // Appends the robot write(s) that carry `item` (a value read from the
  // PLC) to input register `index`, and `second` for the forced types.
  // Returns how many were appended (robotRegisters).
  std::size_t (*appendRobotWrites)(const fins_multidata_tp& item, int index,
                                   int second,
                                   std::vector<RegisterCall>& calls);
  // The robot read of output register `index` that yields a value of the
  // type (the register kind's getter).
  RegisterCall (*robotRead)(int index);
  // Sets the value of `item` from an answered robot read, cut to the
  // type's width. Read-only types leave it alone.
  void (*takeRobotValue)(const RegisterCall& answer, fins_multidata_tp* item);
  // The value of `item` as clients read it.
  FinsExIO::Value (*clientValue)(const fins_multidata_tp& item);
  // Sets the value of `item` from a client's value. Throws boost::bad_get
  // when `value` holds another alternative than the type's.
  void (*takeClientValue)(const FinsExIO::Value& value,
                          fins_multidata_tp* item);
  // The value of `item` in the shape the diagnostics show.
  FinsExIO::Diagnostics::ShownValue (*shown)(const fins_multidata_tp& item);
  // Writes the values of `count` items to the PLC from `start` on in one
  // call of the library; nullptr for the read-only types.
  // REQUIRES: the caller owns `connection` for the call.
  int (*write)(fins_sys_tp* connection, const char* start,
               const fins_multidata_tp* items, std::size_t count,
               FinsDataType type);

  bool writable() const { return write != nullptr; }
};

// The row of `type`; nullptr for a number that is no data type.
const DataTypeRow* rowOf(FinsDataType type);

// `d` rounded to the nearest float as IEEE 754 does, also beyond the
// largest float (where a plain cast is undefined): robots and clients may
// send any double for a Float.
float toNearestFloat(double d);

}  // namespace datatypes

#endif  // GW_EXIO_FINS_DATA_TYPES_H_
