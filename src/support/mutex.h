#pragma once
/// A mutex, its scoped lock and a condition variable that clang's thread-safety analysis
/// understands (the standard ones carry no annotations here). Same costs as
/// std::mutex and std::condition_variable, which they wrap.
///
/// Threading: what the standard types promise. `CondVar` waits release the mutex while
/// they sleep and hold it again when they return; callers loop on their condition.
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "support/thread_annotations.h"

namespace nivern_support {

class CAPABILITY("mutex") Mutex {
 public:
  void lock() ACQUIRE() { m_.lock(); }
  void unlock() RELEASE() { m_.unlock(); }

 private:
  friend class CondVar;
  std::mutex m_;
};

/// Holds a `Mutex` for its scope.
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex& m) ACQUIRE(m) : m_(m) { m_.lock(); }
  ~MutexLock() RELEASE() { m_.unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex& m_;
};

class CondVar {
 public:
  /// Sleeps until notified (or woken spuriously).
  void wait(Mutex& m) REQUIRES(m) {
    std::unique_lock lock(m.m_, std::adopt_lock);
    cv_.wait(lock);
    lock.release();
  }

  /// As `wait`, until `deadline` at the latest; false once the deadline has passed.
  template <class Clock, class Duration>
  bool wait_until(Mutex& m, std::chrono::time_point<Clock, Duration> deadline) REQUIRES(m) {
    std::unique_lock lock(m.m_, std::adopt_lock);
    bool in_time = cv_.wait_until(lock, deadline) == std::cv_status::no_timeout;
    lock.release();
    return in_time;
  }

  void notify_one() { cv_.notify_one(); }
  void notify_all() { cv_.notify_all(); }

 private:
  std::condition_variable cv_;
};

}  // namespace nivern_support
