#include "zel/scrolling.h"

#include <algorithm>
#include <climits>

namespace zel {

scrollable::scrollable() = default;
scrollable::~scrollable() = default;

scroll_info scrollable::get_scroll_info() const {
  std::lock_guard<std::recursive_mutex> g(*lock_);
  return info_;
}

void scrollable::set_scroll_info(const scroll_info& info) {
  std::lock_guard<std::recursive_mutex> g(*lock_);
  info_ = info;
  if (info_.min > info_.max) std::swap(info_.min, info_.max);
  info_.pos = std::max(info_.min, std::min(info_.pos, info_.max));
}

bool scrollable::do_scroll(int32_t message, int32_t value) {
  return on_do_scroll(this, message, value);
}

bool scrollable::move_to(scrollable* source, int32_t message, int32_t new_pos) {
  new_pos = std::max(info_.min, std::min(new_pos, info_.max));
  if (new_pos == info_.pos) return false;
  const int32_t old = info_.pos;
  info_.pos = new_pos;
  notify(source, message, new_pos, old);
  return true;
}

bool scrollable::on_do_scroll(scrollable* source, int32_t message, int32_t value) {
  std::lock_guard<std::recursive_mutex> g(*lock_);
  const int64_t pos = info_.pos;
  int64_t to;
  switch (message) {
    case scroll_info::step_back:
      to = pos - 1;
      break;
    case scroll_info::step_forward:
      to = pos + 1;
      break;
    case scroll_info::page_back:
      to = pos - info_.page;
      break;
    case scroll_info::page_forward:
      to = pos + info_.page;
      break;
    case scroll_info::go_to:
      to = value;
      break;
    case scroll_info::track:
      info_.track_value = value;
      return true;
    case scroll_info::go_min:
      to = info_.min;
      break;
    case scroll_info::go_max:
      to = info_.max;
      break;
    default:
      return false;
  }
  to = std::max<int64_t>(INT32_MIN, std::min<int64_t>(to, INT32_MAX));
  return move_to(source, message, static_cast<int32_t>(to));
}

void scrollable::notify(scrollable*, int32_t, int32_t, int32_t) {}

}  // namespace zel
