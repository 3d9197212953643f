// The engine under concurrent use: the synchronisation loop runs against
// both simulators while several threads add, remove and inspect mappings
// and read and write PLC memory directly. Meant for ThreadSanitizer: no data
// race, no lock-order inversion, no deadlock, and a sound table at the end.

#include <atomic>
#include <functional>
#include <iterator>
#include <random>
#include <set>
#include <thread>

#include "tests/exio/engine_test_support.h"

namespace exiotest {
namespace {

constexpr auto kRunTime = 3s;
constexpr int kNames = 16;

const FinsDataType kTypes[] = {Int16, Int32, Uint16, Float, Double, Bit,
                               BCD16};

std::string nameOf(int i) { return "r" + std::to_string(i); }

class StressTest : public EngineTest {
 protected:
  // Runs `body` with a thread-local random source until the run ends.
  std::thread worker(std::function<void(std::mt19937&)> body, unsigned seed) {
    return std::thread([this, body, seed] {
      std::mt19937 random(seed);
      while (!stop_) {
        body(random);
      }
    });
  }

  std::atomic<bool> stop_{false};
};

TEST_F(StressTest, ConcurrentUseKeepsTheTableSound) {
  ASSERT_TRUE(connectEngine());
  for (int i = 0; i < kNames; ++i) {
    exio_->setOutputInt(i, i);
    exio_->setOutputBool(i, i % 2 == 0);
  }

  std::vector<std::thread> threads;
  for (unsigned seed = 1; seed <= 2; ++seed) {
    threads.push_back(worker(
        [this](std::mt19937& random) {
          const std::string name = nameOf(random() % kNames);
          if (random() % 3 == 0) {
            engine_->removeMapping(name);
            return;
          }
          const FinsDataType type = kTypes[random() % std::size(kTypes)];
          std::string address = "DM" + std::to_string(random() % 40);
          if (type == Bit) {
            address = "W" + std::to_string(random() % 4) + "." +
                      std::to_string(random() % 16);
          }
          engine_->addMapping(
              address, name, "", type,
              static_cast<FinsExIO::MappingDirection>(random() % 2));
        },
        seed));
  }
  threads.push_back(worker(
      [this](std::mt19937& random) {
        const std::string name = nameOf(random() % kNames);
        engine_->getMapState(name);
        engine_->getMapDirection(name);
        engine_->getMapping();
        engine_->getState();
      },
      3));
  threads.push_back(worker(
      [this](std::mt19937& random) {
        FinsValue value;
        const std::string address = "DM" + std::to_string(random() % 40);
        engine_->memoryAreaReadInternal(address, Int16, value);
        engine_->memoryAreaReadInternal(address, Float, value);
        engine_->memoryAreaWrite("DM" + std::to_string(100 + random() % 40),
                                 Int16, FinsValue(short(random() % 1000)));
      },
      4));
  threads.push_back(worker(
      [this](std::mt19937& random) {
        switch (random() % 8) {
          case 0:
            connectEngine();
            break;
          case 1:
            plc_->dropAllConnections();
            break;
          default:
            engine_->getPLCMode();
            engine_->getCPUData();
            engine_->setPLCMode("CJ");
            break;
        }
        std::this_thread::sleep_for(20ms);
      },
      5));

  std::this_thread::sleep_for(kRunTime);
  stop_ = true;
  for (auto& thread : threads) {
    thread.join();
  }

  EXPECT_EQ("", tableProblems(impl()));
  {
    // The public listing agrees with the containers.
    const auto listed = engine_->getMapping();
    gw::ReaderLock lock(impl().mappings.mappingLock);
    for (const auto& entry : listed) {
      EXPECT_TRUE(impl().mappings.plcToRobotMap.count(entry.first) != 0 ||
                  impl().mappings.robotToPlcIndex.count(entry.first) != 0)
          << entry.first;
    }
    std::set<std::string> names;
    for (const auto& e : impl().mappings.plcToRobotMap) names.insert(e.first);
    for (const auto& e : impl().mappings.robotToPlcIndex) names.insert(e.first);
    EXPECT_EQ(listed.size(), names.size());
  }

  // The engine still works: a clean table exchanges again.
  for (int i = 0; i < kNames; ++i) {
    engine_->removeMapping(nameOf(i));
    engine_->removeMapping(nameOf(i));
  }
  EXPECT_TRUE(engine_->getMapping().empty());
  EXPECT_EQ("", tableProblems(impl()));
  ASSERT_TRUE(waitFor([&] {
    const int state = engine_->getState();
    return state == FinsExIO::Connected;
  }));
  ASSERT_TRUE(engine_->addMapping("DM500", "r1", "", Int16,
                                  FinsExIO::PlcToRobot));
  ASSERT_TRUE(engine_->addMapping("DM501", "r2", "", Int16,
                                  FinsExIO::RobotToPlc));
  plc_->setWord("DM", 500, 77);
  exio_->setOutputInt(2, 88);
  EXPECT_TRUE(waitFor([&] { return exio_->inputInt(1) == 77; }));
  EXPECT_TRUE(waitFor([&] { return plc_->word("DM", 501) == 88; }));
}

}  // namespace
}  // namespace exiotest
