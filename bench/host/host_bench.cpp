// A host program's view of the engine, each case in fresh processes:
//   Startup/SDL2, Startup/zel  zelInit to the first headless frame read back, beside SDL2 opening
//                              an offscreen OpenGL ES 2 renderer and reading back one frame;
//                              median of 20 runs (goal: zel at most 1.5x SDL2 and under 150 ms).
//   Pacing/plain, Pacing/out   zelshow's demo at 25 fps for 250 frames, without and with --out:
//                              frames per second and the 99th percentile frame interval
//                              (goal: 25.0 fps, p99 within 2 ms of 40 ms).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

// Runs `cmd`, returning its stdout and stderr; false when it failed.
bool run(const std::string& cmd, std::string& out) {
  out.clear();
  FILE* p = popen((cmd + " 2>&1").c_str(), "r");
  if (!p) return false;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  return pclose(p) == 0;
}

double g_sdl_ms = 0;

void BM_Startup(benchmark::State& state, const char* which) {
  std::vector<double> ms;
  for (auto _ : state) {
    for (int i = 0; i < 20; ++i) {
      std::string out;
      if (!run(std::string(ZEL_STARTUP_PROBE) + " " + which, out)) {
        state.SkipWithError(("start-up failed: " + out).c_str());
        return;
      }
      ms.push_back(std::atof(out.c_str()) / 1000.0);
    }
  }
  std::sort(ms.begin(), ms.end());
  const double median = ms[ms.size() / 2];
  state.counters["median_ms"] = median;
  state.counters["min_ms"] = ms.front();
  if (std::string(which) == "sdl") {
    g_sdl_ms = median;
  } else if (g_sdl_ms > 0) {
    state.counters["vs_sdl"] = median / g_sdl_ms;  // goal: at most 1.5
  }
}

void BM_Pacing(benchmark::State& state, bool record) {
  const auto dir = std::filesystem::temp_directory_path() / "zel_pacing_bench";
  std::string out;
  for (auto _ : state) {
    std::filesystem::remove_all(dir);
    std::string cmd = std::string(ZEL_ZELSHOW) + " --headless --fps 25 --frames 250";
    if (record) cmd += " --out " + dir.string();
    if (!run(cmd, out)) {
      state.SkipWithError(("zelshow failed: " + out).c_str());
      return;
    }
  }
  std::filesystem::remove_all(dir);
  // The last line: "zelshow: 250 frames ... (25.00 fps, p99 interval 40.4 ms)".
  double fps = 0, p99 = 0;
  const size_t at = out.rfind('(');
  if (at == std::string::npos ||
      std::sscanf(out.c_str() + at, "(%lf fps, p99 interval %lf ms)", &fps, &p99) != 2) {
    state.SkipWithError(("no pacing figures: " + out).c_str());
    return;
  }
  state.counters["fps"] = fps;
  state.counters["p99_ms"] = p99;
}

}  // namespace

BENCHMARK_CAPTURE(BM_Startup, SDL2, "sdl")->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Startup, zel, "zel")->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Pacing, plain, false)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Pacing, out, true)->Iterations(1)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
