// The registers of the simulated external IO service and the claims on its
// input registers. Plain data and rules, no locking and no I/O: the
// simulator serialises every access under its own mutex.

#ifndef TOOLS_EXIO_SIM_REGISTER_FILE_H_
#define TOOLS_EXIO_SIM_REGISTER_FILE_H_

#include <array>
#include <string>

#include "tools/exio-sim/exio_sim.h"

namespace exiosim {

class RegisterFile {
 public:
  RegisterFile();

  RegisterFile(const RegisterFile&) = delete;
  RegisterFile& operator=(const RegisterFile&) = delete;

  static bool validBank(int bank) {
    return bank >= kBoolBank && bank <= kDoubleBank;
  }
  static bool validIndex(int index) {
    return index >= 0 && index < kRegisterCount;
  }

  // The rules below are those of the remote methods (see exio_sim.h).
  // REQUIRES (all of them): validBank(bank), validIndex(index), owner not
  // empty.
  bool occupy(const std::string& owner, int bank, int index);
  int release(const std::string& owner, int bank, int index);
  bool setInputBool(const std::string& owner, int index, bool value);
  bool setInputInt(const std::string& owner, int index, int value);
  bool setInputDouble(const std::string& owner, int index, double value);

  // True while at least one input register of any bank is claimed.
  bool anyClaimed() const;

  const std::string& owner(int bank, int index) const {
    return owners_[bank][index];
  }

  // Unconditional access for the robot program's side. REQUIRES:
  // validIndex(index).
  bool inputBool(int index) const { return input_bool_[index]; }
  int inputInt(int index) const { return input_int_[index]; }
  double inputDouble(int index) const { return input_double_[index]; }
  bool outputBool(int index) const { return output_bool_[index]; }
  int outputInt(int index) const { return output_int_[index]; }
  double outputDouble(int index) const { return output_double_[index]; }
  void setOutputBool(int index, bool value) { output_bool_[index] = value; }
  void setOutputInt(int index, int value) { output_int_[index] = value; }
  void setOutputDouble(int index, double value) {
    output_double_[index] = value;
  }

 private:
  bool heldBy(const std::string& owner, int bank, int index) const {
    return owners_[bank][index] == owner;
  }

  std::array<bool, kRegisterCount> input_bool_;
  std::array<int, kRegisterCount> input_int_;
  std::array<double, kRegisterCount> input_double_;
  std::array<bool, kRegisterCount> output_bool_;
  std::array<int, kRegisterCount> output_int_;
  std::array<double, kRegisterCount> output_double_;
  // Claimant of each input register per bank; empty when free.
  std::array<std::array<std::string, kRegisterCount>, 3> owners_;
};

}  // namespace exiosim

#endif  // TOOLS_EXIO_SIM_REGISTER_FILE_H_
