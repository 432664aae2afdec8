// WindowedFacet: a facet whose picture comes from a window-like source outside the render
// thread: the engine's own controls paint into its memory bitmap in on_paint (on the GUI thread),
// a captured X window is copied into it by a capture thread. Each finished frame is copied into
// the back one of two textures ("WFacet::_texture1"); the render thread's update() swaps the
// two and shows the new front one.
//
// The memory bitmap is 32-bit BGRX (bytes blue, green, red, unused), top-down rows of
// width * 4 bytes.
//
// Locking: the bitmap, both textures and the new-frame flag share one lock. A writer (painter,
// capture) waits for it, so its newest frame is never dropped; the render thread only tries it
// and otherwise keeps showing the last frame. A resize remakes bitmap and textures together
// under the lock, keeping the overlapping pixels and clearing the rest.
//
// Sizes are capped at kMaxSide (the largest texture side the devices accept); a larger facet
// is traced and clipped. No hook throws.
//
// Input: the windowed-facet router (input_router.h) hands this facet the mouse events over it
// and the keys while it has the focus, through route_input() on the device's event thread. The
// default delivery posts them in order to the GUI thread, where on_mouse / on_key / on_focus run.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "zel/events.h"
#include "zel/facet.h"
#include "zel/renderable.h"

namespace zel {

class Texture;
class WindowCapture;

// A view of a BGRX bitmap.
struct BitmapView {
  uint32_t* pixels = nullptr;  // 0xXXRRGGBB values, row after row
  int32_t width = 0;
  int32_t height = 0;
  int32_t stride = 0;  // in pixels
  uint32_t* row(int32_t y) const { return pixels + ptrdiff_t(y) * stride; }
};

class WindowedFacet : public virtual Facet,
                      public Updatable,
                      public std::enable_shared_from_this<WindowedFacet> {
 public:
  static constexpr int32_t kMaxSide = 8192;

  WindowedFacet();
  ~WindowedFacet() override;
  WindowedFacet(const WindowedFacet&) = delete;
  WindowedFacet& operator=(const WindowedFacet&) = delete;

  // Remakes the bitmap and the two textures for the facet's size (capped at kMaxSide). A facet
  // of width or height 0 gets a 2 x 2 bitmap and no textures.
  void adjust_drawing();
  // Runs `painter` on the bitmap under the lock, then copies the bitmap into the back texture
  // and marks a new frame. Waits for the lock.
  void paint_frame(const std::function<void(const BitmapView&)>& painter);
  // Copies the bitmap into the back texture and marks a new frame.
  void dib_to_backbuff();
  // Render thread: when a new frame is there (and the lock is free), swaps the textures and
  // shows the new front one.
  void update(uint64_t t) override;
  // Releases the bitmap (a 2 x 2 one stays).
  void free_res();
  // The facet's own release and both texture slots emptied, under the frame lock.
  void free_resources() override;

  // The bitmap's size (after capping).
  std::pair<int32_t, int32_t> bitmap_size() const;
  // A copy of the bitmap pixels (for inspection).
  std::vector<uint32_t> bitmap_copy() const;
  // Frames marked since construction.
  uint64_t frame_count() const;

  // Shows the X window `xid` in this facet: it is captured (see window_capture.h) and gets
  // the input routed here. A facet of size 0 takes the window's size; a later resize of the
  // facet resizes the window. Stops an earlier capture. False when it cannot be captured.
  bool attach_window(uint64_t xid);
  void detach_window();
  // The captured window (0: none) and whether its capture still runs.
  uint64_t attached_window() const;
  bool capture_alive() const;

  // Input, called by the router on the device's event thread with positions made relative to
  // the facet. True when the event was taken. The default posts it to the GUI thread.
  virtual bool route_input(const zel_event& local);
  // Whether a click gives this facet the keyboard focus: here, while it shows a window.
  virtual bool wants_focus() const { return attached_window() != 0; }
  // GUI thread: focus gained (true) or lost.
  virtual void on_focus(bool) {}

 protected:
  // Draws the content into the bitmap; GUI thread. Empty here.
  virtual void on_paint() {}
  // GUI thread: a mouse event (position relative to the facet, clamped into it) or a key.
  virtual void on_mouse(const mouse_event&) {}
  virtual void on_key(const key_event&) {}

  void on_size_change() override;
  void on_visible_change() override;

  // Registers with the render manager of the engine context when not registered yet.
  void ensure_registered();

 private:
  void copy_to_back_locked();
  std::shared_ptr<WindowCapture> capture() const;

  struct CaptureLink {
    std::mutex m;
    WindowedFacet* facet = nullptr;
  };
  mutable std::mutex capture_mutex_;
  std::shared_ptr<WindowCapture> capture_;
  std::shared_ptr<CaptureLink> link_;

  mutable std::mutex frame_mutex_;
  bool new_frame_ = false;
  std::atomic<uint64_t> frames_{0};  // read without the lock
  std::shared_ptr<Texture> slots_[2];
  int front_ = 0;  // index of the front slot
  std::vector<uint32_t> bitmap_;
  int32_t bw_ = 2, bh_ = 2;
};

}  // namespace zel
