// Pixel-format codes shared by textures (eTextureType), bitmaps (bimage_type) and colours.
// Multi-byte pixels are little-endian: the names read from the most significant bit down,
// so a 24-bit pixel is the bytes blue, green, red and a 32-bit one blue, green, red, alpha.
#pragma once
#include <cstdint>

namespace zel {

enum bimage_type : uint32_t {
  bimage_none = 0,
  bimage_p1 = 0x10000001,
  bimage_p4 = 0x10000002,
  bimage_p8 = 0x10000003,
  bimage_x1r5g5b5 = 0x10000004,
  bimage_r5g6b5 = 0x10000005,
  bimage_a1r5g5b5 = 0x10000006,
  bimage_r8g8b8 = 0x10000007,
  bimage_x8r8g8b8 = 0x10000008,
  bimage_a8r8g8b8 = 0x10000009,
  bimage_a8 = 0x1000000A,
  bimage_cmyk = 0x1000000B,
  bimage_a4r4g4b4 = 0x1000000C,
  bimage_a8r3g3b2 = 0x1000000D,
  bimage_a8p8 = 0x1000000E,
  bimage_a8l8 = 0x1000000F,
  bimage_a4l4 = 0x10000010,
};

// Texture pixel formats use the same codes (0x10000001, 0x10000002 and 0x1000000B have no
// texture format).
enum eTextureType : uint32_t {
  tt_none = 0,
  tt_p8 = 0x10000003,
  tt_x1r5g5b5 = 0x10000004,
  tt_r5g6b5 = 0x10000005,
  tt_a1r5g5b5 = 0x10000006,
  tt_r8g8b8 = 0x10000007,
  tt_x8r8g8b8 = 0x10000008,
  tt_a8r8g8b8 = 0x10000009,
  tt_a8 = 0x1000000A,
  tt_a4r4g4b4 = 0x1000000C,
  tt_a8r3g3b2 = 0x1000000D,
  tt_a8p8 = 0x1000000E,
  tt_a8l8 = 0x1000000F,
  tt_a4l4 = 0x10000010,
};

// Bits per pixel of a format as a texture holds it; 0 for an unknown code.
constexpr int pixel_format_bits(uint32_t code) {
  switch (code) {
    case bimage_p1:
      return 1;
    case bimage_p4:
      return 4;
    case bimage_p8:
    case bimage_a8:
    case bimage_a4l4:
      return 8;
    case bimage_x1r5g5b5:
    case bimage_r5g6b5:
    case bimage_a1r5g5b5:
    case bimage_a4r4g4b4:
    case bimage_a8r3g3b2:
    case bimage_a8p8:
    case bimage_a8l8:
      return 16;
    case bimage_r8g8b8:
      return 24;
    case bimage_x8r8g8b8:
    case bimage_a8r8g8b8:
    case bimage_cmyk:
      return 32;
    default:
      return 0;
  }
}

}  // namespace zel
