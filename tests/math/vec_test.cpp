// Vectors: construction, conversions, norms, products.
#include "zel/math/vec.h"

#include <gtest/gtest.h>

#include <cstring>
#include <type_traits>

#include "math/math_testing.h"

using namespace zel;
using zel_test::near3;

static_assert(std::is_trivially_copyable<vec2>::value, "vec2 is a plain value");
static_assert(std::is_trivially_copyable<vec3>::value, "vec3 is a plain value");
static_assert(std::is_trivially_copyable<vec4>::value, "vec4 is a plain value");
static_assert(std::is_trivially_copyable<quat>::value, "quat is a plain value");
static_assert(std::is_trivially_copyable<mat3>::value, "mat3 is a plain value");
static_assert(std::is_trivially_copyable<mat4>::value, "mat4 is a plain value");
static_assert(sizeof(vec2) == 8 && sizeof(vec3) == 12 && sizeof(vec4) == 16, "packed floats");
static_assert(sizeof(quat) == 16 && sizeof(mat3) == 36 && sizeof(mat4) == 64, "packed floats");

TEST(Vec, ConstructionAndIndexing) {
  const float f[4] = {1.5f, -2.0f, 3.25f, 7.0f};
  vec2 a(f);
  vec3 b(f);
  vec4 c(f);
  EXPECT_EQ(a, vec2(1.5f, -2.0f));
  EXPECT_EQ(b, vec3(1.5f, -2.0f, 3.25f));
  EXPECT_EQ(c, vec4(1.5f, -2.0f, 3.25f, 7.0f));
  EXPECT_EQ(c[3], 7.0f);
  b[2] = 9.0f;
  EXPECT_EQ(b.z, 9.0f);
  quat q(1, 2, 3, 4);
  EXPECT_EQ(q[0], 1.0f);
  EXPECT_EQ(q[3], 4.0f);
  q[1] = -5.0f;
  EXPECT_EQ(q.y, -5.0f);
  // Member order is the memory order.
  float raw[4];
  std::memcpy(raw, &q, sizeof raw);
  EXPECT_EQ(raw[1], -5.0f);
  EXPECT_EQ(raw[3], 4.0f);
}

TEST(Vec, Conversions) {
  EXPECT_EQ(vec3(vec2(2, 3)), vec3(2, 3, 1));
  EXPECT_EQ(vec2(vec3(4, 6, 2)), vec2(2, 3));
  EXPECT_EQ(vec4(vec3(1, 2, 3)), vec4(1, 2, 3, 1));
  EXPECT_EQ(vec3(vec4(1, 2, 3, 9)), vec3(1, 2, 3));
}

TEST(Vec, ComparisonIsExact) {
  EXPECT_TRUE(vec3(1, 2, 3) == vec3(1, 2, 3));
  EXPECT_FALSE(vec3(1, 2, 3) != vec3(1, 2, 3));
  EXPECT_TRUE(vec3(1, 2, 3) != vec3(1, 2, 3.0000005f));
  EXPECT_TRUE(vec2(1, 2) != vec2(1, 2.5f));
  EXPECT_TRUE(vec4(1, 2, 3, 4) != vec4(1, 2, 3, 5));
}

TEST(Vec, CompoundOperators) {
  vec3 v(1, 2, 3);
  v += vec3(1, 1, 1);
  EXPECT_EQ(v, vec3(2, 3, 4));
  v -= vec3(2, 0, 1);
  EXPECT_EQ(v, vec3(0, 3, 3));
  v *= 2.0f;
  EXPECT_EQ(v, vec3(0, 6, 6));
  EXPECT_EQ(-v, vec3(0, -6, -6));
  vec2 w(1, 2);
  w += vec2(3, 4);
  w *= 0.5f;
  EXPECT_EQ(w, vec2(2, 3));
  vec4 x(1, 2, 3, 4);
  x -= vec4(1, 1, 1, 1);
  EXPECT_EQ(-x, vec4(0, -1, -2, -3));
  EXPECT_EQ(-quat(1, -2, 3, -4).w, 4.0f);
}

TEST(Vec, NormsAndNormalize) {
  EXPECT_FLOAT_EQ(vec2(3, 4).norm(), 5.0f);
  EXPECT_FLOAT_EQ(vec3(2, 3, 6).sq_norm(), 49.0f);
  vec3 v(3, 4, 0);
  EXPECT_FLOAT_EQ(v.normalize(), 0.2f);
  EXPECT_TRUE(near3(v, vec3(0.6f, 0.8f, 0.0f)));
  vec3 tiny(1e-6f, 0, 0);
  EXPECT_EQ(tiny.normalize(), 0.0f);
  EXPECT_EQ(tiny, vec3(0, 0, 0));
  vec2 t2(1e-6f, 0);
  t2.normalize();
  EXPECT_EQ(t2, vec2(0, 0));
  vec2 u2(0, -5);
  normalize(u2);
  EXPECT_EQ(u2, vec2(0, -1));
  vec4 v4(0, 0, 3, 4);
  normalize(v4);
  EXPECT_TRUE(zel_test::near4(v4, vec4(0, 0, 0.6f, 0.8f)));
  vec4 z4(1e-6f, 0, 0, 0);
  EXPECT_EQ(normalize(z4), vec4(0, 0, 0, 0));
  vec3 f(0, 0, 1e-6f);
  EXPECT_EQ(normalize(f), vec3(0, 0, 0));
}

TEST(Vec, Orthogonalize) {
  zel_test::Rng rng(7);
  for (int k = 0; k < 50; ++k) {
    vec3 axis = rng.vec(-1, 1);
    axis.normalize();
    vec3 v = rng.vec(-10, 10);
    vec3 o = v;
    o.orthogonalize(axis);
    EXPECT_NEAR(dot(o, axis), 0.0f, 1e-4f);
    // What was removed lies along the axis.
    vec3 removed = v - o, c;
    EXPECT_TRUE(near3(cross(c, removed, axis), vec3(0, 0, 0), 1e-4f));
    vec3 n = v;
    n.orthonormalize(axis);
    EXPECT_NEAR(n.norm(), 1.0f, 1e-5f);
    EXPECT_NEAR(dot(n, axis), 0.0f, 1e-5f);
  }
}

TEST(Vec, DotCrossAndFriends) {
  vec3 a(1, 2, 3), b(4, -5, 6);
  EXPECT_EQ(dot(a, b), 12.0f);
  vec4 a4(1, 2, 3, 4), b4(5, 6, 7, 8);
  EXPECT_EQ(dot(a4, b4), 70.0f);
  EXPECT_EQ(dot(a, b4), 38.0f);  // three components
  EXPECT_EQ(dot(b4, a), 38.0f);
  float r = 0;
  EXPECT_EQ(&dot(r, a, b), &r);
  EXPECT_EQ(r, 12.0f);
  dot(r, a4, b4);
  EXPECT_EQ(r, 70.0f);
  dot(r, a, a4);
  EXPECT_EQ(r, 14.0f);
  dot(r, a4, a);
  EXPECT_EQ(r, 14.0f);
  EXPECT_EQ(dot(quat(1, 2, 3, 4), quat(1, 1, 1, 1)), 10.0f);

  vec3 c;
  EXPECT_EQ(cross(c, vec3(1, 0, 0), vec3(0, 1, 0)), vec3(0, 0, 1));
  cross(c, a, b);
  EXPECT_EQ(c, vec3(2 * 6 - 3 * -5, 3 * 4 - 1 * 6, 1 * -5 - 2 * 4));
  // Aliasing with an operand is fine.
  vec3 al = a;
  cross(al, al, b);
  EXPECT_EQ(al, c);

  EXPECT_EQ(add(c, a, b), vec3(5, -3, 9));
  EXPECT_EQ(sub(c, a, b), vec3(-3, 7, -3));
  EXPECT_EQ(mult(c, a, b), vec3(4, -10, 18));
  EXPECT_EQ(mult(c, a, 2.0f), vec3(2, 4, 6));
  c = vec3(1, 1, 1);
  EXPECT_EQ(madd(c, a, 2.0f), vec3(3, 5, 7));
  vec2 s2(1, 2);
  EXPECT_EQ(scale(s2, 3.0f), vec2(3, 6));
  vec3 s3(1, 2, 3);
  EXPECT_EQ(scale(s3, -1.0f), vec3(-1, -2, -3));
  vec4 s4(1, 2, 3, 4);
  EXPECT_EQ(scale(s4, 0.5f), vec4(0.5f, 1, 1.5f, 2));
  // Reflection of l about n: 2(n.l)n - l.
  EXPECT_EQ(reflect(c, vec3(0, 1, 0), vec3(1, 1, 0)), vec3(-1, 1, 0));
}
