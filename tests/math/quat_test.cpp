// Quaternions: construction, algebra, matrix round trips, interpolation, trackball.
#include <gtest/gtest.h>

#include <cmath>

#include "math/math_testing.h"
#include "zel/math/vec.h"

using namespace zel;
using zel_test::close_to;
using zel_test::is_rotation;

namespace {

const float kPi = 3.14159265f;

// Rotates v by the unit quaternion q as q v q*.
vec3 rotate(const quat& q, const vec3& v) {
  quat r = q * quat(v.x, v.y, v.z, 0.0f) * q.Inverse();
  return vec3(r.x, r.y, r.z);
}

// Same rotation (q and -q are the same).
::testing::AssertionResult same_rotation(const quat& a, const quat& b, float eps = 1e-5f) {
  return close_to(a, b, eps) ? close_to(a, b, eps) : close_to(a, -b, eps);
}

}  // namespace

TEST(Quat, FromAxisAndAngle) {
  // The axis need not be of unit length.
  quat q(vec3(0, 0, 2), kPi);
  EXPECT_TRUE(close_to(q, quat(0, 0, 1, std::cos(kPi / 2))));
  quat h(vec3(1, 0, 0), kPi / 2);
  EXPECT_TRUE(close_to(rotate(h, vec3(0, 1, 0)), vec3(0, 0, 1)));
  // A zero axis gives the identity rather than an undefined value.
  EXPECT_TRUE(close_to(quat(vec3(0, 0, 0), 1.3f), quat(0, 0, 0, 1), 0.0f));
  quat a;
  axis_to_quat(a, vec3(0, 0, 0), 2.0f);
  EXPECT_TRUE(close_to(a, quat::Identity, 0.0f));
  axis_to_quat(a, vec3(0, 3, 0), kPi / 3);
  EXPECT_TRUE(close_to(a, quat(0, std::sin(kPi / 6), 0, std::cos(kPi / 6))));
}

TEST(Quat, ConjugateNormalizeProduct) {
  quat q(1, 2, 3, 4), c;
  EXPECT_TRUE(close_to(q.Inverse(), quat(-1, -2, -3, 4), 0.0f));
  EXPECT_TRUE(close_to(conj(c, q), quat(-1, -2, -3, 4), 0.0f));
  quat n(0, 0, 3, 4);
  n.Normalize();
  EXPECT_TRUE(close_to(n, quat(0, 0, 0.6f, 0.8f)));
  quat zero(0, 0, 0, 0), tiny(1e-6f, 0, 0, 0);
  zero.Normalize();
  normalize(tiny);
  EXPECT_TRUE(close_to(zero, quat(0, 0, 0, 0), 0.0f));  // unchanged, no NaN
  EXPECT_TRUE(close_to(tiny, quat(0, 0, 0, 0), 0.0f));
  // Hamilton product: i*j = k, j*i = -k.
  quat i(1, 0, 0, 0), j(0, 1, 0, 0);
  EXPECT_TRUE(close_to(i * j, quat(0, 0, 1, 0), 0.0f));
  EXPECT_TRUE(close_to(j * i, quat(0, 0, -1, 0), 0.0f));
  quat m = i;
  m *= j;  // multiplies on the right
  EXPECT_TRUE(close_to(m, quat(0, 0, 1, 0), 0.0f));
  quat r;
  add_quats(r, i, j);  // j * i
  EXPECT_TRUE(close_to(r, quat(0, 0, -1, 0), 0.0f));
  // add_quats(p, q) is "p, then q".
  quat p(vec3(0, 0, 1), kPi / 2), s(vec3(1, 0, 0), kPi / 2);
  add_quats(r, p, s);
  vec3 v(1, 0, 0);
  EXPECT_TRUE(close_to(rotate(r, v), rotate(s, rotate(p, v))));
}

TEST(Quat, MatrixRoundTrips) {
  zel_test::Rng rng(17);
  for (int k = 0; k < 300; ++k) {
    vec3 axis = rng.vec(-1, 1);
    if (axis.normalize() == 0.0f) continue;
    // Cover angles up to and including a half turn (trace <= 0 paths of FromMatrix).
    float angle = (k % 10 == 0) ? kPi : rng.next(-kPi, kPi);
    quat q(axis, angle);
    mat3 m;
    quat_2_mat(m, q);
    EXPECT_TRUE(is_rotation(m, 1e-5f));
    mat3 ref;
    ref.set_rot(angle, axis);
    EXPECT_TRUE(close_to(m, ref, 2e-5f)) << "case " << k;
    quat back;
    mat_2_quat(back, m);
    EXPECT_TRUE(same_rotation(back, q, 2e-5f)) << "case " << k;
    EXPECT_TRUE(close_to(quat(m), back, 0.0f));
    // Vector rotated by the matrix and by the quaternion agree.
    vec3 v = rng.vec(-5, 5), a;
    mult(a, m, v);
    EXPECT_TRUE(close_to(a, rotate(q, v), 1e-4f));
    mat4 m4;  // the 3x3 block only; the translation stays
    m4.set_translation(vec3(1, 2, 3));
    m4.set_rot(q);
    quat from4;
    EXPECT_TRUE(close_to(mat_2_quat(from4, m4), back, 0.0f));
    EXPECT_EQ(m4(2, 3), 3.0f);
  }
  // Each diagonal branch of FromMatrix: half turns about x, y and z.
  const vec3 axes[3] = {vec3(1, 0, 0), vec3(0, 1, 0), vec3(0, 0, 1)};
  for (const vec3& a : axes) {
    mat3 m;
    m.set_rot(kPi, a);
    quat q(m);
    EXPECT_TRUE(same_rotation(q, quat(a.x, a.y, a.z, 0.0f)));
  }
}

TEST(Quat, Slerp) {
  // From 0.2 to 1.4 radians about z: the angle moves linearly.
  quat p(vec3(0, 0, 1), 0.2f), q(vec3(0, 0, 1), 1.4f), r;
  for (float t : {0.0f, 0.25f, 0.5f, 1.0f}) {
    slerp_quats(r, t, p, q);
    EXPECT_TRUE(close_to(r, quat(vec3(0, 0, 1), 0.2f + 1.2f * t))) << t;
  }
  slerp_quats(r, 0.7f, p, p);
  EXPECT_TRUE(close_to(r, p, 0.0f));
  // Opposite quaternions (the same rotation): a defined, finite result.
  quat u(vec3(1, 0, 0), 0.5f);
  slerp_quats(r, 0.3f, u, -u);
  EXPECT_TRUE(close_to(r, u));
  slerp_quats(r, 0.8f, u, -u);
  EXPECT_TRUE(close_to(r, -u));
}

TEST(Quat, Trackball) {
  quat q(1, 2, 3, 4);
  vec2 a(0.3f, -0.2f), b = a;
  trackball(q, a, b, 0.8f);
  EXPECT_TRUE(close_to(q, quat(0, 0, 0, 1), 0.0f));
  // Dragging from the centre to the right turns about +y... by the angle of the chord.
  const float size = 1.0f;
  vec2 p1(0, 0), p2(0.2f, 0);
  trackball(q, p1, p2, size);
  vec3 s1(0, 0, 1), s2(0.2f, 0, std::sqrt(1 - 0.04f));
  vec3 axis;
  cross(axis, s1, s2);
  axis.normalize();
  float angle = 2 * std::asin((s1 - s2).norm() / size);
  EXPECT_TRUE(close_to(q, quat(axis, angle)));
  EXPECT_GT(axis.y, 0.99f);
  EXPECT_NEAR(std::sqrt(dot(q, q)), 1.0f, 1e-5f);
  // Outside the sphere the hyperbolic sheet is used: z = (size^2/2)/d.
  vec2 o1(2, 0), o2(0, 2);
  trackball(q, o1, o2, size);
  vec3 h1(2, 0, 0.25f), h2(0, 2, 0.25f);
  cross(axis, h1, h2);
  // |h1 - h2| / size exceeds 1 and is clamped: a half turn.
  EXPECT_TRUE(close_to(q, quat(axis, kPi)));
}
