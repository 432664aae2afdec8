// zelshow showing a page in its window on the X server, driven by xdotool: keys, the wheel and
// clicks on links (in-page, another local page, and back; another site's printed), each checked
// on the frames it writes; Ctrl+C copies the page.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "media/media_util.h"
#include "zel/il/bitmap_image.h"
#include "zel/il/load_image.h"

using namespace media_test;
using namespace std::chrono_literals;

namespace {

const fs::path kDir = fs::path(ZEL_TEST_BINARY_DIR) / "zelshow_x11";

std::string out(const std::string& cmd) {
  std::string s;
  if (FILE* p = popen(cmd.c_str(), "r")) {
    char buf[256];
    while (fgets(buf, sizeof buf, p)) s += buf;
    pclose(p);
  }
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
  return s;
}

// The pixels of the frame written four frames before the newest one.
std::string older_frame() {
  int last = 0;
  for (const auto& e : fs::directory_iterator(kDir / "frames"))
    last = std::max(last, std::atoi(e.path().stem().string().c_str() + 6));
  for (int n = last - 4; n > 0; --n) {
    char name[32];
    std::snprintf(name, sizeof name, "frame_%06d.png", n);
    auto img = zel::il::load_image((kDir / "frames" / name).string()).image;
    if (img)
      return std::string(reinterpret_cast<const char*>(img->pixmap(0)),
                         size_t(img->line_size()) * size_t(img->height()));
  }
  return std::string();
}

// The first frame that `ok` accepts and that stayed the same over two looks, or the last one
// seen when none did within ten seconds: a loaded machine may take a while to act on input.
template <class Ok>
std::string settled_frame(Ok ok) {
  std::string prev, f;
  for (int i = 0; i < 50; ++i) {
    std::this_thread::sleep_for(200ms);
    f = older_frame();
    if (!f.empty() && f == prev && ok(f)) return f;
    prev = f;
  }
  return f;
}
std::string frame_equal_to(const std::string& want) {
  return settled_frame([&](const std::string& f) { return f == want; });
}
std::string frame_other_than(const std::string& old) {
  return settled_frame([&](const std::string& f) { return f != old; });
}

}  // namespace

TEST(ZelshowX11, KeysWheelAndLinks) {
  if (!std::getenv("DISPLAY") || !*std::getenv("DISPLAY")) GTEST_SKIP() << "no X display";
  fs::remove_all(kDir);
  fs::create_directories(kDir / "frames");
  {
    std::ofstream a(kDir / "a.html");
    a << "<html><body><p><a href=\"#far\">JUMP JUMP JUMP</a></p>";
    for (int i = 0; i < 60; ++i) a << "<p>filler line " << i << "</p>";
    a << "<p><a name=\"far\"></a><a href=\"b.html\">OPEN OPEN OPEN</a></p>";
    for (int i = 0; i < 20; ++i) a << "<p>after " << i << "</p>";
    a << "</body></html>";
    std::ofstream(kDir / "b.html") << "<html><body><p><a href=\"http://example.org/x\">EXTERNAL "
                                      "EXTERNAL</a></p><p>other words</p></body></html>";
  }
  const std::string pid = out(kShow + " --size 400x300 --fps 25 --out " +
                              (kDir / "frames").string() + " " + (kDir / "a.html").string() + " >" +
                              (kDir / "stdout").string() + " 2>/dev/null & echo $!");
  ASSERT_FALSE(pid.empty());
  const std::string win = out("xdotool search --sync --name '^zel$' | head -1");
  ASSERT_FALSE(win.empty());
  sh("xdotool windowfocus --sync " + win);
  auto key = [&](const char* k) { sh("xdotool key --clearmodifiers " + std::string(k)); };

  const std::string top = settled_frame([](const std::string&) { return true; });
  ASSERT_FALSE(top.empty());
  for (auto [there, back] :
       {std::pair{"End", "Home"}, {"Down", "Up"}, {"Next", "Prior"}, {"space", "Home"}}) {
    SCOPED_TRACE(there);
    key(there);
    EXPECT_NE(frame_other_than(top), top);
    key(back);
    EXPECT_EQ(frame_equal_to(top), top);
  }
  sh("xdotool mousemove --window " + win + " 100 150 click 5");
  EXPECT_NE(frame_other_than(top), top);
  sh("xdotool click 4");
  EXPECT_EQ(frame_equal_to(top), top);

  // The first line's in-page link, then the far section's link to b.html, then back.
  sh("xdotool mousemove --window " + win + " 12 10 click 1");
  const std::string far = frame_other_than(top);
  EXPECT_NE(far, top);
  sh("xdotool mousemove --window " + win + " 12 10 click 1");
  const std::string b = frame_other_than(far);
  EXPECT_NE(b, far);
  EXPECT_NE(b, top);
  // Another site's link is printed; Ctrl+C copies the page's text.
  sh("xdotool mousemove --window " + win + " 12 10 click 1");
  key("ctrl+c");
  std::string copied;
  for (int i = 0; i < 50 && copied.find("other words") == std::string::npos; ++i) {
    std::this_thread::sleep_for(200ms);
    copied = out("xclip -o -selection clipboard 2>/dev/null");
  }
  EXPECT_NE(copied.find("other words"), std::string::npos) << copied;
  EXPECT_EQ(frame_equal_to(b), b);
  key("BackSpace");
  EXPECT_EQ(frame_equal_to(top), top);

  sh("kill -TERM " + pid);
  for (int i = 0; i < 50 && sh("kill -0 " + pid + " 2>/dev/null"); ++i)
    std::this_thread::sleep_for(100ms);
  EXPECT_EQ(out("cat " + (kDir / "stdout").string()), "zelshow: link http://example.org/x");
}
