// zelshow as a user runs it: headless frames written as PNG files showing the demo scene, a
// slideshow that shows the picture given, and one clear line for bad input (pictures, media and
// options).
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "images/codec_util.h"
#include "media/media_util.h"
#include "zel/il/bitmap_image.h"
#include "zel/il/load_image.h"

using namespace media_test;

namespace {

Outcome run(const std::string& args) {
  return media_test::zelshow(ZEL_TEST_BINARY_DIR, args);
}

uint32_t rgb(const zel::BitmapImage& img, int x, int y) {
  const uint8_t* p = img.pixmap(y) + x * (img.type() == zel::bimage_r8g8b8 ? 3 : 4);
  return uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0];
}

// Frame n written by zelshow into `dir`.
std::shared_ptr<zel::BitmapImage> frame(const fs::path& dir, int n) {
  char name[32];
  std::snprintf(name, sizeof name, "frame_%06d.png", n);
  return zel::il::load_image((dir / name).string()).image;
}

// How many of every fourth pixel in each direction differ between two pictures.
int differing(const zel::BitmapImage& a, const zel::BitmapImage& b, int step = 4) {
  int n = 0;
  for (int y = 0; y < a.height(); y += step)
    for (int x = 0; x < a.width(); x += step) n += rgb(a, x, y) != rgb(b, x, y);
  return n;
}

// On the OpenGL device and on the software device.
TEST(ZelshowSmoke, HeadlessDemoWritesEveryFrame) {
  ASSERT_TRUE(fs::exists(kShow)) << kShow;
  for (const std::string device : {"", "--device Software "}) {
    SCOPED_TRACE(device);
    const fs::path out = fresh_dir("zelshow_demo");
    Outcome r = run(device + "--headless --frames 50 --size 640x480 --out " + out.string());
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.err.find("50 frames"), std::string::npos) << r.err;
    EXPECT_EQ(std::distance(fs::directory_iterator(out), fs::directory_iterator()), 50);
    std::shared_ptr<zel::BitmapImage> img[2] = {frame(out, 1), frame(out, 50)};
    for (const auto& i : img) {
      ASSERT_TRUE(i && i->width() == 640 && i->height() == 480);
      std::set<uint32_t> colours;  // not blank: many colours, not one flat fill
      for (int y = 0; y < 480; y += 4)
        for (int x = 0; x < 640; x += 4) colours.insert(rgb(*i, x, y));
      EXPECT_GT(colours.size(), 200u);
    }
    EXPECT_GT(differing(*img[0], *img[1]), 1000);  // the scene moves
  }
}

TEST(ZelshowSmoke, SlideshowShowsThePictureGiven) {
  // A picture made by zelshow itself is shown 1:1 by zelshow.
  const fs::path src = fresh_dir("zelshow_src");
  ASSERT_EQ(run("--headless --frames 3 --size 320x200 --out " + src.string()).code, 0);
  const fs::path pic = src / "frame_000003.png";
  auto want = frame(src, 3);
  ASSERT_TRUE(want);
  // The same pixels at every compression level; the files shrink as the level rises.
  std::uintmax_t last_size = ~std::uintmax_t(0);
  for (const char* level : {"0", "9"}) {
    const fs::path out = fresh_dir("zelshow_slides");
    Outcome r = run("--headless --fps 0 --frames 2 --size 320x200 --png-level " +
                    std::string(level) + " --out " + out.string() + " " + pic.string());
    ASSERT_EQ(r.code, 0) << r.err;
    auto got = frame(out, 2);
    ASSERT_TRUE(got) << level;
    EXPECT_EQ(differing(*got, *want, 1), 0) << level;
    const std::uintmax_t size = fs::file_size(out / "frame_000002.png");
    EXPECT_LT(size, last_size) << level;
    last_size = size;
  }
}

// Bad files and options: one line naming what is wrong and a non-zero exit.
TEST(ZelshowSmoke, BadInputGivesOneClearLine) {
  const fs::path dir = fresh_dir("zelshow_bad");
  std::ofstream(dir / "broken.png", std::ios::binary) << "\x89PNG\r\n\x1a\n"
                                                      << std::string(40, '\x07');
  std::ofstream(dir / "broken.mp4") << std::string(4096, 'x');
  // The decoders' own traces stay below the default level: the whole output is one line.
  const struct {
    std::string args, names;
    int code;
  } cases[] = {{"--headless --frames 2 " + (dir / "nothere.png").string(), "nothere.png", 2},
               {"--headless --frames 2 " + (dir / "broken.png").string(), "broken.png", 2},
               {"--headless --frames 5 " + (dir / "broken.mp4").string(), "broken.mp4", 2},
               {"--size 12 --headless", "--size", 2},
               {"--device Nope --headless --frames 1", "render device", 1},
               {"--bogus", "--bogus", 2}};
  for (const auto& c : cases) {
    Outcome r = run(c.args);
    EXPECT_EQ(r.code, c.code) << c.args;
    EXPECT_NE(r.err.find(c.names), std::string::npos) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  }
}

TEST(ZelshowSmoke, AnimatedGifPlaysAtItsDelaysAndACutOneGivesOneLine) {
  // Red 100 ms, green 200 ms, blue 100 ms, looping.
  const std::vector<uint8_t> pal = {255, 0, 0, 0, 255, 0, 0, 0, 255, 0, 0, 0};
  std::vector<images_test::gif_frame> frames;
  for (int i = 0; i < 3; ++i)
    frames.push_back({0, 0, 16, 12, i == 1 ? 20 : 10, DISPOSE_DO_NOT, -1,
                      std::vector<uint8_t>(16 * 12, uint8_t(i))});
  const images_test::bytes gif = images_test::encode_gif(16, 12, pal, frames);
  const fs::path dir = fresh_dir("zelshow_gif");
  for (auto [name, size] : {std::pair{"anim.gif", gif.size()}, {"cut.gif", gif.size() / 2}})
    std::ofstream(dir / name, std::ios::binary)
        .write(reinterpret_cast<const char*>(gif.data()), size);

  const fs::path out = dir / "out";
  Outcome r = run("--headless --frames 30 --size 32x24 --out " + out.string() + " " +
                  (dir / "anim.gif").string());
  ASSERT_EQ(r.code, 0) << r.err;
  // Over the last 20 frames (two rounds at 25 fps) green shows about twice as long as the others.
  int count[3] = {};
  for (int n = 11; n <= 30; ++n) {
    auto img = frame(out, n);
    ASSERT_TRUE(img) << n;
    for (int i = 0; i < 3; ++i) count[i] += rgb(*img, 16, 12) == 0xFF0000u >> (8 * i);
  }
  EXPECT_EQ(count[0] + count[1] + count[2], 20);
  EXPECT_TRUE(count[0] > 0 && count[2] > 0 && count[1] > std::max(count[0], count[2]))
      << count[0] << " " << count[1] << " " << count[2];

  Outcome cut = run("--headless --frames 2 " + (dir / "cut.gif").string());
  EXPECT_EQ(cut.code, 2);
  EXPECT_EQ(std::count(cut.err.begin(), cut.err.end(), '\n'), 1) << cut.err;
  EXPECT_NE(cut.err.find("truncated GIF"), std::string::npos) << cut.err;
}

}  // namespace
