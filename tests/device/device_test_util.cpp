#include "device_test_util.h"

#include <gtest/gtest.h>
#include <png.h>

#include <cstring>

#include "keep_mesa_loaded.h"
#include "zel/math/vec.h"

namespace devtest {

// Devices come and go many times in one process; the driver must outlive them all.
[[maybe_unused]] const bool kMesaKept = (keep_mesa_loaded(), true);

std::shared_ptr<zel::gl::GLDevice> make_device(int32_t w, int32_t h, uintptr_t window) {
  auto dev = std::make_shared<zel::gl::GLDevice>();
  if (!dev->init()) return nullptr;
  zel::DeviceMode m;
  m.width = w, m.height = h, m.window = window;
  if (!dev->set_display(reinterpret_cast<void*>(window), m)) return nullptr;
  return dev;
}

void set_screen_space(zel::RenderDevice& dev, int32_t w, int32_t h) {
  zel::mat4 p;
  p(0, 0) = 2.0f / float(w);
  p(0, 3) = -1.0f;
  p(1, 1) = -2.0f / float(h);
  p(1, 3) = 1.0f;
  dev.set_projection_mat(p);
  dev.set_view_mat(zel::mat4());
  dev.set_world_mat(zel::mat4());
}

std::shared_ptr<zel::VertexBuffer> make_quad(zel::RenderDevice& dev, float x, float y, float w,
                                             float h, float u1, float v1, uint32_t diffuse,
                                             float u0, float v0) {
  auto vb = dev.create_vertexbuffer(zel::vt_position | zel::vt_diffuse | zel::vt_tex1, 4, 0);
  if (!vb) return nullptr;
  struct V {
    float x, y, z;
    uint32_t c;
    float u, v;
  };
  static_assert(sizeof(V) == 24, "vertex layout");
  const float l = x - 0.5f, t = y - 0.5f, r = x + w - 0.5f, b = y + h - 0.5f;
  const V v[4] = {{l, t, 0, diffuse, u0, v0},
                  {r, t, 0, diffuse, u1, v0},
                  {l, b, 0, diffuse, u0, v1},
                  {r, b, 0, diffuse, u1, v1}};
  void* p = vb->lock();
  if (!p) return nullptr;
  std::memcpy(p, v, sizeof v);
  vb->unlock();
  return vb;
}

void draw_quad(zel::RenderDevice& dev, std::shared_ptr<zel::Texture> tex, float x, float y, float w,
               float h, uint32_t diffuse) {
  const float u1 = tex ? float(tex->real_width()) / float(tex->width()) : 1.0f;
  const float v1 = tex ? float(tex->real_height()) / float(tex->height()) : 1.0f;
  auto vb = make_quad(dev, x, y, w, h, u1, v1, diffuse);
  dev.set_texture(0, tex);
  dev.set_vertex(0, vb);
  dev.render_primitive(zel::zrp_triangle_strip, 0, 2);
}

std::shared_ptr<zel::Texture> make_argb_texture(zel::RenderDevice& dev, int32_t w, int32_t h,
                                                const std::vector<uint32_t>& px) {
  auto t = dev.texture_manager()->create(u"", w, h, zel::tt_a8r8g8b8, 0, 0, 1, 1.0f, 0);
  if (!t || !t->load_memory(px.data(), zel::tt_a8r8g8b8, w, h, w * 4, 0, 0, -1, -1)) return nullptr;
  return t;
}

std::shared_ptr<zel::BitmapImage> picture(int32_t w, int32_t h,
                                          const std::function<uint32_t(int32_t, int32_t)>& colour) {
  auto img = std::make_shared<zel::BitmapImage>();
  if (w > 0 && h > 0 && img->create(w, h, zel::bimage_a8r8g8b8))
    for (int32_t y = 0; y < h; ++y)
      for (int32_t x = 0; x < w; ++x) {
        const uint32_t c = colour(x, y);
        std::memcpy(img->pixmap(y) + 4 * x, &c, 4);
      }
  return img;
}

uint32_t pixel(const zel::BitmapImage& img, int32_t x, int32_t y) {
  uint32_t v;
  std::memcpy(&v, img.pixmap(y) + 4 * x, 4);
  return v;
}

std::vector<uint32_t> pixels(const zel::BitmapImage& img) {
  std::vector<uint32_t> px(size_t(img.width()) * size_t(img.height()));
  for (int32_t y = 0; y < img.height(); ++y)
    std::memcpy(&px[size_t(y) * size_t(img.width())], img.pixmap(y), size_t(img.width()) * 4);
  return px;
}

void expect_pixels(const zel::BitmapImage& img, std::initializer_list<Px> want) {
  for (const Px& p : want)
    EXPECT_EQ(pixel(img, p.x, p.y), p.argb) << std::hex << "at " << std::dec << p.x << "," << p.y;
}

bool read_png(const std::string& path, int32_t& w, int32_t& h, std::vector<uint32_t>& out) {
  png_image img;
  std::memset(&img, 0, sizeof img);
  img.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&img, path.c_str())) return false;
  img.format = PNG_FORMAT_BGRA;
  w = int32_t(img.width);
  h = int32_t(img.height);
  out.assign(size_t(w) * size_t(h), 0);
  return png_image_finish_read(&img, nullptr, out.data(), 0, nullptr) != 0;
}

}  // namespace devtest
