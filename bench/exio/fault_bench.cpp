// fault_bench: the engine under the two faults that used to hurt the API
// and the log most, against the simulators on loopback, each figure next
// to the same measurement taken while nothing is wrong.
//
//   service hang   the external IO service accepts calls and never answers
//                  for --hang-seconds (default 20), with 10 mappings in each
//                  direction: how long a direct read, a direct write,
//                  getCPUData and getPLCMode take meanwhile (median, p99,
//                  max), against the same calls with the service healthy.
//   refusing PLC   the PLC refuses connections for --refuse-seconds (default
//                  20): connect attempts and log records per second; then,
//                  over --outages short outages (default 5), how long the
//                  link takes to come back once the PLC accepts again.
//
// Usage: fault_bench [--hang-seconds S] [--refuse-seconds S] [--outages N]
//                    [--show-log]

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <mutex>
#include <streambuf>
#include <string>
#include <thread>
#include <vector>

#include "exio/fins_exio.h"
#include "exio/fins_exio_impl.h"
#include "tools/exio-sim/exio_sim.h"
#include "tools/plc-sim/plc_sim.h"

// Reaches the engine's implementation, as the engine's tests do.
class FinsExIOTestPeer {
 public:
  static FinsExIO::Impl& impl(FinsExIO& engine) { return *engine.impl_; }
};

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

double msSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start)
      .count();
}

// Keeps the log's text to count its records (each ends with a line
// "] - [function - line: N]").
class LogCounter : public std::streambuf {
 public:
  std::uint64_t records() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::uint64_t n = 0;
    for (std::size_t at = text_.find("] - ["); at != std::string::npos;
         at = text_.find("] - [", at + 1)) {
      ++n;
    }
    return n;
  }
  // Set by --show-log: the records also go to standard error.
  bool echo = false;

 protected:
  int overflow(int c) override {
    const char ch = static_cast<char>(c);
    xsputn(&ch, 1);
    return c;
  }
  std::streamsize xsputn(const char* s, std::streamsize n) override {
    std::lock_guard<std::mutex> lock(mutex_);
    text_.append(s, static_cast<std::size_t>(n));
    if (echo) std::fwrite(s, 1, static_cast<std::size_t>(n), stderr);
    return n;
  }

 private:
  mutable std::mutex mutex_;
  std::string text_;
};

struct Summary {
  double median, p99, max;
};

Summary summarise(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  if (v.empty()) return {0, 0, 0};
  const auto at = [&](double q) {
    return v[std::min(v.size() - 1, static_cast<std::size_t>(q * v.size()))];
  };
  return {at(0.5), at(0.99), v.back()};
}

bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  const auto deadline = Clock::now() + limit;
  while (!done()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

// The four direct calls, each timed, for `duration`, one round every 50 ms.
std::vector<std::vector<double>> timeDirectCalls(FinsExIO& engine,
                                                 std::chrono::seconds duration) {
  std::vector<std::vector<double>> ms(4);
  const auto end = Clock::now() + duration;
  while (Clock::now() < end) {
    FinsExIO::Value value;
    auto t = Clock::now();
    engine.memoryAreaReadInternal("DM500", Int16, value);
    ms[0].push_back(msSince(t));
    t = Clock::now();
    engine.memoryAreaWrite("DM501", Int16, short{1});
    ms[1].push_back(msSince(t));
    t = Clock::now();
    engine.getCPUData();
    ms[2].push_back(msSince(t));
    t = Clock::now();
    engine.getPLCMode();
    ms[3].push_back(msSince(t));
    std::this_thread::sleep_for(50ms);
  }
  return ms;
}

int argValue(int argc, char** argv, const char* name, int fallback) {
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], name) == 0) return std::atoi(argv[i + 1]);
  }
  return fallback;
}

}  // namespace

int main(int argc, char** argv) {
  const int hangSeconds = argValue(argc, argv, "--hang-seconds", 20);
  const int refuseSeconds = argValue(argc, argv, "--refuse-seconds", 20);
  const int outages = argValue(argc, argv, "--outages", 5);

  LogCounter log;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--show-log") == 0) log.echo = true;
  }
  std::streambuf* const savedCout = std::cout.rdbuf(&log);

  plcsim::Options plcOptions;
  plcOptions.port = 0;
  plcOptions.model = "CJ2M-CPU33";
  plcsim::PlcSimulator plc(plcOptions);
  exiosim::Options exioOptions;
  exioOptions.port = 0;
  exiosim::ExioSimulator exio(exioOptions);
  if (!plc.start() || !exio.start()) {
    std::fprintf(stderr, "fault_bench: cannot start the simulators\n");
    return 1;
  }
  FinsExIO engine(exio.url());
  FinsExIO::Impl& impl = FinsExIOTestPeer::impl(engine);
  if (!engine.connect("127.0.0.1", plc.port(), 0, 0, 0, 0, 0, 0)) {
    std::fprintf(stderr, "fault_bench: cannot connect\n");
    return 1;
  }
  for (int i = 0; i < 10; ++i) {
    engine.addMapping("DM" + std::to_string(100 + i), "in" + std::to_string(i),
                      "", Int16, FinsExIO::PlcToRobot);
    engine.addMapping("DM" + std::to_string(200 + i),
                      "out" + std::to_string(i), "", Int16,
                      FinsExIO::RobotToPlc);
  }
  waitFor([&] { return engine.getMapState("out9") == 0; }, 10s);

  const char* names[] = {"direct read", "direct write", "getCPUData",
                         "getPLCMode"};
  std::printf("== direct calls, service healthy vs hung for %d s (ms)\n",
              hangSeconds);
  const auto healthy = timeDirectCalls(engine, 3s);
  exio.setHang(true);
  const auto hung = timeDirectCalls(engine, std::chrono::seconds(hangSeconds));
  exio.setHang(false);
  // The claims and records of the service's return belong to the hang, not
  // to the PLC's outage below.
  waitFor([&] {
    return engine.getMapState("in9") == 0 && engine.getMapState("out9") == 0;
  }, 30s);
  std::printf("%-14s %8s %8s %8s | %8s %8s %8s %6s\n", "call", "median",
              "p99", "max", "median", "p99", "max", "calls");
  for (int c = 0; c < 4; ++c) {
    const Summary h = summarise(healthy[c]);
    const Summary f = summarise(hung[c]);
    std::printf("%-14s %8.3f %8.3f %8.3f | %8.3f %8.3f %8.3f %6zu\n",
                names[c], h.median, h.p99, h.max, f.median, f.p99, f.max,
                hung[c].size());
  }

  std::printf("== PLC refusing connections for %d s\n", refuseSeconds);
  waitFor([&] { return engine.getState() == FinsExIO::Connected; }, 10s);
  const std::uint64_t attempts0 = impl.plc.connectAttempts();
  const std::uint64_t records0 = log.records();
  const auto refusedAt = Clock::now();
  plc.stop();
  std::this_thread::sleep_for(std::chrono::seconds(refuseSeconds));
  const double seconds = msSince(refusedAt) / 1000.0;
  const std::uint64_t attempts = impl.plc.connectAttempts() - attempts0;
  const std::uint64_t records = log.records() - records0;
  std::printf("attempts %llu (%.2f/s), log records %llu (%.2f/s)\n",
              static_cast<unsigned long long>(attempts), attempts / seconds,
              static_cast<unsigned long long>(records), records / seconds);

  std::vector<double> back;
  for (int i = 0; i < outages; ++i) {
    if (i > 0) {
      plc.stop();
      std::this_thread::sleep_for(5s);
    }
    const auto accepting = Clock::now();
    plc.start();
    if (!waitFor([&] { return engine.getState() == FinsExIO::Connected; },
                 30s)) {
      std::fprintf(stderr, "fault_bench: no reconnect within 30 s\n");
      return 1;
    }
    back.push_back(msSince(accepting));
  }
  const Summary b = summarise(back);
  std::printf("back after the PLC accepts again (%d outages of >= 5 s): "
              "median %.0f ms, max %.0f ms\n",
              outages, b.median, b.max);
  std::cout.rdbuf(savedCout);
  return 0;
}
