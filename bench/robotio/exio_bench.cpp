// Cost of one external IO call over loopback, the figure that bounds the
// synchronisation loop: each cycle makes one such call per mapping; and the
// cost of a whole cycle's register calls as one batch.
//
//   exio_bench [--calls N] [--fresh-calls N] [--batch-rounds N] [--url URL]
//
// Without --url it runs the external IO simulator in this process on an
// ephemeral port; with --url it measures against a running service (its
// int input registers 0..99 must be free or held by "FINS_EX_IO").
//
// The batch table times batches of 10, 100 and 1,000 register calls (half
// writes of int inputs, half reads of int outputs, over registers 0..99):
// as one callRegisters with system.multicall, as that many single calls,
// and as callRegisters against a service that refuses multicall (the
// fallback; in-process simulator only). --batch-rounds sets the batches
// timed per size (default: 20,000 calls' worth, at least 50). "cpu us" is
// the process's CPU time per batch: client and, without --url, simulator.

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "robotio/extern_io_client.h"
#include "tools/exio-sim/exio_sim.h"

namespace {

using Clock = std::chrono::steady_clock;

const char kOwner[] = "FINS_EX_IO";
constexpr int kIndex = 0;
constexpr int kWarmUp = 200;

struct Figures {
  double median_us;
  double p99_us;
  double mean_us;
  int failures;
};

Figures summarise(std::vector<double> us, int failures) {
  std::sort(us.begin(), us.end());
  double sum = 0;
  for (double v : us) sum += v;
  const auto at = [&](double q) {
    return us[std::min(us.size() - 1, static_cast<size_t>(q * us.size()))];
  };
  return {at(0.5), at(0.99), sum / us.size(), failures};
}

// Runs `action` with the client's log records dropped; the benchmark's
// output is the tables alone.
template <typename Action>
bool quietly(Action action) {
  std::ostringstream sink;
  std::streambuf* const saved = std::cout.rdbuf(sink.rdbuf());
  const bool result = action();
  std::cout.rdbuf(saved);
  return result;
}

// Claims the int input registers the benchmark writes.
bool claimQuietly(ExternIOClient& client) {
  return quietly([&] {
    for (int i = 0; i < 100; ++i) {
      if (!client.occupyInput(kOwner, 1, i)) return false;
    }
    return true;
  });
}

Figures reused(const std::string& url, int calls) {
  ExternIOClient client(url);
  for (int i = 0; i < kWarmUp; ++i) client.setInputIntData(kOwner, kIndex, i);
  std::vector<double> us;
  us.reserve(calls);
  int failures = 0;
  for (int i = 0; i < calls; ++i) {
    const auto start = Clock::now();
    const bool ok = client.setInputIntData(kOwner, kIndex, i);
    us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start)
                     .count());
    if (!ok) ++failures;
  }
  return summarise(std::move(us), failures);
}

// Each sample is the whole life of a client: construction, connection, one
// call, teardown.
Figures fresh(const std::string& url, int calls) {
  std::vector<double> us;
  us.reserve(calls);
  int failures = 0;
  for (int i = 0; i < calls; ++i) {
    const auto start = Clock::now();
    bool ok;
    {
      ExternIOClient client(url);
      ok = client.setInputIntData(kOwner, kIndex, i);
    }
    us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start)
                     .count());
    if (!ok) ++failures;
  }
  return summarise(std::move(us), failures);
}

void row(const char* name, int calls, const Figures& f,
         const std::string& connections) {
  std::printf("%-34s %7d %10.1f %10.1f %10.1f %12s %8d\n", name, calls,
              f.median_us, f.p99_us, f.mean_us, connections.c_str(),
              f.failures);
}

constexpr int kBatchSizes[] = {10, 100, 1000};
constexpr int kBatchRegisters = 100;
constexpr int kBatchWarmUp = 5;

std::vector<ExternIOClient::RegisterCall> batchOf(int size, int round) {
  std::vector<ExternIOClient::RegisterCall> calls;
  calls.reserve(size);
  for (int i = 0; i < size; ++i) {
    const int index = i % kBatchRegisters;
    calls.push_back(i % 2 == 0
                        ? ExternIOClient::RegisterCall::writeInputInt(index,
                                                                      round)
                        : ExternIOClient::RegisterCall::readOutputInt(index));
  }
  return calls;
}

// The same calls, one request each, through the single operations. A read
// tells no failure by its value: the call statistics count them.
int singly(ExternIOClient& client,
           std::vector<ExternIOClient::RegisterCall>& calls) {
  const uint64_t failed = client.callStats().failures;
  int refused = 0;
  for (ExternIOClient::RegisterCall& c : calls) {
    if (c.kind == ExternIOClient::RegisterCall::Kind::kWriteInputInt) {
      if (!client.setInputIntData(kOwner, c.index, c.intValue)) ++refused;
    } else {
      c.intValue = client.getOutputIntData(c.index);
    }
  }
  // A write that failed is counted by both.
  return std::max(refused,
                  static_cast<int>(client.callStats().failures - failed));
}

int batched(ExternIOClient& client,
            std::vector<ExternIOClient::RegisterCall>& calls) {
  client.callRegisters(kOwner, calls);
  int failures = 0;
  for (const ExternIOClient::RegisterCall& c : calls) {
    if (c.outcome != ExternIOClient::Outcome::kAnswered) ++failures;
  }
  return failures;
}

// CPU time of the whole process (client and in-process simulator) so far.
double processCpuUs() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return t.tv_sec * 1e6 + t.tv_nsec / 1e3;
}

// Times `rounds` batches of `size` calls, each made by `run`; the figures
// are per batch, *cpu_us the process's CPU time per batch (which, unlike
// the wall time, a busy machine does not inflate). Failures count failed
// calls.
template <typename Run>
Figures timeBatches(ExternIOClient& client, int size, int rounds, Run run,
                    double* cpu_us) {
  for (int r = 0; r < kBatchWarmUp; ++r) {
    std::vector<ExternIOClient::RegisterCall> calls = batchOf(size, r);
    run(client, calls);
  }
  std::vector<double> us;
  us.reserve(rounds);
  int failures = 0;
  const double cpu_start = processCpuUs();
  for (int r = 0; r < rounds; ++r) {
    std::vector<ExternIOClient::RegisterCall> calls = batchOf(size, r);
    const auto start = Clock::now();
    failures += run(client, calls);
    us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start)
                     .count());
  }
  *cpu_us = (processCpuUs() - cpu_start) / rounds;
  return summarise(std::move(us), failures);
}

// The batch table; `refusing`, when not null, is a simulator without
// multicall for the fallback rows. Returns the failed calls.
int batchTable(const std::string& url, exiosim::ExioSimulator* refusing,
               int rounds_option) {
  std::printf("\nbatches of register calls (half setInputIntData, half "
              "getOutputIntData), times per batch\n");
  std::printf("%-34s %7s %7s %10s %10s %10s %10s %8s\n", "mode", "calls",
              "batches", "median us", "p99 us", "mean us", "cpu us", "failed");
  ExternIOClient client(url);
  const bool multicall = quietly([&] { return client.probeMulticall(); });
  std::unique_ptr<ExternIOClient> fallback;
  if (refusing != nullptr) {
    fallback = std::make_unique<ExternIOClient>(refusing->url());
    quietly([&] { return fallback->probeMulticall(); });
  }
  int failures = 0;
  const auto line = [&](const char* mode, int size, int rounds, auto run,
                        ExternIOClient& c) {
    double cpu_us = 0;
    const Figures f = timeBatches(c, size, rounds, run, &cpu_us);
    std::printf("%-34s %7d %7d %10.1f %10.1f %10.1f %10.1f %8d\n", mode, size,
                rounds, f.median_us, f.p99_us, f.mean_us, cpu_us, f.failures);
    failures += f.failures;
  };
  for (const int size : kBatchSizes) {
    const int rounds =
        rounds_option > 0 ? rounds_option : std::max(50, 20000 / size);
    if (multicall) {
      line("one batch, system.multicall", size, rounds, batched, client);
    }
    line("single calls", size, rounds, singly, client);
    if (fallback) {
      line("one batch, multicall refused", size, rounds, batched, *fallback);
    }
  }
  if (!multicall) std::printf("(the service does not offer multicall)\n");
  return failures;
}

int positive(const char* text) {
  const int n = std::atoi(text);
  if (n <= 0) {
    std::fprintf(stderr, "exio_bench: bad count \"%s\"\n", text);
    std::exit(2);
  }
  return n;
}

}  // namespace

int main(int argc, char** argv) {
  int calls = 10000;
  int fresh_calls = 2000;
  int batch_rounds = 0;
  std::string url;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--calls") == 0 && i + 1 < argc) {
      calls = positive(argv[++i]);
    } else if (std::strcmp(argv[i], "--fresh-calls") == 0 && i + 1 < argc) {
      fresh_calls = positive(argv[++i]);
    } else if (std::strcmp(argv[i], "--batch-rounds") == 0 && i + 1 < argc) {
      batch_rounds = positive(argv[++i]);
    } else if (std::strcmp(argv[i], "--url") == 0 && i + 1 < argc) {
      url = argv[++i];
    } else {
      std::fprintf(stderr,
                   "usage: exio_bench [--calls N] [--fresh-calls N] "
                   "[--batch-rounds N] [--url URL]\n");
      return 2;
    }
  }

  std::unique_ptr<exiosim::ExioSimulator> sim;
  std::unique_ptr<exiosim::ExioSimulator> refusing;
  if (url.empty()) {
    exiosim::Options options;
    options.port = 0;
    sim = std::make_unique<exiosim::ExioSimulator>(options);
    std::string error;
    if (!sim->start(&error)) {
      std::fprintf(stderr, "exio_bench: %s\n", error.c_str());
      return 1;
    }
    url = sim->url();
    options.offerMulticall = false;
    refusing = std::make_unique<exiosim::ExioSimulator>(options);
    if (!refusing->start(&error)) {
      std::fprintf(stderr, "exio_bench: %s\n", error.c_str());
      return 1;
    }
  }
  {
    ExternIOClient claimer(url);
    if (!claimQuietly(claimer)) {
      std::fprintf(stderr, "exio_bench: int input registers not claimable\n");
      return 1;
    }
  }
  if (refusing) {
    ExternIOClient claimer(refusing->url());
    if (!claimQuietly(claimer)) return 1;
  }

  std::printf("external IO call setInputIntData over loopback, %s%s\n",
              url.c_str(), sim ? " (simulator in process)" : "");
  std::printf("%-34s %7s %10s %10s %10s %12s %8s\n", "client", "calls",
              "median us", "p99 us", "mean us", "connections", "failed");

  const uint64_t before_reuse = sim ? sim->connectionsSeen() : 0;
  const Figures one = reused(url, calls);
  const std::string reuse_connections =
      sim ? std::to_string(sim->connectionsSeen() - before_reuse) : "-";
  row("one client (connection reused)", calls, one, reuse_connections);

  const uint64_t before_fresh = sim ? sim->connectionsSeen() : 0;
  const Figures each = fresh(url, fresh_calls);
  const std::string fresh_connections =
      sim ? std::to_string(sim->connectionsSeen() - before_fresh) : "-";
  row("new client per call", fresh_calls, each, fresh_connections);

  const int batch_failures = batchTable(url, refusing.get(), batch_rounds);

  return one.failures == 0 && each.failures == 0 && batch_failures == 0 ? 0
                                                                       : 1;
}
