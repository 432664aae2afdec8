// Capture of an 800x600 window repainted every frame, from the repaint to the facet's texture,
// beside a bare XShmGetImage loop and the XGetImage path; and typing latency, from an xdotool
// key press to the changed text in an edit box's texture (median and p99).
// Run with DISPLAY set (Xvfb) and xdotool installed.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <benchmark/benchmark.h>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <thread>
#include <vector>

#include "zel/3d/driver/gl/gl_device.h"
#include "zel/3d/driver/soft/soft_device.h"
#include "zel/context.h"
#include "zel/controls/edit_control_x11.h"
#include "zel/controls/windowed_facet.h"
#include "zel/gui_dispatcher.h"
#include "zel/layer.h"
#include "zel/render_mng.h"

namespace {

constexpr int kW = 800, kH = 600;
using clk = std::chrono::steady_clock;

struct Window800 {
  Display* d = nullptr;
  Window w = 0;
  GC gc = nullptr;
  Window800() {
    // A server that just lost its last client refuses connections for a moment.
    for (int i = 0; i < 50 && !d; ++i)
      if (!(d = XOpenDisplay(nullptr))) usleep(20000);
    if (!d) return;
    w = XCreateSimpleWindow(d, DefaultRootWindow(d), 0, 0, kW, kH, 0, 0, 0);
    XMapWindow(d, w);
    gc = XCreateGC(d, w, 0, nullptr);
    XSync(d, False);
  }
  ~Window800() {
    if (!d) return;
    XFreeGC(d, gc);
    XDestroyWindow(d, w);
    XCloseDisplay(d);
  }
  void paint(unsigned long rgb) {
    XSetForeground(d, gc, rgb);
    XFillRectangle(d, w, gc, 0, 0, kW, kH);
    XSync(d, False);
  }
};

void BM_ZelCaptureToTexture(benchmark::State& state) {
  zel::zelContext::instance().texture_manager = std::make_shared<zel::soft::SoftTextureManager>();
  Window800 win;
  auto f = std::make_shared<zel::WindowedFacet>();
  if (!win.d || !f->attach_window(win.w)) return state.SkipWithError("no capture");
  unsigned long c = 0;
  for (auto _ : state) {
    const uint64_t before = f->frame_count();
    win.paint(++c & 0xFFFFFF);
    while (f->frame_count() == before) std::this_thread::yield();
    f->update(0);
  }
  f->detach_window();
  zel::zelContext::uninit();
}

void BM_PeerXShmGetImage(benchmark::State& state) {
  Window800 win;
  if (!win.d || !XShmQueryExtension(win.d)) return state.SkipWithError("no MIT-SHM");
  XWindowAttributes wa;
  XGetWindowAttributes(win.d, win.w, &wa);
  XShmSegmentInfo shm{};
  XImage* img =
      XShmCreateImage(win.d, wa.visual, unsigned(wa.depth), ZPixmap, nullptr, &shm, kW, kH);
  shm.shmid = shmget(IPC_PRIVATE, size_t(img->bytes_per_line) * kH, IPC_CREAT | 0600);
  shm.shmaddr = img->data = static_cast<char*>(shmat(shm.shmid, nullptr, 0));
  XShmAttach(win.d, &shm);
  shmctl(shm.shmid, IPC_RMID, nullptr);
  unsigned long c = 0;
  for (auto _ : state) {
    win.paint(++c & 0xFFFFFF);
    XShmGetImage(win.d, win.w, img, 0, 0, AllPlanes);
    benchmark::DoNotOptimize(img->data[0]);
  }
  XShmDetach(win.d, &shm);
  shmdt(shm.shmaddr);
  img->data = nullptr;
  XDestroyImage(img);
}

void BM_PeerXGetImage(benchmark::State& state) {
  Window800 win;
  if (!win.d) return state.SkipWithError("no display");
  unsigned long c = 0;
  for (auto _ : state) {
    win.paint(++c & 0xFFFFFF);
    XImage* img = XGetImage(win.d, win.w, 0, 0, kW, kH, AllPlanes, ZPixmap);
    benchmark::DoNotOptimize(img->data[0]);
    XDestroyImage(img);
  }
}

// An OpenGL device in a window of its own.
std::shared_ptr<zel::gl::GLDevice> make_device(int32_t w, int32_t h) {
  auto dev = std::make_shared<zel::gl::GLDevice>();
  if (!dev->init()) return nullptr;
  zel::DeviceMode m;
  m.width = w;
  m.height = h;
  if (!dev->set_display(nullptr, m)) return nullptr;
  return dev;
}

class Host : public zel::RenderMng {
 public:
  void change_mode(const zel::DeviceMode&) override {}
};

// One key press a round: from starting xdotool to the text changed in the box's texture.
void BM_ZelTypingLatency(benchmark::State& state) {
  const char* display = std::getenv("DISPLAY");
  if (!display || !*display) return state.SkipWithError("no display");
  unsetenv("ZEL_HEADLESS");
  zel::gui::attach();
  auto mng = std::make_shared<Host>();
  zel::zelContext::instance().render_mng = mng.get();
  auto dev = make_device(320, 80);
  if (!dev) return state.SkipWithError("no device");
  dev->begin_frame(false, 255, 0, 0, 0);
  dev->adjust(zel::mat4());
  auto box = std::make_shared<zel::EditControlX11>();
  box->create(10, 10, 300, 40);
  mng->get_layer(0, true)->put_facet(box);
  const std::string win = std::to_string(dev->window());
  std::system(
      ("xdotool windowfocus --sync " + win + " mousemove --window " + win + " 50 30 click 1")
          .c_str());
  for (int i = 0; i < 100 && !box->has_focus(); ++i) {
    zel::gui::drain();
    usleep(10000);
  }
  std::vector<double> ms;
  for (auto _ : state) {
    box->set_text(u"");
    zel::gui::drain();
    const uint64_t before = box->frame_count();
    const auto t0 = clk::now();
    std::system("xdotool key a");
    while (box->frame_count() == before && clk::now() - t0 < std::chrono::seconds(2)) {
      zel::gui::drain();
      std::this_thread::yield();
    }
    box->update(0);
    const double t = std::chrono::duration<double, std::milli>(clk::now() - t0).count();
    ms.push_back(t);
    state.SetIterationTime(t / 1000);
  }
  std::sort(ms.begin(), ms.end());
  if (!ms.empty()) {
    state.counters["median_ms"] = ms[ms.size() / 2];
    state.counters["p99_ms"] = ms[std::min(ms.size() - 1, ms.size() * 99 / 100)];
  }
  box->destroy();
  mng->clear_all_layers();
  dev.reset();
  zel::zelContext::instance().render_mng = nullptr;
  zel::gui::drain();
  zel::gui::detach();
}

}  // namespace

BENCHMARK(BM_ZelCaptureToTexture)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PeerXShmGetImage)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_PeerXGetImage)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ZelTypingLatency)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(40);
BENCHMARK_MAIN();
