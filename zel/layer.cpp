#include "zel/layer.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <typeinfo>

#include "qar/trace.h"
#include "zel/events.h"
#include "zel/facet.h"
#include "zel/render_device.h"
#include "zel/renderable.h"

namespace zel {

Layer::Layer(int32_t depth) {
  init(depth, std::u16string(), 0, 255);
}

Layer::Layer(int32_t depth, const std::u16string& name) {
  init(depth, name, 0, 255);
}

Layer::~Layer() = default;

void Layer::init(int32_t depth, std::u16string name, uint32_t colorkey, uint8_t alpha) {
  // Called by the constructors: nothing else can see the layer yet.
  depth_.store(depth);
  colorkey_ = colorkey;
  alpha_ = alpha;
  if (name.empty()) {
    std::string d = std::to_string(depth);
    name.assign(d.begin(), d.end());
  }
  name_ = std::move(name);
}

int32_t Layer::get_depth() const {
  return depth_.load();
}

void Layer::set_depth(int32_t d) {
  qar::lock_it lk(*this);
  depth_.store(d);
  for (auto& e : entries_)
    if (auto f = e.facet.lock()) f->set_depth(d);
}

std::u16string Layer::get_name() const {
  qar::lock_it lk(*this);
  return name_;
}

void Layer::set_name(const std::u16string& name) {
  qar::lock_it lk(*this);
  name_ = name;
}

uint8_t Layer::get_alpha() const {
  qar::lock_it lk(*this);
  return alpha_;
}

void Layer::set_alpha(uint8_t a) {
  qar::lock_it lk(*this);
  alpha_ = a;
}

uint32_t Layer::get_colorkey() const {
  qar::lock_it lk(*this);
  return colorkey_;
}

void Layer::set_colorkey(uint32_t key) {
  qar::lock_it lk(*this);
  colorkey_ = key;
}

std::vector<std::shared_ptr<Facet>> Layer::get_list() const {
  qar::lock_it lk(*this);
  std::vector<std::shared_ptr<Facet>> out;
  out.reserve(entries_.size());
  for (auto& e : entries_)
    if (auto f = e.facet.lock()) out.push_back(std::move(f));
  return out;
}

size_t Layer::size() const {
  qar::lock_it lk(*this);
  return entries_.size();
}

namespace {

// Guards a facet's layer_watch_ when two layers put the same facet at once. A small pool of locks
// that stay in the cache, rather than the facet's own lock: building a big scene touches as
// little of each facet as it can.
std::mutex& watch_lock(const Facet* f) {
  static std::mutex pool[16];
  return pool[(reinterpret_cast<uintptr_t>(f) >> 6) % 16];
}

}  // namespace

void Layer::drop_dead_locked() {
  auto dead = [this](const Entry& e) {
    if (e.alive()) return false;
    first_gap_ = std::min(first_gap_, e.order);
    return true;
  };
  entries_.erase(std::remove_if(entries_.begin(), entries_.end(), dead), entries_.end());
}

void Layer::renumber_from_locked(int32_t from) {
  auto it = std::lower_bound(entries_.begin(), entries_.end(), from,
                             [](const Entry& e, int32_t o) { return e.order < o; });
  int32_t n = from;
  auto out = it;
  for (; it != entries_.end(); ++it) {
    if (it->other) {
      it->order = n;
    } else if (auto f = it->facet.lock()) {
      f->set_order(n);
      it->order = n++;
    } else {
      continue;
    }
    if (out != it) *out = std::move(*it);
    ++out;
  }
  entries_.erase(out, entries_.end());
  next_order_ = n;
}

void Layer::put_facet(std::shared_ptr<Facet> f) {
  if (!f) return;
  {
    qar::lock_it lk(*this);
    // A plain load first: the exchange waits for every store before it, and nothing went in
    // the common case.
    int32_t from = first_gap_;
    if (watch_->first_gone.load(std::memory_order_relaxed) != std::numeric_limits<int32_t>::max())
      from = std::min(from, watch_->first_gone.exchange(std::numeric_limits<int32_t>::max()));
    first_gap_ = std::numeric_limits<int32_t>::max();
    if (from < next_order_) renumber_from_locked(from);
    const int32_t order = next_order_++;
    entries_.push_back(Entry{f, nullptr, order});
    f->set_depth(depth_.load());
    f->set_order(order);
    std::lock_guard<std::mutex> g(watch_lock(f.get()));
    f->layer_watch_ = watch_;
  }
  // Derived facets may call back into the layer from the hook: run it without the lock.
  f->notify_depth_change();
}

void Layer::del_facet(std::shared_ptr<Facet> f) {
  if (!f) return;
  qar::lock_it lk(*this);
  for (auto it = entries_.begin(); it != entries_.end(); ++it) {
    if (!it->other && it->facet.lock() == f) {
      first_gap_ = std::min(first_gap_, it->order);
      entries_.erase(it);
      std::lock_guard<std::mutex> g(watch_lock(f.get()));
      if (f->layer_watch_.lock() == watch_) f->layer_watch_.reset();
      return;
    }
  }
}

void Layer::put_renderable(std::shared_ptr<Renderable> r) {
  if (!r) return;
  if (auto f = std::dynamic_pointer_cast<Facet>(r)) {
    put_facet(std::move(f));
    return;
  }
  qar::lock_it lk(*this);
  entries_.push_back(Entry{std::weak_ptr<Facet>(), std::move(r), next_order_});
}

void Layer::del_renderable(std::shared_ptr<Renderable> r) {
  if (!r) return;
  if (auto f = std::dynamic_pointer_cast<Facet>(r)) {
    del_facet(std::move(f));
    return;
  }
  std::shared_ptr<Renderable> keep;
  qar::lock_it lk(*this);
  for (auto it = entries_.begin(); it != entries_.end(); ++it) {
    if (it->other == r) {
      keep = std::move(it->other);
      entries_.erase(it);
      return;
    }
  }
}

void Layer::render(RenderDevice& device) {
  // What to draw, in order: a run of batched quads or one renderable drawn by itself. The list
  // is taken under the layer's lock and drawn without it: each facet has a lock of its own, and
  // puts and deletes need not wait for the device.
  struct Item {
    std::shared_ptr<Renderable> r;
    std::shared_ptr<Texture> texture;
    bool blend = false;
    int32_t first = 0, count = 0;  // vertices of the run
  };
  std::vector<Item> items;
  std::vector<FacetQuad::Vertex> verts;
  {
    qar::lock_it lk(*this);
    drop_dead_locked();
    FacetQuad q;
    for (auto& e : entries_) {
      if (e.other) {
        items.push_back(Item{e.other, nullptr, false, 0, 0});
        continue;
      }
      auto f = e.facet.lock();
      if (!f) continue;
      // Only facets drawn exactly as Facet::render draws them go into batches.
      int kind = 0;
      const Facet& facet = *f;
      if (typeid(facet) == typeid(Facet)) qar::guarded([&] { kind = f->collect_quad(q); });
      if (kind == 1) continue;
      if (kind == 0) {
        items.push_back(Item{std::move(f), nullptr, false, 0, 0});
        continue;
      }
      if (items.empty() || items.back().r || items.back().texture != q.texture ||
          items.back().blend != q.blend) {
        items.push_back(Item{nullptr, q.texture, q.blend, int32_t(verts.size()), 0});
      }
      // Two triangles: top-left, top-right, bottom-left; top-right, bottom-right, bottom-left.
      for (int i : {0, 1, 2, 1, 3, 2}) verts.push_back(q.v[i]);
      items.back().count += 6;
    }
  }
  if (!verts.empty()) {
    const uint32_t need = uint32_t(verts.size());
    if (!batch_vb_ || uint32_t(batch_vb_->get_ver_num()) < need) {
      uint32_t cap = 256;
      while (cap < need) cap *= 2;
      batch_vb_ = device.create_vertexbuffer(vt_position | vt_diffuse | vt_tex1, cap, 1);
    }
    void* mem = batch_vb_ ? batch_vb_->lock() : nullptr;
    if (mem) {
      std::memcpy(mem, verts.data(), verts.size() * sizeof(FacetQuad::Vertex));
      batch_vb_->unlock();
    } else {
      batch_vb_.reset();
    }
  }
  for (auto& it : items) {
    if (it.r) {
      qar::guarded([&] { it.r->render(device); });
      continue;
    }
    if (!batch_vb_) continue;
    qar::guarded([&] {
      if (it.blend) device.set_state(RenderDevice::ds_alpha_blend, 1);
      device.set_texture(0, it.texture);
      device.set_vertex(0, batch_vb_);
      device.render_primitive(zrp_triangle_list, it.first, it.count / 3);
      if (it.blend) device.set_state(RenderDevice::ds_alpha_blend, 0);
    });
  }
}

void Layer::on_notification(const notification_event* ev) {
  std::vector<std::shared_ptr<Facet>> hold;
  qar::lock_it lk(*this);
  drop_dead_locked();
  for (auto& e : entries_) {
    Renderable* r = e.other.get();
    if (!r) {
      auto f = e.facet.lock();
      if (!f) continue;
      r = f.get();
      hold.push_back(std::move(f));
    }
    qar::guarded([&] { r->on_notification(ev); });
  }
}

void Layer::clear() {
  std::deque<Entry> old;
  {
    qar::lock_it lk(*this);
    old.swap(entries_);
    next_order_ = 0;
    first_gap_ = std::numeric_limits<int32_t>::max();
    watch_ = std::make_shared<layer_watch>();
    // Each facet releases its resources under its own lock, never while it is being drawn.
    for (auto& e : old)
      if (auto f = e.facet.lock()) f->free_resources();
  }
  // Renderables the layer kept alive go now, outside the lock.
}

std::shared_ptr<Facet> Layer::get_facet_under(int32_t x, int32_t y) const {
  qar::lock_it lk(*this);
  for (auto it = entries_.rbegin(); it != entries_.rend(); ++it) {
    if (it->other) continue;
    auto f = it->facet.lock();
    if (f && f->is_inside(x, y)) return f;
  }
  return nullptr;
}

}  // namespace zel
