// FragTexture: shows a picture larger than the screen on a facet. Instead of uploading the whole
// picture it keeps one texture no larger than the screen (or the facet's crop rectangle),
// rounded up to powers of two, and fills it with the part of the picture that falls on the
// screen, scaled to the facet's size. When the facet moves, the texture is refilled.
//
// Every facet owns one; it is in use only while the facet shows such a picture. A video stream
// may feed frames through it from its own thread: it sets the streaming flag, holds the lock
// flag while it writes a frame into the image, then calls set_image() and Update().
//
// Thread safety: every operation takes the object's own lock; the facet calls in with its own
// lock held (facet, then fragment). Textures are never created with the lock held.
#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "qar/rect.h"

namespace zel {

class BitmapImage;
class Facet;
class Texture;

class FragTexture {
 public:
  FragTexture();
  explicit FragTexture(Facet* owner);
  // Memberwise: the copy shares the image; set_fc() gives it its own owner.
  FragTexture(const FragTexture& other);
  FragTexture& operator=(const FragTexture& other);
  ~FragTexture();

  void set_fc(Facet* owner);

  bool used() const;
  bool updated() const;
  // Used and not updated: the next render refills the texture.
  bool ndupdate() const;
  void set_updated(bool u);
  // Lock flag: set by a producer thread while it writes into the image.
  bool is_lock() const { return locked_.load(); }
  void lock(bool l) { locked_.store(l); }
  // Set by a video stream while it feeds frames; the facet then ignores put_texture.
  bool streaming() const { return streaming_.load(); }
  void set_streaming(bool s) { streaming_.store(s); }

  int32_t tx_width() const;
  int32_t tx_height() const;
  int32_t im_width() const;
  int32_t im_height() const;
  std::shared_ptr<BitmapImage> image() const;

  // Whether a w x h picture goes through fragments on the current device: when it is wider or
  // taller than the device by more than a pixel, or has more pixels than the device.
  bool need_to_use(int64_t w, int64_t h) const;
  // Takes the picture. Same size as the one held: swapped in, texture kept, refilled at the next
  // render. Otherwise a new texture is made into `tex`. False when no texture could be made.
  bool set_image(std::shared_ptr<BitmapImage> img, std::shared_ptr<Texture>& tex);
  // Makes the texture for the current fragment rectangle into `tex`; false on failure.
  bool reset_image(std::shared_ptr<Texture>& tex);

  // Fills the texture with what the owner shows on the screen.
  void get_tex(std::shared_ptr<Texture>& tex);
  // Fills the texture so that its origin lies at facet pixel (x, y) of `f` (the owner when null).
  void get_tex(std::shared_ptr<Texture>& tex, int32_t x, int32_t y, Facet* f = nullptr);
  // Texture coordinates of the facet's corners (the facet's screen rectangle over the texture
  // size); clears the updated flag.
  void update_uv(float& u_l, float& v_t, float& u_r, float& v_b, Facet* f = nullptr);
  // Keeps the owner at least one pixel on the device.
  void fix_move(int32_t& x, int32_t& y);
  // Alpha of picture pixel (x, y): 255 for formats without alpha or without a picture, 0 for a
  // point outside the picture.
  int32_t get_alpha(int32_t x, int32_t y) const;
  // Refills `tex` and makes it the owner's texture (for the video path).
  void Update(std::shared_ptr<Texture>& tex);
  // The owner moved or was resized: an uncropped fragment follows the device rectangle.
  void OnPosChange();
  // Not used any more: picture released, scales 1.
  void reset();

  // The fragment rectangle: the device rectangle, or the crop rectangle after crop().
  qar::Rect fragment_rect() const;
  // True while the fragment rectangle is a crop rectangle other than the device rectangle.
  bool fragment_differs() const;
  void set_fragment(const qar::Rect& r);
  void clear_fragment();

  // The owner's geometry as the owner last reported it (kept here so that this object never
  // needs the owner's lock).
  void set_owner_geometry(int32_t left, int32_t top, int32_t width, int32_t height);

  float scale_x() const;
  float scale_y() const;

 private:
  struct Geometry {
    int32_t left = 0, top = 0, width = 0, height = 0;
  };
  static qar::Rect device_rect();
  qar::Rect fragment_rect_locked() const;
  bool fragment_differs_locked() const;
  Geometry geometry_of(Facet* f) const;
  void get_tex_locked(std::shared_ptr<Texture>& tex, int32_t x, int32_t y, const Geometry& g);

  mutable std::recursive_mutex mutex_;
  std::atomic<bool> streaming_{false};
  bool updated_ = true;
  std::shared_ptr<BitmapImage> image_;
  float scale_x_ = 1.0f;
  float scale_y_ = 1.0f;
  bool used_ = false;
  Facet* facet_ = nullptr;
  int32_t tx_width_ = 0;
  int32_t tx_height_ = 0;
  std::atomic<bool> locked_{false};
  // The crop rectangle while `cropped_`; the live device rectangle otherwise.
  qar::Rect fragment_;
  bool cropped_ = false;
  Geometry owner_;
};

}  // namespace zel
