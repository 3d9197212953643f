// No receive loop may spin on a recv() failure that repeats: recv() is replaced in this binary so
// that it fails on demand for one descriptor only (the library's socket), and the calls are counted.
// Only the test's own thread is scripted: the library runs there, while the scripted peer's threads
// may be handed the same descriptor number once the library has closed its socket.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>

#include "scripted_peer.h"
#include "wire_helpers.h"

namespace {

std::atomic<int> g_fd{-1};       // descriptor whose recv() is scripted; -1: none
std::atomic<int> g_errno{0};     // errno of the failures
std::atomic<int> g_pass{0};      // calls that pass through before the failures start
std::atomic<int> g_failures{0};  // failures (then calls pass through again); -1: for ever
std::atomic<int> g_calls{0};     // recv() calls on the descriptor since arm()
thread_local bool t_scripted = false;  // this thread armed the script

using RecvFn = ssize_t (*)(int, void*, size_t, int);

RecvFn realRecv() {
  static RecvFn fn = reinterpret_cast<RecvFn>(dlsym(RTLD_NEXT, "recv"));
  return fn;
}

void arm(int fd, int err, int pass, int failures) {
  g_calls = 0;
  g_errno = err;
  g_pass = pass;
  g_failures = failures;
  t_scripted = true;
  g_fd = fd;
}

void disarm() {
  g_fd = -1;
  t_scripted = false;
}

}  // namespace

extern "C" ssize_t recv(int fd, void* buf, size_t len, int flags) {
  if (t_scripted && fd != -1 && fd == g_fd.load()) {
    int call = ++g_calls;
    if (call > 1000) {
      g_fd = -1;  // a spinning loop: let it go so that the test fails instead of hanging
    } else if (call > g_pass.load() && g_failures.load() != 0) {
      if (g_failures.load() > 0) --g_failures;
      errno = g_errno.load();
      return -1;
    }
  }
  return realRecv()(fd, buf, len, flags);
}

namespace finstest {
namespace {

class RecvFault : public ::testing::Test {
 protected:
  void SetUp() override {
    int err = -1;
    sys_ = connectTo(peer_.port(), &err, -1);
    ASSERT_NE(sys_, nullptr);
    ASSERT_EQ(err, 0);
  }
  void TearDown() override {
    disarm();
    finslib_disconnect(sys_);
  }
  int exchange() {
    XX_finslib_init_command(sys_, &cmd_, 0x05, 0x01);
    size_t len = 0;
    return XX_finslib_communicate(sys_, &cmd_, &len, true);
  }
  ScriptedPeer peer_;
  fins_sys_tp* sys_ = nullptr;
  fins_command_tp cmd_;
};

TEST_F(RecvFault, RepeatingFailureEndsTheHeaderLoop) {
  int n = 0;
  for (int err : {ENOTCONN, ENOBUFS, ENOTSOCK, EBADF, ECONNRESET}) {
    arm(sys_->sockfd, err, 0, -1);
    Stopwatch sw;
    EXPECT_EQ(exchange(), FINS_RETVAL_TCP_HEADER_INCOMPLETE) << err;
    EXPECT_EQ(g_calls.load(), 1) << err;
    EXPECT_LT(sw.seconds(), 2.0);
    disarm();
    // the answer is still on its way: read it off so that the next round starts in step
    ASSERT_TRUE(peer_.waitForFrames(++n, std::chrono::seconds(2)));
    uint8_t junk[16 + 14];
    ASSERT_EQ(::recv(sys_->sockfd, junk, sizeof junk, MSG_WAITALL), static_cast<ssize_t>(sizeof junk));
  }
}

TEST_F(RecvFault, RepeatingFailureEndsTheFrameLoop) {
  arm(sys_->sockfd, ENOBUFS, 1, -1);  // the header arrives, then every call fails
  Stopwatch sw;
  EXPECT_EQ(exchange(), FINS_RETVAL_RESPONSE_INCOMPLETE);
  EXPECT_EQ(g_calls.load(), 2);
  EXPECT_LT(sw.seconds(), 2.0);
}

TEST_F(RecvFault, RepeatingFailureEndsTheDrain) {
  peer_.pushReply([](const Bytes& req) {
    Action a{ScriptedPeer::reply(req)};
    a.bytes[16 + 9] = static_cast<uint8_t>(a.bytes[16 + 9] + 7);  // foreign SID
    return a;
  });
  arm(sys_->sockfd, ENOTCONN, 2, -1);  // header and frame arrive, the drain meets the failure
  Stopwatch sw;
  EXPECT_EQ(exchange(), FINS_RETVAL_SYNC_ERROR);
  EXPECT_EQ(g_calls.load(), 3);
  EXPECT_LT(sw.seconds(), 2.0);
}

TEST_F(RecvFault, InterruptedReceiveIsRetried) {
  peer_.pushReply([](const Bytes& req) { return Action{ScriptedPeer::reply(req, 0, Bytes(158, 0x20))}; });
  arm(sys_->sockfd, EINTR, 0, 3);
  EXPECT_EQ(exchange(), 0);
  EXPECT_GE(g_calls.load(), 5);  // 3 interrupted, then header and frame
  arm(sys_->sockfd, EINTR, 1, 2);  // interrupted between header and frame
  EXPECT_EQ(exchange(), 0);
}

TEST(RecvFaultHandshake, RepeatingFailureEndsTheHandshakeLoop) {
  ScriptedPeer peer;
  // The connect's socket will be the lowest free descriptor, which this probe finds.
  int probe = socket(AF_INET, SOCK_STREAM, 0);
  close(probe);
  arm(probe, ENOBUFS, 0, -1);
  int err = -1;
  Stopwatch sw;
  fins_sys_tp* sys = connectTo(peer.port(), &err);
  disarm();
  ASSERT_NE(sys, nullptr);
  EXPECT_EQ(err, FINS_RETVAL_TCP_HEADER_INCOMPLETE);
  EXPECT_EQ(g_calls.load(), 1);
  EXPECT_LT(sw.seconds(), 2.0);
  finslib_disconnect(sys);
}

TEST(RecvFaultHandshake, InterruptedHandshakeIsRetried) {
  ScriptedPeer peer;
  int probe = socket(AF_INET, SOCK_STREAM, 0);
  close(probe);
  arm(probe, EINTR, 0, 2);
  int err = -1;
  fins_sys_tp* sys = connectTo(peer.port(), &err);
  disarm();
  ASSERT_NE(sys, nullptr);
  EXPECT_EQ(err, 0);
  EXPECT_GE(g_calls.load(), 3);
  finslib_disconnect(sys);
}

}  // namespace
}  // namespace finstest
