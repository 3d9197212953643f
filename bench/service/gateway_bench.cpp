// Throughput and latency of the daemon's XML-RPC front under 1, 4, 16 and
// 64 concurrent keep-alive clients on loopback, beside the floor: a trivial
// method on a bare server built with the daemon's own settings, measured in
// the same run.
//
//   gateway_bench [--seconds S] [--rounds R]
//
// Everything runs in this process on ephemeral loopback ports: the PLC and
// external IO simulators, an engine connected to them with one PLC-to-robot
// mapping of DM100, the gateway's dispatcher of 47 methods behind a server
// with FinsXmlRpc::serverOptions, and the floor server made the same way.
// The clients speak HTTP/1.1 over plain sockets with prebuilt requests, so
// that the figures are the servers' and not an XML-RPC client library's;
// they keep their connections alive as far as the server allows and
// reconnect when it closes them.
//
// Workloads, each a cell per client count, interleaved round by round:
//   floor     "ping" on the bare server (answers int 0)
//   getState  the connection state
//   readInt16 "memoryAreaReadInt16" of DM100, answered from the mapping's
//             kept value
// Each cell reports requests per second (all clients together) and the
// median, p99 and maximum time of one request; the figures are the median
// over the rounds, but the maximum, which is the largest of any round.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <iterator>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <xmlrpc-c/base.hpp>

#include "exio/fins_exio.h"
#include "rpcwire/dispatcher.h"
#include "service/fins_xmlrpc.h"
#include "service/rpc_server.h"
#include "tools/exio-sim/exio_sim.h"
#include "tools/plc-sim/plc_sim.h"

namespace {

using Clock = std::chrono::steady_clock;

const int kClientCounts[] = {1, 4, 16, 64};

// The floor's method: as little work as an XML-RPC method can do.
class Ping : public xmlrpc_c::method {
 public:
  void execute(xmlrpc_c::paramList const& /*params*/,
               xmlrpc_c::value* result) override {
    *result = xmlrpc_c::value_int(0);
  }
};

// A server with the daemon's settings, running on a thread of its own
// until destroyed.
class RunningServer {
 public:
  RunningServer(const rpcwire::Dispatcher& dispatcher, unsigned port)
      : port_(port),
        processor_(dispatcher),
        server_(new rpcserver::RpcServer(FinsXmlRpc::serverOptions(port),
                                         &processor_)) {
    thread_ = std::thread([this] { server_->run(); });
  }
  ~RunningServer() {
    server_->terminate();
    thread_.join();
  }
  RunningServer(const RunningServer&) = delete;
  RunningServer& operator=(const RunningServer&) = delete;

  unsigned port() const { return port_; }

 private:
  const unsigned port_;
  rpcserver::DispatcherProcessor processor_;
  std::unique_ptr<rpcserver::RpcServer> server_;
  std::thread thread_;
};

// A port nobody listens on right now; the server binds it itself, as the
// daemon binds 9601.
unsigned freePort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof(address);
  if (fd < 0 ||
      ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) !=
          0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) !=
          0) {
    throw std::runtime_error("no free port");
  }
  ::close(fd);
  return ntohs(address.sin_port);
}

std::string httpRequest(unsigned port, const std::string& method,
                        const std::string& params) {
  const std::string body = "<?xml version=\"1.0\"?><methodCall><methodName>" +
                           method + "</methodName><params>" + params +
                           "</params></methodCall>";
  std::ostringstream out;
  out << "POST /RPC2 HTTP/1.1\r\nHost: 127.0.0.1:" << port
      << "\r\nUser-Agent: gateway_bench\r\nContent-Type: text/xml\r\n"
         "Content-Length: "
      << body.size() << "\r\n\r\n"
      << body;
  return out.str();
}

// One keep-alive HTTP client: sends a prebuilt request and reads the whole
// response, reconnecting when the server has closed the connection.
class HttpClient {
 public:
  explicit HttpClient(unsigned port) : port_(port) {}
  ~HttpClient() { closeSocket(); }
  HttpClient(const HttpClient&) = delete;
  HttpClient& operator=(const HttpClient&) = delete;

  // The response body; throws std::runtime_error on a transport failure.
  std::string call(const std::string& request) {
    for (int attempt = 0; attempt < 2; ++attempt) {
      if (fd_ < 0) openSocket();
      if (sendAll(request) && readResponse()) return body_;
      // A kept-alive connection the server had already given up.
      closeSocket();
    }
    throw std::runtime_error("the server closed the connection twice");
  }

 private:
  void openSocket() {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    const int one = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port_));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&address),
                  sizeof(address)) != 0) {
      throw std::runtime_error(std::string("connect: ") + strerror(errno));
    }
    buffer_.clear();
  }

  void closeSocket() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

  bool sendAll(const std::string& data) {
    size_t sent = 0;
    while (sent < data.size()) {
      const ssize_t n =
          ::send(fd_, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) return false;
      sent += static_cast<size_t>(n);
    }
    return true;
  }

  bool fill() {
    char chunk[4096];
    const ssize_t n = ::recv(fd_, chunk, sizeof(chunk), 0);
    if (n <= 0) return false;
    buffer_.append(chunk, static_cast<size_t>(n));
    return true;
  }

  // Reads one response into body_; false when the connection was closed
  // before it was complete.
  bool readResponse() {
    size_t headerEnd;
    while ((headerEnd = buffer_.find("\r\n\r\n")) == std::string::npos) {
      if (!fill()) return false;
    }
    std::string header = buffer_.substr(0, headerEnd);
    std::transform(header.begin(), header.end(), header.begin(), ::tolower);
    const size_t field = header.find("content-length:");
    if (field == std::string::npos) {
      throw std::runtime_error("response without Content-Length");
    }
    const size_t length = std::strtoul(header.c_str() + field + 15, nullptr,
                                       10);
    const size_t total = headerEnd + 4 + length;
    while (buffer_.size() < total) {
      if (!fill()) return false;
    }
    body_ = buffer_.substr(headerEnd + 4, length);
    buffer_.erase(0, total);
    if (header.find("connection: close") != std::string::npos) closeSocket();
    return true;
  }

  const unsigned port_;
  int fd_ = -1;
  std::string buffer_;
  std::string body_;
};

struct Workload {
  const char* name;
  unsigned port;
  std::string request;
  std::string expected;  // a piece every correct answer holds
};

struct Cell {
  double requestsPerSecond;
  double medianMicros;
  double p99Micros;
  double maxMicros;
};

Cell measure(const Workload& workload, int clients, double seconds) {
  std::atomic<bool> go{false};
  std::atomic<bool> stop{false};
  std::atomic<bool> failed{false};
  std::vector<std::vector<uint32_t>> latencies(clients);
  std::vector<std::thread> threads;
  for (int c = 0; c < clients; ++c) {
    threads.emplace_back([&, c] {
      HttpClient client(workload.port);
      std::vector<uint32_t>& mine = latencies[c];
      mine.reserve(1 << 20);
      try {
        // One correct answer before the clock runs.
        if (client.call(workload.request).find(workload.expected) ==
            std::string::npos) {
          failed = true;
        }
        while (!go) std::this_thread::yield();
        while (!stop) {
          const auto start = Clock::now();
          client.call(workload.request);
          mine.push_back(static_cast<uint32_t>(
              std::chrono::duration_cast<std::chrono::nanoseconds>(
                  Clock::now() - start)
                  .count()));
        }
      } catch (const std::exception& e) {
        std::cerr << workload.name << ": " << e.what() << "\n";
        failed = true;
      }
    });
  }
  const auto start = Clock::now();
  go = true;
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  stop = true;
  const double elapsed =
      std::chrono::duration<double>(Clock::now() - start).count();
  for (std::thread& t : threads) t.join();
  if (failed) {
    throw std::runtime_error(std::string(workload.name) +
                             ": wrong answer or transport failure");
  }
  std::vector<uint32_t> all;
  for (const auto& l : latencies) all.insert(all.end(), l.begin(), l.end());
  std::sort(all.begin(), all.end());
  const size_t p99 = std::min(all.size() - 1, all.size() * 99 / 100);
  return {all.size() / elapsed, all[all.size() / 2] / 1000.0,
          all[p99] / 1000.0, all.back() / 1000.0};
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

template <typename Predicate>
bool waitFor(Predicate done) {
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while (!done()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

void usage() {
  std::cerr << "usage: gateway_bench [--seconds S] [--rounds R]\n";
  std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = 2.0;
  int rounds = 3;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--seconds" && i + 1 < argc) {
      seconds = std::atof(argv[++i]);
    } else if (arg == "--rounds" && i + 1 < argc) {
      rounds = std::atoi(argv[++i]);
    } else {
      usage();
    }
  }
  if (seconds <= 0 || rounds <= 0) usage();

  // The engine logs every connect and claim; the output is the table.
  std::ostringstream log;
  std::streambuf* const savedCout = std::cout.rdbuf(log.rdbuf());

  plcsim::Options plcOptions;
  plcOptions.port = 0;
  plcOptions.record_frames = false;
  plcsim::PlcSimulator plc(plcOptions);
  exiosim::Options exioOptions;
  exioOptions.port = 0;
  exiosim::ExioSimulator exio(exioOptions);
  if (!plc.start() || !exio.start()) {
    std::cerr << "cannot start the simulators\n";
    return 1;
  }
  plc.setWord("DM", 100, 1234);
  FinsExIO engine(exio.url());
  engine.connect("127.0.0.1", plc.port(), 0, 0, 0, 0, 0, 0);
  engine.addMapping("DM100", "in1", "", Int16, FinsExIO::PlcToRobot);
  if (!waitFor([&] { return engine.getMapState("in1") == 0; })) {
    std::cout.rdbuf(savedCout);
    std::cerr << "the mapping of DM100 never became good (state "
              << engine.getMapState("in1") << ")\n";
    return 1;
  }

  rpcwire::Dispatcher gatewayMethods;
  FinsXmlRpc::addMethods(&gatewayMethods, &engine);
  rpcwire::Dispatcher floorMethods;
  floorMethods.add("ping", xmlrpc_c::methodPtr(new Ping));
  RunningServer gateway(gatewayMethods, freePort());
  RunningServer floor(floorMethods, freePort());

  const std::string stringParam =
      "<param><value><string>DM100</string></value></param>";
  const Workload workloads[] = {
      {"floor (ping)", floor.port(), httpRequest(floor.port(), "ping", ""),
       "<int>0</int>"},
      {"getState", gateway.port(),
       httpRequest(gateway.port(), "getState", ""), "<int>4</int>"},
      {"readInt16 (mapped)", gateway.port(),
       httpRequest(gateway.port(), "memoryAreaReadInt16", stringParam),
       "<int>1234</int>"},
  };
  constexpr int kWorkloads = sizeof(workloads) / sizeof(workloads[0]);

  // [client count][workload] -> one figure per round.
  std::vector<std::vector<std::vector<Cell>>> cells(
      std::size(kClientCounts), std::vector<std::vector<Cell>>(kWorkloads));
  try {
    for (int round = 0; round < rounds; ++round) {
      for (size_t c = 0; c < std::size(kClientCounts); ++c) {
        for (int w = 0; w < kWorkloads; ++w) {
          cells[c][w].push_back(
              measure(workloads[w], kClientCounts[c], seconds));
        }
      }
    }
  } catch (const std::exception& e) {
    std::cout.rdbuf(savedCout);
    std::cerr << e.what() << "\n";
    return 1;
  }
  std::cout.rdbuf(savedCout);

  std::printf("%d round(s) of %.1f s per cell; median over the rounds\n\n",
              rounds, seconds);
  std::printf("%-8s %-20s %11s %10s %9s %9s %14s %12s\n", "clients",
              "workload", "requests/s", "median us", "p99 us", "max us",
              "rate vs floor", "p99 vs floor");
  for (size_t c = 0; c < std::size(kClientCounts); ++c) {
    double floorRate = 0;
    double floorP99 = 0;
    for (int w = 0; w < kWorkloads; ++w) {
      std::vector<double> rates;
      std::vector<double> medians;
      std::vector<double> p99s;
      double worst = 0;
      for (const Cell& cell : cells[c][w]) {
        rates.push_back(cell.requestsPerSecond);
        medians.push_back(cell.medianMicros);
        p99s.push_back(cell.p99Micros);
        worst = std::max(worst, cell.maxMicros);
      }
      const double rate = median(rates);
      const double p99 = median(p99s);
      if (w == 0) {
        floorRate = rate;
        floorP99 = p99;
      }
      std::printf("%-8d %-20s %11.0f %10.0f %9.0f %9.0f %13.2fx %11.2fx\n",
                  kClientCounts[c], workloads[w].name, rate, median(medians),
                  p99, worst, floorRate / rate, p99 / floorP99);
    }
  }
  return 0;
}
