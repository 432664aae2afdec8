// Blending straight (not premultiplied) ARGB texels over a premultiplied ARGB target, for the
// software device's most common draw: a texture with alpha placed texel for texel. pixman
// blends premultiplied colour only; this spares the device a premultiplied copy of every such
// texture (twice the memory, made again after each change) while giving the very values
// pixman's OVER of that copy would give.
#pragma once
#include <cstddef>
#include <cstdint>

namespace zel {
namespace soft {

// Blends w x h texels of 32-bit ARGB (colour not multiplied by alpha) over a target of 32-bit
// ARGB (premultiplied; x8r8g8b8 as well: the top byte is then written but means nothing), each
// texel's alpha scaled by `alpha` (255: as it is). Pitches in bytes. The result is bit for bit
// pixman's OVER of the texels premultiplied (colour x alpha / 255, rounded) through a solid
// mask of `alpha`. `spans`, if given: per source row, two texel columns [first, end) outside
// of which the row is transparent (left alone without being read); `src_x` is the column of
// the row's first texel.
void over_straight(uint32_t* dst, ptrdiff_t dst_pitch, const uint32_t* src, ptrdiff_t src_pitch,
                   int32_t w, int32_t h, uint32_t alpha, const uint16_t* spans = nullptr,
                   int32_t src_x = 0);

// The most texels blended at a time: 16 (AVX-512), 8 (AVX2) or 4 (SSE2); each is used where
// the processor has it, the widest by default. Tests check the narrower loops with this.
void limit_blending_width(int texels);

}  // namespace soft
}  // namespace zel
