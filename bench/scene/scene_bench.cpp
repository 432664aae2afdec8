// Frame time of a scene of 2,000 alpha-blended 64 x 64 sprites at 1280 x 720, headless, drawn
// by the engine (a layer of facets) on its software device beside two peers on the CPU: SDL2's
// software renderer and a bare pixman loop (one pixman_image_composite32 per sprite, the floor
// any pixman compositor stands on); and on the OpenGL device beside SDL2's OpenGL ES 2 renderer
// on the same EGL driver. Sprites either share one texture or have one each. Each engine
// benchmark runs right after its peers and reports the ratios engine / peer as counters
// (vs_sdl, vs_pixman, vs_gles by wall-clock time; cpu_vs_sdl, cpu_vs_pixman by process CPU
// time), and every benchmark its peak resident memory (peak_MB).
//
// A frame is counted as done when its pixels can be read in memory: the engine's render_screen
// plus read_frame, SDL's RenderPresent plus RenderReadPixels; the pixman loop draws into memory.
// All three draw the same sprite, as many textures of it, to the same places: the engine and
// SDL from 32-bit ARGB texels as loaded (colour not multiplied by alpha, blended per texel),
// the pixman loop from texels premultiplied once before it starts (the form pixman blends).
// Times are means over the frame loop only (set-up, texture loads and the first frame, which
// uploads, are left out); on a machine shared with other work compare the cpu_ counters, or
// the best of several runs.
#include <SDL.h>
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <pixman.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
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

// The process's peak resident memory is reset before each benchmark (clear_refs 5) and read
// after it (VmHWM), so that each reports its own peak. Heap memory an earlier benchmark freed
// is handed back to the system first: kept resident, it would count for whichever benchmark
// runs next and hide as much of that one's own allocations.
void reset_peak_memory() {
  malloc_trim(0);
  std::ofstream("/proc/self/clear_refs") << "5";
}
double peak_memory_mb() {
  std::ifstream f("/proc/self/status");
  std::string line;
  while (std::getline(f, line))
    if (line.rfind("VmHWM:", 0) == 0) return std::atof(line.c_str() + 6) / 1024.0;
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return double(u.ru_maxrss) / 1024.0;
}

// Each returns the time spent in its frame loop, in nanoseconds (set-up excluded). `own`: every
// sprite has a texture of its own (same pixels), else all share one.
double sdl_loop(benchmark::State& state, SDL_Renderer* r, int sprites, bool own) {
  auto px = sprite_pixels();
  SDL_Surface* spr = SDL_CreateRGBSurfaceWithFormatFrom(px.data(), kSize, kSize, 32, kSize * 4,
                                                        SDL_PIXELFORMAT_ARGB8888);
  std::vector<SDL_Texture*> tex(own ? size_t(std::max(sprites, 1)) : 1);
  for (auto& t : tex) {
    t = SDL_CreateTextureFromSurface(r, spr);
    SDL_SetTextureBlendMode(t, SDL_BLENDMODE_BLEND);
  }
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
    for (size_t i = 0; i < pos.size(); ++i) {
      SDL_Rect d{0, 0, kSize, kSize};
      place(pos[i], n, d.x, d.y);
      SDL_RenderCopy(r, tex[own ? i : 0], nullptr, &d);
    }
    SDL_RenderPresent(r);
    SDL_RenderReadPixels(r, nullptr, SDL_PIXELFORMAT_ARGB8888, out.data(), kW * 4);
    benchmark::DoNotOptimize(out.data());
    ++n;
  }
  const double ns = std::chrono::duration<double, std::nano>(Clock::now() - t0).count();
  g_loop_cpu_ns = process_cpu_ns() - c0;
  for (auto t : tex) SDL_DestroyTexture(t);
  SDL_FreeSurface(spr);
  return ns;
}

double sdl_frames(benchmark::State& state, int sprites, bool own) {
  SDL_Surface* target = SDL_CreateRGBSurfaceWithFormat(0, kW, kH, 32, SDL_PIXELFORMAT_ARGB8888);
  SDL_Renderer* r = target ? SDL_CreateSoftwareRenderer(target) : nullptr;
  if (!r) {
    state.SkipWithError("no SDL software renderer");
    if (target) SDL_FreeSurface(target);
    return 0;
  }
  const double ns = sdl_loop(state, r, sprites, own);
  SDL_DestroyRenderer(r);
  SDL_FreeSurface(target);
  return ns;
}

// SDL's OpenGL ES 2 renderer on a hidden window of the offscreen video driver (EGL without a
// display server: Mesa's surfaceless platform, or its software device).
double gles_frames(benchmark::State& state, int sprites, bool own) {
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
  const double ns = sdl_loop(state, r, sprites, own);
  SDL_DestroyRenderer(r);
  SDL_DestroyWindow(win);
  SDL_QuitSubSystem(SDL_INIT_VIDEO);
  return ns;
}

// The bare pixman loop: premultiplied sprites composited one by one over a cleared frame.
double pixman_frames(benchmark::State& state, int sprites, bool own) {
  auto px = sprite_pixels();
  for (uint32_t& p : px) {
    const uint32_t a = p >> 24;
    auto ch = [a](uint32_t c) { return (c * a + 127) / 255; };
    p = a << 24 | ch((p >> 16) & 0xFF) << 16 | ch((p >> 8) & 0xFF) << 8 | ch(p & 0xFF);
  }
  std::vector<std::vector<uint32_t>> bits(own ? size_t(std::max(sprites, 1)) : 1, px);
  std::vector<pixman_image_t*> img;
  for (auto& b : bits)
    img.push_back(pixman_image_create_bits(PIXMAN_a8r8g8b8, kSize, kSize, b.data(), kSize * 4));
  std::vector<uint32_t> frame(size_t(kW) * kH);
  pixman_image_t* dst = pixman_image_create_bits(PIXMAN_a8r8g8b8, kW, kH, frame.data(), kW * 4);
  auto pos = positions();
  pos.resize(size_t(sprites));
  int64_t n = 0;
  const auto t0 = Clock::now();
  const double c0 = process_cpu_ns();
  for (auto _ : state) {
    pixman_fill(frame.data(), kW, 32, 0, 0, kW, kH, 0xFF141E3Cu);
    for (size_t i = 0; i < pos.size(); ++i) {
      int x, y;
      place(pos[i], n, x, y);
      pixman_image_composite32(PIXMAN_OP_OVER, img[own ? i : 0], nullptr, dst, 0, 0, 0, 0, x, y,
                               kSize, kSize);
    }
    benchmark::DoNotOptimize(frame.data());
    ++n;
  }
  const double ns = std::chrono::duration<double, std::nano>(Clock::now() - t0).count();
  g_loop_cpu_ns = process_cpu_ns() - c0;
  pixman_image_unref(dst);
  for (auto i : img) pixman_image_unref(i);
  return ns;
}

class BenchHost : public zel::RenderMng {
 public:
  explicit BenchHost(const std::u16string& device) : zel::RenderMng(device) {}
  void change_mode(const zel::DeviceMode&) override {}
};

// `own` textures are loaded first, all together, as both peers load theirs; `mixed`: each is
// loaded as its facet is made, which leaves the texels spread among the facets' objects.
double zel_frames(benchmark::State& state, const std::u16string& device, int sprites, bool own,
                  bool mixed = false) {
  setenv("ZEL_HEADLESS", "1", 1);
  auto mng = std::make_shared<BenchHost>(device);
  zel::DeviceMode mode;
  mode.width = kW;
  mode.height = kH;
  if (!mng->init(device, mode) || mng->get_device()->name() != device ||
      !mng->get_device()->set_display(nullptr, mode)) {
    state.SkipWithError("no such device");
    return 0;
  }
  auto dev = mng->get_device();
  mng->set_bg_color(20, 30, 60);
  auto px = sprite_pixels();
  auto img = std::make_shared<zel::BitmapImage>();
  img->attach(kSize, kSize, zel::bimage_a8r8g8b8, px.data(), kSize * 4);
  auto& tm = *zel::zelContext::instance().texture_manager;
  std::shared_ptr<zel::Texture> shared = tm.create_from_image(u"sprite", img, 0, 1.0f);
  auto layer = mng->get_layer(0, true);
  auto pos = positions();
  pos.resize(size_t(sprites));
  std::vector<std::shared_ptr<zel::Texture>> textures;
  if (own && !mixed)
    for (size_t i = 0; i < pos.size(); ++i)
      textures.push_back(tm.create_from_image(u"sprite", img, 0, 1.0f));
  std::vector<std::shared_ptr<zel::Facet>> facets;
  for (const auto& s : pos) {
    auto f = std::make_shared<zel::Facet>();
    if (!own)
      f->put_texture(shared, true);
    else if (mixed)
      f->put_texture(tm.create_from_image(u"sprite", img, 0, 1.0f), true);
    else
      f->put_texture(textures[facets.size()], true);
    f->set_topleft(s.x, s.y);
    layer->put_facet(f);
    facets.push_back(f);
  }
  int64_t n = 0;
  mng->render_screen(0);  // first frame: uploads
  const auto t0 = Clock::now();
  const double c0 = process_cpu_ns();
  for (auto _ : state) {
    for (size_t i = 0; i < facets.size(); ++i) {
      int x, y;
      place(pos[i], n, x, y);
      facets[i]->set_topleft(x, y);
    }
    mng->render_screen(uint64_t(n) * 40000);
    auto frame = dev->read_frame();
    benchmark::DoNotOptimize(frame.get());
    ++n;
  }
  const double ns = std::chrono::duration<double, std::nano>(Clock::now() - t0).count();
  g_loop_cpu_ns = process_cpu_ns() - c0;
  facets.clear();
  textures.clear();
  mng->clear_all_layers();
  shared.reset();
  dev.reset();
  mng.reset();
  zel::zelContext::uninit();
  return ns;
}

double g_sdl_frame_ns = 0;     // the last SDL software run's mean frame time
double g_gles_frame_ns = 0;    // the last SDL OpenGL ES 2 run's mean frame time
double g_pixman_frame_ns = 0;  // the last bare pixman run's mean frame time
// The same in process CPU time per frame: on a machine shared with other work, wall-clock
// times follow the load and CPU times compare the work itself.
double g_sdl_cpu_ns = 0, g_pixman_cpu_ns = 0, g_last_cpu_ns = 0;

double report(benchmark::State& state, double ns) {
  const double mean = state.iterations() ? ns / double(state.iterations()) : 0;
  state.counters["frame_ms"] = mean / 1e6;
  g_last_cpu_ns = state.iterations() ? g_loop_cpu_ns / double(state.iterations()) : 0;
  if (state.iterations()) state.counters["cpu_ms"] = g_last_cpu_ns / 1e6;
  state.counters["peak_MB"] = peak_memory_mb();
  return mean;
}

void BM_SDL(benchmark::State& state, int sprites, bool own) {
  reset_peak_memory();
  g_sdl_frame_ns = report(state, sdl_frames(state, sprites, own));
  g_sdl_cpu_ns = g_last_cpu_ns;
}

void BM_Pixman(benchmark::State& state, int sprites, bool own) {
  reset_peak_memory();
  g_pixman_frame_ns = report(state, pixman_frames(state, sprites, own));
  g_pixman_cpu_ns = g_last_cpu_ns;
}

void BM_Software(benchmark::State& state, int sprites, bool own, bool mixed = false) {
  reset_peak_memory();
  const double mine = report(state, zel_frames(state, u"Software", sprites, own, mixed));
  // Engine frame time over each peer's: below 1 the engine is faster.
  if (g_sdl_frame_ns > 0 && mine > 0) state.counters["vs_sdl"] = mine / g_sdl_frame_ns;
  if (g_pixman_frame_ns > 0 && mine > 0) state.counters["vs_pixman"] = mine / g_pixman_frame_ns;
  const double cpu = g_last_cpu_ns;
  if (g_sdl_cpu_ns > 0 && cpu > 0) state.counters["cpu_vs_sdl"] = cpu / g_sdl_cpu_ns;
  if (g_pixman_cpu_ns > 0 && cpu > 0) state.counters["cpu_vs_pixman"] = cpu / g_pixman_cpu_ns;
}

void BM_SDL_GLES2(benchmark::State& state, int sprites, bool own) {
  reset_peak_memory();
  g_gles_frame_ns = report(state, gles_frames(state, sprites, own));
}

void BM_OpenGL(benchmark::State& state, int sprites, bool own) {
  reset_peak_memory();
  const double mine = report(state, zel_frames(state, u"OpenGL", sprites, own));
  if (g_gles_frame_ns > 0 && mine > 0) state.counters["vs_gles"] = mine / g_gles_frame_ns;
  if (g_sdl_frame_ns > 0 && mine > 0) state.counters["vs_sdl"] = mine / g_sdl_frame_ns;
}

}  // namespace

#define BENCH(fn, name, sprites, own) \
  BENCHMARK_CAPTURE(fn, name, sprites, own)->Unit(benchmark::kMillisecond)->UseRealTime()

// The CPU peers and the software device: sprites sharing a texture, then one texture each.
#define CPU_SCENE(name, sprites, own)   \
  BENCH(BM_SDL, name, sprites, own);    \
  BENCH(BM_Pixman, name, sprites, own); \
  BENCH(BM_Software, name, sprites, own)

CPU_SCENE(shared_2000, kSprites, false);
CPU_SCENE(own_2000, kSprites, true);
// The same with each texture loaded as its facet is made (compared with the peers just above).
BENCHMARK_CAPTURE(BM_Software, own_2000_mixed, kSprites, true, true)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
// The GPU path against SDL's OpenGL ES 2 renderer (on llvmpipe without a GPU).
BENCH(BM_SDL_GLES2, shared_2000, kSprites, false);
BENCH(BM_OpenGL, shared_2000, kSprites, false);

BENCHMARK_MAIN();
