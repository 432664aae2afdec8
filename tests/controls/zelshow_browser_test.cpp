// zelshow --controls shows its bundled page in a browser facet of the scene; a click on the
// page's link in zelshow's window (xdotool), once the page is there, shows the linked page.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
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
  // The page's body colour is at (300, 500) of the scene, its link at (100, 340).
  const std::string run = "cd '" + dir.string() + "' && { " + show +
                          " --controls --size 800x600 --frames 300 --out o >log 2>&1;"
                          " echo $? > rc; } &";
  ASSERT_EQ(std::system(run.c_str()), 0);
  // The newest frame written shows the bundled page inside the scene.
  bool shown = false;
  for (int i = 0; i < 300 && !shown; ++i) {
    usleep(50000);
    int newest = 0;
    if (fs::exists(dir / "o"))
      for (const auto& e : fs::directory_iterator(dir / "o"))
        newest = std::max(newest, std::atoi(e.path().stem().string().c_str() + 6));
    char name[32];
    std::snprintf(name, sizeof name, "frame_%06d.png", newest - 1);
    shown = newest > 1 && pixel(dir / "o" / name, 300, 500) == 0x2E8B57u;
  }
  EXPECT_TRUE(shown) << "the bundled page never showed";
  ASSERT_EQ(std::system("W=$(timeout 20 xdotool search --sync --name '^zel$' | tail -1) && "
                        "xdotool mousemove --window $W 100 340 click 1"),
            0);
  for (int i = 0; i < 600 && !fs::exists(dir / "rc"); ++i) usleep(50000);
  usleep(100000);
  std::ifstream rc(dir / "rc");
  int status = -1;
  rc >> status;
  EXPECT_EQ(status, 0);
  EXPECT_EQ(pixel(dir / "o" / "frame_000300.png", 300, 500), 0x4169E1u);
  // Beside it, the Flash box: the movie's 200 x 150 in its background colour, and the version
  // event the host received.
  EXPECT_EQ(pixel(dir / "o" / "frame_000300.png", 520, 475), 0xFF8000u);
  std::ifstream out(dir / "log");
  const std::string log((std::istreambuf_iterator<char>(out)), std::istreambuf_iterator<char>());
  EXPECT_NE(log.find("not_the_true_version_flash 0 10"), std::string::npos) << log;
}

}  // namespace
