// Counts and times of the calls an external IO client makes, kept so that
// another thread can read them while the client's own thread keeps calling.

#ifndef GW_ROBOTIO_CALL_STATS_H_
#define GW_ROBOTIO_CALL_STATS_H_

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>

#include "fins/fins.h"

namespace robotio {

// A summary of the calls made so far. Times in milliseconds.
struct CallStats {
  std::uint64_t calls = 0;     // every call sent, liveness probes included
  std::uint64_t failures = 0;  // of them, not answered properly (below)
  std::uint64_t timeouts = 0;  // of the failures, those that timed out
  double meanMs = 0;           // mean call time; 0 without calls
  double p99Ms = 0;            // 99 % of the calls took at most about this
  double maxMs = 0;            // longest call
};

// Records calls from one thread and summarises them for any thread. The
// recording side costs a few relaxed atomic additions per call: no lock,
// nothing a reader could make the caller wait for.
class CallRecorder {
 public:
  // Buckets of the time histogram, laid out as the FINS library's exchange
  // times are, so that the robot's and the PLC's times read alike.
  static constexpr int kBuckets = FINS_STATS_TIME_BUCKETS;

  // One call that took `took`; `failed` when it got no proper answer
  // (fault, no answer, time-out), `timedOut` when it waited out its
  // time-out. REQUIRES: called from one thread at a time.
  void record(std::chrono::steady_clock::duration took, bool failed,
              bool timedOut);

  // Marks the call recorded last as failed after all: it was answered, but
  // with a fault or an answer that could not be read.
  // REQUIRES: the thread that records.
  void noteFailure();

  // The calls recorded so far. Thread-safe; a summary taken while a call
  // is being recorded may count it in some fields and not yet in others.
  CallStats summary() const;

  // The histogram bucket of a call of `us` microseconds.
  static int bucketOf(std::uint64_t us);

 private:
  std::atomic<std::uint64_t> calls_{0};
  std::atomic<std::uint64_t> failures_{0};
  std::atomic<std::uint64_t> timeouts_{0};
  std::atomic<std::uint64_t> totalUs_{0};
  std::atomic<std::uint64_t> maxUs_{0};
  std::array<std::atomic<std::uint32_t>, kBuckets> buckets_{};
};

}  // namespace robotio

#endif  // GW_ROBOTIO_CALL_STATS_H_
