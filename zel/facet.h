// Facet: the engine's basic visual, an axis-aligned rectangle in screen pixels showing a texture
// (or a cropped part of it), tinted by a colour whose alpha is the facet's opacity, optionally
// masked by a second texture. Facets live in layers and are drawn by the render thread as a
// four-vertex triangle strip. Pictures larger than the screen go through the facet's
// fragmented texture.
//
// Screen pixels: x grows to the right and y downwards from the top-left corner of the output;
// a facet at (left, top) of size w x h covers exactly the pixels left..left+w-1, top..top+h-1.
//
// Thread safety: every operation takes the facet's own lock, so setters, free_resources and
// render never race. Textures are made and released outside the lock; the vertex buffer is
// rewritten only on the render thread (geometry changes mark it pending). The hooks
// on_topleft_change, on_size_change, on_visible_change and on_depth_change run without the lock.
#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "qar/rect.h"
#include "qar/self_allocate.h"
#include "zel/font.h"
#include "zel/renderable.h"

namespace zel {

class BitmapImage;
class FragTexture;
class Texture;
class VertexBuffer;
class Layer;
struct layer_watch;

// One facet's quad as a layer draws it in a batch with its neighbours.
struct FacetQuad {
  struct Vertex {
    float x, y, z;
    uint32_t diffuse;
    float u, v;
  };
  std::shared_ptr<Texture> texture;
  bool blend = false;
  Vertex v[4];  // top-left, top-right, bottom-left, bottom-right
};

class Facet : public Renderable, public qar::self_allocate {
 public:
  Facet();
  // Copies every field and shares the texture and the mask; the copy gets a vertex buffer and a
  // fragmented texture of its own (they describe where it is drawn).
  Facet(const Facet& other);
  Facet& operator=(const Facet& other);
  ~Facet() override;

  // Renderable
  void render(RenderDevice& device) override;
  // True when `other` (a facet) lies behind this one: deeper layer, or same layer and put
  // earlier. False for renderables that are not facets.
  bool is_deep(const Renderable& other) const override;

  // Opacity in percent 0..100 (clamped), stored as alpha 0..255: set_alpha(50) makes
  // get_alpha() 127. The percentage pair is set_alpha / get_alpha_percent, the 0..255 pair
  // set_alpha_value / get_alpha.
  virtual void set_alpha(int32_t percent);
  // Opacity as alpha 0..255, the unit get_alpha returns.
  void set_alpha_value(uint8_t alpha);
  // Releases the mask, the texture and the vertex buffer and resets the fragmented texture; the
  // facet draws nothing until a new texture is put.
  virtual void free_resources();
  virtual void* get_window() { return nullptr; }
  // Alpha (0..255) under facet pixel (x, y), x and y relative to the top-left corner.
  virtual int32_t test_alpha(int32_t x, int32_t y) const;
  // Puts the texture's picture on the clipboard; false when there is nothing to copy or it fails.
  virtual bool copy_to_clipboard() const;

  // Name.
  const std::u16string& get_name() const { return name_; }
  void set_name(const std::u16string& n);

  // Geometry (each does nothing when the value is unchanged).
  void set_topleft(int32_t x, int32_t y);
  void set_size(int32_t w, int32_t h);
  void set_width(int32_t w);
  void set_height(int32_t h);
  int32_t get_top() const;
  int32_t get_left() const;
  int32_t get_width() const;
  int32_t get_height() const;
  // (width, height).
  std::pair<int32_t, int32_t> get_size() const;
  // (top, left): top first, while set_topleft takes x (left) first. get_position is the
  // accessor that matches set_topleft.
  std::pair<int32_t, int32_t> get_topleft() const;
  // (x, y) = (left, top), the order set_topleft and set_position take.
  std::pair<int32_t, int32_t> get_position() const;
  void set_position(int32_t x, int32_t y) { set_topleft(x, y); }
  void set_visible(bool v);
  bool get_visible() const;
  int32_t get_depth() const { return depth_.load(); }
  int32_t get_order() const { return order_.load(); }
  // Accepted and ignored.
  void horizontal_stretch(float) {}
  void vertical_stretch(float) {}
  // Visible, and left <= x <= left + width and top <= y <= top + height (edges included).
  bool is_inside(int32_t x, int32_t y) const;

  // Texture and picture.
  // Shows `tex` (ignored while a video stream feeds the fragmented texture). With `resize` the
  // facet takes the picture's size. The crop becomes the whole picture.
  void put_texture(std::shared_ptr<Texture> tex, bool resize);
  // Shows a picture: through the fragmented texture when it is larger than the screen, else as
  // one texture. False (nothing changes) when no texture could be made.
  bool put_image(std::shared_ptr<BitmapImage> img, bool resize);
  // Swaps in a texture redrawn at the same size (size, crop and coordinates kept).
  void refresh_texture(std::shared_ptr<Texture> tex);
  std::shared_ptr<Texture> get_texture() const;
  // Bit 1 repeats the picture vertically, bit 2 horizontally, over a facet larger than it.
  void set_texture_sizing(int32_t s);
  int32_t get_texture_sizing() const;
  std::shared_ptr<FragTexture> get_frag() const { return frag_; }
  // The fragmented texture's Update(): makes `tex` the texture without touching the geometry.
  void set_frag_texture(std::shared_ptr<Texture> tex);

  // Crop in picture pixels.
  void crop(int32_t x, int32_t y, int32_t w, int32_t h);
  void crop(const qar::Rect& r);
  void crop_rect(qar::Rect& r) const;
  void clear_crop();
  bool is_cropped() const;

  // Appearance.
  void set_bkg_color(const ColorARGB& c);
  ColorARGB get_bkg_color() const;
  // Alpha 0..255 (not the percentage set_alpha takes).
  int32_t get_alpha() const;
  // The opacity in percent: set_alpha(p) gives back p.
  int32_t get_alpha_percent() const;
  // An empty image removes the mask. The mask is scaled over the picture shown (or the facet's
  // size without a texture); its alpha multiplies the facet's. False when no mask could be made.
  bool set_alpha_mask(std::shared_ptr<BitmapImage> img);
  std::shared_ptr<Texture> get_alpha_mask() const;

  // For layers that draw plain facets in batches: fills `q` with what render() would draw.
  // Returns 2 when `q` was filled, 1 when there is nothing to draw, 0 when the facet must be
  // drawn by render() (a mask or a fragmented texture in use).
  int collect_quad(FacetQuad& q);

  // Texture coordinates (u_l, v_t, u_r, v_b) as last computed.
  void get_uv(float& u_l, float& v_t, float& u_r, float& v_b) const;

 protected:
  virtual void on_topleft_change() {}
  virtual void on_size_change() {}
  virtual void on_visible_change() {}
  virtual void on_depth_change() {}

  // Caller holds mutex_.
  void calc_uv();
  void update_vertex_buffer(RenderDevice& device);
  void push_geometry();

  mutable std::mutex mutex_;

 private:
  friend class Layer;
  // Written by the layer.
  void set_depth_order(int32_t depth, int32_t order);
  void set_order(int32_t order) { order_.store(order, std::memory_order_relaxed); }
  void set_depth(int32_t depth) { depth_.store(depth, std::memory_order_relaxed); }
  void notify_depth_change() { on_depth_change(); }
  void put_texture_locked(std::shared_ptr<Texture> tex, bool resize, bool via_frag,
                          std::shared_ptr<Texture>& old);
  bool set_size_locked(int32_t w, int32_t h);
  // After the crop changed: remakes the fragment texture when asked, then the coordinates.
  void after_crop_change(bool remake_fragment);

  std::u16string name_ = u"noname";
  int32_t texture_sizing_ = 0;
  bool visible_ = true;
  int32_t top_ = 0;
  int32_t left_ = 0;
  int32_t width_ = 0;
  int32_t height_ = 0;
  float u_l_ = 0.0f, v_t_ = 0.0f, u_r_ = 1.0f, v_b_ = 1.0f;
  ColorARGB bkg_{255, 255, 255, 255};
  std::atomic<int32_t> depth_{-1};
  std::atomic<int32_t> order_{0};
  // The layer that numbered this facet last, told of its order index when the facet goes.
  std::weak_ptr<layer_watch> layer_watch_;
  int32_t crop_x_ = 0, crop_y_ = 0, crop_w_ = 0, crop_h_ = 0;
  std::shared_ptr<VertexBuffer> vb_;
  // Read without the lock by get_texture() (pictures refresh their facet's texture while
  // holding their own lock); always accessed through std::atomic_load / atomic_store.
  std::shared_ptr<Texture> texture_;
  std::shared_ptr<Texture> mask_;
  std::shared_ptr<FragTexture> frag_;
  bool vertices_pending_ = true;
  bool cropped_ = false;
};

}  // namespace zel
