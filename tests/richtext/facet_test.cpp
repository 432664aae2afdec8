// The rich-format facet on a render manager: the document drawn into its texture on the
// update pass, scrolling by lines and pages, anchors and in-page links, and copying. The same
// tests run on the software and the OpenGL device.
#include <gtest/gtest.h>

#include "scene/scene_util.h"
#include "zel/controls/clipboard.h"
#include "zel/events.h"
#include "zel/rich_format/rf_facet.h"

using namespace zel;

namespace {

class RichFacet : public scene_test::SceneFixture {
 protected:
  // A document of `n` one-word lines "LineK", an anchor "a7" on line 7, and links on line 2.
  static std::shared_ptr<rf::DocumentCell> lines(int n) {
    auto doc = std::make_shared<rf::DocumentCell>();
    for (int i = 0; i < n; ++i) {
      auto b = std::make_shared<rf::ContainerCell>();
      doc->append(b);
      if (i == 7) b->append(std::make_shared<rf::AnchorCell>(u"a7"));
      std::u16string w = u"Line";
      for (char c : std::to_string(i)) w += char16_t(c);
      b->append(std::make_shared<rf::WordCell>(w + u" "));
      if (i == 2)
        for (const char16_t* href : {u"#a7", u"page.html#a7", u"other.html#a7"}) {
          auto word = std::make_shared<rf::WordCell>(u"link ");
          word->set_link(std::make_shared<rf::LinkInfo>(href, nullptr));
          b->append(word);
        }
    }
    return doc;
  }
  std::shared_ptr<rfFacet> facet(int n, int32_t w = 200, int32_t h = 100) {
    manual();
    auto f = std::make_shared<rfFacet>(u"rf");
    f->set_topleft(10, 20);
    f->set_size(w, h);
    f->open_document(lines(n), u"page.html");
    mng_->get_layer(1, true)->put_facet(f);
    return f;
  }
  // Rows of the facet (frame rows 20..) holding dark ink, as a bit string.
  std::string ink_rows(rfFacet& f) {
    mng_->update_screen(0);
    auto img = frame();
    std::string rows;
    for (int32_t y = f.get_top(); y < f.get_top() + f.get_height(); ++y) {
      bool ink = false, white = false;
      for (int32_t x = f.get_left(); x < f.get_left() + f.get_width(); ++x) {
        const uint32_t c = scene_test::rgb_at(*img, x, y);
        ink |= (c & 0xff) < 0x60;
        white |= c == 0xffffff;
      }
      EXPECT_TRUE(white) << "row " << y;
      rows += ink ? '#' : '.';
    }
    return rows;
  }
};

// Black text on white: ink on the rows of the first lines; one line of scroll moves it up by
// one line height; a resize lays out again from the top.
TEST_F(RichFacet, DrawsAndScrollsByLines) {
  auto f = facet(30);
  const std::string first = ink_rows(*f);
  EXPECT_EQ(f->texture_mode(), 1);
  EXPECT_TRUE(f->is_rendered());
  auto doc = f->document();
  const rf::line_entry* l0 = doc->line_at(0);
  const int32_t lh = doc->line_at(1)->top - l0->top;
  ASSERT_GT(lh, 5);
  EXPECT_NE(first.find('#'), std::string::npos);
  EXPECT_EQ(first.find('#') / lh, 0u);
  EXPECT_TRUE(f->vertical().do_scroll(scroll_info::step_forward, 0));
  EXPECT_FALSE(f->is_rendered());
  const std::string second = ink_rows(*f);
  EXPECT_EQ(second.substr(0, first.size() - lh), first.substr(lh));
  const notification_event lost(notification_device_lost);
  f->on_notification(&lost);
  EXPECT_FALSE(f->is_rendered());
  EXPECT_EQ(ink_rows(*f), second);
  f->set_size(150, 100);
  ink_rows(*f);
  EXPECT_EQ(f->vertical().get_scroll_info().pos, 0);
}

// Without a texture (the software device has none above 8192 pixels) the document is drawn
// straight onto the screen, the same as through the texture.
TEST_F(RichFacet, DrawsWithoutATexture) {
  if (dev_->name() != u"Software") GTEST_SKIP() << "only the software device refuses the size";
  auto f = facet(30, 100, 200);
  mng_->update_screen(0);
  auto textured = frame();
  f->set_size(100, 9000);
  mng_->update_screen(0);
  auto direct = frame();
  EXPECT_EQ(f->texture_mode(), 0);
  int same = 0;
  for (int32_t y = 20; y < 220; ++y)
    same += std::memcmp(textured->pixmap(y) + 40, direct->pixmap(y) + 40, 400) == 0;
  EXPECT_EQ(same, 200);
}

// Paging moves at least a line (value 0 counts as 1) and stops at the limit; with no lines
// paging and links answer nothing; set_scroll_info orders and clamps.
TEST_F(RichFacet, PagingAndLimits) {
  auto f = facet(40);
  ink_rows(*f);
  auto& v = f->vertical();
  const scroll_info range = v.get_scroll_info();
  ASSERT_GT(range.max, 5);
  EXPECT_TRUE(v.do_scroll(scroll_info::page_forward, 0));
  const int32_t page = v.get_scroll_info().pos;
  EXPECT_GE(page, 1);
  const int32_t lh = f->document()->line_at(1)->top - f->document()->line_at(0)->top;
  EXPECT_LE(page, 100 / lh);
  EXPECT_TRUE(v.do_scroll(scroll_info::page_back, 1));
  EXPECT_EQ(v.get_scroll_info().pos, 0);
  EXPECT_TRUE(v.do_scroll(scroll_info::go_max, 0));
  EXPECT_FALSE(v.do_scroll(scroll_info::page_forward, 1));
  EXPECT_TRUE(v.do_scroll(scroll_info::track, 3));
  EXPECT_FALSE(v.do_scroll(8, 0));
  v.set_scroll_info(scroll_info{9, 2, 50, 0, 1});
  EXPECT_EQ(v.get_scroll_info().min, 2);
  EXPECT_EQ(v.get_scroll_info().pos, 9);

  auto tiny = facet(10, 200, 8);  // lines taller than the facet
  ink_rows(*tiny);
  for (int32_t want : {1, 2}) {
    EXPECT_TRUE(tiny->vertical().do_scroll(scroll_info::page_forward, 1));
    EXPECT_EQ(tiny->vertical().get_scroll_info().pos, want);
  }

  auto empty = facet(0);
  ink_rows(*empty);
  EXPECT_FALSE(empty->vertical().do_scroll(scroll_info::page_forward, 1));
  EXPECT_EQ(empty->get_link_info(5, 5), nullptr);
  EXPECT_EQ(empty->get_media_width(), 0);
}

// Anchors: a jump asked before the first layout is made after it; an unknown name changes
// nothing; links under the point, and clicks on in-page links ("#a7" and "page.html#a7") jump
// while another page's link does not.
TEST_F(RichFacet, AnchorsAndLinks) {
  auto f = facet(30);
  EXPECT_TRUE(f->goto_anchor(u"a7"));
  ink_rows(*f);
  EXPECT_EQ(f->vertical().get_scroll_info().pos, 7);
  EXPECT_FALSE(f->goto_anchor(u"nowhere"));
  EXPECT_EQ(f->vertical().get_scroll_info().pos, 7);
  auto doc = f->document();
  const rf::line_entry* l2 = doc->line_at(2);
  auto* b = static_cast<rf::ContainerCell*>(l2->first->parent().get());
  const std::u16string want[] = {u"#a7", u"page.html#a7", u"other.html#a7"};
  for (int i = 0; i < 3; ++i) {
    f->vertical().do_scroll(scroll_info::go_min, 0);
    const rf::Cell& word = *b->children()[size_t(i) + 1];
    const int32_t x = word.x() + 2, y = l2->top + 2;
    ASSERT_NE(f->get_link(x, y), nullptr);
    EXPECT_EQ(std::u16string(f->get_link(x, y)), want[i]);
    EXPECT_EQ(f->on_click(x, y), i < 2);
    EXPECT_EQ(f->vertical().get_scroll_info().pos, i < 2 ? 7 : 0);
  }
  EXPECT_EQ(f->get_link(1000, 5), nullptr);
}

// Copying puts the document's text on the clipboard, and an HTML page's markup in the "HTML
// Format" wrapping with its offsets right.
TEST_F(RichFacet, CopiesText) {
  auto f = facet(3);
  ASSERT_TRUE(f->copy_to_clipboard());
  std::u16string text;
  ASSERT_TRUE(Clipboard().get(text));
  EXPECT_EQ(text, u"Line0 \nLine1 \nLine2 link link link \n");
  ASSERT_TRUE(f->open(u"<p>Hello <b>world</b></p>", 1));
  ASSERT_TRUE(f->copy_to_clipboard());
  ASSERT_TRUE(Clipboard().get(text));
  EXPECT_EQ(text.substr(0, 11), u"Hello world");
  std::string fmt;
  ASSERT_TRUE(Clipboard().get_data("HTML Format", fmt));
  auto offset = [&](const char* key) {
    return std::stoul(fmt.substr(fmt.find(key) + strlen(key), 8));
  };
  EXPECT_EQ(fmt.compare(offset("StartHTML:"), 6, "<html>"), 0);
  EXPECT_EQ(offset("EndHTML:"), fmt.size());
  EXPECT_EQ(fmt.compare(offset("StartFragment:"), 13, "<!--StartFrag"), 0);
  EXPECT_EQ(fmt.compare(offset("EndFragment:"), 11, "<!--EndFrag"), 0);
}

// A text given directly is shown: flag 0 as plain text, otherwise as HTML; an in-page "#top"
// link of a page jumps to its anchor.
TEST_F(RichFacet, OpensTextsAndFollowsTop) {
  auto f = facet(0);
  EXPECT_FALSE(f->open(u"", 1));
  EXPECT_TRUE(f->open(u"first line\r\nsecond <b>x</b>", 0));
  EXPECT_EQ(f->document()->text(), u"first line\nsecond <b>x</b>\n");
  std::u16string page = u"<a name=\"top\"></a>";
  for (int i = 0; i < 40; ++i) page += u"<p>para</p>";
  page += u"<p><a href=\"#top\">up</a></p>";
  ASSERT_TRUE(f->open(page.c_str(), 1));
  ink_rows(*f);
  EXPECT_GT(f->get_media_height(), f->get_height());
  f->vertical().do_scroll(scroll_info::go_max, 0);
  ink_rows(*f);
  auto doc = f->document();
  const rf::line_entry* last = doc->line_at(doc->line_count() - 1);
  const int32_t y = last->top - doc->line_at(f->vertical().get_scroll_info().pos)->top + 2;
  ASSERT_NE(f->get_link(last->first->x() + 2, y), nullptr);
  EXPECT_TRUE(f->on_click(last->first->x() + 2, y));
  EXPECT_EQ(f->vertical().get_scroll_info().pos, 0);
}

}  // namespace
