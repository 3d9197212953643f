// fins-plc-sim: an OMRON PLC as seen from a FINS/TCP or FINS/UDP client.
//
// The simulator plays the PLC side of FINS over TCP and over UDP on a
// loopback or LAN address: the FINS/TCP node address handshake, the FINS
// frame exchange, the memory of a CS/CJ/CP family or CV family CPU unit, and
// the common memory and controller commands, so that the gateway and any
// third-party FINS client (a Node-RED flow, a Python or JavaScript library,
// an HMI) can talk to it:
//
//   MRC SRC  command                      answer
//   01  01   memory area read             end code + the items (word 2 bytes,
//                                         bit 1 byte, forced word 4 bytes)
//   01  02   memory area write            end code
//   01  03   memory area fill             end code
//   01  04   multiple memory area read    end code + each element asked for
//   01  05   memory area transfer         end code
//   05  01   CPU unit data read           end code + 158 (or 159) data bytes;
//                                         parameter 00: the first 92 (model
//                                         to area data), 01: the rest (CPU
//                                         bus units, remote I/O, racks)
//   06  01   controller status read       end code + 26 bytes: running,
//                                         MONITOR mode, no errors
//   07  01   clock read                   end code + 7 bytes, a fixed time:
//                                         2025-01-01 12:00:00, Wednesday
//   other    -                            end code 0x0401 (not supported)
//
// The command bodies and their checks are described in memory_commands.h.
//
// FINS/UDP (Options::udp, on by default) is served on the same port number
// as FINS/TCP. A datagram holds one bare FINS frame (no FINS/TCP header and
// no handshake); the reply goes back to the sender's address and port. The
// PLC's own node over UDP is Options::server_node, but as over TCP the
// destination node of a request is not checked and the reply simply swaps
// the request's destination and source fields. Datagrams longer than 2,012
// bytes are discarded unread.
//
// It is written from the PLC's side on purpose and shares no code with the
// FINS client library, so that each checks the other.
//
// ---------------------------------------------------------------------------
// FINS/TCP, as this PLC speaks it (all integers big-endian)
//
//   Every message starts with a 16-byte header: "FINS", length of what
//   follows the length field, command, error code.
//   - A connection opens with the node address request (command 0,
//     length 12, client node; node 0 asks the PLC to assign one). The PLC
//     answers with command 1, length 16, the client's node, its own node
//     (24 bytes). An explicit client node above 254 is refused with error
//     0x23, one equal to the PLC's own node with 0x24, one already in use
//     by another open connection with 0x21; when automatic assignment
//     runs past node 254 the answer is 0x25.
//   - After the handshake every FINS frame travels with command 2.
//   - A header that is not "FINS" (0x01), that announces more than
//     2,012 frame bytes (0x02), or that carries any other command (0x03)
//     is answered with an error notification (command 3, length 8, the
//     error code) and the connection is closed. A handshake refusal is
//     sent as 24 bytes (length 16, command 3, error code, client node,
//     server node) so that a client reading a fixed-size handshake answer
//     sees the error code rather than a short read.
//
// FINS frames
//
//   A reply swaps the destination (DNA DA1 DA2) and source (SNA SA1 SA2)
//   of the request, sets bit 6 of ICF (0x80 becomes 0xC0), keeps RSV 0 and
//   GCT 2, echoes SID, MRC and SRC, and adds the end code (MRES SRES)
//   before its data. The destination node of a request is not checked:
//   every frame that arrives on a connection is meant for this PLC. A
//   request whose ICF asks for no response (bit 0), or that is itself a
//   response (bit 6), gets no answer; a frame shorter than its 12 header
//   bytes is dropped.
//
// End codes (MRES SRES) this PLC answers with
//
//   0x0000  normal completion
//   0x0401  undefined command (unknown MRC/SRC)
//   0x1001  command too long (data beyond what the command takes, a
//           multiple memory area read of more than 167 elements)
//   0x1002  command too short (parameters missing)
//   0x1003  elements and data do not match (write count vs. data bytes,
//           multiple read body not a whole number of 4-byte elements)
//   0x1101  no such area (area code unknown to the family), or an area
//           code that cannot be used by this command (writing a
//           forced-status, completion flag, task flag or condition flag
//           code, or a bit area of the CV family; fill or transfer with
//           anything but a word area code)
//   0x1103  address out of range: start word outside the area, bit
//           number above 15, a non-zero bit for a word element or for a
//           one-bit flag (TIM/CNT completion flags, TK, TKS, conditions)
//   0x1104  address range exceeded: a read, write, fill or transfer run
//           that goes past the end of its area
//   0x110B  response too long: a memory area read of more than 999 words,
//           or of more than their 1,998 bytes in bits or forced words
//   0x110C  parameter error: a bit write whose data byte is not 0 or 1, a
//           read, write, fill or transfer of 0 items, an unknown CPU unit
//           data part
//   0x2101  read-only area (A0..A447)
//
// ---------------------------------------------------------------------------
// Memory model
//
//   The family follows the first two letters of the model text: "CV"
//   gives the CV family, anything else ("CS", "CJ", "CP" and unknown
//   models alike) the CS/CJ/CP family. All memory starts at zero except the
//   ON condition flag, which starts at 1.
//
//   CS/CJ/CP family (area codes: bit / forced bit / word / forced word)
//     CIO 0..6143   0x30 0x70 0xB0 0xF0  FINS word n
//     W   0..511    0x31 0x71 0xB1 0xF1  FINS word n
//     H   0..511    0x32 0x72 0xB2 0xF2  FINS word n
//     A   0..959    0x33  -   0xB3  -    FINS word n; A0..A447 read-only
//     TIM 0..4095   0x09 0x49 0x89  -    FINS word n; bit codes address
//     CNT 0..4095   0x09 0x49 0x89  -    the completion flags; CNT at
//                                        FINS word 0x8000 + n
//     DM  0..32767  0x02  -   0x82  -    FINS word n
//     E   0..32767   -    -   0x98  -    the current EM bank
//     EM0..EM12     0x20.. -  0xA0..  -  numbered EM banks (0..32767)
//     EM  0          -    -   0xBC  -    current EM bank number, FINS
//                                        word 0x0F00 (read only)
//     IR  0..15      -    -   0xDC  -    FINS word 0x0100 + n
//     DR  0..15      -    -   0xBC  -    FINS word 0x0200 + n
//     TK  0..31     0x06 (task flags), TKS 0..31 0x46 (task status),
//                   one flag per FINS word n, bit 0 only, read only
//     condition flags, area 0x07, bit 0 only, read only:
//       C1M C1S C02 C01 C22 at FINS words 0x0000..0x0004,
//       CER CCY CGT CEQ CLT NEG COF CUF CGE CNE CLE at 0x1000..0x100A,
//       OFF at 0x100E, ON at 0x100F
//
//   CV family
//     CIO 0..2555   0x00 0x40 0x80 0xC0  FINS word n (bit codes read only)
//     A   0..959    0x00  -   0x80  -    FINS word 0x0B00 + n; A0..A447
//                                        read-only
//     TIM 0..2047   0x01 0x41 0x81  -    FINS word n (bits: completion
//     CNT 0..2047   0x01 0x41 0x81  -    flags); CNT at 0x0800 + n
//     DM  0..32767   -    -   0x82  -
//     E   0..32767   -    -   0x98  -    the current EM bank
//     EM0..EM7       -    -   0x90..0x97 numbered EM banks
//     DR  0..2       -    -   0x9C  -    FINS word 0x0003 + n
//     EM  0          -    -   0x9C  -    current bank number, FINS word
//                                        0x0006 (read only)
//
//   Forced status: CIO, W and H words carry a forced-status word (bit b set
//   = bit b is forced); TIM and CNT completion flags carry a forced flag.
//   Forcing is reported only: a write still changes a forced bit.
//
// Multiple memory area read elements (each asked for as 4 bytes: code, word, bit)
//
//   word code           area code, data word (2 bytes)
//   bit code            area code, 1 byte: 0 or 1
//   forced bit code     area code, 1 byte: bit 0 = value, bit 1 = forced
//   forced word code    area code, 4 bytes: the forced-status word first,
//                       then the data word (each high byte first). A client
//                       that puts the first word into the second member of
//                       its pair and the second word into the first thus
//                       ends up with {first = data, second = forced status}.
//   The whole read fails with one end code (and no data) at the first bad
//   element.
//
// CPU unit data read (05 01), data bytes d[]:
//   d[0..19] model, d[20..39] version, both space padded; d[40] DIP
//   switches 0; d[41] largest EM bank number (12 on CS, 7 on CV);
//   d[42..79] 0; d[80..81] program area 0x0014 (K steps); d[82] IOM size
//   0x17; d[83..84] DM words 0x8000; d[85] timer/counter size 0x08;
//   d[86] EM banks without file memory (13 on CS, 8 on CV); d[87..88] 0;
//   d[89] memory card type 0 (none); d[90..91] memory card size 0;
//   d[92..123] sixteen CPU bus unit entries, all absent (0);
//   d[124..155] 0; d[156] SYSMAC bus masters 0; d[157] racks 1.
//   The long form (Options::long_cpu_unit_data) answers 159 data bytes the
//   way OMRON documents it for the CJ series: two bytes of remote I/O data
//   at d[156..157] (both 0), then the rack byte at d[158] (1).
// ---------------------------------------------------------------------------

#ifndef TOOLS_PLC_SIM_PLC_SIM_H_
#define TOOLS_PLC_SIM_PLC_SIM_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace plcsim {

struct Options {
  // TCP port to listen on; 0 picks an ephemeral port (read it with port()).
  uint16_t port = 9600;
  std::string bind_address = "127.0.0.1";
  // Also serve FINS/UDP on the same port number (the port picked for TCP
  // when `port` is 0). Start fails when that UDP port is taken.
  bool udp = true;
  // Node the PLC reports for itself in the handshake answer; also its node
  // over UDP.
  uint8_t server_node = 10;
  // Node handed to the first client that asks for node 0; each further
  // automatic assignment takes the next node (skipping server_node).
  uint8_t first_client_node = 20;
  // CPU model text, at most 20 characters are reported. Its first two
  // letters choose the memory layout ("CV" -> CV family, else CS family).
  std::string model = "CJ2M-CPU33";
  // CPU version text, at most 20 characters are reported.
  std::string version = "02.00";
  // Answer the CPU unit data read with 159 data bytes instead of 158.
  bool long_cpu_unit_data = false;
  // Print one line per FINS frame received to standard output.
  bool verbose = false;
  // How long each FINS command frame waits for its answer; see
  // setAnswerDelay().
  std::chrono::milliseconds answer_delay{0};
  // Keep every FINS frame received for receivedFrames(). A long-running
  // simulator (the command line tool) turns this off so that memory stays
  // flat.
  bool record_frames = true;
};

// A FINS/TCP and FINS/UDP PLC. Every client connection is served on its own
// thread, all datagrams on one more; all
// public operations are thread-safe and may be called while clients are
// being served. Not copyable.
class PlcSimulator {
 public:
  explicit PlcSimulator(Options options);
  ~PlcSimulator();  // Stops (see stop()).

  PlcSimulator(const PlcSimulator&) = delete;
  PlcSimulator& operator=(const PlcSimulator&) = delete;

  // Binds the listening socket and starts accepting clients. Returns false
  // (and stays stopped) when the address cannot be bound, e.g. the port is
  // taken. Calling start() on a running simulator returns true and does
  // nothing. A stopped simulator can be started again; its memory and
  // fault settings are kept.
  bool start();

  // Closes the listener and every client connection and joins all threads.
  // Safe to call more than once and on a simulator never started.
  void stop();

  // The port actually bound (useful with Options::port 0); 0 before the
  // first successful start().
  uint16_t port() const;

  // True when the memory layout is the CV family's.
  bool cvFamily() const;

  // ---- Memory, addressed as users write addresses ----------------------
  // `area` is an area name as in address texts: "CIO", "W", "H", "A",
  // "TIM", "CNT", "DM", "E" (current EM bank), "EM0".."EM12" (numbered
  // banks), "EM" (current bank number, index 0), "IR", "DR", "TK", "TKS",
  // or a condition flag name ("CER", "ON", "C1S", ...; index 0). `index`
  // is the word number as written (A448 is index 448). Names and indexes
  // that the family does not have throw std::out_of_range.
  //
  // For "TIM" and "CNT" the word operations address the present values
  // and the bit operations the completion flags; flags (completion, task,
  // condition) only have bit 0.
  //
  // Setting "EM" index 0 selects the current EM bank (std::out_of_range
  // when the bank does not exist).
  uint16_t word(const std::string& area, uint32_t index) const;
  void setWord(const std::string& area, uint32_t index, uint16_t value);
  bool bit(const std::string& area, uint32_t index, unsigned bit) const;
  void setBit(const std::string& area, uint32_t index, unsigned bit,
              bool value);
  // Forced-status word of a CIO/W/H word (bit b set = bit b forced), or of
  // a TIM/CNT completion flag (bit 0). Other areas throw std::out_of_range.
  uint16_t forced(const std::string& area, uint32_t index) const;
  void setForced(const std::string& area, uint32_t index,
                 uint16_t forced_mask);

  // ---- Answer time and frame limits --------------------------------------
  // Answer every FINS command frame, over TCP and UDP alike, only this long
  // after it arrived, as a CPU unit behind its Ethernet unit takes its time
  // (the node address handshake is answered at once). Each connection is
  // served one frame after another, so its frames queue up behind the one
  // waiting; over UDP a waiting reply does not hold up other datagrams.
  // The wait also applies to a raw reply, and a delayNextCommands() delay
  // adds to it (the two are summed). A change applies to answers already
  // waiting too: lowering the delay releases those that have waited long
  // enough. A stop() during the wait sends nothing. Starts as
  // Options::answer_delay; below 0 counts as 0, above a day as a day.
  void setAnswerDelay(std::chrono::milliseconds delay);

  // The most one read may ask for: elements of a multiple memory area read
  // (more are answered 0x1001) and words of a memory area read (more are
  // answered 0x110B; bits count two to a word, forced words two each).
  // A CPU unit reached over Ethernet or Controller Link serves 167 and
  // 999, the defaults; lower limits mimic a slower path (SYSMAC LINK takes
  // 89 elements). Higher ones are lowered to the defaults.
  void setReadLimits(size_t max_elements, size_t max_words);

  // ---- Fault injection ---------------------------------------------------
  // Handshake faults last until acceptHandshakes(); command faults apply to
  // the next `count` FINS frames received on any connection or by UDP.
  // Over UDP a drop or an ignore both mean no reply (a lost datagram), a
  // raw reply is sent as the datagram, and a delayed reply does not hold
  // up the datagrams after it (a late reply). When several
  // command faults are pending, one frame meets them in this order: drop,
  // ignore, raw reply, delay, failing end code, wrong SID (delay combines
  // with the ones after it; the first three replace the answer).

  // Answer every node address request with this FINS/TCP command (3, the
  // error notification, by default) and error code, as a 24-byte message,
  // then close the connection.
  void refuseHandshake(uint32_t fins_tcp_error_code, uint32_t command = 3);
  // Send only the first `bytes` bytes of the (otherwise correct) handshake
  // answer, then stay silent with the connection open. 0 sends nothing.
  void shortHandshake(size_t bytes);
  // Answer every node address request with exactly these bytes and keep
  // the connection open as if the handshake had succeeded.
  void replyHandshakeWithRaw(std::vector<uint8_t> bytes);
  // Back to answering node address requests normally.
  void acceptHandshakes();

  // Answer with this end code (MRES SRES, no data) instead of doing the
  // command.
  void failNextCommands(uint16_t end_code, int count);
  // Answer normally but with SID - 1 (mod 256), as a reply to an earlier
  // request would look.
  void wrongSidNextCommands(int count);
  // Wait this long before answering (an interrupted wait on stop() sends
  // nothing).
  void delayNextCommands(std::chrono::milliseconds delay, int count);
  // Never answer; later frames on the connection are served as usual.
  void ignoreNextCommands(int count);
  // Close the connection instead of answering.
  void dropNextCommands(int count);
  // Send these bytes (FINS/TCP header and frame, exactly as given) instead
  // of the real answer. Each call queues one reply for one frame.
  void replyNextWithRaw(std::vector<uint8_t> bytes);
  // Forget every pending command fault.
  void clearFaults();
  // From now on refuse the one element at (FINS area code, FINS word) with
  // `end_code`: every multiple memory area read that asks for it, and every
  // memory area read or write of that code whose run covers it, is
  // answered with the end code alone, as by a CPU unit that cannot place that
  // element (DM100 on the CS family is code 0x82, word 100). Lasts until called
  // again with end code 0; clearFaults() leaves it.
  void refuseElement(uint8_t area_code, uint16_t fins_word, uint16_t end_code);
  // Close every open client connection now; the listener stays open.
  void dropAllConnections();

  // ---- Observation -------------------------------------------------------
  // Every FINS frame received (without its 16-byte FINS/TCP header), in
  // order of arrival across all connections and UDP, including frames that were
  // ignored, dropped or failed. Empty when Options::record_frames is false.
  std::vector<std::vector<uint8_t>> receivedFrames() const;
  void clearReceivedFrames();
  // Waits until at least `count` frames have been received since the last
  // clearReceivedFrames() (counted even when not recorded); returns false
  // on timeout.
  bool waitForFrames(size_t count, std::chrono::milliseconds timeout) const;
  // Open client connections (accepted and not yet closed).
  size_t connectionCount() const;
  // Waits until connectionCount() == count; returns false on timeout.
  bool waitForConnectionCount(size_t count,
                              std::chrono::milliseconds timeout) const;
  // Client nodes handed out by successful handshakes, in order (explicit
  // and automatically assigned alike).
  std::vector<uint8_t> clientNodes() const;

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace plcsim

#endif  // TOOLS_PLC_SIM_PLC_SIM_H_
