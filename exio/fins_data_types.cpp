#include "exio/fins_data_types.h"

#include <boost/variant/get.hpp>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <cstddef>
#include <type_traits>
#include <limits>

namespace datatypes {
namespace {

using Union = decltype(fins_multidata_tp::value);
using Shown = FinsExIO::Diagnostics::ShownValue;

std::uint32_t floatBits(float value) {
  std::uint32_t bits = 0;
  std::memcpy(&bits, &value, sizeof(bits));
  return bits;
}

// The PLC's double: four words, low word first, as two uint32 writes.
void doubleWords(double value, std::uint32_t words[2]) {
  std::uint64_t bits = 0;
  std::memcpy(&bits, &value, sizeof(bits));
  words[0] = static_cast<std::uint32_t>(bits);
  words[1] = static_cast<std::uint32_t>(bits >> 32);
}

template <FinsExIO::RegisterType Register>
RegisterCall robotRead(int index);
template <>
RegisterCall robotRead<FinsExIO::IntRegister>(int index) {
  return RegisterCall::readOutputInt(index);
}
template <>
RegisterCall robotRead<FinsExIO::DoubleRegister>(int index) {
  return RegisterCall::readOutputDouble(index);
}
template <>
RegisterCall robotRead<FinsExIO::BoolRegister>(int index) {
  return RegisterCall::readOutputBool(index);
}

// --- Shapes -------------------------------------------------------------------
// Ops<Shape> moves a value of that shape between the library's item, the
// robot's registers and the clients.

template <typename Shape>
struct Ops;

// A value in one integer field of the item. The robot's int register takes
// its 32 bits: a Uint32 from 2^31 up arrives there negative, and comes back
// as the same bits.
template <typename Shape, typename Field, Field Union::*kField>
struct IntegerOps {
  static constexpr int kRobotRegisters = 1;
  static std::size_t appendRobotWrites(const fins_multidata_tp& item,
                                       int index, int,
                                       std::vector<RegisterCall>& calls) {
    calls.push_back(RegisterCall::writeInputInt(
        index, static_cast<int>(item.value.*kField)));
    return 1;
  }
  static void takeRobotValue(const RegisterCall& answer,
                             fins_multidata_tp* item) {
    item->value.*kField = static_cast<Field>(answer.intValue);
  }
  static FinsExIO::Value clientValue(const fins_multidata_tp& item) {
    return static_cast<typename Shape::Client>(item.value.*kField);
  }
  static void takeClientValue(const FinsExIO::Value& value,
                              fins_multidata_tp* item) {
    item->value.*kField =
        static_cast<Field>(boost::get<typename Shape::Client>(value));
  }
  static Shown shown(const fins_multidata_tp& item) {
    Shown out;
    // A uint32 is beyond what an XML-RPC int holds; a double holds it
    // exactly.
    out.kind = std::numeric_limits<Field>::max() <=
                       std::numeric_limits<std::int32_t>::max()
                   ? Shown::kInt
                   : Shown::kNumber;
    out.first = item.value.*kField;
    return out;
  }
};

template <>
struct Ops<Signed16Shape>
    : IntegerOps<Signed16Shape, std::int16_t, &Union::int16> {};
template <>
struct Ops<Unsigned16Shape>
    : IntegerOps<Unsigned16Shape, std::uint16_t, &Union::uint16> {};
template <>
struct Ops<Signed32Shape>
    : IntegerOps<Signed32Shape, std::int32_t, &Union::int32> {};
template <>
struct Ops<Unsigned32Shape>
    : IntegerOps<Unsigned32Shape, std::uint32_t, &Union::uint32> {};

// A floating value: the robot's double register holds a float exactly and
// gives a double back rounded to the nearest float.
template <typename Shape, typename Field, Field Union::*kField>
struct RealOps {
  static constexpr int kRobotRegisters = 1;
  static std::size_t appendRobotWrites(const fins_multidata_tp& item,
                                       int index, int,
                                       std::vector<RegisterCall>& calls) {
    calls.push_back(RegisterCall::writeInputDouble(index, item.value.*kField));
    return 1;
  }
  static Field fromDouble(double d) {
    if constexpr (std::is_same<Field, float>::value) {
      return toNearestFloat(d);
    } else {
      return d;
    }
  }
  static void takeRobotValue(const RegisterCall& answer,
                             fins_multidata_tp* item) {
    item->value.*kField = fromDouble(answer.doubleValue);
  }
  static FinsExIO::Value clientValue(const fins_multidata_tp& item) {
    return item.value.*kField;
  }
  static void takeClientValue(const FinsExIO::Value& value,
                              fins_multidata_tp* item) {
    item->value.*kField = boost::get<Field>(value);
  }
  static Shown shown(const fins_multidata_tp& item) {
    Shown out;
    out.kind = Shown::kNumber;
    out.first = item.value.*kField;
    return out;
  }
};

template <>
struct Ops<FloatShape> : RealOps<FloatShape, float, &Union::float32> {};
template <>
struct Ops<DoubleShape> : RealOps<DoubleShape, double, &Union::float64> {};

template <>
struct Ops<BitShape> {
  static constexpr int kRobotRegisters = 1;
  static std::size_t appendRobotWrites(const fins_multidata_tp& item,
                                       int index, int,
                                       std::vector<RegisterCall>& calls) {
    calls.push_back(
        RegisterCall::writeInputBool(index, item.value.bit.value != 0));
    return 1;
  }
  static void takeRobotValue(const RegisterCall& answer,
                             fins_multidata_tp* item) {
    item->value.bit.value = answer.boolValue ? 1 : 0;
  }
  static FinsExIO::Value clientValue(const fins_multidata_tp& item) {
    return item.value.bit.value != 0;
  }
  static void takeClientValue(const FinsExIO::Value& value,
                              fins_multidata_tp* item) {
    item->value.bit.value = boost::get<bool>(value) ? 1 : 0;
  }
  static Shown shown(const fins_multidata_tp& item) {
    Shown out;
    out.kind = Shown::kBool;
    out.first = item.value.bit.value != 0;
    return out;
  }
};

// The read-only types: a value and its forced status to two registers.
// Nothing comes back from the robot for them.
struct ReadOnlyOps {
  static constexpr int kRobotRegisters = 2;
  static void takeRobotValue(const RegisterCall&, fins_multidata_tp*) {}
};

template <>
struct Ops<BitForcedShape> : ReadOnlyOps {
  static std::size_t appendRobotWrites(const fins_multidata_tp& item,
                                       int index, int second,
                                       std::vector<RegisterCall>& calls) {
    calls.push_back(
        RegisterCall::writeInputBool(index, item.value.bit.value != 0));
    calls.push_back(
        RegisterCall::writeInputBool(second, item.value.bit.forced != 0));
    return 2;
  }
  static FinsExIO::Value clientValue(const fins_multidata_tp& item) {
    return FinsExIO::BitForce{item.value.bit.value != 0,
                              item.value.bit.forced != 0};
  }
  static void takeClientValue(const FinsExIO::Value& value,
                              fins_multidata_tp* item) {
    const auto& v = boost::get<FinsExIO::BitForce>(value);
    item->value.bit.value = v.value ? 1 : 0;
    item->value.bit.forced = v.forced ? 1 : 0;
  }
  static Shown shown(const fins_multidata_tp& item) {
    Shown out;
    out.kind = Shown::kBoolPair;
    out.first = item.value.bit.value != 0;
    out.second = item.value.bit.forced != 0;
    return out;
  }
};

template <>
struct Ops<WordForcedShape> : ReadOnlyOps {
  static std::size_t appendRobotWrites(const fins_multidata_tp& item,
                                       int index, int second,
                                       std::vector<RegisterCall>& calls) {
    calls.push_back(RegisterCall::writeInputInt(index, item.value.word.first));
    calls.push_back(
        RegisterCall::writeInputInt(second, item.value.word.second));
    return 2;
  }
  // Clients see each word reduced to a truth value.
  static FinsExIO::Value clientValue(const fins_multidata_tp& item) {
    return FinsExIO::WordForce{item.value.word.first != 0,
                               item.value.word.second != 0};
  }
  static void takeClientValue(const FinsExIO::Value& value,
                              fins_multidata_tp* item) {
    const auto& v = boost::get<FinsExIO::WordForce>(value);
    item->value.word.first = v.value ? 1 : 0;
    item->value.word.second = v.forced ? 1 : 0;
  }
  static Shown shown(const fins_multidata_tp& item) {
    Shown out;
    out.kind = Shown::kIntPair;
    out.first = item.value.word.first;
    out.second = item.value.word.second;
    return out;
  }
};

// --- Writers --------------------------------------------------------------------

using Writer = int (*)(fins_sys_tp*, const char*, const fins_multidata_tp*,
                       std::size_t, FinsDataType);

// The items' `kField`s, as one array for the library's writer.
template <typename Word, Word Union::*kField>
std::vector<Word> fieldsOf(const fins_multidata_tp* items, std::size_t count) {
  std::vector<Word> words(count);
  for (std::size_t i = 0; i < count; ++i) {
    words[i] = items[i].value.*kField;
  }
  return words;
}

template <typename Word, Word Union::*kField,
          int (*kLibrary)(fins_sys_tp*, const char*, const Word*, std::size_t)>
int writeFields(fins_sys_tp* connection, const char* start,
                const fins_multidata_tp* items, std::size_t count,
                FinsDataType) {
  return kLibrary(connection, start, fieldsOf<Word, kField>(items, count).data(),
                  count);
}

// The signed BCD writers also take the type, which names the encoding.
template <typename Word, Word Union::*kField,
          int (*kLibrary)(fins_sys_tp*, const char*, const Word*, std::size_t,
                          int)>
int writeEncodedFields(fins_sys_tp* connection, const char* start,
                       const fins_multidata_tp* items, std::size_t count,
                       FinsDataType type) {
  return kLibrary(connection, start, fieldsOf<Word, kField>(items, count).data(),
                  count, type);
}

int writeFloats(fins_sys_tp* connection, const char* start,
                const fins_multidata_tp* items, std::size_t count,
                FinsDataType) {
  std::vector<std::uint32_t> words(count);
  for (std::size_t i = 0; i < count; ++i) {
    words[i] = floatBits(items[i].value.float32);
  }
  return finslib_memory_area_write_uint32(connection, start, words.data(),
                                          count);
}

int writeDoubles(fins_sys_tp* connection, const char* start,
                 const fins_multidata_tp* items, std::size_t count,
                 FinsDataType) {
  std::vector<std::uint32_t> words(2 * count);
  for (std::size_t i = 0; i < count; ++i) {
    doubleWords(items[i].value.float64, &words[2 * i]);
  }
  return finslib_memory_area_write_uint32(connection, start, words.data(),
                                          words.size());
}

int writeBits(fins_sys_tp* connection, const char* start,
              const fins_multidata_tp* items, std::size_t count,
              FinsDataType) {
  std::vector<std::uint8_t> bits(count);
  for (std::size_t i = 0; i < count; ++i) {
    bits[i] = items[i].value.bit.value != 0 ? 1 : 0;
  }
  return finslib_memory_area_write_bit(connection, start, bits.data(), count);
}

// The writers the table names.
constexpr Writer WriteInt16 =
    &writeFields<std::int16_t, &Union::int16, finslib_memory_area_write_int16>;
constexpr Writer WriteInt32 =
    &writeFields<std::int32_t, &Union::int32, finslib_memory_area_write_int32>;
constexpr Writer WriteUint16 = &writeFields<std::uint16_t, &Union::uint16,
                                            finslib_memory_area_write_uint16>;
constexpr Writer WriteUint32 = &writeFields<std::uint32_t, &Union::uint32,
                                            finslib_memory_area_write_uint32>;
constexpr Writer WriteBcd16 = &writeFields<std::uint16_t, &Union::uint16,
                                           finslib_memory_area_write_bcd16>;
constexpr Writer WriteBcd32 = &writeFields<std::uint32_t, &Union::uint32,
                                           finslib_memory_area_write_bcd32>;
constexpr Writer WriteSbcd16 =
    &writeEncodedFields<std::int16_t, &Union::int16,
                        finslib_memory_area_write_sbcd16>;
constexpr Writer WriteSbcd32 =
    &writeEncodedFields<std::int32_t, &Union::int32,
                        finslib_memory_area_write_sbcd32>;
constexpr Writer WriteFloat = &writeFloats;
constexpr Writer WriteDouble = &writeDoubles;
constexpr Writer WriteBit = &writeBits;
// Of its own type, so that the table's checks tell it apart without
// comparing function addresses, which a sanitizer build cannot fold.
constexpr std::nullptr_t NoWriter = nullptr;
template <typename W>
constexpr bool kIsNoWriter = std::is_null_pointer<std::remove_cv_t<W>>::value;

// --- The table --------------------------------------------------------------------

#define GW_DATA_TYPE(Type, Shape, Register, Words, Writer, WriteMethod)       \
  static_assert(Shape::kRegister == FinsExIO::Register,                       \
                #Type ": its shape is held in another register kind");        \
  static_assert(Ops<Shape>::kRobotRegisters == 1 ||                          \
                    kIsNoWriter<decltype(Writer)>,                            \
                #Type ": a value with a forced status cannot be written");     \
  static_assert(kIsNoWriter<decltype(Writer)> == (WriteMethod == 0),         \
                #Type ": a write method needs a writer and a writer a place");
#include "exio/fins_data_types.def"
#undef GW_DATA_TYPE

constexpr int kWriteMethodPlaces[] = {
#define GW_DATA_TYPE(Type, Shape, Register, Words, Writer, WriteMethod) WriteMethod,
#include "exio/fins_data_types.def"
#undef GW_DATA_TYPE
};

// The daemon registers the write methods by place: 1, 2, ... up to the
// number of writable types, each place taken once.
constexpr bool writeMethodPlacesAreARun() {
  int writable = 0;
  for (const int place : kWriteMethodPlaces) writable += place != 0 ? 1 : 0;
  for (int place = 1; place <= writable; ++place) {
    int taken = 0;
    for (const int p : kWriteMethodPlaces) taken += p == place ? 1 : 0;
    if (taken != 1) return false;
  }
  return true;
}
static_assert(writeMethodPlacesAreARun(),
              "the write method places must run 1, 2, ... without a gap");

constexpr DataTypeRow kRows[] = {
#define GW_DATA_TYPE(Type, Shape, Register, Words, Writer, WriteMethod)      \
  {Type,                                                                     \
   #Type,                                                                    \
   FinsExIO::Register,                                                       \
   Words,                                                                    \
   Ops<Shape>::kRobotRegisters,                                              \
   Shape::kBitArea,                                                          \
   Shape::kForced,                                                           \
   &Ops<Shape>::appendRobotWrites,                                           \
   &robotRead<FinsExIO::Register>,                                           \
   &Ops<Shape>::takeRobotValue,                                              \
   &Ops<Shape>::clientValue,                                                 \
   &Ops<Shape>::takeClientValue,                                             \
   &Ops<Shape>::shown,                                                       \
   Writer},
#include "exio/fins_data_types.def"
#undef GW_DATA_TYPE
};

constexpr std::size_t kRowCount = sizeof(kRows) / sizeof(kRows[0]);

// rowOf indexes the table by the type's number.
constexpr bool rowsFollowTheTypeNumbers() {
  for (std::size_t i = 0; i < kRowCount; ++i) {
    if (kRows[i].type != static_cast<int>(i) + 1) return false;
  }
  return true;
}
static_assert(rowsFollowTheTypeNumbers(),
              "the rows must follow the data type numbers from 1 on");

}  // namespace

const DataTypeRow* rowOf(FinsDataType type) {
  const int number = type;
  if (number < 1 || static_cast<std::size_t>(number) > kRowCount) {
    return nullptr;
  }
  return &kRows[number - 1];
}

float toNearestFloat(double d) {
  constexpr float kMax = std::numeric_limits<float>::max();
  if (std::isnan(d)) return std::numeric_limits<float>::quiet_NaN();
  if (std::fabs(d) <= kMax) return static_cast<float>(d);
  // Up to half a unit in the last place above the largest float, rounding
  // still gives the largest float; from there on (ties go to the even
  // neighbour, 2^128) it overflows to infinity.
  const double halfUlpAboveMax =
      static_cast<double>(kMax) +
      std::ldexp(1.0, std::numeric_limits<float>::max_exponent -
                          std::numeric_limits<float>::digits - 1);
  const float magnitude = std::fabs(d) < halfUlpAboveMax
                              ? kMax
                              : std::numeric_limits<float>::infinity();
  return d < 0 ? -magnitude : magnitude;
}

}  // namespace datatypes
