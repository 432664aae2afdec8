// Windows BMP: 1, 4 and 8-bit palettes (8 and 4-bit also run-length coded), 16 and 32-bit pixels
// with or without bit masks, 24-bit; bottom-up and top-down rows. Embedded JPEG/PNG and other
// codings are reported as unsupported.
#pragma once
#include <cstdint>
#include <memory>
#include <vector>

#include "zel/il/decoder.h"

namespace zel {
namespace codecs {

class BMPDecoder : public BitmapImageDecoder {
 public:
  BMPDecoder();
  ~BMPDecoder() override;

  // Reads the headers and the palette. 32-bit pictures, pictures with an alpha mask and
  // run-length coded ones (whose skipped pixels are transparent) become bimage_a8r8g8b8, the rest
  // bimage_r8g8b8. Throws (after recording the failure) on a
  // truncated, corrupt, unsupported or oversized header.
  image_info open(const std::shared_ptr<qar::Stream>& stream, const decoder_param* param) override;
  // Reads the rows; empty when the data ends early.
  std::shared_ptr<Image> decode() override;

 private:
  struct channel {
    uint32_t mask = 0;
    int shift = 0, bits = 0;
  };
  void set_mask(channel& c, uint32_t mask);
  uint8_t sample(const channel& c, uint32_t v) const;
  void convert_row(const uint8_t* in, uint8_t* out) const;
  bool decode_rle(BitmapImage& bmp);

  std::shared_ptr<qar::Stream> stream_;
  int bpp_ = 0;
  bool top_down_ = false;
  bool masked_ = false;           // 16/32-bit pixels through bit masks
  bool rle_ = false;              // run-length coded (8 or 4-bit)
  bool zero_alpha_ = false;       // 32-bit without masks: alpha all 0 means opaque
  channel ch_[4];                 // red, green, blue, alpha
  uint8_t palette_[256][3] = {};  // blue, green, red
  size_t stride_ = 0;
  bool decoded_ = false;
};

// "BM".
bool is_bmp_stream(qar::Stream& stream);

}  // namespace codecs
}  // namespace zel
