// The windowed facets' input router. It sees the device window's input on the device's event
// thread ahead of the host's handler (set_input_filter):
//  - a mouse event goes to the windowed facet under its (device-scaled) point, its position
//    made relative to the facet and clamped into it; a button press keeps its facet until the
//    release, wherever the pointer goes; crossing from one facet to another sends the old one
//    wm_mouseleave;
//  - a press on a facet that takes the focus focuses it, a press elsewhere takes the focus away;
//  - keys go to the focused facet while it is visible;
//  - an event a facet takes never reaches the host; everything else does, and so does every
//    event while no render manager is there to find the facet under the pointer.
// Focus changes reach the facets on the GUI thread (on_focus), in order with their input.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>

namespace zel {

class Facet;
class WindowedFacet;
class zel_event;

class InputRouter {
 public:
  static InputRouter& instance();

  // Puts the router ahead of the host's input handler (once).
  void install();
  // True when the event was taken by a windowed facet.
  bool route(const zel_event& ev);

  // Gives the focus to `f` (null: to nobody). The facets hear of it on the GUI thread.
  void set_focus(const std::shared_ptr<WindowedFacet>& f);
  std::shared_ptr<WindowedFacet> focused() const;
  // The facet went away or was hidden: it loses the focus (told so when `notify`), its press
  // and its hover.
  void release(const WindowedFacet* f, bool notify);

  // Where the facet under a point comes from: false when nothing can tell (the default asks the
  // engine's render manager, false without one).
  using hit_test = std::function<bool(int32_t x, int32_t y, std::shared_ptr<Facet>& out)>;
  void set_hit_test(hit_test h);

 private:
  InputRouter() = default;
  bool find(int32_t x, int32_t y, std::shared_ptr<Facet>& out);

  mutable std::mutex m_;
  bool installed_ = false;
  hit_test hit_;
  std::weak_ptr<WindowedFacet> focus_, press_, hover_;
};

}  // namespace zel
