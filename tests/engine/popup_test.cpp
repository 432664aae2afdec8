#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "qar/string.h"
#include "qar/trace.h"
#include "zel/gui_dispatcher.h"

namespace {

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
      {u"http://h/page?Width=300&height= 200", 300, 200},
      {u"http://h/page?height=5&width=6", 6, 5},
      {u"http://h/page", -1, -1},
      {u"http://h/page?", -1, -1},
      {u"", -1, -1},
      {u"x? \twidth = =\t 42&height==7", 42, 7},
      {u"x?maxwidth=5&lineheight=9", 5, 9},
      {u"x?width=12px&height=abc", 12, 0},
      {u"x?width=-20&height=+30", -20, 30},
      {u"x?width=99999999999&height=-99999999999", INT32_MAX, INT32_MIN},
      {u"x?width=5 height=6", 5, -1},
      {u"x?width=1&height=2&width=3", 1, 2},
      {u"x?width=1&width=3&height=4", 3, 4},
      {u"width=1?a=b&height=8", -1, 8},
      {u"x?W\u0130DTH=5&height=1", -1, 1},
      {u"x?width300&height 200", 300, 200},
  };
  for (const auto& c : cases) {
    const auto size = scan_popup_size(c.url);
    EXPECT_EQ(size.width, c.w) << qar::to_utf8(c.url);
    EXPECT_EQ(size.height, c.h) << qar::to_utf8(c.url);
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
  ASSERT_EQ(r.opened.size(), 3u);
  EXPECT_EQ(r.opened[0].first, u"HTTP://Host/Page?Width=300&height= 200");
  const int32_t sizes[3][2] = {{300, 200}, {-1, -1}, {-1, -1}};
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(std::make_pair(r.opened[i].second.width, r.opened[i].second.height),
              std::make_pair(sizes[i][0], sizes[i][1]))
        << i;
  EXPECT_EQ(zel::gui::popup_count(), 3u);
  // A null URL closes every pop-up, first opened first.
  zel::gui::open_browser_popup(nullptr);
  EXPECT_EQ(r.closed, (std::vector<uint64_t>{100, 101, 102}));
  EXPECT_EQ(zel::gui::popup_count(), 0u);
  // A launcher that fails adds nothing; close_browser_popups on an empty list does nothing.
  zel::gui::set_popup_launcher([](const std::u16string&, zel::gui::popup_size) { return 0; });
  zel::gui::open_browser_popup(u"http://x");
  EXPECT_EQ(zel::gui::popup_count(), 0u);
  zel::gui::close_browser_popups();
  EXPECT_EQ(r.closed.size(), 3u);
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
