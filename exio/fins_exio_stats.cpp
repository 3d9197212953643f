// The engine's counters and getDiagnostics, which reads them.

#include "exio/fins_exio_stats.h"

#include <algorithm>
#include <shared_mutex>
#include <vector>

#include "exio/fins_data_types.h"
#include "exio/fins_exio_impl.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr double kUsPerMs = 1000.0;
constexpr double kP99 = 0.99;
constexpr std::uint64_t kWorkMask =
    (std::uint64_t{1} << 24) - 1;  // CycleTimeRing::kWorkBits

std::string textOf(const char* field, std::size_t size) {
  return std::string(field, strnlen(field, size));
}

FinsExIO::Diagnostics::Mapping mappingFacts(const std::string& name,
                                            const MappingRel& rel,
                                            std::int64_t nowMs) {
  FinsExIO::Diagnostics::Mapping out;
  out.name = name;
  out.direction = rel.direction;
  out.address = textOf(rel.item.address, sizeof(rel.item.address));
  out.type = rel.item.type;
  out.state = rel.state.load();
  const std::int64_t good = rel.lastGoodMs.load();
  out.msSinceGood = good < 0 ? -1 : std::max<std::int64_t>(0, nowMs - good);
  out.failures = rel.failedCycles.load();
  // The robot-to-PLC pass keeps every value it read, except for the
  // read-only types, which it never reads: a made-up 0 would mislead.
  const datatypes::DataTypeRow* type = datatypes::rowOf(rel.item.type);
  const bool kept =
      type != nullptr &&
      (rel.direction == FinsExIO::PlcToRobot || type->writable());
  if (kept && (out.state != FinsExIO::MappingNew || good >= 0)) {
    out.value = type->shown(rel.item.toMultidata());
  }
  return out;
}

}  // namespace

std::int64_t steadyMs(Clock::time_point at) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             at.time_since_epoch())
      .count();
}

// ---- CycleTimeRing

CycleTimeRing::CycleTimeRing() : start_(Clock::now()) {}

void CycleTimeRing::add(Clock::time_point end, Clock::duration work) {
  const auto endMs = static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(end - start_)
          .count());
  const auto workUs = std::min<std::uint64_t>(
      kWorkMask,
      static_cast<std::uint64_t>(
          std::chrono::duration_cast<std::chrono::microseconds>(work).count()));
  const std::uint64_t n = written_.load(std::memory_order_relaxed);
  slots_[n % kSlots].store((endMs << kWorkBits) | workUs,
                           std::memory_order_relaxed);
  written_.store(n + 1, std::memory_order_release);
}

CycleTimeRing::Summary CycleTimeRing::summary(Clock::time_point now) const {
  Summary out;
  const std::uint64_t n = written_.load(std::memory_order_acquire);
  if (n == 0) return out;
  const auto nowMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                         now - start_)
                         .count();
  const std::int64_t fromMs =
      nowMs - std::chrono::duration_cast<std::chrono::milliseconds>(kWindow)
                  .count();
  const std::uint64_t count = std::min<std::uint64_t>(n, kSlots);
  std::vector<float> works;
  works.reserve(count);
  std::int64_t oldestMs = nowMs;
  double sum = 0;
  for (std::uint64_t i = n - count; i < n; ++i) {
    const std::uint64_t slot = slots_[i % kSlots].load(std::memory_order_relaxed);
    const auto endMs = static_cast<std::int64_t>(slot >> kWorkBits);
    const double workMs = static_cast<double>(slot & kWorkMask) / kUsPerMs;
    if (i == n - 1) out.lastMs = workMs;
    if (endMs < fromMs) continue;
    oldestMs = std::min(oldestMs, endMs);
    works.push_back(static_cast<float>(workMs));
    sum += workMs;
    out.maxMs = std::max(out.maxMs, workMs);
  }
  if (works.empty()) return out;
  out.meanMs = sum / static_cast<double>(works.size());
  const std::size_t rank = std::min(
      works.size() - 1,
      static_cast<std::size_t>(kP99 * static_cast<double>(works.size())));
  std::nth_element(works.begin(), works.begin() + rank, works.end());
  out.p99Ms = works[rank];
  // Over the time the counted cycles span, so that the first minute after
  // start does not read low.
  const double spanS =
      std::max<double>(static_cast<double>(nowMs - oldestMs) / 1000.0, 0.001);
  out.perSecond = static_cast<double>(works.size()) / spanS;
  return out;
}

// ---- EngineStats

double EngineStats::unixSeconds(SystemTime at) {
  return std::chrono::duration<double>(at.time_since_epoch()).count();
}

void EngineStats::noteConnected(const std::string& address, int port,
                                bool byLoop) {
  const double now = unixSeconds(std::chrono::system_clock::now());
  gw::MutexLock lock(mutex_);
  link_.plcAddress = address;
  link_.plcPort = port;
  link_.connectedSince = now;
  if (byLoop) ++link_.reconnects;
}

void EngineStats::noteFailure(const std::string& address, int port,
                              int code) {
  const double now = unixSeconds(std::chrono::system_clock::now());
  gw::MutexLock lock(mutex_);
  link_.plcAddress = address;
  link_.plcPort = port;
  link_.connectedSince = 0;
  link_.lastFailureCode = code;
  link_.lastFailureAt = now;
}

void EngineStats::noteDisconnected() {
  gw::MutexLock lock(mutex_);
  link_.connectedSince = 0;
}

void EngineStats::foldFins(const fins_exchange_stats_tp& record) {
  gw::MutexLock lock(mutex_);
  finslib_exchange_stats_add(&finsTotals_, &record);
  // The record's last published copy is in the totals now.
  finsCurrent_ = fins_exchange_stats_tp{};
}

void EngineStats::publishFins(const fins_exchange_stats_tp* record) {
  gw::MutexLock lock(mutex_);
  if (record != nullptr) {
    finsCurrent_ = *record;
  } else {
    finsCurrent_ = fins_exchange_stats_tp{};
  }
}

EngineStats::Link EngineStats::link() const {
  gw::MutexLock lock(mutex_);
  return link_;
}

fins_exchange_stats_tp EngineStats::fins() const {
  fins_exchange_stats_tp out;
  {
    gw::MutexLock lock(mutex_);
    out = finsTotals_;
    finslib_exchange_stats_add(&out, &finsCurrent_);
  }
  return out;
}

// ---- The loop's pass and the engine's report

FinsExIO::Diagnostics FinsExIO::getDiagnostics() {
  Impl& impl = *impl_;
  Diagnostics out;
  const Clock::time_point now = Clock::now();

  Diagnostics::Connection& link = out.connection;
  link.state = impl.plc.state();
  const EngineStats::Link facts = impl.stats.link();
  link.plcAddress = facts.plcAddress;
  link.plcPort = facts.plcPort;
  link.transport = getTransport();
  const fins_cpudata_tp cpu = impl.plc.snapshot().cpuUnitData;
  link.cpuModel = textOf(cpu.model, sizeof(cpu.model));
  link.family = getPLCMode();
  const bool connected = (link.state & ~8) == Connected;
  link.connectedSince = connected ? facts.connectedSince : 0;
  link.connectAttempts = impl.plc.connectAttempts();
  link.reconnects = facts.reconnects;
  link.lastFailureCode = facts.lastFailureCode;
  link.lastFailureAt = facts.lastFailureAt;

  const CycleTimeRing::Summary cycles = impl.stats.cycles.summary(now);
  out.cycle.cycles = impl.cycleCount;
  out.cycle.lastMs = cycles.lastMs;
  out.cycle.meanMs = cycles.meanMs;
  out.cycle.p99Ms = cycles.p99Ms;
  out.cycle.maxMs = cycles.maxMs;
  out.cycle.perSecond = cycles.perSecond;

  const fins_exchange_stats_tp fins = impl.stats.fins();
  out.fins.exchanges = fins.exchanges;
  out.fins.failures = fins.failures;
  out.fins.timeouts = fins.timeouts;
  for (const fins_failure_count_tp& slot : fins.by_code) {
    if (slot.code != 0) out.fins.failuresByCode.emplace_back(slot.code, slot.count);
  }
  if (fins.other_codes != 0) out.fins.failuresByCode.emplace_back(-1, fins.other_codes);
  if (fins.exchanges != 0) {
    out.fins.meanMs = static_cast<double>(fins.total_us) /
                      static_cast<double>(fins.exchanges) / kUsPerMs;
    out.fins.p99Ms = finslib_exchange_time_quantile_us(&fins, kP99) / kUsPerMs;
  }

  const robotio::CallStats calls = impl.robotLink->callStats();
  out.robot.running = impl.stats.serviceRunning;
  out.robot.calls = calls.calls;
  out.robot.failures = calls.failures;
  out.robot.timeouts = calls.timeouts;
  out.robot.meanMs = calls.meanMs;
  out.robot.p99Ms = calls.p99Ms;
  // An atomic flag in the client: safe beside the loop's calls.
  out.robot.multicall = impl.robotLink->multicallInUse();

  {
    const std::int64_t nowMs = steadyMs(now);
    gw::ReaderLock lock(impl.mappings.mappingLock);
    out.mappings.reserve(impl.mappings.plcToRobotMap.size() +
                         impl.mappings.robotToPlcIndex.size());
    for (const auto& entry : impl.mappings.plcToRobotMap) {
      out.mappings.push_back(mappingFacts(entry.first, entry.second, nowMs));
    }
    const std::size_t firstRobotToPlc = out.mappings.size();
    for (const auto& entry : impl.mappings.robotToPlcIndex) {
      out.mappings.push_back(mappingFacts(entry.first, *entry.second, nowMs));
    }
    std::sort(out.mappings.begin() + firstRobotToPlc, out.mappings.end(),
              [](const Diagnostics::Mapping& a, const Diagnostics::Mapping& b) {
                return a.name < b.name;
              });
  }
  return out;
}
