// A small command language for playing the robot program's part by hand:
// set output registers, look at what the gateway wrote into the input
// registers and who holds them.
//
//   out bool <index> <0|1|true|false>   set an output register
//   out int <index> <value>
//   out double <index> <value>
//   multicall <on|off>                  offer system.multicall or refuse it
//   show                                every claimed or non-zero input
//                                       register, every non-zero output
//   help                                this list
//   quit                                stop the simulator

#ifndef TOOLS_EXIO_SIM_CONSOLE_H_
#define TOOLS_EXIO_SIM_CONSOLE_H_

#include <ostream>
#include <string>

#include "tools/exio-sim/exio_sim.h"

namespace exiosim {

// Runs one command line against `sim` and writes its reply to `out`.
// Returns false when the line asks to quit, true otherwise (also for an
// empty or a wrong line, which only earns a message).
bool runConsoleCommand(ExioSimulator& sim, const std::string& line,
                       std::ostream& out);

}  // namespace exiosim

#endif  // TOOLS_EXIO_SIM_CONSOLE_H_
