#include "zel/platform/x11/x11_window.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <vector>

#include "qar/trace.h"

namespace zel {
namespace x11 {
namespace {

std::mutex g_mutex;
Display* g_display = nullptr;

// X errors caused by our own requests are recorded instead of ending the process; errors of
// other connections go on to the handler that was installed before.
// Atomics: the handler is process-wide and may run on other threads for their connections.
std::atomic<Display*> g_checked{nullptr};
std::atomic<int> g_last_error{0};
std::atomic<XErrorHandler> g_previous{nullptr};

int on_error(Display* d, XErrorEvent* e) {
  if (d == g_checked.load()) {
    g_last_error = e->error_code;
    return 0;
  }
  XErrorHandler previous = g_previous.load();
  return previous ? previous(d, e) : 0;
}

// Runs `f` and reports whether the server rejected any of the requests it made.
template <class F>
int with_error_check(Display* d, F&& f) {
  XSync(d, False);
  g_checked = d;
  g_last_error = 0;
  g_previous = XSetErrorHandler(on_error);
  f();
  XSync(d, False);
  XSetErrorHandler(g_previous.load());
  g_checked = nullptr;
  return g_last_error.load();
}

Display* display() {
  if (!g_display && display_configured()) {
    g_display = XOpenDisplay(nullptr);
    if (!g_display) qar::tracef("cannot open the X display %s", std::getenv("DISPLAY"));
  }
  return g_display;
}

}  // namespace

bool display_configured() {
  const char* d = std::getenv("DISPLAY");
  return d && *d;
}

uint64_t create_child_window(uint64_t host_window, const gui::create_window_params& p) {
  std::lock_guard<std::mutex> lock(g_mutex);
  Display* d = display();
  if (!d) return 0;
  ::Window parent = ::Window(p.parent ? p.parent : host_window);
  if (!parent) parent = DefaultRootWindow(d);
  unsigned w = p.width > 0 ? unsigned(p.width) : 1u;
  unsigned h = p.height > 0 ? unsigned(p.height) : 1u;
  ::Window win = 0;
  int err = with_error_check(d, [&] {
    int screen = DefaultScreen(d);
    win = XCreateSimpleWindow(d, parent, p.x, p.y, w, h, 0, BlackPixel(d, screen),
                              BlackPixel(d, screen));
    if (!p.name.empty()) XStoreName(d, win, p.name.c_str());
    if (!p.class_name.empty()) {
      XClassHint hint;
      hint.res_name = const_cast<char*>(p.class_name.c_str());
      hint.res_class = const_cast<char*>(p.class_name.c_str());
      XSetClassHint(d, win, &hint);
    }
    if (p.visible) XMapWindow(d, win);
  });
  if (err) {
    qar::tracef("cannot create a window under 0x%lx: X error %d", parent, err);
    if (win) with_error_check(d, [&] { XDestroyWindow(d, win); });
    return 0;
  }
  return uint64_t(win);
}

bool destroy_window(uint64_t window) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (!window || !g_display) return false;
  Display* d = g_display;
  return with_error_check(d, [&] { XDestroyWindow(d, ::Window(window)); }) == 0;
}

void close_display() {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (g_display) {
    XCloseDisplay(g_display);
    g_display = nullptr;
  }
}

}  // namespace x11
}  // namespace zel
