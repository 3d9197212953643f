#include "tools/exio-sim/register_file.h"

namespace exiosim {

RegisterFile::RegisterFile() {
  input_bool_.fill(false);
  input_int_.fill(0);
  input_double_.fill(0.0);
  output_bool_.fill(false);
  output_int_.fill(0);
  output_double_.fill(0.0);
}

bool RegisterFile::occupy(const std::string& owner, int bank, int index) {
  std::string& holder = owners_[bank][index];
  if (holder.empty()) {
    holder = owner;
    return true;
  }
  // Claiming again what one already holds is harmless, so a client that
  // lost track of its claims (e.g. after a restart) can simply claim again.
  return holder == owner;
}

int RegisterFile::release(const std::string& owner, int bank, int index) {
  std::string& holder = owners_[bank][index];
  if (holder.empty() || holder == owner) {
    holder.clear();
    return 0;
  }
  return -1;
}

bool RegisterFile::setInputBool(const std::string& owner, int index,
                                bool value) {
  if (!heldBy(owner, kBoolBank, index)) return false;
  input_bool_[index] = value;
  return true;
}

bool RegisterFile::setInputInt(const std::string& owner, int index, int value) {
  if (!heldBy(owner, kIntBank, index)) return false;
  input_int_[index] = value;
  return true;
}

bool RegisterFile::setInputDouble(const std::string& owner, int index,
                                  double value) {
  if (!heldBy(owner, kDoubleBank, index)) return false;
  input_double_[index] = value;
  return true;
}

bool RegisterFile::anyClaimed() const {
  for (const auto& bank : owners_) {
    for (const std::string& holder : bank) {
      if (!holder.empty()) return true;
    }
  }
  return false;
}

}  // namespace exiosim
