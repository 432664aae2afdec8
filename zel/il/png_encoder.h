// PNG encoding: the one PNG writer of the engine (frame dumps, clipboard pictures, test media).
//
// Two ways in: pixels of any readable engine pixel format (zel/pixel_format.h), written as 8-bit
// RGB or RGBA; or a picture already in PNG's own sample layout (any colour type and bit depth,
// palette, transparency, interlacing), which is what a test needs to make every kind of file.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zel {

// zlib compression level of the encoder: -1 is zlib's default, 0 none, 9 the smallest file.
constexpr int png_default_compression = -1;

// Encodes width x height pixels of `format` (rows `pitch` bytes apart) as an 8-bit PNG: RGBA when
// `keep_alpha`, else RGB. Appends the file to `out`; false (nothing appended) when the format
// cannot be read, the geometry is bad (no pixels, pitch shorter than a row, more than 2^28
// pixels) or encoding fails.
bool encode_png(std::string& out, const void* pixels, int32_t width, int32_t height,
                ptrdiff_t pitch, uint32_t format, bool keep_alpha,
                int compression = png_default_compression);
// The same written to a file; a file left half written is removed.
bool save_png(const std::string& path, const void* pixels, int32_t width, int32_t height,
              ptrdiff_t pitch, uint32_t format, bool keep_alpha,
              int compression = png_default_compression);

// A picture in PNG's own layout. Colour types and bit depths are PNG's (colour type 0 grey,
// 2 RGB, 3 palette, 4 grey + alpha, 6 RGBA; depths 1, 2, 4, 8 or 16 as the type allows).
struct png_raw_picture {
  int32_t width = 0;
  int32_t height = 0;
  int color_type = 2;
  int bit_depth = 8;
  bool interlaced = false;  // Adam7
  // Each row packed as PNG stores it (samples high bit first, 16-bit samples big-endian).
  std::vector<std::vector<uint8_t>> rows;
  std::vector<uint8_t> palette;        // PLTE: red, green, blue per entry
  std::vector<uint8_t> palette_alpha;  // tRNS of a palette picture
  bool has_trns_color = false;         // tRNS of a grey or RGB picture:
  uint16_t trns_color[3] = {};         // grey in [0], else red, green, blue
  bool srgb = false;                   // an sRGB chunk (perceptual intent)
  double gamma = 0;                    // a gAMA chunk when above 0
  std::vector<uint8_t> exif;           // an eXIf chunk's body (written before the pixels)
  int compression = png_default_compression;
};

// Encodes the picture, appending to `out`; false (nothing appended) when libpng refuses it.
bool encode_png(std::string& out, const png_raw_picture& picture);

}  // namespace zel
