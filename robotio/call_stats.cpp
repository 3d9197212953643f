#include "robotio/call_stats.h"

namespace robotio {

namespace {

constexpr double kUsPerMs = 1000.0;
constexpr double kP99 = 0.99;

// Adds to an atomic that only one thread writes: a load and a store, no
// locked read-modify-write on the caller's path.
template <typename T>
void bump(std::atomic<T>& counter, T by) {
  counter.store(counter.load(std::memory_order_relaxed) + by,
                std::memory_order_relaxed);
}

}  // namespace

int CallRecorder::bucketOf(std::uint64_t us) {
  return finslib_exchange_time_bucket(us);
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
  for (int i = 0; i < kBuckets; ++i) {
    counts[i] = buckets_[i].load(std::memory_order_relaxed);
  }
  out.p99Ms =
      finslib_time_buckets_quantile_us(counts.data(), counts.size(), maxUs, kP99) /
      kUsPerMs;
  return out;
}

}  // namespace robotio
