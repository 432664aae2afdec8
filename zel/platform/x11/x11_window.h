// The X11 side of the GUI dispatcher: window creation on the engine's own X connection.
// Called on the GUI thread only. (No X11 types here: the portable core includes this.)
#pragma once
#include <cstdint>

#include "zel/gui_dispatcher.h"

namespace zel {
namespace x11 {

// True when DISPLAY names a display (set and not empty).
bool display_configured();
// Creates a window as a child of params.parent, else of `host_window`, else of the root
// window. Returns its id, or 0 (no display, a bad parent ...).
uint64_t create_child_window(uint64_t host_window, const gui::create_window_params& params);
bool destroy_window(uint64_t window);
// Closes the engine's X connection; the windows made on it go with it.
void close_display();

}  // namespace x11
}  // namespace zel
