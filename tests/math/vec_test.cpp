// Vectors, matrices, quaternions and geometry: norms, products, rotations, inverses, views,
// projections, interpolation, triangle measures and affine decomposition.
#include "zel/math/vec.h"

#include <gtest/gtest.h>

#include <cmath>

#include "math/math_testing.h"

using namespace zel;
using zel_test::close_to;
using zel_test::identity3;
using zel_test::is_rotation;
using zel_test::kPi;

static_assert(sizeof(vec2) == 8 && sizeof(vec3) == 12 && sizeof(vec4) == 16, "packed floats");
static_assert(sizeof(quat) == 16 && sizeof(mat3) == 36 && sizeof(mat4) == 64, "packed floats");

namespace {

mat4 random_full(zel_test::Rng& rng) {
  mat4 m;
  for (int k = 0; k < 16; ++k) m.mat_array[k] = rng.next(-1, 1);
  for (int i = 0; i < 4; ++i) m(i, i) += 3.0f;
  return m;
}

// Rotates v by the unit quaternion q as q v q*.
vec3 rotate(const quat& q, const vec3& v) {
  quat r = q * quat(v.x, v.y, v.z, 0.0f) * q.Inverse();
  return vec3(r.x, r.y, r.z);
}

// Same rotation (q and -q are the same).
::testing::AssertionResult same_rotation(const quat& a, const quat& b, float eps = 1e-5f) {
  return close_to(a, b, eps) ? close_to(a, b, eps) : close_to(a, -b, eps);
}

const vec3 kAxes[3] = {vec3(1, 0, 0), vec3(0, 1, 0), vec3(0, 0, 1)};

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

TEST(Vec, NormsAndNormalize) {
  EXPECT_FLOAT_EQ(vec2(3, 4).norm(), 5.0f);
  EXPECT_FLOAT_EQ(vec3(2, 3, 6).sq_norm(), 49.0f);
  vec3 v(3, 4, 0), tiny(1e-6f, 0, 0), f(0, 0, 1e-6f);
  EXPECT_FLOAT_EQ(v.normalize(), 0.2f);
  EXPECT_TRUE(close_to(v, vec3(0.6f, 0.8f, 0.0f)));
  EXPECT_EQ(tiny.normalize(), 0.0f);
  EXPECT_EQ(tiny, vec3(0, 0, 0));
  EXPECT_EQ(normalize(f), vec3(0, 0, 0));
}

TEST(Vec, Orthogonalize) {
  zel_test::Rng rng(7);
  for (int k = 0; k < 50; ++k) {
    vec3 axis = rng.vec(-1, 1);
    axis.normalize();
    vec3 v = rng.vec(-10, 10), o = v, n = v, c;
    o.orthogonalize(axis);
    EXPECT_NEAR(dot(o, axis), 0.0f, 1e-4f);
    // What was removed lies along the axis.
    EXPECT_TRUE(close_to(cross(c, v - o, axis), vec3(0, 0, 0), 1e-4f));
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
  vec3 c, al = a;
  EXPECT_EQ(cross(c, a, b), vec3(2 * 6 - 3 * -5, 3 * 4 - 1 * 6, 1 * -5 - 2 * 4));
  EXPECT_EQ(cross(al, al, b), c);  // aliasing an operand
  EXPECT_EQ(add(c, a, b), vec3(5, -3, 9));
  EXPECT_EQ(sub(c, a, b), vec3(-3, 7, -3));
  EXPECT_EQ(mult(c, a, b), vec3(4, -10, 18));
  EXPECT_EQ(mult(c, a, 2.0f), vec3(2, 4, 6));
  c = vec3(1, 1, 1);
  EXPECT_EQ(madd(c, a, 2.0f), vec3(3, 5, 7));
  // Reflection of l about n: 2(n.l)n - l.
  EXPECT_EQ(reflect(c, vec3(0, 1, 0), vec3(1, 1, 0)), vec3(-1, 1, 0));
}

// General axes are checked against quaternions below.
TEST(Matrix, AxisRotation) {
  mat3 r;
  r.set_rot(kPi / 2, vec3(0, 0, 1));
  vec3 v;
  // Right-hand rule about +z: x goes to y.
  EXPECT_TRUE(close_to(mult(v, r, vec3(1, 0, 0)), vec3(0, 1, 0)));
  EXPECT_TRUE(close_to(mult(v, r, vec3(0, 1, 0)), vec3(-1, 0, 0)));
  // mat4 writes only the 3x3 block.
  vec3 axis(1, 2, 2);
  axis.normalize();
  const float ang = 0.7f;
  r.set_rot(ang, axis);
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
  EXPECT_TRUE(close_to(mult(v, x, vec3(0, 1, 0)), vec3(0, 0, 1)));
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
    mat3 r, block;
    r.set_rot(u, v);
    EXPECT_TRUE(is_rotation(r, 2e-4f)) << "case " << k;
    vec3 w;
    EXPECT_TRUE(close_to(mult(w, r, u), v, 2e-4f)) << "case " << k;
    mat4 m;
    m.set_rot(u, v);
    m.get_rot(block);
    EXPECT_TRUE(close_to(block, r, 0.0f));
  }
  for (const vec3& u : kAxes) {  // the opposite case along the coordinate axes too
    mat3 r;
    r.set_rot(u, -u);
    vec3 w;
    EXPECT_TRUE(is_rotation(r) && close_to(mult(w, r, u), -u));
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
    mat4 same = m;  // in place
    invert(same, same);
    EXPECT_TRUE(close_to(same, inv, 0.0f));
    mat3 a, ai, q;
    m.get_rot(a);
    invert(ai, a);
    mult(q, a, ai);
    EXPECT_TRUE(close_to(q, identity3(), 1e-5f)) << "case " << k;
  }
  for (int k = 0; k < 50; ++k) {  // rigid motions: the cheap inverse is the full one
    vec3 axis = rng.vec(-1, 1);
    axis.normalize();
    mat4 m, inv, full;
    m.set_rot(rng.next(-3, 3), axis);
    m.set_translation(rng.vec(-50, 50));
    invert_rot_trans(inv, m);
    EXPECT_TRUE(close_to(inv, invert(full, m), 1e-4f));
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
  // A non-orthogonal up vector still gives orthonormal axes.
  mat3 r;
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
  EXPECT_TRUE(close_to(vec3(c.x, c.y, c.z) * (1 / c.w), vec3(1, 1, -1)));
  // matix_perspective: left-handed, depth 0 at zn and 1 at zf; writes only its five elements.
  mat4 q;
  for (float& f : q.mat_array) f = 0.0f;
  matix_perspective(q, kPi / 2, 1.0f, 1.0f, 101.0f);
  mult(c, q, vec4(0, 0, 1, 1));
  EXPECT_NEAR(c.z / c.w, 0.0f, 1e-6f);
  mult(c, q, vec4(101, -101, 101, 1));
  EXPECT_TRUE(close_to(vec3(c.x, c.y, c.z) * (1 / c.w), vec3(1, -1, 1)));
  mat4 marked;
  marked(0, 1) = 42.0f;
  matix_perspective(marked, kPi / 2, 1.0f, 1.0f, 101.0f);
  EXPECT_EQ(marked(0, 1) + marked(3, 3), 43.0f);  // left as they were
}

TEST(Quat, FromAxisAndAngle) {
  // The axis need not be of unit length.
  quat q(vec3(0, 0, 2), kPi);
  EXPECT_TRUE(close_to(q, quat(0, 0, 1, std::cos(kPi / 2))));
  quat h(vec3(1, 0, 0), kPi / 2);
  EXPECT_TRUE(close_to(rotate(h, vec3(0, 1, 0)), vec3(0, 0, 1)));
  // A zero axis gives the identity rather than an undefined value.
  EXPECT_TRUE(close_to(quat(vec3(0, 0, 0), 1.3f), quat(0, 0, 0, 1), 0.0f));
  quat a;
  EXPECT_TRUE(close_to(axis_to_quat(a, vec3(0, 0, 0), 2.0f), quat::Identity, 0.0f));
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
  EXPECT_TRUE(close_to(zero, quat(0, 0, 0, 0), 0.0f));  // unchanged, no NaN
  EXPECT_TRUE(close_to(normalize(tiny), quat(0, 0, 0, 0), 0.0f));
  // Hamilton product: i*j = k, j*i = -k.
  quat i(1, 0, 0, 0), j(0, 1, 0, 0);
  EXPECT_TRUE(close_to(i * j, quat(0, 0, 1, 0), 0.0f));
  EXPECT_TRUE(close_to(j * i, quat(0, 0, -1, 0), 0.0f));
  quat m = i, r;
  EXPECT_TRUE(close_to(m *= j, quat(0, 0, 1, 0), 0.0f));  // multiplies on the right
  // add_quats(p, q) is "p, then q": q * p.
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
    quat back, from4;
    mat_2_quat(back, m);
    EXPECT_TRUE(same_rotation(back, q, 2e-5f)) << "case " << k;
    EXPECT_TRUE(close_to(quat(m), back, 0.0f));
    vec3 v = rng.vec(-5, 5), a;  // the matrix and the quaternion rotate alike
    EXPECT_TRUE(close_to(mult(a, m, v), rotate(q, v), 1e-4f));
    mat4 m4;
    m4.set_rot(q);
    EXPECT_TRUE(close_to(mat_2_quat(from4, m4), back, 0.0f));
  }
  // Each diagonal branch of FromMatrix: half turns about x, y and z.
  for (const vec3& a : kAxes) {
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
  EXPECT_TRUE(close_to(slerp_quats(r, 0.3f, u, -u), u));
  EXPECT_TRUE(close_to(slerp_quats(r, 0.8f, u, -u), -u));
}

TEST(Quat, Trackball) {
  quat q(1, 2, 3, 4);
  vec2 a(0.3f, -0.2f), b = a;
  trackball(q, a, b, 0.8f);
  EXPECT_TRUE(close_to(q, quat(0, 0, 0, 1), 0.0f));
  // Dragging from the centre to the right turns about +y by the angle of the chord.
  vec2 p1(0, 0), p2(0.2f, 0), o1(2, 0), o2(0, 2);
  trackball(q, p1, p2, 1.0f);
  vec3 s1(0, 0, 1), s2(0.2f, 0, std::sqrt(1 - 0.04f)), axis;
  EXPECT_TRUE(close_to(q, quat(vec3(0, 1, 0), 2 * std::asin((s1 - s2).norm()))));
  // Outside the sphere the hyperbolic sheet z = (size^2/2)/d; the chord is clamped: a half turn.
  trackball(q, o1, o2, 1.0f);
  EXPECT_TRUE(close_to(q, quat(cross(axis, vec3(2, 0, 0.25f), vec3(0, 2, 0.25f)), kPi)));
}

TEST(Geometry, TriangleMeasuresAndCircles) {
  vec3 a(0, 0, 0), b(4, 0, 0), c(0, 3, 0);
  EXPECT_FLOAT_EQ(nv_area(a, b, c), 6.0f);
  EXPECT_FLOAT_EQ(nv_perimeter(a, b, c), 12.0f);
  vec3 d(10, -3, 7), center;  // the area does not depend on where the triangle lies
  EXPECT_NEAR(nv_area(a + d, b + d, c + d), 6.0f, 1e-4f);
  EXPECT_FLOAT_EQ(nv_find_in_circle(center, a, b, c), 1.0f);  // 2*6/12
  EXPECT_TRUE(close_to(center, vec3(1, 1, 0)));
  // A degenerate triangle: centre a, radius 0.
  EXPECT_EQ(nv_find_in_circle(center, a, b, vec3(8, 0, 0)), 0.0f);
  EXPECT_EQ(center, a);
  // Circumscribed: a right triangle's centre is the middle of the hypotenuse.
  EXPECT_NEAR(nv_find_circ_circle(center, a, b, c), 2.5f, 1e-5f);
  EXPECT_TRUE(close_to(center, vec3(2, 1.5f, 0)));
  zel_test::Rng rng(23);
  for (int k = 0; k < 100; ++k) {
    const vec3 u = rng.vec(-10, 10), v = rng.vec(-10, 10), w = rng.vec(-10, 10);
    const float r = nv_find_circ_circle(center, u, v, w);
    for (const vec3& p : {u, v, w}) EXPECT_NEAR((p - center).norm(), r, 1e-2f * r);  // on it
  }
  // Collinear points (or one point thrice) have none: the smallest circle holding them.
  const struct {
    vec3 a, b, c, centre;
    float r;
  } flat[] = {{vec3(0, 0, 0), vec3(2, 2, 0), vec3(6, 6, 0), vec3(3, 3, 0), std::sqrt(72.0f) / 2},
              {vec3(5, 0, 1), vec3(-1, 0, 1), vec3(2, 0, 1), vec3(2, 0, 1), 3.0f},
              {vec3(1, 2, 3), vec3(1, 2, 3), vec3(1, 2, 3), vec3(1, 2, 3), 0.0f}};
  for (const auto& f : flat) {
    EXPECT_NEAR(nv_find_circ_circle(center, f.a, f.b, f.c), f.r, 1e-5f);
    EXPECT_TRUE(close_to(center, f.centre));
  }
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
  for (int f = 0; f < 6; ++f) {
    cube_map_normal(f, 1, 1, 3, n);
    EXPECT_TRUE(close_to(n, kAxes[f / 2] * (f % 2 ? -1.0f : 1.0f))) << "face " << f;
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
  EXPECT_EQ(fast_cos(0.0f) + ffast_cos(0.0f), 2.0f);
}

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
    EXPECT_TRUE(kk.x > 0 && kk.y > 0 && kk.z > 0) << n;
  }
  // Uniform scale, and rank-deficient (flattened along z): still a rotation and a reconstruction.
  for (const vec3& k : {vec3(2, 2, 2), vec3(2, 3, 0)}) {
    mat4 a;
    a.set_scale(k);
    vec3 t, kk;
    quat q, u;
    float f = 0;
    decomp_affine(a, t, q, u, kk, f);
    mat3 qm;
    EXPECT_TRUE(is_rotation(quat_2_mat(qm, q), 1e-4f));
    EXPECT_TRUE(close_to(recompose(q, u, kk, f), mat3(k.x, 0, 0, 0, k.y, 0, 0, 0, k.z), 1e-4f));
  }
}
