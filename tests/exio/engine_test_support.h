// Shared scaffolding of the engine tests: the two simulators on loopback,
// an engine pointed at them, a capture of the log and of the external IO
// service's calls, and readers for the FINS frames the PLC received.

#ifndef GW_TESTS_EXIO_ENGINE_TEST_SUPPORT_H_
#define GW_TESTS_EXIO_ENGINE_TEST_SUPPORT_H_

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <ostream>
#include <streambuf>
#include <string>
#include <vector>

#include "exio/fins_exio.h"
#include "exio/fins_exio_impl.h"
#include "tools/exio-sim/exio_sim.h"
#include "tools/plc-sim/plc_sim.h"

// Reaches the engine's implementation (a friend of FinsExIO).
class FinsExIOTestPeer {
 public:
  static FinsExIO::Impl& impl(FinsExIO& engine) { return *engine.impl_; }
};

namespace exiotest {

using namespace std::chrono_literals;

// Polls `done` every millisecond until it holds or `timeout` has passed;
// returns its last answer.
bool waitFor(const std::function<bool()>& done,
             std::chrono::milliseconds timeout = 5000ms);

// A text sink that any number of threads may write to while a test reads
// it. Used for the external IO simulator's call trace and the log.
class TextSink : public std::streambuf {
 public:
  std::string text() const;
  // Lines holding `needle`.
  std::vector<std::string> linesWith(const std::string& needle) const;
  std::size_t count(const std::string& needle) const;
  void clear();

 protected:
  int overflow(int c) override;
  std::streamsize xsputn(const char* s, std::streamsize n) override;

 private:
  mutable std::mutex mutex_;
  std::string text_;
};

// One memory area write command as the PLC received it.
struct WriteFrame {
  std::uint8_t area = 0;
  std::uint16_t word = 0;
  std::uint8_t bit = 0;
  std::uint16_t count = 0;  // words, or bits for a bit write
  std::vector<std::uint8_t> data;
};

// The area code of DM words on the CS family.
constexpr std::uint8_t kDmWordCode = 0x82;

bool isMultipleRead(const std::vector<std::uint8_t>& frame);
// A memory area read of a word range.
bool isRangeRead(const std::vector<std::uint8_t>& frame);
bool isWrite(const std::vector<std::uint8_t>& frame);
// Elements a multiple read frame asks for (4 bytes each: area code, word,
// bit).
std::size_t readElements(const std::vector<std::uint8_t>& frame);
// Words a read frame asks for: the range's, or one per element.
std::size_t readWords(const std::vector<std::uint8_t>& frame);
// Whether a read frame asks for `word` of area `areaCode`.
bool readAsksFor(const std::vector<std::uint8_t>& frame, std::uint8_t areaCode,
                 std::uint16_t word);
WriteFrame decodeWrite(const std::vector<std::uint8_t>& frame);

// Every breach of the mapping table's invariants, one per line; empty when
// the table is sound. Takes the table lock shared.
std::string tableProblems(FinsExIO::Impl& impl);

// Two simulators on loopback (the PLC below the ephemeral ports, so that it
// can be restarted on its port) and an engine talking to them;
// the log goes into `log_` for the test's lifetime.
class EngineTest : public ::testing::Test {
 protected:
  static constexpr const char* kOwner = "FINS_EX_IO";

  void SetUp() override;
  void TearDown() override;

  // Replaces the PLC simulator by one that reports `model`.
  void restartPlcAs(const std::string& model);
  // Connects the engine to the PLC simulator.
  bool connectEngine();
  // Waits until the synchronisation loop has finished `cycles` more cycles.
  bool waitCycles(std::uint64_t cycles = 3);
  FinsExIO::Impl& impl() { return FinsExIOTestPeer::impl(*engine_); }

  // Read frames (range and multiple reads) received since the last
  // clearReceivedFrames.
  std::vector<std::vector<std::uint8_t>> reads() const;
  std::vector<WriteFrame> writes() const;

  // Waits until the mapping named `name` reports `state`.
  bool waitForState(const std::string& name, std::int32_t state);

  TextSink log_;
  TextSink trace_;
  std::unique_ptr<std::ostream> traceStream_;
  std::unique_ptr<plcsim::PlcSimulator> plc_;
  std::unique_ptr<exiosim::ExioSimulator> exio_;
  std::unique_ptr<FinsExIO> engine_;

 private:
  std::streambuf* savedCout_ = nullptr;
};

}  // namespace exiotest

#endif  // GW_TESTS_EXIO_ENGINE_TEST_SUPPORT_H_
