// The demo scene: what the engine can do, with pictures made in code.
//   depth 100  a gradient backdrop
//   depth  50  a 9000-pixel panorama, larger than the largest texture, panning through fragments
//   depth  40  a picture shown whole, the same picture fading in and out, a moving crop window
//   depth  30  the picture through a round alpha mask
//   depth  20  an animated spinner and a bouncing translucent ball
//   depth  15  lines, an arc, an outline and a turning textured plane (when built with them)
//   depth  10  text
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <mutex>

#include "zel/facet.h"
#include "zel/font.h"
#include "zel/il/bitmap_image.h"
#include "zel/layer.h"
#include "zel/render_device.h"
#include "zelshow.h"

#if __has_include("demo_shapes.h")
#include "demo_shapes.h"
#define ZELSHOW_HAS_SHAPES 1
#endif

namespace zelshow {

namespace {

using Pixel = uint32_t;  // 0xAARRGGBB

template <class F>
std::shared_ptr<zel::BitmapImage> picture(int32_t w, int32_t h, bool alpha, F f) {
  auto img = std::make_shared<zel::BitmapImage>();
  img->create(w, h, alpha ? zel::bimage_a8r8g8b8 : zel::bimage_r8g8b8);
  const int bpp = alpha ? 4 : 3;
  for (int32_t y = 0; y < h; ++y) {
    uint8_t* row = img->pixmap(y);
    for (int32_t x = 0; x < w; ++x) {
      const Pixel c = f(x, y);
      uint8_t* p = row + size_t(x) * bpp;
      p[0] = uint8_t(c);
      p[1] = uint8_t(c >> 8);
      p[2] = uint8_t(c >> 16);
      if (alpha) p[3] = uint8_t(c >> 24);
    }
  }
  return img;
}

uint8_t clamp8(double v) {
  return uint8_t(std::clamp(v, 0.0, 255.0));
}

Pixel rgb(double r, double g, double b, double a = 255) {
  return Pixel(clamp8(a)) << 24 | Pixel(clamp8(r)) << 16 | Pixel(clamp8(g)) << 8 | clamp8(b);
}

// Hue 0..1 at full saturation.
Pixel hue(double h, double v = 1.0) {
  const double r = std::fabs(h * 6 - 3) - 1, g = 2 - std::fabs(h * 6 - 2),
               b = 2 - std::fabs(h * 6 - 4);
  return rgb(std::clamp(r, 0.0, 1.0) * 255 * v, std::clamp(g, 0.0, 1.0) * 255 * v,
             std::clamp(b, 0.0, 1.0) * 255 * v);
}

// A "photo": concentric rings over a diagonal gradient.
Pixel photo(int x, int y, int w, int h) {
  const double cx = x - w * 0.5, cy = y - h * 0.45;
  const double d = std::sqrt(cx * cx + cy * cy);
  const double ring = 0.5 + 0.5 * std::cos(d * 0.12);
  const double g = double(x + y) / (w + h);
  return rgb(60 + 180 * g * ring, 90 + 120 * ring, 200 - 140 * g + 40 * ring);
}

// Text drawn through the device's fonts.
class Caption : public zel::Renderable {
 public:
  Caption(std::u16string text, int32_t x, int32_t y, int32_t size)
      : text_(std::move(text)), x_(x), y_(y), size_(size) {}
  void set_text(std::u16string t) {
    std::lock_guard<std::mutex> lk(m_);
    text_ = std::move(t);
  }
  void render(zel::RenderDevice& device) override {
    std::u16string text;
    {
      std::lock_guard<std::mutex> lk(m_);
      text = text_;
    }
    if (!font_) {
      font_ = device.create_font(zel::logical_font(zel::unit(size_, zel::unit::pixels),
                                                   u"DejaVu Sans", zel::logical_font::fw_bold, 0));
    }
    if (!font_) return;
    zel::ColorARGB shadow(200, 0, 0, 0), white(255, 255, 255, 255);
    device.render_text(text, x_ + 2, y_ + 2, &shadow, font_);
    device.render_text(text, x_, y_, &white, font_);
  }
  bool is_deep(const zel::Renderable&) const override { return false; }

 private:
  std::mutex m_;
  std::u16string text_;
  int32_t x_, y_, size_;
  std::shared_ptr<zel::Font> font_;
};

constexpr int32_t kPanoW = 9000, kPanoH = 160;
constexpr int32_t kSpin = 96, kSpinFrames = 12;

class Demo : public Presentation, public zel::Updatable {
 public:
  Demo(zel::RenderMng& mng, const Options& opt) : w_(opt.width), h_(opt.height) {
    const int32_t W = w_, H = h_;
    // Backdrop.
    backdrop_ = facet(picture(W, H, false, [&](int x, int y) {
      const double t = double(y) / H, s = double(x) / W;
      return rgb(20 + 40 * s, 24 + 30 * t, 60 + 90 * (1 - t));
    }));
    mng.get_layer(100, true)->put_facet(backdrop_);

    // Panorama through fragments.
    pano_ = facet(picture(kPanoW, kPanoH, false, [](int x, int y) {
      Pixel c = hue(double(x % 3000) / 3000.0, 0.55 + 0.45 * double(y) / kPanoH);
      if (x % 500 < 4 || (y + x / 3) % 40 < 2) c = rgb(250, 250, 250);
      return c;
    }));
    pano_->set_topleft(0, H - kPanoH - 40);
    mng.get_layer(50, true)->put_facet(pano_);

    // Pictures: whole, fading, cropped.
    const int32_t pw = std::max(64, W / 4), ph = std::max(48, H / 4);
    auto pic = picture(pw, ph, false, [&](int x, int y) { return photo(x, y, pw, ph); });
    whole_ = facet(pic);
    whole_->set_topleft(W / 20, H / 8);
    fading_ = facet(pic);
    fading_->set_topleft(W / 20 + pw / 2, H / 8 + ph / 2);
    auto big =
        picture(pw * 2, ph * 2, false, [&](int x, int y) { return photo(x, y, pw * 2, ph * 2); });
    cropped_ = facet(big);
    crop_ = std::max(32, std::min(pw, ph) * 2 / 3);
    cropped_->crop(0, 0, crop_, crop_);
    cropped_->set_size(crop_, crop_);
    cropped_->set_topleft(W / 2, H / 8);
    crop_src_w_ = pw * 2;
    crop_src_h_ = ph * 2;
    auto l40 = mng.get_layer(40, true);
    l40->put_facet(whole_);
    l40->put_facet(fading_);
    l40->put_facet(cropped_);

    // Through a round, soft-edged mask.
    masked_ = facet(pic);
    auto mask = std::make_shared<zel::BitmapImage>();
    mask->create(pw, ph, zel::bimage_a8);
    for (int32_t y = 0; y < ph; ++y)
      for (int32_t x = 0; x < pw; ++x) {
        const double dx = (x - pw / 2.0) / (pw / 2.0), dy = (y - ph / 2.0) / (ph / 2.0);
        mask->pixmap(y)[x] = clamp8((1.0 - std::sqrt(dx * dx + dy * dy)) * 4 * 255);
      }
    masked_->set_alpha_mask(mask);
    masked_->set_topleft(W * 3 / 4 - pw / 2, H / 8);
    mng.get_layer(30, true)->put_facet(masked_);

    // Animation: a spinner whose frames are written into its texture; a bouncing ball.
    for (int i = 0; i < kSpinFrames; ++i) {
      spin_frames_.push_back(picture(kSpin, kSpin, true, [i](int x, int y) {
        const double dx = x - kSpin / 2.0 + 0.5, dy = y - kSpin / 2.0 + 0.5;
        const double r = std::sqrt(dx * dx + dy * dy);
        if (r < kSpin * 0.28 || r > kSpin * 0.48) return Pixel(0);
        double a = std::atan2(dy, dx) / (2 * M_PI) + 0.5;  // 0..1
        const int seg = int(a * kSpinFrames) % kSpinFrames;
        const int age = (i - seg + kSpinFrames) % kSpinFrames;
        return rgb(255, 200 - age * 12, 60, 255 - age * 18);
      }));
    }
    spinner_ = facet(spin_frames_[0]);
    spinner_->set_topleft(W / 20, H / 2);
    ball_ = facet(picture(64, 64, true, [](int x, int y) {
      const double dx = x - 31.5, dy = y - 31.5, r = std::sqrt(dx * dx + dy * dy);
      const double edge = std::clamp(32.0 - r, 0.0, 1.0);
      return rgb(255 - r * 3, 120 + r * 2, 90, 230 * edge);
    }));
    auto l20 = mng.get_layer(20, true);
    l20->put_facet(spinner_);
    l20->put_facet(ball_);

#ifdef ZELSHOW_HAS_SHAPES
    shapes_ = add_demo_shapes(mng, 15, W, H);
#endif

    title_ = std::make_shared<Caption>(u"zel engine demo", W / 20, 12, std::max(14, H / 24));
    clock_ = std::make_shared<Caption>(u"", W / 20 + kSpin + 16, H / 2 + kSpin / 3,
                                       std::max(12, H / 40));
    auto l10 = mng.get_layer(10, true);
    l10->put_renderable(title_);
    l10->put_renderable(clock_);
    register_updatable();
  }
  ~Demo() override {
    unregister_updatable();
  }

  void update(uint64_t t) override {
    const double s = double(t) / 1e6;
    // Panorama: back and forth at 300 pixels per second.
    const double span = double(kPanoW - w_);
    const double pos = std::fmod(s * 300.0, 2 * span);
    pano_->set_topleft(-int32_t(pos < span ? pos : 2 * span - pos), pano_->get_top());
    fading_->set_alpha(int32_t(50 + 50 * std::sin(s * 2.0)));
    // Crop window on a circle over the larger picture.
    const int32_t cx = (crop_src_w_ - crop_) / 2, cy = (crop_src_h_ - crop_) / 2;
    cropped_->crop(cx + int32_t(cx * std::cos(s)), cy + int32_t(cy * std::sin(s)), crop_, crop_);
    const int frame = int(t / 80000) % kSpinFrames;
    if (frame != spin_frame_) {
      spin_frame_ = frame;
      const auto& img = spin_frames_[size_t(frame)];
      if (auto tex = spinner_->get_texture())
        tex->load_memory(img->pixmap(0), zel::tt_a8r8g8b8, kSpin, kSpin, img->line_size(), 0, 0, -1,
                         -1);
    }
    const double bx = std::fabs(std::fmod(s * 170.0, 2.0 * (w_ - 64)) - (w_ - 64));
    const double by = std::fabs(std::fmod(s * 130.0, 2.0 * (h_ - 64)) - (h_ - 64));
    ball_->set_topleft(int32_t(bx), int32_t(by));
    char buf[64];
    std::snprintf(buf, sizeof buf, "engine time %.2f s", s);
    std::u16string text;
    for (const char* p = buf; *p; ++p) text.push_back(char16_t(*p));
    clock_->set_text(text);
  }

 private:
  static std::shared_ptr<zel::Facet> facet(std::shared_ptr<zel::BitmapImage> img) {
    auto f = std::make_shared<zel::Facet>();
    f->put_image(std::move(img), true);
    return f;
  }

  int32_t w_, h_;
  std::shared_ptr<zel::Facet> backdrop_, pano_, whole_, fading_, cropped_, masked_, spinner_, ball_;
  std::vector<std::shared_ptr<zel::BitmapImage>> spin_frames_;
  int spin_frame_ = 0;
  int32_t crop_ = 0, crop_src_w_ = 0, crop_src_h_ = 0;
  std::shared_ptr<Caption> title_, clock_;
#ifdef ZELSHOW_HAS_SHAPES
  std::shared_ptr<void> shapes_;
#endif
};

}  // namespace

std::unique_ptr<Presentation> build_demo(zel::RenderMng& mng, const Options& opt) {
  return std::make_unique<Demo>(mng, opt);
}

}  // namespace zelshow
