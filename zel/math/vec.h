// Geometry value types of the engine: vec2, vec3, vec4, quat, mat3 and mat4, and the free
// functions over them.
//
// All scalars are 32-bit floats. Matrices are stored column-major (the element in row i,
// column j of a mat4 is float 4*j + i) and act on column vectors: a transform applies as M*v
// and A*B applies B first. Operations taking (vector, matrix) treat the vector as a row
// vector (v*M, the same as transpose(M)*v).
//
// View matrices are left-handed (look_at looks along +z) and ortho maps depth to 0..1.
//
// Functions that produce a value write their first argument and return a reference to it,
// so hot paths need no temporaries.
#pragma once

#include <cstring>

namespace zel {

struct vec2;
struct vec3;
struct vec4;
struct quat;
struct mat3;
struct mat4;

// Raised by the line intersection of the line primitives: a null result point, and lines
// that are parallel. Empty, thrown by value.
class ErrVecNull {};
class ErrVecParallel {};

struct vec2 {
  vec2() : x(0.0f), y(0.0f) {}
  vec2(float x_, float y_) : x(x_), y(y_) {}
  explicit vec2(const float* v) : x(v[0]), y(v[1]) {}
  // Projective divide (x/z, y/z); z is not tested.
  explicit vec2(const vec3& v);

  float& operator[](int i) { return (&x)[i]; }
  float operator[](int i) const { return (&x)[i]; }

  bool operator==(const vec2& v) const { return x == v.x && y == v.y; }
  bool operator!=(const vec2& v) const { return !(*this == v); }
  vec2& operator+=(const vec2& v) {
    x += v.x;
    y += v.y;
    return *this;
  }
  vec2& operator-=(const vec2& v) {
    x -= v.x;
    y -= v.y;
    return *this;
  }
  vec2& operator*=(const float& s) {
    x *= s;
    y *= s;
    return *this;
  }

  float sq_norm() const { return x * x + y * y; }
  float norm() const;
  // Scales to unit length; a vector of norm at most 1e-5 becomes (0, 0).
  void normalize();

  float x, y;
};

struct vec3 {
  vec3() : x(0.0f), y(0.0f), z(0.0f) {}
  vec3(float x_, float y_, float z_) : x(x_), y(y_), z(z_) {}
  explicit vec3(const float* v) : x(v[0]), y(v[1]), z(v[2]) {}
  // (x, y, 1).
  explicit vec3(const vec2& v) : x(v.x), y(v.y), z(1.0f) {}
  // Drops w.
  explicit vec3(const vec4& v);

  float& operator[](int i) { return (&x)[i]; }
  float operator[](int i) const { return (&x)[i]; }

  bool operator==(const vec3& v) const { return x == v.x && y == v.y && z == v.z; }
  bool operator!=(const vec3& v) const { return !(*this == v); }
  vec3& operator+=(const vec3& v) {
    x += v.x;
    y += v.y;
    z += v.z;
    return *this;
  }
  vec3& operator-=(const vec3& v) {
    x -= v.x;
    y -= v.y;
    z -= v.z;
    return *this;
  }
  vec3& operator*=(const float& s) {
    x *= s;
    y *= s;
    z *= s;
    return *this;
  }
  vec3 operator-() const { return vec3(-x, -y, -z); }

  float sq_norm() const { return x * x + y * y + z * z; }
  float norm() const;
  // Scales to unit length and returns the factor applied (1/norm); a vector of norm at most
  // 1e-5 becomes (0, 0, 0) and 0 is returned.
  float normalize();
  // Subtracts the component along v (v is taken to be of unit length).
  void orthogonalize(const vec3& v);
  void orthonormalize(const vec3& v);

  float x, y, z;
};

struct vec4 {
  vec4() : x(0.0f), y(0.0f), z(0.0f), w(0.0f) {}
  vec4(float x_, float y_, float z_, float w_) : x(x_), y(y_), z(z_), w(w_) {}
  explicit vec4(const float* v) : x(v[0]), y(v[1]), z(v[2]), w(v[3]) {}
  // (x, y, z, 1).
  explicit vec4(const vec3& v) : x(v.x), y(v.y), z(v.z), w(1.0f) {}

  float& operator[](int i) { return (&x)[i]; }
  float operator[](int i) const { return (&x)[i]; }

  bool operator==(const vec4& v) const { return x == v.x && y == v.y && z == v.z && w == v.w; }
  bool operator!=(const vec4& v) const { return !(*this == v); }
  vec4& operator+=(const vec4& v) {
    x += v.x;
    y += v.y;
    z += v.z;
    w += v.w;
    return *this;
  }
  vec4& operator-=(const vec4& v) {
    x -= v.x;
    y -= v.y;
    z -= v.z;
    w -= v.w;
    return *this;
  }
  vec4& operator*=(const float& s) {
    x *= s;
    y *= s;
    z *= s;
    w *= s;
    return *this;
  }
  vec4 operator-() const { return vec4(-x, -y, -z, -w); }

  float x, y, z, w;
};

inline vec2::vec2(const vec3& v) : x(v.x / v.z), y(v.y / v.z) {}
inline vec3::vec3(const vec4& v) : x(v.x), y(v.y), z(v.z) {}

// Convenience value operators.
inline vec2 operator+(const vec2& a, const vec2& b) {
  return vec2(a.x + b.x, a.y + b.y);
}
inline vec2 operator-(const vec2& a, const vec2& b) {
  return vec2(a.x - b.x, a.y - b.y);
}
inline vec2 operator*(const vec2& a, float s) {
  return vec2(a.x * s, a.y * s);
}
inline vec2 operator*(float s, const vec2& a) {
  return vec2(a.x * s, a.y * s);
}
inline vec3 operator+(const vec3& a, const vec3& b) {
  return vec3(a.x + b.x, a.y + b.y, a.z + b.z);
}
inline vec3 operator-(const vec3& a, const vec3& b) {
  return vec3(a.x - b.x, a.y - b.y, a.z - b.z);
}
inline vec3 operator*(const vec3& a, float s) {
  return vec3(a.x * s, a.y * s, a.z * s);
}
inline vec3 operator*(float s, const vec3& a) {
  return vec3(a.x * s, a.y * s, a.z * s);
}

// 3x3 matrix, column-major: the element in row i, column j is float 3*j + i.
struct mat3 {
  // The zero matrix.
  mat3() { std::memset(mat_array, 0, sizeof(mat_array)); }
  explicit mat3(const float* array) { std::memcpy(mat_array, array, sizeof(mat_array)); }
  // Elements in storage order: first column first (a00, a10, a20, a01, ...).
  mat3(float f0, float f1, float f2, float f3, float f4, float f5, float f6, float f7, float f8);

  float& operator()(int i, int j) { return mat_array[3 * j + i]; }
  const float& operator()(int i, int j) const { return mat_array[3 * j + i]; }
  // Row i.
  vec3 operator[](int i) const { return vec3(mat_array[i], mat_array[3 + i], mat_array[6 + i]); }
  vec3 col(int j) const { return vec3(mat_array + 3 * j); }
  void set_row(int i, const vec3& v);
  void set_col(int j, const vec3& v);

  mat3& operator*=(const float& s);
  mat3& operator-=(const mat3& m);
  // Largest column sum of absolute values.
  float norm_one() const;
  // Largest row sum of absolute values.
  float norm_inf() const;

  // Rotation by angle radians about the unit vector axis (right-hand rule); the axis is used
  // as given.
  void set_rot(const float& angle, const vec3& axis);
  // The rotation carrying unit vector u onto unit vector v (opposite vectors give a half
  // turn about an axis perpendicular to u).
  void set_rot(const vec3& u, const vec3& v);

  float mat_array[9];
};

// 4x4 matrix, column-major: the element in row i, column j is float 4*j + i; the
// translation of an affine transform lies in floats 12, 13, 14.
struct mat4 {
  // The identity.
  mat4();
  explicit mat4(const float* array) { std::memcpy(mat_array, array, sizeof(mat_array)); }
  // Elements in storage order: first column first (a00, a10, a20, a30, a01, ...).
  mat4(float f0, float f1, float f2, float f3, float f4, float f5, float f6, float f7, float f8,
       float f9, float f10, float f11, float f12, float f13, float f14, float f15);

  float& operator()(int i, int j) { return mat_array[4 * j + i]; }
  const float& operator()(int i, int j) const { return mat_array[4 * j + i]; }
  // Row i.
  vec4 operator[](int i) const {
    return vec4(mat_array[i], mat_array[4 + i], mat_array[8 + i], mat_array[12 + i]);
  }
  vec4 col(int j) const { return vec4(mat_array + 4 * j); }
  void set_row(int i, const vec4& v);
  void set_col(int j, const vec4& v);

  // The set_rot forms write only the upper-left 3x3 block.
  void set_rot(const float& angle, const vec3& axis);
  void set_rot(const vec3& u, const vec3& v);
  void set_rot(const mat3& m);
  void set_rot(const quat& q);
  // Writes only a11, a21, a12, a22.
  void set_rotx(const float& angle);
  // Diagonal a00, a11, a22 only.
  void set_scale(const vec3& s);
  void get_scale(vec3& s) const;
  // Column 3 (a03, a13, a23).
  void set_translation(const vec3& t);
  void get_translation(vec3& t) const;
  void get_rot(mat3& m) const;
  void get_rot(quat& q) const;

  // this * b
  mat4 operator*(const mat4& b) const;

  float mat_array[16];
};

struct quat {
  quat() : x(0.0f), y(0.0f), z(0.0f), w(1.0f) {}
  quat(float x_, float y_, float z_, float w_) : x(x_), y(y_), z(z_), w(w_) {}
  // Rotation by angle radians about axis (of any length). A zero axis gives the identity.
  quat(const vec3& axis, float angle);
  explicit quat(const mat3& rot) { FromMatrix(rot); }

  float& operator[](int i) { return (&x)[i]; }
  float operator[](int i) const { return (&x)[i]; }
  quat operator-() const { return quat(-x, -y, -z, -w); }

  // The conjugate (-x, -y, -z, w); no division by the norm.
  quat Inverse() const { return quat(-x, -y, -z, w); }
  // Divides by the norm when it is above 0.
  void Normalize();
  // this = this * q (Hamilton product).
  quat& operator*=(const quat& q);
  void FromMatrix(const mat3& m);
  void ToMatrix(mat3& m) const;

  static const quat Identity;

  float x, y, z, w;
};

// Hamilton product p*q.
quat operator*(const quat& p, const quat& q);

// ---- vectors

float dot(const vec3& a, const vec3& b);
float dot(const vec4& a, const vec4& b);
float dot(const vec3& a, const vec4& b);
float dot(const vec4& a, const vec3& b);
float& dot(float& r, const vec3& a, const vec3& b);
float& dot(float& r, const vec4& a, const vec4& b);
float& dot(float& r, const vec3& a, const vec4& b);
float& dot(float& r, const vec4& a, const vec3& b);
float dot(const quat& p, const quat& q);

vec3& cross(vec3& r, const vec3& a, const vec3& b);
vec3& add(vec3& r, const vec3& a, const vec3& b);
vec3& sub(vec3& r, const vec3& a, const vec3& b);
// Componentwise product.
vec3& mult(vec3& r, const vec3& a, const vec3& b);
vec3& mult(vec3& r, const vec3& a, const float& s);
// r += a*s
vec3& madd(vec3& r, const vec3& a, const float& s);
vec2& scale(vec2& v, float s);
vec3& scale(vec3& v, float s);
vec4& scale(vec4& v, float s);
// In place: divided by the norm if it is above 1e-5, else all zeros.
vec2& normalize(vec2& v);
vec3& normalize(vec3& v);
vec4& normalize(vec4& v);
quat& normalize(quat& q);
// r = 2*(n.l)*n - l
vec3& reflect(vec3& r, const vec3& n, const vec3& l);

// ---- matrix * vector

vec3& mult(vec3& r, const mat3& m, const vec3& v);
vec3& mult(vec3& r, const vec3& v, const mat3& m);
vec4& mult(vec4& r, const mat4& m, const vec4& v);
vec4& mult(vec4& r, const vec4& v, const mat4& m);
// Affine: v extended by w = 1, the fourth row (column) of m ignored.
vec3& mult(vec3& r, const mat4& m, const vec3& v);
vec3& mult(vec3& r, const vec3& v, const mat4& m);
// Affine, then divided by the fourth component d of the product (not when |d| < 1e-5).
vec3& mult_pos(vec3& r, const mat4& m, const vec3& v);
vec3& mult_pos(vec3& r, const vec3& v, const mat4& m);
// Upper-left 3x3 block only.
vec3& mult_dir(vec3& r, const mat4& m, const vec3& v);
vec3& mult_dir(vec3& r, const vec3& v, const mat4& m);

// ---- matrices (r may alias an operand of add and mult)

mat3& add(mat3& r, const mat3& a);
mat4& add(mat4& r, const mat4& a);
mat3& add(mat3& r, const mat3& a, const mat3& b);
mat4& add(mat4& r, const mat4& a, const mat4& b);
mat3& mult(mat3& r, const mat3& a, const mat3& b);
mat4& mult(mat4& r, const mat4& a, const mat4& b);
mat3& transpose(mat3& a);
mat4& transpose(mat4& a);
mat3& transpose(mat3& r, const mat3& a);
mat4& transpose(mat4& r, const mat4& a);
mat3& negate(mat3& a);
mat4& negate(mat4& a);
// Inverses; a singular matrix gives non-finite elements.
mat3& invert(mat3& r, const mat3& a);
mat4& invert(mat4& r, const mat4& a);
// Inverse of a rotation plus translation.
mat4& invert_rot_trans(mat4& r, const mat4& a);

// ---- views and projections

// Left-handed view matrix: the viewer at eye looks along +z toward center.
mat4& look_at(mat4& m, const vec3& eye, const vec3& center, const vec3& up);
// Perspective frustum with clip depth -1..1.
mat4& frustum(mat4& m, const float l, const float r, const float b, const float t, const float n,
              const float f);
// frustum from a vertical field of view in degrees.
mat4& perspective(mat4& m, const float fovy, const float aspect, const float n, const float f);
// Left-handed perspective with depth 0..1 from a field of view in radians. Writes only
// a00, a11, a22, a32 and a23: pass a matrix whose other elements are 0.
mat4& matix_perspective(mat4& m, const float fov, const float aspect, const float zn,
                        const float zf);
// Orthographic projection mapping depth n to 0 and f to 1.
mat4& ortho(mat4& m, const float l, const float r, const float b, const float t, const float n,
            const float f);

// ---- quaternions

mat3& quat_2_mat(mat3& m, const quat& q);
quat& mat_2_quat(quat& q, const mat3& m);
quat& mat_2_quat(quat& q, const mat4& m);
// Rotation about axis (normalized here); a zero axis gives the identity.
quat& axis_to_quat(quat& q, const vec3& axis, const float angle);
quat& conj(quat& q);
quat& conj(quat& r, const quat& q);
// r = q*p: the single rotation equal to p followed by q.
quat& add_quats(quat& r, const quat& p, const quat& q);
quat& slerp_quats(quat& r, float t, const quat& p, const quat& q);
// Virtual trackball: the rotation dragging p1 to p2 on a sphere of radius size.
quat& trackball(quat& q, vec2& p1, vec2& p2, float size);

// ---- miscellaneous

// Polar decomposition of an affine matrix: translation t, rotation q, stretch rotation u,
// stretch factors k and sign f (-1 when the matrix flips handedness).
void decomp_affine(const mat4& a, vec3& t, quat& q, quat& u, vec3& k, float& f);
// Tangent frame of a textured triangle: rows tangent, binormal, normal.
mat3& tangent_basis(mat3& basis, const vec3& v0, const vec3& v1, const vec3& v2, const vec2& t0,
                    const vec2& t1, const vec2& t2, const vec3& n);
// Direction of texel (i, j) of cube-map face 0..5.
void cube_map_normal(int face, int i, int j, int size, vec3& n);
float nv_area(const vec3& v1, const vec3& v2, const vec3& v3);
float nv_perimeter(const vec3& v1, const vec3& v2, const vec3& v3);
// Inscribed circle: returns the radius.
float nv_find_in_circle(vec3& center, const vec3& v1, const vec3& v2, const vec3& v3);
// Circumscribed circle: returns the radius. Collinear points have no such circle; they get
// the smallest circle holding all three (centred between the two farthest apart).
float nv_find_circ_circle(vec3& center, const vec3& v1, const vec3& v2, const vec3& v3);
// Polynomial cosines for x in [-pi/2, pi/2] (no range reduction).
float fast_cos(const float x);
float ffast_cos(const float x);
// (rand() - 16383) / 16383: about [-1, 1].
float nv_random();
// Checking hooks; they do nothing.
inline void nv_is_valid(const vec3&) {}
inline void nv_is_valid(float) {}

}  // namespace zel
