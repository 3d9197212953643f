#include "exio/read_plan.h"

#include <algorithm>
#include <functional>

namespace {

// An item a range can serve, with its words.
struct Placed {
  std::size_t index;
  fins_range_span_tp span;
};

// Items of one row close enough to share a range.
struct Cluster {
  const fins_area_tp* area;
  std::uint32_t first;
  std::uint32_t last;
  std::vector<std::size_t> items;
  std::size_t elements = 0;
  bool hasGaps = false;
};

// Whether words [from, to] of `area` meet a refused range (one refused
// even without gaps, when `noRangeOnly`).
bool meetsRefused(const std::vector<RefusedRange>& refused,
                  const fins_area_tp* area, std::uint32_t from,
                  std::uint32_t to, bool noRangeOnly) {
  return std::any_of(
      refused.begin(), refused.end(), [&](const RefusedRange& zone) {
        return zone.area == area && zone.first <= to && from <= zone.last &&
               (zone.noRange || !noRangeOnly);
      });
}

// Frames the packed multiple read needs for this many elements, about.
std::size_t packedFrames(std::size_t elements, const ReadLimits& limits) {
  return (elements + limits.elements - 1) / limits.elements;
}

std::vector<Cluster> clusterSpans(std::vector<Placed>& placed,
                                  const std::vector<fins_multidata_tp>& items,
                                  const ReadLimits& limits,
                                  const std::vector<RefusedRange>& refused) {
  std::stable_sort(
      placed.begin(), placed.end(), [](const Placed& a, const Placed& b) {
        if (a.span.area != b.span.area) {
          return std::less<const fins_area_tp*>()(a.span.area, b.span.area);
        }
        return a.span.first < b.span.first;
      });
  std::vector<Cluster> clusters;
  for (const Placed& p : placed) {
    const std::uint32_t last = p.span.first + p.span.words - 1;
    const std::size_t elements = static_cast<std::size_t>(
        finslib_multiple_read_elements(items[p.index].type));
    if (!clusters.empty()) {
      Cluster& c = clusters.back();
      if (c.area == p.span.area) {
        const std::uint32_t gap =
            p.span.first > c.last + 1 ? p.span.first - c.last - 1 : 0;
        const std::uint32_t newLast = std::max(c.last, last);
        const bool fits = newLast - c.first + 1 <= limits.rangeWords;
        const bool bridgeable =
            gap == 0 ||
            (gap <= kMaxGapWords && !meetsRefused(refused, c.area, c.last + 1,
                                                  p.span.first - 1, false));
        if (fits && bridgeable) {
          c.last = newLast;
          c.items.push_back(p.index);
          c.elements += elements;
          c.hasGaps = c.hasGaps || gap > 0;
          continue;
        }
      }
    }
    clusters.push_back(
        Cluster{p.span.area, p.span.first, last, {p.index}, elements, false});
  }
  return clusters;
}

}  // namespace

ReadPlan makeReadPlan(const fins_sys_tp* sys,
                      const std::vector<fins_multidata_tp>& items,
                      const ReadLimits& limits,
                      const std::vector<RefusedRange>& refused) {
  std::vector<Placed> placed;
  std::vector<bool> inRange(items.size(), false);
  for (std::size_t i = 0; i < items.size(); ++i) {
    fins_range_span_tp span;
    if (finslib_range_read_span(sys, &items[i], &span) &&
        !meetsRefused(refused, span.area, span.first,
                      span.first + span.words - 1, true)) {
      placed.push_back({i, span});
    }
  }
  std::vector<Cluster> clusters = clusterSpans(placed, items, limits, refused);

  // A cluster read as a range takes one frame and spares the packed reads
  // its elements. Which k clusters spare the most is plain: the k largest;
  // so the plan takes the k with the fewest frames in all, and on a tie the
  // fewer ranges: the multiple read asks for nothing but the items.
  std::size_t packedElements = 0;
  for (const fins_multidata_tp& item : items) {
    packedElements +=
        static_cast<std::size_t>(finslib_multiple_read_elements(item.type));
  }
  std::vector<std::size_t> bySize(clusters.size());
  for (std::size_t k = 0; k < bySize.size(); ++k) bySize[k] = k;
  std::stable_sort(bySize.begin(), bySize.end(),
                   [&](std::size_t a, std::size_t b) {
                     return clusters[a].elements > clusters[b].elements;
                   });
  std::size_t bestRanges = 0;
  std::size_t bestFrames = packedFrames(packedElements, limits);
  std::size_t left = packedElements;
  for (std::size_t k = 0; k < bySize.size(); ++k) {
    left -= clusters[bySize[k]].elements;
    const std::size_t frames = k + 1 + packedFrames(left, limits);
    if (frames < bestFrames) {
      bestFrames = frames;
      bestRanges = k + 1;
    }
  }
  std::vector<bool> asRange(clusters.size(), false);
  for (std::size_t k = 0; k < bestRanges; ++k) asRange[bySize[k]] = true;

  ReadPlan plan;
  plan.order.reserve(items.size());
  for (std::size_t k = 0; k < clusters.size(); ++k) {
    if (!asRange[k]) continue;
    const Cluster& c = clusters[k];
    ReadFrame frame;
    frame.kind = ReadFrame::Kind::kRange;
    frame.begin = plan.order.size();
    plan.order.insert(plan.order.end(), c.items.begin(), c.items.end());
    frame.end = plan.order.size();
    frame.area = c.area;
    frame.first = c.first;
    frame.words = c.last - c.first + 1;
    frame.hasGaps = c.hasGaps;
    plan.frames.push_back(frame);
    for (const std::size_t i : c.items) inRange[i] = true;
  }

  // The rest in the caller's order, in frames as the library packs them.
  std::vector<std::size_t> rest;
  std::vector<fins_multidata_tp> restItems;
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (inRange[i]) continue;
    rest.push_back(i);
    restItems.push_back(items[i]);
  }
  std::size_t done = 0;
  while (done < rest.size()) {
    const std::size_t n = finslib_multiple_read_frame_items(
        restItems.data() + done, restItems.size() - done, limits.elements);
    ReadFrame frame;
    frame.kind = ReadFrame::Kind::kMultiple;
    frame.begin = plan.order.size();
    plan.order.insert(plan.order.end(), rest.begin() + done,
                      rest.begin() + done + n);
    frame.end = plan.order.size();
    plan.frames.push_back(frame);
    done += n;
  }
  return plan;
}
