// Helpers of the media, player and recorder tests: clips made by the ffmpeg command line,
// recordings decoded back by it, and what to look for in the decoded pictures and sound.
#pragma once
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace media_test {

namespace fs = std::filesystem;

// A fresh folder in the build folder.
inline fs::path fresh_dir(const std::string& name) {
  fs::path d = fs::path(ZEL_TEST_BINARY_DIR) / name;
  fs::remove_all(d);
  fs::create_directories(d);
  return d;
}

inline bool sh(const std::string& cmd) {
  return std::system(cmd.c_str()) == 0;
}

const std::string kShow = std::string(ZEL_TEST_BINARY_DIR) + "/../../bin/zelshow";

struct Outcome {
  int code;
  std::string err;
};

// zelshow run in `dir` with `args`: its exit code and what it wrote on stderr.
inline Outcome zelshow(const fs::path& dir, const std::string& args) {
  const fs::path err = dir / "stderr.txt";
  const int rc = std::system(("cd '" + dir.string() + "' && " + kShow + " " + args + " 2>'" +
                              err.string() + "' >/dev/null")
                                 .c_str());
  std::stringstream ss;
  ss << std::ifstream(err).rdbuf();
  return {WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, ss.str()};
}

inline std::vector<uint8_t> slurp(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
}

// Bit-exact settings for clips made at test time.
inline const char* kExact = "-v error -y -fflags +bitexact -flags:v +bitexact -flags:a +bitexact";

struct decoded {
  std::vector<double> luma;      // mean luma of each frame, 0..255
  std::vector<int16_t> samples;  // mono 48 kHz
};

// Decodes a file's pictures (scaled to 16x16 grey) and sound (mono, 48 kHz) with ffmpeg.
inline decoded decode(const fs::path& file) {
  decoded d;
  const fs::path v = file.string() + ".gray", a = file.string() + ".pcm";
  const std::string in = "ffmpeg -v error -y -i '" + file.string() + "' ";
  sh(in + "-vf scale=16:16 -f rawvideo -pix_fmt gray '" + v.string() + "'");
  sh(in + "-vn -ac 1 -ar 48000 -f s16le '" + a.string() + "' 2>/dev/null");
  const auto vb = slurp(v), ab = slurp(a);
  for (size_t i = 0; i + 256 <= vb.size(); i += 256) {
    double s = 0;
    for (size_t k = 0; k < 256; ++k) s += vb[i + k];
    d.luma.push_back(s / 256);
  }
  d.samples.resize(ab.size() / 2);
  for (size_t i = 0; i < d.samples.size(); ++i)
    d.samples[i] = int16_t(uint16_t(ab[2 * i] | ab[2 * i + 1] << 8));
  return d;
}

// The first sample at or after `from` (and before `to`) louder than `level`; -1 when none.
inline int64_t onset(const std::vector<int16_t>& s, int64_t from, int64_t to, int level = 3000) {
  for (int64_t i = std::max<int64_t>(from, 0); i < to && i < int64_t(s.size()); ++i)
    if (std::abs(int(s[size_t(i)])) > level) return i;
  return -1;
}

// The first frame at or after `from` (and before `to`) brighter than mid-grey; -1 when none.
inline int first_bright(const std::vector<double>& luma, int from, int to) {
  for (int i = std::max(from, 0); i < to && i < int(luma.size()); ++i)
    if (luma[size_t(i)] > 128) return i;
  return -1;
}

// Frame k of the colour clips is (r, g, b) = colour(k).
inline uint32_t colour(int k) {
  return uint32_t(16 + k * 40 % 224) << 16 | uint32_t(16 + k * 97 % 224) << 8 |
         uint32_t(16 + k * 151 % 224);
}
// 64 x 48, 25 frames a second, `seconds` long, each frame of one colour.
inline std::string colour_source(double seconds = 1) {
  return "-f lavfi -i \"color=c=black:s=64x48:r=25:d=" + std::to_string(seconds) +
         ",format=gbrp,geq=r='16+mod(N*40\\,224)':g='16+mod(N*97\\,224)':b='16+mod(N*151\\,224)'\"";
}

// The clip `name` in the build folder, made with `args` unless it exists; empty on failure.
inline std::string clip(const std::string& name, const std::string& args) {
  const std::string path = std::string(ZEL_TEST_BINARY_DIR) + "/media-" + name;
  if (access(path.c_str(), R_OK) == 0) return path;
  const std::string tmp = path + ".part." + std::to_string(getpid()) + "." + name;
  const std::string cmd = "ffmpeg -nostdin -v error -y " + args +
                          " -fflags +bitexact -flags +bitexact \"" + tmp + "\" && mv \"" + tmp +
                          "\" \"" + path + "\"";
  return std::system(cmd.c_str()) == 0 ? path : std::string();
}

}  // namespace media_test
