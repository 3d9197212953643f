// read_plan_bench: how many FINS frames a cycle the engine's PLC-to-robot
// read takes against a PLC that answers every frame only after a delay, and
// what that costs the cycle rate and a PLC word's way to the robot. The
// engine runs its own synchronisation loop against the PLC and external IO
// simulators in this process; each row is one layout of PLC-to-robot
// mappings (none the other way), at 100 and 1,000 mappings:
//
//   block   Int16 words one after another: DM0, DM1, DM2, ...
//   sparse  an Int16 word in every ten: DM0, DM10, DM20, ...
//   mixed   a fifth each of Int16 (DM0..), Int32 (DM1000.., stepping 2),
//           Float (DM2000.., stepping 2), Double (DM3000.., stepping 4), Bit
//           (DM5000.0, DM5000.1, ..., 16 to a word), each in its own block
//
// Figures of a row:
//
//   frames a cycle  the engine's FINS exchanges over a window of steady
//                   cycles, divided by the cycles its loop finished in it;
//                   split into memory area reads and multiple memory area
//                   reads in the proportion the simulated PLC received them
//   floor           the fewest frames the PLC's read limits allow for the
//                   layout: a memory area read carries up to 999
//                   consecutive words, a multiple memory area read up to
//                   167 elements (an Int16 or a Bit is one, an Int32 or a
//                   Float two, a Double four)
//   cycles/s        over the same window, the loop's pauses included
//   latency         a PLC word changed in the simulator until the robot
//                   input register holds its value: median and p99 of
//                   changes spread over the cycle's phase and the mappings
//
// Usage: read_plan_bench [--answer-delay-ms N] [--only CASE] [--samples N]
//                        [--seconds S]
//   --answer-delay-ms N  how long the PLC takes to answer a frame (default 2)
//   --only CASE          one layout ("block", "sparse", "mixed") or one row
//                        of it ("mixed-1000")
//   --samples N          latency samples a row (default 300, at most 4,096)
//   --seconds S          the least length of the frame window (default 3)

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iostream>
#include <iterator>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench/exio/bench_timing.h"
#include "exio/fins_data_types.h"
#include "exio/fins_exio.h"
#include "fins/fins.h"
#include "tools/exio-sim/exio_sim.h"
#include "tools/plc-sim/plc_sim.h"

namespace {

using exiobench::Clock;
using exiobench::msSince;
using exiobench::percentile;
using exiobench::waitFor;
using namespace std::chrono_literals;

// What one frame may carry, as a CPU unit reached over Ethernet serves it
// (and as the simulator enforces by default).
constexpr std::size_t kAreaReadWords = FINS_MEMORY_AREA_READ_MAX_WORDS;
constexpr std::size_t kMultipleReadElements = FINS_MULTI_READ_MAX_ELEMENTS;

// A steady window has at least this many cycles, whatever its length.
constexpr std::uint64_t kLeastWindowCycles = 20;
// Each change of a row writes a value of its own up to this many.
constexpr int kMostSamples = 4096;
// A latency sample that takes longer has lost its value.
constexpr double kLostMs = 10000;

enum class Layout { kBlock, kSparse, kMixed };

const char* layoutName(Layout layout) {
  switch (layout) {
    case Layout::kBlock:
      return "block";
    case Layout::kSparse:
      return "sparse";
    case Layout::kMixed:
      return "mixed";
  }
  return "";
}

const datatypes::DataTypeRow& rowFor(FinsDataType type) {
  const datatypes::DataTypeRow* row = datatypes::rowOf(type);
  if (row == nullptr) throw std::logic_error("no such data type");
  return *row;
}

struct Mapping {
  FinsDataType type = Int16;
  std::uint32_t word = 0;  // DM word of the value (its first, low word)
  unsigned bit = 0;        // for a Bit
  int bank = 0;            // robot register kind, as the type table says
  int reg = 0;             // robot input register
  bool sampled = false;    // has its register to itself
  std::string name;

  std::string address() const {
    std::string text = "DM" + std::to_string(word);
    if (type == Bit) text += "." + std::to_string(bit);
    return text;
  }
  // PLC words a memory area read must cover to carry the value.
  std::size_t words() const {
    return type == Bit ? 1 : static_cast<std::size_t>(rowFor(type).plcWords);
  }
  // Elements it takes in a multiple memory area read: one a word, one a bit.
  std::size_t elements() const { return words(); }
};

// The robot has kRegisterCount input registers of each kind, fewer than the
// mappings. When a kind has more mappings than registers, every s-th
// mapping of each kind (in address order; s the same for all kinds, so
// that samples fall evenly over the layout) gets a register to itself and
// is sampled for latency, and all the others of the kind write its last
// register, where whichever writes last in a batch wins and nothing is
// measured. The engine's work is the same either way: every mapping is
// read and written every cycle.
void assignRegisters(std::vector<Mapping>& mappings) {
  constexpr std::size_t kRegisters = exiosim::kRegisterCount;
  const int banks[] = {exiosim::kBoolBank, exiosim::kIntBank,
                       exiosim::kDoubleBank};
  std::vector<std::vector<Mapping*>> members(std::size(banks));
  for (Mapping& m : mappings) {
    for (std::size_t b = 0; b < std::size(banks); ++b) {
      if (m.bank == banks[b]) members[b].push_back(&m);
    }
  }
  std::size_t stride = 1;
  for (const auto& bank : members) {
    if (bank.size() > kRegisters) {
      stride =
          std::max(stride, (bank.size() + kRegisters - 2) / (kRegisters - 1));
    }
  }
  for (const auto& bank : members) {
    for (std::size_t j = 0; j < bank.size(); ++j) {
      bank[j]->sampled = j % stride == 0;
      bank[j]->reg =
          static_cast<int>(bank[j]->sampled ? j / stride : kRegisters - 1);
    }
  }
  // Unique names whose only digits are the register's: "pabc07".
  for (std::size_t i = 0; i < mappings.size(); ++i) {
    char name[16];
    std::snprintf(name, sizeof(name), "p%c%c%c%02d",
                  static_cast<char>('a' + i / 676 % 26),
                  static_cast<char>('a' + i / 26 % 26),
                  static_cast<char>('a' + i % 26), mappings[i].reg);
    mappings[i].name = name;
  }
}

std::vector<Mapping> layoutMappings(Layout layout, int count) {
  std::vector<Mapping> out;
  auto add = [&out](FinsDataType type, std::uint32_t word, unsigned bit) {
    Mapping m;
    m.type = type;
    m.word = word;
    m.bit = bit;
    m.bank = rowFor(type).robotRegister;
    out.push_back(m);
  };
  const auto n = static_cast<std::uint32_t>(count);
  switch (layout) {
    case Layout::kBlock:
      for (std::uint32_t i = 0; i < n; ++i) add(Int16, i, 0);
      break;
    case Layout::kSparse:
      for (std::uint32_t i = 0; i < n; ++i) add(Int16, 10 * i, 0);
      break;
    case Layout::kMixed: {
      const std::uint32_t fifth = n / 5;
      // Each block must end before the next begins.
      if (fifth * 4 > 2000) throw std::logic_error("too many for the blocks");
      const struct {
        FinsDataType type;
        std::uint32_t base;
      } blocks[] = {{Int16, 0}, {Int32, 1000}, {Float, 2000}, {Double, 3000}};
      for (const auto& block : blocks) {
        const auto step =
            static_cast<std::uint32_t>(rowFor(block.type).plcWords);
        for (std::uint32_t i = 0; i < fifth; ++i) {
          add(block.type, block.base + i * step, 0);
        }
      }
      for (std::uint32_t i = 0; i < fifth; ++i) add(Bit, 5000 + i / 16, i % 16);
      break;
    }
  }
  assignRegisters(out);
  return out;
}

// The fewest frames that read every mapping within the PLC's limits: some
// values in memory area reads of up to kAreaReadWords words each, the rest
// in multiple memory area reads of up to kMultipleReadElements elements.
// For each number k of area reads, the most elements k of them can carry
// (windows that start at a value, values sorted by address, none split
// between two reads); the rest go by multiple reads.
std::size_t frameFloor(std::vector<Mapping> mappings) {
  std::sort(mappings.begin(), mappings.end(),
            [](const Mapping& a, const Mapping& b) {
              return a.word != b.word ? a.word < b.word : a.bit < b.bit;
            });
  const std::size_t n = mappings.size();
  std::size_t total = 0;
  for (const Mapping& m : mappings) total += m.elements();
  // past[i]: the first value an area read starting at value i leaves out;
  // carried[i]: the elements it carries.
  std::vector<std::size_t> past(n), carried(n);
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint64_t end = std::uint64_t{mappings[i].word} + kAreaReadWords;
    std::size_t j = i;
    std::size_t elements = 0;
    while (j < n && mappings[j].word + mappings[j].words() <= end) {
      elements += mappings[j].elements();
      ++j;
    }
    past[i] = j;
    carried[i] = elements;
  }
  auto multipleReads = [](std::size_t elements) {
    return (elements + kMultipleReadElements - 1) / kMultipleReadElements;
  };
  std::size_t best = multipleReads(total);
  // most[i]: the most elements k area reads carry among values i.. .
  std::vector<std::size_t> most(n + 1, 0), fewer(n + 1, 0);
  for (std::size_t k = 1; k < best; ++k) {
    fewer.swap(most);
    most[n] = 0;
    for (std::size_t i = n; i-- > 0;) {
      most[i] = std::max(most[i + 1], carried[i] + fewer[past[i]]);
    }
    best = std::min(best, k + multipleReads(total - most[0]));
    if (most[0] == total) break;
  }
  return best;
}

// Changes the PLC word behind `m` to a value its register has not held
// before in this row (`serial` counts the row's changes) and returns the
// test that the register holds it.
std::function<bool()> changeWord(plcsim::PlcSimulator& plc,
                                 exiosim::ExioSimulator& exio, const Mapping& m,
                                 int serial, bool& bitHeld) {
  const int reg = m.reg;
  // The high word of a Float or a Double alone: a normal number that no
  // sample before held, with the other words left at 0.
  const auto high = static_cast<std::uint16_t>(0x4100 + serial);
  switch (m.type) {
    case Int16:
    case Int32: {
      // An Int32's low word comes first; its high word stays 0.
      const int value = 1000 + serial;
      plc.setWord("DM", m.word, static_cast<std::uint16_t>(value));
      return [&exio, reg, value] { return exio.inputInt(reg) == value; };
    }
    case Float: {
      const std::uint32_t bits = std::uint32_t{high} << 16;
      float value;
      std::memcpy(&value, &bits, sizeof(value));
      plc.setWord("DM", m.word + 1, high);
      const double expected = value;
      return
          [&exio, reg, expected] { return exio.inputDouble(reg) == expected; };
    }
    case Double: {
      const std::uint64_t bits = std::uint64_t{high} << 48;
      double expected;
      std::memcpy(&expected, &bits, sizeof(expected));
      plc.setWord("DM", m.word + 3, high);
      return
          [&exio, reg, expected] { return exio.inputDouble(reg) == expected; };
    }
    case Bit: {
      const bool value = !bitHeld;
      bitHeld = value;
      plc.setBit("DM", m.word, m.bit, value);
      return [&exio, reg, value] { return exio.inputBool(reg) == value; };
    }
    default:
      throw std::logic_error("no change for this type");
  }
}

struct Latency {
  double medianMs = 0;
  double p99Ms = 0;
};

// `samples` changes, one sampled mapping after another in a shuffled
// order, started at random gaps that average an eighth of a cycle so that
// they fall on every phase of it; a mapping gets its next change only once
// its last one has arrived. Several are under way at once, each timed on
// its own.
Latency measureLatency(plcsim::PlcSimulator& plc, exiosim::ExioSimulator& exio,
                       const std::vector<Mapping>& mappings, int samples,
                       double cycleMs) {
  struct Probe {
    const Mapping* mapping;
    bool busy = false;
    bool bitHeld = false;
  };
  std::vector<Probe> probes;
  for (const Mapping& m : mappings) {
    if (m.sampled) probes.push_back({&m});
  }
  std::mt19937 random(7);
  std::shuffle(probes.begin(), probes.end(), random);
  struct Pending {
    std::size_t probe;
    Clock::time_point start;
    std::function<bool()> arrived;
  };
  std::vector<Pending> pending;
  std::vector<double> times;
  std::uniform_real_distribution<double> gap(0, cycleMs / 4);
  std::size_t next = 0;
  int started = 0;
  auto due = Clock::now();
  while (static_cast<int>(times.size()) < samples) {
    const auto now = Clock::now();
    if (started < samples && now >= due) {
      for (std::size_t tried = 0; tried < probes.size(); ++tried) {
        const std::size_t p = next;
        next = (next + 1) % probes.size();
        if (probes[p].busy) continue;
        probes[p].busy = true;
        const auto start = Clock::now();
        pending.push_back({p, start,
                           changeWord(plc, exio, *probes[p].mapping, started,
                                      probes[p].bitHeld)});
        ++started;
        break;
      }
      due = now + std::chrono::duration_cast<Clock::duration>(
                      std::chrono::duration<double, std::milli>(gap(random)));
    }
    for (std::size_t i = 0; i < pending.size();) {
      if (pending[i].arrived()) {
        times.push_back(msSince(pending[i].start));
        probes[pending[i].probe].busy = false;
        pending[i] = std::move(pending.back());
        pending.pop_back();
        continue;
      }
      if (msSince(pending[i].start) > kLostMs) {
        throw std::runtime_error("a change of " +
                                 probes[pending[i].probe].mapping->address() +
                                 " never reached the robot");
      }
      ++i;
    }
    std::this_thread::sleep_for(200us);
  }
  return {percentile(times, 50), percentile(times, 99)};
}

// The loop's counters at the end of one of its cycles.
struct CycleEdge {
  Clock::time_point at;  // when the cycle count was seen to step
  std::uint64_t cycles = 0;
  std::uint64_t exchanges = 0;
};

// Waits for the loop to step its cycle count. Window lengths are taken from
// one step to another, so that a window holds whole cycles and the rate is
// not rounded to the cycles that fit; the counters are read a moment
// later, once the next cycle has published the exchanges of the finished
// one (it does so first thing, well within its pause).
CycleEdge nextCycleEdge(FinsExIO& engine) {
  const std::uint64_t from = engine.getDiagnostics().cycle.cycles;
  CycleEdge edge;
  for (;;) {
    std::this_thread::sleep_for(1ms);
    if (engine.getDiagnostics().cycle.cycles != from) break;
  }
  edge.at = Clock::now();
  std::this_thread::sleep_for(1ms);
  const FinsExIO::Diagnostics d = engine.getDiagnostics();
  edge.cycles = d.cycle.cycles;
  edge.exchanges = d.fins.exchanges;
  return edge;
}

struct Settings {
  int answerDelayMs = 2;
  int samples = 300;
  double windowSeconds = 3;
};

struct Row {
  std::string name;
  int mappings = 0;
  std::size_t floor = 0;
  double frames = 0;         // a cycle, by the engine's counters
  double areaReads = 0;      // a cycle, of them
  double multipleReads = 0;  // a cycle, of them
  double otherFrames = 0;    // a cycle, of them; none expected
  double cyclesPerSecond = 0;
  Latency latency;
};

Row runRow(Layout layout, int count, const Settings& settings) {
  Row row;
  row.name = layoutName(layout);
  row.mappings = count;
  const std::vector<Mapping> mappings = layoutMappings(layout, count);
  row.floor = frameFloor(mappings);

  // Fresh simulators for every row: all memory and registers at 0, so that
  // no value left by an earlier row can pass for an arrival.
  plcsim::Options plcOptions;
  plcOptions.port = 0;
  plcOptions.udp = false;
  plcOptions.answer_delay = std::chrono::milliseconds(settings.answerDelayMs);
  plcsim::PlcSimulator plc(plcOptions);
  exiosim::Options exioOptions;
  exioOptions.port = 0;
  exiosim::ExioSimulator exio(exioOptions);
  std::string error;
  if (!plc.start() || !exio.start(&error)) {
    throw std::runtime_error("simulators failed to start: " + error);
  }

  FinsExIO engine(exio.url());
  if (!engine.connect("127.0.0.1", plc.port(), 0, 0, 0, 0, 0, 0)) {
    throw std::runtime_error("no connection to the simulated PLC");
  }
  for (const Mapping& m : mappings) {
    if (!engine.addMapping(m.address(), m.name, "", m.type,
                           FinsExIO::PlcToRobot)) {
      throw std::runtime_error("mapping refused: " + m.address());
    }
  }
  const bool allGood = waitFor(
      [&] {
        for (const auto& m : engine.getDiagnostics().mappings) {
          if (m.state != FinsExIO::MappingGood) return false;
        }
        return true;
      },
      60s);
  if (!allGood) throw std::runtime_error("the mappings never all came good");
  // A few whole cycles past the first good one, so that the window holds
  // steady cycles only.
  const std::uint64_t good = engine.getDiagnostics().cycle.cycles;
  waitFor([&] { return engine.getDiagnostics().cycle.cycles >= good + 3; },
          60s);

  const CycleEdge first = nextCycleEdge(engine);
  plc.clearReceivedFrames();
  CycleEdge last = first;
  while (std::chrono::duration<double>(last.at - first.at).count() <
             settings.windowSeconds ||
         last.cycles < first.cycles + kLeastWindowCycles) {
    std::this_thread::sleep_for(100ms);
    last = nextCycleEdge(engine);
  }
  const auto received = plc.receivedFrames();

  const double cycles = static_cast<double>(last.cycles - first.cycles);
  row.frames = static_cast<double>(last.exchanges - first.exchanges) / cycles;
  row.cyclesPerSecond =
      cycles / std::chrono::duration<double>(last.at - first.at).count();
  // The simulator's log starts and ends mid-cycle; its mix of commands, not
  // its count, is what it adds.
  std::size_t area = 0, multiple = 0, other = 0;
  for (const auto& frame : received) {
    const bool read = frame.size() >= 12 && frame[10] == 0x01;
    if (read && frame[11] == 0x01) {
      ++area;
    } else if (read && frame[11] == 0x04) {
      ++multiple;
    } else {
      ++other;
    }
  }
  const double seen = static_cast<double>(received.size());
  if (seen > 0) {
    row.areaReads = row.frames * static_cast<double>(area) / seen;
    row.multipleReads = row.frames * static_cast<double>(multiple) / seen;
    row.otherFrames = row.frames * static_cast<double>(other) / seen;
  }
  plc.clearReceivedFrames();

  row.latency = measureLatency(plc, exio, mappings, settings.samples,
                               1000.0 / row.cyclesPerSecond);
  return row;
}

void printRow(const Row& row) {
  std::printf(
      "| %-6s | %8d | %14.2f | %5zu | %11.2f | %17.2f | %14.2f | "
      "%8.1f | %17.1f | %6.1f |\n",
      row.name.c_str(), row.mappings, row.frames, row.floor,
      row.frames / static_cast<double>(row.floor), row.areaReads,
      row.multipleReads, row.cyclesPerSecond, row.latency.medianMs,
      row.latency.p99Ms);
  std::fflush(stdout);
}

int usage() {
  std::fprintf(stderr,
               "usage: read_plan_bench [--answer-delay-ms N] [--only CASE] "
               "[--samples N] [--seconds S]\n"
               "  CASE: block, sparse, mixed, or one row such as mixed-1000\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  Settings settings;
  std::string only;
  for (int i = 1; i < argc; ++i) {
    const bool hasValue = i + 1 < argc;
    if (std::strcmp(argv[i], "--answer-delay-ms") == 0 && hasValue) {
      settings.answerDelayMs = std::atoi(argv[++i]);
    } else if (std::strcmp(argv[i], "--only") == 0 && hasValue) {
      only = argv[++i];
    } else if (std::strcmp(argv[i], "--samples") == 0 && hasValue) {
      settings.samples = std::atoi(argv[++i]);
    } else if (std::strcmp(argv[i], "--seconds") == 0 && hasValue) {
      settings.windowSeconds = std::atof(argv[++i]);
    } else {
      return usage();
    }
  }
  if (settings.answerDelayMs < 0 || settings.samples < 1 ||
      settings.samples > kMostSamples || settings.windowSeconds <= 0) {
    return usage();
  }
  struct Case {
    Layout layout;
    int mappings;
  };
  std::vector<Case> cases;
  for (Layout layout : {Layout::kBlock, Layout::kSparse, Layout::kMixed}) {
    for (int n : {100, 1000}) {
      const std::string name = layoutName(layout);
      if (only.empty() || only == name ||
          only == name + "-" + std::to_string(n)) {
        cases.push_back({layout, n});
      }
    }
  }
  if (cases.empty()) return usage();
  // The engine logs through std::cout; the table is printed with stdio, so
  // dropping the stream's buffer keeps only the table.
  std::cout.rdbuf(nullptr);

  std::printf(
      "PLC-to-robot mappings only; the PLC answers every frame after %d ms "
      "and reads up to %zu words a memory area read, %zu elements a "
      "multiple memory area read; latency over %d changes a row\n\n",
      settings.answerDelayMs, kAreaReadWords, kMultipleReadElements,
      settings.samples);
  std::printf(
      "| layout | mappings | frames a cycle | floor | x the floor | "
      "memory area reads | multiple reads | cycles/s | "
      "latency median ms | p99 ms |\n");
  std::printf(
      "|--------|---------:|---------------:|------:|------------:|"
      "------------------:|---------------:|---------:|"
      "------------------:|-------:|\n");
  std::fflush(stdout);
  double other = 0;
  try {
    for (const Case& c : cases) {
      const Row row = runRow(c.layout, c.mappings, settings);
      printRow(row);
      other = std::max(other, row.otherFrames);
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "read_plan_bench: %s\n", e.what());
    return 1;
  }
  if (other > 0) {
    std::printf("\nnote: up to %.2f frames a cycle were neither kind of read\n",
                other);
  }
  return 0;
}
