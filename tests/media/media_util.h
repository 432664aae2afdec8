// Clips for the media tests, made once per build by the ffmpeg CLI (bit-exact) in the tests'
// build folder.
#pragma once
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

namespace media_test {

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
