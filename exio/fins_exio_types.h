#ifndef GW_EXIO_FINS_EXIO_TYPES_H_
#define GW_EXIO_FINS_EXIO_TYPES_H_

#include <cstdint>

// The PLC data representations. The numbers are, unchanged, the data type
// codes of the FINS client library, so a FinsDataType goes straight into a
// multiple memory area read item. The names are those of the XML-RPC
// methods ("memoryAreaReadSBCD16_2").
//
// The underlying type is fixed so that any 32-bit number received from a
// client can be held and then rejected as invalid (0 and above 19) without
// undefined behaviour.
enum FinsDataType : std::int32_t {
  Int16 = 1,
  Int32 = 2,
  Uint16 = 3,
  Uint32 = 4,
  BCD16 = 5,
  BCD32 = 6,
  SBCD16_0 = 7,
  SBCD16_1 = 8,
  SBCD16_2 = 9,
  SBCD16_3 = 10,
  SBCD32_0 = 11,
  SBCD32_1 = 12,
  SBCD32_2 = 13,
  SBCD32_3 = 14,
  Float = 15,
  Double = 16,
  Bit = 17,
  BitForced = 18,  // read only
  WordForced = 19  // read only
};

static_assert(sizeof(FinsDataType) == 4, "shared with the FINS library");

#endif  // GW_EXIO_FINS_EXIO_TYPES_H_
