// A decoder of a made-up animated picture for the playback tests: `frames` frames of 4 x 2
// bimage_a8 pixels, every byte of frame n equal to 10 + n, each shown for `delay` clock units.
#pragma once
#include <atomic>
#include <cstring>

#include "zel/il/bitmap_image.h"
#include "zel/il/decoder.h"

namespace images_test {

class AnimDecoder : public zel::BitmapImageDecoder {
 public:
  AnimDecoder(int frames, int delay) {
    info_.type = zel::bimage_a8;
    info_.width = 4, info_.height = 2, info_.frames = frames, info_.frame_delay = delay;
  }
  zel::image_info open(const std::shared_ptr<qar::Stream>&, const zel::decoder_param*) override {
    return info_;
  }
  std::shared_ptr<zel::Image> decode() override { return get_image(); }
  bool seek_next_frame(void* rows, int32_t line, int32_t type) override {
    ++next_calls;
    return current_ + 1 < info_.frames && paint(current_ + 1, rows, line, type);
  }
  bool seek_frame(int32_t n, void* rows, int32_t line, int32_t type) override {
    ++frame_calls;
    return n >= 0 && n < info_.frames && paint(n, rows, line, type);
  }
  bool seek_time(uint64_t t, void* rows, int32_t line, int32_t type) override {
    ++time_calls;
    const uint64_t n = info_.frame_delay > 0 ? t / uint64_t(info_.frame_delay) : 0;
    return seek_frame(int32_t(n % uint64_t(info_.frames)), rows, line, type);
  }
  int32_t get_current_frame() override { return current_; }

  std::atomic<int> next_calls{0}, frame_calls{0}, time_calls{0};

 private:
  bool paint(int n, void* rows, int32_t line, int32_t type) {
    current_ = n;
    for (int y = 0; y < info_.height && type == zel::bimage_a8 && line >= 4; ++y)
      std::memset(static_cast<uint8_t*>(rows) + y * line, 10 + n, 4);
    return true;
  }
  int current_ = 0;
};

// An image bound to a fresh AnimDecoder.
struct anim {
  std::shared_ptr<AnimDecoder> decoder;
  std::shared_ptr<zel::BitmapImage> image;
  anim(int frames, int delay) : decoder(std::make_shared<AnimDecoder>(frames, delay)) {
    image = std::dynamic_pointer_cast<zel::BitmapImage>(decoder->get_image());
    image->bind(decoder);
  }
  // The frame the pixels show (every byte the same).
  int shown() const { return image->pixmap(1)[3] - 10; }
};

}  // namespace images_test
