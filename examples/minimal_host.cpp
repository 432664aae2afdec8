// A minimal zel host: a picture, a line of text and a thick line, rendered headless; the first
// N frames are saved as PNG files, then everything shuts down.
//   minimal_host OUT_DIR [FRAMES]     (writes OUT_DIR/frame_1.png ... frame_N.png)
#include <poll.h>

#include <atomic>
#include <cstdio>
#include <string>

#include "zel/engine.h"
#include "zel/facet.h"
#include "zel/font.h"
#include "zel/gui_dispatcher.h"
#include "zel/il/bitmap_image.h"
#include "zel/layer.h"
#include "zel/math/primitive.h"
#include "zel/render_mng.h"

struct Host : zel::RenderMng {
  void change_mode(const zel::DeviceMode&) override {}  // no window: nothing to switch
};

struct Text : zel::Renderable {
  std::shared_ptr<zel::Font> font;
  void render(zel::RenderDevice& dev) override {
    if (!font)
      font = dev.create_font(zel::logical_font(zel::unit(24, zel::unit::pixels), u"DejaVu Sans",
                                               zel::logical_font::fw_bold, 0));
    zel::ColorARGB white(255, 255, 255, 255);
    if (font) dev.render_text(u"Hello from zel", 20, 190, &white, font);
  }
  bool is_deep(const zel::Renderable&) const override { return false; }
};

int main(int argc, char** argv) {
  if (argc < 2) return std::fprintf(stderr, "usage: minimal_host OUT_DIR [FRAMES]\n"), 2;
  const std::string out = argv[1];
  const uint64_t frames = argc > 2 ? std::stoull(argv[2]) : 3;
  zelInitOptions init;
  init.display = zel_display_headless;
  zelInitEx(&init);
  std::atomic<uint64_t> saved{0};
  std::atomic<bool> failed{false};
  {
    auto mng = std::make_shared<Host>();
    mng->set_frame_hook([&](zel::RenderDevice& dev, uint64_t n) {
      if (n > frames) return;
      if (!dev.save_frame_png(out + "/frame_" + std::to_string(n) + ".png")) failed = true;
      saved = n;
    });
    zel::DeviceMode mode;
    mode.width = 320;
    mode.height = 240;
    if (mng->init(u"OpenGL", mode) && qar::ThreadOfControl::start(mng, true)) {
      mng->pause(true, true);  // the render thread has its device and waits
      mng->set_bg_color(0, 0, 64);
      auto img = std::make_shared<zel::BitmapImage>();  // 120 x 80, colour 0x3366cc
      img->create(120, 80, zel::bimage_r8g8b8);
      for (int y = 0; y < 80; ++y)
        for (int x = 0; x < 120; ++x) {
          uint8_t* p = img->pixmap(y) + 3 * x;  // blue, green, red
          p[0] = 0xcc, p[1] = 0x66, p[2] = 0x33;
        }
      auto picture = std::make_shared<zel::Facet>();
      picture->put_image(img, true);
      picture->set_topleft(20, 20);
      mng->get_layer(30, true)->put_facet(picture);
      auto line = std::make_shared<zel::PolyLineStrip>(8, zel::ColorARGB(255, 255, 0, 0));
      line->add_point(zel::vec2(20, 150));
      line->add_point(zel::vec2(300, 150));
      mng->get_layer(20, true)->put_renderable(line);
      mng->get_layer(10, true)->put_renderable(std::make_shared<Text>());
      mng->pause(false, false);
      while (saved < frames && !failed && !mng->has_ended()) {
        pollfd p{zel::gui::event_fd(), POLLIN, 0};
        poll(&p, 1, 20);
        zel::gui::drain();
      }
    }
    mng->terminate();  // stops the render thread and waits for it
    mng->clear_all_layers();
  }
  zelUninit();
  if (failed || saved < frames) return std::fprintf(stderr, "minimal_host: no frames\n"), 1;
  std::printf("minimal_host: %llu frames in %s\n", (unsigned long long)frames, out.c_str());
  return 0;
}
