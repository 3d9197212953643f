// Lock annotations that clang's -Wthread-safety checks at compile time: a
// member says which mutex guards it, a function which mutexes it needs held
// or must not hold, a mutex which others it is taken after. Other compilers
// see empty macros, so the annotations cost nothing there and GCC keeps
// building the same code.
//
// The capability types they name are in service/mutex.h; libstdc++'s own
// mutexes carry no annotations and are invisible to the analysis.

#ifndef GW_SERVICE_THREAD_ANNOTATIONS_H_
#define GW_SERVICE_THREAD_ANNOTATIONS_H_

#if defined(__clang__)
#define GW_THREAD_ANNOTATION_(x) __attribute__((x))
#else
#define GW_THREAD_ANNOTATION_(x)
#endif

// A type that is a lock: a mutex the analysis tracks.
#define CAPABILITY(x) GW_THREAD_ANNOTATION_(capability(x))
// An RAII type that holds a capability for its lifetime.
#define SCOPED_CAPABILITY GW_THREAD_ANNOTATION_(scoped_lockable)

// A data member read or written only with the given mutex held (shared
// holding is enough to read).
#define GUARDED_BY(x) GW_THREAD_ANNOTATION_(guarded_by(x))
// A pointer member whose pointee is guarded (the pointer itself is not).
#define PT_GUARDED_BY(x) GW_THREAD_ANNOTATION_(pt_guarded_by(x))

// Lock order between mutexes, checked with -Wthread-safety-beta.
#define ACQUIRED_BEFORE(...) GW_THREAD_ANNOTATION_(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) GW_THREAD_ANNOTATION_(acquired_after(__VA_ARGS__))

// The caller must hold the mutexes (exclusively, or at least shared).
#define REQUIRES(...) GW_THREAD_ANNOTATION_(requires_capability(__VA_ARGS__))
#define REQUIRES_SHARED(...) \
  GW_THREAD_ANNOTATION_(requires_shared_capability(__VA_ARGS__))

// The function takes the mutexes and returns with them held; with no
// argument, on a capability type, the object itself.
#define ACQUIRE(...) GW_THREAD_ANNOTATION_(acquire_capability(__VA_ARGS__))
#define ACQUIRE_SHARED(...) \
  GW_THREAD_ANNOTATION_(acquire_shared_capability(__VA_ARGS__))

// The function releases mutexes the caller held; RELEASE on a scoped type's
// member releases whatever way it was held.
#define RELEASE(...) GW_THREAD_ANNOTATION_(release_capability(__VA_ARGS__))
#define RELEASE_SHARED(...) \
  GW_THREAD_ANNOTATION_(release_shared_capability(__VA_ARGS__))

// The function takes the mutexes only when it returns the first argument.
#define TRY_ACQUIRE(...) \
  GW_THREAD_ANNOTATION_(try_acquire_capability(__VA_ARGS__))
#define TRY_ACQUIRE_SHARED(...) \
  GW_THREAD_ANNOTATION_(try_acquire_shared_capability(__VA_ARGS__))

// The caller must not hold the mutexes: the function takes them itself.
#define EXCLUDES(...) GW_THREAD_ANNOTATION_(locks_excluded(__VA_ARGS__))

// Tells the analysis the mutex is held at this point, without taking it.
#define ASSERT_CAPABILITY(x) GW_THREAD_ANNOTATION_(assert_capability(x))

// The function returns a reference to the given mutex (an accessor).
#define RETURN_CAPABILITY(x) GW_THREAD_ANNOTATION_(lock_returned(x))

// Leaves the function out of the analysis: for code whose locking the
// analysis cannot follow. Each use says why.
#define NO_THREAD_SAFETY_ANALYSIS \
  GW_THREAD_ANNOTATION_(no_thread_safety_analysis)

#endif  // GW_SERVICE_THREAD_ANNOTATIONS_H_
