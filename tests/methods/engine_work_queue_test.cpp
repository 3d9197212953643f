#include "methods/engine_work_queue.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <iostream>
#include <mutex>
#include <stdexcept>
#include <streambuf>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

// Collects what the logger writes to standard output; any thread may write.
class LogCapture : public std::streambuf {
 public:
  LogCapture() : saved_(std::cout.rdbuf(this)) {}
  ~LogCapture() override { std::cout.rdbuf(saved_); }

  std::string text() {
    std::lock_guard<std::mutex> lock(mutex_);
    return text_;
  }

 protected:
  int overflow(int c) override {
    if (c != traits_type::eof()) {
      std::lock_guard<std::mutex> lock(mutex_);
      text_.push_back(static_cast<char>(c));
    }
    return c;
  }
  std::streamsize xsputn(const char* s, std::streamsize n) override {
    std::lock_guard<std::mutex> lock(mutex_);
    text_.append(s, static_cast<std::size_t>(n));
    return n;
  }

 private:
  std::mutex mutex_;
  std::string text_;
  std::streambuf* saved_;
};

// Each promise is kept while the work unwinds, so the process is known to
// have survived the throw once the next worker runs.
TEST(EngineWorkQueue, FailingWorkIsLoggedAndLaterWorkStillRuns) {
  LogCapture log;
  std::promise<void> thrown;
  std::promise<void> unknownThrown;
  std::promise<void> ran;

  FINS::METHOD::queueEngineWork("addMapping", [&] {
    struct Signal {
      std::promise<void>* p;
      ~Signal() { p->set_value(); }
    } signal{&thrown};
    throw std::runtime_error("lock failed");
  });
  ASSERT_EQ(thrown.get_future().wait_for(10s), std::future_status::ready);

  FINS::METHOD::queueEngineWork("connect", [&] {
    struct Signal {
      std::promise<void>* p;
      ~Signal() { p->set_value(); }
    } signal{&unknownThrown};
    throw 42;
  });
  ASSERT_EQ(unknownThrown.get_future().wait_for(10s),
            std::future_status::ready);

  FINS::METHOD::queueEngineWork("removeMapping",
                                    [&] { ran.set_value(); });
  ASSERT_EQ(ran.get_future().wait_for(10s), std::future_status::ready);

  // The records are written after the work unwound; wait for both.
  const std::string first = "Fins addMapping worker fail: lock failed";
  const std::string second = "Fins connect worker fail: unknown exception";
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  std::string text = log.text();
  while ((text.find(first) == std::string::npos ||
          text.find(second) == std::string::npos) &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(1ms);
    text = log.text();
  }
  EXPECT_NE(text.find(first), std::string::npos) << text;
  EXPECT_NE(text.find(second), std::string::npos) << text;
  EXPECT_NE(text.find("ERROR"), std::string::npos) << text;
}

// Items queued by several threads run one at a time in queue order, and a
// full backlog refuses the surplus item without queueing it.
TEST(EngineWorkQueue, RunsInOrderAndRefusesBeyondItsBacklog) {
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::promise<void> blocking;
  FINS::METHOD::queueEngineWork("connect", [&] {
    blocking.set_value();
    released.wait();
  });
  ASSERT_EQ(blocking.get_future().wait_for(10s), std::future_status::ready);

  std::mutex mutex;
  std::vector<std::size_t> order;
  for (std::size_t i = 0; i < FINS::METHOD::kMaxQueuedEngineWork; ++i) {
    FINS::METHOD::queueEngineWork("addMapping", [&, i] {
      std::lock_guard<std::mutex> lock(mutex);
      order.push_back(i);
    });
  }
  bool surplusRan = false;
  EXPECT_THROW(FINS::METHOD::queueEngineWork("removeMapping",
                                             [&] { surplusRan = true; }),
               std::runtime_error);

  std::promise<void> drained;
  release.set_value();
  // Room again as soon as the worker took items off the queue.
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  for (;;) {
    try {
      FINS::METHOD::queueEngineWork("removeMapping",
                                    [&] { drained.set_value(); });
      break;
    } catch (const std::runtime_error&) {
      ASSERT_LT(std::chrono::steady_clock::now(), deadline);
      std::this_thread::sleep_for(1ms);
    }
  }
  ASSERT_EQ(drained.get_future().wait_for(10s), std::future_status::ready);
  EXPECT_FALSE(surplusRan);
  std::lock_guard<std::mutex> lock(mutex);
  ASSERT_EQ(order.size(), FINS::METHOD::kMaxQueuedEngineWork);
  for (std::size_t i = 0; i < order.size(); ++i) {
    ASSERT_EQ(order[i], i);
  }
}

}  // namespace
