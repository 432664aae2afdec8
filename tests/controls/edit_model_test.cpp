// The edit box's text model (keys -> text and selection) and the control's own rules
// (numbers, colours, listeners, clipboard), without a display: the clipboard is the process's.
#include "zel/controls/edit_model.h"

#include <gtest/gtest.h>

#include <climits>
#include <clocale>
#include <cstdlib>
#include <thread>
#include <vector>

#include "zel/3d/driver/soft/soft_device.h"
#include "zel/context.h"
#include "zel/controls/clipboard.h"
#include "zel/controls/edit_control_x11.h"
#include "zel/controls/input_router.h"
#include "zel/gui_dispatcher.h"

using namespace zel;

namespace {

enum Mod { none = 0, shift = 1, ctrl = 2 };
struct Op {
  int32_t vk;  // 0: type `s` unit by unit
  int mods;
  std::u16string s;
};
Op K(int32_t vk, int mods = none) {
  return {vk, mods, {}};
}
Op C(int32_t vk, int mods = none) {  // with Ctrl
  return {vk, mods | ctrl, {}};
}
Op T(std::u16string s) {
  return {0, none, std::move(s)};
}

// The clipboard holds `clip` before the keys and `want_clip` after them.
struct Row {
  const char* name;
  uint32_t style;
  std::u16string text;
  std::vector<Op> ops;
  std::u16string want;
  size_t sel0, sel1;
  std::u16string clip = u"-", want_clip = clip;
};

std::u16string clip_text() {
  std::u16string s;
  Clipboard().get(s);
  return s;
}

}  // namespace

TEST(EditModel, KeysToTextAndSelection) {
  const Row rows[] = {
      {"pair skipped", 65, u"a\U0001D11Eb", {K(vk_left), K(vk_left), K(vk_delete)}, u"ab", 1, 1},
      {"pair selected whole", 65, u"a\U0001D11E", {K(vk_left, shift)}, u"a\U0001D11E", 1, 3},
      {"CR LF one step", 97, u"a\r\nb", {K(vk_left), K(vk_left), K(vk_back)}, u"\r\nb", 0, 0},
      {"pieces joined", 65, u"\xD800X\xDC00", {K(vk_left), K(vk_back)}, u"\xD800\xDC00", 0, 0},
      {"backspace at 0", 65, u"ab", {K(vk_home), K(vk_back)}, u"ab", 0, 0},
      {"delete at end", 65, u"ab", {K(vk_delete)}, u"ab", 2, 2},
      {"digits typed", 73, u"", {T(u"a1b2")}, u"12", 2, 2},
      {"digits paste refused", 73, u"12", {C('V')}, u"12", 2, 2, u"3x"},
      {"digits paste", 73, u"12", {K(vk_insert, shift)}, u"1234", 4, 4, u"34"},
      {"no password copy", 81, u"pw", {C('A'), C('C'), C(vk_insert)}, u"pw", 0, 2},
      {"no password cut", 81, u"secret", {C('A'), C('X')}, u"secret", 0, 6},
      {"cut all", 65, u"hello", {C('A'), K(vk_delete, shift)}, u"", 0, 0, u"-", u"hello"},
      {"copy word", 65, u"ab cd", {C(vk_left, shift), C('C')}, u"ab cd", 3, 5, u"-", u"cd"},
      {"word moves", 65, u"ab cd ef", {C(vk_left), C(vk_left), C(vk_right)}, u"ab cd ef", 6, 6},
      {"enter single line", 65, u"a", {K(vk_return)}, u"a", 1, 1},
      {"enter multi-line", 97, u"a", {K(vk_return), T(u"b")}, u"a\r\nb", 4, 4},
      {"paste one line", 65, u"", {C('V')}, u"x", 1, 1, u"x\ny"},
      {"paste multi-line", 97, u"", {C('V')}, u"x\r\ny", 4, 4, u"x\ny"},
      {"up keeps column", 97, u"ab\r\ncd", {K(vk_up), K(vk_end, shift)}, u"ab\r\ncd", 2, 2},
      {"surrogates typed apart", 65, u"", {T(u"\U0001F600x")}, u"\U0001F600x", 3, 3},
      {"typed over selection", 65, u"abc", {K(vk_home, shift), T(u"\u0416")}, u"\u0416", 1, 1},
      {"no room without scroll", 1, u"", {T(u"abcd")}, u"abc", 3, 3},
      {"room with scroll", 65, u"", {T(u"abcd")}, u"abcd", 4, 4},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    ASSERT_TRUE(Clipboard().paste(r.clip));
    EditModel m;
    m.set_style(r.style);
    m.set_text(r.text);
    m.set_measure([](const std::u16string& run) { return int32_t(run.size()) * 10; }, 30);
    for (const Op& op : r.ops) {
      if (op.vk)
        m.key(op.vk, op.mods & shift, op.mods & ctrl);
      else
        for (char16_t u : op.s) m.type(u);
    }
    EXPECT_EQ(m.text(), r.want);
    EXPECT_EQ(m.selection(), std::make_pair(r.sel0, r.sel1));
    EXPECT_EQ(clip_text(), r.want_clip);
  }
}

class EditControlTest : public ::testing::Test {
 protected:
  void SetUp() override {
    gui::attach();
    zelContext::instance().texture_manager = std::make_shared<soft::SoftTextureManager>();
    ctl_ = std::make_shared<EditControlX11>();
    ASSERT_TRUE(ctl_->create(0, 0, 60, 20));
    gui::drain();
  }
  void TearDown() override {
    ctl_->destroy();
    gui::drain();
    gui::detach();
    zelContext::uninit();
  }
  void key(int32_t vk, int32_t message = wm_keydown) {
    key_event k;
    k.field1 = message;
    k.field2 = vk;
    ctl_->route_input(k);
    gui::drain();
  }
  std::shared_ptr<EditControlX11> ctl_;
};

TEST_F(EditControlTest, Numbers) {
  const struct {
    std::u16string text;
    int32_t want;
  } rows[] = {
      {u"12abc", 12}, {u"  -7", -7}, {u"99999999999", INT32_MAX}, {u"-99999999999", INT32_MIN}};
  for (const auto& r : rows) {
    ctl_->set_text(r.text.c_str());
    EXPECT_EQ(ctl_->get_int(), r.want);
  }
  // Numbers keep their '.' whatever the locale: also under a comma locale made for the test.
  const std::string dir = std::string(ZEL_TEST_BINARY_DIR) + "/locales";
  const bool comma = std::system(("mkdir -p '" + dir + "' && localedef -i de_DE -f UTF-8 '" + dir +
                                  "/de_DE.UTF-8' >/dev/null 2>&1")
                                     .c_str()) == 0;
  setenv("LOCPATH", dir.c_str(), 1);
  for (const char* loc : {"C", "de_DE.UTF-8"}) {
    if (!std::setlocale(LC_ALL, loc)) {
      EXPECT_FALSE(comma) << loc;
      continue;
    }
    ctl_->set_float(0.5f);
    EXPECT_EQ(ctl_->text(), u"0.5") << loc;
    ctl_->set_text(u"2.25e1x");
    EXPECT_FLOAT_EQ(ctl_->get_float(), 22.5f) << loc;
  }
  std::setlocale(LC_ALL, "C");
  unsetenv("LOCPATH");
}

TEST_F(EditControlTest, SnapshotClampedColoursAndTextBeforeCreate) {
  ctl_->set_text(u"ab");
  const char16_t* p = ctl_->get_text();
  key('c', wm_char);
  EXPECT_EQ(std::u16string(p), u"ab");  // typing leaves the snapshot alone
  EXPECT_EQ(ctl_->text(), u"abc");
  ctl_->set_bkg_color(0, 300, -1, 128);
  gui::drain();
  EXPECT_EQ(ctl_->bitmap_copy()[0] & 0xFFFFFF, 0xFF0080u);
  // Text set before create is shown.
  auto e = std::make_shared<EditControlX11>();
  e->set_text(u"Wide text");
  ASSERT_TRUE(e->create(0, 0, 100, 24));
  gui::drain();
  int dark = 0;
  for (uint32_t px : e->bitmap_copy()) dark += (px >> 8 & 0xFF) < 128;
  EXPECT_GT(dark, 20);
  e->destroy();
}

// Called from another thread while the GUI thread waits for it, nothing may wait on the GUI
// thread; a repeat create moves the box; without a GUI thread create fails.
TEST_F(EditControlTest, NothingWaitsOnTheGuiThreadAndCreateIsAllOrNothing) {
  std::thread other([&] {
    ctl_->set_text(u"x");
    ctl_->set_size(80, 30);
    ctl_->set_visible(false);
    ctl_->set_focus();
    EXPECT_TRUE(ctl_->create(5, 6, 70, 20));
    ctl_->destroy();
  });
  other.join();
  EXPECT_EQ(ctl_->get_position(), std::make_pair(5, 6));
  EXPECT_EQ(ctl_->get_size(), std::make_pair(70, 20));
  gui::detach();
  EXPECT_FALSE(std::make_shared<EditControlX11>()->create(0, 0, 10, 10));
}

TEST_F(EditControlTest, CopyToClipboard) {
  ASSERT_TRUE(Clipboard().paste(u"kept"));
  ctl_->set_text(u"");
  EXPECT_FALSE(ctl_->copy_to_clipboard());
  ctl_->set_text(u"pw");
  ctl_->set_style(16);
  EXPECT_FALSE(ctl_->copy_to_clipboard());
  EXPECT_EQ(clip_text(), u"kept");
  ctl_->set_style(65);
  EXPECT_TRUE(ctl_->copy_to_clipboard());
  EXPECT_EQ(clip_text(), u"pw");
}

struct Seen {
  EditControlX11* ctl = nullptr;
  int key_downs = 0, set_focus = 0, kill_focus = 0;
  bool destroy_on_key = false;
};

TEST_F(EditControlTest, ListenersShareOneUserPointerAndMayReenter) {
  Seen a, b;
  b.ctl = ctl_.get();
  b.destroy_on_key = true;
  auto on_key = [](void* u, int32_t) {
    auto* s = static_cast<Seen*>(u);
    ++s->key_downs;
    if (s->destroy_on_key) s->ctl->destroy();
  };
  auto on_set = [](void* u) {
    auto* s = static_cast<Seen*>(u);
    ++s->set_focus;
    s->ctl->set_focus();  // already focused: nothing more
  };
  auto on_kill = [](void* u) { ++static_cast<Seen*>(u)->kill_focus; };
  ctl_->reg_key_down_listener(&a, reinterpret_cast<void*>(+on_key));
  ctl_->reg_set_focus_listener(&a, reinterpret_cast<void*>(+on_set));
  ctl_->reg_kill_focus_listener(&b, reinterpret_cast<void*>(+on_kill));  // b for all three
  ctl_->set_focus();
  gui::drain();
  gui::drain();
  EXPECT_EQ(b.set_focus, 1);
  EXPECT_TRUE(ctl_->has_focus());
  ctl_->set_text(u"xy");
  key(vk_back);  // edits, then its listener destroys the box
  const uint64_t frames = ctl_->frame_count();
  key(vk_back);
  EXPECT_EQ(ctl_->text(), u"x");
  EXPECT_EQ(b.key_downs, 1);
  EXPECT_EQ(a.key_downs + a.set_focus, 0);
  EXPECT_GT(frames, 0u);
  EXPECT_EQ(ctl_->frame_count(), frames);  // nothing runs after destroy
  EXPECT_EQ(b.kill_focus, 0);
  EXPECT_FALSE(InputRouter::instance().focused());
  EXPECT_TRUE(ctl_->create(0, 0, 60, 20));  // made again after destroy
  EXPECT_TRUE(ctl_->get_texture());
}
