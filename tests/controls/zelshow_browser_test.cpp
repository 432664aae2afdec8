// zelshow --controls shows its bundled page in a browser facet of the scene; a click on the
// page's link in zelshow's window (xdotool) shows the linked page.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "device/device_test_util.h"

namespace fs = std::filesystem;

namespace {

uint32_t pixel(const fs::path& png, int32_t x, int32_t y) {
  int32_t w = 0, h = 0;
  std::vector<uint32_t> px;
  if (!devtest::read_png(png.string(), w, h, px) || x >= w || y >= h) return 0;
  return px[size_t(y) * size_t(w) + size_t(x)] & 0xFFFFFF;
}

TEST(ZelshowBrowser, BundledPageShowsAndItsLinkLeadsOn) {
  const char* disp = std::getenv("DISPLAY");
  const char* helper = std::getenv("ZEL_WEBVIEW_HELPER");
  if (!disp || !*disp) GTEST_SKIP() << "no X display";
  if (!helper || access(helper, X_OK) != 0) GTEST_SKIP() << "no browser helper";
  if (std::system("command -v xdotool >/dev/null") != 0) GTEST_SKIP() << "no xdotool";
  const fs::path dir = fs::path(ZEL_TEST_BINARY_DIR) / "zelshow_browser";
  fs::remove_all(dir);
  fs::create_directories(dir);
  const std::string show = std::string(ZEL_TEST_BINARY_DIR) + "/../../bin/zelshow";
  // The page's body colour at (300, 500) of the scene; its link at (100, 340). The first run
  // only looks, the second clicks once the page is there.
  const std::string look = "cd '" + dir.string() + "' && " + show +
                           " --controls --size 800x600 --frames 100 --out a 2>/dev/null";
  ASSERT_EQ(std::system(look.c_str()), 0);
  EXPECT_EQ(pixel(dir / "a" / "frame_000100.png", 300, 500), 0x2E8B57u);
  const std::string click =
      "cd '" + dir.string() + "' && { " + show +
      " --controls --size 800x600 --frames 150 --out b 2>/dev/null & P=$!; "
      "W=$(timeout 20 xdotool search --sync --name '^zel$' | tail -1); sleep 3; "
      "xdotool mousemove --window $W 100 340 click 1; wait $P; }";
  ASSERT_EQ(std::system(click.c_str()), 0);
  EXPECT_EQ(pixel(dir / "b" / "frame_000150.png", 300, 500), 0x4169E1u);
}

}  // namespace
