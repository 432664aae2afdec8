// Layout of hand-built rich-format trees with the engine's fonts on the software device: line
// breaking against the font's own measure, alignment, tables, the line table and the caches.
#include <gtest/gtest.h>

#include "soft_screen.h"
#include "zel/rich_format/cells.h"

using namespace zel;
using namespace zel::rf;

namespace {

struct Doc {
  std::shared_ptr<DocumentCell> doc = std::make_shared<DocumentCell>();
  std::shared_ptr<ContainerCell> block(const std::u16string& text, int32_t align = 0) {
    auto b = std::make_shared<ContainerCell>();
    doc->append(b);
    b->set_alignment(align);
    fill(*b, text);
    return b;
  }
  static void fill(ContainerCell& b, const std::u16string& text) {
    size_t p = 0;
    while (p < text.size()) {
      size_t e = text.find(u' ', p);
      e = e == std::u16string::npos ? text.size() : e + 1;
      b.append(std::make_shared<WordCell>(text.substr(p, e - p)));
      p = e;
    }
  }
};

// A table of rows of cells of words.
std::shared_ptr<TableCell> table(const unit* w, std::vector<std::vector<const char16_t*>> rows,
                                 int32_t border = 0, int32_t spacing = 0) {
  auto t = std::make_shared<TableCell>(border, spacing, w);
  for (auto& r : rows) {
    t->add_row();
    for (auto* s : r) {
      auto c = std::make_shared<TableCellCell>();
      Doc::fill(*c, s);
      t->add_cell(c);
    }
  }
  return t;
}

int32_t measure(test::SoftScreen& dev, const std::u16string& s) {
  auto f = dev.create_font(Style::engine_default().font());
  return dev.calc_text(s, f).first;
}

}  // namespace

// Lines are filled greedily with words measured by the font; a word wider than the line stands
// alone and widens the content width; width 0 puts one word on each line (and ends).
TEST(RichLayout, BreaksLinesGreedily) {
  const std::u16string text = u"The quick brown fox jumps over the lazy dog again and again ";
  const std::u16string longword = u"Pneumonoultramicroscopicsilicovolcanoconiosis ";
  for (int32_t width : {0, 37, 120, 300, 2000}) {
    SCOPED_TRACE(width);
    test::SoftScreen dev(64, 64);
    Doc d;
    auto b = d.block(text + longword + text);
    d.doc->layout_document(width, &dev);
    int32_t widest = 0;
    for (const auto& line : b->lines()) {
      int32_t used = 0;
      for (int32_t i = line.first; i < line.last; ++i) {
        const Cell& c = *b->children()[i];
        EXPECT_EQ(c.x(), used);
        EXPECT_EQ(c.width(), measure(dev, c.text()));
        used += c.width();
      }
      widest = std::max(widest, used);
      EXPECT_TRUE(line.last - line.first == 1 || used <= width);
      // The next word did not fit.
      const bool last = line.last == int32_t(b->children().size());
      EXPECT_TRUE(last || used + b->children()[line.last]->width() > width);
    }
    EXPECT_EQ(d.doc->content_width(), widest);
    EXPECT_TRUE(width >= measure(dev, longword) || d.doc->content_width() > width);
  }
}

// A word glued to the one before it (no white space between) never starts a line; the markers
// between them stay with them.
TEST(RichLayout, GluedWordsStayTogether) {
  test::SoftScreen dev(64, 64);
  Doc d;
  auto b = d.block(u"aaaa ");
  b->append(std::make_shared<WordCell>(u"foo", true));
  b->append(std::make_shared<FontCell>(
      logical_font(unit(12, unit::points), u"DejaVu Sans", logical_font::fw_bold, 0)));
  b->append(std::make_shared<WordCell>(u"bar ", false));
  // A superscript and a subscript glued on: smaller, above and below the word's place.
  b->append(std::make_shared<FontCell>(logical_font(), 2));
  b->append(std::make_shared<WordCell>(u"2", false));
  b->append(std::make_shared<FontCell>(logical_font(), 1));
  b->append(std::make_shared<WordCell>(u"3", false));
  d.doc->layout_document(1, &dev);
  ASSERT_EQ(b->lines().size(), 2u);
  EXPECT_EQ(b->lines()[1].first, 1);
  const auto& c = b->children();
  EXPECT_EQ(c[3]->y(), c[1]->y() + c[1]->baseline() - c[3]->baseline());
  EXPECT_LT(c[5]->height(), c[3]->height());
  EXPECT_LT(c[5]->y(), c[3]->y());
  EXPECT_GT(c[7]->y() + c[7]->height(), c[3]->y() + c[3]->height());
}

// Alignment offsets; justify moves the k-th gap's word by k * r / gaps; a br block is one
// font height; the last line of a justified block stays left.
TEST(RichLayout, Alignment) {
  for (int32_t align : {1, 2, 3, 4}) {
    SCOPED_TRACE(align);
    test::SoftScreen dev(64, 64);
    Doc d;
    auto b = d.block(u"aa bb cc dd ee ff gg hh ii jj kk ll mm ", align);
    auto wide = d.block(u"Pneumonoultramicroscopicsilicovolcanoconiosis ", align);
    const int32_t W = 100;
    d.doc->layout_document(W, &dev);
    ASSERT_GE(b->lines().size(), 2u);
    const auto& line = b->lines()[0];
    int32_t used = 0;
    for (int32_t i = line.first; i < line.last; ++i) used += b->children()[i]->width();
    const int32_t r = W - used, gaps = line.last - line.first - 1;
    int32_t x = 0;
    for (int32_t i = line.first; i < line.last; ++i) {
      const int32_t k = i - line.first;
      const int32_t want = align == 2   ? x + r
                           : align == 3 ? x + r / 2
                           : align == 4 ? x + k * r / gaps
                                        : x;
      EXPECT_EQ(b->children()[i]->x(), want);
      x += b->children()[i]->width();
    }
    EXPECT_EQ(b->children()[b->lines().back().first]->x(),
              align == 4 || align == 1 ? 0 : b->children()[b->lines().back().first]->x());
    EXPECT_EQ(wide->children()[0]->x(), 0);  // never a negative offset
  }
  test::SoftScreen dev(64, 64);
  Doc d;
  d.block(u"x ");
  auto br = std::make_shared<ContainerCell>();
  br->set_empty_line_height(unit(1.0, unit::em));
  d.doc->append(br);
  d.doc->layout_document(200, &dev);
  EXPECT_EQ(br->height(), dev.create_font(Style::engine_default().font())->get_height());
}

// Tables: percentage columns of a fixed-width table, ragged rows, a table without rows, all rows
// 0 high under a given height (shared equally), cells too wide for the table.
TEST(RichLayout, Tables) {
  test::SoftScreen dev(64, 64);
  const unit full(400, unit::pixels);
  Doc d;
  auto pct = table(&full, {{u"a ", u"b "}});
  pct->cell_at(0, 0)->set_cell_width(unit(25, unit::percent));
  pct->cell_at(0, 1)->set_cell_width(unit(75, unit::percent));
  auto ragged = table(nullptr, {{u"one ", u"two ", u"three "}, {u"four "}, {}});
  auto empty = table(nullptr, {});
  auto zero = table(&full, {{u""}, {u""}, {u""}});
  zero->set_height(unit(90, unit::pixels));
  auto wide = table(nullptr, {{u"Pneumonoultramicroscopicsilicovolcanoconiosis ", u"x y z "}});
  for (auto& t : {pct, ragged, empty, zero, wide}) d.doc->append(t);
  d.doc->layout_document(200, &dev);
  EXPECT_EQ(pct->width(), 400);
  EXPECT_EQ(pct->cell_at(0, 0)->width(), 100);
  EXPECT_EQ(pct->cell_at(0, 1)->width(), 300);
  EXPECT_EQ(ragged->cell_at(1, 1), nullptr);
  EXPECT_EQ(ragged->cell_at(1, 0)->x(), ragged->cell_at(0, 0)->x());
  EXPECT_GT(ragged->cell_at(1, 0)->y(), ragged->cell_at(0, 0)->y());
  EXPECT_EQ(empty->height(), 0);
  for (int r = 0; r < 3; ++r) EXPECT_EQ(zero->cell_at(r, 0)->height(), 30);
  EXPECT_GT(wide->content_width(), 200);
  EXPECT_GE(wide->cell_at(0, 1)->x(), wide->cell_at(0, 0)->x() + wide->cell_at(0, 0)->width());
}

// The same width again measures and moves nothing; another width re-breaks lines without
// measuring a word; a style change measures again. The line table is sorted and unique, and
// line_at_y / line_of_cell agree with it.
TEST(RichLayout, CachesAndLineTable) {
  test::SoftScreen dev(64, 64);
  Doc d;
  for (int i = 0; i < 20; ++i) d.block(u"lorem ipsum dolor sit amet consectetur adipiscing elit ");
  d.doc->append(
      table(nullptr, {{u"left column text here ", u"right column has more words in it "}}, 1, 2));
  d.doc->layout_document(300, &dev);
  EXPECT_GT(d.doc->last_words_measured(), 0);
  const int32_t lines300 = d.doc->line_count();
  d.doc->layout_document(300, &dev);
  EXPECT_EQ(d.doc->last_words_measured(), 0);
  d.doc->layout_document(120, &dev);
  EXPECT_EQ(d.doc->last_words_measured(), 0);
  EXPECT_GT(d.doc->line_count(), lines300);
  for (int32_t i = 1; i < d.doc->line_count(); ++i) {
    EXPECT_LT(d.doc->line_at(i - 1)->top, d.doc->line_at(i)->top);
    EXPECT_EQ(d.doc->line_at_y(d.doc->line_at(i)->top), i);
    EXPECT_EQ(d.doc->line_of_cell(d.doc->line_at(i)->first), i);
  }
  d.doc->layout_notify(style_changed);
  d.doc->layout_document(120, &dev);
  EXPECT_GT(d.doc->last_words_measured(), 0);
}
