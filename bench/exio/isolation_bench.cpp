// isolation_bench: what one item the PLC refuses costs the PLC-to-robot
// pass. The engine's cycle is driven by hand against the simulators on
// loopback, with --mappings Int16 mappings (default 100) on DM0 up, and the
// FINS frames of each cycle counted at the simulated PLC:
//
//   before     cycles with every item accepted
//   refusal    the first cycle after the PLC starts refusing the middle item
//              with end code 0x1103
//   refused    --seconds (default 5) of cycles at the loop's 10 ms pace while
//              it stays refused: frames per cycle, and lone retries
//   no place   the same with an address the PLC family has no area for
//              (QQ1) instead
//
// Usage: isolation_bench [--mappings N] [--seconds S]

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "exio/fins_exio_impl.h"
#include "tools/exio-sim/exio_sim.h"
#include "tools/plc-sim/plc_sim.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint8_t kDmWordCode = 0x82;
constexpr std::uint16_t kOutOfRange = 0x1103;
constexpr auto kCyclePause = std::chrono::milliseconds(10);
constexpr int kSettleCycles = 20;
constexpr int kBaselineCycles = 200;

struct Cycle {
  std::size_t frames = 0;  // multiple reads
  std::size_t lone = 0;    // multiple reads of one element
  double ms = 0;           // the cycle without its pause
  std::vector<std::size_t> sizes;  // items of each read, in order
};

bool isMultipleRead(const std::vector<std::uint8_t>& frame) {
  return frame.size() >= 12 && frame[10] == 0x01 && frame[11] == 0x04;
}

class Bench {
 public:
  Bench(int mappings, double seconds)
      : mappings_(mappings), seconds_(seconds) {}

  int run() {
    std::string error;
    if (!plc_.start() || !exio_.start(&error)) {
      std::fprintf(stderr, "isolation_bench: simulators: %s\n", error.c_str());
      return 1;
    }
    engine_ = std::make_unique<FinsExIO::Impl>(exio_.url());
    if (!engine_->plc.connect({"127.0.0.1", plc_.port()})) {
      std::fprintf(stderr, "isolation_bench: no connection to the PLC\n");
      return 1;
    }
    for (int i = 0; i < mappings_; ++i) {
      engine_->addMapping("DM" + std::to_string(i), "in" + std::to_string(i),
                         "", Int16, FinsExIO::PlcToRobot);
    }
    cycles(kSettleCycles);
    report("before", cycles(kBaselineCycles));

    const int middle = mappings_ / 2;
    plc_.refuseElement(kDmWordCode, static_cast<std::uint16_t>(middle),
                       kOutOfRange);
    report("refusal", cycles(1));
    report("refused", cyclesFor(seconds_));
    std::printf("  state of the refused mapping %d, of the others: %s\n",
                state(middle), othersGood(middle) ? "all 0" : "NOT all 0");

    plc_.refuseElement(kDmWordCode, static_cast<std::uint16_t>(middle), 0);
    const std::string name = "in" + std::to_string(middle);
    engine_->addMapping("QQ1", name, "", Int16, FinsExIO::PlcToRobot);
    report("no place", cyclesFor(seconds_));
    std::printf("  state of the unplaceable mapping %d, of the others: %s\n",
                state(middle), othersGood(middle) ? "all 0" : "NOT all 0");
    return 0;
  }

 private:
  std::vector<Cycle> cycles(int n) {
    std::vector<Cycle> out;
    for (int i = 0; i < n; ++i) {
      out.push_back(cycle());
    }
    return out;
  }

  std::vector<Cycle> cyclesFor(double seconds) {
    std::vector<Cycle> out;
    const auto end = Clock::now() + std::chrono::duration<double>(seconds);
    while (Clock::now() < end) {
      out.push_back(cycle());
    }
    return out;
  }

  Cycle cycle() {
    plc_.clearReceivedFrames();
    const auto start = Clock::now();
    engine_->syncCycle();
    Cycle c;
    c.ms = std::chrono::duration<double, std::milli>(Clock::now() - start)
               .count();
    for (const auto& frame : plc_.receivedFrames()) {
      if (isMultipleRead(frame)) {
        ++c.frames;
        c.lone += frame.size() == 16 ? 1 : 0;
        c.sizes.push_back((frame.size() - 12) / 4);
      }
    }
    std::this_thread::sleep_for(kCyclePause);
    return c;
  }

  int state(int index) {
    gw::ReaderLock lock(engine_->mappings.mappingLock);
    return engine_->mappings.plcToRobotMap.at("in" + std::to_string(index)).state.load();
  }

  bool othersGood(int except) {
    for (int i = 0; i < mappings_; ++i) {
      if (i != except && state(i) != 0) {
        return false;
      }
    }
    return true;
  }

  static void report(const char* what, std::vector<Cycle> cycles) {
    std::size_t frames = 0;
    std::size_t lone = 0;
    std::size_t most = 0;
    std::vector<double> ms;
    for (const Cycle& c : cycles) {
      frames += c.frames;
      lone += c.lone;
      most = std::max(most, c.frames);
      ms.push_back(c.ms);
    }
    std::sort(ms.begin(), ms.end());
    const double n = static_cast<double>(cycles.size());
    std::printf(
        "%-9s %5zu cycles: %.3f reads/cycle (most %zu), %zu one-item reads, "
        "cycle median %.3f ms, max %.3f ms\n",
        what, cycles.size(), static_cast<double>(frames) / n, most, lone,
        ms[ms.size() / 2], ms.back());
    if (cycles.size() == 1) {
      std::printf("  items of each read in order:");
      for (std::size_t items : cycles.front().sizes) {
        std::printf(" %zu", items);
      }
      std::printf("\n");
    }
  }

  const int mappings_;
  const double seconds_;
  static plcsim::Options plcOptions() {
    plcsim::Options options;
    options.port = 0;
    return options;
  }
  static exiosim::Options exioOptions() {
    exiosim::Options options;
    options.port = 0;
    return options;
  }

  plcsim::PlcSimulator plc_{plcOptions()};
  exiosim::ExioSimulator exio_{exioOptions()};
  std::unique_ptr<FinsExIO::Impl> engine_;
};

}  // namespace

int main(int argc, char** argv) {
  int mappings = 100;
  double seconds = 5;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--mappings") == 0 && i + 1 < argc) {
      mappings = std::atoi(argv[++i]);
    } else if (std::strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) {
      seconds = std::atof(argv[++i]);
    } else {
      std::fprintf(stderr, "usage: isolation_bench [--mappings N] "
                           "[--seconds S]\n");
      return 2;
    }
  }
  if (mappings < 2 || mappings > 100 || seconds <= 0) {
    std::fprintf(stderr, "isolation_bench: 2 to 100 mappings, seconds > 0\n");
    return 2;
  }
  // The engine's log would drown the figures.
  std::ostringstream log;
  std::streambuf* saved = std::cout.rdbuf(log.rdbuf());
  int rc = 0;
  {
    Bench bench(mappings, seconds);
    rc = bench.run();
  }
  std::cout.rdbuf(saved);
  return rc;
}
