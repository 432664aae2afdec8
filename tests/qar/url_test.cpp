#include "qar/url.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

namespace {

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

TEST(Url, RemoveDotSegments) {
  EXPECT_EQ(qar::url::remove_dot_segments("/a/b/c/./../../g"), "/a/g");
  EXPECT_EQ(qar::url::remove_dot_segments("mid/content=5/../6"), "mid/6");
  EXPECT_EQ(qar::url::remove_dot_segments("/.."), "/");
  EXPECT_EQ(qar::url::remove_dot_segments(""), "");
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
  EXPECT_EQ(combine("file:///home/u/doc/index.html", "img/a.png"), "file:///home/u/doc/img/a.png");
  EXPECT_EQ(combine("file:///home/u/doc/index.html", "../b.html#top"), "file:///home/u/b.html#top");
  EXPECT_EQ(combine("file:///home/u/doc/index.html", "/etc/x"), "file:///etc/x");
  EXPECT_EQ(combine("file:///home/u/doc/index.html", "http://h/p"), "http://h/p");
  // Plain absolute paths as the base give paths.
  EXPECT_EQ(combine("/srv/show/page.html", "pics/a.jpg"), "/srv/show/pics/a.jpg");
  EXPECT_EQ(combine("/srv/show/page.html", "../../../x.jpg"), "/x.jpg");
  EXPECT_EQ(combine("/srv/show/page.html", "/abs/y.png"), "/abs/y.png");
  // Plain relative paths keep what cannot be resolved.
  EXPECT_EQ(combine("show/page.html", "pics/a.jpg"), "show/pics/a.jpg");
  EXPECT_EQ(combine("show/page.html", "../a.jpg"), "a.jpg");
  EXPECT_EQ(combine("show/page.html", "../../a.jpg"), "../a.jpg");
  EXPECT_EQ(combine("page.html", "../../a.jpg"), "../../a.jpg");
  EXPECT_EQ(combine("a/b/page.html", "../../../../c.jpg"), "../../c.jpg");
  EXPECT_EQ(combine("page.html", "./a/./b/../c.jpg"), "a/c.jpg");
  // An empty base leaves the reference alone; a full URL reference has its dots removed.
  EXPECT_EQ(combine("", "x/../y"), "x/../y");
  EXPECT_EQ(combine("/a/b", "http://h/a/../b"), "http://h/b");
}

TEST(Url, WideStringsKeepNonAscii) {
  EXPECT_EQ(
      combine(std::u16string(u"http://h/\u043F\u0430\u043F\u043A\u0430/i.html"), u"\u00E9.png"),
      u"http://h/\u043F\u0430\u043F\u043A\u0430/\u00E9.png");
  EXPECT_EQ(combine(std::u16string(), std::u16string(u"rel")), u"rel");
}

}  // namespace
