#include "zel/il/codecs/png_decoder.h"

#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "qar/trace.h"
#include "zel/il/bitmap_image.h"
#include "zel/il/codecs/failure.h"
#include "zel/il/codecs/orientation.h"
#include "zel/il/il_errors.h"

// libpng reports errors by longjmp to the setjmp point of the call in progress. The functions
// that hold a setjmp point (read_header, read_rows, read_end) and the libpng callbacks keep no
// object with a destructor alive across libpng calls, so a longjmp skips no C++ cleanup.

namespace zel {
namespace intenal {

PNGDecoder::PNGDecoder() = default;

PNGDecoder::~PNGDecoder() {
  release();
}

void PNGDecoder::release() {
  if (png_) png_destroy_read_struct(&png_, info_ptr_ ? &info_ptr_ : nullptr, nullptr);
  png_ = nullptr;
  info_ptr_ = nullptr;
}

void PNGDecoder::on_error(png_structp png, png_const_charp message) {
  auto* self = static_cast<PNGDecoder*>(png_get_error_ptr(png));
  if (self) std::snprintf(self->error_, sizeof(self->error_), "%s", message ? message : "");
  png_longjmp(png, 1);
}

// libpng warns first of a size beyond the limits and then fails with a general IHDR error: the
// warning is kept so that the failure can say the picture was too large.
void PNGDecoder::on_warning(png_structp png, png_const_charp message) {
  auto* self = static_cast<PNGDecoder*>(png_get_error_ptr(png));
  if (self && message && std::strstr(message, "exceeds user limit"))
    std::snprintf(self->warning_, sizeof(self->warning_), "%s", message);
}

void PNGDecoder::on_read(png_structp png, png_bytep data, size_t length) {
  auto* self = static_cast<PNGDecoder*>(png_get_io_ptr(png));
  size_t got = 0;
  bool failed = false;
  try {
    while (got < length) {
      const int64_t n = self->stream_->read(data + got, int64_t(length - got));
      if (n <= 0) {
        failed = n < 0;
        break;
      }
      got += size_t(n);
    }
  } catch (const std::exception& e) {
    QAR_TRACE_CATCH(e);
    failed = true;
  } catch (...) {
    failed = true;
  }
  if (got < length) png_error(png, failed ? "stream read error" : "data ends early");
}

bool PNGDecoder::read_header(int want_type) {
  if (setjmp(png_jmpbuf(png_))) return false;
  png_read_info(png_, info_ptr_);
  png_uint_32 width = 0, height = 0;
  int depth = 0, color = 0, interlace = 0, compression = 0, filter = 0;
  png_get_IHDR(png_, info_ptr_, &width, &height, &depth, &color, &interlace, &compression, &filter);
  if (width > png_uint_32(BitmapImage::max_dimension) ||
      height > png_uint_32(BitmapImage::max_dimension) ||
      uint64_t(width) * height > uint64_t(il::get_decode_limit()))
    png_error(png_, "picture too large");

#ifdef PNG_eXIf_SUPPORTED
  png_bytep exif = nullptr;
  png_uint_32 exif_size = 0;
  if (png_get_eXIf_1(png_, info_ptr_, &exif_size, &exif) && exif)
    orientation_ = codecs::exif_orientation(exif, exif_size, true);
#endif
  const bool has_trns = png_get_valid(png_, info_ptr_, PNG_INFO_tRNS) != 0;
  if (depth == 16) png_set_strip_16(png_);
  if (color == PNG_COLOR_TYPE_GRAY) {
    if (depth > 1) png_set_expand_gray_1_2_4_to_8(png_);
    // 1-bit grey, and grey with a transparent colour (which gains an alpha channel), are
    // delivered as colour: the bitmap types have no grey-with-alpha layout.
    if (depth == 1 || has_trns) png_set_gray_to_rgb(png_);
  }
  if (color == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(png_);
  if (color == PNG_COLOR_TYPE_GRAY_ALPHA) png_set_gray_to_rgb(png_);
  if (has_trns) png_set_tRNS_to_alpha(png_);
  // Colour rows blue first, as bimage_r8g8b8 and bimage_a8r8g8b8 store them.
  png_set_bgr(png_);

  const double screen_gamma = 2.2;
  double file_gamma = 0.45455;
  int srgb_intent = 0;
  if (!png_get_sRGB(png_, info_ptr_, &srgb_intent)) {
    double g = 0;
    if (png_get_gAMA(png_, info_ptr_, &g) && g > 0) file_gamma = g;
  }
  png_set_gamma(png_, screen_gamma, file_gamma);

  passes_ = png_set_interlace_handling(png_);
  png_read_update_info(png_, info_ptr_);

  png_get_IHDR(png_, info_ptr_, &width, &height, &depth, &color, &interlace, &compression, &filter);
  info_.width = int32_t(width);
  info_.height = int32_t(height);
  if (codecs::swaps_axes(orientation_)) std::swap(info_.width, info_.height);
  switch (png_get_channels(png_, info_ptr_) * depth) {
    case 8:
      info_.type = want_type == bimage_a8 ? bimage_a8 : bimage_p8;
      break;
    case 24:
      info_.type = bimage_r8g8b8;
      break;
    case 32:
      info_.type = bimage_a8r8g8b8;
      break;
    default:
      info_.type = bimage_none;
      break;
  }
  if (info_.type != bimage_none &&
      png_get_rowbytes(png_, info_ptr_) >
          size_t(BitmapImage::calc_line_size(int32_t(width), info_.type)))
    png_error(png_, "unexpected row size");
  return true;
}

image_info PNGDecoder::open(const std::shared_ptr<qar::Stream>& stream,
                            const decoder_param* param) {
  release();
  info_ = image_info();
  decoded_ = false;
  error_[0] = 0;
  if (!stream) QAR_THROW(std::invalid_argument("PNG: no stream"));
  stream_ = stream;
  png_ = png_create_read_struct(PNG_LIBPNG_VER_STRING, this, &PNGDecoder::on_error,
                                &PNGDecoder::on_warning);
  if (png_) info_ptr_ = png_create_info_struct(png_);
  if (!png_ || !info_ptr_) {
    release();
    QAR_THROW(bad_allocation());
  }
  png_set_read_fn(png_, this, &PNGDecoder::on_read);
  png_set_user_limits(png_, BitmapImage::max_dimension, BitmapImage::max_dimension);
  orientation_ = 1;
  if (!read_header(param ? int(param->type) : 0)) {
    report_failure();
    release();
    info_ = image_info();
    QAR_THROW(std::runtime_error(std::string("PNG: ") + error_));
  }
  return info_;
}

void PNGDecoder::report_failure() const {
  const std::string why = warning_[0] ? std::string(warning_) + "; " + error_ : error_;
  il::load_error kind = il::load_error::corrupt;
  if (why.find("data ends early") != std::string::npos)
    kind = il::load_error::truncated;
  else if (why.find("too large") != std::string::npos ||
           why.find("exceeds user limit") != std::string::npos)
    kind = il::load_error::too_large;
  codecs::report_failure(kind, "PNG", why);
}

bool PNGDecoder::read_rows(uint8_t* rows, size_t line_size, size_t height, size_t from, size_t to) {
  if (setjmp(png_jmpbuf(png_))) return false;
  for (size_t k = from; k < to && height > 0; ++k)
    png_read_row(png_, rows + (k % height) * line_size, nullptr);
  return true;
}

bool PNGDecoder::read_end() {
  if (setjmp(png_jmpbuf(png_))) return false;
  png_read_end(png_, nullptr);
  return true;
}

std::shared_ptr<Image> PNGDecoder::decode() {
  if (!png_ || !info_ptr_ || decoded_) return nullptr;
  decoded_ = true;
  // The first row goes into a row of its own: a header alone must not claim the memory of the
  // picture it promises, so the bitmap is allocated only once image data has arrived.
  std::vector<uint8_t> first_row;
  if (info_.type != bimage_none && info_.width > 0 && info_.height > 0) {
    try {
      first_row.resize(png_get_rowbytes(png_, info_ptr_));
    } catch (const std::exception& e) {
      QAR_TRACE_CATCH(e);
      return nullptr;
    }
    if (!read_rows(first_row.data(), 0, 1, 0, 1)) {
      report_failure();
      qar::tracef(qar::trace_level::info, "PNG: decoding failed: %s", error_);
      return nullptr;
    }
  }
  std::shared_ptr<Image> img = image_or_null();
  if (!img) return nullptr;
  if (img->type() == bimage_none) return img;
  auto* bmp = static_cast<BitmapImage*>(img.get());
  if (img->type() == bimage_p8) {
    uint8_t* pal = bmp->palette();
    for (int i = 0; i < 256; ++i) pal[i * 3] = pal[i * 3 + 1] = pal[i * 3 + 2] = uint8_t(i);
  }
  // Rows as stored, when the orientation turns them.
  const int32_t stored_w = codecs::swaps_axes(orientation_) ? info_.height : info_.width;
  const int32_t stored_h = codecs::swaps_axes(orientation_) ? info_.width : info_.height;
  const size_t stored_line = size_t(BitmapImage::calc_line_size(stored_w, img->type()));
  std::vector<uint8_t> unturned;
  try {
    if (orientation_ != 1) unturned.resize(stored_line * size_t(stored_h));
  } catch (const std::exception& e) {
    QAR_TRACE_CATCH(e);
    return nullptr;
  }
  uint8_t* const dst = orientation_ == 1 ? bmp->pixmap(0) : unturned.data();
  const size_t line = orientation_ == 1 ? size_t(bmp->line_size()) : stored_line;
  if (!first_row.empty()) std::memcpy(dst, first_row.data(), first_row.size());
  if (!read_rows(dst, line, size_t(stored_h), first_row.empty() ? 0 : 1,
                 size_t(passes_) * size_t(stored_h))) {
    report_failure();
    qar::tracef(qar::trace_level::info, "PNG: decoding failed: %s", error_);
    bmp->destroy();
    image_.reset();
    return nullptr;
  }
  if (orientation_ != 1)
    codecs::apply_orientation(unturned.data(), stored_w, stored_h, stored_line,
                              BitmapImage::calc_line_size(8, img->type()) / 8, bmp->pixmap(0),
                              size_t(bmp->line_size()), orientation_);
  // The rows are complete; damage after them (a missing end chunk) costs nothing.
  if (!read_end()) qar::tracef(qar::trace_level::info, "PNG: after the picture data: %s", error_);
  return img;
}

}  // namespace intenal
}  // namespace zel
