// The pictures named on the command line, shown one after another with a short cross-fade.
#include <algorithm>
#include <cstdlib>
#include <mutex>

#include "qar/trace.h"
#include "zel/facet.h"
#include "zel/il/bitmap_image.h"
#include "zel/il/load_image.h"
#include "zel/layer.h"
#include "zelshow.h"

namespace zelshow {

namespace {

struct Slide {
  std::string path;
  std::shared_ptr<zel::BitmapImage> image;
  std::shared_ptr<zel::Facet> facet;
};

class Slideshow : public Presentation, public zel::Updatable {
 public:
  Slideshow(std::vector<Slide> slides, double seconds)
      : slides_(std::move(slides)), slide_us_(uint64_t(seconds * 1e6)) {
    register_updatable();
  }
  ~Slideshow() override { unregister_updatable(); }

  void update(uint64_t t) override {
    const size_t n = slides_.size();
    const size_t cur = size_t(t / slide_us_) % n;
    const uint64_t into = t % slide_us_;
    const uint64_t fade_us = std::min<uint64_t>(500000, slide_us_ / 4);
    // During the last fade_us of a slide the next one fades in over it.
    const bool fading = n > 1 && into + fade_us > slide_us_;
    const int pct = fading ? int((into + fade_us - slide_us_) * 100 / fade_us) : 0;
    const size_t next = (cur + 1) % n;
    for (size_t i = 0; i < n; ++i) {
      auto& f = slides_[i].facet;
      if (i == cur) {
        f->set_visible(true);
        f->set_alpha(100);
      } else if (fading && i == next) {
        f->set_visible(true);
        f->set_alpha(pct);
      } else {
        f->set_visible(false);
      }
    }
  }

 private:
  std::vector<Slide> slides_;
  uint64_t slide_us_;
};

// Loads a picture without the decoders' own trace lines on the terminal: a bad file gives one
// line, the load result's message, which names the cause. With QAR_TRACE_FILE set the trace
// lines go to that file as usual.
zel::il::load_result load_quietly(const std::string& path) {
  const bool to_terminal = !std::getenv("QAR_TRACE_FILE");
  if (to_terminal) qar::set_trace_sink([](const std::string&) {});
  zel::il::load_result r = zel::il::load_image(path);
  if (to_terminal) qar::set_trace_sink(nullptr);
  return r;
}

}  // namespace

std::unique_ptr<Presentation> build_slideshow(zel::RenderMng& mng, const Options& opt,
                                              std::string& error) {
  std::vector<Slide> slides;
  for (const auto& path : opt.files) {
    Slide s;
    s.path = path;
    zel::il::load_result r = load_quietly(path);
    if (!r) {
      error = r.message;  // the file and the cause
      return nullptr;
    }
    s.image = std::move(r.image);
    slides.push_back(std::move(s));
  }
  // One layer; each picture fitted into the output (never enlarged) and centred.
  auto layer = mng.get_layer(10, true);
  for (auto& s : slides) {
    s.facet = std::make_shared<zel::Facet>();
    if (!s.facet->put_image(s.image, false)) {
      error = "'" + s.path + "' could not be shown";
      return nullptr;
    }
    const double k = std::min(
        {1.0, double(opt.width) / s.image->width(), double(opt.height) / s.image->height()});
    const int32_t w = std::max(1, int32_t(s.image->width() * k));
    const int32_t h = std::max(1, int32_t(s.image->height() * k));
    s.facet->set_size(w, h);
    s.facet->set_topleft((opt.width - w) / 2, (opt.height - h) / 2);
    s.facet->set_visible(false);
    if (s.image->total_frames() > 1) {
      // An animated picture (load_image bound it to its decoder) plays on the render clock,
      // each frame for its own delay, and refreshes its facet.
      s.image->attach(s.facet);
      s.image->loop(true);
      s.image->play();
    }
    layer->put_facet(s.facet);
  }
  return std::make_unique<Slideshow>(std::move(slides), opt.slide_seconds);
}

}  // namespace zelshow
