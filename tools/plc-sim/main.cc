// fins-plc-sim: serves a simulated OMRON PLC over FINS/TCP and FINS/UDP until SIGINT or
// SIGTERM. Memory can be watched and changed while it runs with line
// commands on standard input (type "help").

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

#include "tools/plc-sim/plc_sim.h"

namespace {

int signal_pipe[2] = {-1, -1};

void onSignal(int) {
  const int saved = errno;
  const char byte = 1;
  if (::write(signal_pipe[1], &byte, 1) < 0) {
    // Nothing to do: a byte is already waiting if the pipe is full.
  }
  errno = saved;
}

void usage(FILE* out) {
  std::fprintf(out,
               "usage: fins-plc-sim [--port N] [--bind ADDRESS] [--udp | --no-udp] [--model TEXT]\n"
               "                    [--cpu-version TEXT] [--server-node N] [--client-node N]\n"
               "                    [--long-cpu-data] [--answer-delay-ms N] [--verbose]\n"
               "Serves a simulated OMRON PLC over FINS/TCP and FINS/UDP until interrupted.\n"
               "  --port N          TCP and UDP port (default 9600; 0 picks a free one)\n"
               "  --bind ADDRESS    IPv4 address to listen on (default 127.0.0.1)\n"
               "  --udp, --no-udp   serve FINS/UDP on the same port, or not (default on)\n"
               "  --model TEXT      CPU model; CV... gives the CV family, anything else\n"
               "                    the CS/CJ/CP family (default CJ2M-CPU33)\n"
               "  --cpu-version T   CPU version text (default 02.00)\n"
               "  --server-node N   the PLC's own FINS node, over TCP and UDP (default 10)\n"
               "  --client-node N   node given to the first client asking for one\n"
               "                    (default 20)\n"
               "  --long-cpu-data   answer CPU unit data read with 159 data bytes\n"
               "  --answer-delay-ms N\n"
               "                    answer each FINS command N ms after it arrived, as a\n"
               "                    real PLC takes its time (0..10000, default 0)\n"
               "  --verbose         print every frame received\n");
}

// Decimal, or hexadecimal after "0x".
bool parseNumber(const char* text, unsigned long max, unsigned long* out) {
  if (text == nullptr || *text == '\0') return false;
  const bool hex = text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  char* end = nullptr;
  errno = 0;
  const unsigned long v = std::strtoul(text, &end, hex ? 16 : 10);
  if (errno != 0 || *end != '\0' || v > max || text[0] == '-') return false;
  *out = v;
  return true;
}

// An address as users write it: area letters, word number, optional bit
// after a full stop ("DM100", "W3.15", "EM0").
struct Address {
  std::string area;
  unsigned long word = 0;
  bool has_bit = false;
  unsigned long bit = 0;
};

bool parseAddress(const std::string& text, Address* out) {
  size_t i = 0;
  while (i < text.size() && std::isalpha(static_cast<unsigned char>(text[i]))) {
    out->area += static_cast<char>(std::toupper(static_cast<unsigned char>(text[i])));
    ++i;
  }
  const size_t dot = text.find('.', i);
  const std::string word = text.substr(i, dot == std::string::npos ? std::string::npos : dot - i);
  if (out->area.empty() || !parseNumber(word.c_str(), 0xFFFFFFFFul, &out->word)) return false;
  if (dot != std::string::npos) {
    out->has_bit = true;
    if (!parseNumber(text.c_str() + dot + 1, 15, &out->bit)) return false;
  }
  return true;
}

void handleLine(plcsim::PlcSimulator* sim, const std::string& line) {
  char verb[16] = {0};
  char where[64] = {0};
  char value[32] = {0};
  const int n = std::sscanf(line.c_str(), "%15s %63s %31s", verb, where, value);
  if (n <= 0) return;
  const std::string command = verb;
  if (command == "help") {
    std::printf(
        "get ADDRESS           print a word (DM100) or a bit (W3.15)\n"
        "set ADDRESS VALUE     change it (decimal or 0x hex; bits take 0 or 1)\n"
        "force ADDRESS MASK    set the forced-status word of a CIO/W/H word\n"
        "EM0 is the current EM bank number: \"set EM0 2\" selects bank 2\n");
    std::fflush(stdout);
    return;
  }
  Address a;
  if (n < 2 || !parseAddress(where, &a)) {
    std::printf("error: give an address such as DM100 or W3.15 (type help)\n");
    std::fflush(stdout);
    return;
  }
  try {
    unsigned long v = 0;
    const uint32_t word = static_cast<uint32_t>(a.word);
    if (command == "get" && n == 2) {
      if (a.has_bit) {
        std::printf("%s = %d\n", where, sim->bit(a.area, word, static_cast<unsigned>(a.bit)) ? 1 : 0);
      } else {
        const unsigned w = sim->word(a.area, word);
        std::printf("%s = %u (0x%04X)\n", where, w, w);
      }
    } else if (command == "set" && n == 3 && parseNumber(value, a.has_bit ? 1 : 0xFFFF, &v)) {
      if (a.has_bit) {
        sim->setBit(a.area, word, static_cast<unsigned>(a.bit), v != 0);
      } else {
        sim->setWord(a.area, word, static_cast<uint16_t>(v));
      }
      std::printf("ok\n");
    } else if (command == "force" && n == 3 && !a.has_bit && parseNumber(value, 0xFFFF, &v)) {
      sim->setForced(a.area, word, static_cast<uint16_t>(v));
      std::printf("ok\n");
    } else {
      std::printf("error: unknown command or bad value (type help)\n");
    }
  } catch (const std::out_of_range& e) {
    std::printf("error: %s\n", e.what());
  }
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  plcsim::Options options;
  options.record_frames = false;  // a long run must not grow without bound
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const char* next = i + 1 < argc ? argv[i + 1] : nullptr;
    unsigned long v = 0;
    if (arg == "--help" || arg == "-h") {
      usage(stdout);
      return 0;
    } else if (arg == "--port" && parseNumber(next, 65535, &v)) {
      options.port = static_cast<uint16_t>(v);
      ++i;
    } else if (arg == "--bind" && next != nullptr) {
      options.bind_address = next;
      ++i;
    } else if (arg == "--udp") {
      options.udp = true;
    } else if (arg == "--no-udp") {
      options.udp = false;
    } else if (arg == "--model" && next != nullptr) {
      options.model = next;
      ++i;
    } else if (arg == "--cpu-version" && next != nullptr) {
      options.version = next;
      ++i;
    } else if (arg == "--server-node" && parseNumber(next, 254, &v) && v != 0) {
      options.server_node = static_cast<uint8_t>(v);
      ++i;
    } else if (arg == "--client-node" && parseNumber(next, 254, &v) && v != 0) {
      options.first_client_node = static_cast<uint8_t>(v);
      ++i;
    } else if (arg == "--long-cpu-data") {
      options.long_cpu_unit_data = true;
    } else if (arg == "--answer-delay-ms" && parseNumber(next, 10000, &v)) {
      options.answer_delay = std::chrono::milliseconds(v);
      ++i;
    } else if (arg == "--verbose") {
      options.verbose = true;
    } else {
      std::fprintf(stderr, "fins-plc-sim: bad or incomplete option: %s\n", arg.c_str());
      usage(stderr);
      return 2;
    }
  }

  if (::pipe(signal_pipe) != 0) {
    std::perror("fins-plc-sim: pipe");
    return 1;
  }
  // The serving threads inherit a mask with both signals blocked, so only
  // this thread ever runs the handler.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  struct sigaction action {};
  action.sa_handler = onSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);

  plcsim::PlcSimulator sim(options);
  if (!sim.start()) {
    std::fprintf(stderr, "fins-plc-sim: cannot listen on %s:%u (%s): %s\n",
                 options.bind_address.c_str(), static_cast<unsigned>(options.port),
                 options.udp ? "TCP and UDP" : "TCP", std::strerror(errno));
    return 1;
  }
  pthread_sigmask(SIG_UNBLOCK, &stop_signals, nullptr);
  std::printf("fins-plc-sim listening on %s:%u (%s), model %s\n",
              options.bind_address.c_str(), static_cast<unsigned>(sim.port()),
              options.udp ? "FINS/TCP and FINS/UDP" : "FINS/TCP", options.model.c_str());
  std::fflush(stdout);

  bool stdin_open = true;
  std::string pending;
  for (;;) {
    pollfd fds[2] = {{signal_pipe[0], POLLIN, 0}, {stdin_open ? 0 : -1, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[0].revents != 0) break;
    if (fds[1].revents == 0) continue;
    char buf[512];
    const ssize_t r = ::read(0, buf, sizeof buf);
    if (r <= 0) {
      if (r < 0 && errno == EINTR) continue;
      stdin_open = false;  // keep serving without a console
      continue;
    }
    pending.append(buf, static_cast<size_t>(r));
    for (size_t eol; (eol = pending.find('\n')) != std::string::npos;) {
      handleLine(&sim, pending.substr(0, eol));
      pending.erase(0, eol + 1);
    }
  }
  sim.stop();
  std::printf("fins-plc-sim stopped\n");
  return 0;
}
