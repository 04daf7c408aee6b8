// A mutex that clang's thread-safety analysis (-Wthread-safety) follows: a
// member marked GUARDED_BY(mu_) may only be touched while mu_ is held, a
// function marked REQUIRES(mu_) only be called so, and one marked
// EXCLUDES(mu_) only without it. Under gcc the marks expand to nothing and
// Mutex is a plain std::mutex.
//
//   Mutex mu_;
//   int count_ GUARDED_BY(mu_) = 0;
//   void Bump() { MutexLock lock(&mu_); ++count_; }
//
// Waits on a std::condition_variable take MutexLock::native(); a predicate
// that reads guarded members runs under the lock, which the analysis cannot
// see in a lambda: it states so first with mu_.AssertHeld().
#ifndef ZEV_PLATFORM_ANNOTATED_MUTEX_H_
#define ZEV_PLATFORM_ANNOTATED_MUTEX_H_

#include <mutex>

#if defined(__clang__)
#define ZEV_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define ZEV_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) ZEV_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY ZEV_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) ZEV_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) ZEV_THREAD_ANNOTATION(pt_guarded_by(x))
#define REQUIRES(...) ZEV_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define EXCLUDES(...) ZEV_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define ACQUIRE(...) ZEV_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) ZEV_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define ASSERT_CAPABILITY(x) ZEV_THREAD_ANNOTATION(assert_capability(x))
#define NO_THREAD_SAFETY_ANALYSIS ZEV_THREAD_ANNOTATION(no_thread_safety_analysis)

namespace zev {

class CAPABILITY("mutex") Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void Lock() ACQUIRE() { mu_.lock(); }
  void Unlock() RELEASE() { mu_.unlock(); }
  // Tells the analysis that the caller holds the mutex (a wait predicate
  // run under it); checks nothing at run time.
  void AssertHeld() const ASSERT_CAPABILITY(this) {}

 private:
  friend class MutexLock;
  std::mutex mu_;
};

// Holds a Mutex for its scope.
class SCOPED_CAPABILITY MutexLock {
 public:
  explicit MutexLock(Mutex* mu) ACQUIRE(mu) : lock_(mu->mu_) {}
  ~MutexLock() RELEASE() {}
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

  // The held lock, for std::condition_variable and Clock waits: they release
  // it while they wait and hold it again when they return.
  std::unique_lock<std::mutex>& native() { return lock_; }

 private:
  std::unique_lock<std::mutex> lock_;
};

}  // namespace zev

#endif  // ZEV_PLATFORM_ANNOTATED_MUTEX_H_
