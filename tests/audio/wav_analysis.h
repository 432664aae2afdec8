// Reading captured 16-bit PCM (a WAV file, or raw with a known format) and measuring a tone.
#pragma once
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace zel_test {

struct Pcm {
  int rate = 0, channels = 0;
  std::vector<int16_t> s;  // interleaved
  size_t frames() const { return s.size() / channels; }
};

// Raw samples from `offset` on; for a WAV file, the offset of its "data" chunk (a size the
// writer never fixed up means "to the end").
inline Pcm read_pcm(const std::string& path, int rate, int channels, bool wav) {
  std::ifstream f(path, std::ios::binary);
  std::vector<char> b((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  size_t at = 0;
  for (size_t o = 12; wav && o + 8 <= b.size();) {
    uint32_t n;
    std::memcpy(&n, &b[o + 4], 4);
    if (!std::memcmp(&b[o], "data", 4)) {
      at = o + 8;
      break;
    }
    o += 8 + n + (n & 1);
  }
  Pcm p{rate, channels, std::vector<int16_t>((b.size() - std::min(at, b.size())) / 2)};
  if (!p.s.empty()) std::memcpy(p.s.data(), &b[at], p.s.size() * 2);
  return p;
}

// First and last frame where channel `ch` exceeds `level` (full scale 1); first < 0 if never.
inline std::pair<long, long> tone_span(const Pcm& p, int ch, double level) {
  long first = -1, last = -1;
  for (size_t i = 0; i < p.frames(); ++i)
    if (std::abs(p.s[i * p.channels + ch]) > level * 32768) {
      if (first < 0) first = static_cast<long>(i);
      last = static_cast<long>(i);
    }
  return {first, last};
}

// Amplitude (full scale 1) of integer frequency `freq` in channel `ch` over frames [from, to),
// cut to whole periods (Goertzel), and everything else relative to it in dB.
struct Tone {
  double amplitude, rest_db;
};
inline Tone measure_tone(const Pcm& p, int ch, size_t from, size_t to, int freq) {
  size_t a = p.rate, b = freq;
  while (b) a %= b, std::swap(a, b);
  const size_t whole = p.rate / a;
  to = from + (to - from) / whole * whole;
  const double k = 2 * std::cos(2 * M_PI * freq / p.rate);
  double s1 = 0, s2 = 0, energy = 0;
  for (size_t i = from; i < to; ++i) {
    const double x = p.s[i * p.channels + ch] / 32768.0, s = x + k * s1 - s2;
    s2 = s1, s1 = s, energy += x * x;
  }
  const double n = static_cast<double>(to - from);
  const double amp = 2 * std::sqrt(s1 * s1 + s2 * s2 - k * s1 * s2) / n, tone = amp * amp / 2 * n;
  return {amp, 10 * std::log10(std::max(energy - tone, 1e-12) / tone)};
}

inline double db(double ratio) {
  return 20 * std::log10(ratio);
}

}  // namespace zel_test
