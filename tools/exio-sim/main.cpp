// exio-sim [--port N] [--verbose] [--no-multicall]
//
// Serves the simulated external IO service until SIGINT, SIGTERM or the
// console command "quit"; reads console commands (see console.h) from
// standard input.

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <thread>

#include "tools/exio-sim/console.h"
#include "tools/exio-sim/exio_sim.h"

namespace {

void usage(std::ostream& out) {
  out << "usage: exio-sim [--port N] [--verbose] [--no-multicall]\n"
         "  --port N        TCP port on 127.0.0.1 (default "
      << exiosim::kDefaultPort
      << ")\n"
         "  --verbose       print every call answered\n"
         "  --no-multicall  answer system.multicall with \"no such method\",\n"
         "                  as a service without it does\n"
         "Reads commands from standard input; type help for the list.\n";
}

bool parsePort(const char* text, int* port) {
  char* end = nullptr;
  errno = 0;
  const long value = std::strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || value < 1 || value > 65535) {
    return false;
  }
  *port = static_cast<int>(value);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  exiosim::Options options;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--port") == 0 && i + 1 < argc) {
      if (!parsePort(argv[++i], &options.port)) {
        std::cerr << "exio-sim: bad port \"" << argv[i] << "\"\n";
        return 2;
      }
    } else if (std::strcmp(argv[i], "--verbose") == 0) {
      options.trace = &std::cout;
    } else if (std::strcmp(argv[i], "--no-multicall") == 0) {
      options.offerMulticall = false;
    } else if (std::strcmp(argv[i], "--help") == 0) {
      usage(std::cout);
      return 0;
    } else {
      usage(std::cerr);
      return 2;
    }
  }

  // Blocked before any thread starts, so that every thread inherits the
  // mask and the signals wait for sigwait below.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  exiosim::ExioSimulator sim(options);
  std::string error;
  if (!sim.start(&error)) {
    std::cerr << "exio-sim: " << error << "\n";
    return 1;
  }
  std::cout << "exio-sim: listening on " << sim.url() << std::endl;

  // Detached: at end of input it ends by itself, and at a signal the
  // process exits while it may still wait for a line.
  std::thread([&sim] {
    std::string line;
    while (std::getline(std::cin, line)) {
      if (!exiosim::runConsoleCommand(sim, line, std::cout)) {
        ::kill(::getpid(), SIGTERM);
        return;
      }
    }
  }).detach();

  int signal_number = 0;
  sigwait(&stop_signals, &signal_number);
  sim.stop();
  std::cout << "exio-sim: stopped" << std::endl;
  return 0;
}
