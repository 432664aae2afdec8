#include "zel/math/vec.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace zel {

namespace {

const float kEps = 1e-5f;
// The identity rotation handed out by trackball.
const quat kQuatIdentity(0.0f, 0.0f, 0.0f, 1.0f);

}  // namespace

const quat quat::Identity(0.0f, 0.0f, 0.0f, 1.0f);

// ---- vectors

float vec2::norm() const {
  return std::sqrt(sq_norm());
}

void vec2::normalize() {
  float n = norm();
  if (n > kEps) {
    float k = 1.0f / n;
    x *= k;
    y *= k;
  } else {
    x = y = 0.0f;
  }
}

float vec3::norm() const {
  return std::sqrt(sq_norm());
}

float vec3::normalize() {
  float n = norm();
  if (n > kEps) {
    float k = 1.0f / n;
    x *= k;
    y *= k;
    z *= k;
    return k;
  }
  x = y = z = 0.0f;
  return 0.0f;
}

void vec3::orthogonalize(const vec3& v) {
  float d = dot(v, *this);
  x -= d * v.x;
  y -= d * v.y;
  z -= d * v.z;
}

void vec3::orthonormalize(const vec3& v) {
  orthogonalize(v);
  normalize();
}

float dot(const vec3& a, const vec3& b) {
  return a.x * b.x + a.y * b.y + a.z * b.z;
}
float dot(const vec4& a, const vec4& b) {
  return a.x * b.x + a.y * b.y + a.z * b.z + a.w * b.w;
}
float dot(const vec3& a, const vec4& b) {
  return a.x * b.x + a.y * b.y + a.z * b.z;
}
float dot(const vec4& a, const vec3& b) {
  return a.x * b.x + a.y * b.y + a.z * b.z;
}
float& dot(float& r, const vec3& a, const vec3& b) {
  return r = dot(a, b);
}
float& dot(float& r, const vec4& a, const vec4& b) {
  return r = dot(a, b);
}
float& dot(float& r, const vec3& a, const vec4& b) {
  return r = dot(a, b);
}
float& dot(float& r, const vec4& a, const vec3& b) {
  return r = dot(a, b);
}
float dot(const quat& p, const quat& q) {
  return p.x * q.x + p.y * q.y + p.z * q.z + p.w * q.w;
}

vec3& cross(vec3& r, const vec3& a, const vec3& b) {
  float x = a.y * b.z - a.z * b.y;
  float y = a.z * b.x - a.x * b.z;
  float z = a.x * b.y - a.y * b.x;
  r.x = x;
  r.y = y;
  r.z = z;
  return r;
}

vec3& add(vec3& r, const vec3& a, const vec3& b) {
  r.x = a.x + b.x;
  r.y = a.y + b.y;
  r.z = a.z + b.z;
  return r;
}

vec3& sub(vec3& r, const vec3& a, const vec3& b) {
  r.x = a.x - b.x;
  r.y = a.y - b.y;
  r.z = a.z - b.z;
  return r;
}

vec3& mult(vec3& r, const vec3& a, const vec3& b) {
  r.x = a.x * b.x;
  r.y = a.y * b.y;
  r.z = a.z * b.z;
  return r;
}

vec3& mult(vec3& r, const vec3& a, const float& s) {
  r.x = a.x * s;
  r.y = a.y * s;
  r.z = a.z * s;
  return r;
}

vec3& madd(vec3& r, const vec3& a, const float& s) {
  r.x += a.x * s;
  r.y += a.y * s;
  r.z += a.z * s;
  return r;
}

vec2& scale(vec2& v, float s) {
  return v *= s;
}
vec3& scale(vec3& v, float s) {
  return v *= s;
}
vec4& scale(vec4& v, float s) {
  return v *= s;
}

vec2& normalize(vec2& v) {
  v.normalize();
  return v;
}

vec3& normalize(vec3& v) {
  v.normalize();
  return v;
}

vec4& normalize(vec4& v) {
  float n = std::sqrt(dot(v, v));
  if (n > kEps) {
    v *= 1.0f / n;
  } else {
    v = vec4(0.0f, 0.0f, 0.0f, 0.0f);
  }
  return v;
}

quat& normalize(quat& q) {
  float n = std::sqrt(dot(q, q));
  if (n > kEps) {
    float k = 1.0f / n;
    q.x *= k;
    q.y *= k;
    q.z *= k;
    q.w *= k;
  } else {
    q = quat(0.0f, 0.0f, 0.0f, 0.0f);
  }
  return q;
}

vec3& reflect(vec3& r, const vec3& n, const vec3& l) {
  float k = 2.0f * dot(n, l);
  vec3 res(k * n.x - l.x, k * n.y - l.y, k * n.z - l.z);
  return r = res;
}

// ---- matrix * vector

vec3& mult(vec3& r, const mat3& m, const vec3& v) {
  vec3 res(m(0, 0) * v.x + m(0, 1) * v.y + m(0, 2) * v.z,
           m(1, 0) * v.x + m(1, 1) * v.y + m(1, 2) * v.z,
           m(2, 0) * v.x + m(2, 1) * v.y + m(2, 2) * v.z);
  return r = res;
}

vec3& mult(vec3& r, const vec3& v, const mat3& m) {
  vec3 res(m(0, 0) * v.x + m(1, 0) * v.y + m(2, 0) * v.z,
           m(0, 1) * v.x + m(1, 1) * v.y + m(2, 1) * v.z,
           m(0, 2) * v.x + m(1, 2) * v.y + m(2, 2) * v.z);
  return r = res;
}

vec4& mult(vec4& r, const mat4& m, const vec4& v) {
  vec4 res;
  for (int i = 0; i < 4; ++i) {
    res[i] = m(i, 0) * v.x + m(i, 1) * v.y + m(i, 2) * v.z + m(i, 3) * v.w;
  }
  return r = res;
}

vec4& mult(vec4& r, const vec4& v, const mat4& m) {
  vec4 res;
  for (int j = 0; j < 4; ++j) {
    res[j] = m(0, j) * v.x + m(1, j) * v.y + m(2, j) * v.z + m(3, j) * v.w;
  }
  return r = res;
}

vec3& mult(vec3& r, const mat4& m, const vec3& v) {
  vec3 res;
  for (int i = 0; i < 3; ++i) {
    res[i] = m(i, 0) * v.x + m(i, 1) * v.y + m(i, 2) * v.z + m(i, 3);
  }
  return r = res;
}

vec3& mult(vec3& r, const vec3& v, const mat4& m) {
  vec3 res;
  for (int j = 0; j < 3; ++j) {
    res[j] = m(0, j) * v.x + m(1, j) * v.y + m(2, j) * v.z + m(3, j);
  }
  return r = res;
}

vec3& mult_pos(vec3& r, const mat4& m, const vec3& v) {
  float d = m(3, 0) * v.x + m(3, 1) * v.y + m(3, 2) * v.z + m(3, 3);
  float k = (d > -kEps && d < kEps) ? 1.0f : 1.0f / d;
  mult(r, m, v);
  r *= k;
  return r;
}

vec3& mult_pos(vec3& r, const vec3& v, const mat4& m) {
  float d = m(0, 3) * v.x + m(1, 3) * v.y + m(2, 3) * v.z + m(3, 3);
  float k = (d > -kEps && d < kEps) ? 1.0f : 1.0f / d;
  mult(r, v, m);
  r *= k;
  return r;
}

vec3& mult_dir(vec3& r, const mat4& m, const vec3& v) {
  vec3 res;
  for (int i = 0; i < 3; ++i) res[i] = m(i, 0) * v.x + m(i, 1) * v.y + m(i, 2) * v.z;
  return r = res;
}

vec3& mult_dir(vec3& r, const vec3& v, const mat4& m) {
  vec3 res;
  for (int j = 0; j < 3; ++j) res[j] = m(0, j) * v.x + m(1, j) * v.y + m(2, j) * v.z;
  return r = res;
}

// ---- mat3

mat3::mat3(float f0, float f1, float f2, float f3, float f4, float f5, float f6, float f7, float f8)
    : mat_array{f0, f1, f2, f3, f4, f5, f6, f7, f8} {}

void mat3::set_row(int i, const vec3& v) {
  (*this)(i, 0) = v.x;
  (*this)(i, 1) = v.y;
  (*this)(i, 2) = v.z;
}

void mat3::set_col(int j, const vec3& v) {
  (*this)(0, j) = v.x;
  (*this)(1, j) = v.y;
  (*this)(2, j) = v.z;
}

mat3& mat3::operator*=(const float& s) {
  for (float& f : mat_array) f *= s;
  return *this;
}

mat3& mat3::operator-=(const mat3& m) {
  for (int k = 0; k < 9; ++k) mat_array[k] -= m.mat_array[k];
  return *this;
}

float mat3::norm_one() const {
  float best = 0.0f;
  for (int j = 0; j < 3; ++j) {
    float s = std::fabs((*this)(0, j)) + std::fabs((*this)(1, j)) + std::fabs((*this)(2, j));
    best = std::max(best, s);
  }
  return best;
}

float mat3::norm_inf() const {
  float best = 0.0f;
  for (int i = 0; i < 3; ++i) {
    float s = std::fabs((*this)(i, 0)) + std::fabs((*this)(i, 1)) + std::fabs((*this)(i, 2));
    best = std::max(best, s);
  }
  return best;
}

namespace {

// Writes the rotation by angle about axis into the 3x3 block reached through at(i, j).
template <class M>
void write_axis_rot(M& m, float angle, const vec3& axis) {
  float c = std::cos(angle), s = std::sin(angle), t = 1.0f - c;
  float x = axis.x, y = axis.y, z = axis.z;
  m(0, 0) = x * x * t + c;
  m(0, 1) = x * y * t - z * s;
  m(0, 2) = x * z * t + y * s;
  m(1, 0) = x * y * t + z * s;
  m(1, 1) = y * y * t + c;
  m(1, 2) = y * z * t - x * s;
  m(2, 0) = x * z * t - y * s;
  m(2, 1) = y * z * t + x * s;
  m(2, 2) = z * z * t + c;
}

// The rotation taking unit u onto unit v when the two are not opposite.
template <class M>
void write_vec_rot(M& m, const vec3& u, const vec3& v) {
  vec3 w;
  cross(w, u, v);
  float e = dot(u, v);
  float l = dot(w, w);
  float h = l > kEps ? (1.0f - e) / l : l;
  m(0, 0) = e + h * w.x * w.x;
  m(0, 1) = h * w.x * w.y - w.z;
  m(0, 2) = h * w.x * w.z + w.y;
  m(1, 0) = h * w.x * w.y + w.z;
  m(1, 1) = e + h * w.y * w.y;
  m(1, 2) = h * w.y * w.z - w.x;
  m(2, 0) = h * w.x * w.z - w.y;
  m(2, 1) = h * w.y * w.z + w.x;
  m(2, 2) = e + h * w.z * w.z;
}

// A unit vector perpendicular to u (u of unit length or near it).
vec3 any_perpendicular(const vec3& u) {
  // Cross with the coordinate axis least aligned with u.
  vec3 a(0.0f, 0.0f, 0.0f);
  float ax = std::fabs(u.x), ay = std::fabs(u.y), az = std::fabs(u.z);
  if (ax <= ay && ax <= az) {
    a.x = 1.0f;
  } else if (ay <= az) {
    a.y = 1.0f;
  } else {
    a.z = 1.0f;
  }
  vec3 p;
  cross(p, u, a);
  p.normalize();
  return p;
}

template <class M>
void write_u_to_v(M& m, const vec3& u, const vec3& v) {
  vec3 w;
  cross(w, u, v);
  float e = dot(u, v);
  if (e >= 0.0f || dot(w, w) > kEps) {
    write_vec_rot(m, u, v);
    return;
  }
  // u and v (nearly) opposite: the plain formula degenerates to -I, a reflection. Turn u
  // half way round an axis perpendicular to it (giving -u), then carry -u onto v, which is
  // the well-conditioned near-parallel case.
  vec3 a = any_perpendicular(u);
  mat3 half;
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) half(i, j) = 2.0f * a[i] * a[j] - (i == j ? 1.0f : 0.0f);
  }
  mat3 rest;
  write_vec_rot(rest, -u, v);
  mat3 r;
  mult(r, rest, half);
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) m(i, j) = r(i, j);
  }
}

}  // namespace

void mat3::set_rot(const float& angle, const vec3& axis) {
  write_axis_rot(*this, angle, axis);
}
void mat3::set_rot(const vec3& u, const vec3& v) {
  write_u_to_v(*this, u, v);
}

// ---- mat4

mat4::mat4() {
  std::memset(mat_array, 0, sizeof(mat_array));
  mat_array[0] = mat_array[5] = mat_array[10] = mat_array[15] = 1.0f;
}

mat4::mat4(float f0, float f1, float f2, float f3, float f4, float f5, float f6, float f7, float f8,
           float f9, float f10, float f11, float f12, float f13, float f14, float f15)
    : mat_array{f0, f1, f2, f3, f4, f5, f6, f7, f8, f9, f10, f11, f12, f13, f14, f15} {}

void mat4::set_row(int i, const vec4& v) {
  for (int j = 0; j < 4; ++j) (*this)(i, j) = v[j];
}

void mat4::set_col(int j, const vec4& v) {
  for (int i = 0; i < 4; ++i) (*this)(i, j) = v[i];
}

void mat4::set_rot(const float& angle, const vec3& axis) {
  write_axis_rot(*this, angle, axis);
}
void mat4::set_rot(const vec3& u, const vec3& v) {
  write_u_to_v(*this, u, v);
}

void mat4::set_rot(const mat3& m) {
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) (*this)(i, j) = m(i, j);
  }
}

void mat4::set_rot(const quat& q) {
  mat3 m;
  q.ToMatrix(m);
  set_rot(m);
}

void mat4::set_rotx(const float& angle) {
  float c = std::cos(angle), s = std::sin(angle);
  (*this)(1, 1) = c;
  (*this)(2, 1) = s;
  (*this)(1, 2) = -s;
  (*this)(2, 2) = c;
}

void mat4::set_scale(const vec3& s) {
  (*this)(0, 0) = s.x;
  (*this)(1, 1) = s.y;
  (*this)(2, 2) = s.z;
}

void mat4::get_scale(vec3& s) const {
  s = vec3((*this)(0, 0), (*this)(1, 1), (*this)(2, 2));
}

void mat4::set_translation(const vec3& t) {
  (*this)(0, 3) = t.x;
  (*this)(1, 3) = t.y;
  (*this)(2, 3) = t.z;
}

void mat4::get_translation(vec3& t) const {
  t = vec3((*this)(0, 3), (*this)(1, 3), (*this)(2, 3));
}

void mat4::get_rot(mat3& m) const {
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) m(i, j) = (*this)(i, j);
  }
}

void mat4::get_rot(quat& q) const {
  mat3 m;
  get_rot(m);
  q.FromMatrix(m);
}

mat4 mat4::operator*(const mat4& b) const {
  mat4 r;
  mult(r, *this, b);
  return r;
}

// ---- quat

quat::quat(const vec3& axis, float angle) {
  float l = axis.norm();
  if (l > 0.0f) {
    float s = std::sin(angle * 0.5f) / l;
    x = axis.x * s;
    y = axis.y * s;
    z = axis.z * s;
    w = std::cos(angle * 0.5f);
  } else {
    // No axis, no rotation.
    x = y = z = 0.0f;
    w = 1.0f;
  }
}

void quat::Normalize() {
  float n = std::sqrt(x * x + y * y + z * z + w * w);
  if (n > 0.0f) {
    float k = 1.0f / n;
    x *= k;
    y *= k;
    z *= k;
    w *= k;
  }
}

quat operator*(const quat& p, const quat& q) {
  return quat(
      p.w * q.x + p.x * q.w + p.y * q.z - p.z * q.y, p.w * q.y + p.y * q.w + p.z * q.x - p.x * q.z,
      p.w * q.z + p.z * q.w + p.x * q.y - p.y * q.x, p.w * q.w - p.x * q.x - p.y * q.y - p.z * q.z);
}

quat& quat::operator*=(const quat& q) {
  *this = *this * q;
  return *this;
}

void quat::ToMatrix(mat3& m) const {
  float x2 = x * 2.0f, y2 = y * 2.0f, z2 = z * 2.0f;
  m(0, 0) = 1.0f - (y * y2 + z * z2);
  m(0, 1) = x * y2 - w * z2;
  m(0, 2) = x * z2 + w * y2;
  m(1, 0) = x * y2 + w * z2;
  m(1, 1) = 1.0f - (x * x2 + z * z2);
  m(1, 2) = y * z2 - w * x2;
  m(2, 0) = x * z2 - w * y2;
  m(2, 1) = y * z2 + w * x2;
  m(2, 2) = 1.0f - (x * x2 + y * y2);
}

void quat::FromMatrix(const mat3& m) {
  float trace = m(0, 0) + m(1, 1) + m(2, 2);
  if (trace > 0.0f) {
    float s = std::sqrt(trace + 1.0f);
    w = 0.5f * s;
    s = 0.5f / s;
    x = (m(2, 1) - m(1, 2)) * s;
    y = (m(0, 2) - m(2, 0)) * s;
    z = (m(1, 0) - m(0, 1)) * s;
    return;
  }
  static const int next[3] = {1, 2, 0};
  int i = 0;
  if (m(1, 1) > m(0, 0)) i = 1;
  if (m(2, 2) > m(i, i)) i = 2;
  int j = next[i], k = next[j];
  float s = std::sqrt(m(i, i) - m(j, j) - m(k, k) + 1.0f);
  (*this)[i] = 0.5f * s;
  s = 0.5f / s;
  w = (m(k, j) - m(j, k)) * s;
  (*this)[j] = (m(j, i) + m(i, j)) * s;
  (*this)[k] = (m(k, i) + m(i, k)) * s;
}

// ---- matrices

mat3& add(mat3& r, const mat3& a) {
  for (int k = 0; k < 9; ++k) r.mat_array[k] += a.mat_array[k];
  return r;
}

mat4& add(mat4& r, const mat4& a) {
  for (int k = 0; k < 16; ++k) r.mat_array[k] += a.mat_array[k];
  return r;
}

mat3& add(mat3& r, const mat3& a, const mat3& b) {
  for (int k = 0; k < 9; ++k) r.mat_array[k] = a.mat_array[k] + b.mat_array[k];
  return r;
}

mat4& add(mat4& r, const mat4& a, const mat4& b) {
  for (int k = 0; k < 16; ++k) r.mat_array[k] = a.mat_array[k] + b.mat_array[k];
  return r;
}

mat3& mult(mat3& r, const mat3& a, const mat3& b) {
  mat3 t;
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) {
      t(i, j) = a(i, 0) * b(0, j) + a(i, 1) * b(1, j) + a(i, 2) * b(2, j);
    }
  }
  return r = t;
}

mat4& mult(mat4& r, const mat4& a, const mat4& b) {
  mat4 t;
  for (int i = 0; i < 4; ++i) {
    for (int j = 0; j < 4; ++j) {
      t(i, j) = a(i, 0) * b(0, j) + a(i, 1) * b(1, j) + a(i, 2) * b(2, j) + a(i, 3) * b(3, j);
    }
  }
  return r = t;
}

mat3& transpose(mat3& a) {
  std::swap(a(0, 1), a(1, 0));
  std::swap(a(0, 2), a(2, 0));
  std::swap(a(1, 2), a(2, 1));
  return a;
}

mat4& transpose(mat4& a) {
  for (int i = 0; i < 4; ++i) {
    for (int j = i + 1; j < 4; ++j) std::swap(a(i, j), a(j, i));
  }
  return a;
}

mat3& transpose(mat3& r, const mat3& a) {
  mat3 t;
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) t(i, j) = a(j, i);
  }
  return r = t;
}

mat4& transpose(mat4& r, const mat4& a) {
  mat4 t;
  for (int i = 0; i < 4; ++i) {
    for (int j = 0; j < 4; ++j) t(i, j) = a(j, i);
  }
  return r = t;
}

mat3& negate(mat3& a) {
  for (float& f : a.mat_array) f = -f;
  return a;
}

mat4& negate(mat4& a) {
  for (float& f : a.mat_array) f = -f;
  return a;
}

namespace {

float det3(float a00, float a01, float a02, float a10, float a11, float a12, float a20, float a21,
           float a22) {
  return a00 * (a11 * a22 - a21 * a12) - a10 * (a01 * a22 - a21 * a02) +
         a20 * (a01 * a12 - a11 * a02);
}

float det(const mat3& a) {
  return det3(a(0, 0), a(0, 1), a(0, 2), a(1, 0), a(1, 1), a(1, 2), a(2, 0), a(2, 1), a(2, 2));
}

}  // namespace

mat3& invert(mat3& r, const mat3& a) {
  float d = det(a);
  float k = 1.0f / d;
  mat3 t;
  t(0, 0) = (a(1, 1) * a(2, 2) - a(2, 1) * a(1, 2)) * k;
  t(0, 1) = -(a(0, 1) * a(2, 2) - a(2, 1) * a(0, 2)) * k;
  t(0, 2) = (a(0, 1) * a(1, 2) - a(1, 1) * a(0, 2)) * k;
  t(1, 0) = -(a(1, 0) * a(2, 2) - a(2, 0) * a(1, 2)) * k;
  t(1, 1) = (a(0, 0) * a(2, 2) - a(2, 0) * a(0, 2)) * k;
  t(1, 2) = -(a(0, 0) * a(1, 2) - a(1, 0) * a(0, 2)) * k;
  t(2, 0) = (a(1, 0) * a(2, 1) - a(2, 0) * a(1, 1)) * k;
  t(2, 1) = -(a(0, 0) * a(2, 1) - a(2, 0) * a(0, 1)) * k;
  t(2, 2) = (a(0, 0) * a(1, 1) - a(1, 0) * a(0, 1)) * k;
  return r = t;
}

mat4& invert(mat4& r, const mat4& a) {
  // Cofactor of element (i, j): the signed determinant of a without row i and column j.
  auto cofactor = [&a](int i, int j) {
    float m[9];
    int n = 0;
    for (int jj = 0; jj < 4; ++jj) {
      if (jj == j) continue;
      for (int ii = 0; ii < 4; ++ii) {
        if (ii == i) continue;
        m[n++] = a(ii, jj);
      }
    }
    // m is column-major 3x3.
    float d = det3(m[0], m[3], m[6], m[1], m[4], m[7], m[2], m[5], m[8]);
    return ((i + j) & 1) ? -d : d;
  };
  mat4 t;
  // The adjugate: the cofactor matrix transposed.
  for (int i = 0; i < 4; ++i) {
    for (int j = 0; j < 4; ++j) t(j, i) = cofactor(i, j);
  }
  float d = a(0, 0) * t(0, 0) + a(0, 1) * t(1, 0) + a(0, 2) * t(2, 0) + a(0, 3) * t(3, 0);
  float k = 1.0f / d;
  for (float& f : t.mat_array) f *= k;
  return r = t;
}

mat4& invert_rot_trans(mat4& r, const mat4& a) {
  mat4 t;
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) t(i, j) = a(j, i);
  }
  for (int i = 0; i < 3; ++i) {
    t(i, 3) = -(a(0, i) * a(0, 3) + a(1, i) * a(1, 3) + a(2, i) * a(2, 3));
  }
  for (int j = 0; j < 4; ++j) t(3, j) = a(3, j);
  return r = t;
}

// ---- views and projections

mat4& look_at(mat4& m, const vec3& eye, const vec3& center, const vec3& up) {
  vec3 z = center - eye;
  z.normalize();
  vec3 x, y;
  cross(x, up, z);
  cross(y, z, x);
  x.normalize();
  y.normalize();
  m.set_row(0, vec4(x.x, x.y, x.z, -dot(x, eye)));
  m.set_row(1, vec4(y.x, y.y, y.z, -dot(y, eye)));
  m.set_row(2, vec4(z.x, z.y, z.z, -dot(z, eye)));
  m.set_row(3, vec4(0.0f, 0.0f, 0.0f, 1.0f));
  return m;
}

mat4& frustum(mat4& m, const float l, const float r, const float b, const float t, const float n,
              const float f) {
  std::memset(m.mat_array, 0, sizeof(m.mat_array));
  m(0, 0) = 2.0f * n / (r - l);
  m(1, 1) = 2.0f * n / (t - b);
  m(0, 2) = (r + l) / (r - l);
  m(1, 2) = (t + b) / (t - b);
  m(2, 2) = -(f + n) / (f - n);
  m(3, 2) = -1.0f;
  m(2, 3) = -2.0f * f * n / (f - n);
  return m;
}

mat4& perspective(mat4& m, const float fovy, const float aspect, const float n, const float f) {
  float ymax = n * std::tan(fovy * 3.1415927f / 180.0f * 0.5f);
  return frustum(m, -ymax * aspect, ymax * aspect, -ymax, ymax, n, f);
}

mat4& matix_perspective(mat4& m, const float fov, const float aspect, const float zn,
                        const float zf) {
  float c = 1.0f / std::tan(fov * 0.5f);
  m(0, 0) = aspect * c;
  m(1, 1) = c;
  m(2, 2) = zf / (zf - zn);
  m(3, 2) = 1.0f;
  m(2, 3) = -zn * zf / (zf - zn);
  return m;
}

mat4& ortho(mat4& m, const float l, const float r, const float b, const float t, const float n,
            const float f) {
  std::memset(m.mat_array, 0, sizeof(m.mat_array));
  m(0, 0) = 2.0f / (r - l);
  m(1, 1) = 2.0f / (t - b);
  m(2, 2) = 1.0f / (f - n);
  m(0, 3) = -(r + l) / (r - l);
  m(1, 3) = -(t + b) / (t - b);
  m(2, 3) = n / (n - f);
  m(3, 3) = 1.0f;
  return m;
}

// ---- quaternions

mat3& quat_2_mat(mat3& m, const quat& q) {
  q.ToMatrix(m);
  return m;
}

quat& mat_2_quat(quat& q, const mat3& m) {
  q.FromMatrix(m);
  return q;
}

quat& mat_2_quat(quat& q, const mat4& m) {
  m.get_rot(q);
  return q;
}

quat& axis_to_quat(quat& q, const vec3& axis, const float angle) {
  vec3 a = axis;
  if (a.normalize() == 0.0f) {
    // No axis, no rotation.
    return q = quat(0.0f, 0.0f, 0.0f, 1.0f);
  }
  float s = std::sin(angle * 0.5f);
  q = quat(a.x * s, a.y * s, a.z * s, std::cos(angle * 0.5f));
  return q;
}

quat& conj(quat& q) {
  q.x = -q.x;
  q.y = -q.y;
  q.z = -q.z;
  return q;
}

quat& conj(quat& r, const quat& q) {
  return r = quat(-q.x, -q.y, -q.z, q.w);
}

quat& add_quats(quat& r, const quat& p, const quat& q) {
  return r = q * p;
}

quat& slerp_quats(quat& r, float t, const quat& p, const quat& q) {
  float c = std::min(1.0f, std::max(-1.0f, dot(p, q)));
  float omega = std::acos(c);
  float s = std::sin(omega);
  if (std::fabs(omega) < kEps) {
    return r = p;
  }
  if (std::fabs(s) < kEps) {
    // p and q opposite: every great circle joins them; no path is preferred, so the nearer
    // end is returned rather than a 0/0 blend.
    return r = (t < 0.5f ? p : q);
  }
  float k0 = std::sin((1.0f - t) * omega) / s;
  float k1 = std::sin(t * omega) / s;
  quat res(p.x * k0 + q.x * k1, p.y * k0 + q.y * k1, p.z * k0 + q.z * k1, p.w * k0 + q.w * k1);
  return r = res;
}

namespace {

float project_to_sphere(float r, float x, float y) {
  float d = std::sqrt(x * x + y * y);
  if (d < r * 0.7071067811865476f) return std::sqrt(r * r - d * d);
  float h = r / 1.4142135f;
  return h * h / d;
}

}  // namespace

quat& trackball(quat& q, vec2& p1, vec2& p2, float size) {
  if (p1 == p2) return q = kQuatIdentity;
  vec3 a(p1.x, p1.y, project_to_sphere(size, p1.x, p1.y));
  vec3 b(p2.x, p2.y, project_to_sphere(size, p2.x, p2.y));
  vec3 axis;
  cross(axis, a, b);
  vec3 d = a - b;
  float t = d.norm() / size;
  t = std::min(1.0f, std::max(-1.0f, t));
  float angle = 2.0f * std::asin(t);
  return axis_to_quat(q, axis, angle);
}

// ---- miscellaneous

mat3& tangent_basis(mat3& basis, const vec3& v0, const vec3& v1, const vec3& v2, const vec2& t0,
                    const vec2& t1, const vec2& t2, const vec3& n) {
  vec3 tangent, binormal;
  for (int c = 0; c < 3; ++c) {
    vec3 e1(v1[c] - v0[c], t1.x - t0.x, t1.y - t0.y);
    vec3 e2(v2[c] - v0[c], t2.x - t0.x, t2.y - t0.y);
    vec3 w;
    cross(w, e1, e2);
    if (std::fabs(w.x) > kEps) {
      tangent[c] = -w.y / w.x;
      binormal[c] = -w.z / w.x;
    }
  }
  tangent.normalize();
  binormal.normalize();
  vec3 normal;
  cross(normal, tangent, binormal);
  normal.normalize();
  cross(binormal, normal, tangent);
  if (dot(normal, n) < 0.0f) normal = -normal;
  basis.set_row(0, tangent);
  basis.set_row(1, binormal);
  basis.set_row(2, normal);
  return basis;
}

void cube_map_normal(int face, int i, int j, int size, vec3& n) {
  float s = 2.0f * (static_cast<float>(i) + 0.5f) / static_cast<float>(size) - 1.0f;
  float t = 2.0f * (static_cast<float>(j) + 0.5f) / static_cast<float>(size) - 1.0f;
  switch (face) {
    case 0:
      n = vec3(1.0f, -t, -s);
      break;
    case 1:
      n = vec3(-1.0f, -t, s);
      break;
    case 2:
      n = vec3(s, 1.0f, t);
      break;
    case 3:
      n = vec3(s, -1.0f, -t);
      break;
    case 4:
      n = vec3(s, -t, 1.0f);
      break;
    case 5:
      n = vec3(-s, -t, -1.0f);
      break;
    default:
      break;
  }
  n.normalize();
}

float nv_area(const vec3& v1, const vec3& v2, const vec3& v3) {
  vec3 a, b, c;
  cross(a, v1, v2);
  cross(b, v2, v3);
  cross(c, v3, v1);
  vec3 s = a + b + c;
  return 0.5f * s.norm();
}

float nv_perimeter(const vec3& v1, const vec3& v2, const vec3& v3) {
  return (v1 - v2).norm() + (v2 - v3).norm() + (v3 - v1).norm();
}

float nv_find_in_circle(vec3& center, const vec3& v1, const vec3& v2, const vec3& v3) {
  float area = nv_area(v1, v2, v3);
  if (area < kEps) {
    center = v1;
    return 0.0f;
  }
  float p = nv_perimeter(v1, v2, v3);
  float l1 = (v2 - v3).norm(), l2 = (v3 - v1).norm(), l3 = (v1 - v2).norm();
  center = (v1 * l1 + v2 * l2 + v3 * l3) * (1.0f / p);
  return 2.0f * area / p;
}

float nv_find_circ_circle(vec3& center, const vec3& v1, const vec3& v2, const vec3& v3) {
  float d1 = dot(v3 - v1, v2 - v1);
  float d2 = dot(v3 - v2, v1 - v2);
  float d3 = dot(v1 - v3, v2 - v3);
  float c1 = d2 * d3, c2 = d3 * d1, c3 = d1 * d2;
  float s = c1 + c2 + c3;
  // s is (twice the area)^2. Compare it with the fourth power of the longest side: below a
  // relative 1e-10 the points are collinear (to float precision) and have no circumscribed
  // circle; they get the smallest circle that holds them.
  float l12 = (v1 - v2).sq_norm(), l23 = (v2 - v3).sq_norm(), l31 = (v3 - v1).sq_norm();
  float lmax = std::max(l12, std::max(l23, l31));
  if (!(s > 1e-10f * lmax * lmax)) {
    if (l12 >= l23 && l12 >= l31) {
      center = (v1 + v2) * 0.5f;
    } else if (l23 >= l31) {
      center = (v2 + v3) * 0.5f;
    } else {
      center = (v3 + v1) * 0.5f;
    }
    return 0.5f * std::sqrt(lmax);
  }
  float k = 1.0f / (2.0f * s);
  center = (v1 * (c2 + c3) + v2 * (c3 + c1) + v3 * (c1 + c2)) * k;
  return 0.5f * std::sqrt((d1 + d2) * (d2 + d3) * (d3 + d1) / s);
}

float fast_cos(const float x) {
  float x2 = x * x;
  return ((((-2.605e-7f * x2 + 2.47609e-5f) * x2 - 0.0013888397f) * x2 + 0.04166664f) * x2 - 0.5f) *
             x2 +
         1.0f;
}

float ffast_cos(const float x) {
  float x2 = x * x;
  return (0.03705f * x2 - 0.4967f) * x2 + 1.0f;
}

float nv_random() {
  // The classic 15-bit generator range, 0 to 32767, whatever RAND_MAX is here.
  int r = (std::rand() >> 4) & 0x7fff;
  return static_cast<float>(r - 16383) / 16383.0f;
}

}  // namespace zel
