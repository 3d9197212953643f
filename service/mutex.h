// Mutexes and scoped locks that clang's thread-safety analysis can follow:
// thin inline wrappers over the standard ones, which libstdc++ does not
// annotate. They satisfy BasicLockable (and Lockable), so std::lock_guard and
// std::unique_lock still accept them where the analysis need not look.
//
//   gw::Mutex          over std::mutex
//   gw::SharedMutex    over std::shared_timed_mutex
//   gw::MutexLock      holds a Mutex for its scope
//   gw::UniqueMutexLock  the same, but may be unlocked early and taken again
//   gw::ReaderLock     holds a SharedMutex shared for its scope
//   gw::WriterLock     holds a SharedMutex exclusively for its scope
//   gw::CondVar        a condition variable waited on with a Mutex held
//
// CondVar has no predicate overloads on purpose: the analysis checks a
// lambda as a function of its own, with no lock held, so a predicate that
// reads guarded members would not pass. Callers write the loop:
//   while (!ready_) cv_.wait(mu_);

#ifndef GW_SERVICE_MUTEX_H_
#define GW_SERVICE_MUTEX_H_

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <shared_mutex>

#include "service/thread_annotations.h"

namespace gw {

class CondVar;

class CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void lock() ACQUIRE() { mu_.lock(); }
  void unlock() RELEASE() { mu_.unlock(); }
  bool try_lock() TRY_ACQUIRE(true) { return mu_.try_lock(); }

  // For a function that runs with the mutex held but is reached through a
  // path the analysis cannot see (a callback); checks nothing at run time.
  void assertHeld() const ASSERT_CAPABILITY(this) {}

 private:
  friend class CondVar;
  std::mutex mu_;
};

class CAPABILITY("shared mutex") SharedMutex {
 public:
  SharedMutex() = default;
  SharedMutex(const SharedMutex&) = delete;
  SharedMutex& operator=(const SharedMutex&) = delete;

  void lock() ACQUIRE() { mu_.lock(); }
  void unlock() RELEASE() { mu_.unlock(); }
  bool try_lock() TRY_ACQUIRE(true) { return mu_.try_lock(); }
  template <typename Rep, typename Period>
  bool try_lock_for(const std::chrono::duration<Rep, Period>& timeout)
      TRY_ACQUIRE(true) {
    return mu_.try_lock_for(timeout);
  }

  void lock_shared() ACQUIRE_SHARED() { mu_.lock_shared(); }
  void unlock_shared() RELEASE_SHARED() { mu_.unlock_shared(); }
  bool try_lock_shared() TRY_ACQUIRE_SHARED(true) {
    return mu_.try_lock_shared();
  }
  template <typename Rep, typename Period>
  bool try_lock_shared_for(const std::chrono::duration<Rep, Period>& timeout)
      TRY_ACQUIRE_SHARED(true) {
    return mu_.try_lock_shared_for(timeout);
  }

  void assertHeld() const ASSERT_CAPABILITY(this) {}

 private:
  std::shared_timed_mutex mu_;
};

class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mu) ACQUIRE(mu) : mu_(mu) { mu_.lock(); }
  ~MutexLock() RELEASE() { mu_.unlock(); }

  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex& mu_;
};

// For code that lets go of the mutex before the scope ends (to log, or call
// out, without it) and may take it again; the destructor unlocks only if
// the lock is held then.
class SCOPED_CAPABILITY UniqueMutexLock {
 public:
  explicit UniqueMutexLock(Mutex& mu) ACQUIRE(mu) : mu_(mu) { mu_.lock(); }
  ~UniqueMutexLock() RELEASE() {
    if (held_) mu_.unlock();
  }

  UniqueMutexLock(const UniqueMutexLock&) = delete;
  UniqueMutexLock& operator=(const UniqueMutexLock&) = delete;

  void lock() ACQUIRE() {
    mu_.lock();
    held_ = true;
  }
  void unlock() RELEASE() {
    held_ = false;
    mu_.unlock();
  }

 private:
  Mutex& mu_;
  bool held_ = true;
};

class SCOPED_CAPABILITY ReaderLock {
 public:
  explicit ReaderLock(SharedMutex& mu) ACQUIRE_SHARED(mu) : mu_(mu) {
    mu_.lock_shared();
  }
  ~ReaderLock() RELEASE() { mu_.unlock_shared(); }

  ReaderLock(const ReaderLock&) = delete;
  ReaderLock& operator=(const ReaderLock&) = delete;

 private:
  SharedMutex& mu_;
};

class SCOPED_CAPABILITY WriterLock {
 public:
  explicit WriterLock(SharedMutex& mu) ACQUIRE(mu) : mu_(mu) { mu_.lock(); }
  ~WriterLock() RELEASE() { mu_.unlock(); }

  WriterLock(const WriterLock&) = delete;
  WriterLock& operator=(const WriterLock&) = delete;

 private:
  SharedMutex& mu_;
};

// std::condition_variable waits on std::unique_lock<std::mutex> only, which
// the analysis cannot see into; this one is handed the Mutex itself, held,
// and returns with it held again, as the analysis expects.
class CondVar {
 public:
  CondVar() = default;
  CondVar(const CondVar&) = delete;
  CondVar& operator=(const CondVar&) = delete;

  // Unlocks `mu`, waits for a notification (or a spurious wake-up) and
  // locks `mu` again before it returns.
  void wait(Mutex& mu) REQUIRES(mu) {
    std::unique_lock<std::mutex> lock(mu.mu_, std::adopt_lock);
    cv_.wait(lock);
    lock.release();  // still held: the caller's lock owns it
  }
  template <typename Clock, typename Duration>
  std::cv_status wait_until(
      Mutex& mu, const std::chrono::time_point<Clock, Duration>& deadline)
      REQUIRES(mu) {
    std::unique_lock<std::mutex> lock(mu.mu_, std::adopt_lock);
    const std::cv_status status = cv_.wait_until(lock, deadline);
    lock.release();
    return status;
  }
  template <typename Rep, typename Period>
  std::cv_status wait_for(Mutex& mu,
                          const std::chrono::duration<Rep, Period>& timeout)
      REQUIRES(mu) {
    std::unique_lock<std::mutex> lock(mu.mu_, std::adopt_lock);
    const std::cv_status status = cv_.wait_for(lock, timeout);
    lock.release();
    return status;
  }

  void notify_one() noexcept { cv_.notify_one(); }
  void notify_all() noexcept { cv_.notify_all(); }

 private:
  std::condition_variable cv_;
};

}  // namespace gw

#endif  // GW_SERVICE_MUTEX_H_
