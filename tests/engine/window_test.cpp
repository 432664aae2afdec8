#include <gtest/gtest.h>
#include <poll.h>

// After gtest: Xlib's macros (None, Bool ...) clash with its names.
#include <X11/Xlib.h>

#include <chrono>
#include <cstdlib>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "qar/trace.h"
#include "zel/engine.h"
#include "zel/gui_dispatcher.h"

namespace {

using namespace std::chrono_literals;

int g_x_errors = 0;
int count_error(Display*, XErrorEvent*) {
  ++g_x_errors;
  return 0;
}

// The host: its own X connection and main window; this thread is its GUI thread.
class WindowTest : public ::testing::Test {
 protected:
  Display* dpy = nullptr;
  Window host = 0;
  void SetUp() override {
    const char* d = std::getenv("DISPLAY");
    if (!d || !*d) GTEST_SKIP() << "no X display";
    // An X server without -noreset resets when its last client leaves (as the previous test's
    // did) and refuses connections meanwhile: try again for a moment.
    for (int i = 0; i < 100 && !dpy; ++i) {
      dpy = XOpenDisplay(nullptr);
      if (!dpy) std::this_thread::sleep_for(20ms);
    }
    ASSERT_NE(dpy, nullptr) << "cannot open display " << d;
    host = XCreateSimpleWindow(dpy, DefaultRootWindow(dpy), 0, 0, 400, 300, 0, 0, 0);
    XMapWindow(dpy, host);
    XSync(dpy, False);
    qar::set_trace_sink([](const std::string&) {});
    zelInit(reinterpret_cast<void*>(uintptr_t(host)));
  }
  void TearDown() override {
    if (!dpy) return;
    zelUninit();
    qar::set_trace_sink(nullptr);
    XDestroyWindow(dpy, host);
    XCloseDisplay(dpy);
  }
  // Creates a window from another thread while this one drains, as the engine's threads do.
  uint64_t create_from_worker(const zel::gui::create_window_params& p) {
    auto r = std::async(std::launch::async, [&] { return zel::gui::create_window(p); });
    for (int i = 0; i < 5000 && r.wait_for(0ms) != std::future_status::ready; ++i) {
      pollfd f{zel::gui::event_fd(), POLLIN, 0};
      poll(&f, 1, 1);
      zel::gui::drain();
    }
    return r.get();
  }
  // Whether the server still knows the window (asked with X errors counted, not fatal).
  bool exists(uint64_t w) {
    XSync(dpy, False);
    g_x_errors = 0;
    XErrorHandler old = XSetErrorHandler(count_error);
    XWindowAttributes a;
    XGetWindowAttributes(dpy, Window(w), &a);
    XSync(dpy, False);
    XSetErrorHandler(old);
    return g_x_errors == 0;
  }
  Window parent_of(Window w) {
    Window root = 0, parent = 0, *children = nullptr;
    unsigned n = 0;
    if (!XQueryTree(dpy, w, &root, &parent, &children, &n)) return 0;
    if (children) XFree(children);
    return parent;
  }
};

TEST_F(WindowTest, CreatesAChildOfTheHostWindowOnTheGuiThread) {
  zel::gui::create_window_params p;
  p.x = 10, p.y = 20, p.width = 120, p.height = 80, p.visible = true, p.name = "zel child";
  uint64_t w = create_from_worker(p);
  ASSERT_NE(w, 0u);
  EXPECT_EQ(parent_of(Window(w)), host);  // no parent given: the host window
  XWindowAttributes a;
  ASSERT_TRUE(XGetWindowAttributes(dpy, Window(w), &a));
  EXPECT_EQ(std::vector<int>({a.x, a.y, a.width, a.height, a.map_state}),
            std::vector<int>({10, 20, 120, 80, IsViewable}));
  char* name = nullptr;
  ASSERT_TRUE(XFetchName(dpy, Window(w), &name));
  EXPECT_STREQ(name, "zel child");
  XFree(name);
  // A parent the server does not know gives 0, and the connection stays usable: an explicit
  // parent is used as given.
  zel::gui::create_window_params q;
  q.parent = 0x7FFFFFF;
  EXPECT_EQ(create_from_worker(q), 0u);
  q.parent = w, q.width = 0, q.height = 5;  // no zero-sized windows in X: made 1 x 1
  uint64_t inner = create_from_worker(q);
  ASSERT_NE(inner, 0u);
  EXPECT_EQ(parent_of(Window(inner)), Window(w));
  ASSERT_TRUE(XGetWindowAttributes(dpy, Window(inner), &a));
  EXPECT_EQ(std::make_pair(a.width, a.map_state), std::make_pair(1, IsUnmapped));
  EXPECT_TRUE(zel::gui::destroy_window(inner));
  EXPECT_FALSE(exists(inner));
}

TEST_F(WindowTest, UninitClosesTheEngineConnectionAndItsWindows) {
  zel::gui::create_window_params p;
  uint64_t w = zel::gui::create_window(p);  // on the GUI thread: runs at once
  ASSERT_NE(w, 0u);
  EXPECT_TRUE(exists(w));
  zelUninit();
  EXPECT_FALSE(exists(w));
  EXPECT_EQ(zel::gui::create_window(p), 0u);  // no GUI thread any more
  zelInit(reinterpret_cast<void*>(uintptr_t(host)));
}

TEST(WindowNoDisplay, CreationFailsWithoutDisplay) {
  const char* d = std::getenv("DISPLAY");
  const std::string saved = d ? d : "";
  setenv("DISPLAY", "", 1);
  qar::set_trace_sink([](const std::string&) {});
  zelInit(nullptr);
  EXPECT_EQ(zel::gui::create_window(zel::gui::create_window_params()), 0u);
  zelUninit();
  qar::set_trace_sink(nullptr);
  setenv("DISPLAY", saved.c_str(), 1);
}

}  // namespace
