// The FINS commands a PLC answers besides the gateway's three: the rest of
// the memory area commands and the controller status and clock reads. They
// are what third-party FINS clients (HMIs, Node-RED flows, Python or
// JavaScript libraries) send first.
//
// Command bodies (after the 12 FINS header bytes; integers big-endian):
//
//   01 01 memory area read      area, word (2), bit, count (2)           6 bytes
//   01 03 memory area fill      area, word (2), bit, count (2), data (2) 8 bytes
//   01 05 memory area transfer  area, word (2), bit, area, word (2),
//                               bit, count (2)                          10 bytes
//   06 01 controller status     nothing
//   07 01 clock read            nothing
//
// A body shorter than the command takes is answered 0x1002, a longer one
// 0x1001. Fill and transfer work on word area codes only (0x1101 for any
// other); a read whose answer holds more data than its word limit allows
// (2 bytes a word: 999 words fill one frame with 1,998 bytes) is answered
// 0x110B. Address checks are the memory's (see PlcMemory::readRun and
// PlcMemory::write). Fill and transfer are all or
// nothing: nothing is stored unless the whole command can be done.

#ifndef TOOLS_PLC_SIM_MEMORY_COMMANDS_H_
#define TOOLS_PLC_SIM_MEMORY_COMMANDS_H_

#include <cstddef>
#include <cstdint>

#include "tools/plc-sim/command_handler.h"
#include "tools/plc-sim/plc_memory.h"

namespace plcsim {
namespace commands {

// REQUIRES (all): `body` holds `size` bytes; the caller serialises access to
// `memory`. The memory area read answers at most 2 * `max_words` data
// bytes; when it succeeds, `last_word` receives the FINS word of its last
// item (see PlcMemory::readRun).
CommandResult memoryAreaRead(const PlcMemory& memory, const uint8_t* body,
                             size_t size, size_t max_words,
                             uint32_t* last_word);
CommandResult memoryAreaFill(PlcMemory* memory, const uint8_t* body, size_t size);
CommandResult memoryAreaTransfer(PlcMemory* memory, const uint8_t* body, size_t size);

// 26 bytes: status 01 (running), mode 02 (MONITOR), no fatal or non-fatal
// error, no message, FAL/FALS number 0, an error message of 16 spaces.
CommandResult controllerStatusRead(const uint8_t* body, size_t size);

// 7 bytes, BCD: year (2 digits), month, day, hour, minute, second, then the
// day of the week (0 = Sunday). The clock stands still at
// 2025-01-01 12:00:00, a Wednesday, so answers can be compared byte for byte.
CommandResult clockRead(const uint8_t* body, size_t size);

}  // namespace commands
}  // namespace plcsim

#endif  // TOOLS_PLC_SIM_MEMORY_COMMANDS_H_
