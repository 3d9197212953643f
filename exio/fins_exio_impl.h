#ifndef GW_EXIO_FINS_EXIO_IMPL_H_
#define GW_EXIO_FINS_EXIO_IMPL_H_

#include <string>

#include "exio/fins_exio.h"

// The engine's private implementation. Internal: included by the engine and
// its tests only.
//
// So far it holds the per-type facts and the register name parser the
// mapping table is built on; the engine's state and locks join it later.
class FinsExIO::Impl {
 public:
  // The robot register type (a FinsExIO::RegisterType) that values of
  // `type` go to: IntRegister for the integer, BCD and forced-word types,
  // DoubleRegister for Float and Double, BoolRegister for Bit and BitForced,
  // NoRegister for anything outside 1 to 19. Pure; any thread.
  static int finsTypeConvert(FinsDataType type);

  // The PLC words one value of `type` occupies: 1, 2 or 4; 0 for Bit and
  // BitForced, which occupy no whole word; -1 for anything outside 1 to 19.
  // Pure; any thread.
  static int calculatePlcAddressStep(FinsDataType type);

  // The robot register index named by `name`: its decimal digits, wherever
  // they stand ("in1_2" is 12), read as one base-10 number; 0 when it has no
  // digit. Negative when `name` is empty or has more than two digits, as
  // register indices run from 0 to 99. Pure; any thread.
  static int getRegisterIndex(const std::string& name);
};

#endif  // GW_EXIO_FINS_EXIO_IMPL_H_
