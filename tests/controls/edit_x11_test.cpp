// The edit box in a real device window under an X server, driven by xdotool: focus by a click,
// typing through the input method, a click moving the caret, digits only, the X clipboard, one
// frame per change, and keys reaching the host while no box has the focus.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

#include "device/device_test_util.h"
#include "zel/context.h"
#include "zel/controls/edit_control_x11.h"
#include "zel/controls/input_router.h"
#include "zel/events.h"
#include "zel/gui_dispatcher.h"
#include "zel/layer.h"
#include "zel/render_mng.h"

using namespace zel;

namespace {

class Host : public RenderMng {
 public:
  void change_mode(const DeviceMode&) override {}
};

int run(const std::string& cmd) {
  return std::system(cmd.c_str());
}

std::string output(const std::string& cmd) {
  std::string out;
  if (FILE* p = popen(cmd.c_str(), "r")) {
    char buf[256];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    pclose(p);
  }
  return out;
}

// Runs the GUI thread's queue until the condition holds (5 s at most).
template <class F>
bool pump_until(F f) {
  for (int i = 0; i < 500; ++i) {
    gui::drain();
    if (f()) return true;
    usleep(10000);
  }
  return false;
}

// Texels of the facet's shown texture darker than mid-grey (its text and caret).
int dark_texels(EditControlX11& e) {
  e.update(0);
  auto img = e.get_texture()->read_back(0, 0, -1, -1);
  int n = 0;
  for (int32_t y = 0; y < img->height(); ++y)
    for (int32_t x = 0; x < img->width(); ++x) n += img->pixmap(y)[x * 3 + 1] < 128;
  return n;
}

}  // namespace

TEST(EditX11, TypingClicksClipboardAndHostKeys) {
  const char* d = std::getenv("DISPLAY");
  if (!d || !*d) GTEST_SKIP() << "no X display";
  ASSERT_STREQ(setlocale(LC_CTYPE, nullptr), "C");
  unsetenv("ZEL_HEADLESS");
  gui::attach();
  auto mng = std::make_shared<Host>();
  zelContext::instance().render_mng = mng.get();
  std::mutex m;
  std::u16string host_chars;
  set_input_handler([&](const zel_event& e) {
    std::lock_guard<std::mutex> g(m);
    if (e.field1 == wm_char) host_chars += char16_t(e.field2);
  });
  auto dev = devtest::make_device(320, 120);
  ASSERT_TRUE(dev);
  dev->begin_frame(false, 255, 0, 0, 0);
  dev->adjust(mat4());
  auto text = std::make_shared<EditControlX11>();
  auto digits = std::make_shared<EditControlX11>();
  ASSERT_TRUE(text->create(10, 10, 300, 30));
  ASSERT_TRUE(digits->create(10, 60, 100, 30));
  digits->set_style(72);
  mng->get_layer(0, true)->put_facet(text);
  mng->get_layer(0, true)->put_facet(digits);
  const std::string win = std::to_string(dev->window());
  const std::string click = "xdotool mousemove --window " + win + " ";
  ASSERT_EQ(run("xdotool windowfocus --sync " + win), 0);

  ASSERT_EQ(run(click + "100 25 click 1"), 0);
  ASSERT_TRUE(pump_until([&] { return text->has_focus(); }));
  const int blank = dark_texels(*text);
  ASSERT_EQ(run("LC_ALL=C.UTF-8 xdotool type --delay 30 'héllo Жж€'"), 0);
  ASSERT_TRUE(pump_until([&] { return text->text() == u"héllo Жж€"; })) << text->text().size();
  EXPECT_EQ(std::u16string(text->get_text()), u"héllo Жж€");
  EXPECT_GT(dark_texels(*text), blank + 20);

  // A click at the box's left edge puts the caret before the first letter; a bare mouse move
  // paints nothing.
  ASSERT_EQ(run(click + "11 25 click 1"), 0);
  ASSERT_TRUE(pump_until([&] { return text->caret() == 0; }));
  const uint64_t frames = text->frame_count();
  ASSERT_EQ(run(click + "60 25 mousemove --window " + win + " 70 26"), 0);
  pump_until([] { return false; });
  EXPECT_EQ(text->frame_count(), frames);
  ASSERT_EQ(run("xdotool type X"), 0);
  ASSERT_TRUE(pump_until([&] { return text->text() == u"Xhéllo Жж€"; }));
  EXPECT_EQ(text->frame_count(), frames + 1);

  ASSERT_EQ(run(click + "50 75 click 1"), 0);
  ASSERT_TRUE(pump_until([&] { return digits->has_focus() && !text->has_focus(); }));
  ASSERT_EQ(run("xdotool type --delay 30 a1b2"), 0);
  ASSERT_TRUE(pump_until([&] { return digits->text() == u"12"; }));
  ASSERT_EQ(run("xdotool key ctrl+a ctrl+c"), 0);
  EXPECT_TRUE(pump_until([] { return output("xclip -o -selection clipboard") == "12"; }));
  ASSERT_EQ(run("(printf 345 | timeout 10 xclip -quiet -i -selection clipboard >/dev/null 2>&1 &)"),
            0);
  ASSERT_TRUE(pump_until([] { return output("xclip -o -selection clipboard") == "345"; }));
  ASSERT_EQ(run("xdotool key End ctrl+v"), 0);
  EXPECT_TRUE(pump_until([&] { return digits->text() == u"12345"; }));

  // A click beside the boxes takes the focus away: keys go to the host.
  ASSERT_EQ(run(click + "250 100 click 1"), 0);
  ASSERT_TRUE(pump_until([&] { return !digits->has_focus(); }));
  ASSERT_EQ(run("xdotool type z"), 0);
  EXPECT_TRUE(pump_until([&] {
    std::lock_guard<std::mutex> g(m);
    return host_chars == u"z";
  }));
  EXPECT_EQ(digits->text(), u"12345");

  set_input_handler(nullptr);
  text->destroy();
  digits->destroy();
  mng->clear_all_layers();
  dev.reset();
  zelContext::instance().render_mng = nullptr;
  gui::drain();
  gui::detach();
}
