// Scroll positions: a scroll_info (minimum, maximum, position, track value, page size) and the
// scrollable that moves its position by messages and tells the owner when it changed.
// scrolling<0> and scrolling<1> are the two axes (horizontal, vertical) of a class that
// scrolls in both; the owner overrides on_do_scroll and notify once for both.
//
// Threads: the values are guarded by a lock the owner may share with its own state
// (set_scroll_lock); without one each scrollable uses its own.
#pragma once
#include <cstdint>
#include <mutex>

namespace zel {

struct scroll_info {
  enum message : int32_t {
    step_back = 0,
    step_forward = 1,
    page_back = 2,
    page_forward = 3,
    go_to = 4,
    track = 5,
    go_min = 6,
    go_max = 7,
  };
  int32_t min = 0;
  int32_t max = 0;
  int32_t pos = 0;
  int32_t track_value = 0;
  int32_t page = 0;
};

class scrollable {
 public:
  scrollable();
  scrollable(const scrollable&) = delete;
  scrollable& operator=(const scrollable&) = delete;
  virtual ~scrollable();

  scroll_info get_scroll_info() const;
  // Copies the values; a minimum above the maximum is swapped with it and the position is
  // clamped into [minimum, maximum].
  void set_scroll_info(const scroll_info& info);
  // on_do_scroll(this, message, value).
  bool do_scroll(int32_t message, int32_t value);
  // Moves the position for the message (clamped to [minimum, maximum]); a change is stored
  // and notified, true. No change, or an unknown message, gives false; message 5 stores the
  // value as the track value and gives true without a notification.
  virtual bool on_do_scroll(scrollable* source, int32_t message, int32_t value);
  // The position of `source` moved from old_pos to new_pos. Does nothing here.
  virtual void notify(scrollable* source, int32_t message, int32_t new_pos, int32_t old_pos);

 protected:
  // The lock guarding this scrollable's values (and, for an owner that shares it, its own).
  void set_scroll_lock(std::recursive_mutex* lock) { lock_ = lock ? lock : &own_lock_; }
  std::recursive_mutex& scroll_lock() const { return *lock_; }
  // The base move, for an owner that handles some messages itself. Caller holds the lock.
  bool move_to(scrollable* source, int32_t message, int32_t new_pos);

  int32_t kind_ = 2;
  scroll_info info_;

 private:
  mutable std::recursive_mutex own_lock_;
  std::recursive_mutex* lock_ = &own_lock_;
};

// One axis: 0 horizontal, 1 vertical.
template <int Axis>
class scrolling : public scrollable {};

}  // namespace zel
