#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "qar/trace.h"
#include "zel/gui_dispatcher.h"

namespace {

using zel::gui::scan_popup_size;

std::pair<int32_t, int32_t> scan(const std::u16string& url) {
  auto s = scan_popup_size(url);
  return {s.width, s.height};
}

TEST(PopupSize, KeysAreFoundWithoutCaseAndValuesAfterEqualsAndBlanks) {
  using p = std::pair<int32_t, int32_t>;
  EXPECT_EQ(scan(u"http://h/page?Width=300&height= 200"), p(300, 200));
  EXPECT_EQ(scan(u"http://h/page?WIDTH=1&HEIGHT=2"), p(1, 2));
  EXPECT_EQ(scan(u"http://h/page?height=5&width=6"), p(6, 5));
  EXPECT_EQ(scan(u"http://h/page"), p(-1, -1));  // no query
  EXPECT_EQ(scan(u"http://h/page?"), p(-1, -1));
  EXPECT_EQ(scan(u""), p(-1, -1));
  // Blanks before a key, '=' and blanks (any number, in any mix) before a value.
  EXPECT_EQ(scan(u"x? \twidth = =\t 42&height==7"), p(42, 7));
  // Keys are also found inside longer words.
  EXPECT_EQ(scan(u"x?maxwidth=5&lineheight=9"), p(5, 9));
  // Values are read like wtol: a sign, digits up to the first other character, 0 for none.
  EXPECT_EQ(scan(u"x?width=12px&height=abc"), p(12, 0));
  EXPECT_EQ(scan(u"x?width=-20&height=+30"), p(-20, 30));
  EXPECT_EQ(scan(u"x?width=99999999999&height=-99999999999"), p(INT32_MAX, INT32_MIN));
  // Without '&' after a key the scan stops there: the rest is part of that value.
  EXPECT_EQ(scan(u"x?width=5 height=6"), p(5, -1));
  EXPECT_EQ(scan(u"x?width=5"), p(5, -1));
  // It stops once both are known: later keys are not read.
  EXPECT_EQ(scan(u"x?width=1&height=2&width=3"), p(1, 2));
  // Before both are known, a repeated key overwrites.
  EXPECT_EQ(scan(u"x?width=1&width=3&height=4"), p(3, 4));
  // Only the first '?' starts the query; other keys before it do not count.
  EXPECT_EQ(scan(u"width=1?a=b&height=8"), p(-1, 8));
  // Only ASCII letters are lower-cased: a dotted capital I is no 'i'.
  EXPECT_EQ(scan(u"x?W\u0130DTH=5&height=1"), p(-1, 1));
  // The text after the key is the value even without '='.
  EXPECT_EQ(scan(u"x?width300&height 200"), p(300, 200));
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
  ASSERT_EQ(r.opened.size(), 3u);
  // The URL goes out as given, not lower-cased.
  EXPECT_EQ(r.opened[0].first, u"HTTP://Host/Page?Width=300&height= 200");
  EXPECT_EQ(r.opened[0].second.width, 300);
  EXPECT_EQ(r.opened[0].second.height, 200);
  EXPECT_EQ(r.opened[1].second.width, -1);
  EXPECT_EQ(r.opened[1].second.height, -1);
  // Sizes no window can have are left to the default.
  EXPECT_EQ(r.opened[2].second.width, -1);
  EXPECT_EQ(r.opened[2].second.height, -1);
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
