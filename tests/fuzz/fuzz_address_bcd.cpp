// Fuzzes the FINS library's address texts, its memory area lookup and its BCD conversions, with
// round trips as the properties:
//   - a value a BCD type accepts encodes to a pattern that decodes back to it; any other value
//     encodes to the type's error marker;
//   - a pattern that decodes to a value other than zero is that value's one encoding;
//   - an address text that parses, written back in its plain form, parses to the same address;
//   - a lookup answers the first table row that fits, or none when none fits, for any name bytes,
//     and the FINS word address of a row it answers fits the 16 bits of a request element.
//
// Input layout: byte 0 picks the mode (BCD encode, BCD decode, address text, raw address),
// the rest is the mode's payload.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "fins/fins.h"
#include "fuzz_check.h"

namespace {

enum Mode : uint8_t { kEncode = 0, kDecode = 1, kText = 2, kRawAddress = 3, kModes = 4 };

constexpr uint32_t kFinsWordMax = 0xFFFF;
constexpr int kFirstBcdType = FINS_DATA_TYPE_BCD16;
constexpr int kBcdTypes = FINS_DATA_TYPE_SBCD32_3 - FINS_DATA_TYPE_BCD16 + 1;
constexpr uint8_t kKnownTypeSelectors = 200;  // selector bytes below this pick one of the BCD types
constexpr int kPlainBcd32Max = 99999999;      // what a code outside 5..14 still encodes

struct BcdRange {
  int64_t min, max;
  uint32_t marker;
  bool wide;  // 32-bit type
};

bool rangeOf(int type, BcdRange* r) {
  switch (type) {
    case FINS_DATA_TYPE_BCD16: *r = {0, 9999, FINS_BCD16_ERROR, false}; return true;
    case FINS_DATA_TYPE_SBCD16_0: *r = {-999, 999, FINS_BCD16_ERROR, false}; return true;
    case FINS_DATA_TYPE_SBCD16_1: *r = {-7999, 7999, FINS_BCD16_ERROR, false}; return true;
    case FINS_DATA_TYPE_SBCD16_2: *r = {-999, 9999, FINS_BCD16_ERROR, false}; return true;
    case FINS_DATA_TYPE_SBCD16_3: *r = {-1999, 9999, FINS_BCD16_ERROR, false}; return true;
    case FINS_DATA_TYPE_BCD32: *r = {0, 99999999, FINS_BCD32_ERROR, true}; return true;
    case FINS_DATA_TYPE_SBCD32_0: *r = {-9999999, 9999999, FINS_BCD32_ERROR, true}; return true;
    case FINS_DATA_TYPE_SBCD32_1: *r = {-79999999, 79999999, FINS_BCD32_ERROR, true}; return true;
    case FINS_DATA_TYPE_SBCD32_2: *r = {-9999999, 99999999, FINS_BCD32_ERROR, true}; return true;
    case FINS_DATA_TYPE_SBCD32_3: *r = {-19999999, 99999999, FINS_BCD32_ERROR, true}; return true;
    default: return false;
  }
}

bool isMarker(int v) { return v == FINS_BCD16_ERROR || v == FINS_BCD32_ERROR; }

// Mostly one of the ten BCD types; the rest of the selector bytes give codes around them.
int typeFrom(uint8_t selector) {
  if (selector < kKnownTypeSelectors) return kFirstBcdType + selector % kBcdTypes;
  return static_cast<int>(selector) - kKnownTypeSelectors - 20;  // -20..35
}

uint32_t word32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

void checkEncode(int value, int type) {
  uint32_t raw = finslib_int_to_bcd(value, type);
  BcdRange r;
  if (!rangeOf(type, &r)) {
    // Other codes: plain BCD of a non-negative value of up to 8 digits, and nothing else decodes.
    if (value < 0 || value > kPlainBcd32Max) {
      FUZZ_CHECK(raw == FINS_BCD32_ERROR);
    } else {
      FUZZ_CHECK(finslib_bcd_to_int(raw, FINS_DATA_TYPE_BCD32) == value);
    }
    FUZZ_CHECK(finslib_bcd_to_int(raw, type) == FINS_BCD32_ERROR);
    return;
  }
  if (value < r.min || value > r.max) {
    FUZZ_CHECK(raw == r.marker);
    return;
  }
  if (!r.wide) FUZZ_CHECK(raw <= 0xFFFF);
  FUZZ_CHECK(finslib_bcd_to_int(raw, type) == value);
}

void checkDecode(uint32_t raw, int type) {
  int v = finslib_bcd_to_int(raw, type);
  BcdRange r;
  if (!rangeOf(type, &r)) {
    FUZZ_CHECK(v == FINS_BCD32_ERROR);
    return;
  }
  if (isMarker(v)) return;
  FUZZ_CHECK(v >= r.min && v <= r.max);
  if (v == 0) return;  // zero has a plain and a signed form
  // 16-bit types read only the low 16 bits of a pattern (or refuse the higher ones).
  uint32_t pattern = r.wide ? raw : (raw & 0xFFFF);
  FUZZ_CHECK(finslib_int_to_bcd(v, type) == pattern);
}

size_t areaRows() {
  size_t n = 0;
  while (fins_area[n].plc_family != 0) n++;
  return n;
}

bool rowFits(const fins_area_tp& row, int family, const fins_address_tp& a, int bits, int access, bool force) {
  return row.plc_family == family && row.bits == static_cast<uint32_t>(bits) &&
         (row.access & static_cast<uint32_t>(access)) != 0 && row.force == force && row.low_id <= a.word &&
         a.word <= row.high_id && strncmp(row.name, a.name, sizeof a.name) == 0;
}

// Every combination of family, kind, access and forced flag, including values no row has.
void checkLookups(const fins_address_tp& a) {
  static const size_t rows = areaRows();
  static const int families[] = {FINS_PLC_FAMILY_UNKNOWN, FINS_PLC_FAMILY_CV, FINS_PLC_FAMILY_CS, 3};
  static const int kinds[] = {FINS_AREA_KIND_BIT, FINS_AREA_KIND_WORD, 0, 8};
  static const int accesses[] = {FINS_AREA_ACCESS_WRITE, FINS_AREA_ACCESS_MULTI_READ,
                                 FINS_AREA_ACCESS_WRITE | FINS_AREA_ACCESS_MULTI_READ, 0, 0x10};
  fins_sys_tp sys;
  memset(&sys, 0, sizeof sys);
  sys.sockfd = -1;
  for (int family : families) {
    sys.plc_family = family;
    for (int bits : kinds) {
      for (int access : accesses) {
        for (bool force : {false, true}) {
          const fins_area_tp* row = XX_finslib_search_area(&sys, &a, bits, access, force);
          size_t first = rows;
          for (size_t i = 0; i < rows; i++) {
            if (rowFits(fins_area[i], family, a, bits, access, force)) {
              first = i;
              break;
            }
          }
          if (first == rows) {
            FUZZ_CHECK(row == nullptr);
            continue;
          }
          FUZZ_CHECK(row == &fins_area[first]);
          FUZZ_CHECK((row->low_addr >> 8) - row->low_id + a.word <= kFinsWordMax);
        }
      }
    }
  }
}

bool nameHoldsDigit(const char name[4]) {
  for (int i = 0; i < 4 && name[i] != '\0'; i++)
    if (name[i] >= '0' && name[i] <= '9') return true;
  return false;
}

// The address in the form the parser documents: NAME WORD, NAME_WORD for names with a digit.
std::string format(const fins_address_tp& a) {
  char text[64];
  char name[5] = {};
  memcpy(name, a.name, sizeof a.name);
  snprintf(text, sizeof text, "%s%s%u.%u", name, nameHoldsDigit(a.name) ? "_" : "",
           static_cast<unsigned>(a.word), static_cast<unsigned>(a.bit));
  return text;
}

void checkText(const uint8_t* p, size_t n) {
  std::string text(reinterpret_cast<const char*>(p), n);
  text = text.c_str();  // the parser sees a C string: up to the first NUL
  fins_address_tp a;
  memset(&a, 0x5A, sizeof a);
  const fins_address_tp untouched = a;
  if (XX_finslib_decode_address(text.c_str(), &a)) {
    FUZZ_CHECK(memcmp(&a, &untouched, sizeof a) == 0);  // written only on success
    return;
  }
  FUZZ_CHECK(a.bit <= 15);
  FUZZ_CHECK(a.name[3] == '\0');
  bool ended = false;
  for (int i = 0; i < 3; i++) {
    char c = a.name[i];
    if (c == '\0') {
      ended = true;
      continue;
    }
    FUZZ_CHECK(!ended);  // zero padded after the name
    FUZZ_CHECK((c >= 'A' && c <= 'Z') || (i > 0 && c >= '0' && c <= '9'));
  }
  fins_address_tp again;
  FUZZ_CHECK(!XX_finslib_decode_address(format(a).c_str(), &again));
  FUZZ_CHECK(memcmp(&a, &again, sizeof a) == 0);
  checkLookups(a);
}

// An address no parser made: any name bytes (also unterminated) and any word number.
void checkRawAddress(const uint8_t* p, size_t n) {
  fins_address_tp a;
  memset(&a, 0, sizeof a);
  memcpy(&a, p, n < sizeof a ? n : sizeof a);
  checkLookups(a);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t* p = data + 1;
  const size_t n = size - 1;
  switch (data[0] % kModes) {
    case kEncode:
      if (n >= 5) checkEncode(static_cast<int>(word32(p + 1)), typeFrom(p[0]));
      break;
    case kDecode:
      if (n >= 5) checkDecode(word32(p + 1), typeFrom(p[0]));
      break;
    case kText:
      checkText(p, n);
      break;
    default:
      checkRawAddress(p, n);
      break;
  }
  return 0;
}
