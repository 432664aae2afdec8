// Polar decomposition of an affine matrix (after K. Shoemake and T. Duff, "Matrix animation
// and polar decomposition", and Shoemake's Graphics Gems IV code): A = T * F * R * U * K * U^T,
// with translation T, sign F (-1 or 1), rotation R, stretch rotation U and stretch factors K.
#include <cmath>
#include <utility>

#include "zel/math/vec.h"

namespace zel {

namespace {

const float kTolerance = 1e-5f;
const int kMaxPolarSteps = 100;
const float kSqrtHalf = 0.70710677f;

// Rows of m (3x3) as vectors; helpers below work on rows like the published code.
vec3 row(const mat3& m, int i) {
  return m[i];
}

// The transpose of the adjugate: row i is the cross product of the two other rows.
mat3 adjoint_transpose(const mat3& m) {
  mat3 r;
  vec3 c;
  r.set_row(0, cross(c, row(m, 1), row(m, 2)));
  r.set_row(1, cross(c, row(m, 2), row(m, 0)));
  r.set_row(2, cross(c, row(m, 0), row(m, 1)));
  return r;
}

// Column holding the element of largest magnitude, -1 for the zero matrix.
int find_max_col(const mat3& m) {
  float best = 0.0f;
  int col = -1;
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) {
      float a = std::fabs(m(i, j));
      if (a > best) {
        best = a;
        col = j;
      }
    }
  }
  return col;
}

// u for the Householder reflection that zeroes all components of v but the last.
vec3 make_reflector(const vec3& v) {
  float s = std::sqrt(dot(v, v));
  vec3 u(v.x, v.y, v.z + (v.z < 0.0f ? -s : s));
  float n = dot(u, u);
  if (n > 0.0f) u *= std::sqrt(2.0f / n);
  return u;
}

void reflect_cols(mat3& m, const vec3& u) {
  for (int i = 0; i < 3; ++i) {
    float s = u.x * m(0, i) + u.y * m(1, i) + u.z * m(2, i);
    for (int j = 0; j < 3; ++j) m(j, i) -= u[j] * s;
  }
}

void reflect_rows(mat3& m, const vec3& u) {
  for (int i = 0; i < 3; ++i) {
    float s = dot(u, row(m, i));
    for (int j = 0; j < 3; ++j) m(i, j) -= u[j] * s;
  }
}

mat3 identity3() {
  return mat3(1, 0, 0, 0, 1, 0, 0, 0, 1);
}

// Orthogonal factor of a matrix of rank 1 or less.
mat3 do_rank1(mat3 m) {
  mat3 q = identity3();
  int col = find_max_col(m);
  if (col < 0) return q;  // rank 0
  vec3 v1 = make_reflector(m.col(col));
  reflect_cols(m, v1);
  vec3 v2 = make_reflector(row(m, 2));
  reflect_rows(m, v2);
  if (m(2, 2) < 0.0f) q(2, 2) = -1.0f;
  reflect_cols(q, v1);
  reflect_rows(q, v2);
  return q;
}

// Orthogonal factor of a matrix of rank 2 or less, from it and its adjoint transpose.
mat3 do_rank2(mat3 m, const mat3& madj_t) {
  int col = find_max_col(madj_t);
  if (col < 0) return do_rank1(m);
  vec3 v1 = make_reflector(madj_t.col(col));
  reflect_cols(m, v1);
  vec3 c;
  vec3 v2 = make_reflector(cross(c, row(m, 0), row(m, 1)));
  reflect_rows(m, v2);
  float w = m(0, 0), x = m(0, 1), y = m(1, 0), z = m(1, 1);
  mat3 q;
  if (w * z > x * y) {
    float cc = z + w, s = y - x, d = std::sqrt(cc * cc + s * s);
    cc /= d;
    s /= d;
    q(0, 0) = q(1, 1) = cc;
    q(1, 0) = s;
    q(0, 1) = -s;
  } else {
    float cc = z - w, s = y + x, d = std::sqrt(cc * cc + s * s);
    cc /= d;
    s /= d;
    q(1, 1) = cc;
    q(0, 0) = -cc;
    q(0, 1) = q(1, 0) = s;
  }
  q(2, 2) = 1.0f;
  reflect_cols(q, v1);
  reflect_rows(q, v2);
  return q;
}

// M = Q * S with Q orthogonal and S symmetric positive semi-definite.
void polar_decomp(const mat3& m, mat3& q, mat3& s) {
  mat3 mk;
  transpose(mk, m);
  float m_one = mk.norm_one(), m_inf = mk.norm_inf();
  for (int step = 0; step < kMaxPolarSteps; ++step) {
    mat3 madj_t = adjoint_transpose(mk);
    float det = dot(row(mk, 0), row(madj_t, 0));
    if (det == 0.0f) {
      mk = do_rank2(mk, madj_t);
      break;
    }
    float madj_one = madj_t.norm_one(), madj_inf = madj_t.norm_inf();
    float gamma = std::sqrt(std::sqrt((madj_one * madj_inf) / (m_one * m_inf)) / std::fabs(det));
    float g1 = gamma * 0.5f;
    float g2 = 0.5f / (gamma * det);
    mat3 ek = mk;
    for (int k = 0; k < 9; ++k) mk.mat_array[k] = g1 * mk.mat_array[k] + g2 * madj_t.mat_array[k];
    ek -= mk;
    float e_one = ek.norm_one();
    m_one = mk.norm_one();
    m_inf = mk.norm_inf();
    if (!(e_one > m_one * kTolerance)) break;
  }
  transpose(q, mk);
  mult(s, mk, m);
  for (int i = 0; i < 3; ++i) {
    for (int j = i; j < 3; ++j) s(i, j) = s(j, i) = 0.5f * (s(i, j) + s(j, i));
  }
}

// Eigenvalues of symmetric s (returned) and eigenvectors (columns of u), by Jacobi rotations.
vec3 eigen_decomp(const mat3& s, mat3& u) {
  static const int next[3] = {1, 2, 0};
  u = identity3();
  float diag[3] = {s(0, 0), s(1, 1), s(2, 2)};
  // off[i] is the off-diagonal element opposite index i.
  float off[3] = {s(1, 2), s(2, 0), s(0, 1)};
  for (int sweep = 20; sweep > 0; --sweep) {
    float sm = std::fabs(off[0]) + std::fabs(off[1]) + std::fabs(off[2]);
    if (sm == 0.0f) break;
    for (int i = 2; i >= 0; --i) {
      int p = next[i];
      int q = next[p];
      float abs_off = std::fabs(off[i]);
      float g = 100.0f * abs_off;
      if (abs_off > 0.0f) {
        float h = diag[q] - diag[p];
        float abs_h = std::fabs(h);
        float t;
        if (abs_h + g == abs_h) {
          t = off[i] / h;
        } else {
          float theta = 0.5f * h / off[i];
          t = 1.0f / (std::fabs(theta) + std::sqrt(theta * theta + 1.0f));
          if (theta < 0.0f) t = -t;
        }
        float c = 1.0f / std::sqrt(t * t + 1.0f);
        float sn = t * c;
        float tau = sn / (c + 1.0f);
        float ta = t * off[i];
        off[i] = 0.0f;
        diag[p] -= ta;
        diag[q] += ta;
        float off_q = off[q];
        off[q] -= sn * (off[p] + tau * off[q]);
        off[p] += sn * (off_q - tau * off[p]);
        for (int j = 2; j >= 0; --j) {
          float a = u(j, p), b = u(j, q);
          u(j, p) -= sn * (b + tau * a);
          u(j, q) += sn * (a - tau * b);
        }
      }
    }
  }
  return vec3(diag[0], diag[1], diag[2]);
}

float sgn(bool neg, float v) {
  return neg ? -v : v;
}

void cycle(float* a, bool p) {
  if (p) {
    float t = a[0];
    a[0] = a[1];
    a[1] = a[2];
    a[2] = t;
  } else {
    float t = a[2];
    a[2] = a[1];
    a[1] = a[0];
    a[0] = t;
  }
}

// The axis permutation and sign change p closest to undoing the rotation q; k is permuted to
// match. When stretch factors are equal any rotation among their axes is allowed.
quat snuggle(quat q, vec3& k) {
  const int X = 0, Y = 1, Z = 2, W = 3;
  quat p;
  float ka[4] = {k.x, k.y, k.z, 0.0f};
  int turn = -1;
  if (ka[X] == ka[Y]) {
    turn = ka[X] == ka[Z] ? W : Z;
  } else if (ka[X] == ka[Z]) {
    turn = Y;
  } else if (ka[Y] == ka[Z]) {
    turn = X;
  }
  if (turn >= 0) {
    const quat qxtoz(0.0f, kSqrtHalf, 0.0f, kSqrtHalf);
    const quat qytoz(kSqrtHalf, 0.0f, 0.0f, kSqrtHalf);
    const quat qppmm(0.5f, 0.5f, -0.5f, -0.5f);
    const quat qpppp(0.5f, 0.5f, 0.5f, 0.5f);
    const quat qmpmm(-0.5f, 0.5f, -0.5f, -0.5f);
    const quat qpppm(0.5f, 0.5f, 0.5f, -0.5f);
    const quat q0001(0.0f, 0.0f, 0.0f, 1.0f);
    const quat q1000(1.0f, 0.0f, 0.0f, 0.0f);
    quat qtoz;
    switch (turn) {
      case X:
        qtoz = qxtoz;
        q = q * qtoz;
        std::swap(ka[X], ka[Z]);
        break;
      case Y:
        qtoz = qytoz;
        q = q * qtoz;
        std::swap(ka[Y], ka[Z]);
        break;
      case Z:
        qtoz = q0001;
        break;
      default:
        return q.Inverse();  // all three equal: undo the whole rotation
    }
    q = q.Inverse();
    float mag[3] = {q.z * q.z + q.w * q.w - 0.5f, q.x * q.z - q.y * q.w, q.y * q.z + q.x * q.w};
    bool neg[3];
    for (int i = 0; i < 3; ++i) {
      neg[i] = mag[i] < 0.0f;
      if (neg[i]) mag[i] = -mag[i];
    }
    int win;
    if (mag[0] > mag[1]) {
      win = mag[0] > mag[2] ? 0 : 2;
    } else {
      win = mag[1] > mag[2] ? 1 : 2;
    }
    switch (win) {
      case 0:
        p = neg[0] ? q1000 : q0001;
        break;
      case 1:
        p = neg[1] ? qppmm : qpppp;
        cycle(ka, false);
        break;
      default:
        p = neg[2] ? qmpmm : qpppm;
        cycle(ka, true);
        break;
    }
    quat qp = q * p;
    float t = std::sqrt(mag[win] + 0.5f);
    p = p * quat(0.0f, 0.0f, -qp.z / t, qp.w / t);
    p = qtoz * p.Inverse();
  } else {
    float qa[4] = {q.x, q.y, q.z, q.w};
    float pa[4] = {0.0f, 0.0f, 0.0f, 0.0f};
    bool neg[4];
    bool par = false;
    for (int i = 0; i < 4; ++i) {
      neg[i] = qa[i] < 0.0f;
      if (neg[i]) qa[i] = -qa[i];
      par ^= neg[i];
    }
    // The two largest components, indices hi and lo.
    int lo = qa[0] > qa[1] ? 0 : 1;
    int hi = qa[2] > qa[3] ? 2 : 3;
    if (qa[lo] > qa[hi]) {
      if (qa[lo ^ 1] > qa[hi]) {
        hi = lo;
        lo ^= 1;
      } else {
        std::swap(hi, lo);
      }
    } else {
      if (qa[hi ^ 1] > qa[lo]) lo = hi ^ 1;
    }
    float all = (qa[0] + qa[1] + qa[2] + qa[3]) * 0.5f;
    float two = (qa[hi] + qa[lo]) * kSqrtHalf;
    float big = qa[hi];
    if (all > two) {
      if (all > big) {
        for (int i = 0; i < 4; ++i) pa[i] = sgn(neg[i], 0.5f);
        cycle(ka, par);
      } else {
        pa[hi] = sgn(neg[hi], 1.0f);
      }
    } else {
      if (two > big) {
        pa[hi] = sgn(neg[hi], kSqrtHalf);
        pa[lo] = sgn(neg[lo], kSqrtHalf);
        if (lo > hi) std::swap(hi, lo);
        if (hi == W) {
          static const int kNext[3] = {1, 2, 0};
          hi = kNext[lo];
          lo = 3 - hi - lo;
        }
        std::swap(ka[hi], ka[lo]);
      } else {
        pa[hi] = sgn(neg[hi], 1.0f);
      }
    }
    p = quat(-pa[0], -pa[1], -pa[2], pa[3]);
  }
  k = vec3(ka[X], ka[Y], ka[Z]);
  return p;
}

}  // namespace

void decomp_affine(const mat4& a, vec3& t, quat& q, quat& u, vec3& k, float& f) {
  a.get_translation(t);
  mat3 m;
  a.get_rot(m);
  mat3 qm, s;
  polar_decomp(m, qm, s);
  float det = qm(0, 0) * (qm(1, 1) * qm(2, 2) - qm(2, 1) * qm(1, 2)) -
              qm(1, 0) * (qm(0, 1) * qm(2, 2) - qm(2, 1) * qm(0, 2)) +
              qm(2, 0) * (qm(0, 1) * qm(1, 2) - qm(1, 1) * qm(0, 2));
  if (det < 0.0f) {
    negate(qm);
    f = -1.0f;
  } else {
    f = 1.0f;
  }
  q.FromMatrix(qm);
  mat3 um;
  k = eigen_decomp(s, um);
  u.FromMatrix(um);
  // The correction is applied once, as in the published algorithm: U * K * U^T is kept.
  quat p = snuggle(u, k);
  u = u * p;
}

}  // namespace zel
