// MemoryTexture: a texture whose texels live in memory in the texture's own pixel format. Every
// device keeps such a copy (the OpenGL device uploads it, the software device composites from
// it), so loading, copying between textures, read-back and alpha queries are done once, here;
// a device hears of each change through `changed()`.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "zel/render_device.h"

namespace zel {

// The side a texture is allocated at: the next power of two.
int32_t texture_allocation_side(int32_t side);
// Whether texels of the format carry alpha.
bool format_has_alpha(uint32_t type);

class MemoryTexture : public Texture {
 public:
  // w2 x h2 texels allocated (powers of two), w x h of them in use.
  MemoryTexture(int32_t w2, int32_t h2, int32_t w, int32_t h, eTextureType type,
                bool render_target);

  bool load_image(std::shared_ptr<BitmapImage> image, const qar::Rect* src,
                  const qar::Rect* dst) override;
  bool load_texture(std::shared_ptr<Texture> texture, const qar::Rect* src,
                    const qar::Rect* dst) override;
  bool load_memory(const void* pixels, eTextureType type, int32_t width, int32_t height,
                   ptrdiff_t pitch, int32_t x, int32_t y, int32_t w, int32_t h) override;
  std::shared_ptr<BitmapImage> read_back(int32_t x, int32_t y, int32_t w, int32_t h) override;
  eTextureType pixel_type() const override { return type_; }
  int32_t alpha_at(int32_t x, int32_t y) override;

  bool is_render_target() const { return render_target_; }
  ptrdiff_t pitch() const { return pitch_; }

 protected:
  // The texels changed (lock held).
  virtual void changed() {}
  // Only the texels of `r` changed (lock held); devices that upload may send just those.
  virtual void changed_region(const qar::Rect& r) {
    (void)r;
    changed();
  }
  uint8_t* bytes() { return reinterpret_cast<uint8_t*>(pixels_.data()); }
  const uint8_t* palette_or_null() const { return palette_.empty() ? nullptr : palette_.data(); }

  bool render_target_;
  ptrdiff_t pitch_;
  std::vector<uint32_t> pixels_;  // rows top down in type_, pitch_ bytes each (4-byte aligned)
  std::vector<uint8_t> palette_;  // 256 x (red, green, blue) for P8 / A8P8; empty: grey

 private:
  // Copies src into the texels at the destination rectangle, scaled when the sizes differ
  // (lock held).
  bool store(const void* pixels, uint32_t type, int32_t sw, int32_t sh, ptrdiff_t pitch,
             const qar::Rect& s, const qar::Rect& d, const uint8_t* palette);
};

}  // namespace zel
