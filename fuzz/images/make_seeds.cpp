// Writes the seed corpora of the image fuzz targets with the tests' own encoders, so that no
// binary sample needs to live in the tree: every PNG colour type and bit depth (plain and
// interlaced, with and without transparency) and the JPEG colour spaces and scan modes.
//   make_fuzz_seeds DIR  ->  DIR/fuzz_png, DIR/fuzz_jpeg, DIR/fuzz_decoder
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <tuple>

#include "images/encode_util.h"

using namespace images_test;
namespace fs = std::filesystem;

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_fuzz_seeds DIR\n");
    return 2;
  }
  const fs::path png = fs::path(argv[1]) / "fuzz_png", jpeg = fs::path(argv[1]) / "fuzz_jpeg",
                 any = fs::path(argv[1]) / "fuzz_decoder";
  auto write = [](const fs::path& dir, const std::string& name, const bytes& data) {
    fs::create_directories(dir);
    std::ofstream(dir / name, std::ios::binary)
        .write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
  };
  for (const auto& [type, depths] : png_kinds())
    for (int depth : depths)
      for (int v = 0; v < 4; ++v) {
        png_spec s = random_png(type, depth, v & 1, v & 2 && !(type & PNG_COLOR_MASK_ALPHA), 9, 5);
        s.srgb = v & 2;
        const std::string name = "t" + std::to_string(type) + "d" + std::to_string(depth) + "v" +
                                 std::to_string(v) + ".png";
        write(png, name, encode_png(s));
        if (v == 0) write(any, name, encode_png(s));
      }
  // Name, components, colour space in and in the file, progressive.
  const std::tuple<const char*, int, J_COLOR_SPACE, J_COLOR_SPACE, bool> kJpeg[] = {
      {"baseline", 3, JCS_RGB, JCS_YCbCr, false},
      {"progressive", 3, JCS_RGB, JCS_YCbCr, true},
      {"grey", 1, JCS_GRAYSCALE, JCS_GRAYSCALE, false},
      {"rgb", 3, JCS_RGB, JCS_RGB, false},
      {"cmyk", 4, JCS_CMYK, JCS_CMYK, false},
      {"ycck", 4, JCS_CMYK, JCS_YCCK, true}};
  for (const auto& [name, components, in, file, progressive] : kJpeg) {
    jpeg_spec s;
    s.width = 24, s.height = 16, s.components = components, s.quality = 75;
    s.in_space = in, s.file_space = file, s.progressive = progressive;
    s.samples = smooth_samples(s.width, s.height, s.components);
    for (const auto& dir : {jpeg, any}) write(dir, std::string(name) + ".jpg", encode_jpeg(s));
  }
  return 0;
}
