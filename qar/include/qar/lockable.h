// Objects that carry their own mutex, and the scoped guard that locks them.
//
//   class Layer : public qar::lockable<> { ... };
//   qar::lock_it guard(layer);   // locks layer's mutex for the scope
#pragma once
#include <mutex>

namespace qar {

// A mutex whose try_lock is used (the windowed facet's textures). std::mutex offers try_lock.
using mutex = std::mutex;
using try_mutex = std::mutex;

template <class Mutex = std::mutex>
class lockable {
 public:
  using mutex_type = Mutex;

  lockable() = default;
  // A copy gets a mutex of its own; the lock state is never copied.
  lockable(const lockable&) {}
  lockable& operator=(const lockable&) { return *this; }

  void do_lock() const { mutex_.lock(); }
  void do_unlock() const { mutex_.unlock(); }
  // True when the mutex was free and is now held by the caller.
  bool do_trylock() const { return mutex_.try_lock(); }

  Mutex& get_mutex() const { return mutex_; }

 protected:
  ~lockable() = default;

 private:
  mutable Mutex mutex_;
};

// Scoped guard: locks a lockable on construction, unlocks on destruction.
template <class Mutex = std::mutex>
class lock_it {
 public:
  explicit lock_it(const lockable<Mutex>& l) : l_(l) { l_.do_lock(); }
  ~lock_it() { l_.do_unlock(); }
  lock_it(const lock_it&) = delete;
  lock_it& operator=(const lock_it&) = delete;

 private:
  const lockable<Mutex>& l_;
};

template <class Mutex>
lock_it(const lockable<Mutex>&) -> lock_it<Mutex>;

}  // namespace qar
