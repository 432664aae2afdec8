// Matrices: layout, rotations, products, inverses, views and projections.
#include <gtest/gtest.h>

#include <cmath>

#include "math/math_testing.h"
#include "zel/math/vec.h"

using namespace zel;
using zel_test::close_to;
using zel_test::identity3;
using zel_test::is_rotation;

namespace {

const float kPi = 3.14159265f;

mat4 random_full(zel_test::Rng& rng) {
  mat4 m;
  for (int k = 0; k < 16; ++k) m.mat_array[k] = rng.next(-1, 1);
  for (int i = 0; i < 4; ++i) m(i, i) += 3.0f;
  return m;
}

}  // namespace

TEST(Matrix, AxisRotation) {
  mat3 r;
  r.set_rot(kPi / 2, vec3(0, 0, 1));
  vec3 v;
  // Right-hand rule about +z: x goes to y.
  EXPECT_TRUE(close_to(mult(v, r, vec3(1, 0, 0)), vec3(0, 1, 0)));
  EXPECT_TRUE(close_to(mult(v, r, vec3(0, 1, 0)), vec3(-1, 0, 0)));
  // A general axis stays fixed.
  vec3 axis(1, 2, 2);
  axis.normalize();
  const float ang = 0.7f;
  r.set_rot(ang, axis);
  EXPECT_TRUE(is_rotation(r));
  EXPECT_TRUE(close_to(mult(v, r, axis), axis));  // the axis is fixed
  // mat4 writes only the 3x3 block.
  mat4 m;
  m.set_translation(vec3(5, 6, 7));
  m(3, 0) = 9.0f;
  m.set_rot(ang, axis);
  mat3 block;
  m.get_rot(block);
  EXPECT_TRUE(close_to(block, r, 0.0f));
  EXPECT_EQ(m(0, 3), 5.0f);
  EXPECT_EQ(m(3, 0), 9.0f);
  mat4 x;
  x.set_rotx(kPi / 2);
  vec3 out;
  EXPECT_TRUE(close_to(mult(out, x, vec3(0, 1, 0)), vec3(0, 0, 1)));
  EXPECT_EQ(x(0, 0), 1.0f);
}

TEST(Matrix, RotationBetweenVectors) {
  zel_test::Rng rng(11);
  for (int k = 0; k < 200; ++k) {
    vec3 u = rng.vec(-1, 1), v = rng.vec(-1, 1);
    u.normalize();
    v.normalize();
    if (k % 4 == 1) v = u;   // equal
    if (k % 4 == 2) v = -u;  // opposite: must still be a rotation
    if (k % 4 == 3) {        // nearly opposite
      v = -u + vec3(1e-4f, -2e-4f, 1e-4f);
      v.normalize();
    }
    mat3 r;
    r.set_rot(u, v);
    EXPECT_TRUE(is_rotation(r, 2e-4f)) << "case " << k;
    vec3 w;
    EXPECT_TRUE(close_to(mult(w, r, u), v, 2e-4f)) << "case " << k;
    mat4 m;
    m.set_translation(vec3(1, 2, 3));
    m.set_rot(u, v);
    mat3 block;
    m.get_rot(block);
    EXPECT_TRUE(close_to(block, r, 0.0f));
    EXPECT_EQ(m(1, 3), 2.0f);
  }
  // The opposite case along the coordinate axes too.
  const vec3 axes[3] = {vec3(1, 0, 0), vec3(0, 1, 0), vec3(0, 0, 1)};
  for (const vec3& u : axes) {
    mat3 r;
    r.set_rot(u, -u);
    EXPECT_TRUE(is_rotation(r));
    vec3 w;
    EXPECT_TRUE(close_to(mult(w, r, u), -u));
  }
}

TEST(Matrix, ProductsApplyRightOperandFirst) {
  mat4 t, r;
  t.set_translation(vec3(10, 0, 0));
  r.set_rot(kPi / 2, vec3(0, 0, 1));
  vec3 p;
  // (T * R) p: rotate then translate.
  EXPECT_TRUE(close_to(mult(p, t * r, vec3(1, 0, 0)), vec3(10, 1, 0)));
  // (R * T) p: translate then rotate.
  EXPECT_TRUE(close_to(mult(p, r * t, vec3(1, 0, 0)), vec3(0, 11, 0)));
  mat4 m;
  mult(m, t, r);
  EXPECT_TRUE(close_to(m, t * r, 0.0f));
  mat4 a = t;  // the result may alias an operand
  mult(a, a, r);
  EXPECT_TRUE(close_to(a, t * r, 0.0f));
  mat3 x(1, 2, 3, 4, 5, 6, 7, 8, 10), y(0, 1, 0, 1, 0, 0, 0, 0, 2), z;
  mult(z, x, y);
  // Column 0 of x*y is x times column 0 of y = x's column 1.
  EXPECT_EQ(z.col(0), vec3(4, 5, 6));
  EXPECT_EQ(z.col(2), vec3(14, 16, 20));
  mult(x, x, y);
  EXPECT_TRUE(close_to(x, z, 0.0f));
}

TEST(Matrix, VectorProducts) {
  mat4 m(1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16);
  vec4 r;
  // Column vector: row i dot v.
  EXPECT_EQ(mult(r, m, vec4(1, 0, 0, 0)), vec4(1, 2, 3, 4));
  EXPECT_EQ(mult(r, m, vec4(0, 0, 0, 1)), vec4(13, 14, 15, 16));
  // Row vector: v * M picks rows.
  EXPECT_EQ(mult(r, vec4(1, 0, 0, 0), m), vec4(1, 5, 9, 13));
  vec3 p;
  // Affine: w = 1, fourth row ignored.
  EXPECT_EQ(mult(p, m, vec3(1, 1, 1)), vec3(1 + 5 + 9 + 13, 2 + 6 + 10 + 14, 3 + 7 + 11 + 15));
  EXPECT_EQ(mult(p, vec3(1, 0, 0), m), vec3(1 + 4, 5 + 8, 9 + 12));
  mat3 n(1, 2, 3, 4, 5, 6, 7, 8, 9);
  EXPECT_EQ(mult(p, n, vec3(0, 1, 0)), vec3(4, 5, 6));
  EXPECT_EQ(mult(p, vec3(0, 1, 0), n), vec3(2, 5, 8));
  EXPECT_EQ(mult_dir(p, m, vec3(1, 0, 0)), vec3(1, 2, 3));
  EXPECT_EQ(mult_dir(p, vec3(1, 0, 0), m), vec3(1, 5, 9));
  // Aliasing the result with the input vector.
  vec3 v(0, 1, 0);
  mult(v, n, v);
  EXPECT_EQ(v, vec3(4, 5, 6));
  // mult_pos divides by the fourth component.
  mat4 proj;
  proj(3, 3) = 2.0f;
  EXPECT_EQ(mult_pos(p, proj, vec3(2, 4, 6)), vec3(1, 2, 3));
  EXPECT_EQ(mult_pos(p, vec3(2, 4, 6), proj), vec3(1, 2, 3));
  // ... but not when it is (near) zero: the undivided affine product comes back.
  mat4 flat, flat_t;
  flat(3, 3) = 0.0f;
  flat.set_translation(vec3(1, 1, 1));
  EXPECT_EQ(mult_pos(p, flat, vec3(2, 4, 6)), vec3(3, 5, 7));
  transpose(flat_t, flat);
  EXPECT_EQ(mult_pos(p, vec3(2, 4, 6), flat_t), vec3(3, 5, 7));
}

TEST(Matrix, InverseTimesMatrixIsIdentity) {
  zel_test::Rng rng(3);
  for (int k = 0; k < 100; ++k) {
    mat4 m = random_full(rng), inv, p;
    invert(inv, m);
    mult(p, m, inv);
    EXPECT_TRUE(close_to(p, mat4(), 1e-5f)) << "case " << k;
    mult(p, inv, m);
    EXPECT_TRUE(close_to(p, mat4(), 1e-5f)) << "case " << k;
    // In place.
    mat4 same = m;
    invert(same, same);
    EXPECT_TRUE(close_to(same, inv, 0.0f));
    mat3 a, ai, q;
    m.get_rot(a);
    invert(ai, a);
    mult(q, a, ai);
    EXPECT_TRUE(close_to(q, identity3(), 1e-5f)) << "case " << k;
  }
  // A known inverse.
  mat4 s, si;
  s.set_scale(vec3(2, 4, 8));
  s.set_translation(vec3(1, 2, 3));
  invert(si, s);
  EXPECT_TRUE(
      close_to(si, mat4(0.5f, 0, 0, 0, 0, 0.25f, 0, 0, 0, 0, 0.125f, 0, -0.5f, -0.5f, -0.375f, 1)));
}

TEST(Matrix, RigidInverse) {
  zel_test::Rng rng(5);
  for (int k = 0; k < 50; ++k) {
    vec3 axis = rng.vec(-1, 1);
    axis.normalize();
    mat4 m;
    m.set_rot(rng.next(-3, 3), axis);
    m.set_translation(rng.vec(-50, 50));
    mat4 inv, full, p;
    invert_rot_trans(inv, m);
    invert(full, m);
    EXPECT_TRUE(close_to(inv, full, 1e-4f));
    mult(p, inv, m);
    EXPECT_TRUE(close_to(p, mat4(), 1e-5f));
  }
}

TEST(Matrix, LookAtIsLeftHanded) {
  mat4 v;
  look_at(v, vec3(0, 0, 0), vec3(0, 0, 1), vec3(0, 1, 0));
  EXPECT_TRUE(close_to(v, mat4(), 0.0f));
  // Eye at (0, 0, -5) looking at the origin: the origin is 5 units ahead on +z.
  look_at(v, vec3(0, 0, -5), vec3(0, 0, 0), vec3(0, 1, 0));
  vec3 p;
  EXPECT_TRUE(close_to(mult(p, v, vec3(0, 0, 0)), vec3(0, 0, 5)));
  EXPECT_TRUE(close_to(mult(p, v, vec3(1, 2, 0)), vec3(1, 2, 5)));
  // Looking along +x from (1, 2, 3) with up +y: +x in the world is ahead, -z is to the right
  // (left-handed: x = up cross forward).
  look_at(v, vec3(1, 2, 3), vec3(11, 2, 3), vec3(0, 1, 0));
  EXPECT_TRUE(close_to(mult(p, v, vec3(4, 2, 3)), vec3(0, 0, 3)));
  EXPECT_TRUE(close_to(mult(p, v, vec3(1, 2, 2)), vec3(1, 0, 0)));
  EXPECT_TRUE(close_to(mult(p, v, vec3(1, 7, 3)), vec3(0, 5, 0)));
  mat3 r;
  v.get_rot(r);
  EXPECT_TRUE(is_rotation(r));
  // A non-orthogonal up vector still gives orthonormal axes.
  look_at(v, vec3(0, 0, 0), vec3(1, 1, 1), vec3(0, 1, 0.3f));
  v.get_rot(r);
  EXPECT_TRUE(is_rotation(r));
  EXPECT_EQ(v[3], vec4(0, 0, 0, 1));
}

TEST(Matrix, PerspectiveProjections) {
  mat4 m;
  // frustum: clip depth -1 at the near plane, +1 at the far plane (right-handed, looking -z).
  frustum(m, -1, 1, -1, 1, 1, 10);
  vec4 c;
  mult(c, m, vec4(1, 1, -1, 1));
  EXPECT_TRUE(close_to(vec4(c.x / c.w, c.y / c.w, c.z / c.w, 1), vec4(1, 1, -1, 1)));
  mult(c, m, vec4(-10, 0, -10, 1));
  EXPECT_TRUE(close_to(vec4(c.x / c.w, c.y / c.w, c.z / c.w, 1), vec4(-1, 0, 1, 1)));
  EXPECT_EQ(m(3, 2), -1.0f);
  EXPECT_EQ(m(3, 3), 0.0f);
  // perspective: 90 degrees vertical, aspect 2: the top edge of the near plane is at n.
  mat4 p;
  perspective(p, 90.0f, 2.0f, 1.0f, 100.0f);
  mult(c, p, vec4(2, 1, -1, 1));
  EXPECT_NEAR(c.x / c.w, 1.0f, 1e-5f);
  EXPECT_NEAR(c.y / c.w, 1.0f, 1e-5f);
  EXPECT_NEAR(c.z / c.w, -1.0f, 1e-5f);
  // matix_perspective: left-handed, depth 0 at zn and 1 at zf; writes only its five elements.
  mat4 q;
  for (float& f : q.mat_array) f = 0.0f;
  matix_perspective(q, kPi / 2, 1.0f, 1.0f, 101.0f);
  mult(c, q, vec4(0, 0, 1, 1));
  EXPECT_NEAR(c.z / c.w, 0.0f, 1e-6f);
  mult(c, q, vec4(101, -101, 101, 1));
  EXPECT_NEAR(c.z / c.w, 1.0f, 1e-6f);
  EXPECT_NEAR(c.x / c.w, 1.0f, 1e-5f);
  EXPECT_NEAR(c.y / c.w, -1.0f, 1e-5f);
  mat4 marked;
  marked(0, 1) = 42.0f;
  matix_perspective(marked, kPi / 2, 1.0f, 1.0f, 101.0f);
  EXPECT_EQ(marked(0, 1), 42.0f);
  EXPECT_EQ(marked(3, 3), 1.0f);  // left as it was
}
