#include "zel/3d/driver/soft/straight_over.h"

#include <algorithm>
#include <atomic>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define ZEL_SOFT_AVX2 1
#endif

namespace zel {
namespace soft {

namespace {

// x * y / 255, rounded as pixman rounds (its MUL_UN8).
inline uint32_t mul_un8(uint32_t x, uint32_t y) {
  const uint32_t t = x * y + 0x80;
  return (t + (t >> 8)) >> 8;
}

inline uint32_t over_pixel(uint32_t s, uint32_t d, uint32_t alpha) {
  uint32_t a = s >> 24;
  uint32_t p[4] = {mul_un8(s & 0xFF, a), mul_un8((s >> 8) & 0xFF, a), mul_un8((s >> 16) & 0xFF, a),
                   a};
  if (alpha != 255) {
    for (uint32_t& c : p) c = mul_un8(c, alpha);
    a = p[3];
  }
  uint32_t out = 0;
  for (int i = 0; i < 4; ++i) {
    const uint32_t c = p[i] + mul_un8((d >> (8 * i)) & 0xFF, 255 - a);
    out |= (c > 255 ? 255 : c) << (8 * i);
  }
  return out;
}

#if defined(__SSE2__)
// Per 16-bit lane: x * y / 255, rounded as mul_un8.
inline __m128i mul_un8x8(__m128i x, __m128i y) {
  const __m128i t = _mm_add_epi16(_mm_mullo_epi16(x, y), _mm_set1_epi16(0x80));
  return _mm_mulhi_epu16(t, _mm_set1_epi16(0x101));
}

// Each pixel's alpha (lane 3 of its four 16-bit lanes) in all four lanes.
inline __m128i spread_alpha(__m128i x) {
  return _mm_shufflehi_epi16(_mm_shufflelo_epi16(x, 0xFF), 0xFF);
}

void over_row(uint32_t* d, const uint32_t* s, int32_t n, uint32_t alpha) {
  const __m128i zero = _mm_setzero_si128();
  const __m128i alpha_lane = _mm_set_epi16(255, 0, 0, 0, 255, 0, 0, 0);
  const __m128i ff = _mm_set1_epi16(0xFF);
  const __m128i opaque = _mm_set1_epi32(int(0xFF000000u));
  const __m128i factor = _mm_set1_epi16(int16_t(alpha));
  int32_t i = 0;
  for (; i + 4 <= n; i += 4) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
    const __m128i a = _mm_and_si128(v, opaque);
    // Four transparent texels leave the target; four opaque ones (at full alpha) replace it.
    if (_mm_movemask_epi8(_mm_cmpeq_epi32(a, zero)) == 0xFFFF) continue;
    if (alpha == 255 && _mm_movemask_epi8(_mm_cmpeq_epi32(a, opaque)) == 0xFFFF) {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(d + i), v);
      continue;
    }
    const __m128i sl = _mm_unpacklo_epi8(v, zero), sh = _mm_unpackhi_epi8(v, zero);
    // Premultiplied: colour x alpha, alpha x 255 (itself, so that the alpha stays spread).
    __m128i al = spread_alpha(sl), ah = spread_alpha(sh);
    __m128i pl = mul_un8x8(sl, _mm_or_si128(al, alpha_lane));
    __m128i ph = mul_un8x8(sh, _mm_or_si128(ah, alpha_lane));
    if (alpha != 255) {
      pl = mul_un8x8(pl, factor);
      ph = mul_un8x8(ph, factor);
      al = spread_alpha(pl);
      ah = spread_alpha(ph);
    }
    const __m128i dv = _mm_loadu_si128(reinterpret_cast<const __m128i*>(d + i));
    const __m128i dl = mul_un8x8(_mm_unpacklo_epi8(dv, zero), _mm_xor_si128(al, ff));
    const __m128i dh = mul_un8x8(_mm_unpackhi_epi8(dv, zero), _mm_xor_si128(ah, ff));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(d + i),
                     _mm_adds_epu8(_mm_packus_epi16(pl, ph), _mm_packus_epi16(dl, dh)));
  }
  for (; i < n; ++i)
    if (s[i] >> 24) d[i] = over_pixel(s[i], d[i], alpha);
}
#if defined(ZEL_SOFT_AVX2)
#define ZEL_AVX2 __attribute__((target("avx2"), always_inline))
ZEL_AVX2 inline __m256i mul_un8x16(__m256i x, __m256i y) {
  const __m256i t = _mm256_add_epi16(_mm256_mullo_epi16(x, y), _mm256_set1_epi16(0x80));
  return _mm256_mulhi_epu16(t, _mm256_set1_epi16(0x101));
}
ZEL_AVX2 inline __m256i spread_alpha(__m256i x) {
  return _mm256_shufflehi_epi16(_mm256_shufflelo_epi16(x, 0xFF), 0xFF);
}

// Eight texels over eight target pixels, the target 32-byte aligned; masked: only the lanes
// of `mask` are read and written (the rest of the group may lie outside both rows).
ZEL_AVX2 inline void over8(uint32_t* d, const uint32_t* s, uint32_t alpha, bool masked,
                           __m256i mask) {
  const __m256i zero = _mm256_setzero_si256();
  const __m256i opaque = _mm256_set1_epi32(int(0xFF000000u));
  const __m256i v = masked ? _mm256_maskload_epi32(reinterpret_cast<const int*>(s), mask)
                           : _mm256_loadu_si256(reinterpret_cast<const __m256i*>(s));
  const __m256i a = _mm256_and_si256(v, opaque);
  // Eight transparent texels leave the target; eight opaque ones (at full alpha) replace it.
  if (_mm256_movemask_epi8(_mm256_cmpeq_epi32(a, zero)) == -1) return;
  if (!masked && alpha == 255 && _mm256_movemask_epi8(_mm256_cmpeq_epi32(a, opaque)) == -1) {
    _mm256_store_si256(reinterpret_cast<__m256i*>(d), v);
    return;
  }
  const __m256i alpha_lane =
      _mm256_set_epi16(255, 0, 0, 0, 255, 0, 0, 0, 255, 0, 0, 0, 255, 0, 0, 0);
  const __m256i ff = _mm256_set1_epi16(0xFF);
  // Unpacking and packing work within each 128-bit half, so the texels keep their order.
  const __m256i sl = _mm256_unpacklo_epi8(v, zero), sh = _mm256_unpackhi_epi8(v, zero);
  __m256i al = spread_alpha(sl), ah = spread_alpha(sh);
  __m256i pl = mul_un8x16(sl, _mm256_or_si256(al, alpha_lane));
  __m256i ph = mul_un8x16(sh, _mm256_or_si256(ah, alpha_lane));
  if (alpha != 255) {
    const __m256i factor = _mm256_set1_epi16(int16_t(alpha));
    pl = mul_un8x16(pl, factor);
    ph = mul_un8x16(ph, factor);
    al = spread_alpha(pl);
    ah = spread_alpha(ph);
  }
  const __m256i dv = masked ? _mm256_maskload_epi32(reinterpret_cast<const int*>(d), mask)
                            : _mm256_load_si256(reinterpret_cast<const __m256i*>(d));
  const __m256i dl = mul_un8x16(_mm256_unpacklo_epi8(dv, zero), _mm256_xor_si256(al, ff));
  const __m256i dh = mul_un8x16(_mm256_unpackhi_epi8(dv, zero), _mm256_xor_si256(ah, ff));
  const __m256i out = _mm256_adds_epu8(_mm256_packus_epi16(pl, ph), _mm256_packus_epi16(dl, dh));
  if (masked)
    _mm256_maskstore_epi32(reinterpret_cast<int*>(d), mask, out);
  else
    _mm256_store_si256(reinterpret_cast<__m256i*>(d), out);
}

// Lanes [lo, hi) of a group of eight.
ZEL_AVX2 inline __m256i lanes(int32_t lo, int32_t hi) {
  const __m256i idx = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
  return _mm256_and_si256(_mm256_cmpgt_epi32(idx, _mm256_set1_epi32(lo - 1)),
                          _mm256_cmpgt_epi32(_mm256_set1_epi32(hi), idx));
}

// The same eight texels at a time, where the processor has AVX2: in the target's aligned
// groups of eight, the first and last of a row masked.
__attribute__((target("avx2"))) void over_row_avx2(uint32_t* d, const uint32_t* s, int32_t n,
                                                   uint32_t alpha) {
  const __m256i all = _mm256_set1_epi32(-1);
  const int32_t phase = int32_t((reinterpret_cast<uintptr_t>(d) / 4) & 7);
  int32_t i = 0;
  if (phase != 0) {
    const int32_t end = std::min(8, phase + n);
    over8(d - phase, s - phase, alpha, true, lanes(phase, end));
    i = end - phase;
  }
  for (; i + 8 <= n; i += 8) over8(d + i, s + i, alpha, false, all);
  if (i < n) over8(d + i, s + i, alpha, true, lanes(0, n - i));
}

#define ZEL_AVX512 __attribute__((target("avx512f,avx512bw"), always_inline))
ZEL_AVX512 inline __m512i mul_un8x32(__m512i x, __m512i y) {
  const __m512i t = _mm512_add_epi16(_mm512_mullo_epi16(x, y), _mm512_set1_epi16(0x80));
  return _mm512_mulhi_epu16(t, _mm512_set1_epi16(0x101));
}
ZEL_AVX512 inline __m512i spread_alpha(__m512i x) {
  return _mm512_shufflehi_epi16(_mm512_shufflelo_epi16(x, 0xFF), 0xFF);
}

// Sixteen texels over sixteen target pixels, only the lanes of `m` read and written (masked
// lanes never fault).
ZEL_AVX512 inline void over16(uint32_t* d, const uint32_t* s, uint32_t alpha, __mmask16 m) {
  const __m512i zero = _mm512_setzero_si512();
  const __m512i opaque = _mm512_set1_epi32(int(0xFF000000u));
  const __m512i v = _mm512_maskz_loadu_epi32(m, s);
  if (!_mm512_test_epi32_mask(v, opaque)) return;
  if (alpha == 255 && (_mm512_cmpeq_epi32_mask(_mm512_and_si512(v, opaque), opaque) & m) == m) {
    _mm512_mask_storeu_epi32(d, m, v);
    return;
  }
  const __m512i alpha_lane = _mm512_set1_epi64(int64_t(255) << 48);
  const __m512i ff = _mm512_set1_epi16(0xFF);
  const __m512i sl = _mm512_unpacklo_epi8(v, zero), sh = _mm512_unpackhi_epi8(v, zero);
  __m512i al = spread_alpha(sl), ah = spread_alpha(sh);
  __m512i pl = mul_un8x32(sl, _mm512_or_si512(al, alpha_lane));
  __m512i ph = mul_un8x32(sh, _mm512_or_si512(ah, alpha_lane));
  if (alpha != 255) {
    const __m512i factor = _mm512_set1_epi16(int16_t(alpha));
    pl = mul_un8x32(pl, factor);
    ph = mul_un8x32(ph, factor);
    al = spread_alpha(pl);
    ah = spread_alpha(ph);
  }
  const __m512i dv = _mm512_maskz_loadu_epi32(m, d);
  const __m512i dl = mul_un8x32(_mm512_unpacklo_epi8(dv, zero), _mm512_xor_si512(al, ff));
  const __m512i dh = mul_un8x32(_mm512_unpackhi_epi8(dv, zero), _mm512_xor_si512(ah, ff));
  _mm512_mask_storeu_epi32(
      d, m, _mm512_adds_epu8(_mm512_packus_epi16(pl, ph), _mm512_packus_epi16(dl, dh)));
}

// Sixteen texels at a time, where the processor has AVX-512 (BW): in the target's aligned
// 64-byte groups, the first and last of a row masked.
__attribute__((target("avx512f,avx512bw"))) void over_row_avx512(uint32_t* d, const uint32_t* s,
                                                                 int32_t n, uint32_t alpha) {
  const int32_t phase = int32_t((reinterpret_cast<uintptr_t>(d) / 4) & 15);
  int32_t i = 0;
  if (phase != 0) {
    const int32_t end = std::min(16, phase + n);
    over16(d - phase, s - phase, alpha, __mmask16(((1u << end) - 1) & ~((1u << phase) - 1)));
    i = end - phase;
  }
  for (; i + 16 <= n; i += 16) over16(d + i, s + i, alpha, 0xFFFF);
  if (i < n) over16(d + i, s + i, alpha, __mmask16((1u << (n - i)) - 1));
}

const bool has_avx2 = (__builtin_cpu_init(), __builtin_cpu_supports("avx2"));
const bool has_avx512 = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw");
std::atomic<int> widest{16};
#endif
#else
void over_row(uint32_t* d, const uint32_t* s, int32_t n, uint32_t alpha) {
  for (int32_t i = 0; i < n; ++i)
    if (s[i] >> 24) d[i] = over_pixel(s[i], d[i], alpha);
}
#endif

}  // namespace

void over_straight(uint32_t* dst, ptrdiff_t dst_pitch, const uint32_t* src, ptrdiff_t src_pitch,
                   int32_t w, int32_t h, uint32_t alpha, const uint16_t* spans, int32_t src_x) {
  if (alpha == 0) return;
  // The part of row y to blend: [lo, hi) of the w columns, widened to whole 32-byte groups of
  // the target (transparent texels blend to nothing) so that rows go whole through the wide
  // loop; `phase`: the row's first pixel within its group.
  auto part = [&](int32_t y, int32_t phase, int32_t& lo, int32_t& hi) {
    lo = 0;
    hi = w;
    if (!spans) return;
    const int32_t first = int32_t(spans[2 * y]) - src_x, end = int32_t(spans[2 * y + 1]) - src_x;
    if (first >= end) {
      hi = 0;
      return;
    }
    lo = std::max(0, ((first + phase) & ~7) - phase);
    hi = std::min(w, ((end + phase + 7) & ~7) - phase);
  };
#if defined(ZEL_SOFT_AVX2)
  const int max_width = widest.load(std::memory_order_relaxed);
#endif
  auto* d = reinterpret_cast<uint8_t*>(dst);
  auto* s = reinterpret_cast<const uint8_t*>(src);
  for (int32_t y = 0; y < h; ++y, d += dst_pitch, s += src_pitch) {
    int32_t lo, hi;
    const int32_t phase = int32_t((reinterpret_cast<uintptr_t>(d) / 4) & 7);
#if defined(__SSE2__)
    // Texels and target rows a few rows ahead, which the processor does not foresee (a new
    // row of the target lies a whole frame row away).
    if (y + 4 < h) {
      part(y + 4, phase, lo, hi);
      const char* ahead = reinterpret_cast<const char*>(s + 4 * src_pitch);
      const char* target = reinterpret_cast<const char*>(d + 4 * dst_pitch);
      for (int32_t k = lo * 4; k < hi * 4; k += 64) {
        _mm_prefetch(ahead + k, _MM_HINT_T0);
        _mm_prefetch(target + k, _MM_HINT_T0);
      }
    }
#endif
    part(y, phase, lo, hi);
    if (lo >= hi) continue;
    uint32_t* dr = reinterpret_cast<uint32_t*>(d) + lo;
    const uint32_t* sr = reinterpret_cast<const uint32_t*>(s) + lo;
#if defined(ZEL_SOFT_AVX2)
    if (has_avx512 && max_width >= 16) {
      over_row_avx512(dr, sr, hi - lo, alpha);
      continue;
    }
    if (has_avx2 && max_width >= 8) {
      over_row_avx2(dr, sr, hi - lo, alpha);
      continue;
    }
#endif
    over_row(dr, sr, hi - lo, alpha);
  }
}

void limit_blending_width(int texels) {
#if defined(ZEL_SOFT_AVX2)
  widest = texels;
#else
  (void)texels;
#endif
}

}  // namespace soft
}  // namespace zel
