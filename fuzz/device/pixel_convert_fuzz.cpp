// Conversion and scaling between arbitrary formats and sizes: every access stays inside the
// rows the caller describes (AddressSanitizer watches the exact-size buffers).
#include <cstddef>
#include <cstdint>
#include <vector>

#include "zel/pixel_convert.h"
#include "zel/pixel_format.h"

// Codes 0x10000000..0x10000011 and one unknown value.
static uint32_t pick_format(uint8_t b) {
  return b % 19 == 18 ? 0x20000000u : 0x10000000u + (b % 19);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 8) return 0;
  const uint32_t src_type = pick_format(data[0]);
  const uint32_t dst_type = pick_format(data[1]);
  const int32_t sw = data[2] % 33, sh = data[3] % 9;
  const int32_t dw = data[4] % 33, dh = data[5] % 9;
  const bool with_palette = data[6] & 1, scale = data[6] & 2;
  const size_t extra = data[7] % 5;
  data += 8;
  size -= 8;

  const ptrdiff_t src_pitch = ptrdiff_t(zel::pixel_row_bytes(src_type, sw) + extra);
  std::vector<uint8_t> src(size_t(src_pitch) * size_t(sh));
  for (size_t i = 0; i < src.size() && size; ++i) src[i] = data[i % size];
  std::vector<uint8_t> palette(768);
  for (size_t i = 0; i < palette.size(); ++i) palette[i] = uint8_t(i * 7);

  const int32_t ow = scale ? dw : sw, oh = scale ? dh : sh;
  const ptrdiff_t dst_pitch = ptrdiff_t(zel::pixel_row_bytes(dst_type, ow));
  std::vector<uint8_t> dst(size_t(dst_pitch) * size_t(oh) + 1);
  const uint8_t* pal = with_palette ? palette.data() : nullptr;
  if (src.empty()) src.resize(1);
  if (scale)
    zel::scale_pixels(dst_type, dst.data(), dst_pitch, dw, dh, src_type, src.data(), src_pitch, sw,
                      sh, pal);
  else
    zel::convert_pixels(dst_type, dst.data(), dst_pitch, src_type, src.data(), src_pitch, sw, sh,
                        pal);
  if (sw > 0 && sh > 0) [[maybe_unused]]
    volatile uint32_t v = zel::read_pixel_argb(src_type, src.data(), sw - 1, pal);
  return 0;
}
