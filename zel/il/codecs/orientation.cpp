#include "zel/il/codecs/orientation.h"

#include <libexif/exif-data.h>

#include <cstring>
#include <vector>

namespace zel {
namespace codecs {

int exif_orientation(const uint8_t* data, size_t size, bool tiff_only) {
  // libexif looks for the "Exif\0\0" header; a bare TIFF block gets one put in front.
  static const uint8_t header[6] = {'E', 'x', 'i', 'f', 0, 0};
  if (!data || size < 8 || size > 0xFFFFFF) return 1;
  std::vector<uint8_t> block;
  if (tiff_only) {
    block.assign(header, header + 6);
    block.insert(block.end(), data, data + size);
    data = block.data();
    size = block.size();
  } else if (std::memcmp(data, header, 6) != 0) {
    return 1;
  }
  ExifData* ed = exif_data_new();
  if (!ed) return 1;
  // Only the tag is needed: no maker notes, no fix-ups of the data.
  exif_data_unset_option(ed, EXIF_DATA_OPTION_FOLLOW_SPECIFICATION);
  exif_data_unset_option(ed, EXIF_DATA_OPTION_IGNORE_UNKNOWN_TAGS);
  exif_data_load_data(ed, data, unsigned(size));
  int orientation = 1;
  ExifEntry* e = exif_content_get_entry(ed->ifd[EXIF_IFD_0], EXIF_TAG_ORIENTATION);
  if (e && e->format == EXIF_FORMAT_SHORT && e->components >= 1 && e->data && e->size >= 2) {
    const int v = exif_get_short(e->data, exif_data_get_byte_order(ed));
    if (v >= 1 && v <= 8) orientation = v;
  }
  exif_data_unref(ed);
  return orientation;
}

void apply_orientation(const uint8_t* src, int32_t w, int32_t h, size_t src_line, int bpp,
                       uint8_t* dst, size_t dst_line, int orientation) {
  const bool swap = swaps_axes(orientation);
  const int32_t dw = swap ? h : w, dh = swap ? w : h;
  for (int32_t dy = 0; dy < dh; ++dy) {
    uint8_t* out = dst + size_t(dy) * dst_line;
    for (int32_t dx = 0; dx < dw; ++dx, out += bpp) {
      int32_t sx = dx, sy = dy;
      switch (orientation) {
        case 2:
          sx = w - 1 - dx;
          break;  // mirrored
        case 3:
          sx = w - 1 - dx;
          sy = h - 1 - dy;
          break;  // turned 180
        case 4:
          sy = h - 1 - dy;
          break;  // flipped
        case 5:
          sx = dy;
          sy = dx;
          break;  // transposed
        case 6:
          sx = dy;
          sy = h - 1 - dx;
          break;  // turned 90 clockwise
        case 7:
          sx = w - 1 - dy;
          sy = h - 1 - dx;
          break;  // transversed
        case 8:
          sx = w - 1 - dy;
          sy = dx;
          break;  // turned 90 anticlockwise
        default:
          break;
      }
      std::memcpy(out, src + size_t(sy) * src_line + size_t(sx) * bpp, size_t(bpp));
    }
  }
}

}  // namespace codecs
}  // namespace zel
