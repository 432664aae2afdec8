// The library's entry points.
#pragma once
#include <cstdint>

// How the engine shows its frames. ZEL_HEADLESS in the environment overrides the host's choice:
// "1" renders headless, "0" shows frames (where an X display can be opened).
enum zelDisplayMode : int32_t {
  // Frames are drawn off screen only; the host reads them back (RenderDevice::read_frame,
  // save_frame_png). No window is opened, even where a display is available.
  zel_display_headless = 0,
  // Frames are shown: in the host's window, or without one in a window the engine opens itself.
  // Where no X display can be opened the engine renders headless instead.
  zel_display_window = 1,
};

struct zelInitOptions {
  // The host's main X11 window (a Window id cast to a pointer), or null.
  void* host_window = nullptr;
  zelDisplayMode display = zel_display_headless;
};

// Called by the host on its GUI thread before any other use of the engine: creates the engine
// context, discovers the plug-ins and makes the calling thread the GUI thread of the dispatcher
// (zel/gui_dispatcher.h). A null `options` means the defaults (no host window, headless).
extern "C" void zelInitEx(const zelInitOptions* options);
// zelInitEx with `host_window`: frames are shown in that window, or, when it is null, the engine
// renders headless.
extern "C" void zelInit(void* host_window);
// Called by the host on its GUI thread when it is done with the engine: detaches the dispatcher
// (queued work is withdrawn), stops every render manager's thread and waits until it is gone
// (one only killed, or one whose object its own thread destroyed, included), lets a render
// manager that lives on drop its device (its window and event thread go with it), stops the
// clipboard's thread, releases the media-stream and image-decoder plug-ins and destroys the
// context. The host may return from main as soon as it returns.
extern "C" void zelUninit();
