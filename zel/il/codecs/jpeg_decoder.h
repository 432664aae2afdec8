// The built-in JPEG decoder over libjpeg(-turbo).
#pragma once
#include <csetjmp>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>

// jpeglib.h needs size_t and FILE declared before it.
#include <jpeglib.h>

#include "zel/il/decoder.h"

namespace zel {
namespace intenal {

class JPEGDecoder : public BitmapImageDecoder {
 public:
  // Input is read in blocks of this size. libjpeg-turbo's fast Huffman path needs several KiB
  // left in the buffer, so a small buffer makes it take the slow path most of the time.
  static constexpr size_t input_buffer_size = 64 * 1024;

  JPEGDecoder();
  ~JPEGDecoder() override;
  JPEGDecoder(const JPEGDecoder&) = delete;
  JPEGDecoder& operator=(const JPEGDecoder&) = delete;

  // Reads the header. Every picture comes out as bimage_r8g8b8 (bytes blue, green, red):
  // greyscale is expanded, CMYK and YCCK (plain or Adobe-inverted) are converted. Throws
  // std::runtime_error on a corrupt or unsupported header, or one over the decode limit.
  image_info open(const std::shared_ptr<qar::Stream>& stream, const decoder_param* param) override;
  // Decodes the rows; the bitmap is allocated once the first row has arrived. Empty when the data
  // is corrupt, or when any scan's data ends before the scan does (with or without an end marker
  // after it); damage the decoder can step over inside complete scans is shown.
  std::shared_ptr<Image> decode() override;

  // Bytes read from the stream so far.
  int64_t bytes_read() const { return bytes_read_; }

 private:
  struct error_mgr {
    jpeg_error_mgr pub;
    std::jmp_buf jump;
  };

  static void on_error_exit(j_common_ptr cinfo);
  static void on_emit_message(j_common_ptr cinfo, int msg_level);
  static void on_init_source(j_decompress_ptr cinfo);
  static boolean on_fill_input_buffer(j_decompress_ptr cinfo);
  static void on_skip_input_data(j_decompress_ptr cinfo, long count);
  static void on_term_source(j_decompress_ptr cinfo);

  // The libjpeg calls that may fail; false when libjpeg reported an error.
  bool create();
  bool read_header();
  bool start();
  // Reads rows up to `end` into the bitmap whose row 0 is at `rows`.
  bool read_rows(uint8_t* rows, size_t line_size, JDIMENSION end, uint8_t* cmyk_row);
  bool finish();
  void release();

  jpeg_source_mgr src_{};
  error_mgr err_{};
  jpeg_decompress_struct* cinfo_ = nullptr;
  JOCTET* buffer_ = nullptr;
  int64_t bytes_read_ = 0;
  std::shared_ptr<qar::Stream> stream_;
  bool opened_ = false;          // the header is read
  bool cmyk_ = false;            // rows arrive as CMYK and are converted
  bool adobe_inverted_ = false;  // CMYK values stored inverted (Adobe)
  bool data_ended_ = false;      // the stream ran dry: the rest was made up
  bool decoded_ = false;
  int orientation_ = 1;  // EXIF orientation, applied to the decoded rows
  char error_[JMSG_LENGTH_MAX] = {};
};

}  // namespace intenal
// The same namespace under its correctly spelt name.
namespace internal = intenal;
}  // namespace zel
