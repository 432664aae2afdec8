// Conversion of pixels between the engine's pixel formats (zel/pixel_format.h) and filtered
// scaling.
//
// Every pair of formats converts through 8-bit ARGB:
// - channels narrower than 8 bits widen by bit replication and narrow with rounding, so a
//   round trip through a wider format gives the original values back exactly;
// - formats without alpha read as opaque; the unused bits of X1R5G5B5 / X8R8G8B8 are written
//   as ones;
// - A8 reads as white with that alpha, and keeps only the alpha when written;
// - luminance (L8 of A8L8, L4 of A4L4) is (77 R + 150 G + 29 B + 128) / 256, so a grey keeps
//   its value;
// - palette indices (P1, P4, P8, A8P8) read through a palette of 3-byte entries red, green,
//   blue in index order; with no palette the index is a grey level (P1: 0, 255; P4: 17 * i).
//   Between two palette formats the index itself is kept; a colour written to a palette format
//   becomes the index of its luminance (the grey palette);
// - CMYK (bytes C, M, Y, K) reads as R = (255 - C)(255 - K) / 255 and so on; it cannot be
//   written.
#pragma once
#include <cstddef>
#include <cstdint>

namespace zel {

// True when pixels of the format can be read (a source), resp. written (a destination).
bool pixel_format_readable(uint32_t type);
bool pixel_format_writable(uint32_t type);

// Bytes one row of `width` pixels occupies (without padding); 0 for an unknown format.
size_t pixel_row_bytes(uint32_t type, int32_t width);

// Converts width x height pixels. Returns false, writing nothing, when a format cannot be read
// or written, a pointer is null while there are pixels to convert, or a size is negative.
// Source and destination may be the same memory; with the same format nothing is done.
bool convert_pixels(uint32_t dst_type, void* dst, ptrdiff_t dst_pitch, uint32_t src_type,
                    const void* src, ptrdiff_t src_pitch, int32_t width, int32_t height,
                    const uint8_t* src_palette = nullptr);

// Scales src_w x src_h source pixels into dst_w x dst_h destination pixels with a triangle
// (tent) filter, averaging over the covered area when shrinking; edges are clamped. Colour is
// filtered with premultiplied alpha so that transparent pixels do not bleed their colour.
// With equal sizes this is convert_pixels. Returns false as convert_pixels does, or when
// pixman cannot allocate its images.
bool scale_pixels(uint32_t dst_type, void* dst, ptrdiff_t dst_pitch, int32_t dst_w, int32_t dst_h,
                  uint32_t src_type, const void* src, ptrdiff_t src_pitch, int32_t src_w,
                  int32_t src_h, const uint8_t* src_palette = nullptr);

// One pixel as 0xAARRGGBB read from the format at `src` (x is the pixel's index in its row,
// needed for the sub-byte formats). 0 for an unreadable format.
uint32_t read_pixel_argb(uint32_t type, const void* row, int32_t x,
                         const uint8_t* palette = nullptr);

}  // namespace zel
