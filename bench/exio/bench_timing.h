// Timing helpers the engine benchmarks share, so that their figures are
// taken and summarised the same way.

#ifndef GW_BENCH_EXIO_BENCH_TIMING_H_
#define GW_BENCH_EXIO_BENCH_TIMING_H_

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <functional>
#include <thread>
#include <vector>

namespace exiobench {

using Clock = std::chrono::steady_clock;

inline double msSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start)
      .count();
}

// The nearest-rank percentile: always one of the values measured, never a
// blend of two. REQUIRES: `values` is not empty.
inline double percentile(std::vector<double> values, double p) {
  std::sort(values.begin(), values.end());
  const std::size_t i = static_cast<std::size_t>(
      std::ceil(p / 100.0 * static_cast<double>(values.size())) - 1);
  return values[std::min(i, values.size() - 1)];
}

// Polls `done` every millisecond; false when `timeout` passed first.
inline bool waitFor(const std::function<bool()>& done,
                    std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (!done()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

}  // namespace exiobench

#endif  // GW_BENCH_EXIO_BENCH_TIMING_H_
