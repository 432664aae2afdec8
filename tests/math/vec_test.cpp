// Vectors: construction, conversions, norms, products.
#include "zel/math/vec.h"

#include <gtest/gtest.h>

#include <cstring>
#include <type_traits>

#include "math/math_testing.h"

using namespace zel;
using zel_test::close_to;

static_assert(sizeof(vec2) == 8 && sizeof(vec3) == 12 && sizeof(vec4) == 16, "packed floats");
static_assert(sizeof(quat) == 16 && sizeof(mat3) == 36 && sizeof(mat4) == 64, "packed floats");

TEST(Vec, NormsAndNormalize) {
  EXPECT_FLOAT_EQ(vec2(3, 4).norm(), 5.0f);
  EXPECT_FLOAT_EQ(vec3(2, 3, 6).sq_norm(), 49.0f);
  vec3 v(3, 4, 0);
  EXPECT_FLOAT_EQ(v.normalize(), 0.2f);
  EXPECT_TRUE(close_to(v, vec3(0.6f, 0.8f, 0.0f)));
  vec3 tiny(1e-6f, 0, 0), f(0, 0, 1e-6f);
  EXPECT_EQ(tiny.normalize(), 0.0f);
  EXPECT_EQ(tiny, vec3(0, 0, 0));
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
    EXPECT_TRUE(close_to(cross(c, removed, axis), vec3(0, 0, 0), 1e-4f));
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
  // Reflection of l about n: 2(n.l)n - l.
  EXPECT_EQ(reflect(c, vec3(0, 1, 0), vec3(1, 1, 0)), vec3(-1, 1, 0));
}
