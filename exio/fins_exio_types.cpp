#include "exio/fins_data_types.h"
#include "exio/fins_exio_impl.h"

namespace {

// Register indices run from 0 to 99.
constexpr int kMaxRegisterDigits = 2;

}  // namespace

int FinsExIO::Impl::finsTypeConvert(FinsDataType type) {
  const datatypes::DataTypeRow* row = datatypes::rowOf(type);
  return row == nullptr ? NoRegister : row->robotRegister;
}

int FinsExIO::Impl::calculatePlcAddressStep(FinsDataType type) {
  const datatypes::DataTypeRow* row = datatypes::rowOf(type);
  return row == nullptr ? -1 : row->plcWords;
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
