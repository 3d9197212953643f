#include "tools/plc-sim/memory_commands.h"

#include <iterator>
#include <vector>

#include "tools/plc-sim/wire.h"

namespace plcsim {
namespace commands {

namespace {

constexpr size_t kReadBodySize = 6;
constexpr size_t kFillBodySize = 8;
constexpr size_t kTransferBodySize = 10;

constexpr size_t kStatusSize = 26;
constexpr uint8_t kStatusRunning = 0x01;
constexpr uint8_t kModeMonitor = 0x02;
constexpr size_t kErrorMessageAt = 10;
constexpr size_t kErrorMessageSize = 16;

// 2025-01-01 12:00:00, Wednesday, in BCD.
constexpr uint8_t kClock[] = {0x25, 0x01, 0x01, 0x12, 0x00, 0x00, 0x03};

// 0 when `size` is exactly what the command takes, else its end code.
uint16_t checkLength(size_t size, size_t wanted) {
  if (size < wanted) return endcode::kCommandTooShort;
  if (size > wanted) return endcode::kCommandTooLong;
  return endcode::kNormal;
}

CommandResult only(uint16_t end_code) { return CommandResult{end_code, {}}; }

}  // namespace

CommandResult memoryAreaRead(const PlcMemory& memory, const uint8_t* body,
                             size_t size, size_t max_words,
                             uint32_t* last_word) {
  if (const uint16_t bad = checkLength(size, kReadBodySize)) return only(bad);
  CommandResult result;
  result.end_code =
      memory.readRun(body[0], wire::get16(body + 1), body[3],
                     wire::get16(body + 4), &result.data, last_word);
  // The limit is on what the reply carries, so bits go two to a word and
  // forced words take two each.
  if (result.data.size() > 2 * max_words) {
    return only(endcode::kResponseTooLong);
  }
  return result;
}

CommandResult memoryAreaFill(PlcMemory* memory, const uint8_t* body, size_t size) {
  if (const uint16_t bad = checkLength(size, kFillBodySize)) return only(bad);
  if (!memory->isWordCode(body[0])) return only(endcode::kNoSuchArea);
  const uint16_t count = wire::get16(body + 4);
  std::vector<uint8_t> data;
  data.reserve(2u * count);
  for (size_t i = 0; i < count; ++i) data.insert(data.end(), body + 6, body + 8);
  return only(memory->write(body[0], wire::get16(body + 1), body[3], count, data.data(),
                            data.size()));
}

CommandResult memoryAreaTransfer(PlcMemory* memory, const uint8_t* body, size_t size) {
  if (const uint16_t bad = checkLength(size, kTransferBodySize)) return only(bad);
  const uint8_t* from = body;
  const uint8_t* to = body + 4;
  if (!memory->isWordCode(from[0]) || !memory->isWordCode(to[0])) {
    return only(endcode::kNoSuchArea);
  }
  const uint16_t count = wire::get16(body + 8);
  // Read the whole source before writing: overlapping runs move as a block.
  std::vector<uint8_t> words;
  const uint16_t read = memory->readRun(from[0], wire::get16(from + 1), from[3], count, &words);
  if (read != endcode::kNormal) return only(read);
  return only(memory->write(to[0], wire::get16(to + 1), to[3], count, words.data(),
                            words.size()));
}

CommandResult controllerStatusRead(const uint8_t* /*body*/, size_t size) {
  if (const uint16_t bad = checkLength(size, 0)) return only(bad);
  CommandResult result;
  result.data.assign(kStatusSize, 0);
  result.data[0] = kStatusRunning;
  result.data[1] = kModeMonitor;
  // Fatal (2 bytes), non-fatal (2), message flags (2) and FAL/FALS number
  // (2) stay 0; the error message is blank.
  for (size_t i = 0; i < kErrorMessageSize; ++i) result.data[kErrorMessageAt + i] = ' ';
  return result;
}

CommandResult clockRead(const uint8_t* /*body*/, size_t size) {
  if (const uint16_t bad = checkLength(size, 0)) return only(bad);
  return CommandResult{endcode::kNormal, std::vector<uint8_t>(std::begin(kClock), std::end(kClock))};
}

}  // namespace commands
}  // namespace plcsim
