// Thick-line tessellation and arcs on arbitrary input: no crash, no read or write out of
// bounds, a draw call that fits its vertices, and finite vertices for finite input.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "zel/math/polyline_geometry.h"

using namespace zel;

namespace {

// A draw call that fits its vertices exactly; finite vertices for finite input.
void check(const polyline::Tessellation& t, bool input_finite) {
  const size_t need = t.count == 0 ? 0 : t.type == 3 ? size_t(t.count) + 1 : size_t(t.count) + 2;
  if (t.vertices.size() != need) std::abort();
  for (const PrimitiveVertex& v : t.vertices)
    if (input_finite && !(std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z)))
      std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const uint32_t width = data[0] % 64;
  const uint8_t mode = data[1];
  data += 2;
  size -= 2;
  std::vector<float> f(size / sizeof(float));
  if (!f.empty()) std::memcpy(f.data(), data, f.size() * sizeof(float));
  bool finite = true;
  for (float& v : f) {
    // Keep magnitudes where float still resolves the geometry (beyond that anything goes,
    // as long as nothing crashes).
    if (!std::isfinite(v)) finite = false;
    if (std::isfinite(v) && std::fabs(v) > 1e6f) v = std::fmod(v, 1e6f);
  }
  if (mode % 2 == 0) {
    std::vector<vec2> pts;
    for (size_t i = 0; i + 1 < f.size() && pts.size() < 512; i += 2)
      pts.emplace_back(f[i], f[i + 1]);
    if (mode & 4) polyline::optimize(pts);
    check(polyline::tessellate(pts, width, 0xffffffffu, (mode & 2) != 0), finite);
  } else if (f.size() >= 8) {
    float s, e;
    polyline::normalize_angles(f[6], f[7], s, e);
    std::vector<vec2> pts = polyline::arc_points(vec2(f[0], f[1]), vec2(f[2], f[3]),
                                                 std::fabs(f[4]), std::fabs(f[5]), s, e);
    if (pts.size() > 4097) std::abort();
    const bool closed = !pts.empty() && polyline::is_full_turn(s, e);
    if (closed) pts.back() = pts.front();
    check(polyline::tessellate(pts, width, 0xff00ff00u, closed), finite);
  }
  return 0;
}
