// Writes the seed corpora of the image fuzz targets with the tests' own encoders, so that no
// binary sample needs to live in the tree: every PNG colour type and bit depth (plain and
// interlaced, with and without transparency) and the JPEG colour spaces and scan modes.
//   make_fuzz_seeds DIR  ->  DIR/fuzz_png, DIR/fuzz_jpeg, DIR/fuzz_decoder
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "images/encode_util.h"

using namespace images_test;
namespace fs = std::filesystem;

namespace {

png_spec png_seed(int color_type, int depth, bool interlaced, bool trns) {
  png_spec s;
  s.width = 9;
  s.height = 5;
  s.color_type = color_type;
  s.bit_depth = depth;
  s.interlaced = interlaced;
  const uint32_t maxv = (1u << depth) - 1;
  rng r(uint32_t(color_type * 64 + depth * 2 + interlaced));
  if (color_type == PNG_COLOR_TYPE_PALETTE) {
    for (int i = 0; i < (1 << depth); ++i)
      s.palette.push_back(png_color{uint8_t(r.next()), uint8_t(r.next()), uint8_t(r.next())});
    if (trns) s.palette_alpha = {0, 128};
  } else if (trns && (color_type == PNG_COLOR_TYPE_GRAY || color_type == PNG_COLOR_TYPE_RGB)) {
    s.has_trns_color = true;
    s.trns_color.gray = s.trns_color.red = png_uint_16(maxv / 2);
  }
  for (int i = 0; i < s.width * s.height * png_channels(color_type); ++i)
    s.samples.push_back(r.next() & maxv);
  s.srgb = trns;
  return s;
}

void write(const fs::path& dir, const std::string& name, const bytes& data) {
  std::ofstream(dir / name, std::ios::binary)
      .write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_fuzz_seeds DIR\n");
    return 2;
  }
  const fs::path root = argv[1];
  const fs::path png = root / "fuzz_png", jpeg = root / "fuzz_jpeg", any = root / "fuzz_decoder";
  for (const auto& d : {png, jpeg, any}) fs::create_directories(d);

  const struct {
    int type;
    int depths[5];
  } kPng[] = {{PNG_COLOR_TYPE_GRAY, {1, 2, 4, 8, 16}},
              {PNG_COLOR_TYPE_RGB, {8, 16}},
              {PNG_COLOR_TYPE_PALETTE, {1, 2, 4, 8}},
              {PNG_COLOR_TYPE_GRAY_ALPHA, {8, 16}},
              {PNG_COLOR_TYPE_RGB_ALPHA, {8, 16}}};
  for (const auto& t : kPng)
    for (int depth : t.depths) {
      if (depth == 0) break;
      for (int variant = 0; variant < 4; ++variant) {
        const bytes file = encode_png(png_seed(t.type, depth, variant & 1, variant & 2));
        const std::string name = "t" + std::to_string(t.type) + "d" + std::to_string(depth) + "v" +
                                 std::to_string(variant) + ".png";
        write(png, name, file);
        if (variant == 0) write(any, name, file);
      }
    }

  const struct {
    const char* name;
    int components;
    J_COLOR_SPACE in, file;
    bool progressive;
  } kJpeg[] = {{"baseline", 3, JCS_RGB, JCS_YCbCr, false},
               {"progressive", 3, JCS_RGB, JCS_YCbCr, true},
               {"grey", 1, JCS_GRAYSCALE, JCS_GRAYSCALE, false},
               {"rgb", 3, JCS_RGB, JCS_RGB, false},
               {"cmyk", 4, JCS_CMYK, JCS_CMYK, false},
               {"ycck", 4, JCS_CMYK, JCS_YCCK, true}};
  for (const auto& j : kJpeg) {
    jpeg_spec s;
    s.width = 24;
    s.height = 16;
    s.components = j.components;
    s.in_space = j.in;
    s.file_space = j.file;
    s.progressive = j.progressive;
    s.quality = 75;
    s.samples = smooth_samples(s.width, s.height, s.components);
    const bytes file = encode_jpeg(s);
    write(jpeg, std::string(j.name) + ".jpg", file);
    write(any, std::string(j.name) + ".jpg", file);
  }
  return 0;
}
