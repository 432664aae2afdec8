// The OpenGL device's X11 window: the host's window (adopted: its input events are taken) or a
// window of the device's own. A thread of its own, on its own X connection, turns the window's
// mouse and key events into host input (zel::deliver_input) and F11 into a mode change.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "qar/rect.h"
#include "zel/render_device.h"

namespace zel {
namespace gl {

// Window message numbers carried in field1 of the input events.
enum : int32_t {
  wm_keydown = 0x100,
  wm_keyup = 0x101,
  wm_char = 0x102,
  wm_mousemove = 0x200,
  wm_lbuttondown = 0x201,
  wm_lbuttonup = 0x202,
  wm_rbuttondown = 0x204,
  wm_rbuttonup = 0x205,
  wm_mbuttondown = 0x207,
  wm_mbuttonup = 0x208,
  wm_mousewheel = 0x20A,
  wm_mouseleave = 0x2A3,
};

// Button and modifier flags of mouse events (field4; the wheel's delta is in the high word).
enum : int32_t {
  mk_lbutton = 0x1,
  mk_rbutton = 0x2,
  mk_shift = 0x4,
  mk_control = 0x8,
  mk_mbutton = 0x10,
};

// The key modifier word of key events (field3), ORed with bits of the key's lParam.
enum : int32_t {
  key_shift = 1,
  key_lshift = 2,
  key_ctrl = 4,
  key_lctrl = 8,
  key_alt = 16,
  key_lalt = 32,
  key_capslock = 64,
};

// XOpenDisplay, tried again for a while when the server refuses (an X server resets when its
// last client leaves, and refuses connections meanwhile). Returns a Display* or null.
void* open_display(const char* name);

// Scales a window position into the device rectangle: left + x * width / client width (the
// device rectangle's left when the client width is 0), likewise for y.
int32_t scale_coordinate(int32_t v, int32_t client, int32_t rect_lo, int32_t rect_hi);

class X11Window {
 public:
  struct callbacks {
    // The rectangle mouse positions are scaled into.
    std::function<qar::Rect()> device_rect;
    // F11 was pressed.
    std::function<void()> toggle_request;
    // The window was unmapped (minimised) or mapped again.
    std::function<void(bool mapped)> mapped;
  };

  // Opens its own connection to `display_name` (empty: $DISPLAY). Adopts `host` when it is a
  // window there, else creates a window of width x height. Check ok() afterwards.
  X11Window(const std::string& display_name, uintptr_t host, int32_t width, int32_t height,
            callbacks cb);
  ~X11Window();
  X11Window(const X11Window&) = delete;
  X11Window& operator=(const X11Window&) = delete;

  bool ok() const { return window_ != 0; }
  uintptr_t window() const { return window_; }
  bool adopted() const { return adopted_; }
  // Client size as last reported by the server.
  int32_t client_width() const { return client_w_.load(); }
  int32_t client_height() const { return client_h_.load(); }
  // Screen metrics: pixels and millimetres.
  void screen_metrics(int32_t& w, int32_t& h, int32_t& wmm, int32_t& hmm) const;

  // Window thread work: resizes the client area, and enters or leaves full screen through the
  // window manager (_NET_WM_STATE_FULLSCREEN). Returns false when the server refuses.
  bool apply_mode(int32_t width, int32_t height, bool fullscreen);

 private:
  void run();
  void handle(void* xevent);

  void* dpy_ = nullptr;      // Display* of the event thread
  void* ctl_dpy_ = nullptr;  // Display* for mode changes (window thread)
  std::mutex ctl_mutex_;
  uintptr_t window_ = 0;
  bool adopted_ = false;
  long old_mask_ = 0;
  callbacks cb_;
  std::atomic<int32_t> client_w_{0}, client_h_{0};
  std::atomic<bool> stop_{false};
  int wake_fd_[2] = {-1, -1};
  std::thread thread_;
  bool lshift_ = false, lctrl_ = false, lalt_ = false;
  bool pointer_inside_ = false;
};

}  // namespace gl
}  // namespace zel
