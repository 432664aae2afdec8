// The built-in PNG decoder over libpng.
#pragma once
#include <png.h>

#include <memory>

#include "zel/il/decoder.h"

namespace zel {
namespace intenal {

class PNGDecoder : public BitmapImageDecoder {
 public:
  PNGDecoder();
  ~PNGDecoder() override;
  PNGDecoder(const PNGDecoder&) = delete;
  PNGDecoder& operator=(const PNGDecoder&) = delete;

  // Reads the header and sets up libpng to deliver rows in the bitmap's layout: 8-bit samples,
  // blue first, palettes and transparency expanded. Grey pictures of 2 to 16 bits become
  // bimage_p8 with a grey ramp palette (bimage_a8 when `param` asks for it), 1-bit grey becomes
  // bimage_r8g8b8, pictures with an alpha channel or a tRNS chunk bimage_a8r8g8b8, the rest
  // bimage_r8g8b8. Throws std::runtime_error on a corrupt header or one over the decode limit.
  image_info open(const std::shared_ptr<qar::Stream>& stream, const decoder_param* param) override;
  // Decodes every row (all passes of an interlaced picture); the bitmap is allocated once the
  // first row has arrived. Empty when the data is corrupt or ends early.
  std::shared_ptr<Image> decode() override;

 private:
  static void on_error(png_structp png, png_const_charp message);
  static void on_warning(png_structp png, png_const_charp message);
  static void on_read(png_structp png, png_bytep data, size_t length);

  // The libpng calls that may fail; they return false when libpng reported an error.
  bool read_header(int want_type);
  // Makes row reads [from, to) of the whole sequence (every row of pass 0, then of pass 1...)
  // into the `height` rows `line_size` bytes apart from `rows`.
  bool read_rows(uint8_t* rows, size_t line_size, size_t height, size_t from, size_t to);
  bool read_end();
  void release();
  // Records the failure in error_ for load_image.
  void report_failure() const;

  png_structp png_ = nullptr;
  png_infop info_ptr_ = nullptr;
  std::shared_ptr<qar::Stream> stream_;
  int passes_ = 1;
  int orientation_ = 1;  // from an eXIf chunk ahead of the pixels
  bool decoded_ = false;
  char error_[200] = {};
  char warning_[200] = {};  // a size limit libpng warned of before failing
};

}  // namespace intenal
// The same namespace under its correctly spelt name.
namespace internal = intenal;
}  // namespace zel
