// The device's window under X: the host's window (adopted: its input events are taken) or a
// window of the device's own. A thread of its own, on its own connection, turns the window's
// mouse and key events into host input (zel::deliver_input; codes in zel/events.h), text
// through the input method into wm_char, and F11 into a mode change.
//
// A renderer draws into window() through the connection of open_native_display.
// (No X11 types here: renderers include this.)
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "qar/rect.h"

namespace zel {
namespace x11 {

// A connection for a renderer (the native display of EGL's X11 platform) and its screen.
struct NativeDisplay {
  void* display = nullptr;  // Display*; null when no X display can be reached
  std::string name;
  int32_t width = 0, height = 0, depth = 0;
};
NativeDisplay open_native_display();
void close_native_display(void* display);
// True when the server has closed the native display's connection (checked without blocking
// and without reading from it).
bool native_display_closed(void* display);

// Scales a window position into the device rectangle: left + x * width / client width (the
// device rectangle's left when the client width is 0), likewise for y.
int32_t scale_coordinate(int32_t v, int32_t client, int32_t rect_lo, int32_t rect_hi);

class DeviceWindow {
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
  DeviceWindow(const std::string& display_name, uintptr_t host, int32_t width, int32_t height,
               callbacks cb);
  ~DeviceWindow();
  DeviceWindow(const DeviceWindow&) = delete;
  DeviceWindow& operator=(const DeviceWindow&) = delete;

  bool ok() const { return window_ != 0; }
  uintptr_t window() const { return window_; }
  bool adopted() const { return adopted_; }
  // False once the connection to the server is lost: no more input comes.
  bool alive() const { return !lost_.load(); }
  // Client size as last reported by the server.
  int32_t client_width() const { return client_w_.load(); }
  int32_t client_height() const { return client_h_.load(); }
  // Screen metrics: pixels and millimetres.
  void screen_metrics(int32_t& w, int32_t& h, int32_t& wmm, int32_t& hmm) const;

  // Resizes the client area, and enters or leaves full screen through the window manager
  // (_NET_WM_STATE_FULLSCREEN). Returns false when the server refuses or is gone.
  bool apply_mode(int32_t width, int32_t height, bool fullscreen);

 private:
  void open(const std::string& display_name, uintptr_t host, int32_t width, int32_t height);
  void open_input_method();
  void close_input_method();
  void run();
  void handle(void* xevent);
  void key(void* xevent);

  void* dpy_ = nullptr;      // Display* of the event thread
  void* ctl_dpy_ = nullptr;  // Display* for mode changes
  void* im_ = nullptr;       // XIM on dpy_
  void* ic_ = nullptr;       // XIC of the window
  std::mutex ctl_mutex_;
  uintptr_t window_ = 0;
  bool adopted_ = false;
  callbacks cb_;
  std::atomic<int32_t> client_w_{0}, client_h_{0};
  std::atomic<bool> stop_{false};
  std::atomic<bool> lost_{false};
  int wake_fd_[2] = {-1, -1};
  std::thread thread_;
  bool lshift_ = false, lctrl_ = false, lalt_ = false;
  bool pointer_inside_ = false;
};

}  // namespace x11
}  // namespace zel
