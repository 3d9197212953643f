#include "tests/exio/engine_test_support.h"

#include <unistd.h>

#include <fstream>
#include <iostream>
#include <mutex>
#include <set>
#include <shared_mutex>
#include <sstream>
#include <thread>

namespace exiotest {

bool waitFor(const std::function<bool()>& done,
             std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) {
      return done();
    }
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

std::string TextSink::text() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return text_;
}

std::vector<std::string> TextSink::linesWith(const std::string& needle) const {
  std::vector<std::string> lines;
  std::istringstream in(text());
  std::string line;
  while (std::getline(in, line)) {
    if (line.find(needle) != std::string::npos) {
      lines.push_back(line);
    }
  }
  return lines;
}

std::size_t TextSink::count(const std::string& needle) const {
  return linesWith(needle).size();
}

void TextSink::clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  text_.clear();
}

int TextSink::overflow(int c) {
  if (c != traits_type::eof()) {
    std::lock_guard<std::mutex> lock(mutex_);
    text_.push_back(static_cast<char>(c));
  }
  return traits_type::not_eof(c);
}

std::streamsize TextSink::xsputn(const char* s, std::streamsize n) {
  std::lock_guard<std::mutex> lock(mutex_);
  text_.append(s, static_cast<std::size_t>(n));
  return n;
}

bool isMultipleRead(const std::vector<std::uint8_t>& frame) {
  return frame.size() >= 12 && frame[10] == FINS_MRC_MEMORY_AREA &&
         frame[11] == FINS_SRC_MULTIPLE_MEMORY_AREA_READ;
}

bool isRangeRead(const std::vector<std::uint8_t>& frame) {
  return frame.size() == 18 && frame[10] == FINS_MRC_MEMORY_AREA &&
         frame[11] == FINS_SRC_MEMORY_AREA_READ;
}

std::size_t readWords(const std::vector<std::uint8_t>& frame) {
  return isRangeRead(frame) ? (frame[16] << 8 | frame[17])
                            : readElements(frame);
}

bool readAsksFor(const std::vector<std::uint8_t>& frame, std::uint8_t areaCode,
                 std::uint16_t word) {
  if (isRangeRead(frame)) {
    const std::size_t first = frame[13] << 8 | frame[14];
    return frame[12] == areaCode && first <= word &&
           word < first + readWords(frame);
  }
  for (std::size_t at = 12; at + 4 <= frame.size(); at += 4) {
    if (frame[at] == areaCode && (frame[at + 1] << 8 | frame[at + 2]) == word) {
      return true;
    }
  }
  return false;
}

bool isWrite(const std::vector<std::uint8_t>& frame) {
  return frame.size() >= 18 && frame[10] == FINS_MRC_MEMORY_AREA &&
         frame[11] == FINS_SRC_MEMORY_AREA_WRITE;
}

std::size_t readElements(const std::vector<std::uint8_t>& frame) {
  return (frame.size() - 12) / 4;
}

WriteFrame decodeWrite(const std::vector<std::uint8_t>& frame) {
  WriteFrame w;
  w.area = frame[12];
  w.word = static_cast<std::uint16_t>(frame[13] << 8 | frame[14]);
  w.bit = frame[15];
  w.count = static_cast<std::uint16_t>(frame[16] << 8 | frame[17]);
  w.data.assign(frame.begin() + 18, frame.end());
  return w;
}

std::string tableProblems(FinsExIO::Impl& impl) {
  gw::ReaderLock lock(impl.mappings.mappingLock);
  std::ostringstream problems;
  std::set<std::string> grouped;
  for (auto& byType : impl.mappings.robotToPlcGroups) {
    for (auto& byArea : byType.second) {
      const std::vector<MappingRel>& group = byArea.second;
      for (std::size_t i = 0; i < group.size(); ++i) {
        const MappingRel& rel = group[i];
        if (rel.item.type != byType.first) {
          problems << rel.robotRegister << ": type " << rel.item.type
                   << " in group of type " << byType.first << "\n";
        }
        if (byArea.first != rel.decodedAddress.name) {
          problems << rel.robotRegister << ": area "
                   << rel.decodedAddress.name << " in group " << byArea.first
                   << "\n";
        }
        if (i > 0 && MappingTable::plcRegcompare(rel, group[i - 1])) {
          problems << rel.robotRegister << ": out of address order\n";
        }
        if (!grouped.insert(rel.robotRegister).second) {
          problems << rel.robotRegister << ": grouped twice\n";
        }
        auto indexed = impl.mappings.robotToPlcIndex.find(rel.robotRegister);
        if (indexed == impl.mappings.robotToPlcIndex.end()) {
          problems << rel.robotRegister << ": not in the index\n";
        } else if (indexed->second != &rel) {
          problems << rel.robotRegister << ": index points elsewhere\n";
        }
      }
    }
  }
  if (impl.mappings.robotToPlcIndex.size() != grouped.size()) {
    problems << "index holds " << impl.mappings.robotToPlcIndex.size()
             << " names, groups " << grouped.size() << "\n";
  }
  for (const auto& entry : impl.mappings.plcToRobotMap) {
    if (entry.first != entry.second.robotRegister ||
        entry.second.direction != FinsExIO::PlcToRobot) {
      problems << entry.first << ": PlcToRobot entry mislabelled\n";
    }
  }
  return problems.str();
}

void EngineTest::SetUp() {
  // Swapped before any thread of the test runs, restored after all ended.
  savedCout_ = std::cout.rdbuf(&log_);
  traceStream_ = std::make_unique<std::ostream>(&trace_);
  restartPlcAs("CJ2M-CPU33");
  exiosim::Options exioOptions;
  exioOptions.port = 0;
  exioOptions.trace = traceStream_.get();
  exio_ = std::make_unique<exiosim::ExioSimulator>(exioOptions);
  std::string error;
  ASSERT_TRUE(exio_->start(&error)) << error;
  engine_ = std::make_unique<FinsExIO>(exio_->url());
}

void EngineTest::TearDown() {
  engine_.reset();
  exio_.reset();
  plc_.reset();
  std::cout.rdbuf(savedCout_);
}

namespace {

// The first port the system hands out by itself (to a bind to port 0 or a
// connect), or 0 when that cannot be read.
int ephemeralPortsStart() {
  std::ifstream range("/proc/sys/net/ipv4/ip_local_port_range");
  int low = 0;
  return range >> low ? low : 0;
}

}  // namespace

// The simulated PLC listens below the system's ephemeral ports: a test that
// stops it and starts it again must get its port back, and a port of that
// range may meanwhile go to any socket bound to port 0 or connected, here or
// in a test running beside this one (the engine's own new UDP sockets too).
void EngineTest::restartPlcAs(const std::string& model) {
  constexpr int kSpan = 8192;
  const int below = ephemeralPortsStart() - kSpan;
  plc_.reset();
  plcsim::Options options;
  options.model = model;
  const int first = static_cast<int>(::getpid()) % kSpan;
  for (int i = 0; i < kSpan; ++i) {
    options.port = below > 1024 ? below + (first + i) % kSpan : 0;
    plc_ = std::make_unique<plcsim::PlcSimulator>(options);
    if (plc_->start()) return;
  }
  FAIL() << "no port below " << below + kSpan << " to start the PLC on";
}

bool EngineTest::connectEngine() {
  return engine_->connect("127.0.0.1", plc_->port(), 0, 0, 0, 0, 0, 0);
}

bool EngineTest::waitCycles(std::uint64_t cycles) {
  const std::uint64_t target = impl().cycleCount + cycles;
  return waitFor([&] { return impl().cycleCount >= target; });
}

std::vector<std::vector<std::uint8_t>> EngineTest::reads() const {
  std::vector<std::vector<std::uint8_t>> frames;
  for (auto& frame : plc_->receivedFrames()) {
    if (isMultipleRead(frame) || isRangeRead(frame)) {
      frames.push_back(frame);
    }
  }
  return frames;
}

std::vector<WriteFrame> EngineTest::writes() const {
  std::vector<WriteFrame> frames;
  for (auto& frame : plc_->receivedFrames()) {
    if (isWrite(frame)) {
      frames.push_back(decodeWrite(frame));
    }
  }
  return frames;
}

bool EngineTest::waitForState(const std::string& name, std::int32_t state) {
  return waitFor([&] { return engine_->getMapState(name) == state; });
}

}  // namespace exiotest
