#include "tools/plc-sim/command_handler.h"

#include <algorithm>
#include <utility>

#include "tools/plc-sim/memory_commands.h"
#include "tools/plc-sim/wire.h"

namespace plcsim {

namespace {

constexpr size_t kCpuUnitDataSize = 158;
constexpr size_t kCpuUnitDataLongSize = 159;
constexpr size_t kTextField = 20;
// Parameter 00 of the CPU unit data read asks for the bytes before this
// offset (model, version, system block, area data), 01 for the rest (CPU
// bus units, remote I/O, racks).
constexpr size_t kCpuUnitDataSplit = 92;
constexpr uint8_t kCpuUnitPartFirst = 0x00;
constexpr uint8_t kCpuUnitPartRest = 0x01;

void putText(std::vector<uint8_t>* out, size_t at, const std::string& text) {
  for (size_t i = 0; i < kTextField; ++i) {
    (*out)[at + i] = i < text.size() ? static_cast<uint8_t>(text[i]) : ' ';
  }
}

}  // namespace

std::vector<uint8_t> cpuUnitData(const std::string& model, const std::string& version,
                                 Family family, bool long_form) {
  std::vector<uint8_t> d(long_form ? kCpuUnitDataLongSize : kCpuUnitDataSize, 0);
  const bool cs = family == Family::kCs;
  putText(&d, 0, model);
  putText(&d, 20, version);
  // System block: DIP switches all off, then the largest EM bank number.
  d[41] = cs ? 12 : 7;
  // Area data.
  d[80] = 0x00;  // program area, K steps
  d[81] = 0x14;
  d[82] = 0x17;  // IOM size
  d[83] = 0x80;  // DM words
  d[84] = 0x00;
  d[85] = 0x08;  // timer/counter size
  d[86] = cs ? 13 : 8;  // EM banks without file memory
  // d[89] memory card type and d[90..91] its size stay 0: no card.
  // d[92..123]: sixteen CPU bus unit entries, none present.
  // The short form ends with the SYSMAC bus master count and the racks;
  // the long form carries two remote I/O bytes before the rack byte.
  d.back() = 1;
  return d;
}

CommandHandler::CommandHandler(PlcMemory* memory, std::vector<uint8_t> cpu_unit_data)
    : memory_(memory), cpu_unit_data_(std::move(cpu_unit_data)) {}

const char* CommandHandler::commandName(uint8_t mrc, uint8_t src) {
  if (mrc == 0x01 && src == 0x01) return "memory area read";
  if (mrc == 0x01 && src == 0x02) return "memory area write";
  if (mrc == 0x01 && src == 0x03) return "memory area fill";
  if (mrc == 0x01 && src == 0x04) return "multiple memory area read";
  if (mrc == 0x01 && src == 0x05) return "memory area transfer";
  if (mrc == 0x05 && src == 0x01) return "CPU unit data read";
  if (mrc == 0x06 && src == 0x01) return "controller status read";
  if (mrc == 0x07 && src == 0x01) return "clock read";
  return "unsupported command";
}

CommandResult CommandHandler::execute(const uint8_t* frame, size_t size) {
  const uint8_t* body = frame + wire::kFinsHeaderSize;
  const size_t body_size = size - wire::kFinsHeaderSize;
  const uint8_t mrc = frame[wire::kMrc];
  const uint8_t src = frame[wire::kSrc];
  if (mrc == 0x01 && src == 0x01) return memoryAreaRead(body, body_size);
  if (mrc == 0x01 && src == 0x02) return memoryAreaWrite(body, body_size);
  if (mrc == 0x01 && src == 0x03) return commands::memoryAreaFill(memory_, body, body_size);
  if (mrc == 0x01 && src == 0x04) return multipleMemoryAreaRead(body, body_size);
  if (mrc == 0x01 && src == 0x05) return commands::memoryAreaTransfer(memory_, body, body_size);
  if (mrc == 0x05 && src == 0x01) return cpuUnitDataRead(body, body_size);
  if (mrc == 0x06 && src == 0x01) return commands::controllerStatusRead(body, body_size);
  if (mrc == 0x07 && src == 0x01) return commands::clockRead(body, body_size);
  return CommandResult{endcode::kUndefinedCommand, {}};
}

// The run is checked against the refused elements once it is known to be
// readable, so that a refusal never hides the read's own end codes.
CommandResult CommandHandler::memoryAreaRead(const uint8_t* body, size_t size) {
  uint32_t last = 0;
  CommandResult result =
      commands::memoryAreaRead(*memory_, body, size, max_read_words_, &last);
  if (result.end_code != endcode::kNormal || refused_.empty()) return result;
  const uint16_t refused = refusal(body[0], wire::get16(body + 1), last);
  if (refused != endcode::kNormal) return CommandResult{refused, {}};
  return result;
}

// Body: area code, word address (2), bit, item count (2), then the items.
CommandResult CommandHandler::memoryAreaWrite(const uint8_t* body, size_t size) {
  if (size < 6) return CommandResult{endcode::kCommandTooShort, {}};
  if (!refused_.empty()) {
    const uint32_t start = wire::get16(body + 1);
    const uint32_t items = wire::get16(body + 4);
    // One data byte per item is a bit write, whose run may cross words.
    const bool bits = size - 6 == items;
    const uint32_t last =
        items == 0 ? start : bits ? start + (body[3] + items - 1) / 16 : start + items - 1;
    const uint16_t refused = refusal(body[0], start, last);
    if (refused != endcode::kNormal) return CommandResult{refused, {}};
  }
  const uint16_t code = memory_->write(body[0], wire::get16(body + 1), body[3],
                                       wire::get16(body + 4), body + 6, size - 6);
  return CommandResult{code, {}};
}

// Body: 4-byte elements (area code, word address, bit). The
// answer repeats each area code before the element's data; one bad element
// fails the whole read.
CommandResult CommandHandler::multipleMemoryAreaRead(const uint8_t* body, size_t size) {
  if (size == 0) return CommandResult{endcode::kCommandTooShort, {}};
  if (size % 4 != 0) return CommandResult{endcode::kElementDataMismatch, {}};
  if (size / 4 > max_read_elements_) {
    return CommandResult{endcode::kCommandTooLong, {}};
  }
  CommandResult result;
  for (size_t at = 0; at < size; at += 4) {
    const uint16_t word = wire::get16(body + at + 1);
    const uint16_t refused = refusal(body[at], word, word);
    if (refused != endcode::kNormal) return CommandResult{refused, {}};
    const uint16_t code =
        memory_->readElement(body[at], wire::get16(body + at + 1), body[at + 3], &result.data);
    if (code != endcode::kNormal) return CommandResult{code, {}};
  }
  return result;
}

// Body: nothing (all data), or one byte choosing a part of it.
CommandResult CommandHandler::cpuUnitDataRead(const uint8_t* body, size_t size) {
  if (size > 1) return CommandResult{endcode::kCommandTooLong, {}};
  if (size == 0) return CommandResult{endcode::kNormal, cpu_unit_data_};
  const auto split = cpu_unit_data_.begin() + kCpuUnitDataSplit;
  if (body[0] == kCpuUnitPartFirst) {
    return CommandResult{endcode::kNormal, std::vector<uint8_t>(cpu_unit_data_.begin(), split)};
  }
  if (body[0] == kCpuUnitPartRest) {
    return CommandResult{endcode::kNormal, std::vector<uint8_t>(split, cpu_unit_data_.end())};
  }
  return CommandResult{endcode::kParameterError, {}};
}

void CommandHandler::refuseElement(uint8_t area_code, uint16_t fins_word, uint16_t end_code) {
  if (end_code == endcode::kNormal) {
    refused_.erase({area_code, fins_word});
  } else {
    refused_[{area_code, fins_word}] = end_code;
  }
}

void CommandHandler::setReadLimits(size_t max_elements, size_t max_words) {
  max_read_elements_ = std::min(max_elements, kMaxReadElements);
  max_read_words_ = std::min(max_words, kMaxReadWords);
}

uint16_t CommandHandler::refusal(uint8_t area_code, uint32_t first, uint32_t last) const {
  for (auto it = refused_.lower_bound({area_code, 0});
       it != refused_.end() && it->first.first == area_code; ++it) {
    if (it->first.second >= first && it->first.second <= last) return it->second;
  }
  return endcode::kNormal;
}

std::vector<uint8_t> buildReply(const uint8_t* request, uint8_t sid, uint16_t end_code,
                                const std::vector<uint8_t>& data) {
  const size_t frame_size = wire::kFinsHeaderSize + 2 + data.size();
  std::vector<uint8_t> out = wire::tcpHeader(wire::kFrameSend, 0, frame_size);
  out.reserve(wire::kTcpHeaderSize + frame_size);
  out.push_back(static_cast<uint8_t>(request[wire::kIcf] | wire::kIcfResponse));
  out.push_back(0x00);  // RSV
  out.push_back(0x02);  // GCT
  // The request's source becomes the destination and vice versa.
  out.insert(out.end(), request + wire::kSna, request + wire::kSna + 3);
  out.insert(out.end(), request + wire::kDna, request + wire::kDna + 3);
  out.push_back(sid);
  out.push_back(request[wire::kMrc]);
  out.push_back(request[wire::kSrc]);
  wire::put16(&out, end_code);
  out.insert(out.end(), data.begin(), data.end());
  return out;
}

}  // namespace plcsim
