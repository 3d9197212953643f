#include "methods/detached_worker.h"

#include <exception>
#include <thread>
#include <utility>

#include "service/logger.h"

namespace FINS {
namespace METHOD {

namespace {

void runWorker(const char* methodName, const std::function<void()>& work) {
  try {
    work();
  } catch (const std::exception& e) {
    Logger::getInstance()->log<Logger::ERROR>(
        "Fins %s worker fail: %s", __func__, __LINE__, methodName, e.what());
  } catch (...) {
    Logger::getInstance()->log<Logger::ERROR>(
        "Fins %s worker fail: unknown exception", __func__, __LINE__,
        methodName);
  }
}

}  // namespace

void startDetachedWorker(const char* methodName, std::function<void()> work) {
  std::thread(runWorker, methodName, std::move(work)).detach();
}

}  // namespace METHOD
}  // namespace FINS
