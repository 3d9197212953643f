// ReadPlan: the frames a PLC-to-robot pass reads its items with. A real PLC
// answers each frame only after its Ethernet unit and CPU have served it
// (2-5 ms), so the number of frames, not the bytes in them, sets the pace.
//
// - Items whose words lie close together in one area row are read with one
//   memory area read of the range that covers them; a plain bit comes from
//   the word that holds it.
// - The rest (forced-status types, timer and counter flags, isolated words)
//   go into multiple memory area reads packed up to the element limit.
//
// The gap rule: two items of one row share a range when at most
// kMaxGapWords words lie between them and the range stays within the word
// limit. A gap word costs two answer bytes, well under a microsecond on the
// wire and in the CPU's service, against milliseconds for a frame, so
// bridging pays while the range fits one frame. The bound keeps a range
// from reaching across memory no mapping names (where a PLC may refuse
// words) and keeps an outlier from pulling a range away from its block.
// Ranges are then taken, largest first, as far as they lower the pass's
// frames: ranges plus the packed reads of what is left.

#ifndef GW_EXIO_READ_PLAN_H_
#define GW_EXIO_READ_PLAN_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "fins/fins.h"

// What one connection's PLC accepts in a frame; starts at the documented
// limits and shrinks when the PLC refuses a frame for its length.
struct ReadLimits {
  std::size_t rangeWords = FINS_MEMORY_AREA_READ_MAX_WORDS;
  std::size_t elements = FINS_MULTI_READ_MAX_ELEMENTS;
};

// Words of one area row in which the PLC refused a range. Ranges there
// hold only words that items name; with `noRange`, where even such a range
// was refused and no item alone, its items go to the multiple reads.
struct RefusedRange {
  const fins_area_tp* area;
  std::uint32_t first;
  std::uint32_t last;
  bool noRange;
};

struct ReadFrame {
  enum class Kind { kRange, kMultiple };
  Kind kind = Kind::kMultiple;
  // The frame's items: ReadPlan::order[begin, end).
  std::size_t begin = 0;
  std::size_t end = 0;
  // kRange: the row and its words read.
  const fins_area_tp* area = nullptr;
  std::uint32_t first = 0;
  std::uint32_t words = 0;
  // kRange: words no item names lie inside the range.
  bool hasGaps = false;
};

struct ReadPlan {
  // Item indices, frame by frame.
  std::vector<std::size_t> order;
  std::vector<ReadFrame> frames;
};

// Words that may lie between two items of one range.
constexpr std::uint32_t kMaxGapWords = 64;

// Plans the reads of `items` (placed in `sys`'s family; each item once in
// the plan) within `limits`, minding the ranges the PLC refused.
ReadPlan makeReadPlan(const fins_sys_tp* sys,
                      const std::vector<fins_multidata_tp>& items,
                      const ReadLimits& limits,
                      const std::vector<RefusedRange>& refused);

#endif  // GW_EXIO_READ_PLAN_H_
