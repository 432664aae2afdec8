// Comparison helpers for the math tests.
#pragma once

#include <gtest/gtest.h>

#include <cmath>

#include "zel/math/vec.h"

namespace zel_test {

inline ::testing::AssertionResult near3(const zel::vec3& a, const zel::vec3& b, float eps = 1e-5f) {
  for (int i = 0; i < 3; ++i) {
    if (!(std::fabs(a[i] - b[i]) <= eps)) {
      return ::testing::AssertionFailure()
             << "(" << a.x << ", " << a.y << ", " << a.z << ") != (" << b.x << ", " << b.y << ", "
             << b.z << ") at component " << i;
    }
  }
  return ::testing::AssertionSuccess();
}

inline ::testing::AssertionResult near4(const zel::vec4& a, const zel::vec4& b, float eps = 1e-5f) {
  for (int i = 0; i < 4; ++i) {
    if (!(std::fabs(a[i] - b[i]) <= eps)) {
      return ::testing::AssertionFailure()
             << "(" << a.x << ", " << a.y << ", " << a.z << ", " << a.w << ") != (" << b.x << ", "
             << b.y << ", " << b.z << ", " << b.w << ") at component " << i;
    }
  }
  return ::testing::AssertionSuccess();
}

inline ::testing::AssertionResult nearq(const zel::quat& a, const zel::quat& b, float eps = 1e-5f) {
  return near4(zel::vec4(a.x, a.y, a.z, a.w), zel::vec4(b.x, b.y, b.z, b.w), eps);
}

inline ::testing::AssertionResult near_mat(const zel::mat4& a, const zel::mat4& b,
                                           float eps = 1e-5f) {
  for (int k = 0; k < 16; ++k) {
    if (!(std::fabs(a.mat_array[k] - b.mat_array[k]) <= eps)) {
      return ::testing::AssertionFailure() << "element (" << k % 4 << ", " << k / 4
                                           << "): " << a.mat_array[k] << " != " << b.mat_array[k];
    }
  }
  return ::testing::AssertionSuccess();
}

inline ::testing::AssertionResult near_mat(const zel::mat3& a, const zel::mat3& b,
                                           float eps = 1e-5f) {
  for (int k = 0; k < 9; ++k) {
    if (!(std::fabs(a.mat_array[k] - b.mat_array[k]) <= eps)) {
      return ::testing::AssertionFailure() << "element (" << k % 3 << ", " << k / 3
                                           << "): " << a.mat_array[k] << " != " << b.mat_array[k];
    }
  }
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

// Determinant of a 3x3 matrix (for orthonormality checks).
inline float det3(const zel::mat3& m) {
  return m(0, 0) * (m(1, 1) * m(2, 2) - m(2, 1) * m(1, 2)) -
         m(1, 0) * (m(0, 1) * m(2, 2) - m(2, 1) * m(0, 2)) +
         m(2, 0) * (m(0, 1) * m(1, 2) - m(1, 1) * m(0, 2));
}

// R^T R = I and det R = +1.
inline ::testing::AssertionResult is_rotation(const zel::mat3& r, float eps = 1e-5f) {
  zel::mat3 rt, p;
  zel::transpose(rt, r);
  zel::mult(p, rt, r);
  auto res = near_mat(p, identity3(), eps);
  if (!res) return res << " (not orthonormal)";
  float d = det3(r);
  if (std::fabs(d - 1.0f) > eps) return ::testing::AssertionFailure() << "det " << d;
  return ::testing::AssertionSuccess();
}

}  // namespace zel_test
