// GIF over giflib, animated GIFs included. open() reads the whole file: every frame's pixel
// indices, colour table, delay, disposal and transparent index are kept (within a memory
// budget), and frames are composited straight onto the image's rows as they are shown.
#pragma once
#include <cstdint>
#include <memory>
#include <vector>

#include "zel/il/codecs/animated_decoder.h"

namespace zel {
namespace codecs {

class GIFDecoder : public AnimatedDecoder {
 public:
  // Most decoded index bytes (all frames together) a file may hold.
  static constexpr int64_t max_decoded_bytes = int64_t(1) << 28;
  static constexpr int32_t max_frames = 1 << 16;

  GIFDecoder();
  ~GIFDecoder() override;

  // Reads the file; bimage_a8r8g8b8 at the logical screen size. Throws (after recording the
  // failure) on a truncated, corrupt or oversized file.
  image_info open(const std::shared_ptr<qar::Stream>& stream, const decoder_param* param) override;

  // The stream reader giflib calls (public for the C callback).
  int read_input(uint8_t* out, int count);

 private:
  struct frame {
    int32_t left = 0, top = 0, width = 0, height = 0;
    int disposal = 0;
    int transparent = -1;
    uint32_t palette[256] = {};          // bytes blue, green, red, alpha as a little-endian word
    std::unique_ptr<uint8_t[]> indices;  // width x height
  };

  const uint8_t* render_next(uint8_t* rows, size_t line_size) override;
  bool composites_in_place() const override { return true; }
  void restart() override;
  void read_file();

  std::shared_ptr<qar::Stream> stream_;
  std::vector<frame> frames_;
  std::vector<uint32_t> saved_;  // under a frame disposed "to previous": what it covers
  int32_t next_ = 0;
};

// GIF87a / GIF89a signature.
bool is_gif_stream(qar::Stream& stream);

}  // namespace codecs
}  // namespace zel
