// What the GUI dispatcher needs from the window system: child windows on the engine's own
// connection, a URL handed to the desktop, and closing it all. Called on the GUI thread.
// (No window-system types here: the portable core includes this.)
#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "zel/gui_dispatcher.h"

namespace zel {
namespace platform {

class WindowSystem {
 public:
  virtual ~WindowSystem() = default;
  // Creates a window as a child of params.parent, else of `host_window`, else of the desktop.
  // Its id, or 0 (no display, a bad parent ...).
  virtual uint64_t create_child_window(uint64_t host_window,
                                       const gui::create_window_params& params) = 0;
  virtual bool destroy_window(uint64_t window) = 0;
  // A top-level window whose WM_CLASS (instance or class name) is `class_name`, searched
  // among the root window's children and their children; 0 when none.
  virtual uint64_t find_window(const std::string& class_name) = 0;
  // Hands the URL (UTF-8) to the desktop's browser; false when that could not be started.
  virtual bool open_url(const std::string& url) = 0;
  // Closes the engine's connection; the windows made on it go with it. Later calls open a new one.
  virtual void close() = 0;
};

// The window system of this process.
WindowSystem& window_system();

// The X11 window system (zel/platform/x11/child_windows.cpp).
std::unique_ptr<WindowSystem> make_x11_window_system();

// Starts `xdg-open url` in the background; false when the shell could not be started.
bool xdg_open(const std::string& url);

}  // namespace platform
}  // namespace zel
