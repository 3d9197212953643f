// The PLC-to-robot read in few frames: the plan's reads must deliver what
// reading each item alone delivers, and adapt when the PLC refuses a frame
// for its length or a word it will not serve.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "exio/fins_exio_stats.h"
#include "exio/plc_link.h"
#include "tests/exio/engine_test_support.h"

namespace exiotest {
namespace {

constexpr std::uint16_t kOutOfRange = 0x1103;

// One area of the CS family the random mappings are drawn from.
struct Area {
  const char* name;       // as addresses write it
  const char* simName;    // as the simulator names it
  std::uint8_t wordCode;  // FINS code of its words
  std::uint32_t last;     // its last word number
};
constexpr Area kAreas[] = {
    {"DM", "DM", 0x82, 32767},  {"W", "W", 0xB1, 511},
    {"H", "H", 0xB2, 511},      {"CIO", "CIO", 0xB0, 6143},
    {"TIM", "TIM", 0x89, 4095}, {"A", "A", 0xB3, 959},
};

// Random PLC-to-robot item sets: blocks, scattered words and area ends, of
// every type, and words the PLC will not serve.
class RandomCell {
 public:
  RandomCell(unsigned seed, plcsim::PlcSimulator& plc)
      : random_(seed), plc_(plc) {}

  std::vector<fins_multidata_tp> items(std::size_t count) {
    std::vector<fins_multidata_tp> out;
    while (out.size() < count) {
      const Area& area = kAreas[pick(std::size(kAreas))];
      // A block of neighbours, a lone word, or the area's last words.
      const int shape = static_cast<int>(pick(3));
      std::uint32_t word =
          shape == 2 ? area.last - static_cast<std::uint32_t>(pick(4))
                     : static_cast<std::uint32_t>(pick(area.last + 1));
      // Blocks long enough that a range spares frames.
      const std::size_t run = shape == 0 ? 1 + pick(400) : 1;
      for (std::size_t k = 0; k < run && out.size() < count; ++k) {
        const int type = 1 + static_cast<int>(pick(FINS_DATA_TYPE_WORD_FORCED));
        fins_multidata_tp item = {};
        std::string text = std::string(area.name) + std::to_string(word);
        if (type == FINS_DATA_TYPE_BIT || type == FINS_DATA_TYPE_BIT_FORCED) {
          text += "." + std::to_string(pick(16));
        }
        std::memcpy(item.address, text.c_str(), text.size() + 1);
        item.type = type;
        out.push_back(item);
        fill(area, word);
        word =
            std::min(area.last, word + 1 + static_cast<std::uint32_t>(pick(3)));
      }
    }
    return out;
  }

  // Refuses a word next to (or on) a random item's word of DM or W.
  void refuseAWord(const std::vector<fins_multidata_tp>& items) {
    const fins_multidata_tp& item = items[pick(items.size())];
    for (const Area& area : {kAreas[0], kAreas[1]}) {
      const std::size_t length = std::strlen(area.name);
      if (std::strncmp(item.address, area.name, length) != 0) continue;
      const std::uint32_t word =
          static_cast<std::uint32_t>(std::atoi(item.address + length));
      const std::uint32_t near =
          std::min(area.last, word + static_cast<std::uint32_t>(pick(3)));
      plc_.refuseElement(area.wordCode, static_cast<std::uint16_t>(near),
                         kOutOfRange);
    }
  }

 private:
  std::size_t pick(std::size_t n) {
    return std::uniform_int_distribution<std::size_t>(0, n - 1)(random_);
  }

  // Random words, forced bits and completion flags around `word`.
  void fill(const Area& area, std::uint32_t word) {
    for (std::uint32_t w = word; w <= std::min(area.last, word + 4); ++w) {
      plc_.setWord(area.simName, w, static_cast<std::uint16_t>(random_()));
      if (area.wordCode == 0x89) {
        plc_.setBit(area.simName, w, 0, random_() & 1);
      } else if (area.wordCode != 0x82 && area.wordCode != 0xB3) {
        plc_.setForced(area.simName, w, static_cast<std::uint16_t>(random_()));
      }
    }
  }

  std::mt19937 random_;
  plcsim::PlcSimulator& plc_;
};

class ReadPlanTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    PlcLink::Endpoint endpoint;
    endpoint.ip = "127.0.0.1";
    endpoint.port = plc_->port();
    ASSERT_TRUE(link_.connect(endpoint));
    int code = 0;
    // Reads one item at a time for the expected answers; the PLC's refusals
    // must not close it.
    alone_ = finslib_tcp_connect(nullptr, "127.0.0.1",
                                 static_cast<std::uint16_t>(plc_->port()), 0, 0,
                                 0, 0, 0, 0, &code, 1 << 20);
    ASSERT_NE(nullptr, alone_);
    fins_cpudata_tp cpu;
    ASSERT_EQ(0, finslib_cpu_unit_data_read(alone_, &cpu));
  }
  void TearDown() override {
    finslib_disconnect(alone_);
    link_.disconnect();
    EngineTest::TearDown();
  }

  EngineStats stats_;
  PlcLink link_{stats_};
  fins_sys_tp* alone_ = nullptr;
};

TEST_F(ReadPlanTest, PlannedReadsDeliverWhatReadingEachItemAloneDelivers) {
  for (unsigned seed = 1; seed <= 10; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    // Every other round the PLC sits on a slow path: its frames carry less.
    if (seed % 2 == 0) {
      plc_->setReadLimits(89, 200);
    } else {
      plc_->setReadLimits(FINS_MULTI_READ_MAX_ELEMENTS,
                          FINS_MEMORY_AREA_READ_MAX_WORDS);
    }
    RandomCell cell(seed, *plc_);
    const std::vector<fins_multidata_tp> items = cell.items(600 + seed * 60);
    cell.refuseAWord(items);
    cell.refuseAWord(items);

    std::vector<fins_multidata_tp> expected = items;
    std::vector<int> expectedCode(items.size());
    for (std::size_t i = 0; i < items.size(); ++i) {
      expectedCode[i] =
          finslib_multiple_memory_area_read(alone_, &expected[i], 1);
    }

    plc_->clearReceivedFrames();
    std::vector<PlcLink::ReadStanding> standings(items.size());
    bool settled = false;
    // Each pass finds at most one refused item per refused frame.
    for (int pass = 0; pass < 300 && !settled; ++pass) {
      std::vector<PlcLink::ItemRead> reads(items.size());
      for (std::size_t i = 0; i < items.size(); ++i) {
        reads[i].item = items[i];
        reads[i].standing = &standings[i];
      }
      std::vector<PlcLink::ReadNote> notes;
      ASSERT_EQ(0,
                link_.readPass(reads, std::chrono::steady_clock::now(), notes));
      settled = true;
      for (std::size_t i = 0; i < items.size(); ++i) {
        const int outcome = reads[i].outcome;
        // A refused item not reached yet is found in a later pass.
        if (outcome == PlcLink::kNotRead) {
          settled = false;
          continue;
        }
        ASSERT_EQ(expectedCode[i], outcome)
            << items[i].address << " type " << items[i].type;
        if (outcome == 0) {
          ASSERT_EQ(0, std::memcmp(&expected[i].value, &reads[i].item.value,
                                   sizeof expected[i].value))
              << items[i].address << " type " << items[i].type;
        }
      }
    }
    EXPECT_TRUE(settled);
    const auto frames = plc_->receivedFrames();
    EXPECT_TRUE(std::any_of(frames.begin(), frames.end(), isRangeRead))
        << "no range was read";
  }
}

// 1,000 Int16 words in one block, and 200 more one word in ten: ranges and
// packed reads, on a path that carries 89 elements and 200 words a frame.
class ReadPlanEngineTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    ASSERT_TRUE(connectEngine());
  }
  void addMappings(int block, int scattered) {
    for (int i = 0; i < block + scattered; ++i) {
      const int word = i < block ? i : block + 10 * (i - block + 1);
      const std::string name =
          std::string("in") + static_cast<char>('a' + i / 100) +
          static_cast<char>('a' + i / 2600) + std::to_string(i % 100);
      names_.push_back(name);
      ASSERT_TRUE(engine_->addMapping("DM" + std::to_string(word), name, "",
                                      Int16, FinsExIO::PlcToRobot));
    }
  }
  bool allGood() {
    for (const std::string& name : names_) {
      if (engine_->getMapState(name) != 0) return false;
    }
    return true;
  }
  std::vector<std::string> names_;
};

TEST_F(ReadPlanEngineTest, FramesRefusedForTheirLengthShrinkAndNothingFails) {
  plc_->setReadLimits(89, 200);
  addMappings(1000, 200);
  const auto fits = [](const std::vector<std::uint8_t>& frame) {
    return isRangeRead(frame) ? readWords(frame) <= 200
                              : readElements(frame) <= 89;
  };
  // Shrunk within a few cycles: two cycles whose every read fits the path.
  ASSERT_TRUE(waitFor([&] {
    plc_->clearReceivedFrames();
    const auto frames = waitCycles(2) ? reads() : decltype(reads()){};
    return !frames.empty() && std::all_of(frames.begin(), frames.end(), fits);
  }));
  ASSERT_TRUE(waitFor([&] { return allGood(); }));
  const std::size_t records = log_.count("Fins PLC refused a read of");
  // One record per halving, of ranges (999 -> 124 words) and of packed
  // reads (167 -> 83 elements); none once the frames fit.
  EXPECT_GE(records, 2u);
  EXPECT_LE(records, 4u);
  plc_->clearReceivedFrames();
  ASSERT_TRUE(waitCycles(3));
  EXPECT_TRUE(allGood());
  EXPECT_EQ(records, log_.count("Fins PLC refused a read of"));
  for (const auto& frame : reads()) EXPECT_TRUE(fits(frame));
}

TEST_F(ReadPlanEngineTest, RangeRefusedForAGapWordIsSplitAndNothingFails) {
  addMappings(300, 0);
  // Two more beyond a gap of 20 words: one range covers all.
  ASSERT_TRUE(
      engine_->addMapping("DM320", "xa1", "", Int16, FinsExIO::PlcToRobot));
  ASSERT_TRUE(
      engine_->addMapping("DM321", "xa2", "", Int16, FinsExIO::PlcToRobot));
  names_.insert(names_.end(), {"xa1", "xa2"});
  ASSERT_TRUE(waitFor([&] { return allGood(); }));

  plc_->refuseElement(kDmWordCode, 310, kOutOfRange);
  // Register 2 is also inaa2's (DM2), inab2's and inac2's.
  for (const int word : {2, 102, 202, 321}) plc_->setWord("DM", word, 4242);
  ASSERT_TRUE(waitFor([&] { return exio_->inputInt(2) == 4242; }));
  ASSERT_TRUE(waitFor([&] {
    return log_.count("the words between its mappings are no longer read") == 1;
  }));
  plc_->clearReceivedFrames();
  ASSERT_TRUE(waitCycles(3));
  EXPECT_TRUE(allGood());
  EXPECT_EQ(1u,
            log_.count("the words between its mappings are no longer read"));
  EXPECT_EQ(0u, log_.count("Fins mapping"));  // no mapping was refused
  ASSERT_FALSE(reads().empty());
  for (const auto& frame : reads()) {
    EXPECT_FALSE(readAsksFor(frame, kDmWordCode, 310));
  }
}

}  // namespace
}  // namespace exiotest
