#include "methods/engine_work_queue.h"

#include <chrono>
#include <deque>
#include <exception>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>

#include "service/logger.h"
#include "service/mutex.h"
#include "service/thread_annotations.h"

namespace FINS {
namespace METHOD {

namespace {

void runWork(const char* methodName, const std::function<void()>& work) {
  try {
    work();
  } catch (const std::exception& e) {
    GW_LOG_AS(ERROR, "runWorker", "Fins %s worker fail: %s", methodName,
              e.what());
  } catch (...) {
    GW_LOG_AS(ERROR, "runWorker", "Fins %s worker fail: unknown exception",
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

  void push(const char* methodName, std::function<void()> work)
      EXCLUDES(mutex_) {
    gw::MutexLock lock(mutex_);
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

  void drain() EXCLUDES(mutex_) {
    for (;;) {
      Item item;
      {
        gw::MutexLock lock(mutex_);
        while (items_.empty()) ready_.wait(mutex_);
        item = std::move(items_.front());
        items_.pop_front();
      }
      runWork(item.first, item.second);
    }
  }

  gw::Mutex mutex_;
  gw::CondVar ready_;
  std::deque<Item> items_ GUARDED_BY(mutex_);
  bool started_ GUARDED_BY(mutex_) = false;
};

}  // namespace

void flushEngineWork() {
  gw::Mutex mutex;
  gw::CondVar done;
  bool ran = false;  // under mutex (a local: the analysis cannot guard it)
  // Queued like any other item, so it runs after everything queued before;
  // a full queue is waited out rather than refused.
  for (;;) {
    try {
      queueEngineWork("flush", [&] {
        gw::MutexLock lock(mutex);
        ran = true;
        done.notify_one();
      });
      break;
    } catch (const std::runtime_error&) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  gw::MutexLock lock(mutex);
  while (!ran) done.wait(mutex);
}

void queueEngineWork(const char* methodName, std::function<void()> work) {
  EngineWorkQueue::instance().push(methodName, std::move(work));
}

}  // namespace METHOD
}  // namespace FINS
