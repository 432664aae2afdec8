// Per-frame math: matrix products and inverses, quaternion conversion, camera updates and the
// tessellation of thick lines and arcs.
#include <benchmark/benchmark.h>

#include <vector>

#include "zel/math/camera.h"
#include "zel/math/polyline_geometry.h"
#include "zel/math/vec.h"

using namespace zel;

static void BM_Mat4Mult(benchmark::State& state) {
  mat4 a, b, r;
  a.set_rot(0.3f, vec3(0, 0, 1));
  b.set_translation(vec3(1, 2, 3));
  for (auto _ : state) {
    mult(r, a, b);
    benchmark::DoNotOptimize(r);
    a.mat_array[0] += 1e-7f;
  }
}
BENCHMARK(BM_Mat4Mult);

static void BM_Mat4Invert(benchmark::State& state) {
  mat4 a, r;
  a.set_rot(0.7f, vec3(0.6f, 0.8f, 0));
  a.set_translation(vec3(4, 5, 6));
  for (auto _ : state) {
    invert(r, a);
    benchmark::DoNotOptimize(r);
  }
}
BENCHMARK(BM_Mat4Invert);

static void BM_QuatToMatrixAndBack(benchmark::State& state) {
  quat q(vec3(1, 2, 3), 0.9f), back;
  mat3 m;
  for (auto _ : state) {
    q.ToMatrix(m);
    back.FromMatrix(m);
    benchmark::DoNotOptimize(back);
  }
}
BENCHMARK(BM_QuatToMatrixAndBack);

static void BM_CameraUpdate(benchmark::State& state) {
  Camera cam;
  cam.ortho(0, 800, 600, 0, -800, 800);
  for (auto _ : state) {
    cam.move(0.1f, 0, 0);
    cam.rotate_right_left(0.001f);
    benchmark::DoNotOptimize(cam.get_view());
  }
}
BENCHMARK(BM_CameraUpdate);

static void BM_TessellatePolyline(benchmark::State& state) {
  std::vector<vec2> pts;
  for (int i = 0; i < state.range(0); ++i) pts.emplace_back(i * 5.0f, (i % 2) * 20.0f);
  for (auto _ : state) {
    polyline::Tessellation t = polyline::tessellate(pts, 6, 0xffffffffu, false);
    benchmark::DoNotOptimize(t.vertices.data());
  }
  state.SetItemsProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_TessellatePolyline)->Arg(16)->Arg(256)->Arg(4096);

static void BM_TessellateFullEllipse(benchmark::State& state) {
  for (auto _ : state) {
    std::vector<vec2> pts =
        polyline::arc_points(vec2(400, 300), vec2(1, 1), 200, 100, 0, 6.2831855f);
    polyline::Tessellation t = polyline::tessellate(std::move(pts), 4, 0xff00ff00u, true);
    benchmark::DoNotOptimize(t.vertices.data());
  }
}
BENCHMARK(BM_TessellateFullEllipse);

BENCHMARK_MAIN();
