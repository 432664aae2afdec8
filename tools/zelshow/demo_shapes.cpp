#include "demo_shapes.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "zel/context.h"
#include "zel/font.h"
#include "zel/il/bitmap_image.h"
#include "zel/layer.h"
#include "zel/math/object3d.h"
#include "zel/math/primitive.h"
#include "zel/render_mng.h"
#include "zel/renderable.h"

namespace zelshow {

namespace {

const float kPi = 3.14159265f;

// A picture for the plane: a colour wheel on a checkerboard, with a border.
std::shared_ptr<zel::BitmapImage> plane_picture(int32_t w, int32_t h) {
  auto img = std::make_shared<zel::BitmapImage>();
  if (!img->create(w, h, zel::bimage_a8r8g8b8)) return nullptr;
  for (int32_t y = 0; y < h; ++y) {
    uint8_t* row = img->pixmap(y);
    for (int32_t x = 0; x < w; ++x) {
      const bool border = x < 3 || y < 3 || x >= w - 3 || y >= h - 3;
      const bool check = ((x / 16) + (y / 16)) % 2 == 0;
      const double a = std::atan2(y - h / 2.0, x - w / 2.0);
      uint8_t r = uint8_t(127 + 127 * std::cos(a));
      uint8_t g = uint8_t(127 + 127 * std::cos(a + 2.0944));
      uint8_t b = uint8_t(127 + 127 * std::cos(a + 4.1888));
      if (check) {
        r = uint8_t(r * 3 / 4);
        g = uint8_t(g * 3 / 4);
        b = uint8_t(b * 3 / 4);
      }
      if (border) r = g = b = 255;
      uint8_t* p = row + 4 * x;
      p[0] = b;
      p[1] = g;
      p[2] = r;
      p[3] = 255;
    }
  }
  return img;
}

// Turns the plane about its vertical axis and spins the outline about its centre.
class ShapesAnimator : public zel::Updatable {
 public:
  ShapesAnimator(std::shared_ptr<zel::Object3D> plane, std::shared_ptr<zel::PolyLineCircle> outline,
                 zel::vec2 outline_centre)
      : plane_(std::move(plane)), outline_(std::move(outline)), centre_(outline_centre) {
    register_updatable();
  }
  ~ShapesAnimator() override { unregister_updatable(); }

  void update(uint64_t t) override {
    const float s = static_cast<float>(static_cast<double>(t) / 1e6);
    if (plane_) plane_->set_rotation(zel::vec3(0.0f, s * 1.2f, 0.0f));
    if (outline_) {
      outline_->set_rotate(zel::vec3(0, 0, 1), zel::vec3(centre_.x, centre_.y, 0), s * 0.5f);
    }
  }

 private:
  std::shared_ptr<zel::Object3D> plane_;
  std::shared_ptr<zel::PolyLineCircle> outline_;
  zel::vec2 centre_;
};

struct DemoShapes {
  std::shared_ptr<ShapesAnimator> animator;
};

}  // namespace

std::shared_ptr<void> add_demo_shapes(zel::RenderMng& mng, int32_t depth, int32_t width,
                                      int32_t height) {
  auto layer = mng.get_layer(depth, true);
  if (!layer) return nullptr;
  const float W = static_cast<float>(std::max(width, 200));
  const float H = static_cast<float>(std::max(height, 150));
  const float unit = std::min(W, H) / 600.0f;  // scale from an 800 x 600 layout

  // A zigzag with mitred joins along the lower edge.
  auto zigzag = std::make_shared<zel::PolyLineStrip>(
      std::max<uint32_t>(3, static_cast<uint32_t>(8 * unit)), zel::ColorARGB(255, 255, 200, 40));
  for (int i = 0; i < 7; ++i) {
    zigzag->add_point(
        zel::vec2(W * 0.52f + i * 40 * unit, H * 0.88f - ((i % 2) ? 40.0f : 0.0f) * unit));
  }
  layer->put_renderable(zigzag);

  // A tilted elliptic arc, three quarters of a turn.
  auto arc = std::make_shared<zel::EllipsArc>(zel::vec2(W * 0.62f, H * 0.62f), zel::vec2(1, -0.5f),
                                              90 * unit, 45 * unit, 0.0f, 1.5f * kPi);
  arc->set_width(std::max<uint32_t>(2, static_cast<uint32_t>(5 * unit)));
  arc->set_color(zel::ColorARGB(255, 80, 220, 255));
  layer->put_renderable(arc);

  // A five-pointed star outline, closed with a mitre, spinning slowly.
  const zel::vec2 star_centre(W * 0.88f, H * 0.62f);
  auto star = std::make_shared<zel::PolyLineCircle>(
      std::max<uint32_t>(2, static_cast<uint32_t>(4 * unit)), zel::ColorARGB(255, 255, 90, 160));
  for (int i = 0; i < 10; ++i) {
    const float r = (i % 2 ? 28.0f : 70.0f) * unit;
    const float a = -kPi / 2 + i * kPi / 5;
    star->add_point(zel::vec2(star_centre.x + r * std::cos(a), star_centre.y + r * std::sin(a)));
  }
  layer->put_renderable(star);

  // A textured plane centred on the origin, moved into place and turned about its vertical
  // axis by the animator. Needs the device's texture manager.
  std::shared_ptr<zel::Object3D> plane;
  const int32_t pw = 160, ph = 100;
  if (auto img = plane_picture(pw, ph)) {
    const float hw = pw * unit * 0.5f, hh = ph * unit * 0.5f;
    plane = zel::create_plain(zel::vec3(-hw, -hh, 0), zel::vec3(hw, -hh, 0), zel::vec3(-hw, hh, 0),
                              img);
    if (plane) {
      plane->set_translation(zel::vec3(W * 0.85f, H * 0.30f, 0));
      layer->put_renderable(plane);
    }
  }

  auto holder = std::make_shared<DemoShapes>();
  holder->animator = std::make_shared<ShapesAnimator>(plane, star, star_centre);
  return holder;
}

}  // namespace zelshow
