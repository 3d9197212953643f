// The memory of one CPU unit, reachable two ways: by FINS area code and FINS
// word address (what arrives in commands), and by area name and word number
// (what users write, for tests and the command line).

#ifndef TOOLS_PLC_SIM_PLC_MEMORY_H_
#define TOOLS_PLC_SIM_PLC_MEMORY_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace plcsim {

enum class Family { kCs, kCv };

// "CV..." models are CV family; every other model is treated as CS/CJ/CP.
Family familyOfModel(const std::string& model);

// FINS end codes (MRES << 8 | SRES) the memory and the commands answer with.
namespace endcode {
constexpr uint16_t kNormal = 0x0000;
constexpr uint16_t kUndefinedCommand = 0x0401;
constexpr uint16_t kCommandTooLong = 0x1001;
constexpr uint16_t kCommandTooShort = 0x1002;
constexpr uint16_t kElementDataMismatch = 0x1003;
constexpr uint16_t kNoSuchArea = 0x1101;
constexpr uint16_t kAddressOutOfRange = 0x1103;
constexpr uint16_t kAddressRangeExceeded = 0x1104;
constexpr uint16_t kResponseTooLong = 0x110B;
constexpr uint16_t kParameterError = 0x110C;
constexpr uint16_t kReadOnly = 0x2101;
}  // namespace endcode

// Not thread-safe: the simulator serialises access with its own mutex.
class PlcMemory {
 public:
  explicit PlcMemory(Family family);

  PlcMemory(const PlcMemory&) = delete;
  PlcMemory& operator=(const PlcMemory&) = delete;

  Family family() const { return family_; }

  // Appends the element at (area code, FINS word, bit) to `out` as a
  // multiple memory area read answers it: the area code, then 1 byte for
  // a bit (bit 1 = forced for forced-status codes), 2 for a word, or 4 for
  // a forced word (forced-status word, then data word). Returns an end
  // code; on failure `out` is left as it was.
  uint16_t readElement(uint8_t area_code, uint16_t fins_word, uint8_t bit,
                       std::vector<uint8_t>* out) const;

  // Appends `count` consecutive items starting at (area code, FINS word,
  // bit) to `out` as a memory area read answers them, without area codes:
  // 2 bytes per word, 4 per forced word, 1 per bit (bit 1 = forced for
  // forced-status codes). Words advance one word per item, bits one bit
  // (carrying into the next word), one-bit flags one flag. The start is
  // checked like readElement's (0x1101, 0x1103); a run that leaves its area
  // gives 0x1104, a count of 0 gives 0x110C. On failure `out` is left as it
  // was. On success `last_word`, when given, receives the FINS word of the
  // last item, so that a caller can tell which words the run covered.
  uint16_t readRun(uint8_t area_code, uint16_t fins_word, uint8_t bit,
                   uint16_t count, std::vector<uint8_t>* out,
                   uint32_t* last_word = nullptr) const;

  // True when the area code names plain words (no bits, no forced status)
  // somewhere in this family: what fill and transfer work on.
  bool isWordCode(uint8_t area_code) const;

  // Stores `count` items from `data` (2 bytes per word, 1 byte per bit)
  // starting at (area code, FINS word, bit). All or nothing: every check is
  // made before the first item is stored. Returns an end code.
  uint16_t write(uint8_t area_code, uint16_t fins_word, uint8_t bit, uint16_t count,
                 const uint8_t* data, size_t size);

  // User access by area name and word number; see plc_sim.h for the names.
  // Throw std::out_of_range for names, indexes or bits the family lacks.
  uint16_t word(const std::string& area, uint32_t index) const;
  void setWord(const std::string& area, uint32_t index, uint16_t value);
  bool bit(const std::string& area, uint32_t index, unsigned bit) const;
  void setBit(const std::string& area, uint32_t index, unsigned bit, bool value);
  uint16_t forced(const std::string& area, uint32_t index) const;
  void setForced(const std::string& area, uint32_t index, uint16_t mask);

 private:
  // One block of memory. A flag store keeps one flag per index in bit 0,
  // for memory that a real PLC addresses bit by bit only (completion flags,
  // task flags, condition flags).
  struct Store {
    std::string name;
    std::vector<uint16_t> data;
    std::vector<uint16_t> forced;  // empty when the memory cannot be forced
    bool flags = false;
  };

  enum class Element { kBit, kForcedBit, kWord, kForcedWord };

  // Store ids below 0 are resolved when used: the EM bank currently
  // selected, and the number of that bank.
  static constexpr int kCurrentBank = -1;
  static constexpr int kBankNumber = -2;
  static constexpr uint32_t kNotWritable = UINT32_MAX;

  // A FINS area code over a range of FINS word addresses, mapped onto a
  // store. `write_from` is the first store index a memory area write may
  // touch (the auxiliary area is read-only below A448).
  struct Region {
    uint8_t code;
    Element element;
    int store;
    uint32_t base;
    uint32_t count;
    uint32_t write_from;
  };

  // Where a user name and index land.
  struct Location {
    int store;
    size_t index;
  };

  int addStore(const std::string& name, size_t size, bool forcible, bool flags);
  void addRegion(uint8_t code, Element element, int store, uint32_t base, uint32_t count,
                 uint32_t write_from);
  void buildCs();
  void buildCv();

  // The region of `area_code` that holds `fins_word`, or null; `known`
  // tells whether the family has the code at all.
  const Region* regionAt(uint8_t area_code, uint16_t fins_word, bool* known) const;
  const Store& store(int id) const;
  Store& store(int id);
  uint16_t storeWord(int id, size_t index) const;
  Location locate(const std::string& area, uint32_t index, bool bit_access) const;

  Family family_;
  std::vector<Store> stores_;
  std::vector<Region> regions_;
  std::vector<int> banks_;  // store ids of EM0, EM1, ...
  size_t current_bank_ = 0;
};

}  // namespace plcsim

#endif  // TOOLS_PLC_SIM_PLC_MEMORY_H_
