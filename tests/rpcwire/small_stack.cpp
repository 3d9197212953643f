#include "small_stack.h"

#include <pthread.h>

#include <stdexcept>

namespace rpcwire_test {

namespace {

void* runWork(void* arg) {
  (*static_cast<const std::function<void()>*>(arg))();
  return nullptr;
}

}  // namespace

void runOnSmallStack(const std::function<void()>& work) {
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) throw std::runtime_error("attr init");
  pthread_attr_setstacksize(&attr, kSmallStackBytes);
  pthread_t thread;
  const int rc = pthread_create(&thread, &attr, runWork,
                                const_cast<std::function<void()>*>(&work));
  pthread_attr_destroy(&attr);
  if (rc != 0) throw std::runtime_error("pthread_create failed");
  pthread_join(thread, nullptr);
}

}  // namespace rpcwire_test
