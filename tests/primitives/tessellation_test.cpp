// Thick-line tessellation: offsets, mitred joins, square ends, closed outlines, arcs, and the
// degenerate inputs that must not produce NaN vertices or draw out of bounds.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "zel/math/polyline_geometry.h"

using namespace zel;
using namespace zel::polyline;

namespace {

const float kPi = 3.14159265f;

::testing::AssertionResult at(const PrimitiveVertex& v, float x, float y, float eps = 1e-4f) {
  if (std::fabs(v.x - x) <= eps && std::fabs(v.y - y) <= eps && v.z == 0.0f) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure() << "vertex (" << v.x << ", " << v.y << ", " << v.z
                                       << ") expected (" << x << ", " << y << ", 0)";
}

// Every vertex is finite and within `slack` of the box [x0, x1] x [y0, y1].
::testing::AssertionResult near_box(const Tessellation& t, float x0, float y0, float x1, float y1,
                                    float slack) {
  for (const PrimitiveVertex& v : t.vertices)
    if (!std::isfinite(v.x) || !std::isfinite(v.y) || !std::isfinite(v.z) || v.x < x0 - slack ||
        v.x > x1 + slack || v.y < y0 - slack || v.y > y1 + slack)
      return ::testing::AssertionFailure() << "vertex (" << v.x << ", " << v.y << ") strays";
  return ::testing::AssertionSuccess();
}

const std::vector<vec2> kCorner = {vec2(0, 0), vec2(10, 0), vec2(10, 10)};
const uint32_t kRed = 0xffff0000u;

}  // namespace

// Exact vertices. Width 1 is a line strip of the points; odd widths lean left (width 3: two
// left, one right); corners are mitred (a 45-degree bend at h tan(22.5 degrees) along the
// edge); collinear points join at the plain offset point; repeated points are dropped.
TEST(Tessellation, ExactVertices) {
  const float m = 2 * std::tan(kPi / 8), q = std::sqrt(2.0f);
  const struct {
    std::vector<vec2> points;
    uint32_t width;
    bool closed;
    int type, count;
    std::vector<vec2> want;
  } cases[] = {
      // clang-format off
      {kCorner, 1, false, 3, 2, {{0, 0}, {10, 0}, {10, 10}}},
      {kCorner, 1, true, 3, 3, {{0, 0}, {10, 0}, {10, 10}, {0, 0}}},
      {kCorner, 4, false, 5, 4, {{0, 2}, {0, -2}, {8, 2}, {12, -2}, {8, 10}, {12, 10}}},
      {{{0, 0}, {10, 0}, {20, 10}}, 4, false, 5, 4,
       {{0, 2}, {0, -2}, {10 - m, 2}, {10 + m, -2}, {20 - q, 10 + q}, {20 + q, 10 - q}}},
      {{{0, 5}, {20, 5}}, 3, false, 5, 2, {{0, 7}, {0, 4}, {20, 7}, {20, 4}}},
      {{{0, 5}, {20, 5}}, 7, false, 5, 2, {{0, 9}, {0, 2}, {20, 9}, {20, 2}}},
      {{{0, 0}, {5, 0}, {10, 0}}, 4, false, 5, 4,
       {{0, 2}, {0, -2}, {5, 2}, {5, -2}, {10, 2}, {10, -2}}},
      {{{0, 0}, {0, 0}, {10, 0}, {10, 0}}, 4, false, 5, 2, {{0, 2}, {0, -2}, {10, 2}, {10, -2}}},
      // clang-format on
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << "case " << (&c - cases));
    Tessellation t = tessellate(c.points, c.width, kRed, c.closed);
    EXPECT_EQ(t.type, c.type);
    EXPECT_EQ(t.count, c.count);
    ASSERT_EQ(t.vertices.size(), c.want.size());
    for (size_t i = 0; i < c.want.size(); ++i) {
      EXPECT_TRUE(at(t.vertices[i], c.want[i].x, c.want[i].y)) << i;
      EXPECT_EQ(t.vertices[i].color, kRed);
    }
  }
}

// Going back on itself, or nearly collinear: finite, and nothing flies off.
TEST(Tessellation, ReversedAndNearlyCollinearPointsStayFinite) {
  EXPECT_TRUE(near_box(tessellate({vec2(0, 0), vec2(10, 0), vec2(0, 0)}, 4, kRed, false), 0, 0, 10,
                       0, 2.01f));
  EXPECT_TRUE(near_box(tessellate({vec2(0, 0), vec2(100, 0), vec2(200, 1e-4f)}, 6, kRed, false), 0,
                       0, 200, 0, 3.01f));
}

TEST(Tessellation, TooFewPointsDrawNothing) {
  for (uint32_t w : {1u, 4u})
    for (bool closed : {false, true})
      for (const std::vector<vec2>& p :
           {std::vector<vec2>{}, {vec2(3, 3)}, {vec2(3, 3), vec2(3, 3), vec2(3, 3)}}) {
        Tessellation t = tessellate(p, w, kRed, closed);
        EXPECT_TRUE(t.count == 0 && t.vertices.empty());
      }
  const float nan = std::numeric_limits<float>::quiet_NaN();
  Tessellation bad = tessellate({vec2(0, 0), vec2(nan, 1), vec2(5, 5)}, 4, kRed, false);
  EXPECT_TRUE(bad.count == 0 && bad.vertices.empty());
}

// The earlier point of each pair closer than 1 goes; a run collapses onto its last; exactly 1
// apart is kept.
TEST(Tessellation, OptimizeMergesPointsCloserThanOne) {
  const struct {
    std::vector<vec2> in, out;
  } cases[] = {
      {{{0, 0}, {0.5f, 0}, {10, 0}, {10, 0.9f}, {20, 0}}, {{0.5f, 0}, {10, 0.9f}, {20, 0}}},
      {{{0, 0}, {0.6f, 0}, {1.2f, 0}, {1.8f, 0}}, {{1.8f, 0}}},
      {{{0, 0}, {1, 0}}, {{0, 0}, {1, 0}}},
      {{}, {}},
  };
  for (const auto& c : cases) {
    std::vector<vec2> p = c.in;
    optimize(p);
    EXPECT_EQ(p, c.out) << "case " << (&c - cases);
  }
}

TEST(Tessellation, ClosedOutlineIsMitredAtTheFirstCorner) {
  const std::vector<vec2> square = {vec2(0, 0), vec2(10, 0), vec2(10, 10), vec2(0, 10)};
  Tessellation t = tessellate(square, 4, kRed, true);
  // Four points plus the closing copy: 10 vertices, 8 triangles.
  ASSERT_EQ(t.vertices.size(), 10u);
  EXPECT_EQ(t.count, 8);
  EXPECT_TRUE(near_box(t, 0, 0, 10, 10, 2.01f));
  // Counter-clockwise square: the left rail is inside. First corner mitred both ends.
  for (size_t i : {0, 8}) EXPECT_TRUE(at(t.vertices[i], 2, 2) && at(t.vertices[i + 1], -2, -2));
  EXPECT_TRUE(at(t.vertices[2], 8, 2) && at(t.vertices[3], 12, -2));
  // Giving the closing point explicitly changes nothing.
  std::vector<vec2> again = square;
  again.push_back(square[0]);
  Tessellation u = tessellate(again, 4, kRed, true);
  ASSERT_EQ(u.vertices.size(), t.vertices.size());
  for (size_t i = 0; i < t.vertices.size(); ++i)
    EXPECT_TRUE(at(u.vertices[i], t.vertices[i].x, t.vertices[i].y)) << i;
  // Starting in the middle of a straight edge: the closure is collinear and still joins.
  Tessellation m =
      tessellate({vec2(5, 0), vec2(10, 0), vec2(10, 10), vec2(0, 10), vec2(0, 0)}, 4, kRed, true);
  EXPECT_TRUE(near_box(m, 0, 0, 10, 10, 2.01f));
  const size_t n = m.vertices.size();
  EXPECT_TRUE(at(m.vertices[0], 5, 2) && at(m.vertices[n - 2], 5, 2) &&
              at(m.vertices[n - 1], 5, -2));
}

TEST(Tessellation, IntersectionOfLines) {
  vec2 r = intersection(vec2(0, 2), vec2(10, 0), vec2(8, 0), vec2(0, 10));
  EXPECT_EQ(r, vec2(8, 2));
  r = intersection(vec2(0, 0), vec2(1, 1), vec2(4, 0), vec2(-1, 1));
  EXPECT_LT((r - vec2(2, 2)).norm(), 1e-6f);
  EXPECT_THROW(intersection(vec2(0, 0), vec2(1, 0), vec2(0, 1), vec2(-1, 0)), ErrVecParallel);
  EXPECT_THROW(intersection(vec2(0, 0), vec2(1, 0), vec2(0, 1), vec2(3, 0)), ErrVecParallel);
  EXPECT_THROW(intersection(vec2(0, 0), vec2(0, 0), vec2(0, 1), vec2(3, 1)), ErrVecNull);
  vec2 out(7, 7);
  EXPECT_FALSE(try_intersection(vec2(0, 0), vec2(1, 0), vec2(0, 1), vec2(2, 0), out));
  EXPECT_EQ(out, vec2(7, 7));
  EXPECT_TRUE(try_intersection(vec2(0, 0), vec2(1, 0), vec2(5, 5), vec2(0, 1), out));
  EXPECT_EQ(out, vec2(5, 0));
}

// Angles come to start in [0, 2 pi) with the end after it; the full turn is kept; huge values
// finish (no stepping loop) within a turn.
TEST(Tessellation, ArcAngles) {
  const struct {
    float s, e, want_s, want_e, eps;
  } cases[] = {{3 * kPi, 0, 0, kPi, 1e-5f},
               {1.0f, 0.5f, 0.5f, 1.0f, 0},
               {-kPi / 2, kPi / 2, 1.5f * kPi, 2.5f * kPi, 1e-5f},
               {5 * kPi, 5.5f * kPi, kPi, 1.5f * kPi, 1e-4f},
               {0, 6.2831855f, 0, 6.2831855f, 0}};
  float s, e;
  for (const auto& c : cases) {
    normalize_angles(c.s, c.e, s, e);
    EXPECT_NEAR(s, c.want_s, c.eps) << c.s << ", " << c.e;
    EXPECT_NEAR(e, c.want_e, c.eps) << c.s << ", " << c.e;
  }
  EXPECT_TRUE(is_full_turn(s, e));
  normalize_angles(1e30f, -1e30f, s, e);
  EXPECT_TRUE(std::isfinite(s) && std::isfinite(e) && e - s >= 0 && e - s <= 6.2831855f + 1e-5f);
}

TEST(Tessellation, ArcPoints) {
  // A full circle of radius 10: 126 segments, every point on the circle.
  std::vector<vec2> c = arc_points(vec2(50, 40), vec2(1, 0), 10, 10, 0, 6.2831855f);
  ASSERT_EQ(c.size(), 127u);
  for (const vec2& p : c) EXPECT_NEAR((p - vec2(50, 40)).norm(), 10.0f, 1e-3f);
  EXPECT_NEAR(c[0].x, 60.0f, 1e-5f);
  EXPECT_LT((c.back() - vec2(60, 40)).norm(), 1e-2f);
  // Half a turn: ceil(pi / 0.05) = 63 segments; a short arc still gets 3.
  EXPECT_EQ(arc_points(vec2(0, 0), vec2(1, 0), 5, 5, 0, kPi).size(), 64u);
  EXPECT_EQ(arc_points(vec2(0, 0), vec2(1, 0), 5, 5, 0, 0.1f).size(), 4u);
  // Ellipse turned 90 degrees: a along +y, b along -x.
  std::vector<vec2> e = arc_points(vec2(0, 0), vec2(0, 3), 20, 5, 0, 6.2831855f);
  EXPECT_LT((e[0] - vec2(0, 20)).norm(), 1e-4f);
  float minx = 0;  // the extreme in x, a quarter of the way round
  for (const vec2& p : e) {
    minx = std::min(minx, p.x);
    EXPECT_NEAR(p.y * p.y / 400 + p.x * p.x / 25, 1.0f, 1e-3f);  // (y/a)^2 + (x/b)^2 = 1
  }
  EXPECT_NEAR(minx, -5.0f, 1e-2f);
  // A zero axis falls back to +x.
  std::vector<vec2> z = arc_points(vec2(0, 0), vec2(0, 0), 10, 4, 0, 1.0f);
  ASSERT_FALSE(z.empty());
  EXPECT_NEAR(z[0].x, 10.0f, 1e-5f);
  // Nothing for a zero or negative radius or a non-finite value.
  EXPECT_TRUE(arc_points(vec2(0, 0), vec2(1, 0), 0, 0, 0, 6.2831855f).empty());
  EXPECT_TRUE(arc_points(vec2(0, 0), vec2(1, 0), -3, -4, 0, 1).empty());
  EXPECT_TRUE(
      arc_points(vec2(0, 0), vec2(1, 0), 3, 3, 0, std::numeric_limits<float>::infinity()).empty());
}
