// Helpers for reading drawn text back out of a 32-bit ARGB frame.
#pragma once
#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace zel {
namespace test {

// The bounding box [x0, x1) x [y0, y1) of the pixels that differ from the background.
struct ink_box {
  int32_t x0 = 0, y0 = 0, x1 = 0, y1 = 0;
  bool empty() const { return x1 <= x0 || y1 <= y0; }
};

inline ink_box find_ink(const uint32_t* frame, int32_t w, int32_t h, uint32_t background) {
  ink_box b{w, h, 0, 0};
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < w; ++x)
      if (frame[static_cast<size_t>(y) * w + x] != background) {
        b.x0 = std::min(b.x0, x), b.y0 = std::min(b.y0, y);
        b.x1 = std::max(b.x1, x + 1), b.y1 = std::max(b.y1, y + 1);
      }
  return b.x1 == 0 ? ink_box{} : b;
}

// Per-channel maxima over the ink, and how many ink pixels equal the brightest one.
struct colour_stats {
  int ink = 0, full = 0;
  int max_r = 0, max_g = 0, max_b = 0;
};

inline colour_stats colours(const uint32_t* frame, size_t n, uint32_t background) {
  colour_stats s;
  uint32_t brightest = 0;
  int best = -1;
  for (size_t i = 0; i < n; ++i) {
    const uint32_t p = frame[i];
    if (p == background) continue;
    ++s.ink;
    const int r = (p >> 16) & 0xFF, g = (p >> 8) & 0xFF, b = p & 0xFF;
    s.max_r = std::max(s.max_r, r), s.max_g = std::max(s.max_g, g), s.max_b = std::max(s.max_b, b);
    if (r + g + b > best) best = r + g + b, brightest = p;
  }
  for (size_t i = 0; i < n; ++i)
    if (frame[i] == brightest && frame[i] != background) ++s.full;
  return s;
}

}  // namespace test
}  // namespace zel
