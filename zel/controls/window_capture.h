// Capturing another program's window into a windowed facet (no window-system types here: the
// portable core includes this). The capture runs a thread of its own, on its own connection,
// and hands each new picture of the window to `frame` on that thread; `gone` is called there
// once when the window is destroyed or unmapped (the capture then stops and the last picture
// stays). Input for the window is sent to it as synthetic events.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>

namespace zel {

class zel_event;

class WindowCapture {
 public:
  // A picture: `height` rows of 32-bit BGRX pixels, `stride` pixels apart.
  using frame_fn =
      std::function<void(const uint32_t* bgrx, int32_t width, int32_t height, int32_t stride)>;
  using gone_fn = std::function<void()>;

  // Stops the thread and gives the window back as it was (redirection, input shape, position).
  virtual ~WindowCapture() = default;
  virtual uint64_t window() const = 0;
  // The window's size when the capture started.
  virtual std::pair<int32_t, int32_t> initial_size() const = 0;
  // False once the window went away or the connection broke.
  virtual bool alive() const = 0;
  // Resizes the window (its picture follows).
  virtual void resize(int32_t width, int32_t height) = 0;
  // Sends a mouse or key event (position relative to the window) to it; false when it cannot.
  virtual bool send_input(const zel_event& local) = 0;
};

// The X11 capture of `window`; null when it cannot be captured (no display, no Composite,
// DAMAGE or XFIXES extension, a bad window). Defined by the X11 capture backend.
std::unique_ptr<WindowCapture> make_x11_capture(uint64_t window, WindowCapture::frame_fn frame,
                                                WindowCapture::gone_fn gone);

}  // namespace zel
