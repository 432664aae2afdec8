// Tessellation of thick 2D lines, apart from any device: the vertex lists that the line
// primitives (PolyLineStrip, PolyLineCircle, EllipsArc) upload.
//
// A line of width 1 is a line strip through the points. A wider line is a triangle strip whose
// two rails are the line offset by h1 = ceil(w/2) to the left and h2 = floor(w/2) to the right
// ("left" being the side of the normal (-dy, dx)); consecutive segments meet in mitred joins
// (the rails intersected), open ends are cut square, and a closed outline is mitred at its first
// point as well. Where two segments are parallel (three collinear points, or a reversal) the
// join uses the plain offset point of the outgoing segment.
#pragma once

#include <cstdint>
#include <vector>

#include "zel/math/vec.h"

namespace zel {

// One vertex of a line primitive: position and packed 0xAARRGGBB colour (vertex type 0x22).
struct PrimitiveVertex {
  float x, y, z;
  uint32_t color;
};
static_assert(sizeof(PrimitiveVertex) == 16, "PrimitiveVertex is 16 bytes");

namespace polyline {

// Left (h1) and right (h2) offsets of a line of the given width (0 counts as 1).
struct HalfWidths {
  float h1;
  float h2;
};
HalfWidths half_widths(uint32_t width);

// Walking from the second point on, a point closer than 1 to the point before it causes that
// earlier point to be removed.
void optimize(std::vector<vec2>& points);

// Drops consecutive points that coincide (closer than 1e-4), which have no direction between
// them. The first of a run is kept.
void drop_repeats(std::vector<vec2>& points);

// Where the line through p1 along d1 meets the line through p2 along d2. Returns false, leaving
// `out` alone, when a direction is (nearly) zero or the lines are (nearly) parallel.
bool try_intersection(const vec2& p1, const vec2& d1, const vec2& p2, const vec2& d2, vec2& out);

// The same, throwing ErrVecNull for a zero direction and ErrVecParallel for parallel lines.
vec2 intersection(const vec2& p1, const vec2& d1, const vec2& p2, const vec2& d2);

// Fills the first 2n - 2 vertices of a wide line through n >= 2 points (the rails up to the
// last inner join). `out` must hold 2n vertices.
void build_until(const std::vector<vec2>& points, const HalfWidths& hw, PrimitiveVertex* out);
// Square end at the last point: vertices 2n - 2 and 2n - 1.
void finish_stop(const std::vector<vec2>& points, const HalfWidths& hw, PrimitiveVertex* out);
// Closed outline (the last point repeats the first): the end vertices, and the first two, are
// moved to the mitre of the last and first segments.
void finish_circle(const std::vector<vec2>& points, const HalfWidths& hw, PrimitiveVertex* out);

// The vertices and draw call of a line.
struct Tessellation {
  int32_t type = 0;   // zelRenderPrimitiv: 3 line strip, 5 triangle strip; 0 nothing to draw
  int32_t count = 0;  // primitives to draw
  std::vector<PrimitiveVertex> vertices;
};

// A line through `points` (repeats dropped first). `closed` joins the last point back to the
// first (the caller does not repeat it). Fewer than two distinct points give nothing to draw.
// Non-finite coordinates give nothing to draw.
Tessellation tessellate(std::vector<vec2> points, uint32_t width, uint32_t argb, bool closed);

// Points of an elliptic arc: centre, unit a-axis direction (c, s), radii a >= b, angles in
// radians. The segment count is the smallest n >= 3 with (end - start) / 0.05 <= n; n + 1
// points are returned. Nothing for a radius a of zero or less or non-finite input.
std::vector<vec2> arc_points(const vec2& centre, const vec2& axis, float a, float b, float start,
                             float end);

// Whether an arc from start to end is a full turn (closed with a mitre).
bool is_full_turn(float start, float end);

// Normalises an angle pair as the arc does: start the smaller, end - start at most 2 pi, and
// both shifted by one multiple of 2 pi so that start lies in [0, 2 pi] (non-finite angles are
// left as they are).
void normalize_angles(float angle1, float angle2, float& start, float& end);

}  // namespace polyline
}  // namespace zel
