// Child windows for the GUI dispatcher, on a connection of the engine's own, made on first use.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <mutex>
#include <vector>

#include "qar/trace.h"
#include "zel/platform/window_system.h"
#include "zel/platform/x11/connection.h"

namespace zel {
namespace x11 {
namespace {

class ChildWindows : public platform::WindowSystem {
 public:
  uint64_t create_child_window(uint64_t host_window, const gui::create_window_params& p) override {
    std::lock_guard<std::mutex> lock(m_);
    SigpipeGuard no_sigpipe;
    Display* d = display();
    if (!d) return 0;
    ::Window parent = ::Window(p.parent ? p.parent : host_window);
    if (!parent) parent = DefaultRootWindow(d);
    const unsigned w = p.width > 0 ? unsigned(p.width) : 1u;
    const unsigned h = p.height > 0 ? unsigned(p.height) : 1u;
    ::Window win = 0;
    try {
      ErrorTrap trap(d);
      const int screen = DefaultScreen(d);
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
      const int err = trap.finish();
      if (err) {
        qar::tracef("cannot create a window under 0x%lx: X error %d", parent, err);
        if (win) {
          ErrorTrap again(d, false);
          XDestroyWindow(d, win);
          again.finish();
        }
        return 0;
      }
    } catch (const connection_lost&) {
      drop_lost();
      return 0;
    }
    return uint64_t(win);
  }

  bool destroy_window(uint64_t window) override {
    std::lock_guard<std::mutex> lock(m_);
    if (!window || !dpy_) return false;
    SigpipeGuard no_sigpipe;
    try {
      ErrorTrap trap(dpy_);
      XDestroyWindow(dpy_, ::Window(window));
      return trap.finish() == 0;
    } catch (const connection_lost&) {
      drop_lost();
      return false;
    }
  }

  uint64_t find_window(const std::string& class_name) override {
    std::lock_guard<std::mutex> lock(m_);
    SigpipeGuard no_sigpipe;
    Display* d = display();
    if (!d || class_name.empty()) return 0;
    try {
      // Top-level windows and, where a window manager reparents them, their children.
      ErrorTrap trap(d);
      ::Window found = 0;
      std::vector<::Window> level{DefaultRootWindow(d)};
      for (int depth = 0; depth < 2 && !found; ++depth) {
        std::vector<::Window> next;
        for (::Window parent : level) {
          ::Window root = 0, up = 0, *kids = nullptr;
          unsigned n = 0;
          if (!XQueryTree(d, parent, &root, &up, &kids, &n)) continue;
          for (unsigned i = 0; i < n && !found; ++i) {
            XClassHint hint{};
            if (XGetClassHint(d, kids[i], &hint)) {
              if ((hint.res_name && class_name == hint.res_name) ||
                  (hint.res_class && class_name == hint.res_class))
                found = kids[i];
              if (hint.res_name) XFree(hint.res_name);
              if (hint.res_class) XFree(hint.res_class);
            }
            next.push_back(kids[i]);
          }
          if (kids) XFree(kids);
        }
        level.swap(next);
      }
      trap.finish();
      return uint64_t(found);
    } catch (const connection_lost&) {
      drop_lost();
      return 0;
    }
  }

  bool open_url(const std::string& url) override { return platform::xdg_open(url); }

  void close() override {
    std::lock_guard<std::mutex> lock(m_);
    close_display(dpy_);
    dpy_ = nullptr;
  }

 private:
  Display* display() {
    if (!dpy_) dpy_ = open_display(nullptr);
    return dpy_;
  }
  void drop_lost() {
    qar::tracef("zel x11: the connection for child windows was lost");
    close_display(dpy_);
    dpy_ = nullptr;
  }

  std::mutex m_;
  Display* dpy_ = nullptr;
};

}  // namespace
}  // namespace x11

namespace platform {
std::unique_ptr<WindowSystem> make_x11_window_system() {
  return std::make_unique<x11::ChildWindows>();
}
}  // namespace platform
}  // namespace zel
