// Frame time of a scene of 2,000 alpha-blended 64 x 64 sprites at 1280 x 720, headless, drawn
// by the engine (a layer of facets through the OpenGL device) and by two SDL2 peers: its
// software renderer and its OpenGL ES 2 renderer (on the same EGL driver as the engine, with
// an offscreen window). Each engine benchmark runs right after its SDL peers and reports the
// ratios engine / SDL as counters (vs_sdl: software, vs_gles: OpenGL ES 2).
//
// A frame is counted as done when its pixels can be read back into memory, for all three: the
// engine's render_screen plus read_frame, SDL's RenderPresent plus RenderReadPixels.
#include <SDL.h>
#include <benchmark/benchmark.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "zel/context.h"
#include "zel/facet.h"
#include "zel/il/bitmap_image.h"
#include "zel/layer.h"
#include "zel/render_device.h"
#include "zel/render_mng.h"

namespace {

constexpr int kW = 1280, kH = 720, kSprites = 2000, kSize = 64;

struct Pos {
  int x, y, dx, dy;
};

std::vector<Pos> positions() {
  std::mt19937 rng(42);
  std::vector<Pos> p(kSprites);
  for (auto& s : p) {
    s.x = int(rng() % (kW - kSize));
    s.y = int(rng() % (kH - kSize));
    s.dx = int(rng() % 7) - 3;
    s.dy = int(rng() % 7) - 3;
  }
  return p;
}

// Where sprite s is on frame n (bouncing inside the output).
void place(const Pos& s, int64_t n, int& x, int& y) {
  auto bounce = [](int64_t v, int span) {
    const int64_t m = ((v % (2 * span)) + 2 * span) % (2 * span);
    return int(m < span ? m : 2 * span - m);
  };
  x = bounce(s.x + s.dx * n, kW - kSize);
  y = bounce(s.y + s.dy * n, kH - kSize);
}

// A round sprite with a soft edge and a colour gradient: 32-bit ARGB, top-down.
std::vector<uint32_t> sprite_pixels() {
  std::vector<uint32_t> px(kSize * kSize);
  for (int y = 0; y < kSize; ++y)
    for (int x = 0; x < kSize; ++x) {
      const float dx = x - 31.5f, dy = y - 31.5f;
      const float r = std::sqrt(dx * dx + dy * dy);
      const int a = r > 32 ? 0 : int(std::min(255.f, (32 - r) * 24));
      px[y * kSize + x] = uint32_t(a) << 24 | uint32_t(x * 4) << 16 | uint32_t(y * 4) << 8 | 0xA0;
    }
  return px;
}

using Clock = std::chrono::steady_clock;

// CPU time of the whole process (every thread: the GL rasteriser's workers included), in ns.
double process_cpu_ns() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return (double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e9 +
          double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e3);
}
double g_loop_cpu_ns = 0;  // process CPU time of the last frame loop

// Each returns the time spent in its frame loop, in nanoseconds (set-up excluded).
double sdl_loop(benchmark::State& state, SDL_Renderer* r, bool moving, int sprites) {
  auto px = sprite_pixels();
  SDL_Surface* spr = SDL_CreateRGBSurfaceWithFormatFrom(px.data(), kSize, kSize, 32, kSize * 4,
                                                        SDL_PIXELFORMAT_ARGB8888);
  SDL_Texture* tex = SDL_CreateTextureFromSurface(r, spr);
  SDL_SetTextureBlendMode(tex, SDL_BLENDMODE_BLEND);
  auto pos = positions();
  pos.resize(size_t(sprites));
  std::vector<uint32_t> out(size_t(kW) * kH);
  // One frame first, as the engine's: uploads.
  SDL_RenderClear(r);
  SDL_RenderPresent(r);
  SDL_RenderReadPixels(r, nullptr, SDL_PIXELFORMAT_ARGB8888, out.data(), kW * 4);
  int64_t n = 0;
  const auto t0 = Clock::now();
  const double c0 = process_cpu_ns();
  for (auto _ : state) {
    SDL_SetRenderDrawColor(r, 20, 30, 60, 255);
    SDL_RenderClear(r);
    for (const auto& s : pos) {
      SDL_Rect d{0, 0, kSize, kSize};
      place(s, moving ? n : 0, d.x, d.y);
      SDL_RenderCopy(r, tex, nullptr, &d);
    }
    SDL_RenderPresent(r);
    SDL_RenderReadPixels(r, nullptr, SDL_PIXELFORMAT_ARGB8888, out.data(), kW * 4);
    benchmark::DoNotOptimize(out.data());
    ++n;
  }
  const double ns = std::chrono::duration<double, std::nano>(Clock::now() - t0).count();
  g_loop_cpu_ns = process_cpu_ns() - c0;
  SDL_DestroyTexture(tex);
  SDL_FreeSurface(spr);
  return ns;
}

double sdl_frames(benchmark::State& state, bool moving, int sprites) {
  SDL_Surface* target = SDL_CreateRGBSurfaceWithFormat(0, kW, kH, 32, SDL_PIXELFORMAT_ARGB8888);
  SDL_Renderer* r = target ? SDL_CreateSoftwareRenderer(target) : nullptr;
  if (!r) {
    state.SkipWithError("no SDL software renderer");
    if (target) SDL_FreeSurface(target);
    return 0;
  }
  const double ns = sdl_loop(state, r, moving, sprites);
  SDL_DestroyRenderer(r);
  SDL_FreeSurface(target);
  return ns;
}

// SDL's OpenGL ES 2 renderer on a hidden window of the offscreen video driver (EGL without a
// display server: Mesa's surfaceless platform, or its software device).
double gles_frames(benchmark::State& state, bool moving, int sprites) {
  setenv("SDL_VIDEODRIVER", "offscreen", 0);
  setenv("EGL_PLATFORM", "surfaceless", 0);
  SDL_SetHint(SDL_HINT_RENDER_DRIVER, "opengles2");
  SDL_SetHint(SDL_HINT_RENDER_VSYNC, "0");
  if (SDL_InitSubSystem(SDL_INIT_VIDEO) != 0) {
    state.SkipWithError((std::string("SDL video: ") + SDL_GetError()).c_str());
    return 0;
  }
  SDL_GL_SetAttribute(SDL_GL_CONTEXT_PROFILE_MASK, SDL_GL_CONTEXT_PROFILE_ES);
  SDL_GL_SetAttribute(SDL_GL_CONTEXT_MAJOR_VERSION, 2);
  SDL_GL_SetAttribute(SDL_GL_CONTEXT_MINOR_VERSION, 0);
  SDL_Window* win =
      SDL_CreateWindow("scene_bench", 0, 0, kW, kH, SDL_WINDOW_OPENGL | SDL_WINDOW_HIDDEN);
  SDL_Renderer* r = win ? SDL_CreateRenderer(win, -1, SDL_RENDERER_ACCELERATED) : nullptr;
  SDL_RendererInfo info{};
  if (!r || SDL_GetRendererInfo(r, &info) != 0 || std::string(info.name) != "opengles2") {
    state.SkipWithError((std::string("no SDL opengles2 renderer: ") + SDL_GetError()).c_str());
    if (r) SDL_DestroyRenderer(r);
    if (win) SDL_DestroyWindow(win);
    SDL_QuitSubSystem(SDL_INIT_VIDEO);
    return 0;
  }
  const double ns = sdl_loop(state, r, moving, sprites);
  SDL_DestroyRenderer(r);
  SDL_DestroyWindow(win);
  SDL_QuitSubSystem(SDL_INIT_VIDEO);
  return ns;
}

class BenchHost : public zel::RenderMng {
 public:
  BenchHost() : zel::RenderMng(u"OpenGL") {}
  void change_mode(const zel::DeviceMode&) override {}
};

double zel_frames(benchmark::State& state, bool moving, int sprites) {
  setenv("ZEL_HEADLESS", "1", 1);
  auto mng = std::make_shared<BenchHost>();
  zel::DeviceMode mode;
  mode.width = kW;
  mode.height = kH;
  if (!mng->init(u"OpenGL", mode) || !mng->get_device()->set_display(nullptr, mode)) {
    state.SkipWithError("no OpenGL device");
    return 0;
  }
  auto dev = mng->get_device();
  mng->set_bg_color(20, 30, 60);
  auto px = sprite_pixels();
  auto img = std::make_shared<zel::BitmapImage>();
  img->attach(kSize, kSize, zel::bimage_a8r8g8b8, px.data(), kSize * 4);
  auto tex =
      zel::zelContext::instance().texture_manager->create_from_image(u"sprite", img, 0, 1.0f);
  auto layer = mng->get_layer(0, true);
  auto pos = positions();
  pos.resize(size_t(sprites));
  std::vector<std::shared_ptr<zel::Facet>> facets;
  for (const auto& s : pos) {
    auto f = std::make_shared<zel::Facet>();
    f->put_texture(tex, true);
    f->set_topleft(s.x, s.y);
    layer->put_facet(f);
    facets.push_back(f);
  }
  int64_t n = 0;
  mng->render_screen(0);  // first frame: uploads
  const auto t0 = Clock::now();
  const double c0 = process_cpu_ns();
  for (auto _ : state) {
    if (moving) {
      for (size_t i = 0; i < facets.size(); ++i) {
        int x, y;
        place(pos[i], n, x, y);
        facets[i]->set_topleft(x, y);
      }
    }
    mng->render_screen(uint64_t(n) * 40000);
    auto frame = dev->read_frame();
    benchmark::DoNotOptimize(frame.get());
    ++n;
  }
  const double ns = std::chrono::duration<double, std::nano>(Clock::now() - t0).count();
  g_loop_cpu_ns = process_cpu_ns() - c0;
  facets.clear();
  mng->clear_all_layers();
  tex.reset();
  dev.reset();
  mng.reset();
  zel::zelContext::uninit();
  return ns;
}

double g_sdl_frame_ns = 0;   // the last SDL software run's mean frame time
double g_gles_frame_ns = 0;  // the last SDL OpenGL ES 2 run's mean frame time

void report(benchmark::State& state, double ns, double& mean_out) {
  mean_out = state.iterations() ? ns / double(state.iterations()) : 0;
  state.counters["frame_ms"] = mean_out / 1e6;
  if (state.iterations())
    state.counters["cpu_ms"] = g_loop_cpu_ns / double(state.iterations()) / 1e6;
}

void BM_SDL(benchmark::State& state, bool moving, int sprites) {
  report(state, sdl_frames(state, moving, sprites), g_sdl_frame_ns);
}

void BM_SDL_GLES2(benchmark::State& state, bool moving, int sprites) {
  report(state, gles_frames(state, moving, sprites), g_gles_frame_ns);
}

void BM_Zel(benchmark::State& state, bool moving, int sprites) {
  double mine = 0;
  report(state, zel_frames(state, moving, sprites), mine);
  // Engine frame time over each SDL peer's: below 1 the engine is faster.
  if (g_sdl_frame_ns > 0 && mine > 0) state.counters["vs_sdl"] = mine / g_sdl_frame_ns;
  if (g_gles_frame_ns > 0 && mine > 0) state.counters["vs_gles"] = mine / g_gles_frame_ns;
}

}  // namespace

#define SCENE_BENCH(name, moving, sprites)                                                        \
  BENCHMARK_CAPTURE(BM_SDL, name, moving, sprites)->Unit(benchmark::kMillisecond)->UseRealTime(); \
  BENCHMARK_CAPTURE(BM_SDL_GLES2, name, moving, sprites)                                          \
      ->Unit(benchmark::kMillisecond)                                                             \
      ->UseRealTime();                                                                            \
  BENCHMARK_CAPTURE(BM_Zel, name, moving, sprites)->Unit(benchmark::kMillisecond)->UseRealTime()

// An empty frame (clear, present, read back) first: the fixed cost of a frame.
SCENE_BENCH(empty, false, 0);
SCENE_BENCH(static_2000, false, kSprites);
SCENE_BENCH(moving_2000, true, kSprites);

BENCHMARK_MAIN();
