// zelshow showing the sample pages headless: readable dark text on white at three widths, a
// page opened at an anchor showing another part of it, a bad document named clearly, and a
// windows-1251 page looking like its UTF-8 twin.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "tests/html/text_streams.h"
#include "zel/il/bitmap_image.h"
#include "zel/il/load_image.h"

namespace fs = std::filesystem;

namespace {

const std::string kShow = std::string(ZEL_TEST_BINARY_DIR) + "/../../bin/zelshow";
const std::string kData = std::string(ZEL_TEST_DATA_DIR) + "/richtext/";

// The last of two frames of the document at the size; null when zelshow failed.
std::shared_ptr<zel::BitmapImage> show(const std::string& doc, const std::string& size) {
  const fs::path out = fs::path(ZEL_TEST_BINARY_DIR) / ("show_" + size);
  fs::remove_all(out);
  const std::string cmd = kShow + " --headless --frames 2 --size " + size + " --out " +
                          out.string() + " '" + (doc[0] == '/' ? doc : kData + doc) +
                          "' 2>/dev/null";
  if (std::system(cmd.c_str()) != 0) return nullptr;
  return zel::il::load_image((out / "frame_000002.png").string()).image;
}

// Share of dark pixels, and whether the rest is white.
double dark_share(const zel::BitmapImage& img, bool& rest_white) {
  int64_t dark = 0, white = 0;
  for (int32_t y = 0; y < img.height(); ++y)
    for (int32_t x = 0; x < img.width(); ++x) {
      const uint8_t* p = img.pixmap(y) + x * (img.type() == zel::bimage_r8g8b8 ? 3 : 4);
      dark += p[0] < 100 && p[1] < 100 && p[2] < 100;
      white += p[0] == 255 && p[1] == 255 && p[2] == 255;
    }
  const int64_t all = int64_t(img.width()) * img.height();
  rest_white = white > all / 2;
  return double(dark) / double(all);
}

}  // namespace

TEST(ZelshowDocument, ShowsPagesAtEveryWidth) {
  for (const char* doc : {"article.html", "tables.html", "notes.txt"})
    for (const char* size : {"320x240", "800x600", "1600x400"}) {
      SCOPED_TRACE(std::string(doc) + " " + size);
      auto img = show(doc, size);
      ASSERT_TRUE(img);
      bool white = false;
      const double dark = dark_share(*img, white);
      EXPECT_TRUE(white);
      EXPECT_GT(dark, 0.002);
      EXPECT_LT(dark, 0.3);
    }
  auto top = show("article.html", "640x480"), sec3 = show("article.html#sec3", "640x480");
  ASSERT_TRUE(top && sec3);
  int differ = 0;
  for (int32_t y = 0; y < 480; y += 4)
    differ += std::memcmp(top->pixmap(y), sec3->pixmap(y), 640 * 3) != 0;
  EXPECT_GT(differ, 60);
  EXPECT_FALSE(show("missing.html#x", "320x240"));

  // The same Cyrillic page in UTF-8 and in windows-1251 (named by its meta) looks the same.
  const fs::path dir = fs::path(ZEL_TEST_BINARY_DIR);
  const std::string body = "<p>Съешь же ещё этих мягких французских булок, да выпей чаю.</p>";
  const std::string head = "<html><head><meta ";
  std::ofstream(dir / "utf8.html") << head << "charset=\"utf-8\"></head><body>" << body;
  const std::string cp1251 =
      "http-equiv=\"Content-Type\" content=\"text/html; charset=windows-1251\">";
  std::ofstream(dir / "cp1251.html")
      << zel_test::encode(head + cp1251 + "</head><body>" + body, "WINDOWS-1251");
  auto u8 = show((dir / "utf8.html").string(), "400x200");
  auto cp = show((dir / "cp1251.html").string(), "400x200");
  ASSERT_TRUE(u8 && cp);
  bool white = false;
  EXPECT_GT(dark_share(*u8, white), 0.002);
  for (int32_t y = 0; y < 200; ++y)
    ASSERT_EQ(std::memcmp(u8->pixmap(y), cp->pixmap(y), 400 * 3), 0) << y;
}
