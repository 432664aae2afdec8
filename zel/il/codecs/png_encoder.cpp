// The PNG encoder over libpng.
#include "zel/il/png_encoder.h"

#include <png.h>

#include <csetjmp>
#include <cstdio>
#include <exception>

#include "qar/trace.h"
#include "zel/pixel_convert.h"
#include "zel/pixel_format.h"

namespace zel {
namespace {

// Largest picture accepted from pixels: 2^28 pixels.
constexpr uint64_t kMaxPixels = uint64_t(1) << 28;

// Where the bytes go: appended to a string, or written to a file.
struct sink {
  std::string* out = nullptr;
  FILE* file = nullptr;
};

// What to write: the header and where each row comes from.
struct job {
  png_uint_32 width = 0, height = 0;
  int bit_depth = 8, color_type = PNG_COLOR_TYPE_RGB;
  bool interlaced = false;
  bool bgr_with_filler = false;  // rows are 4-byte B, G, R, A/X pixels
  const png_raw_picture* raw = nullptr;
  int compression = png_default_compression;
  // The bytes of row y in the layout the header (and bgr_with_filler) describes.
  const uint8_t* (*row)(void* ctx, int32_t y) = nullptr;
  void* ctx = nullptr;
};

void on_error(png_structp png, png_const_charp message) {
  qar::tracef("PNG encoder: %s", message);
  png_longjmp(png, 1);
}

void on_warning(png_structp, png_const_charp) {}

void on_write(png_structp png, png_bytep data, size_t n) {
  auto* s = static_cast<sink*>(png_get_io_ptr(png));
  bool ok = true;
  if (s->file) {
    ok = std::fwrite(data, 1, n, s->file) == n;
  } else {
    try {
      s->out->append(reinterpret_cast<const char*>(data), n);
    } catch (const std::exception& e) {
      QAR_TRACE_CATCH(e);
      ok = false;
    }
  }
  if (!ok) png_error(png, "cannot store the encoded bytes");
}

void on_flush(png_structp) {}

// libpng reports errors by longjmp: nothing with a destructor lives in this frame, and nothing
// set after setjmp is read after it.
bool run(png_structp png, png_infop info, sink& s, const job& j) {
  if (setjmp(png_jmpbuf(png))) return false;
  png_set_write_fn(png, &s, on_write, on_flush);
  png_set_IHDR(png, info, j.width, j.height, j.bit_depth, j.color_type,
               j.interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  if (j.compression >= 0) png_set_compression_level(png, j.compression);
  if (const png_raw_picture* r = j.raw) {
    if (!r->palette.empty()) {
      png_color plte[256];
      const int n = int(r->palette.size() / 3 > 256 ? 256 : r->palette.size() / 3);
      for (int i = 0; i < n; ++i)
        plte[i] = {r->palette[3 * i], r->palette[3 * i + 1], r->palette[3 * i + 2]};
      png_set_PLTE(png, info, plte, n);
    }
    if (!r->palette_alpha.empty())
      png_set_tRNS(png, info, const_cast<png_bytep>(r->palette_alpha.data()),
                   int(r->palette_alpha.size()), nullptr);
    if (r->has_trns_color) {
      png_color_16 c{};
      c.gray = r->trns_color[0];
      c.red = r->trns_color[0];
      c.green = r->trns_color[1];
      c.blue = r->trns_color[2];
      png_set_tRNS(png, info, nullptr, 0, &c);
    }
    if (r->srgb) png_set_sRGB(png, info, PNG_sRGB_INTENT_PERCEPTUAL);
    if (r->gamma > 0) png_set_gAMA(png, info, r->gamma);
    if (!r->exif.empty())
      png_set_eXIf_1(png, info, png_uint_32(r->exif.size()), const_cast<png_bytep>(r->exif.data()));
  }
  png_write_info(png, info);
  if (j.bgr_with_filler) {
    png_set_bgr(png);
    if (j.color_type == PNG_COLOR_TYPE_RGB) png_set_filler(png, 0, PNG_FILLER_AFTER);
  }
  const int passes = png_set_interlace_handling(png);
  for (int p = 0; p < passes; ++p)
    for (png_uint_32 y = 0; y < j.height; ++y) png_write_row(png, j.row(j.ctx, int32_t(y)));
  png_write_end(png, info);
  return true;
}

bool write(sink& s, const job& j) {
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, on_error, on_warning);
  if (!png) return false;
  png_infop info = png_create_info_struct(png);
  const bool ok = info && run(png, info, s, j);
  png_destroy_write_struct(&png, info ? &info : nullptr);
  return ok;
}

// Rows of engine pixels converted one at a time to B, G, R, A bytes.
struct pixel_rows {
  const uint8_t* pixels;
  ptrdiff_t pitch;
  uint32_t format;
  int32_t width;
  std::vector<uint8_t> row;
  static const uint8_t* get(void* ctx, int32_t y) {
    auto* p = static_cast<pixel_rows*>(ctx);
    convert_pixels(bimage_a8r8g8b8, p->row.data(), 0, p->format, p->pixels + y * p->pitch, 0,
                   p->width, 1);
    return p->row.data();
  }
};

bool encode_pixels(sink& s, const void* pixels, int32_t width, int32_t height, ptrdiff_t pitch,
                   uint32_t format, bool keep_alpha, int compression) {
  if (!pixels || width <= 0 || height <= 0 || !pixel_format_readable(format) ||
      uint64_t(width) * uint64_t(height) > kMaxPixels ||
      pitch < ptrdiff_t(pixel_row_bytes(format, width)))
    return false;
  pixel_rows rows{static_cast<const uint8_t*>(pixels), pitch, format, width,
                  std::vector<uint8_t>(size_t(width) * 4)};
  job j;
  j.width = png_uint_32(width);
  j.height = png_uint_32(height);
  j.color_type = keep_alpha ? PNG_COLOR_TYPE_RGB_ALPHA : PNG_COLOR_TYPE_RGB;
  j.bgr_with_filler = true;
  j.compression = compression;
  j.row = &pixel_rows::get;
  j.ctx = &rows;
  return write(s, j);
}

}  // namespace

bool encode_png(std::string& out, const void* pixels, int32_t width, int32_t height,
                ptrdiff_t pitch, uint32_t format, bool keep_alpha, int compression) {
  const size_t start = out.size();
  sink s;
  s.out = &out;
  if (encode_pixels(s, pixels, width, height, pitch, format, keep_alpha, compression)) return true;
  out.resize(start);
  return false;
}

bool save_png(const std::string& path, const void* pixels, int32_t width, int32_t height,
              ptrdiff_t pitch, uint32_t format, bool keep_alpha, int compression) {
  sink s;
  s.file = std::fopen(path.c_str(), "wb");
  if (!s.file) return false;
  bool ok = encode_pixels(s, pixels, width, height, pitch, format, keep_alpha, compression);
  if (std::fclose(s.file) != 0) ok = false;
  if (!ok) std::remove(path.c_str());
  return ok;
}

bool encode_png(std::string& out, const png_raw_picture& picture) {
  if (picture.width <= 0 || picture.height <= 0 || picture.rows.size() != size_t(picture.height))
    return false;
  static const int kChannels[7] = {1, 0, 3, 1, 2, 0, 4};
  const int channels =
      picture.color_type >= 0 && picture.color_type <= 6 ? kChannels[picture.color_type] : 0;
  if (channels == 0 || picture.bit_depth <= 0 || picture.bit_depth > 16) return false;
  const uint64_t row_bytes = (uint64_t(picture.width) * channels * picture.bit_depth + 7) / 8;
  for (const auto& r : picture.rows)
    if (r.size() < row_bytes) return false;
  job j;
  j.width = png_uint_32(picture.width);
  j.height = png_uint_32(picture.height);
  j.bit_depth = picture.bit_depth;
  j.color_type = picture.color_type;
  j.interlaced = picture.interlaced;
  j.raw = &picture;
  j.compression = picture.compression;
  j.row = [](void* ctx, int32_t y) -> const uint8_t* {
    return static_cast<const png_raw_picture*>(ctx)->rows[size_t(y)].data();
  };
  j.ctx = const_cast<png_raw_picture*>(&picture);
  const size_t start = out.size();
  sink s;
  s.out = &out;
  if (write(s, j)) return true;
  out.resize(start);
  return false;
}

}  // namespace zel
