// Stopping the external IO simulator right after a client let go: no
// connection that already ended is interrupted.

#include <dlfcn.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <set>
#include <thread>

#include "robotio/extern_io_client.h"
#include "tests/exio/engine_test_support.h"

namespace exiotest {

// Every engine test's teardown destroys the engine, whose HTTP client closes its
// connection, and then stops the external IO simulator. The connection
// thread of the HTTP library ends on its own at that moment, and when the
// library's server loop, told to stop, interrupted every connection it
// still found unfinished, it could interrupt this one just as it freed its
// channel: a use after free, seen as a rare SIGSEGV under qemu.
//
// The functions below stand in for the library's own (the library calls
// them through its procedure linkage table, so the program's definitions
// win) and hand each call on unchanged. While a test arms them, they hold
// a connection thread whose client has left until the server loop comes to
// interrupt a connection, and then hold the interrupt until that
// connection's channel is gone. The moment that otherwise lasts a few
// instructions then lasts until it is decided, so an interrupt of an ended
// connection happens on every run instead of once in a thousand, and is
// counted instead of being let run on freed memory.

namespace {

struct ChannelWatch {
  std::atomic<bool> armed{false};
  std::mutex mutex;
  std::condition_variable changed;
  bool interruptCame = false;  // the server loop reached a connection
  int heldReads = 0;           // connection threads held after their end
  std::set<const void*> destroyed;
  int interruptsOfDestroyed = 0;
};

ChannelWatch& watch() {
  static ChannelWatch* const instance = new ChannelWatch;  // never destroyed
  return *instance;
}

template <typename Function>
Function libraryFunction(const char* name) {
  void* const found = ::dlsym(RTLD_NEXT, name);
  if (found == nullptr) std::abort();
  return reinterpret_cast<Function>(found);
}

// How long a held connection thread waits for the server loop to come: it
// never comes when the server is stopped only after its connections ended.
constexpr auto kHoldLimit = 500ms;
// How long a held interrupt waits for the connection's channel to go.
constexpr auto kInterruptHoldLimit = 2000ms;

}  // namespace

extern "C" {

void ConnRead(void* connection, std::uint32_t timeout, int* eof,
              int* timedOut, const char** error) {
  using Read = void (*)(void*, std::uint32_t, int*, int*, const char**);
  static const Read read = libraryFunction<Read>("ConnRead");
  read(connection, timeout, eof, timedOut, error);
  ChannelWatch& w = watch();
  if (!w.armed.load() || *eof == 0) return;
  std::unique_lock<std::mutex> lock(w.mutex);
  ++w.heldReads;
  w.changed.notify_all();
  w.changed.wait_for(lock, kHoldLimit, [&] { return w.interruptCame; });
}

void ChannelInterrupt(void* channel) {
  using Interrupt = void (*)(void*);
  static const Interrupt interrupt =
      libraryFunction<Interrupt>("ChannelInterrupt");
  ChannelWatch& w = watch();
  if (w.armed.load()) {
    std::unique_lock<std::mutex> lock(w.mutex);
    w.interruptCame = true;
    w.changed.notify_all();
    if (w.heldReads > 0) {
      w.changed.wait_for(lock, kInterruptHoldLimit,
                         [&] { return w.destroyed.count(channel) > 0; });
    }
    if (w.destroyed.count(channel) > 0) {
      ++w.interruptsOfDestroyed;
      return;
    }
  }
  interrupt(channel);
}

void ChannelDestroy(void* channel) {
  using Destroy = void (*)(void*);
  static const Destroy destroy = libraryFunction<Destroy>("ChannelDestroy");
  ChannelWatch& w = watch();
  if (w.armed.load()) {
    std::lock_guard<std::mutex> lock(w.mutex);
    w.destroyed.insert(channel);
    w.changed.notify_all();
  }
  destroy(channel);
}

void ChannelCreate(const void* vtbl, void* impl, void** channel) {
  using Create = void (*)(const void*, void*, void**);
  static const Create create = libraryFunction<Create>("ChannelCreate");
  create(vtbl, impl, channel);
  ChannelWatch& w = watch();
  if (w.armed.load() && *channel != nullptr) {
    // A new channel may take the memory of one destroyed before.
    std::lock_guard<std::mutex> lock(w.mutex);
    w.destroyed.erase(*channel);
  }
}

}  // extern "C"

namespace {

// Arms the watch for a test's lifetime.
class ArmedWatch {
 public:
  ArmedWatch() {
    ChannelWatch& w = watch();
    std::lock_guard<std::mutex> lock(w.mutex);
    w.interruptCame = false;
    w.heldReads = 0;
    w.destroyed.clear();
    w.interruptsOfDestroyed = 0;
    w.armed.store(true);
  }
  ~ArmedWatch() { watch().armed.store(false); }
  ArmedWatch(const ArmedWatch&) = delete;
  ArmedWatch& operator=(const ArmedWatch&) = delete;

  int heldReads() const {
    std::lock_guard<std::mutex> lock(watch().mutex);
    return watch().heldReads;
  }
  int interruptsOfDestroyed() const {
    std::lock_guard<std::mutex> lock(watch().mutex);
    return watch().interruptsOfDestroyed;
  }
};

TEST(SimulatorStopTest, StopRightAfterAClientLeftInterruptsNoEndedConnection) {
  exiosim::Options options;
  options.port = 0;
  exiosim::ExioSimulator sim(options);
  std::string error;
  ASSERT_TRUE(sim.start(&error)) << error;
  ArmedWatch armed;
  {
    ExternIOClient client(sim.url());
    ASSERT_TRUE(client.isConnectController());
  }
  // The connection thread has read the end of the stream and is held
  // before it ends, as the teardown's would be on a busy machine.
  ASSERT_TRUE(waitFor([&] { return armed.heldReads() == 1; }));
  sim.stop();
  EXPECT_EQ(0, armed.interruptsOfDestroyed());
}

}  // namespace

}  // namespace exiotest
