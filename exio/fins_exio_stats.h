// The engine's own counters: what the synchronisation loop publishes about
// its cycles, the FINS link and the external IO service, kept so that
// getDiagnostics reads them without waiting for the loop or the link.

#ifndef GW_EXIO_FINS_EXIO_STATS_H_
#define GW_EXIO_FINS_EXIO_STATS_H_

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>

#include "exio/fins_exio.h"
#include "fins/fins.h"
#include "service/mutex.h"
#include "service/thread_annotations.h"

// The work time of the last cycles, written by the loop without a lock and
// summarised by any thread. Each slot packs a cycle's end (milliseconds
// since the ring's start) and its work (microseconds) into one atomic word,
// so a reader never sees half of a slot.
class CycleTimeRing {
 public:
  // A minute of 10 ms cycles, with room to spare.
  static constexpr std::size_t kSlots = 8192;
  // How far back the summary looks.
  static constexpr std::chrono::seconds kWindow{60};

  struct Summary {
    double lastMs = 0, meanMs = 0, p99Ms = 0, maxMs = 0;
    double perSecond = 0;
  };

  CycleTimeRing();

  // One finished cycle. REQUIRES: one writing thread (the loop).
  void add(std::chrono::steady_clock::time_point end,
           std::chrono::steady_clock::duration work);

  // The cycles that ended within kWindow before `now`. Any thread.
  Summary summary(std::chrono::steady_clock::time_point now) const;

 private:
  static constexpr int kWorkBits = 24;  // up to 16.7 s a cycle

  const std::chrono::steady_clock::time_point start_;
  std::atomic<std::uint64_t> written_{0};
  std::array<std::atomic<std::uint64_t>, kSlots> slots_{};
};

// Connection events and the published copies of the FINS and robot
// counters. The one mutex is held only to copy a few hundred bytes: the
// loop never waits on it for longer than a reader's copy.
class EngineStats {
 public:
  using SystemTime = std::chrono::system_clock::time_point;

  // Facts about the link as getDiagnostics shows them.
  struct Link {
    std::string plcAddress;
    int plcPort = 0;
    double connectedSince = 0;  // Unix seconds
    std::uint64_t reconnects = 0;
    int lastFailureCode = 0;
    double lastFailureAt = 0;
  };

  // A connect to `address`:`port` succeeded now.
  void noteConnected(const std::string& address, int port, bool byLoop)
      EXCLUDES(mutex_);
  // A connect failed or the link was lost now, with `code`.
  void noteFailure(const std::string& address, int port, int code)
      EXCLUDES(mutex_);
  // The link was closed on purpose.
  void noteDisconnected() EXCLUDES(mutex_);

  // The counters of a connection record about to be freed join the totals.
  void foldFins(const fins_exchange_stats_tp& record) EXCLUDES(mutex_);
  // The current record's counters (null: none), published once per cycle.
  void publishFins(const fins_exchange_stats_tp* record) EXCLUDES(mutex_);

  Link link() const EXCLUDES(mutex_);
  // The totals of freed records plus the current one's last copy.
  fins_exchange_stats_tp fins() const EXCLUDES(mutex_);

  CycleTimeRing cycles;
  // The liveness probe of the last cycle.
  std::atomic<bool> serviceRunning{false};

 private:
  static double unixSeconds(SystemTime at);

  // Taken last, after any engine lock (the order is in exio/plc_link.h).
  mutable gw::Mutex mutex_;
  Link link_ GUARDED_BY(mutex_);
  fins_exchange_stats_tp finsTotals_ GUARDED_BY(mutex_) = {};
  fins_exchange_stats_tp finsCurrent_ GUARDED_BY(mutex_) = {};
};

// Milliseconds on the steady clock, as MappingRel::lastGoodMs holds them.
std::int64_t steadyMs(std::chrono::steady_clock::time_point at);

#endif  // GW_EXIO_FINS_EXIO_STATS_H_
