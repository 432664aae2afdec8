// Comparison helpers for the math tests.
#pragma once

#include <gtest/gtest.h>

#include <cmath>

#include "zel/math/vec.h"

namespace zel_test {

constexpr float kPi = 3.14159265f;

// Vectors, quaternions and matrices are packed floats: each element within `eps`.
template <class T>
::testing::AssertionResult close_to(const T& a, const T& b, float eps = 1e-5f) {
  static_assert(sizeof(T) % sizeof(float) == 0, "packed floats");
  const float* x = reinterpret_cast<const float*>(&a);
  const float* y = reinterpret_cast<const float*>(&b);
  for (size_t k = 0; k < sizeof(T) / sizeof(float); ++k)
    if (!(std::fabs(x[k] - y[k]) <= eps))
      return ::testing::AssertionFailure() << "element " << k << ": " << x[k] << " != " << y[k];
  return ::testing::AssertionSuccess();
}

inline zel::mat3 identity3() {
  return zel::mat3(1, 0, 0, 0, 1, 0, 0, 0, 1);
}

// Deterministic pseudo-random floats in [lo, hi) (a small LCG, independent of rand()).
class Rng {
 public:
  explicit Rng(uint32_t seed) : s_(seed) {}
  float next(float lo, float hi) {
    s_ = s_ * 1664525u + 1013904223u;
    return lo + (hi - lo) * static_cast<float>(s_ >> 8) / 16777216.0f;
  }
  zel::vec3 vec(float lo, float hi) { return zel::vec3(next(lo, hi), next(lo, hi), next(lo, hi)); }

 private:
  uint32_t s_;
};

// R^T R = I and det R = +1.
inline ::testing::AssertionResult is_rotation(const zel::mat3& r, float eps = 1e-5f) {
  zel::mat3 rt, p;
  zel::transpose(rt, r);
  zel::mult(p, rt, r);
  auto res = close_to(p, identity3(), eps);
  if (!res) return res << " (not orthonormal)";
  const float d = r(0, 0) * (r(1, 1) * r(2, 2) - r(2, 1) * r(1, 2)) -
                  r(1, 0) * (r(0, 1) * r(2, 2) - r(2, 1) * r(0, 2)) +
                  r(2, 0) * (r(0, 1) * r(1, 2) - r(1, 1) * r(0, 2));
  if (std::fabs(d - 1.0f) > eps) return ::testing::AssertionFailure() << "det " << d;
  return ::testing::AssertionSuccess();
}

}  // namespace zel_test
