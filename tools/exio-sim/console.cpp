#include "tools/exio-sim/console.h"

#include <cmath>
#include <sstream>

namespace exiosim {

namespace {

const char kHelp[] =
    "commands:\n"
    "  out bool <index> <0|1|true|false>   set an output register\n"
    "  out int <index> <value>\n"
    "  out double <index> <value>\n"
    "  multicall <on|off>                  offer system.multicall or refuse "
    "it\n"
    "  show                                claimed or non-zero inputs, "
    "non-zero outputs\n"
    "  help                                this list\n"
    "  quit                                stop the simulator\n";

bool parseBool(const std::string& word, bool* value) {
  if (word == "1" || word == "true" || word == "on") {
    *value = true;
  } else if (word == "0" || word == "false" || word == "off") {
    *value = false;
  } else {
    return false;
  }
  return true;
}

// Reads exactly one more word into *value; anything left over is an error.
template <typename T>
bool lastWord(std::istringstream& in, T* value) {
  std::string rest;
  return static_cast<bool>(in >> *value) && !(in >> rest);
}

void setOutput(ExioSimulator& sim, std::istringstream& in, std::ostream& out) {
  std::string bank;
  int index = -1;
  if (!(in >> bank >> index) || index < 0 || index >= kRegisterCount) {
    out << "usage: out bool|int|double <index 0.." << kRegisterCount - 1
        << "> <value>\n";
    return;
  }
  if (bank == "bool") {
    std::string word;
    bool value = false;
    if (lastWord(in, &word) && parseBool(word, &value)) {
      sim.setOutputBool(index, value);
      out << "output bool " << index << " = " << (value ? "true" : "false")
          << "\n";
      return;
    }
  } else if (bank == "int") {
    int value = 0;
    if (lastWord(in, &value)) {
      sim.setOutputInt(index, value);
      out << "output int " << index << " = " << value << "\n";
      return;
    }
  } else if (bank == "double") {
    double value = 0.0;
    if (lastWord(in, &value)) {
      sim.setOutputDouble(index, value);
      out << "output double " << index << " = " << value << "\n";
      return;
    }
  }
  out << "usage: out bool|int|double <index 0.." << kRegisterCount - 1
      << "> <value>\n";
}

void setMulticall(ExioSimulator& sim, std::istringstream& in,
                  std::ostream& out) {
  std::string word;
  bool offer = false;
  if (!lastWord(in, &word) || !parseBool(word, &offer)) {
    out << "usage: multicall on|off\n";
    return;
  }
  sim.setOfferMulticall(offer);
  out << "system.multicall " << (offer ? "offered" : "refused") << "\n";
}

// A double register left out of the listing: -0.0 is a value of its own,
// which a register only holds when somebody wrote it.
bool isPlusZero(double v) { return v == 0.0 && !std::signbit(v); }

void show(const ExioSimulator& sim, std::ostream& out) {
  int shown = 0;
  auto input = [&](const char* bank, int b, int index, const auto& value,
                   bool zero) {
    const std::string holder = sim.owner(b, index);
    if (zero && holder.empty()) return;
    out << "input  " << bank << " " << index << " = " << value;
    if (!holder.empty()) out << "  (held by " << holder << ")";
    out << "\n";
    ++shown;
  };
  auto output = [&](const char* bank, int index, const auto& value, bool zero) {
    if (zero) return;
    out << "output " << bank << " " << index << " = " << value << "\n";
    ++shown;
  };
  for (int i = 0; i < kRegisterCount; ++i) {
    const bool v = sim.inputBool(i);
    input("bool", kBoolBank, i, v ? "true" : "false", !v);
  }
  for (int i = 0; i < kRegisterCount; ++i) {
    const int v = sim.inputInt(i);
    input("int", kIntBank, i, v, v == 0);
  }
  for (int i = 0; i < kRegisterCount; ++i) {
    const double v = sim.inputDouble(i);
    input("double", kDoubleBank, i, v, isPlusZero(v));
  }
  for (int i = 0; i < kRegisterCount; ++i) {
    const bool v = sim.outputBool(i);
    output("bool", i, v ? "true" : "false", !v);
  }
  for (int i = 0; i < kRegisterCount; ++i) {
    const int v = sim.outputInt(i);
    output("int", i, v, v == 0);
  }
  for (int i = 0; i < kRegisterCount; ++i) {
    const double v = sim.outputDouble(i);
    output("double", i, v, isPlusZero(v));
  }
  if (shown == 0) out << "all registers free and zero\n";
}

}  // namespace

bool runConsoleCommand(ExioSimulator& sim, const std::string& line,
                       std::ostream& out) {
  std::istringstream in(line);
  std::string command;
  if (!(in >> command)) return true;
  if (command == "quit" || command == "exit") return false;
  // Each reply is built whole and written at once, so that it does not
  // interleave with the call trace that server threads print meanwhile.
  std::ostringstream reply;
  if (command == "out") {
    setOutput(sim, in, reply);
  } else if (command == "multicall") {
    setMulticall(sim, in, reply);
  } else if (command == "show") {
    show(sim, reply);
  } else if (command == "help") {
    reply << kHelp;
  } else {
    reply << "unknown command \"" << command << "\"; try help\n";
  }
  out << reply.str() << std::flush;
  return true;
}

}  // namespace exiosim
