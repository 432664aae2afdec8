// Reading a captured 16-bit PCM WAV file and measuring a tone in it.
#pragma once
#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace zel_test {

struct Wav {
  int rate = 0, channels = 0;
  std::vector<int16_t> samples;  // interleaved
  size_t frames() const { return channels ? samples.size() / channels : 0; }
};

// The "fmt " and "data" chunks of a 16-bit PCM file; a data size the writer never fixed up
// (still 0 or too large) means "to the end of the file".
inline bool read_wav(const std::string& path, Wav& w) {
  std::ifstream f(path, std::ios::binary);
  std::vector<char> b((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  if (b.size() < 12 || std::memcmp(b.data(), "RIFF", 4) || std::memcmp(b.data() + 8, "WAVE", 4))
    return false;
  auto u32 = [&](size_t o) {
    uint32_t v;
    std::memcpy(&v, &b[o], 4);
    return v;
  };
  auto u16 = [&](size_t o) {
    uint16_t v;
    std::memcpy(&v, &b[o], 2);
    return v;
  };
  for (size_t o = 12; o + 8 <= b.size();) {
    size_t n = u32(o + 4);
    if (!std::memcmp(&b[o], "fmt ", 4)) {
      if ((u16(o + 8) != 1 && u16(o + 8) != 0xFFFE) || u16(o + 22) != 16) return false;
      w.channels = u16(o + 10);
      w.rate = static_cast<int>(u32(o + 12));
    } else if (!std::memcmp(&b[o], "data", 4)) {
      if (n == 0 || o + 8 + n > b.size()) n = b.size() - o - 8;
      w.samples.resize(n / 2);
      std::memcpy(w.samples.data(), &b[o + 8], w.samples.size() * 2);
      return w.channels > 0;
    }
    o += 8 + n + (n & 1);
  }
  return false;
}

// Frames [first, last] where channel `ch` is above `threshold` (full scale 1); {-1,-1} if never.
inline std::pair<long, long> tone_span(const Wav& w, int ch, double threshold) {
  long first = -1, last = -1;
  for (size_t i = 0; i < w.frames(); ++i)
    if (std::abs(w.samples[i * w.channels + ch]) > threshold * 32768) {
      if (first < 0) first = static_cast<long>(i);
      last = static_cast<long>(i);
    }
  return {first, last};
}

// Amplitude (full scale 1) of `freq` in channel `ch` over frames [from, to) by Goertzel, and
// the level of everything else relative to it in dB.
struct Tone {
  double amplitude = 0;
  double rest_db = 0;
};
// The range is cut to a whole number of periods of the tone (integer frequencies).
inline Tone measure_tone(const Wav& w, int ch, size_t from, size_t to, double freq) {
  size_t a = static_cast<size_t>(w.rate), b = static_cast<size_t>(freq);
  while (b) {
    const size_t t = a % b;
    a = b;
    b = t;
  }
  const size_t whole = static_cast<size_t>(w.rate) / a;
  if (to - from >= whole) to = from + (to - from) / whole * whole;
  const double k = 2 * std::cos(2 * M_PI * freq / w.rate);
  double s1 = 0, s2 = 0, energy = 0;
  for (size_t i = from; i < to; ++i) {
    const double x = w.samples[i * w.channels + ch] / 32768.0;
    const double s = x + k * s1 - s2;
    s2 = s1;
    s1 = s;
    energy += x * x;
  }
  const double n = static_cast<double>(to - from);
  const double power = s1 * s1 + s2 * s2 - k * s1 * s2;  // |X(f)|^2
  Tone t;
  t.amplitude = 2 * std::sqrt(power) / n;
  const double tone_energy = t.amplitude * t.amplitude / 2 * n;
  t.rest_db = 10 * std::log10(std::max(energy - tone_energy, 1e-12) / tone_energy);
  return t;
}

inline double db(double ratio) {
  return 20 * std::log10(ratio);
}

}  // namespace zel_test
