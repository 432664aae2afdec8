// One start-up, measured inside a fresh process: "zel" from zelInit to the first headless frame
// read back, "sdl" from SDL_Init to the first frame of an offscreen OpenGL ES 2 renderer read
// back. Prints the microseconds; exit status 1 when the frame could not be had.
#include <SDL2/SDL.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "qar/thread.h"
#include "zel/engine.h"
#include "zel/il/bitmap_image.h"
#include "zel/render_mng.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kW = 640, kH = 480;

class Host : public zel::RenderMng {
 public:
  void change_mode(const zel::DeviceMode&) override {}
};

long long us_since(Clock::time_point t0) {
  return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - t0).count();
}

int zel_startup() {
  setenv("ZEL_HEADLESS", "1", 1);
  const auto t0 = Clock::now();
  zelInit(nullptr);
  auto mng = std::make_shared<Host>();
  zel::DeviceMode mode;
  mode.width = kW;
  mode.height = kH;
  mode.depth = 32;
  mode.windowed = 1;
  if (!mng->init(u"OpenGL", mode)) return 1;
  mng->set_bg_color(20, 30, 60);
  std::mutex m;
  std::condition_variable cv;
  long long took = -1;
  mng->set_frame_hook([&](zel::RenderDevice& dev, uint64_t n) {
    if (n != 1) return;
    auto frame = dev.read_frame();
    std::lock_guard<std::mutex> lk(m);
    took = frame && frame->width() == kW ? us_since(t0) : 0;
    cv.notify_all();
  });
  qar::ThreadOfControl::start(mng, true);
  mng->pause(false, false);
  {
    std::unique_lock<std::mutex> lk(m);
    cv.wait_for(lk, std::chrono::seconds(20), [&] { return took >= 0; });
  }
  mng->terminate();
  mng.reset();
  zelUninit();
  if (took <= 0) return 1;
  std::printf("%lld\n", took);
  return 0;
}

int sdl_startup() {
  setenv("SDL_VIDEODRIVER", "offscreen", 0);
  const auto t0 = Clock::now();
  SDL_SetHint(SDL_HINT_RENDER_DRIVER, "opengles2");
  SDL_SetHint(SDL_HINT_RENDER_VSYNC, "0");
  if (SDL_Init(SDL_INIT_VIDEO) != 0) return 1;
  SDL_GL_SetAttribute(SDL_GL_CONTEXT_PROFILE_MASK, SDL_GL_CONTEXT_PROFILE_ES);
  SDL_GL_SetAttribute(SDL_GL_CONTEXT_MAJOR_VERSION, 2);
  SDL_Window* win =
      SDL_CreateWindow("startup", 0, 0, kW, kH, SDL_WINDOW_OPENGL | SDL_WINDOW_HIDDEN);
  SDL_Renderer* r = win ? SDL_CreateRenderer(win, -1, SDL_RENDERER_ACCELERATED) : nullptr;
  if (!r) return 1;
  std::vector<uint32_t> px(size_t(kW) * kH);
  SDL_SetRenderDrawColor(r, 20, 30, 60, 255);
  SDL_RenderClear(r);
  SDL_RenderPresent(r);
  const bool ok =
      SDL_RenderReadPixels(r, nullptr, SDL_PIXELFORMAT_ARGB8888, px.data(), kW * 4) == 0;
  const long long took = us_since(t0);
  SDL_DestroyRenderer(r);
  SDL_DestroyWindow(win);
  SDL_Quit();
  if (!ok) return 1;
  std::printf("%lld\n", took);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "zel") == 0) return zel_startup();
  if (argc == 2 && std::strcmp(argv[1], "sdl") == 0) return sdl_startup();
  std::fprintf(stderr, "usage: host_startup_probe zel|sdl\n");
  return 2;
}
