#include "methods/engine_work_queue.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>

#include "service/logger.h"

namespace FINS {
namespace METHOD {

namespace {

void runWork(const char* methodName, const std::function<void()>& work) {
  try {
    work();
  } catch (const std::exception& e) {
    Logger::getInstance()->log<Logger::ERROR>(
        "Fins %s worker fail: %s", "runWorker", __LINE__, methodName,
        e.what());
  } catch (...) {
    Logger::getInstance()->log<Logger::ERROR>(
        "Fins %s worker fail: unknown exception", "runWorker", __LINE__,
        methodName);
  }
}

// One FIFO and the thread that drains it. The thread is started with the
// first item and never ends: the queue lives as long as the process, like
// the engine it feeds, so no destructor ever waits for an engine call.
class EngineWorkQueue {
 public:
  static EngineWorkQueue& instance() {
    // Never destroyed: the worker may be inside an engine call at exit.
    static EngineWorkQueue* const queue = new EngineWorkQueue;
    return *queue;
  }

  void push(const char* methodName, std::function<void()> work) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (items_.size() >= kMaxQueuedEngineWork) {
      throw std::runtime_error(
          "Fins engine is busy: " + std::to_string(kMaxQueuedEngineWork) +
          " requests are waiting, try again later");
    }
    if (!started_) {
      std::thread(&EngineWorkQueue::drain, this).detach();
      started_ = true;
    }
    items_.emplace_back(methodName, std::move(work));
    ready_.notify_one();
  }

 private:
  using Item = std::pair<const char*, std::function<void()>>;

  void drain() {
    for (;;) {
      Item item;
      {
        std::unique_lock<std::mutex> lock(mutex_);
        ready_.wait(lock, [this] { return !items_.empty(); });
        item = std::move(items_.front());
        items_.pop_front();
      }
      runWork(item.first, item.second);
    }
  }

  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<Item> items_;  // GUARDED_BY(mutex_)
  bool started_ = false;    // GUARDED_BY(mutex_)
};

}  // namespace

void flushEngineWork() {
  std::mutex mutex;
  std::condition_variable done;
  bool ran = false;
  // Queued like any other item, so it runs after everything queued before;
  // a full queue is waited out rather than refused.
  for (;;) {
    try {
      queueEngineWork("flush", [&] {
        std::lock_guard<std::mutex> lock(mutex);
        ran = true;
        done.notify_one();
      });
      break;
    } catch (const std::runtime_error&) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  std::unique_lock<std::mutex> lock(mutex);
  done.wait(lock, [&] { return ran; });
}

void queueEngineWork(const char* methodName, std::function<void()> work) {
  EngineWorkQueue::instance().push(methodName, std::move(work));
}

}  // namespace METHOD
}  // namespace FINS
