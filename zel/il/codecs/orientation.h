// EXIF orientation: reading the tag (libexif) and turning decoded rows upright.
#pragma once
#include <cstddef>
#include <cstdint>

namespace zel {
namespace codecs {

// The orientation tag (1..8) of an EXIF block, 1 when the block has none or it is invalid.
// `tiff_only`: the block is the bare TIFF structure (PNG eXIf) rather than a JPEG APP1 payload
// starting "Exif\0\0".
int exif_orientation(const uint8_t* data, size_t size, bool tiff_only);

// Orientations 5..8 swap width and height.
inline bool swaps_axes(int orientation) {
  return orientation >= 5 && orientation <= 8;
}

// Writes the `w` x `h` picture at `src` (pitch `src_line`, `bpp` bytes per pixel) into `dst`
// upright for the given orientation. `dst` holds (w, h) pixels, or (h, w) when the axes swap.
void apply_orientation(const uint8_t* src, int32_t w, int32_t h, size_t src_line, int bpp,
                       uint8_t* dst, size_t dst_line, int orientation);

}  // namespace codecs
}  // namespace zel
