// Integer rectangle: left, top, right (exclusive), bottom (exclusive).
#pragma once
#include <cstdint>

namespace qar {

struct Rect {
  int32_t left = 0;
  int32_t top = 0;
  int32_t right = 0;
  int32_t bottom = 0;

  Rect() = default;
  Rect(int32_t l, int32_t t, int32_t r, int32_t b) : left(l), top(t), right(r), bottom(b) {}
  Rect(const Rect&) = default;
  Rect& operator=(const Rect&) = default;

  void set(int32_t l, int32_t t, int32_t r, int32_t b) {
    left = l;
    top = t;
    right = r;
    bottom = b;
  }
  // Computed in 64 bits so that extreme edges cannot overflow.
  int64_t width() const { return int64_t(right) - int64_t(left); }
  int64_t height() const { return int64_t(bottom) - int64_t(top); }

  bool operator==(const Rect& o) const {
    return left == o.left && top == o.top && right == o.right && bottom == o.bottom;
  }
  bool operator!=(const Rect& o) const { return !(*this == o); }
};

}  // namespace qar
