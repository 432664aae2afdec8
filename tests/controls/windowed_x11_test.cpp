// An X window captured into a windowed facet: its pixels exactly, after a repaint and a resize,
// and a window destroyed mid-capture (the last frame stays).
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <tuple>

#include "zel/3d/driver/soft/soft_device.h"
#include "zel/context.h"
#include "zel/controls/windowed_facet.h"
#include "zel/events.h"
#include "zel/il/bitmap_image.h"

// Xlib last: its macros clash with the test framework's names.
#include <X11/Xlib.h>

using namespace zel;

namespace {

void paint(Display* d, Window w, unsigned long rgb, int width, int height) {
  GC gc = XCreateGC(d, w, 0, nullptr);
  XSetForeground(d, gc, rgb);
  XFillRectangle(d, w, gc, 0, 0, unsigned(width), unsigned(height));
  XFreeGC(d, gc);
  XSync(d, False);
}

// Waits (5 s at most) until texel (x, y) of the facet's texture is `rgb`.
bool shows(WindowedFacet& f, int32_t x, int32_t y, uint32_t rgb) {
  uint32_t got = 0;
  for (int i = 0; i < 500; ++i) {
    f.update(0);
    if (auto tex = f.get_texture()) {
      auto img = tex->read_back(0, 0, -1, -1);
      if (img && x < img->width() && y < img->height()) {
        const uint8_t* p = img->pixmap(y) + x * 3;
        got = uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0];
        if (got == rgb) return true;
      }
    }
    usleep(10000);
  }
  ADD_FAILURE() << std::hex << "texel " << got << " instead of " << rgb;
  return false;
}

}  // namespace

TEST(WindowedX11, CapturedWindowPixelsFollowRepaintResizeAndDestroy) {
  const char* disp = std::getenv("DISPLAY");
  if (!disp || !*disp) GTEST_SKIP() << "no X display";
  zelContext::instance().texture_manager = std::make_shared<soft::SoftTextureManager>();
  Display* d = XOpenDisplay(nullptr);
  ASSERT_TRUE(d);
  Window w = XCreateSimpleWindow(d, DefaultRootWindow(d), 5, 5, 40, 30, 0, 0, 0);
  XMapWindow(d, w);
  paint(d, w, 0xFF0000, 40, 30);
  auto f = std::make_shared<WindowedFacet>();
  ASSERT_TRUE(f->attach_window(w));
  EXPECT_EQ(f->get_size(), std::make_pair(40, 30));
  EXPECT_TRUE(shows(*f, 39, 29, 0xFF0000));
  paint(d, w, 0x00FF00, 40, 30);
  EXPECT_TRUE(shows(*f, 0, 0, 0x00FF00));
  // The facet's size is the window's: the pixmap is named again for the new size.
  f->set_size(60, 20);
  usleep(100000);
  paint(d, w, 0x0000FF, 60, 20);
  EXPECT_TRUE(shows(*f, 59, 19, 0x0000FF));
  XWindowAttributes wa;
  XGetWindowAttributes(d, w, &wa);
  EXPECT_EQ(std::make_pair(wa.width, wa.height), std::make_pair(60, 20));
  // A click routed to the facet reaches the window at the same place; so does a key.
  XSelectInput(d, w, ButtonPressMask | KeyPressMask);
  XSync(d, False);
  mouse_event press;
  press.field1 = wm_lbuttondown, press.field2 = 3, press.field3 = 4;
  EXPECT_TRUE(f->route_input(press));
  XEvent ev;
  XWindowEvent(d, w, ButtonPressMask, &ev);
  EXPECT_EQ(std::make_tuple(ev.xbutton.button, ev.xbutton.x, ev.xbutton.y),
            std::make_tuple(1u, 3, 4));
  key_event key;  // and a key, by its X keycode
  key.field1 = wm_keydown, key.field2 = 'A', key.field6 = 38;
  EXPECT_TRUE(f->wants_focus());
  EXPECT_TRUE(f->route_input(key));
  XWindowEvent(d, w, KeyPressMask, &ev);
  EXPECT_EQ(ev.xkey.keycode, 38u);
  XDestroyWindow(d, w);
  XSync(d, False);
  for (int i = 0; i < 500 && f->capture_alive(); ++i) usleep(10000);
  EXPECT_FALSE(f->capture_alive());
  EXPECT_TRUE(shows(*f, 30, 10, 0x0000FF));
  f->detach_window();
  XCloseDisplay(d);
  zelContext::uninit();
}
