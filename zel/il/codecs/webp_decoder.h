// WebP over libwebp: still pictures (lossy and lossless, with or without alpha) and animated
// ones (libwebpdemux composites the frames). open() reads the whole file into memory and checks
// its structure: a file whose chunks end early is refused there.
#pragma once
#include <cstdint>
#include <memory>
#include <vector>

#include "zel/il/codecs/animated_decoder.h"

struct WebPAnimDecoder;

namespace zel {
namespace codecs {

class WebPDecoder : public AnimatedDecoder {
 public:
  // Largest file read into memory.
  static constexpr size_t max_file_bytes = size_t(1) << 28;
  static constexpr int32_t max_frames = 1 << 16;

  WebPDecoder();
  ~WebPDecoder() override;
  WebPDecoder(const WebPDecoder&) = delete;
  WebPDecoder& operator=(const WebPDecoder&) = delete;

  // Still pictures: bimage_a8r8g8b8 with alpha, else bimage_r8g8b8. Animated ones:
  // bimage_a8r8g8b8 at the canvas size. Throws (after recording the failure) on a truncated,
  // corrupt or oversized file.
  image_info open(const std::shared_ptr<qar::Stream>& stream, const decoder_param* param) override;
  std::shared_ptr<Image> decode() override;

 private:
  const uint8_t* render_next(uint8_t* rows, size_t line_size) override;
  void restart() override;
  void open_animation();
  void release();

  std::vector<uint8_t> data_;
  bool animated_ = false;
  bool decoded_ = false;
  WebPAnimDecoder* anim_ = nullptr;
};

// RIFF....WEBP.
bool is_webp_stream(qar::Stream& stream);

}  // namespace codecs
}  // namespace zel
