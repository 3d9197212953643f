#include "exio/fins_exio_impl.h"

namespace {

constexpr int kFirstType = Int16;
constexpr int kLastType = WordForced;

bool isValidType(FinsDataType type) {
  return type >= kFirstType && type <= kLastType;
}

// Register indices run from 0 to 99.
constexpr int kMaxRegisterDigits = 2;

}  // namespace

int FinsExIO::Impl::finsTypeConvert(FinsDataType type) {
  if (!isValidType(type)) {
    return NoRegister;
  }
  switch (type) {
    case Float:
    case Double:
      return DoubleRegister;
    case Bit:
    case BitForced:
      return BoolRegister;
    default:
      // The integer and BCD types; a forced word goes to two int registers.
      return IntRegister;
  }
}

int FinsExIO::Impl::calculatePlcAddressStep(FinsDataType type) {
  static const int kWordsPerValue[kLastType] = {
      1, 2, 1, 2, 1, 2,  // Int16 .. BCD32
      1, 1, 1, 1,        // SBCD16_0 .. SBCD16_3
      2, 2, 2, 2,        // SBCD32_0 .. SBCD32_3
      2, 4,              // Float, Double
      0, 0,              // Bit, BitForced
      2};                // WordForced: data word and forced-status word
  if (!isValidType(type)) {
    return -1;
  }
  return kWordsPerValue[type - kFirstType];
}

int FinsExIO::Impl::getRegisterIndex(const std::string& name) {
  if (name.empty()) {
    return -1;
  }
  int index = 0;
  int digits = 0;
  for (char c : name) {
    if (c < '0' || c > '9') {
      continue;
    }
    // A third digit names no register; rejecting it keeps the mapping from
    // silently landing on a different register.
    if (++digits > kMaxRegisterDigits) {
      return -1;
    }
    index = index * 10 + (c - '0');
  }
  return index;
}
