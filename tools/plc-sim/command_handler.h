// Carries out one FINS command against the PLC's memory and builds the
// reply a CPU unit sends back.

#ifndef TOOLS_PLC_SIM_COMMAND_HANDLER_H_
#define TOOLS_PLC_SIM_COMMAND_HANDLER_H_

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "tools/plc-sim/plc_memory.h"

namespace plcsim {

// The CPU unit data read answer (without the end code): model and version
// padded with spaces to 20 bytes each, the system block and the area data
// of the family, no CPU bus units, one rack. `long_form` gives the 159-byte
// layout with two remote I/O bytes before the rack byte.
std::vector<uint8_t> cpuUnitData(const std::string& model, const std::string& version,
                                 Family family, bool long_form);

// What a CS/CJ CPU unit serves in one frame over Ethernet or Controller
// Link: elements of a multiple memory area read, and words of a memory area
// read (their 1,998 bytes fill a reply frame).
constexpr size_t kMaxReadElements = 167;
constexpr size_t kMaxReadWords = 999;

struct CommandResult {
  uint16_t end_code = 0;
  std::vector<uint8_t> data;  // what follows the end code
};

// Not thread-safe, like the memory it works on.
class CommandHandler {
 public:
  // `memory` must outlive the handler.
  CommandHandler(PlcMemory* memory, std::vector<uint8_t> cpu_unit_data);

  CommandHandler(const CommandHandler&) = delete;
  CommandHandler& operator=(const CommandHandler&) = delete;

  // REQUIRES: `frame` holds at least the 12 FINS header bytes.
  CommandResult execute(const uint8_t* frame, size_t size);

  // "memory area write" etc., for the verbose log.
  static const char* commandName(uint8_t mrc, uint8_t src);

  // From now on answers `end_code` (and no data) to every multiple memory
  // area read that asks for an element at (area code, FINS word), and to
  // every memory area read or write with that area code whose run covers
  // the word, as a CPU unit that cannot place that one element would. An
  // end code of 0 serves the element normally again.
  void refuseElement(uint8_t area_code, uint16_t fins_word, uint16_t end_code);

  // From now on a multiple memory area read of more than `max_elements`
  // elements is answered 0x1001, and a memory area read of more than
  // `max_words` words' worth of data (2 bytes a word) 0x110B. Limits above
  // kMaxReadElements and kMaxReadWords are lowered to them.
  void setReadLimits(size_t max_elements, size_t max_words);

 private:
  CommandResult memoryAreaRead(const uint8_t* body, size_t size);
  CommandResult memoryAreaWrite(const uint8_t* body, size_t size);
  CommandResult multipleMemoryAreaRead(const uint8_t* body, size_t size);
  CommandResult cpuUnitDataRead(const uint8_t* body, size_t size);

  // The end code refusing one of the words first..last of `area_code`, or
  // 0 when none is refused.
  uint16_t refusal(uint8_t area_code, uint32_t first, uint32_t last) const;

  PlcMemory* const memory_;
  const std::vector<uint8_t> cpu_unit_data_;
  // (area code, FINS word) -> end code, from refuseElement.
  std::map<std::pair<uint8_t, uint16_t>, uint16_t> refused_;
  size_t max_read_elements_ = kMaxReadElements;
  size_t max_read_words_ = kMaxReadWords;
};

// A whole FINS/TCP reply (16-byte header and frame) to `request`: source
// and destination swapped, ICF marked as a response, the given SID, the
// request's MRC and SRC, the end code, then `data`.
// REQUIRES: `request` holds at least the 12 FINS header bytes.
std::vector<uint8_t> buildReply(const uint8_t* request, uint8_t sid, uint16_t end_code,
                                const std::vector<uint8_t>& data);

}  // namespace plcsim

#endif  // TOOLS_PLC_SIM_COMMAND_HANDLER_H_
