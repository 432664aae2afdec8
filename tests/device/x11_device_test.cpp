// Window tests of the OpenGL device under an X server (Xvfb): adopting the host's window, a
// window of its own, input scaling, F11 and the saved frame against a screenshot.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <clocale>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "clipboard/clip_test_util.h"
#include "device_test_util.h"
#include "zel/context.h"
#include "zel/engine.h"
#include "zel/events.h"
#include "zel/platform/x11/device_window.h"
#include "zel/render_mng.h"

// Xlib last: its macros (None, Bool, Status) clash with the test framework's names.
#include <X11/Xlib.h>
#include <X11/Xutil.h>

using namespace zel;
using devtest::pixel;

namespace {

int run(const std::string& cmd) {
  return std::system(cmd.c_str());
}

struct Recorded {
  int32_t msg, a, b, c;
};

// Waits up to 10 s for the condition.
template <class F>
bool eventually(F f) {
  for (int i = 0; i < 1000 && !f(); ++i) usleep(10000);
  return f();
}

// The input events the engine reports.
class InputLog {
 public:
  InputLog() {
    set_input_handler([this](const zel_event& e) {
      std::lock_guard<std::mutex> g(m_);
      events_.push_back({e.field1, e.field2, e.field3, e.field4});
    });
  }
  ~InputLog() { set_input_handler(nullptr); }
  // The wm_char units received once `n` have come (or after 10 s).
  std::u16string chars(size_t n) {
    std::u16string s;
    eventually([&] {
      std::lock_guard<std::mutex> g(m_);
      s.clear();
      for (const Recorded& r : events_)
        if (r.msg == wm_char) s += char16_t(r.a);
      return s.size() >= n;
    });
    return s;
  }
  // The first event with the message number; false after 10 s.
  bool wait_for(int32_t msg, Recorded& out) {
    return eventually([&] {
      std::lock_guard<std::mutex> g(m_);
      for (const Recorded& r : events_)
        if (r.msg == msg) return out = r, true;
      return false;
    });
  }

 private:
  std::mutex m_;
  std::vector<Recorded> events_;
};

class X11DeviceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* d = std::getenv("DISPLAY");
    if (!d || !*d) GTEST_SKIP() << "no X display";
    unsetenv("ZEL_HEADLESS");
    // An X server resets when its last client leaves and refuses connections meanwhile.
    for (int i = 0; i < 50 && !dpy; ++i) {
      dpy = XOpenDisplay(nullptr);
      if (!dpy) usleep(20000);
    }
    ASSERT_TRUE(dpy);
  }
  void TearDown() override {
    if (dpy) {
      for (Window w : windows) XDestroyWindow(dpy, w);
      XCloseDisplay(dpy);
    }
  }
  // A host window of w x h at (x, y), mapped.
  Window host_window(int w, int h, int x = 0, int y = 0) {
    const int scr = DefaultScreen(dpy);
    Window win = XCreateSimpleWindow(dpy, RootWindow(dpy, scr), x, y, unsigned(w), unsigned(h), 0,
                                     BlackPixel(dpy, scr), WhitePixel(dpy, scr));
    XMapWindow(dpy, win);
    XSync(dpy, False);
    windows.push_back(win);
    return win;
  }
  // The window's pixels as 0xFFRRGGBB, row by row.
  std::vector<uint32_t> screenshot(Window win, int w, int h) {
    std::vector<uint32_t> px;
    if (XImage* img = XGetImage(dpy, win, 0, 0, unsigned(w), unsigned(h), AllPlanes, ZPixmap)) {
      for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) px.push_back(0xFF000000u | (XGetPixel(img, x, y) & 0xFFFFFFu));
      XDestroyImage(img);
    }
    return px;
  }
  Display* dpy = nullptr;
  std::vector<Window> windows;
};

// The device adopts the host's window and presents into it: the window shows the frame.
TEST_F(X11DeviceTest, AdoptsTheHostWindowAndShowsTheFrame) {
  Window host = host_window(96, 64);
  auto dev = devtest::make_device(96, 64, host);
  ASSERT_TRUE(dev);
  EXPECT_TRUE(!dev->is_headless() && dev->window() == uintptr_t(host) && dev->ppi_x() > 0);
  devtest::set_screen_space(*dev, 96, 64);
  auto tex = devtest::make_argb_texture(*dev, 1, 1, {0xFF102030u});
  dev->begin_frame(false, 255, 40, 80, 120);
  ASSERT_TRUE(dev->begin_scene());
  dev->begin_2D_mode();
  devtest::draw_quad(*dev, tex, 10, 12, 32, 24);
  dev->end_scene();
  dev->end_frame();
  auto frame = dev->read_frame();
  ASSERT_TRUE(frame);
  const std::vector<uint32_t> want = devtest::pixels(*frame);
  ASSERT_EQ(want.size(), 96u * 64u);
  EXPECT_EQ(std::make_pair(want[0], want[12 * 96 + 10]), std::make_pair(0xFF285078u, 0xFF102030u));
  EXPECT_TRUE(eventually([&] { return screenshot(host, 96, 64) == want; }));
}

// Devices made and destroyed one after another, each on a connection of its own, while other
// connections come and go: a connection may come back at the address of a closed one, and the
// device must not reuse the closed one's EGL display.
TEST_F(X11DeviceTest, DevicesMadeOneAfterAnotherEachPresentIntoTheirWindow) {
  std::vector<Display*> extra;
  for (int i = 0; i < 40; ++i) {
    SCOPED_TRACE(i);
    Window host = host_window(64, 48, 1200, 960);  // away from other tests' windows
    auto dev = devtest::make_device(64, 48, host);
    ASSERT_TRUE(dev);
    const int r = 10 + i * 4, g = 200 - i * 3, b = (i * 37) % 256;
    const std::vector<uint32_t> want(64 * 48, 0xFF000000u | uint32_t(r << 16 | g << 8 | b));
    std::vector<uint32_t> got;  // presented again while waiting for the device's connection
    for (int t = 0; t < 200 && got != want; ++t, usleep(10000)) {
      dev->begin_frame(false, 255, r, g, b);
      dev->end_frame();
      got = screenshot(host, 64, 48);
    }
    EXPECT_TRUE(got == want);
    dev.reset();
    XDestroyWindow(dpy, host);
    windows.pop_back();
    const int step = (i * 7 + i / 5) % 5;  // open up to two connections, or close the oldest
    for (int k = 0; step < 2 && k <= step; ++k)
      if (Display* d = XOpenDisplay(nullptr)) extra.push_back(d);
    if (step >= 2 && step < 4 && !extra.empty()) {
      XCloseDisplay(extra.front());
      extra.erase(extra.begin());
    }
  }
  for (Display* d : extra) XCloseDisplay(d);
}

// With a display at hand, the host's choice decides and ZEL_HEADLESS overrides it; without a
// host window the device makes one of its own.
TEST_F(X11DeviceTest, HeadlessIsTheHostsChoiceAndTheEnvironmentOverridesIt) {
  struct Case {
    bool ex;  // zelInitEx (else zelInit)
    bool host;
    zelDisplayMode display;
    const char* env;  // ZEL_HEADLESS, or null
    bool headless;
  };
  const Case cases[] = {
      {false, false, zel_display_headless, nullptr, true},  // zelInit(nullptr)
      {false, true, zel_display_window, nullptr, false},    // zelInit(host)
      {true, false, zel_display_window, nullptr, false},    // a window of its own
      {true, true, zel_display_headless, nullptr, true},
      {true, false, zel_display_window, "1", true},
      {false, false, zel_display_headless, "0", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "case " << (&c - cases));
    const uintptr_t host = c.host ? host_window(64, 48) : 0;
    if (c.env) setenv("ZEL_HEADLESS", c.env, 1);
    zelInitOptions o;
    o.host_window = reinterpret_cast<void*>(host), o.display = c.display;
    c.ex ? zelInitEx(&o) : zelInit(o.host_window);
    auto dev = devtest::make_device(64, 48, host);
    unsetenv("ZEL_HEADLESS");
    ASSERT_TRUE(dev);
    EXPECT_TRUE(dev->is_headless() == c.headless && (dev->window() == 0) == c.headless);
    EXPECT_TRUE(!c.host || c.headless || dev->window() == host);
    dev->begin_frame(false, 255, 1, 2, 3);
    EXPECT_EQ(pixel(*dev->read_frame(), 63, 47), 0xFF010203u);
    // A window of its own has the device's size and goes with the device.
    const Window own = c.host ? 0 : Window(dev->window());
    XWindowAttributes wa;
    EXPECT_TRUE(!own || (XGetWindowAttributes(dpy, own, &wa) && wa.width == 64 && wa.height == 48));
    dev.reset();
    XSync(dpy, False);
    auto old = XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });
    EXPECT_FALSE(own && XGetWindowAttributes(dpy, own, &wa));
    XSetErrorHandler(old);
    zelUninit();
  }
}

TEST(X11Input, ScalingNeverDividesByZero) {
  EXPECT_EQ(x11::scale_coordinate(50, 200, 0, 400), 100);
  EXPECT_EQ(x11::scale_coordinate(50, 0, 10, 400), 10);
  EXPECT_EQ(x11::scale_coordinate(199, 200, 100, 300), 299);
}

// Typed text goes through the input method and arrives as UTF-16 units, whatever the process's
// locale: Latin-1, Cyrillic, the euro sign, and a character outside the BMP (two units).
// xdotool types what the keymap lacks by remapping a spare key (MappingNotify).
TEST_F(X11DeviceTest, TypedTextArrivesAsUtf16UnitsInTheCLocale) {
  ASSERT_STREQ(setlocale(LC_CTYPE, nullptr), "C");
  InputLog log;
  auto dev = devtest::make_device(120, 90);
  ASSERT_TRUE(dev);
  const std::string win = std::to_string(dev->window());
  ASSERT_EQ(run("xdotool windowfocus --sync " + win), 0);
  ASSERT_EQ(run("LC_ALL=C.UTF-8 xdotool type --delay 40 'héllo Жж€𝄞'"), 0);
  const std::u16string want = u"héllo Жж€𝄞";
  EXPECT_EQ(log.chars(want.size()), want);
}

class ModeRecorder : public RenderMng {
 public:
  void change_mode(const DeviceMode& m) override {
    std::lock_guard<std::mutex> g(mu_);
    modes_.push_back(m);
  }
  // The first mode asked for, once one has been (false after 10 s).
  bool first(DeviceMode& out) {
    return eventually([&] {
      std::lock_guard<std::mutex> g(mu_);
      return !modes_.empty() && (out = modes_[0], true);
    });
  }

 private:
  std::mutex mu_;
  std::vector<DeviceMode> modes_;
};

// In a window the device draws at twice its size, a click arrives in device coordinates and
// leaving is reported; F11 asks the render manager for the other windowed flag; unmapping the
// window pauses the render manager and mapping it resumes it.
TEST_F(X11DeviceTest, InputScaledF11AndMinimising) {
  auto mng = std::make_shared<ModeRecorder>();
  DeviceMode m;
  m.width = 400, m.height = 300, m.windowed = 1, m.fields[0] = 77;
  mng->set_mode(m);
  mng->pause(false, false);
  zelContext::instance().render_mng = mng.get();
  InputLog log;
  Window host = host_window(200, 150, 0, 0);
  auto dev = devtest::make_device(400, 300, host);
  ASSERT_TRUE(dev);
  dev->begin_frame(false, 255, 0, 0, 0);
  dev->adjust(mat4());
  EXPECT_EQ(dev->get_device_rect(), qar::Rect(0, 0, 400, 300));
  usleep(200000);
  const std::string win = std::to_string(host);
  ASSERT_EQ(run("xdotool mousemove --window " + win + " 50 40 click 1"), 0);
  Recorded down{}, up{}, key{}, leave{};
  ASSERT_TRUE(log.wait_for(wm_lbuttondown, down) && log.wait_for(wm_lbuttonup, up));
  EXPECT_EQ(std::make_tuple(down.a, down.b, up.a, up.b), std::make_tuple(100, 80, 100, 80));
  ASSERT_EQ(run("xdotool key --window " + win + " F11"), 0);
  ASSERT_TRUE(log.wait_for(wm_keydown, key));
  EXPECT_EQ(key.a, 0x7A);  // VK_F11
  DeviceMode asked;
  ASSERT_TRUE(mng->first(asked));
  EXPECT_EQ(std::make_tuple(asked.windowed, asked.width, asked.fields[0]),
            std::make_tuple(0, 400, 77));
  ASSERT_EQ(run("xdotool mousemove 900 900"), 0);
  EXPECT_TRUE(log.wait_for(wm_mouseleave, leave));
  for (bool map : {false, true}) {
    map ? XMapWindow(dpy, host) : XUnmapWindow(dpy, host);
    XSync(dpy, False);
    EXPECT_TRUE(eventually([&] { return mng->is_pause() != map; })) << map;
  }
  dev.reset();
  zelContext::instance().render_mng = nullptr;
}

// A mode change resizes the window and the frame; full screen is asked of the window manager
// through _NET_WM_STATE.
TEST_F(X11DeviceTest, ModeChangeResizesTheWindowAndTheFrame) {
  Window host = host_window(100, 80);
  auto dev = devtest::make_device(100, 80, host);
  ASSERT_TRUE(dev);
  DeviceMode m = dev->mode();
  m.width = 140, m.height = 70;
  ASSERT_TRUE(dev->toggle_mode(m));
  XSync(dpy, False);
  XWindowAttributes wa;
  ASSERT_TRUE(XGetWindowAttributes(dpy, host, &wa));
  EXPECT_EQ(std::make_pair(wa.width, wa.height), std::make_pair(140, 70));
  dev->begin_frame(false, 255, 5, 6, 7);
  auto f = dev->read_frame();
  EXPECT_EQ(std::make_pair(f->width(), f->height()), std::make_pair(140, 70));
  const Atom state = XInternAtom(dpy, "_NET_WM_STATE", False);
  const Atom fs = XInternAtom(dpy, "_NET_WM_STATE_FULLSCREEN", False);
  for (int windowed : {1, 0, 1}) {
    if (windowed != m.windowed) {
      m.windowed = windowed;
      ASSERT_TRUE(dev->toggle_mode(m));
      XSync(dpy, False);
    }
    Atom type;
    int format;
    unsigned long n = 0, after = 0;
    unsigned char* data = nullptr;
    XGetWindowProperty(dpy, host, state, 0, 16, False, AnyPropertyType, &type, &format, &n, &after,
                       &data);
    const Atom* atoms = reinterpret_cast<Atom*>(data);
    EXPECT_EQ(data && std::find(atoms, atoms + n, fs) != atoms + n, !windowed);
    if (data) XFree(data);
  }
  EXPECT_FALSE(dev->toggle_mode(DeviceMode{}));
}

// The server dies under a device presenting into its own window: frames go on into the frame
// buffer (read back as drawn) and nothing waits on the broken connection.
TEST(X11DeviceLostServer, FramesGoOnWhenTheServerDies) {
  pid_t server = -1;
  std::string name;
  if (!cliptest::start_private_xvfb(server, name)) GTEST_SKIP() << "no Xvfb";
  const std::string saved_display = std::getenv("DISPLAY") ? std::getenv("DISPLAY") : "";
  setenv("DISPLAY", name.c_str(), 1);
  unsetenv("ZEL_HEADLESS");
  auto dev = devtest::make_device(64, 48);
  setenv("DISPLAY", saved_display.c_str(), 1);
  ASSERT_TRUE(dev && !dev->is_headless());
  dev->begin_frame(false, 255, 1, 2, 3);
  dev->end_frame();
  kill(server, SIGKILL);
  waitpid(server, nullptr, 0);
  for (int i = 0; i < 5; ++i) {
    dev->begin_frame(false, 255, 10, 20, uint8_t(30 + i));
    EXPECT_EQ(pixel(*dev->read_frame(), 63, 47), 0xFF0A141Eu + uint32_t(i));
    dev->end_frame();
  }
}

}  // namespace
