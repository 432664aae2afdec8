// Triangle measures, circles, tangent frames, cube-map directions, cosines, decomposition.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>

#include "math/math_testing.h"
#include "zel/math/vec.h"

using namespace zel;
using zel_test::close_to;
using zel_test::is_rotation;

TEST(Geometry, TriangleMeasures) {
  vec3 a(0, 0, 0), b(4, 0, 0), c(0, 3, 0);
  EXPECT_FLOAT_EQ(nv_area(a, b, c), 6.0f);
  EXPECT_FLOAT_EQ(nv_perimeter(a, b, c), 12.0f);
  // Area does not depend on where the triangle lies.
  vec3 d(10, -3, 7);
  EXPECT_NEAR(nv_area(a + d, b + d, c + d), 6.0f, 1e-4f);
  vec3 center;
  EXPECT_FLOAT_EQ(nv_find_in_circle(center, a, b, c), 1.0f);  // 2*6/12
  EXPECT_TRUE(close_to(center, vec3(1, 1, 0)));
  // A degenerate triangle: centre a, radius 0.
  EXPECT_EQ(nv_find_in_circle(center, a, b, vec3(8, 0, 0)), 0.0f);
  EXPECT_EQ(center, a);
}

TEST(Geometry, CircumscribedCircle) {
  vec3 center;
  // Right triangle: the centre is the middle of the hypotenuse.
  EXPECT_NEAR(nv_find_circ_circle(center, vec3(0, 0, 0), vec3(4, 0, 0), vec3(0, 3, 0)), 2.5f,
              1e-5f);
  EXPECT_TRUE(close_to(center, vec3(2, 1.5f, 0)));
  zel_test::Rng rng(23);
  for (int k = 0; k < 100; ++k) {
    vec3 a = rng.vec(-10, 10), b = rng.vec(-10, 10), c = rng.vec(-10, 10);
    float r = nv_find_circ_circle(center, a, b, c);
    // Every corner lies on the circle.
    EXPECT_NEAR((a - center).norm(), r, 1e-2f * r);
    EXPECT_NEAR((b - center).norm(), r, 1e-2f * r);
    EXPECT_NEAR((c - center).norm(), r, 1e-2f * r);
  }
  // Collinear points have no circumscribed circle: finite answer, the smallest circle holding
  // them.
  float r = nv_find_circ_circle(center, vec3(0, 0, 0), vec3(2, 2, 0), vec3(6, 6, 0));
  EXPECT_TRUE(std::isfinite(r));
  EXPECT_NEAR(r, std::sqrt(72.0f) / 2, 1e-5f);
  EXPECT_TRUE(close_to(center, vec3(3, 3, 0)));
  r = nv_find_circ_circle(center, vec3(5, 0, 1), vec3(-1, 0, 1), vec3(2, 0, 1));
  EXPECT_NEAR(r, 3.0f, 1e-6f);
  EXPECT_TRUE(close_to(center, vec3(2, 0, 1)));
  // All three the same point.
  r = nv_find_circ_circle(center, vec3(1, 2, 3), vec3(1, 2, 3), vec3(1, 2, 3));
  EXPECT_EQ(r, 0.0f);
  EXPECT_EQ(center, vec3(1, 2, 3));
}

// A triangle in the xy plane with texture u along x and v along y (then mirrored): the frame
// follows the texture directions, the normal row the given normal's side.
TEST(Geometry, TangentBasis) {
  mat3 b;
  for (float v : {1.0f, -1.0f}) {
    tangent_basis(b, vec3(0, 0, 0), vec3(2, 0, 0), vec3(0, 2, 0), vec2(0, 0), vec2(1, 0),
                  vec2(0, v), vec3(0, 0, -v));
    EXPECT_TRUE(close_to(b[0], vec3(1, 0, 0)));
    EXPECT_NEAR(b[1].y, v, 1e-5f);
    EXPECT_TRUE(close_to(b[2], vec3(0, 0, -v)));
  }
}

TEST(Geometry, CubeMapNormal) {
  vec3 n;
  // The centre texel of each face of an odd-sized map points along the face axis.
  const vec3 axes[6] = {vec3(1, 0, 0),  vec3(-1, 0, 0), vec3(0, 1, 0),
                        vec3(0, -1, 0), vec3(0, 0, 1),  vec3(0, 0, -1)};
  for (int f = 0; f < 6; ++f) {
    cube_map_normal(f, 1, 1, 3, n);
    EXPECT_TRUE(close_to(n, axes[f])) << "face " << f;
  }
  // Texel (1, 0) of a 2x2 face 5: s = 0.5, t = -0.5 -> (-0.5, 0.5, -1) normalized.
  cube_map_normal(5, 1, 0, 2, n);
  EXPECT_TRUE(close_to(n, vec3(-0.5f, 0.5f, -1) * (1.0f / std::sqrt(1.5f))));
  // Other faces only normalize what n holds.
  n = vec3(0, 3, 4);
  cube_map_normal(6, 0, 0, 2, n);
  EXPECT_TRUE(close_to(n, vec3(0, 0.6f, 0.8f)));
}

TEST(Geometry, PolynomialCosines) {
  for (float x = -1.5707963f; x <= 1.5707963f; x += 0.01f) {
    EXPECT_NEAR(fast_cos(x), std::cos(x), 1e-6f) << x;
    EXPECT_NEAR(ffast_cos(x), std::cos(x), 1.5e-3f) << x;
  }
  EXPECT_EQ(fast_cos(0.0f), 1.0f);
  EXPECT_EQ(ffast_cos(0.0f), 1.0f);
}

namespace {

// Rebuilds the 3x3 block f * Q * (U K U^T) of a decomposition.
mat3 recompose(const quat& q, const quat& u, const vec3& k, float f) {
  mat3 qm, um, umt, km, s, tmp, out;
  quat_2_mat(qm, q);
  quat_2_mat(um, u);
  transpose(umt, um);
  km(0, 0) = k.x;
  km(1, 1) = k.y;
  km(2, 2) = k.z;
  mult(tmp, km, umt);
  mult(s, um, tmp);
  mult(out, qm, s);
  out *= f;
  return out;
}

}  // namespace

TEST(Geometry, AffineDecomposition) {
  zel_test::Rng rng(31);
  for (int n = 0; n < 100; ++n) {
    // Random rotation * stretch (positive factors along a random frame), sometimes mirrored.
    vec3 ax = rng.vec(-1, 1), sx = rng.vec(-1, 1);
    if (ax.normalize() == 0.0f || sx.normalize() == 0.0f) continue;
    const quat rq(ax, rng.next(-3, 3)), sq(sx, rng.next(-3, 3));
    const bool mirror = n % 3 == 0;
    const mat3 m = recompose(rq, sq, rng.vec(0.5f, 3), mirror ? -1.0f : 1.0f);
    mat3 r;
    quat_2_mat(r, rq);
    mat4 a;
    a.set_rot(m);
    a.set_translation(vec3(1, -2, 3));
    vec3 t, kk;
    quat q, u;
    float f = 0;
    decomp_affine(a, t, q, u, kk, f);
    EXPECT_EQ(t, vec3(1, -2, 3));
    EXPECT_EQ(f, mirror ? -1.0f : 1.0f);
    mat3 qm;
    quat_2_mat(qm, q);
    EXPECT_TRUE(is_rotation(qm, 1e-4f)) << n;
    EXPECT_TRUE(close_to(qm, r, 1e-3f)) << n;
    EXPECT_TRUE(close_to(recompose(q, u, kk, f), m, 2e-3f)) << n;
    EXPECT_GT(kk.x, 0.0f);
    EXPECT_GT(kk.y, 0.0f);
    EXPECT_GT(kk.z, 0.0f);
  }
  // Uniform scale: equal factors, no stretch rotation needed.
  mat4 a;
  a.set_scale(vec3(2, 2, 2));
  vec3 t, kk;
  quat q, u;
  float f = 0;
  decomp_affine(a, t, q, u, kk, f);
  EXPECT_TRUE(close_to(kk, vec3(2, 2, 2)));
  EXPECT_TRUE(close_to(recompose(q, u, kk, f), mat3(2, 0, 0, 0, 2, 0, 0, 0, 2), 1e-4f));
  // Rank-deficient (flattened along z): still a rotation and a reconstruction.
  mat4 flat;
  flat.set_scale(vec3(2, 3, 0));
  decomp_affine(flat, t, q, u, kk, f);
  mat3 qm;
  quat_2_mat(qm, q);
  EXPECT_TRUE(is_rotation(qm, 1e-4f));
  mat3 want(2, 0, 0, 0, 3, 0, 0, 0, 0);
  EXPECT_TRUE(close_to(recompose(q, u, kk, f), want, 1e-4f));
}
