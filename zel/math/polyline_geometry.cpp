#include "zel/math/polyline_geometry.h"

#include <algorithm>
#include <cmath>

#include "qar/trace.h"

namespace zel {
namespace polyline {

namespace {

const float kTwoPi = 6.2831855f;
// Points closer than this have no usable direction between them.
const float kRepeat = 1e-4f;
// Segments whose directions differ by less than this sine are treated as parallel.
const float kParallelSine = 1e-4f;
// Upper bound on arc segments (a full turn needs 126).
const int kMaxArcSegments = 4096;

float cross2(const vec2& a, const vec2& b) {
  return a.x * b.y - a.y * b.x;
}

// Unit left normal of direction d: normalize((-d.y, d.x)).
vec2 left_normal(const vec2& d) {
  vec2 m(-d.y, d.x);
  m.normalize();
  return m;
}

void put(PrimitiveVertex& v, const vec2& p) {
  v.x = p.x;
  v.y = p.y;
  v.z = 0.0f;
}

vec2 at(const PrimitiveVertex& v) {
  return vec2(v.x, v.y);
}

bool finite(const vec2& p) {
  return std::isfinite(p.x) && std::isfinite(p.y);
}

}  // namespace

HalfWidths half_widths(uint32_t width) {
  if (width < 1) width = 1;
  return HalfWidths{static_cast<float>((width + 1) / 2), static_cast<float>(width / 2)};
}

void optimize(std::vector<vec2>& points) {
  if (points.empty()) return;
  // points[w] is the last point kept; a following point closer than 1 replaces it.
  size_t w = 0;
  for (size_t i = 1; i < points.size(); ++i) {
    if ((points[i] - points[w]).sq_norm() < 1.0f) {
      points[w] = points[i];
    } else {
      points[++w] = points[i];
    }
  }
  points.resize(w + 1);
}

void drop_repeats(std::vector<vec2>& points) {
  if (points.empty()) return;
  size_t w = 1;
  for (size_t i = 1; i < points.size(); ++i) {
    if ((points[i] - points[w - 1]).sq_norm() >= kRepeat * kRepeat) points[w++] = points[i];
  }
  points.resize(w);
}

bool try_intersection(const vec2& p1, const vec2& d1, const vec2& p2, const vec2& d2, vec2& out) {
  float l1 = d1.norm(), l2 = d2.norm();
  if (!(l1 > 1e-6f) || !(l2 > 1e-6f)) return false;
  float c = cross2(d1, d2);
  if (!(std::fabs(c) > kParallelSine * l1 * l2)) return false;
  float t = cross2(p2 - p1, d2) / c;
  vec2 r = p1 + d1 * t;
  if (!finite(r)) return false;
  out = r;
  return true;
}

vec2 intersection(const vec2& p1, const vec2& d1, const vec2& p2, const vec2& d2) {
  if (!(d1.norm() > 1e-6f) || !(d2.norm() > 1e-6f)) QAR_THROW(ErrVecNull());
  vec2 r;
  if (!try_intersection(p1, d1, p2, d2, r)) QAR_THROW(ErrVecParallel());
  return r;
}

void build_until(const std::vector<vec2>& p, const HalfWidths& hw, PrimitiveVertex* out) {
  const size_t n = p.size();
  if (n < 2) return;
  vec2 m = left_normal(p[1] - p[0]);
  put(out[0], p[0] + m * hw.h1);
  put(out[1], p[0] - m * hw.h2);
  for (size_t i = 1; i + 1 < n; ++i) {
    vec2 a = p[i] - p[i - 1];
    vec2 b = p[i + 1] - p[i];
    m = left_normal(b);
    vec2 left = p[i] + m * hw.h1;
    vec2 right = p[i] - m * hw.h2;
    try_intersection(at(out[2 * i - 2]), a, left, b, left);
    try_intersection(at(out[2 * i - 1]), a, right, b, right);
    put(out[2 * i], left);
    put(out[2 * i + 1], right);
  }
}

void finish_stop(const std::vector<vec2>& p, const HalfWidths& hw, PrimitiveVertex* out) {
  const size_t n = p.size();
  if (n < 2) return;
  vec2 m = left_normal(p[n - 1] - p[n - 2]);
  put(out[2 * n - 2], p[n - 1] + m * hw.h1);
  put(out[2 * n - 1], p[n - 1] - m * hw.h2);
}

void finish_circle(const std::vector<vec2>& p, const HalfWidths& hw, PrimitiveVertex* out) {
  const size_t n = p.size();
  if (n < 2) return;
  // Square ends first; kept where the first and last segments are parallel (they then meet
  // without a gap anyway).
  finish_stop(p, hw, out);
  if (n < 3) return;
  vec2 first = p[1] - p[0];
  vec2 last = p[n - 1] - p[n - 2];
  vec2 left, right;
  if (try_intersection(at(out[0]), first, at(out[2 * n - 4]), last, left)) {
    put(out[0], left);
    put(out[2 * n - 2], left);
  }
  if (try_intersection(at(out[1]), first, at(out[2 * n - 3]), last, right)) {
    put(out[1], right);
    put(out[2 * n - 1], right);
  }
}

Tessellation tessellate(std::vector<vec2> points, uint32_t width, uint32_t argb, bool closed) {
  Tessellation t;
  for (const vec2& p : points) {
    if (!finite(p)) return t;
  }
  drop_repeats(points);
  if (points.size() < 2) return t;
  if (closed) {
    if ((points.back() - points.front()).sq_norm() < kRepeat * kRepeat) {
      points.back() = points.front();
    } else {
      points.push_back(points.front());
    }
  }
  const size_t n = points.size();
  if (width <= 1) {
    t.type = 3;  // line strip
    t.count = static_cast<int32_t>(n - 1);
    t.vertices.resize(n);
    for (size_t i = 0; i < n; ++i) put(t.vertices[i], points[i]);
  } else {
    HalfWidths hw = half_widths(width);
    t.type = 5;  // triangle strip
    t.count = static_cast<int32_t>(2 * n - 2);
    t.vertices.resize(2 * n);
    build_until(points, hw, t.vertices.data());
    if (closed) {
      finish_circle(points, hw, t.vertices.data());
    } else {
      finish_stop(points, hw, t.vertices.data());
    }
  }
  for (PrimitiveVertex& v : t.vertices) v.color = argb;
  return t;
}

std::vector<vec2> arc_points(const vec2& centre, const vec2& axis, float a, float b, float start,
                             float end) {
  std::vector<vec2> pts;
  if (!finite(centre) || !finite(axis) || !std::isfinite(a) || !std::isfinite(b) ||
      !std::isfinite(start) || !std::isfinite(end) || !(a > 0.0f)) {
    return pts;
  }
  float span = end - start;
  float want = std::ceil(span / 0.05f);
  int n = 3;
  if (want > 3.0f)
    n = want < static_cast<float>(kMaxArcSegments) ? static_cast<int>(want) : kMaxArcSegments;
  vec2 dir = axis;
  dir.normalize();
  if (dir.sq_norm() == 0.0f) dir = vec2(1.0f, 0.0f);
  const float c = dir.x, s = dir.y;
  const float delta = span / static_cast<float>(n);
  const float k = b / a;
  const float cd = std::cos(delta), sd = std::sin(delta);
  float x = a * std::cos(start), y = a * std::sin(start);
  pts.reserve(static_cast<size_t>(n) + 1);
  auto add = [&]() { pts.push_back(centre + vec2(x * c - y * k * s, y * k * c + x * s)); };
  add();
  for (int i = 0; i < n; ++i) {
    float nx = x * cd - y * sd;
    float ny = y * cd + x * sd;
    x = nx;
    y = ny;
    add();
  }
  return pts;
}

bool is_full_turn(float start, float end) {
  return std::fabs(end - start - kTwoPi) < 1e-5f;
}

void normalize_angles(float angle1, float angle2, float& start, float& end) {
  start = std::min(angle1, angle2);
  end = std::max(angle1, angle2);
  if (!std::isfinite(start) || !std::isfinite(end)) return;
  // At most a full turn: whole turns come off the end.
  float span = end - start;
  if (span > kTwoPi) span -= std::ceil((span - kTwoPi) / kTwoPi) * kTwoPi;
  // Rounding (or angles too large for float to tell apart) can leave the span out of range.
  if (!(span >= 0.0f)) span = 0.0f;
  if (span > kTwoPi) span = kTwoPi;
  // Both shifted by one multiple k of 2 pi: for a negative start the largest multiple not above
  // it, otherwise the smallest one not below start - 2 pi (and not below 0).
  float k;
  if (start < 0.0f) {
    k = std::floor(start / kTwoPi) * kTwoPi;
  } else {
    k = std::max(0.0f, std::ceil((start - kTwoPi) / kTwoPi)) * kTwoPi;
  }
  start -= k;
  if (!(start >= 0.0f && start <= kTwoPi)) {
    start = std::fmod(start, kTwoPi);
    if (start < 0.0f) start += kTwoPi;
  }
  end = start + span;
}

}  // namespace polyline
}  // namespace zel
