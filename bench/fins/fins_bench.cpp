// Benchmark of the FINS client library on loopback, in one run:
//   (a) the floor: a raw TCP round trip of a 30-byte request and a 30-byte response between two
//       plain blocking sockets (TCP_NODELAY on both ends);
//   (b) one library exchange: a one-item multiple memory area read against the PLC simulator;
//   (c) a 1,000-item multiple memory area read: its time and its number of frames (42 expected).
// (a) and (b) are measured interleaved, one of each per iteration, so that both meet the same
// scheduling conditions; and twice, with the thread placement fixed: client and peers on one CPU,
// then (with two CPUs or more) the client on one CPU and both peers on another. An unpinned run
// mixes the two at random (about 5 us against 30 us on loopback here), which would make the ratio
// depend on where the scheduler happened to put each peer. Prints medians and 99th percentiles.
//
// Usage: fins_bench [iterations]   (default 5000, after 500 warm-up iterations)
#include <arpa/inet.h>
#include <sched.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "fins/fins.h"
#include "tools/plc-sim/plc_sim.h"

namespace {

using Clock = std::chrono::steady_clock;

double micros(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

struct Stats {
  double median, p99, min;
};

Stats stats(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  auto at = [&](double q) { return v[std::min(v.size() - 1, static_cast<size_t>(q * (v.size() - 1) + 0.5))]; };
  return {at(0.5), at(0.99), v.front()};
}

bool recvAll(int fd, uint8_t* buf, size_t n) {
  size_t got = 0;
  while (got < n) {
    ssize_t r = recv(fd, buf + got, n - got, 0);
    if (r <= 0) return false;
    got += static_cast<size_t>(r);
  }
  return true;
}

void noDelay(int fd) {
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

// A plain echo peer for the raw round trip: 30 bytes in, 30 bytes out.
class EchoPeer {
 public:
  EchoPeer() {
    listen_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(listen_, 1) != 0) {
      std::perror("echo bind");
      std::exit(1);
    }
    socklen_t len = sizeof a;
    getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] {
      int fd = accept(listen_, nullptr, nullptr);
      noDelay(fd);
      uint8_t buf[30];
      while (recvAll(fd, buf, sizeof buf))
        if (send(fd, buf, sizeof buf, MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof buf)) break;
      close(fd);
    });
  }
  ~EchoPeer() {
    thread_.join();
    close(listen_);
  }
  uint16_t port() const { return port_; }

 private:
  int listen_;
  uint16_t port_;
  std::thread thread_;
};

struct Placement {
  const char* name;
  int client_cpu;  // -1: leave to the scheduler
  int peer_cpu;
};

bool pin(int cpu) {
  if (cpu < 0) return true;
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(cpu, &set);
  return sched_setaffinity(0, sizeof set, &set) == 0;
}

void unpin() {
  cpu_set_t set;
  CPU_ZERO(&set);
  for (unsigned i = 0; i < std::max(1u, std::thread::hardware_concurrency()); ++i) CPU_SET(i, &set);
  sched_setaffinity(0, sizeof set, &set);
}

// Frames the simulator received since its last clearReceivedFrames().
size_t framesSinceClear(const plcsim::PlcSimulator& sim) {
  size_t n = 0;
  while (n < 10000 && sim.waitForFrames(n + 1, std::chrono::milliseconds(0))) ++n;
  return n;
}

struct Result {
  Stats raw, lib, big;
  size_t frames;
};

// Runs (a), (b) and (c) with the simulator's and the echo peer's threads on peer_cpu and the
// client on client_cpu (threads inherit the affinity of the thread that creates them).
bool run(const Placement& where, int iterations, int warmup, int big_runs, Result* out) {
  if (!pin(where.peer_cpu)) return false;
  plcsim::Options options;
  options.port = 0;
  options.model = "CJ2M-CPU33";
  options.record_frames = false;  // frames are still counted (framesSinceClear)
  plcsim::PlcSimulator sim(options);
  if (!sim.start()) {
    std::fprintf(stderr, "simulator did not start\n");
    return false;
  }
  EchoPeer echo;
  int err = -1;
  fins_sys_tp* sys = finslib_tcp_connect(nullptr, "127.0.0.1", sim.port(), 0, 0, 0, 0, 0, 0, &err, -1);
  fins_cpudata_tp cpu;
  if (sys == nullptr || err != 0 || finslib_cpu_unit_data_read(sys, &cpu) != 0) {
    std::fprintf(stderr, "library connect failed: 0x%04X\n", err);
    return false;
  }
  int raw = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(echo.port());
  if (connect(raw, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    std::perror("connect");
    return false;
  }
  noDelay(raw);
  if (!pin(where.client_cpu)) return false;

  sim.setWord("DM", 100, 0x1234);
  fins_multidata_tp one;
  std::memset(&one, 0, sizeof one);
  std::strcpy(one.address, "DM100");
  one.type = FINS_DATA_TYPE_UINT16;

  std::vector<double> raw_us, lib_us;
  uint8_t msg[30] = {'F', 'I', 'N', 'S'};
  for (int i = -warmup; i < iterations; ++i) {
    auto t0 = Clock::now();
    if (send(raw, msg, sizeof msg, MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof msg) || !recvAll(raw, msg, sizeof msg)) {
      std::fprintf(stderr, "raw round trip failed\n");
      return false;
    }
    auto t1 = Clock::now();
    int rc = finslib_multiple_memory_area_read(sys, &one, 1);
    auto t2 = Clock::now();
    if (rc != 0 || one.value.uint16 != 0x1234) {
      std::fprintf(stderr, "library read failed: 0x%04X\n", rc);
      return false;
    }
    if (i >= 0) {
      raw_us.push_back(micros(t1 - t0));
      lib_us.push_back(micros(t2 - t1));
    }
    if (i % 1000 == 0) sim.clearReceivedFrames();
  }
  close(raw);

  std::vector<fins_multidata_tp> items(1000);
  for (size_t i = 0; i < items.size(); ++i) {
    std::memset(&items[i], 0, sizeof items[i]);
    std::string address = "DM" + std::to_string(i);
    std::memcpy(items[i].address, address.c_str(), address.size() + 1);
    items[i].type = FINS_DATA_TYPE_UINT16;
  }
  std::vector<double> big_us;
  for (int i = -10; i < big_runs; ++i) {
    sim.clearReceivedFrames();
    auto t0 = Clock::now();
    int rc = finslib_multiple_memory_area_read(sys, items.data(), items.size());
    auto t1 = Clock::now();
    if (rc != 0) {
      std::fprintf(stderr, "1,000-item read failed: 0x%04X\n", rc);
      return false;
    }
    out->frames = framesSinceClear(sim);
    if (i >= 0) big_us.push_back(micros(t1 - t0));
  }
  finslib_disconnect(sys);
  sim.stop();
  unpin();
  out->raw = stats(raw_us);
  out->lib = stats(lib_us);
  out->big = stats(big_us);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const int iterations = argc > 1 ? std::max(100, std::atoi(argv[1])) : 5000;
  const int warmup = 500;
  const int big_runs = std::max(50, iterations / 25);
  const unsigned cpus = std::thread::hardware_concurrency();

  std::vector<Placement> placements = {{"client and peers on one CPU", 0, 0}};
  if (cpus >= 2) placements.push_back({"client and peers on two CPUs", 0, 1});

  std::printf("FINS client library on loopback against the PLC simulator in process (%u CPUs)\n", cpus);
  std::printf("(a) and (b) interleaved, %d iterations after %d warm-up; (c) %d runs after 10 warm-up\n", iterations,
              warmup, big_runs);
  bool ok = true;
  for (const Placement& where : placements) {
    Result r{};
    if (!run(where, iterations, warmup, big_runs, &r)) return 1;
    double ratio = r.lib.median / r.raw.median;
    std::printf("\n%s\n\n", where.name);
    std::printf("| case                                            | median us | p99 us  |\n");
    std::printf("|-------------------------------------------------|-----------|---------|\n");
    std::printf("| (a) raw TCP round trip, 30-byte request/reply   | %9.1f | %7.1f |\n", r.raw.median, r.raw.p99);
    std::printf("| (b) library, one-item multiple memory area read | %9.1f | %7.1f |\n", r.lib.median, r.lib.p99);
    std::printf("| (c) library, 1,000-item read, %2zu frames         | %9.1f | %7.1f |\n", r.frames, r.big.median,
                r.big.p99);
    std::printf("\nratio (b)/(a) of the medians: %.2f (target <= 1.5: %s); frames for 1,000 items: %zu (expected 42: %s)\n",
                ratio, ratio <= 1.5 ? "met" : "missed", r.frames, r.frames == 42 ? "met" : "missed");
    ok = ok && r.frames == 42;
  }
  return ok ? 0 : 1;
}
