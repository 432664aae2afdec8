// Layer: one depth plane of the scene. It keeps its facets in the order they were put (a later
// facet lies over an earlier one) and holds them weakly: a facet whose owner lets go disappears
// from the layer by itself. Besides facets a layer can draw other renderables (line primitives,
// 3D objects); those it keeps alive until they are deleted or the layer is cleared. Facets and
// other renderables are drawn together in the order they were put.
//
// Thread safety: every operation takes the layer's lock (render and notification on the render
// thread; put, delete, clear and hit tests from any thread). A facet put during a frame is drawn
// from the next frame on.
#pragma once
#include <atomic>
#include <cstdint>
#include <deque>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "qar/lockable.h"

namespace zel {

class Facet;
class Renderable;
class RenderDevice;
class VertexBuffer;
class notification_event;

// Shared by a layer and the facets it numbered: a facet that goes reports its order index, so
// that the layer's next put renumbers only the facets from there on.
struct layer_watch {
  std::atomic<int32_t> first_gone{std::numeric_limits<int32_t>::max()};
  void gone(int32_t order) {
    int32_t cur = first_gone.load();
    while (order < cur && !first_gone.compare_exchange_weak(cur, order)) {
    }
  }
};

class Layer : public qar::lockable<> {
 public:
  explicit Layer(int32_t depth);
  Layer(int32_t depth, const std::u16string& name);
  virtual ~Layer();

  int32_t get_depth() const;
  // Stores the depth and writes it into every live facet; does not move the layer within the
  // render manager's list.
  void set_depth(int32_t d);
  std::u16string get_name() const;
  void set_name(const std::u16string& name);
  // Stored for the host; not applied by the layer's rendering.
  uint8_t get_alpha() const;
  void set_alpha(uint8_t a);
  uint32_t get_colorkey() const;
  void set_colorkey(uint32_t key);

  // The live facets in drawing order (first = bottom).
  std::vector<std::shared_ptr<Facet>> get_list() const;
  // Number of entries, including those whose facet has gone but is not yet dropped.
  size_t size() const;

  // Appends `f` (drawn on top of what is there), gives it the layer's depth and renumbers the
  // live facets 0, 1, 2, ... An empty pointer is ignored. Amortised constant time: only the
  // facets after the first one that went since the last put get a new number.
  void put_facet(std::shared_ptr<Facet> f);
  // Removes the first entry of `f`; the other facets keep their order indices.
  void del_facet(std::shared_ptr<Facet> f);
  // Appends another renderable (kept alive by the layer).
  void put_renderable(std::shared_ptr<Renderable> r);
  void del_renderable(std::shared_ptr<Renderable> r);

  // Draws every live entry in order; an entry that throws does not stop the others. Runs of
  // plain facets sharing a texture and blending are drawn with one call.
  void render(RenderDevice& device);
  // Hands the notification to every live entry in order.
  void on_notification(const notification_event* ev);
  // Releases the device resources of every live facet and empties the layer.
  void clear();
  // The visible facet drawn on top at (x, y), or empty.
  std::shared_ptr<Facet> get_facet_under(int32_t x, int32_t y) const;

  bool operator<(const Layer& o) const { return get_depth() < o.get_depth(); }
  bool operator==(const Layer& o) const { return get_depth() == o.get_depth(); }
  bool operator!=(const Layer& o) const { return !(*this == o); }
  bool operator>(const Layer& o) const { return o < *this; }
  bool operator<=(const Layer& o) const { return !(o < *this); }
  bool operator>=(const Layer& o) const { return !(*this < o); }

 protected:
  void init(int32_t depth, std::u16string name, uint32_t colorkey, uint8_t alpha);

 private:
  struct Entry {
    std::weak_ptr<Facet> facet;
    std::shared_ptr<Renderable> other;
    // The order index given to the facet when it was numbered; for another renderable, the
    // index the next facet gets. Never decreases along the list.
    int32_t order = 0;
    bool alive() const { return other || !facet.expired(); }
  };
  void drop_dead_locked();
  // Drops the dead entries from the first whose order index is `from` on and numbers the live
  // facets from there: the facets before it are numbered 0 .. from - 1 without a gap.
  void renumber_from_locked(int32_t from);

  std::atomic<int32_t> depth_{0};  // read without the lock (the render manager sorts by it)
  uint32_t colorkey_ = 0;
  uint8_t alpha_ = 255;
  std::u16string name_;
  // A deque: growing it never moves the entries, and a big scene is built without reallocating.
  std::deque<Entry> entries_;
  // Facets are numbered 0 .. next_order_ - 1, except for the gaps left by facets that went: the
  // lowest of those is the smaller of first_gap_ (deleted or dropped here) and watch_'s
  // first_gone (reported by a facet's destructor).
  int32_t next_order_ = 0;
  int32_t first_gap_ = std::numeric_limits<int32_t>::max();
  std::shared_ptr<layer_watch> watch_ = std::make_shared<layer_watch>();
  // The vertices of the batched facets (render thread only).
  std::shared_ptr<VertexBuffer> batch_vb_;
};

}  // namespace zel
