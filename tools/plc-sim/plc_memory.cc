#include "tools/plc-sim/plc_memory.h"

#include <stdexcept>

namespace plcsim {

namespace {

// Condition flags and clock pulses of the CS/CJ/CP family, named as users
// write them. They live in area 0x07: the clock pulses at FINS words
// 0x0000.., the condition flags at 0x1000...
struct NamedFlag {
  const char* name;
  bool clock_pulse;
  size_t index;
};

constexpr NamedFlag kCsFlags[] = {
    {"C1M", true, 0}, {"C1S", true, 1}, {"C02", true, 2}, {"C01", true, 3},
    {"C22", true, 4}, {"CER", false, 0}, {"CCY", false, 1}, {"CGT", false, 2},
    {"CEQ", false, 3}, {"CLT", false, 4}, {"NEG", false, 5}, {"COF", false, 6},
    {"CUF", false, 7}, {"CGE", false, 8}, {"CNE", false, 9}, {"CLE", false, 10},
    {"OFF", false, 14}, {"ON", false, 15},
};

constexpr char kClockPulses[] = "clock pulses";
constexpr char kConditionFlags[] = "condition flags";
constexpr char kCompletion[] = " completion flags";
constexpr uint32_t kBankWords = 32768;

[[noreturn]] void noSuchMemory(const std::string& area, uint32_t index) {
  throw std::out_of_range("no PLC memory " + area + " " + std::to_string(index));
}

}  // namespace

Family familyOfModel(const std::string& model) {
  return model.compare(0, 2, "CV") == 0 ? Family::kCv : Family::kCs;
}

PlcMemory::PlcMemory(Family family) : family_(family) {
  if (family == Family::kCs) {
    buildCs();
  } else {
    buildCv();
  }
}

int PlcMemory::addStore(const std::string& name, size_t size, bool forcible, bool flags) {
  Store s;
  s.name = name;
  s.data.assign(size, 0);
  if (forcible) s.forced.assign(size, 0);
  s.flags = flags;
  stores_.push_back(std::move(s));
  return static_cast<int>(stores_.size() - 1);
}

void PlcMemory::addRegion(uint8_t code, Element element, int store, uint32_t base,
                          uint32_t count, uint32_t write_from) {
  regions_.push_back(Region{code, element, store, base, count, write_from});
}

// The CS/CJ/CP family: one area code per element kind and area, the FINS
// word address equal to the word number except for counters (0x8000 up),
// the index registers and the data registers.
void PlcMemory::buildCs() {
  const uint8_t kForcible[][4] = {
      // bit, forced bit, word, forced word
      {0x30, 0x70, 0xB0, 0xF0},
      {0x31, 0x71, 0xB1, 0xF1},
      {0x32, 0x72, 0xB2, 0xF2},
  };
  const char* kForcibleNames[] = {"CIO", "W", "H"};
  const uint32_t kForcibleSizes[] = {6144, 512, 512};
  for (int i = 0; i < 3; ++i) {
    const uint32_t n = kForcibleSizes[i];
    const int s = addStore(kForcibleNames[i], n, true, false);
    addRegion(kForcible[i][0], Element::kBit, s, 0, n, 0);
    addRegion(kForcible[i][1], Element::kForcedBit, s, 0, n, kNotWritable);
    addRegion(kForcible[i][2], Element::kWord, s, 0, n, 0);
    addRegion(kForcible[i][3], Element::kForcedWord, s, 0, n, kNotWritable);
  }

  const int a = addStore("A", 960, false, false);
  addRegion(0x33, Element::kBit, a, 0, 960, 448);
  addRegion(0xB3, Element::kWord, a, 0, 960, 448);

  // Timers and counters share area codes; counters sit 0x8000 words up.
  const int tim = addStore("TIM", 4096, false, false);
  const int cnt = addStore("CNT", 4096, false, false);
  const int timf = addStore(std::string("TIM") + kCompletion, 4096, true, true);
  const int cntf = addStore(std::string("CNT") + kCompletion, 4096, true, true);
  addRegion(0x09, Element::kBit, timf, 0x0000, 4096, kNotWritable);
  addRegion(0x09, Element::kBit, cntf, 0x8000, 4096, kNotWritable);
  addRegion(0x49, Element::kForcedBit, timf, 0x0000, 4096, kNotWritable);
  addRegion(0x49, Element::kForcedBit, cntf, 0x8000, 4096, kNotWritable);
  addRegion(0x89, Element::kWord, tim, 0x0000, 4096, 0);
  addRegion(0x89, Element::kWord, cnt, 0x8000, 4096, 0);

  const int dm = addStore("DM", 32768, false, false);
  addRegion(0x02, Element::kBit, dm, 0, 32768, 0);
  addRegion(0x82, Element::kWord, dm, 0, 32768, 0);

  for (uint8_t b = 0; b <= 12; ++b) {
    const int s = addStore("EM" + std::to_string(b), kBankWords, false, false);
    banks_.push_back(s);
    addRegion(static_cast<uint8_t>(0x20 + b), Element::kBit, s, 0, kBankWords, 0);
    addRegion(static_cast<uint8_t>(0xA0 + b), Element::kWord, s, 0, kBankWords, 0);
  }
  addRegion(0x98, Element::kWord, kCurrentBank, 0, kBankWords, 0);
  addRegion(0xBC, Element::kWord, kBankNumber, 0x0F00, 1, kNotWritable);

  const int ir = addStore("IR", 16, false, false);
  const int dr = addStore("DR", 16, false, false);
  addRegion(0xDC, Element::kWord, ir, 0x0100, 16, 0);
  addRegion(0xBC, Element::kWord, dr, 0x0200, 16, 0);

  const int tk = addStore("TK", 32, false, true);
  const int tks = addStore("TKS", 32, false, true);
  addRegion(0x06, Element::kBit, tk, 0, 32, kNotWritable);
  addRegion(0x46, Element::kBit, tks, 0, 32, kNotWritable);

  const int clock = addStore(kClockPulses, 5, false, true);
  const int cond = addStore(kConditionFlags, 16, false, true);
  addRegion(0x07, Element::kBit, clock, 0x0000, 5, kNotWritable);
  addRegion(0x07, Element::kBit, cond, 0x1000, 16, kNotWritable);
  stores_[cond].data[15] = 1;  // the Always ON flag
}

// The CV family packs CIO and the auxiliary area into one area code (A from
// FINS word 0x0B00), and its bit areas cannot be written.
void PlcMemory::buildCv() {
  const int cio = addStore("CIO", 2556, true, false);
  const int a = addStore("A", 960, false, false);
  addRegion(0x00, Element::kBit, cio, 0x0000, 2556, kNotWritable);
  addRegion(0x00, Element::kBit, a, 0x0B00, 960, kNotWritable);
  addRegion(0x40, Element::kForcedBit, cio, 0x0000, 2556, kNotWritable);
  addRegion(0x80, Element::kWord, cio, 0x0000, 2556, 0);
  addRegion(0x80, Element::kWord, a, 0x0B00, 960, 448);
  addRegion(0xC0, Element::kForcedWord, cio, 0x0000, 2556, kNotWritable);

  const int tim = addStore("TIM", 2048, false, false);
  const int cnt = addStore("CNT", 2048, false, false);
  const int timf = addStore(std::string("TIM") + kCompletion, 2048, true, true);
  const int cntf = addStore(std::string("CNT") + kCompletion, 2048, true, true);
  addRegion(0x01, Element::kBit, timf, 0x0000, 2048, kNotWritable);
  addRegion(0x01, Element::kBit, cntf, 0x0800, 2048, kNotWritable);
  addRegion(0x41, Element::kForcedBit, timf, 0x0000, 2048, kNotWritable);
  addRegion(0x41, Element::kForcedBit, cntf, 0x0800, 2048, kNotWritable);
  addRegion(0x81, Element::kWord, tim, 0x0000, 2048, 0);
  addRegion(0x81, Element::kWord, cnt, 0x0800, 2048, 0);

  const int dm = addStore("DM", 32768, false, false);
  addRegion(0x82, Element::kWord, dm, 0, 32768, 0);

  for (uint8_t b = 0; b <= 7; ++b) {
    const int s = addStore("EM" + std::to_string(b), kBankWords, false, false);
    banks_.push_back(s);
    addRegion(static_cast<uint8_t>(0x90 + b), Element::kWord, s, 0, kBankWords, 0);
  }
  addRegion(0x98, Element::kWord, kCurrentBank, 0, kBankWords, 0);

  const int dr = addStore("DR", 3, false, false);
  addRegion(0x9C, Element::kWord, dr, 0x0003, 3, 0);
  addRegion(0x9C, Element::kWord, kBankNumber, 0x0006, 1, kNotWritable);
}

const PlcMemory::Store& PlcMemory::store(int id) const {
  return stores_[id == kCurrentBank ? banks_[current_bank_] : static_cast<size_t>(id)];
}

PlcMemory::Store& PlcMemory::store(int id) {
  return stores_[id == kCurrentBank ? banks_[current_bank_] : static_cast<size_t>(id)];
}

uint16_t PlcMemory::storeWord(int id, size_t index) const {
  if (id == kBankNumber) return static_cast<uint16_t>(current_bank_);
  return store(id).data[index];
}

uint16_t PlcMemory::readElement(uint8_t area_code, uint16_t fins_word, uint8_t bit,
                                std::vector<uint8_t>* out) const {
  bool known = false;
  const Region* region = nullptr;
  for (const Region& r : regions_) {
    if (r.code != area_code) continue;
    known = true;
    if (fins_word >= r.base && fins_word - r.base < r.count) {
      region = &r;
      break;
    }
  }
  if (!known) return endcode::kNoSuchArea;
  if (region == nullptr) return endcode::kAddressOutOfRange;

  const size_t index = fins_word - region->base;
  const uint16_t value = storeWord(region->store, index);
  switch (region->element) {
    case Element::kWord:
    case Element::kForcedWord:
      if (bit != 0) return endcode::kAddressOutOfRange;
      out->push_back(area_code);
      if (region->element == Element::kForcedWord) {
        // The forced-status word comes before the data it describes.
        out->push_back(static_cast<uint8_t>(store(region->store).forced[index] >> 8));
        out->push_back(static_cast<uint8_t>(store(region->store).forced[index]));
      }
      out->push_back(static_cast<uint8_t>(value >> 8));
      out->push_back(static_cast<uint8_t>(value));
      return endcode::kNormal;
    case Element::kBit:
    case Element::kForcedBit: {
      if (bit > 15) return endcode::kAddressOutOfRange;
      if (region->store >= 0 && store(region->store).flags && bit != 0) {
        return endcode::kAddressOutOfRange;
      }
      uint8_t byte = static_cast<uint8_t>((value >> bit) & 1);
      if (region->element == Element::kForcedBit) {
        byte |= static_cast<uint8_t>(((store(region->store).forced[index] >> bit) & 1) << 1);
      }
      out->push_back(area_code);
      out->push_back(byte);
      return endcode::kNormal;
    }
  }
  return endcode::kNoSuchArea;
}

const PlcMemory::Region* PlcMemory::regionAt(uint8_t area_code, uint16_t fins_word,
                                             bool* known) const {
  *known = false;
  for (const Region& r : regions_) {
    if (r.code != area_code) continue;
    *known = true;
    if (fins_word >= r.base && fins_word - r.base < r.count) return &r;
  }
  return nullptr;
}

bool PlcMemory::isWordCode(uint8_t area_code) const {
  for (const Region& r : regions_) {
    if (r.code == area_code && r.element == Element::kWord) return true;
  }
  return false;
}

uint16_t PlcMemory::readRun(uint8_t area_code, uint16_t fins_word, uint8_t bit,
                            uint16_t count, std::vector<uint8_t>* out,
                            uint32_t* last_word) const {
  bool known = false;
  const Region* region = regionAt(area_code, fins_word, &known);
  if (!known) return endcode::kNoSuchArea;
  if (region == nullptr) return endcode::kAddressOutOfRange;
  const bool words = region->element == Element::kWord || region->element == Element::kForcedWord;
  const bool flags = region->store >= 0 && store(region->store).flags;
  if (words ? bit != 0 : (bit > 15 || (flags && bit != 0))) return endcode::kAddressOutOfRange;
  if (count == 0) return endcode::kParameterError;

  // A run stays inside the region it starts in, as a real area ends where
  // the next one's addresses begin.
  const size_t index = fins_word - region->base;
  const bool by_word = words || flags;
  const size_t last = by_word ? index + count - 1 : (index * 16 + bit + count - 1) / 16;
  if (last >= region->count) return endcode::kAddressRangeExceeded;

  const size_t start = out->size();
  std::vector<uint8_t> element;
  for (size_t i = 0; i < count; ++i) {
    const size_t p = index * 16 + bit + i;
    const size_t word = by_word ? index + i : p / 16;
    const uint8_t b = by_word ? bit : static_cast<uint8_t>(p % 16);
    element.clear();
    const uint16_t code =
        readElement(area_code, static_cast<uint16_t>(region->base + word), b, &element);
    if (code != endcode::kNormal) {
      out->resize(start);
      return code;
    }
    out->insert(out->end(), element.begin() + 1, element.end());  // without the area code
  }
  if (last_word != nullptr) {
    *last_word = static_cast<uint32_t>(region->base + last);
  }
  return endcode::kNormal;
}

uint16_t PlcMemory::write(uint8_t area_code, uint16_t fins_word, uint8_t bit, uint16_t count,
                          const uint8_t* data, size_t size) {
  // An area code that names no writable memory at all (forced status,
  // flags, CV bit areas) is refused as an area error; a writable code at a
  // read-only address as a read-only error.
  bool known = false;
  bool writable_code = false;
  const Region* region = nullptr;
  for (const Region& r : regions_) {
    if (r.code != area_code) continue;
    known = true;
    if ((r.element == Element::kWord || r.element == Element::kBit) &&
        r.write_from != kNotWritable) {
      writable_code = true;
    }
    if (region == nullptr && fins_word >= r.base && fins_word - r.base < r.count) {
      region = &r;
    }
  }
  if (!known || !writable_code) return endcode::kNoSuchArea;
  if (region == nullptr) return endcode::kAddressOutOfRange;
  if (region->write_from == kNotWritable) return endcode::kReadOnly;
  if (count == 0) return endcode::kParameterError;

  const size_t index = fins_word - region->base;
  if (region->element == Element::kWord) {
    if (bit != 0) return endcode::kAddressOutOfRange;
    if (size != 2u * count) return endcode::kElementDataMismatch;
    if (index < region->write_from) return endcode::kReadOnly;
    if (index + count > region->count) return endcode::kAddressRangeExceeded;
    Store& s = store(region->store);
    for (size_t i = 0; i < count; ++i) {
      s.data[index + i] = static_cast<uint16_t>((data[2 * i] << 8) | data[2 * i + 1]);
    }
    return endcode::kNormal;
  }

  if (bit > 15) return endcode::kAddressOutOfRange;
  if (size != count) return endcode::kElementDataMismatch;
  if (index < region->write_from) return endcode::kReadOnly;
  const size_t first = index * 16 + bit;
  if ((first + count - 1) / 16 >= region->count) return endcode::kAddressRangeExceeded;
  for (size_t i = 0; i < count; ++i) {
    if (data[i] > 1) return endcode::kParameterError;
  }
  Store& s = store(region->store);
  for (size_t i = 0; i < count; ++i) {
    const size_t p = first + i;
    const uint16_t mask = static_cast<uint16_t>(1u << (p % 16));
    if (data[i]) {
      s.data[p / 16] |= mask;
    } else {
      s.data[p / 16] &= static_cast<uint16_t>(~mask);
    }
  }
  return endcode::kNormal;
}

PlcMemory::Location PlcMemory::locate(const std::string& area, uint32_t index,
                                      bool bit_access) const {
  if (area == "E") {
    if (index >= kBankWords) noSuchMemory(area, index);
    return {kCurrentBank, index};
  }
  if (area == "EM") {
    if (index != 0) noSuchMemory(area, index);
    return {kBankNumber, 0};
  }
  std::string name = area;
  size_t fixed_index = SIZE_MAX;
  if (family_ == Family::kCs) {
    for (const NamedFlag& f : kCsFlags) {
      if (area == f.name) {
        if (index != 0) noSuchMemory(area, index);
        name = f.clock_pulse ? kClockPulses : kConditionFlags;
        fixed_index = f.index;
      }
    }
  }
  if (bit_access && (area == "TIM" || area == "CNT")) name = area + kCompletion;
  for (size_t id = 0; id < stores_.size(); ++id) {
    if (stores_[id].name != name) continue;
    const size_t i = fixed_index != SIZE_MAX ? fixed_index : index;
    if (i >= stores_[id].data.size()) noSuchMemory(area, index);
    return {static_cast<int>(id), i};
  }
  noSuchMemory(area, index);
}

uint16_t PlcMemory::word(const std::string& area, uint32_t index) const {
  const Location loc = locate(area, index, false);
  return storeWord(loc.store, loc.index);
}

void PlcMemory::setWord(const std::string& area, uint32_t index, uint16_t value) {
  const Location loc = locate(area, index, false);
  if (loc.store == kBankNumber) {
    if (value >= banks_.size()) noSuchMemory("EM" + std::to_string(value), 0);
    current_bank_ = value;
    return;
  }
  Store& s = store(loc.store);
  s.data[loc.index] = s.flags ? (value & 1) : value;
}

bool PlcMemory::bit(const std::string& area, uint32_t index, unsigned bit) const {
  const Location loc = locate(area, index, true);
  if (bit > 15 || (loc.store >= 0 && store(loc.store).flags && bit != 0)) {
    noSuchMemory(area, index);
  }
  return (storeWord(loc.store, loc.index) >> bit) & 1;
}

void PlcMemory::setBit(const std::string& area, uint32_t index, unsigned bit, bool value) {
  const Location loc = locate(area, index, true);
  if (loc.store == kBankNumber || bit > 15 || (store(loc.store).flags && bit != 0)) {
    noSuchMemory(area, index);
  }
  uint16_t& w = store(loc.store).data[loc.index];
  const uint16_t mask = static_cast<uint16_t>(1u << bit);
  w = value ? static_cast<uint16_t>(w | mask) : static_cast<uint16_t>(w & ~mask);
}

uint16_t PlcMemory::forced(const std::string& area, uint32_t index) const {
  const Location loc = locate(area, index, true);
  if (loc.store < 0 || store(loc.store).forced.empty()) noSuchMemory(area + " forced", index);
  return store(loc.store).forced[loc.index];
}

void PlcMemory::setForced(const std::string& area, uint32_t index, uint16_t mask) {
  const Location loc = locate(area, index, true);
  if (loc.store < 0 || store(loc.store).forced.empty()) noSuchMemory(area + " forced", index);
  Store& s = store(loc.store);
  s.forced[loc.index] = s.flags ? (mask & 1) : mask;
}

}  // namespace plcsim
