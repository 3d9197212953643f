#include "robotio/call_stats.h"

namespace robotio {

namespace {

constexpr int kTopExponent = 26;
constexpr double kUsPerMs = 1000.0;
constexpr double kP99 = 0.99;

// Adds to an atomic that only one thread writes: a load and a store, no
// locked read-modify-write on the caller's path.
template <typename T>
void bump(std::atomic<T>& counter, T by) {
  counter.store(counter.load(std::memory_order_relaxed) + by,
                std::memory_order_relaxed);
}

// Lower bound and width of a bucket in microseconds.
void bucketRange(int bucket, double* low, double* width) {
  if (bucket < 8) {
    *low = bucket;
    *width = 1;
    return;
  }
  const int e = bucket / 8 + 2;
  *low = static_cast<double>(static_cast<std::uint64_t>(8 + bucket % 8)
                             << (e - 3));
  *width = static_cast<double>(std::uint64_t{1} << (e - 3));
}

}  // namespace

int CallRecorder::bucketOf(std::uint64_t us) {
  if (us < 8) return static_cast<int>(us);
  const int e = 63 - __builtin_clzll(us);
  if (e > kTopExponent) return kBuckets - 1;
  return 8 * (e - 2) + static_cast<int>((us >> (e - 3)) & 7u);
}

void CallRecorder::record(std::chrono::steady_clock::duration took,
                          bool failed, bool timedOut) {
  const auto us = static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::microseconds>(took).count());
  bump(calls_, std::uint64_t{1});
  bump(totalUs_, us);
  if (us > maxUs_.load(std::memory_order_relaxed)) {
    maxUs_.store(us, std::memory_order_relaxed);
  }
  bump(buckets_[bucketOf(us)], std::uint32_t{1});
  if (failed) bump(failures_, std::uint64_t{1});
  if (timedOut) bump(timeouts_, std::uint64_t{1});
}

void CallRecorder::noteFailure() { bump(failures_, std::uint64_t{1}); }

CallStats CallRecorder::summary() const {
  CallStats out;
  out.calls = calls_.load(std::memory_order_relaxed);
  out.failures = failures_.load(std::memory_order_relaxed);
  out.timeouts = timeouts_.load(std::memory_order_relaxed);
  const auto maxUs = maxUs_.load(std::memory_order_relaxed);
  out.maxMs = static_cast<double>(maxUs) / kUsPerMs;
  if (out.calls == 0) return out;
  out.meanMs = static_cast<double>(totalUs_.load(std::memory_order_relaxed)) /
               static_cast<double>(out.calls) / kUsPerMs;

  std::array<std::uint32_t, kBuckets> counts;
  std::uint64_t total = 0;
  for (int i = 0; i < kBuckets; ++i) {
    counts[i] = buckets_[i].load(std::memory_order_relaxed);
    total += counts[i];
  }
  const auto rank = static_cast<std::uint64_t>(kP99 * total + 0.999999);
  std::uint64_t seen = 0;
  for (int i = 0; i < kBuckets; ++i) {
    seen += counts[i];
    if (seen >= rank && seen > 0) {
      double low = 0;
      double width = 0;
      bucketRange(i, &low, &width);
      const double middle = low + width / 2;
      out.p99Ms = (middle > maxUs ? maxUs : middle) / kUsPerMs;
      break;
    }
  }
  return out;
}

}  // namespace robotio
