// Thread rules the compiler checks: clang's thread-safety attributes, and a mutex and a lock that
// carry them (std::mutex in libstdc++ does not).
//
// A member that only some mutex's holder may touch says GUARDED_BY(thatMutex_); a function that
// must be called with the mutex held says REQUIRES(thatMutex_), one that takes it itself says
// EXCLUDES(thatMutex_). A clang build with QUARV_THREAD_SAFETY=ON (the "clang" preset) turns a
// broken rule into an error; on other compilers the attributes expand to nothing.
//
// Header only, standard library only: platform/ uses it too.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

#if defined(__clang__)
#define QUARV_THREAD_ATTRIBUTE(x) __attribute__((x))
#else
#define QUARV_THREAD_ATTRIBUTE(x)
#endif

#define CAPABILITY(x) QUARV_THREAD_ATTRIBUTE(capability(x))
#define SCOPED_CAPABILITY QUARV_THREAD_ATTRIBUTE(scoped_lockable)
#define GUARDED_BY(x) QUARV_THREAD_ATTRIBUTE(guarded_by(x))
#define PT_GUARDED_BY(x) QUARV_THREAD_ATTRIBUTE(pt_guarded_by(x))
#define REQUIRES(...) QUARV_THREAD_ATTRIBUTE(requires_capability(__VA_ARGS__))
#define EXCLUDES(...) QUARV_THREAD_ATTRIBUTE(locks_excluded(__VA_ARGS__))
#define ACQUIRE(...) QUARV_THREAD_ATTRIBUTE(acquire_capability(__VA_ARGS__))
#define RELEASE(...) QUARV_THREAD_ATTRIBUTE(release_capability(__VA_ARGS__))
#define RETURN_CAPABILITY(x) QUARV_THREAD_ATTRIBUTE(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS QUARV_THREAD_ATTRIBUTE(no_thread_safety_analysis)

namespace quarv {

// A std::mutex the analysis knows as a capability. Taken with MutexLock.
class CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void Lock() ACQUIRE() { mutex_.lock(); }
  void Unlock() RELEASE() { mutex_.unlock(); }

 private:
  friend class MutexLock;
  std::mutex mutex_;
};

// Holds a Mutex for its scope, and waits on condition variables with it. A predicate that reads
// guarded members says so: [this]() REQUIRES(mutex_) { return done_; }. It is called with the
// mutex held, inside the standard library's wait.
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& mutex) ACQUIRE(mutex) : lock_(mutex.mutex_) {}
  ~MutexLock() RELEASE() = default;
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

  // Lets go of the mutex for a while (work that needs no lock), and takes it again.
  void Unlock() RELEASE() { lock_.unlock(); }
  void Lock() ACQUIRE() { lock_.lock(); }

  // Lets go of the mutex while waiting for `until` to hold, and holds it again on return.
  template <typename Predicate>
  void Wait(std::condition_variable& condition, Predicate until) {
    condition.wait(lock_, until);
  }
  // As Wait, for at most `limit`; what `until` says at the end.
  template <typename Rep, typename Period, typename Predicate>
  bool WaitFor(std::condition_variable& condition, std::chrono::duration<Rep, Period> limit,
               Predicate until) {
    return condition.wait_for(lock_, limit, until);
  }
  // As Wait, up to the time `deadline`; what `until` says at the end.
  template <typename Clock, typename Duration, typename Predicate>
  bool WaitUntil(std::condition_variable& condition,
                 std::chrono::time_point<Clock, Duration> deadline, Predicate until) {
    return condition.wait_until(lock_, deadline, until);
  }

 private:
  std::unique_lock<std::mutex> lock_;
};

}  // namespace quarv
