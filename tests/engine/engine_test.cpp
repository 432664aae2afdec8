// Engine basics: event ids and command text, the context's life, pop-up sizes and launching.
#include "zel/engine.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "qar/context.h"
#include "qar/string.h"
#include "qar/trace.h"
#include "zel/context.h"
#include "zel/events.h"
#include "zel/gui_dispatcher.h"

namespace {
using zel::communication_event;
using S = std::u16string;

// Each text sits in a heap buffer of exactly its length, so that AddressSanitizer sees any read
// past it. `len` < 0: the single-zero constructor; else the length-taking one.
TEST(Events, CommunicationText) {
  struct Case {
    S text;
    int len;
    S command, arguments;
  } cases[] = {
      {S(u"play\0\0", 6), 6, u"play", u""},
      {S(u"go to\0\0", 7), 7, u"go", S(u"to\0", 3)},
      {S(u"cmd a\0b\0\0", 9), 9, u"cmd", S(u"a\0b\0", 4)},
      {S(u"cmd\0a\0\0", 7), 7, u"cmd", S(u"a\0", 2)},  // a zero may end the command
      {S(u"x  y\0\0", 6), 6, u"x", S(u" y\0", 3)},     // only the first blank separates
      {S(u"\0\0", 2), 2, u"", u""},
      {u"go to", 5, u"go", S(u"to\0", 3)},  // a buffer that ends early reads as if zeros followed
      {u"stop", 4, u"stop", u""},
      {S(u"play\0", 5), -1, u"play", u""},  // one terminating zero: nothing past it is read
                                            // clang-format off
      {S(u"go to\0", 6), -1, u"go", S(u"to\0", 3)}, {S(u"go \0", 4), -1, u"go", u""},
      {S(u"play\0\0", 6), -1, u"play", u""}, {S(u"\0", 1), -1, u"", u""},
                                            // clang-format on
  };
  for (const auto& c : cases) {
    std::unique_ptr<char16_t[]> buf(new char16_t[c.text.size()]);
    std::memcpy(buf.get(), c.text.data(), c.text.size() * sizeof(char16_t));
    communication_event e =
        c.len < 0 ? communication_event(buf.get()) : communication_event(buf.get(), c.len);
    EXPECT_EQ(e.command, c.command) << c.len;
    EXPECT_EQ(e.arguments, c.arguments) << c.len;
  }
  communication_event none(nullptr, 10), null_text(static_cast<const char16_t*>(nullptr)),
      a(u"cmd", nullptr), b(nullptr, u"args");
  for (const auto* e : {&none, &null_text, &a, &b})
    EXPECT_EQ(e->command + u"|" + e->arguments, e == &a ? u"cmd|" : e == &b ? u"|args" : u"|");
}

// Stands in for an engine object: the context only holds it. The aliasing constructor gives a
// pointer of the context's field type whose ownership is this token.
struct token {};
template <class T>
std::shared_ptr<T> held_by(const std::shared_ptr<token>& t) {
  return std::shared_ptr<T>(t, nullptr);
}

TEST(Context, LazyInstanceSurvivesInitAndUninitReleasesEverything) {
  zelContext::uninit();
  EXPECT_EQ(zelContext::is_init(), 0);
  zelContext& c = zelContext::instance();  // before zelInit: created on demand
  EXPECT_NE(zelContext::is_init(), 0);
  EXPECT_TRUE(!c.render_mng && !c.device && !c.texture_manager && !c.env_driver && !c.audio_driver);
  std::shared_ptr<token> t[4];
  for (auto& k : t) k = std::make_shared<token>();
  std::weak_ptr<token> w[4] = {t[0], t[1], t[2], t[3]};
  c.device = held_by<zel::RenderDevice>(t[0]);
  c.texture_manager = held_by<zel::TextureManager>(t[1]);
  c.env_driver = held_by<zel::EnvIndepDriver>(t[2]);
  c.audio_driver = held_by<zel::AudioDriver>(t[3]);
  for (auto& k : t) k.reset();
  zelInit(nullptr);  // keeps the existing context
  EXPECT_EQ(&zelContext::instance(), &c);
  EXPECT_TRUE(zelContext::init());
  EXPECT_EQ(&zelContext::instance(), &c);
  EXPECT_TRUE(!w[3].expired() && zel::gui::is_attached() && zel::gui::is_gui_thread());
  zelUninit();
  EXPECT_EQ(zelContext::is_init(), 0);
  for (const auto& k : w) EXPECT_TRUE(k.expired());
  EXPECT_FALSE(zel::gui::is_attached());
  // A fresh context afterwards starts empty.
  EXPECT_FALSE(zelContext::instance().audio_driver);
  zelContext::uninit();
}

TEST(Context, InitTellsTheHostContextAboutItsWindow) {
  qarContext::instance().set_main_window(0);
  zelInit(reinterpret_cast<void*>(uintptr_t(0x4400012)));
  EXPECT_TRUE(qarContext::instance().main_window() == 0x4400012u &&
              zel::gui::host_window() == 0x4400012u);
  zelUninit();
  EXPECT_EQ(zel::gui::host_window(), 0u);
  // A host that set its own window keeps it.
  qarContext::instance().set_main_window(0x77);
  zelInit(reinterpret_cast<void*>(uintptr_t(0x88)));
  EXPECT_EQ(qarContext::instance().main_window(), 0x77u);
  zelUninit();
  qarContext::instance().set_main_window(0);
}

using zel::gui::scan_popup_size;

// Keys are found without case (ASCII letters only) and inside longer words, after the first '?'
// only; values follow blanks and '=' in any mix and are read like wtol. Without '&' after a key
// the rest is part of its value; the scan stops once both are known, and before that a repeated
// key overwrites.
TEST(PopupSize, ScanOfTheQuery) {
  const struct {
    const char16_t* url;
    int32_t w, h;
  } cases[] = {
      // clang-format off
      {u"http://h/page?Width=300&height= 200", 300, 200}, {u"http://h/page?height=5&width=6", 6, 5},
      {u"http://h/page", -1, -1}, {u"http://h/page?", -1, -1}, {u"", -1, -1},
      {u"x? \twidth = =\t 42&height==7", 42, 7}, {u"x?maxwidth=5&lineheight=9", 5, 9},
      {u"x?width=12px&height=abc", 12, 0}, {u"x?width=-20&height=+30", -20, 30},
      {u"x?width=99999999999&height=-99999999999", INT32_MAX, INT32_MIN},
      {u"x?width=5 height=6", 5, -1}, {u"x?width=1&height=2&width=3", 1, 2},
      {u"x?width=1&width=3&height=4", 3, 4}, {u"width=1?a=b&height=8", -1, 8},
      {u"x?W\u0130DTH=5&height=1", -1, 1}, {u"x?width300&height 200", 300, 200},
      // clang-format on
  };
  for (const auto& c : cases) {
    const auto size = scan_popup_size(c.url);
    EXPECT_EQ(std::make_pair(size.width, size.height), std::make_pair(c.w, c.h))
        << qar::to_utf8(c.url);
  }
}

struct recorder {
  std::vector<std::pair<std::u16string, zel::gui::popup_size>> opened;
  std::vector<uint64_t> closed;
  uint64_t next = 100;
};

TEST(Popup, OpensThroughTheLauncherAndClosesAll) {
  recorder r;
  zel::gui::attach();  // this thread is the GUI thread: calls run inline
  zel::gui::set_popup_launcher([&](const std::u16string& url, zel::gui::popup_size s) {
    r.opened.emplace_back(url, s);
    return r.next++;
  });
  zel::gui::set_popup_closer([&](uint64_t h) { r.closed.push_back(h); });
  zel::gui::close_browser_popups();
  r.closed.clear();
  zel::gui::open_browser_popup(u"HTTP://Host/Page?Width=300&height= 200");
  zel::gui::open_browser_popup(u"http://host/no-query");
  zel::gui::open_browser_popup(u"http://host/p?width=0&height=-5");
  // The URL goes out as given, not lower-cased; sizes no window can have are left to the default.
  ASSERT_EQ(zel::gui::popup_count(), 3u);
  EXPECT_EQ(r.opened[0].first, u"HTTP://Host/Page?Width=300&height= 200");
  std::vector<int32_t> sizes;
  for (const auto& o : r.opened) sizes.insert(sizes.end(), {o.second.width, o.second.height});
  EXPECT_EQ(sizes, (std::vector<int32_t>{300, 200, -1, -1, -1, -1}));
  // A null URL closes every pop-up, first opened first.
  zel::gui::open_browser_popup(nullptr);
  EXPECT_EQ(r.closed, (std::vector<uint64_t>{100, 101, 102}));
  EXPECT_EQ(zel::gui::popup_count(), 0u);
  // A launcher that fails adds nothing; close_browser_popups on an empty list does nothing.
  zel::gui::set_popup_launcher([](const std::u16string&, zel::gui::popup_size) { return 0; });
  zel::gui::open_browser_popup(u"http://x");
  zel::gui::close_browser_popups();
  EXPECT_EQ(zel::gui::popup_count() + r.closed.size(), 3u);
  // With no GUI thread the request fails with a trace line instead of hanging.
  zel::gui::detach();
  std::vector<std::string> lines;
  qar::set_trace_sink([&](const std::string& l) { lines.push_back(l); });
  zel::gui::open_browser_popup(u"http://y");
  qar::set_trace_sink(nullptr);
  EXPECT_EQ(zel::gui::popup_count(), 0u);
  ASSERT_FALSE(lines.empty());
  EXPECT_NE(lines.back().find("no GUI thread"), std::string::npos);
  zel::gui::set_popup_launcher(nullptr);
  zel::gui::set_popup_closer(nullptr);
}

}  // namespace
