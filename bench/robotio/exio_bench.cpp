// Cost of one external IO call over loopback, the figure that bounds the
// synchronisation loop: each cycle makes one such call per mapping.
//
//   exio_bench [--calls N] [--fresh-calls N] [--url URL]
//
// Without --url it runs the external IO simulator in this process on an
// ephemeral port; with --url it measures against a running service (its
// int input register 0 must be free or held by "FINS_EX_IO").

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

// The client logs its claim; the benchmark's output is the table alone.
bool claimQuietly(ExternIOClient& client) {
  std::ostringstream sink;
  std::streambuf* const saved = std::cout.rdbuf(sink.rdbuf());
  const bool claimed = client.occupyInput(kOwner, 1, kIndex);
  std::cout.rdbuf(saved);
  return claimed;
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
  std::string url;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--calls") == 0 && i + 1 < argc) {
      calls = positive(argv[++i]);
    } else if (std::strcmp(argv[i], "--fresh-calls") == 0 && i + 1 < argc) {
      fresh_calls = positive(argv[++i]);
    } else if (std::strcmp(argv[i], "--url") == 0 && i + 1 < argc) {
      url = argv[++i];
    } else {
      std::fprintf(stderr,
                   "usage: exio_bench [--calls N] [--fresh-calls N] "
                   "[--url URL]\n");
      return 2;
    }
  }

  std::unique_ptr<exiosim::ExioSimulator> sim;
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
  }
  {
    ExternIOClient claimer(url);
    if (!claimQuietly(claimer)) {
      std::fprintf(stderr, "exio_bench: int input register %d not claimable\n",
                   kIndex);
      return 1;
    }
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

  return one.failures == 0 && each.failures == 0 ? 0 : 1;
}
