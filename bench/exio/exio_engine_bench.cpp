// exio_engine_bench: what the exchange engine costs, against the PLC and
// external IO simulators on loopback, each figure next to a floor measured
// in the same run.
//
//   cycle work   one cycle without its 10 ms pause, for 10, 100 and 1,000
//                mappings split evenly between the directions, and all in
//                one direction, with the FINS frames and external IO calls
//                it makes; floor: the same robot calls as one bare batch
//                (system.multicall, or single calls with --no-multicall),
//                one liveness call and the same FINS exchanges, bare.
//   latency      a PLC word changing until the robot input register holds
//                it, and a robot output changing until the PLC word holds
//                it, 10 and 1,000 mappings; median and p99; bound: one
//                cycle + 5 ms (10), 30 ms (1,000).
//   CPU          the daemon process (the engine alone, in a child process)
//                with 0 and 10 mappings; floor: a bare loop making one
//                external IO call every 10 ms.
//   memory       the daemon's resident set with 0 and 1,000 mappings, and
//                over a soak run with 1,000 mappings.
//
// Usage: exio_engine_bench [--soak-seconds S] [--only-cycles] [--no-multicall]
//   --soak-seconds S  length of the soak run (default 600)
//   --only-cycles     the cycle work alone
//   --no-multicall    the external IO simulator refuses system.multicall, so
//                     the engine makes one call per register

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <mutex>
#include <random>
#include <shared_mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/exio/bench_timing.h"
#include "exio/fins_exio.h"
#include "exio/fins_exio_impl.h"
#include "robotio/extern_io_client.h"
#include "tools/exio-sim/exio_sim.h"
#include "tools/plc-sim/plc_sim.h"

extern char** environ;

namespace {

using exiobench::Clock;
using exiobench::msSince;
using exiobench::percentile;
using exiobench::waitFor;
using namespace std::chrono_literals;

// Robot register names whose digits give indices 0..99 while the names stay
// unique for up to 2,600 mappings per direction: "pa07", "rb42".
std::string registerName(char direction, int i) {
  char name[8];
  std::snprintf(name, sizeof(name), "%c%c%c%02d", direction,
                'a' + (i / 100) % 26, 'a' + (i / 2600) % 26, i % 100);
  return name;
}

// How the mappings of a cycle bench are laid out.
enum class Split {
  kHalf,        // half PLC to robot, half robot to PLC
  kPlcToRobot,  // all PLC to robot
  kRobotToPlc,  // all robot to PLC
};

const char* splitName(Split split) {
  switch (split) {
    case Split::kHalf: return "half each way";
    case Split::kPlcToRobot: return "all PLC to robot";
    case Split::kRobotToPlc: return "all robot to PLC";
  }
  return "";
}

int plcToRobotCount(int total, Split split) {
  return split == Split::kHalf         ? total / 2
         : split == Split::kPlcToRobot ? total
                                       : 0;
}

// PLC-to-robot mappings at DM0.., robot-to-PLC ones at DM10000.., each
// direction one run of gap-free words.
template <typename AddFn>
void addMappings(int total, AddFn add, Split split = Split::kHalf) {
  const int toRobot = plcToRobotCount(total, split);
  for (int i = 0; i < toRobot; ++i) {
    add("DM" + std::to_string(i), registerName('p', i), FinsExIO::PlcToRobot);
  }
  for (int i = 0; i < total - toRobot; ++i) {
    add("DM" + std::to_string(10000 + i), registerName('r', i),
        FinsExIO::RobotToPlc);
  }
}

// --- The daemon side, run in a child process ----------------------------------

// argv: --daemon <plc port> <exio url> <mappings | "bare"> <ready fd>
int daemonMain(char** argv) {
  const int plcPort = std::atoi(argv[2]);
  const std::string url = argv[3];
  const std::string what = argv[4];
  const int readyFd = std::atoi(argv[5]);
  auto ready = [readyFd] {
    const char line[] = "ready\n";
    if (write(readyFd, line, sizeof(line) - 1) < 0) std::exit(1);
    close(readyFd);
  };
  if (what == "bare") {
    ExternIOClient client(url);
    ready();
    for (;;) {
      client.isExIORunning();
      std::this_thread::sleep_for(10ms);
    }
  }
  const int total = std::atoi(what.c_str());
  FinsExIO engine(url);
  if (!engine.connect("127.0.0.1", plcPort, 0, 0, 0, 0, 0, 0)) return 1;
  std::vector<std::string> names;
  addMappings(total, [&](const std::string& address, const std::string& name,
                         FinsExIO::MappingDirection direction) {
    engine.addMapping(address, name, "", Int16, direction);
    names.push_back(name);
  });
  const bool exchanged = waitFor(
      [&] {
        for (const auto& name : names) {
          if (engine.getMapState(name) != 0) return false;
        }
        return true;
      },
      120s);
  if (!exchanged) return 1;
  ready();
  for (;;) pause();
}

// A daemon child: spawned from this executable, its log thrown away.
class Daemon {
 public:
  Daemon(uint16_t plcPort, const std::string& url, const std::string& what) {
    int fds[2];
    if (pipe(fds) != 0) throw std::runtime_error("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null",
                                     O_WRONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 3);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    const std::string port = std::to_string(plcPort);
    std::vector<std::string> args = {"exio_engine_bench", "--daemon", port,
                                     url, what, "3"};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, "/proc/self/exe", &actions, nullptr, argv.data(),
                    environ) != 0) {
      throw std::runtime_error("posix_spawn");
    }
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    pollfd p = {fds[0], POLLIN, 0};
    char line[16] = {};
    const bool up = poll(&p, 1, 180000) == 1 &&
                    read(fds[0], line, sizeof(line) - 1) > 0 &&
                    std::strncmp(line, "ready", 5) == 0;
    close(fds[0]);
    if (!up) {
      stop();
      throw std::runtime_error("daemon did not get ready: " + what);
    }
  }
  ~Daemon() { stop(); }
  Daemon(const Daemon&) = delete;
  Daemon& operator=(const Daemon&) = delete;

  // CPU time of all the daemon's threads so far, in seconds.
  double cpuSeconds() const {
    double total = 0;
    const std::string dir = "/proc/" + std::to_string(pid_) + "/task";
    DIR* tasks = opendir(dir.c_str());
    if (tasks == nullptr) return 0;
    while (dirent* e = readdir(tasks)) {
      if (e->d_name[0] == '.') continue;
      std::ifstream in(dir + "/" + e->d_name + "/schedstat");
      double ns = 0;
      if (in >> ns) total += ns / 1e9;
    }
    closedir(tasks);
    return total;
  }
  // Resident set in KiB.
  long rssKiB() const {
    std::ifstream in("/proc/" + std::to_string(pid_) + "/status");
    std::string line;
    while (std::getline(in, line)) {
      if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    }
    return -1;
  }

 private:
  void stop() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
      pid_ = -1;
    }
  }
  pid_t pid_ = -1;
};

// --- Floors -------------------------------------------------------------------

double bareExioCallMs(const std::string& url, int calls) {
  ExternIOClient client(url);
  for (int i = 0; i < 50; ++i) client.getOutputIntData(0);
  const auto start = Clock::now();
  for (int i = 0; i < calls; ++i) client.getOutputIntData(i % 100);
  return msSince(start) / calls;
}

double bareFinsExchangeMs(uint16_t port, int exchanges) {
  int code = 0;
  fins_sys_tp* sys = finslib_tcp_connect(nullptr, "127.0.0.1", port, 0, 0, 0,
                                         0, 0, 0, &code, 1);
  fins_cpudata_tp cpu = {};
  if (sys == nullptr || finslib_cpu_unit_data_read(sys, &cpu) != 0) {
    throw std::runtime_error("bare FINS connection failed");
  }
  fins_multidata_tp item = {};
  std::strcpy(item.address, "DM0");
  item.type = Int16;
  const auto start = Clock::now();
  for (int i = 0; i < exchanges; ++i) {
    finslib_multiple_memory_area_read(sys, &item, 1);
  }
  const double ms = msSince(start) / exchanges;
  finslib_disconnect(sys);
  return ms;
}

// The floor of one cycle with `total` mappings laid out as `split`: what
// the same work costs with nothing of the engine around it. One liveness
// call, one batch of the cycle's robot calls (the register writes of the
// PLC-to-robot mappings and the register reads of the robot-to-PLC ones, as
// the client sends them: one multicall per 500 calls, or one call each when
// the service refuses multicall), the multiple read of the PLC-to-robot
// items and the one write of the robot-to-PLC words. Median over `rounds`.
// The owner name of the engine's claims: the floor's writes go to the
// registers the engine holds, so that the simulator does the same work.
constexpr char kEngineOwner[] = "FINS_EX_IO";

double cycleFloorMs(uint16_t plcPort, const std::string& url, int total,
                    Split split, int rounds) {
  using Call = ExternIOClient::RegisterCall;
  const int toRobot = plcToRobotCount(total, split);
  const int toPlc = total - toRobot;
  ExternIOClient client(url);
  int code = 0;
  fins_sys_tp* sys = finslib_tcp_connect(nullptr, "127.0.0.1", plcPort, 0, 0,
                                         0, 0, 0, 0, &code, 1);
  fins_cpudata_tp cpu = {};
  if (sys == nullptr || finslib_cpu_unit_data_read(sys, &cpu) != 0) {
    throw std::runtime_error("bare FINS connection failed");
  }
  std::vector<fins_multidata_tp> items(toRobot);
  for (int i = 0; i < toRobot; ++i) {
    const std::string address = "DM" + std::to_string(i);
    std::memcpy(items[i].address, address.c_str(), address.size() + 1);
    items[i].type = Int16;
  }
  const std::vector<int16_t> words(toPlc, 7);
  auto round = [&] {
    client.isExIORunning();
    if (toRobot > 0) finslib_multiple_memory_area_read(sys, items.data(), toRobot);
    std::vector<Call> calls;
    calls.reserve(total);
    for (int i = 0; i < toRobot; ++i) {
      calls.push_back(Call::writeInputInt(i % 100, items[i].value.int16));
    }
    for (int i = 0; i < toPlc; ++i) calls.push_back(Call::readOutputInt(i % 100));
    client.callRegisters(kEngineOwner, calls);
    if (toPlc > 0) {
      finslib_memory_area_write_int16(sys, "DM10000", words.data(), toPlc);
    }
  };
  for (int i = 0; i < 5; ++i) round();
  std::vector<double> times;
  for (int i = 0; i < rounds; ++i) {
    const auto start = Clock::now();
    round();
    times.push_back(msSince(start));
  }
  finslib_disconnect(sys);
  return percentile(times, 50);
}

// --- Cycle work -----------------------------------------------------------------

struct CycleFigures {
  int mappings;
  double medianMs;
  double meanMs;
  double framesPerCycle;
  double exioCallsPerCycle;
  double requestsPerCycle;  // HTTP requests; a multicall counts once
  double floorMs;
};

CycleFigures measureCycle(plcsim::PlcSimulator& plc,
                          exiosim::ExioSimulator& exio, int total,
                          Split split) {
  FinsExIO::Impl engine(exio.url());
  if (!engine.plc.connect({"127.0.0.1", plc.port()})) {
    throw std::runtime_error("cycle bench: connect failed");
  }
  addMappings(
      total,
      [&](const std::string& address, const std::string& name,
          FinsExIO::MappingDirection direction) {
        engine.addMapping(address, name, "", Int16, direction);
      },
      split);
  auto allGood = [&] {
    gw::ReaderLock lock(engine.mappings.mappingLock);
    for (const auto& e : engine.mappings.plcToRobotMap) {
      if (e.second.state.load() != 0) return false;
    }
    for (const auto& e : engine.mappings.robotToPlcIndex) {
      if (e.second->state.load() != 0) return false;
    }
    return true;
  };
  for (int i = 0; i < 5 || !allGood(); ++i) {
    if (i > 50) throw std::runtime_error("cycle bench: mappings not good");
    engine.syncCycle();
  }

  const int cycles = total >= 1000 ? 40 : 300;
  plc.clearReceivedFrames();
  const uint64_t callsBefore = exio.callsAnswered();
  const uint64_t requestsBefore = exio.requestsAnswered();
  std::vector<double> times;
  for (int i = 0; i < cycles; ++i) {
    const auto start = Clock::now();
    engine.syncCycle();
    times.push_back(msSince(start));
  }
  CycleFigures f;
  f.mappings = total;
  f.medianMs = percentile(times, 50);
  double sum = 0;
  for (double t : times) sum += t;
  f.meanMs = sum / cycles;
  f.framesPerCycle =
      static_cast<double>(plc.receivedFrames().size()) / cycles;
  f.exioCallsPerCycle =
      static_cast<double>(exio.callsAnswered() - callsBefore) / cycles;
  f.requestsPerCycle =
      static_cast<double>(exio.requestsAnswered() - requestsBefore) / cycles;
  plc.clearReceivedFrames();
  // Measured right after the cycles, on the same simulators.
  f.floorMs = cycleFloorMs(plc.port(), exio.url(), total, split, cycles);
  plc.clearReceivedFrames();
  return f;
}

// --- Latency ------------------------------------------------------------------------

struct Latency {
  double medianMs;
  double p99Ms;
};

// Changes a value at `change` and waits for it to arrive by `arrived`, over
// `samples` changes spread over the cycle's phase.
Latency measureLatency(int samples,
                       const std::function<void(int mapping, int value)>& change,
                       const std::function<bool(int mapping, int value)>& arrived) {
  std::mt19937 random(7);
  std::vector<double> times;
  for (int s = 0; s < samples; ++s) {
    const int mapping = s % 10;
    const int value = 1000 + s;
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 10000));
    const auto start = Clock::now();
    change(mapping, value);
    while (!arrived(mapping, value)) {
      std::this_thread::sleep_for(50us);
      if (msSince(start) > 5000) throw std::runtime_error("value lost");
    }
    times.push_back(msSince(start));
  }
  return {percentile(times, 50), percentile(times, 99)};
}

void printRow(const char* what, const std::string& figure,
              const std::string& bound, const std::string& ratio) {
  std::printf("| %-52s | %-40s | %-16s | %-6s |\n", what, figure.c_str(),
              bound.c_str(), ratio.c_str());
}

std::string fmt(const char* format, double a, double b = 0) {
  char text[96];
  std::snprintf(text, sizeof(text), format, a, b);
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 6 && std::strcmp(argv[1], "--daemon") == 0) {
    return daemonMain(argv);
  }
  int soakSeconds = 600;
  bool onlyCycles = false;
  bool offerMulticall = true;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--soak-seconds") == 0 && i + 1 < argc) {
      soakSeconds = std::atoi(argv[++i]);
    } else if (std::strcmp(argv[i], "--only-cycles") == 0) {
      onlyCycles = true;
    } else if (std::strcmp(argv[i], "--no-multicall") == 0) {
      offerMulticall = false;
    } else {
      std::fprintf(stderr,
                   "usage: exio_engine_bench [--soak-seconds S] "
                   "[--only-cycles] [--no-multicall]\n");
      return 2;
    }
  }
  // The in-process engines log through std::cout; the table is printed
  // with stdio, so dropping the stream's buffer keeps only the table.
  std::cout.rdbuf(nullptr);

  plcsim::Options plcOptions;
  plcOptions.port = 0;
  plcsim::PlcSimulator plc(plcOptions);
  exiosim::Options exioOptions;
  exioOptions.port = 0;
  exioOptions.offerMulticall = offerMulticall;
  exiosim::ExioSimulator exio(exioOptions);
  std::string error;
  if (!plc.start() || !exio.start(&error)) {
    std::fprintf(stderr, "simulators failed to start: %s\n", error.c_str());
    return 1;
  }

  const double exioCallMs = bareExioCallMs(exio.url(), 3000);
  const double finsMs = bareFinsExchangeMs(plc.port(), 3000);
  std::printf("floors: bare external IO call %.3f ms, bare FINS exchange "
              "%.3f ms\n\n",
              exioCallMs, finsMs);

  std::printf("| %-52s | %-40s | %-16s | %-6s |\n", "measure", "figure",
              "floor or bound", "ratio");
  std::printf("|%s|%s|%s|%s|\n", std::string(54, '-').c_str(),
              std::string(42, '-').c_str(), std::string(18, '-').c_str(),
              std::string(8, '-').c_str());

  double cycle10 = 0;
  for (Split split : {Split::kHalf, Split::kPlcToRobot, Split::kRobotToPlc}) {
    for (int n : {10, 100, 1000}) {
      const CycleFigures f = measureCycle(plc, exio, n, split);
      if (n == 10 && split == Split::kHalf) cycle10 = f.medianMs;
      const std::string what = "cycle work, " + std::to_string(n) + ", " +
                               splitName(split) + " (median; mean)";
      printRow(what.c_str(), fmt("%.2f; %.2f ms", f.medianMs, f.meanMs),
               fmt("%.2f ms", f.floorMs), fmt("%.2f", f.medianMs / f.floorMs));
      const std::string per = "  per cycle";
      printRow(per.c_str(),
               fmt("%.1f frames, %.1f calls", f.framesPerCycle,
                   f.exioCallsPerCycle) +
                   fmt(" in %.1f requests", f.requestsPerCycle),
               "", "");
    }
  }
  if (onlyCycles) {
    return 0;
  }

  {
    FinsExIO engine(exio.url());
    engine.connect("127.0.0.1", plc.port(), 0, 0, 0, 0, 0, 0);
    for (int i = 0; i < 10; ++i) {
      engine.addMapping("DM" + std::to_string(i), "in" + std::to_string(i), "",
                        Int16, FinsExIO::PlcToRobot);
    }
    waitFor([&] { return engine.getMapState("in9") == 0; }, 10s);
    const double bound = 10.0 + cycle10 + 5.0;
    const Latency toRobot = measureLatency(
        300, [&](int m, int v) { plc.setWord("DM", m, v); },
        [&](int m, int v) { return exio.inputInt(m) == v; });
    printRow("latency PLC word -> robot input, 10 mappings",
             fmt("median %.2f, p99 %.2f ms", toRobot.medianMs, toRobot.p99Ms),
             fmt("p99 <= %.2f ms", bound),
             fmt("%.2f", toRobot.p99Ms / bound));
    for (int i = 0; i < 10; ++i) engine.removeMapping("in" + std::to_string(i));
    for (int i = 0; i < 10; ++i) {
      engine.addMapping("DM" + std::to_string(100 + i),
                        "out" + std::to_string(i), "", Int16,
                        FinsExIO::RobotToPlc);
    }
    waitFor([&] { return engine.getMapState("out9") == 0; }, 10s);
    const Latency toPlc = measureLatency(
        300, [&](int m, int v) { exio.setOutputInt(m, v); },
        [&](int m, int v) { return plc.word("DM", 100 + m) == v; });
    printRow("latency robot output -> PLC word, 10 mappings",
             fmt("median %.2f, p99 %.2f ms", toPlc.medianMs, toPlc.p99Ms),
             fmt("p99 <= %.2f ms", bound), fmt("%.2f", toPlc.p99Ms / bound));
  }
  {
    // 1,000 mappings, half each way. Five mappings share each robot
    // register; those from DM400 (PLC to robot) are the last of the batch
    // to write theirs, and every robot output reaches DM10000 + its index.
    FinsExIO engine(exio.url());
    engine.connect("127.0.0.1", plc.port(), 0, 0, 0, 0, 0, 0);
    addMappings(1000, [&](const std::string& address, const std::string& name,
                          FinsExIO::MappingDirection direction) {
      engine.addMapping(address, name, "", Int16, direction);
    });
    waitFor([&] { return engine.getMapState(registerName('p', 499)) == 0 &&
                         engine.getMapState(registerName('r', 499)) == 0; },
            10s);
    const double bound = 30.0;
    const Latency toRobot = measureLatency(
        300, [&](int m, int v) { plc.setWord("DM", 400 + m, v); },
        [&](int m, int v) { return exio.inputInt(m) == v; });
    printRow("latency PLC word -> robot input, 1,000 mappings",
             fmt("median %.2f, p99 %.2f ms", toRobot.medianMs, toRobot.p99Ms),
             fmt("p99 <= %.2f ms", bound), fmt("%.2f", toRobot.p99Ms / bound));
    const Latency toPlc = measureLatency(
        300, [&](int m, int v) { exio.setOutputInt(m, v); },
        [&](int m, int v) { return plc.word("DM", 10000 + m) == v; });
    printRow("latency robot output -> PLC word, 1,000 mappings",
             fmt("median %.2f, p99 %.2f ms", toPlc.medianMs, toPlc.p99Ms),
             fmt("p99 <= %.2f ms", bound), fmt("%.2f", toPlc.p99Ms / bound));
  }

  // The daemon side in a child process of its own, against a simulator that
  // keeps no frame log.
  plcsim::Options quietOptions;
  quietOptions.port = 0;
  quietOptions.record_frames = false;
  plcsim::PlcSimulator quietPlc(quietOptions);
  quietPlc.start();
  // The bare loop and the daemons run side by side over the same windows,
  // so that what disturbs this machine's CPU accounting (a shared virtual
  // machine's steal and interrupt time) falls on all of them alike; each
  // ratio is taken within a window, and the median of the windows shown.
  {
    Daemon bare(quietPlc.port(), exio.url(), "bare");
    Daemon idle(quietPlc.port(), exio.url(), "0");
    Daemon ten(quietPlc.port(), exio.url(), "10");
    const int windows = 5;
    std::vector<double> bareCpu, idleCpu, tenCpu, idleRatio, tenRatio;
    for (int w = 0; w < windows; ++w) {
      const double b0 = bare.cpuSeconds(), i0 = idle.cpuSeconds(),
                   t0 = ten.cpuSeconds();
      const auto start = Clock::now();
      std::this_thread::sleep_for(4s);
      const double seconds = msSince(start) / 1000.0;
      bareCpu.push_back((bare.cpuSeconds() - b0) / seconds * 100.0);
      idleCpu.push_back((idle.cpuSeconds() - i0) / seconds * 100.0);
      tenCpu.push_back((ten.cpuSeconds() - t0) / seconds * 100.0);
      idleRatio.push_back(idleCpu.back() / bareCpu.back());
      tenRatio.push_back(tenCpu.back() / bareCpu.back());
    }
    const double bareMedian = percentile(bareCpu, 50);
    printRow("daemon CPU, no mapping (median of 5 x 4 s)",
             fmt("%.2f %% of a core", percentile(idleCpu, 50)),
             fmt("bare loop %.2f %%", bareMedian),
             fmt("%.2f", percentile(idleRatio, 50)));
    printRow("daemon resident memory, no mapping",
             fmt("%.1f MiB", idle.rssKiB() / 1024.0), "", "");
    printRow("daemon CPU, 10 mappings (median of 5 x 4 s)",
             fmt("%.2f %% of a core", percentile(tenCpu, 50)),
             fmt("bare loop %.2f %%", bareMedian),
             fmt("%.2f", percentile(tenRatio, 50)));
  }
  {
    Daemon big(quietPlc.port(), exio.url(), "1000");
    std::this_thread::sleep_for(5s);
    const long start = big.rssKiB();
    long peak = start;
    long last = start;
    const auto soakStart = Clock::now();
    while (msSince(soakStart) < soakSeconds * 1000.0) {
      std::this_thread::sleep_for(std::min(10s, std::chrono::seconds(
                                                    soakSeconds)));
      last = big.rssKiB();
      peak = std::max(peak, last);
    }
    printRow("daemon resident memory, 1,000 mappings",
             fmt("%.1f MiB", start / 1024.0), "< 16 MiB",
             fmt("%.2f", start / 1024.0 / 16.0));
    const std::string soak =
        "  after " + std::to_string(soakSeconds) + " s (last; peak)";
    printRow(soak.c_str(), fmt("%.1f; %.1f MiB", last / 1024.0, peak / 1024.0),
             "no growth", fmt("%+.1f MiB", (last - start) / 1024.0));
  }
  return 0;
}
