// Byte-level helpers for FINS/TCP messages. FINS is big-endian throughout.

#ifndef TOOLS_PLC_SIM_WIRE_H_
#define TOOLS_PLC_SIM_WIRE_H_

#include <cstddef>
#include <cstdint>
#include <vector>

namespace plcsim {
namespace wire {

constexpr size_t kTcpHeaderSize = 16;      // "FINS", length, command, error
constexpr size_t kHandshakeAnswerSize = 24;  // header + client node + server node
constexpr size_t kFinsHeaderSize = 12;     // ICF RSV GCT DNA DA1 DA2 SNA SA1 SA2 SID MRC SRC
constexpr size_t kMaxFrameSize = 2012;     // header + 2,000 bytes of parameters

// FINS/TCP commands.
constexpr uint32_t kNodeAddressRequest = 0;
constexpr uint32_t kNodeAddressAnswer = 1;
constexpr uint32_t kFrameSend = 2;
constexpr uint32_t kErrorNotification = 3;

// FINS/TCP error codes.
constexpr uint32_t kErrorNotFins = 0x01;
constexpr uint32_t kErrorLengthTooLong = 0x02;
constexpr uint32_t kErrorCommandNotSupported = 0x03;
constexpr uint32_t kErrorNodeAlreadyConnected = 0x21;
constexpr uint32_t kErrorClientNodeOutOfRange = 0x23;
constexpr uint32_t kErrorSameNodeAddress = 0x24;
constexpr uint32_t kErrorNoNodeLeft = 0x25;

// Frame field offsets.
constexpr size_t kIcf = 0;
constexpr size_t kRsv = 1;
constexpr size_t kGct = 2;
constexpr size_t kDna = 3;
constexpr size_t kSna = 6;
constexpr size_t kSid = 9;
constexpr size_t kMrc = 10;
constexpr size_t kSrc = 11;

constexpr uint8_t kIcfResponse = 0x40;
constexpr uint8_t kIcfNoResponse = 0x01;

inline uint16_t get16(const uint8_t* p) {
  return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

inline uint32_t get32(const uint8_t* p) {
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | p[3];
}

inline void put16(std::vector<uint8_t>* out, uint16_t v) {
  out->push_back(static_cast<uint8_t>(v >> 8));
  out->push_back(static_cast<uint8_t>(v));
}

inline void put32(std::vector<uint8_t>* out, uint32_t v) {
  put16(out, static_cast<uint16_t>(v >> 16));
  put16(out, static_cast<uint16_t>(v));
}

inline bool isFinsMagic(const uint8_t* p) {
  return p[0] == 'F' && p[1] == 'I' && p[2] == 'N' && p[3] == 'S';
}

// Starts a FINS/TCP message: the 16-byte header announcing `payload` bytes
// after it.
inline std::vector<uint8_t> tcpHeader(uint32_t command, uint32_t error, size_t payload) {
  std::vector<uint8_t> out = {'F', 'I', 'N', 'S'};
  put32(&out, static_cast<uint32_t>(8 + payload));
  put32(&out, command);
  put32(&out, error);
  return out;
}

}  // namespace wire
}  // namespace plcsim

#endif  // TOOLS_PLC_SIM_WIRE_H_
