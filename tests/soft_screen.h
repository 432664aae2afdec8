// The software device set up for tests that draw and read pixels back: a frame of w x h
// cleared to opaque black, a scene open, a camera mapping scene (x, y) to pixel (x, y) with y
// down, and a texture manager that counts what it makes (and can be made to fail).
#pragma once
#include <pixman.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "zel/3d/driver/soft/soft_device.h"
#include "zel/il/bitmap_image.h"

namespace zel {
namespace test {

// The device's texture manager, counting the textures it makes.
class CountingTextures : public TextureManager {
 public:
  explicit CountingTextures(std::shared_ptr<TextureManager> inner) : inner_(std::move(inner)) {}
  std::shared_ptr<Texture> create(const std::u16string& name, int32_t w, int32_t h,
                                  eTextureType type, int32_t kind, int32_t usage, int32_t levels,
                                  float factor, int32_t extra) override {
    auto t = fail ? nullptr : inner_->create(name, w, h, type, kind, usage, levels, factor, extra);
    if (t) all.push_back(t);
    return t;
  }
  // Texels of the textures still alive.
  int64_t live_texels() const {
    int64_t n = 0;
    for (const auto& w : all)
      if (auto t = w.lock()) n += int64_t{t->width()} * t->height();
    return n;
  }
  size_t created() const { return all.size(); }
  bool fail = false;
  std::vector<std::weak_ptr<Texture>> all;  // every texture made

 private:
  std::shared_ptr<TextureManager> inner_;
};

class SoftScreen : public soft::SoftDevice {
 public:
  SoftScreen(int32_t w, int32_t h, int32_t ppi = 96) : w_(w), h_(h) {
    textures = std::make_shared<CountingTextures>(textures_);
    textures_ = textures;
    DeviceMode m;
    m.width = w, m.height = h;
    set_display(nullptr, m);
    ppi_x_ = ppi_y_ = ppi;
    mat4 p;  // scene (x, y) to pixel (x, y): pixel centres on whole coordinates
    p(0, 0) = 2.0f / float(w);
    p(0, 3) = -1.0f;
    p(1, 1) = -2.0f / float(h);
    p(1, 3) = 1.0f;
    p(2, 2) = 0.0f;
    set_projection_mat(p);
    begin_frame(false, 255, 0, 0, 0);
    begin_scene();
  }
  ~SoftScreen() override { end_scene(); }

  int32_t width() const { return w_; }
  int32_t height() const { return h_; }
  // The frame as 0xAARRGGBB values, row by row.
  std::vector<uint32_t> pixels() {
    std::shared_ptr<BitmapImage> f = read_frame();
    std::vector<uint32_t> out(size_t(w_) * size_t(h_));
    for (int32_t y = 0; y < h_; ++y)
      std::memcpy(&out[size_t(y) * w_], f->pixmap(y), size_t(w_) * 4);
    return out;
  }
  uint32_t at(int32_t x, int32_t y) {
    uint32_t v;
    std::memcpy(&v, read_frame()->pixmap(y) + 4 * x, 4);
    return v;
  }
  // Fills the frame, leaving the device's states as they are.
  void clear(uint32_t argb) {
    auto* img = static_cast<pixman_image_t*>(get_device());
    pixman_fill(pixman_image_get_data(img), pixman_image_get_stride(img) / 4, 32, 0, 0, w_, h_,
                argb);
  }

  std::shared_ptr<CountingTextures> textures;

 private:
  int32_t w_, h_;
};

}  // namespace test
}  // namespace zel
