// UTF-8 and UTF-16 text, and URL references resolved against a base.
#include "qar/string.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "qar/url.h"

namespace {
using qar::intenal::utf8_2_ucs2;
constexpr char16_t R = 0xFFFD;

// Valid sequences of every length (above U+FFFF: surrogate pairs); invalid ones (overlong
// forms, encoded surrogates, code points above U+10FFFF, stray continuation bytes) give one
// U+FFFD a byte; a truncated sequence gives one for its valid beginning and decoding resumes.
TEST(Utf8, DecodesValidAndReplacesInvalidSequences) {
  const struct {
    std::string in;
    std::u16string out;
  } rows[] = {
      // clang-format off
      {"abc", u"abc"}, {"\xC3\xA9", u"\u00E9"}, {"\xE2\x82\xAC", u"\u20AC"},
      {"\xEF\xBF\xBF", u"\uFFFF"}, {"\xC2\x80", u"\u0080"}, {"\xF0\x9F\x98\x80", {0xD83D, 0xDE00}},
      {"\xF0\x90\x80\x80", {0xD800, 0xDC00}}, {"\xF4\x8F\xBF\xBF", {0xDBFF, 0xDFFF}},
      {std::string("a\0b", 3), std::u16string(u"a\0b", 3)},
      {"\xC0\x80", {R, R}}, {"\xC1\xBF", {R, R}}, {"\xE0\x80\x80", {R, R, R}},
      {"\xF0\x80\x80\x80", {R, R, R, R}}, {"\xED\xA0\x80", {R, R, R}},
      {"\xF4\x90\x80\x80", {R, R, R, R}}, {"\xF5\x80", {R, R}}, {"\xFF", {R}},
      {"a\x80\xBF" "b", {u'a', R, R, u'b'}},
      {"\xE2\x82", {R}}, {"\xE2\x82z", {R, u'z'}}, {"\xF0\x9F\x98", {R}},
      {"\xF0\x9F\x98\xC3\xA9", {R, 0xE9}}, {"\xC3", {R}}, {"\xC3" "A", {R, u'A'}},
      // clang-format on
  };
  for (const auto& r : rows) EXPECT_EQ(utf8_2_ucs2(r.in), r.out) << r.in;
  EXPECT_EQ(utf8_2_ucs2(static_cast<const char*>(nullptr)), u"");
  EXPECT_EQ(utf8_2_ucs2("x\xC3\xA9"), u"x\u00E9");
}

TEST(Utf8, RoundTripAndHelpers) {
  std::string text = "h\xC3\xA9llo \xE2\x82\xAC \xF0\x9F\x98\x80!";
  EXPECT_EQ(qar::to_utf8(qar::to_u16(text)), text);
  // Unpaired surrogates cannot be encoded: U+FFFD.
  EXPECT_EQ(qar::to_utf8(std::u16string{0xD800, u'a'}), "\uFFFDa");
  EXPECT_EQ(qar::to_utf8(std::u16string{0xDC00}), "\xEF\xBF\xBD");
  EXPECT_EQ(qar::u16len(u"abc"), 3u);
  EXPECT_EQ(qar::u16len(nullptr), 0u);
  EXPECT_EQ(qar::ascii_lower(u"AbC\u00C9Z"), u"abc\u00C9z");  // only ASCII letters change
}

using qar::url::combine;

// RFC 3986, 5.4: every example, normal and abnormal, against its base.
TEST(Url, Rfc3986ReferenceResolutionExamples) {
  const std::string base = "http://a/b/c/d;p?q";
  // href=>result, an empty href written as =>result.
  std::istringstream cases(R"(
g:h=>g:h g=>http://a/b/c/g ./g=>http://a/b/c/g g/=>http://a/b/c/g/ /g=>http://a/g
//g=>http://g ?y=>http://a/b/c/d;p?y g?y=>http://a/b/c/g?y #s=>http://a/b/c/d;p?q#s
g#s=>http://a/b/c/g#s g?y#s=>http://a/b/c/g?y#s ;x=>http://a/b/c/;x g;x=>http://a/b/c/g;x
g;x?y#s=>http://a/b/c/g;x?y#s =>http://a/b/c/d;p?q .=>http://a/b/c/ ./=>http://a/b/c/
..=>http://a/b/ ../=>http://a/b/ ../g=>http://a/b/g ../..=>http://a/ ../../=>http://a/
../../g=>http://a/g ../../../g=>http://a/g ../../../../g=>http://a/g /./g=>http://a/g
/../g=>http://a/g g.=>http://a/b/c/g. .g=>http://a/b/c/.g g..=>http://a/b/c/g..
..g=>http://a/b/c/..g ./../g=>http://a/b/g ./g/.=>http://a/b/c/g/ g/./h=>http://a/b/c/g/h
g/../h=>http://a/b/c/h g;x=1/./y=>http://a/b/c/g;x=1/y g;x=1/../y=>http://a/b/c/y
g?y/./x=>http://a/b/c/g?y/./x g?y/../x=>http://a/b/c/g?y/../x g#s/./x=>http://a/b/c/g#s/./x
g#s/../x=>http://a/b/c/g#s/../x http:g=>http:g)");
  int n = 0;
  for (std::string c; cases >> c; ++n) {
    const size_t arrow = c.find("=>");
    EXPECT_EQ(combine(base, c.substr(0, arrow)), c.substr(arrow + 2)) << "href " << c;
  }
  EXPECT_EQ(n, 42);
}

// Clean-up is linear in the path: 8 MiB paths finish at once, where erasing from the front of
// the string would run far past the test's time limit.
TEST(Url, LongPathsAreCleanedInOnePass) {
  std::string up, down;
  for (int i = 0; i < 1 << 21; ++i) down += "/a";
  for (int i = 0; i < 1 << 20; ++i) up += "/..";
  const std::string half = down.substr(0, down.size() / 2);
  EXPECT_EQ(qar::url::remove_dot_segments(down + up + "/b"), half + "/b");
  EXPECT_EQ(qar::url::remove_dot_segments(down + "/." + down), down + down);
  EXPECT_EQ(combine("http://h" + down + "/x", "." + up + "/c?q"), "http://h" + half + "/c?q");
  EXPECT_EQ(combine("rel" + down, "." + up + up + "/../c"), "../c");
}

TEST(Url, FileUrlsAndPlainPaths) {
  const struct {
    const char *base, *href, *want;
  } rows[] = {
      {"file:///home/u/doc/index.html", "img/a.png", "file:///home/u/doc/img/a.png"},
      {"file:///home/u/doc/index.html", "../b.html#top", "file:///home/u/b.html#top"},
      {"file:///home/u/doc/index.html", "/etc/x", "file:///etc/x"},
      {"file:///home/u/doc/index.html", "http://h/p", "http://h/p"},
      // Plain absolute paths as the base give paths.
      {"/srv/show/page.html", "pics/a.jpg", "/srv/show/pics/a.jpg"},
      {"/srv/show/page.html", "../../../x.jpg", "/x.jpg"},
      {"/srv/show/page.html", "/abs/y.png", "/abs/y.png"},
      // Plain relative paths keep what cannot be resolved.
      {"show/page.html", "pics/a.jpg", "show/pics/a.jpg"},
      {"show/page.html", "../a.jpg", "a.jpg"},
      {"show/page.html", "../../a.jpg", "../a.jpg"},
      {"page.html", "../../a.jpg", "../../a.jpg"},
      {"a/b/page.html", "../../../../c.jpg", "../../c.jpg"},
      {"page.html", "./a/./b/../c.jpg", "a/c.jpg"},
      // An empty base leaves the reference alone; a full URL reference has its dots removed.
      {"", "x/../y", "x/../y"},
      {"/a/b", "http://h/a/../b", "http://h/b"},
  };
  for (const auto& r : rows) EXPECT_EQ(combine(r.base, r.href), r.want) << r.base << " " << r.href;
}

TEST(Url, WideStringsKeepNonAscii) {
  EXPECT_EQ(
      combine(std::u16string(u"http://h/\u043F\u0430\u043F\u043A\u0430/i.html"), u"\u00E9.png"),
      u"http://h/\u043F\u0430\u043F\u043A\u0430/\u00E9.png");
  EXPECT_EQ(combine(std::u16string(), std::u16string(u"rel")), u"rel");
}

}  // namespace
