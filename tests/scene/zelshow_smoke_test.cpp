// zelshow as a user runs it: headless frames written as PNG files showing the demo scene, a
// slideshow that shows the picture given, and one clear line for bad input.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "qar/stream.h"
#include "zel/il/bitmap_image.h"
#include "zel/il/decoder.h"

namespace fs = std::filesystem;

namespace {

const std::string kShow = std::string(ZEL_TEST_BINARY_DIR) + "/../../bin/zelshow";

struct Outcome {
  int code;
  std::string err;
};

Outcome run(const std::string& args) {
  const fs::path err = fs::path(ZEL_TEST_BINARY_DIR) / "zelshow_stderr.txt";
  const std::string cmd = kShow + " " + args + " 2>" + err.string() + " >/dev/null";
  const int rc = std::system(cmd.c_str());
  std::ifstream in(err);
  std::stringstream ss;
  ss << in.rdbuf();
  return {WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, ss.str()};
}

std::shared_ptr<zel::BitmapImage> load_png(const fs::path& p) {
  auto s = qar::FileStream::open(p.string());
  if (!s) return nullptr;
  auto dec = zel::ImageDecoder::create(s, nullptr);
  if (!dec) return nullptr;
  return std::dynamic_pointer_cast<zel::BitmapImage>(dec->decode());
}

uint32_t rgb(const zel::BitmapImage& img, int x, int y) {
  const int bpp = img.type() == zel::bimage_r8g8b8 ? 3 : 4;
  const uint8_t* p = img.pixmap(y) + x * bpp;
  return uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0];
}

fs::path fresh_dir(const char* name) {
  fs::path d = fs::path(ZEL_TEST_BINARY_DIR) / name;
  fs::remove_all(d);
  return d;
}

TEST(ZelshowSmoke, HeadlessDemoWritesEveryFrame) {
  ASSERT_TRUE(fs::exists(kShow)) << kShow;
  const fs::path out = fresh_dir("zelshow_demo");
  Outcome r = run("--headless --frames 50 --size 640x480 --out " + out.string());
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_NE(r.err.find("50 frames"), std::string::npos) << r.err;
  int files = 0;
  for (auto& e : fs::directory_iterator(out)) files += e.path().extension() == ".png";
  EXPECT_EQ(files, 50);
  std::shared_ptr<zel::BitmapImage> first, last;
  for (int n : {1, 25, 50}) {
    char name[32];
    std::snprintf(name, sizeof name, "frame_%06d.png", n);
    auto img = load_png(out / name);
    ASSERT_TRUE(img) << name;
    ASSERT_EQ(img->width(), 640);
    ASSERT_EQ(img->height(), 480);
    // Not blank: the scene has many colours and is not one flat fill.
    std::set<uint32_t> colours;
    for (int y = 0; y < 480; y += 4)
      for (int x = 0; x < 640; x += 4) colours.insert(rgb(*img, x, y));
    EXPECT_GT(colours.size(), 200u) << name;
    if (n == 1) first = img;
    if (n == 50) last = img;
  }
  // The scene moves: the first and the last frame differ in many places.
  int differ = 0;
  for (int y = 0; y < 480; y += 4)
    for (int x = 0; x < 640; x += 4) differ += rgb(*first, x, y) != rgb(*last, x, y);
  EXPECT_GT(differ, 1000);
}

TEST(ZelshowSmoke, SlideshowShowsThePictureGiven) {
  // A picture made by zelshow itself is shown 1:1 by zelshow.
  const fs::path src = fresh_dir("zelshow_src");
  ASSERT_EQ(run("--headless --frames 3 --size 320x200 --out " + src.string()).code, 0);
  const fs::path pic = src / "frame_000003.png";
  auto want = load_png(pic);
  ASSERT_TRUE(want);
  const fs::path out = fresh_dir("zelshow_slides");
  Outcome r = run("--headless --fps 0 --frames 2 --size 320x200 --out " + out.string() + " " +
                  pic.string());
  ASSERT_EQ(r.code, 0) << r.err;
  auto got = load_png(out / "frame_000002.png");
  ASSERT_TRUE(got);
  int differ = 0;
  for (int y = 0; y < 200; ++y)
    for (int x = 0; x < 320; ++x) differ += rgb(*got, x, y) != rgb(*want, x, y);
  EXPECT_EQ(differ, 0);
}

// Bad files and options: one line naming what is wrong (decoders may trace before it) and a
// non-zero exit.
TEST(ZelshowSmoke, BadInputGivesOneClearLine) {
  const fs::path dir = fresh_dir("zelshow_bad");
  fs::create_directories(dir);
  std::ofstream(dir / "broken.png", std::ios::binary) << "\x89PNG\r\n\x1a\n"
                                                      << std::string(40, '\x07');
  const struct {
    std::string args, names;
  } cases[] = {{"--headless --frames 2 " + (dir / "nothere.png").string(), "nothere.png"},
               {"--headless --frames 2 " + (dir / "broken.png").string(), "broken.png"},
               {"--size 12 --headless", "--size"},
               {"--bogus", "--bogus"}};
  for (const auto& c : cases) {
    Outcome r = run(c.args);
    EXPECT_EQ(r.code, 2) << c.args;
    const size_t line = r.err.find("zelshow: ");
    ASSERT_NE(line, std::string::npos) << r.err;
    EXPECT_EQ(r.err.rfind("zelshow: "), line) << r.err;
    EXPECT_NE(r.err.find(c.names, line), std::string::npos) << r.err;
    EXPECT_EQ(std::count(r.err.begin() + long(line), r.err.end(), '\n'), 1) << r.err;
  }
}

}  // namespace
