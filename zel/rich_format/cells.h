// The rich-format document: a tree of cells. Text is a flow of word cells inside containers
// (blocks, table cells, the document); font and colour changes are marker cells in that flow, in
// force from the marker to the next marker of the same kind (in document order, across container
// boundaries).
//
// Layout (cells.cpp, layout.cpp): each cell's `layout` sizes it for an available width with the
// fonts of one device; containers break their flow into lines and keep a stamp (the width of
// their last layout) so that laying out again at the same width does nothing; words keep their
// measured size per font, so laying out at another width only re-breaks the lines. The document
// records its lines (absolute tops, sorted) for scrolling.
//
// Threads: a document is built by one thread, then laid out, rendered and queried under its
// owner's lock (the facet's). Rendering happens on the render thread only.
#pragma once
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "zel/font.h"
#include "zel/rich_format/style.h"

namespace zel {

class BitmapImage;
class Clipboard;
class RenderDevice;

namespace rf {

class Cell;
class ContainerCell;
class DocumentCell;
class FontCell;
class ColourCell;

// What a container's or the document's `layout_notify` is told.
enum layout_event : int32_t {
  // The content or the style changed: every stamp and every measured word is dropped.
  style_changed = 0,
  // The available width changed (the stamps already tell a new width apart; nothing to drop).
  width_changed = 1,
  // The device dropped its resources: fonts are let go (made again at the next layout).
  drop_device = 2,
};

// The state passed down through one document layout. Containers save and restore the line
// spacing and alignment around their children.
struct layout_record {
  RenderDevice* device = nullptr;  // fonts and pixels per inch (96 without one)
  DocumentCell* document = nullptr;
  int32_t line_count = 0;
  int32_t widest_line = 0;
  unit line_spacing{0.0, unit::none};
  int32_t alignment = 0;  // 0 none, 1 left, 2 right, 3 center, 4 justify
  int32_t vshift = 0;     // pixels, for sub- and superscript runs (positive: down)
  std::shared_ptr<Font> font;
  uint32_t colour = 0xff000000;  // 0xAARRGGBB
  int32_t table_depth = 0;       // tables nested deeper than a limit lay out as blocks
  int64_t words_measured = 0;    // measurements made in this layout (statistics)

  // A length in pixels: points and inches through the device's pixels per inch (horizontal or
  // vertical), em the height of the font in force, ex half of it; percent and factor are
  // applied by their users and give 0 here. Truncated toward zero, clamped to ±10^9.
  int32_t to_pixels(const unit& u, bool horizontal) const;
};

// The drawing state of one rendering pass: the font and colour in force and the clip in
// target pixels (rows [clip_top, clip_bottom)).
struct render_state {
  std::shared_ptr<Font> font;
  uint32_t colour = 0xff000000;
  int32_t clip_top = 0;
  int32_t clip_bottom = 0;
  int32_t clip_left = 0;
  int32_t clip_right = 0;
};

// Fills the rectangle of the current target with an untextured quad of the colour (0xAARRGGBB).
// Render thread.
void fill_rect(RenderDevice& device, int32_t x, int32_t y, int32_t w, int32_t h, uint32_t argb);

// The base of all cells.
class Cell : public std::enable_shared_from_this<Cell> {
 public:
  enum hit_flags : int32_t { hit_above = 4, hit_below = 2 };
  enum find_kind : int32_t { find_name = 1, find_root = 2, find_anchor = 3 };

  Cell();
  Cell(const Cell&) = delete;
  Cell& operator=(const Cell&) = delete;
  virtual ~Cell();

  virtual int32_t content_width() const { return width_; }
  virtual std::shared_ptr<LinkInfo> link() const { return link_; }
  // Sizes the cell for the available width. The base is 0 x 0.
  virtual void layout(int32_t width, layout_record& rec);
  virtual void layout_notify(layout_event what);
  // Draws the cell at (x, y) + its position (x, y being its container's top-left in target
  // pixels); markers change the state for the cells after them.
  virtual void render(RenderDevice& device, int32_t x, int32_t y, render_state& st);
  virtual void render_part(RenderDevice& device, int32_t x, int32_t y, render_state& st) {
    render(device, x, y, st);
  }
  // A cell a line may break before: a word after white space, containers and images.
  virtual bool is_box() const { return false; }
  // False for content (words, images); true for markers, anchors and containers.
  virtual bool is_structural() const { return true; }
  virtual bool is_container() const { return false; }
  virtual std::u16string text() const { return std::u16string(); }
  // The topmost container (null without a parent).
  virtual Cell* root();
  virtual Cell* find(int32_t kind, const std::u16string& name);
  // In the cell's own coordinates.
  virtual Cell* hit_test(int32_t x, int32_t y, int32_t flags);
  virtual bool copy_to_clipboard(Clipboard& clipboard);

  std::shared_ptr<ContainerCell> parent() const { return parent_.lock(); }
  int32_t width() const { return width_; }
  int32_t height() const { return height_; }
  int32_t x() const { return x_; }
  int32_t y() const { return y_; }
  int32_t baseline() const { return baseline_; }
  void set_position(int32_t x, int32_t y) {
    x_ = x;
    y_ = y;
  }
  // The cell's top-left in its root's coordinates.
  std::pair<int64_t, int64_t> absolute_position() const;
  void set_link(std::shared_ptr<LinkInfo> l) { link_ = std::move(l); }
  const std::u16string& name() const { return name_; }
  void set_name(const std::u16string& n) { name_ = n; }

 protected:
  friend class ContainerCell;
  friend class DocumentCell;
  friend class TableCell;
  std::weak_ptr<ContainerCell> parent_;
  int32_t width_ = 0;
  int32_t height_ = 0;
  int32_t x_ = 0;
  int32_t y_ = 0;
  int32_t baseline_ = 0;  // pixels below the top where the line's baseline sits
  std::shared_ptr<LinkInfo> link_;
  std::u16string name_;
};

// A line of a container, in the container's coordinates: its children [first, last).
struct container_line {
  int32_t first = 0;
  int32_t last = 0;
  int32_t top = 0;
  int32_t height = 0;
};

// Holds children laid out in lines.
class ContainerCell : public Cell {
 public:
  enum spacing_mask : int32_t {
    sp_indent = 1,
    sp_left = 2,
    sp_right = 4,
    sp_before = 16,
    sp_after = 32,
  };
  enum valign_t : int32_t { valign_top = 1, valign_bottom = 2, valign_middle = 3 };

  ContainerCell();
  ~ContainerCell() override;

  int32_t content_width() const override { return content_width_; }
  void layout(int32_t width, layout_record& rec) override;
  void layout_notify(layout_event what) override;
  void render(RenderDevice& device, int32_t x, int32_t y, render_state& st) override;
  bool is_box() const override { return true; }
  bool is_container() const override { return true; }
  std::u16string text() const override;
  Cell* root() override;
  Cell* find(int32_t kind, const std::u16string& name) override;
  Cell* hit_test(int32_t x, int32_t y, int32_t flags) override;

  // Appends the child (its parent becomes this container) and invalidates the layout.
  virtual void append(std::shared_ptr<Cell> child);
  const std::vector<std::shared_ptr<Cell>>& children() const { return children_; }
  bool empty() const { return children_.empty(); }

  const unit& width_unit() const { return width_unit_; }
  void set_width(const unit& w);
  void set_alignment(int32_t a);
  int32_t alignment() const { return alignment_; }
  // Sets every spacing value selected by the mask.
  void set_spacing(const unit& u, int32_t mask);
  const unit& spacing(int32_t mask) const;
  void set_line_spacing(const unit& u);
  const unit& line_spacing() const { return line_spacing_; }
  void set_empty_line_height(const unit& u);
  const unit& empty_line_height() const { return empty_line_height_; }
  void set_valign(int32_t v);
  int32_t valign() const { return valign_; }
  void set_padding(const unit& u);
  // Background (drawn as a filled rectangle) and border width in pixels (0: none).
  void set_background(std::shared_ptr<argb> c);
  const std::shared_ptr<argb>& background() const { return background_; }
  void set_border(int32_t px);
  int32_t border() const { return border_; }

  // Marks this container and the ones above it for a new layout.
  void invalidate();
  int32_t stamp() const { return stamp_; }
  const std::vector<container_line>& lines() const { return lines_; }
  // The font and colour markers in force after this container's flow (set by layout), so
  // that rendering can skip a container wholly outside the clip.
  const std::shared_ptr<Font>& end_font() const { return end_font_; }
  uint32_t end_colour() const { return end_colour_; }

 protected:
  // Lays out the flow of children into lines for the inner width `inner` (spacing applied by
  // the caller), starting at `top`; returns the bottom of the last line.
  int32_t flow(int32_t inner, int32_t left, int32_t top, layout_record& rec);
  void remember_end(const layout_record& rec);

  std::vector<std::shared_ptr<Cell>> children_;
  unit width_unit_{100.0, unit::percent};
  int32_t stamp_ = -1;
  int32_t content_width_ = 0;
  unit empty_line_height_{0.0, unit::pixels};
  unit spacing_[5];  // left, right, indent, before, after
  unit line_spacing_{0.0, unit::none};
  int32_t alignment_ = 0;
  int32_t valign_ = valign_bottom;
  std::shared_ptr<Font> end_font_;
  uint32_t end_colour_ = 0xff000000;
  unit padding_{0.0, unit::pixels};
  std::shared_ptr<argb> background_;
  int32_t border_ = 0;
  std::vector<container_line> lines_;
};

// One line of the document for scrolling: its top (document pixels), its height and its first
// cell.
struct line_entry {
  int32_t top = 0;
  int32_t height = 0;
  Cell* first = nullptr;
};

// The root of a document: the style sheet, the default font and colour markers and the line
// table of the last layout.
class DocumentCell : public ContainerCell {
 public:
  // Registers a copy of the engine default style as "default" and appends the default font and
  // colour markers.
  DocumentCell();
  ~DocumentCell() override;

  // Lays the document out to the width with the device's fonts (nothing when the stamp equals
  // the width). `device` may be null: lengths at 96 ppi and no fonts (words are 0 x 0).
  void layout_document(int32_t width, RenderDevice* device);
  void append(std::shared_ptr<Cell> child) override;
  void layout_notify(layout_event what) override;
  std::u16string text() const override;
  bool copy_to_clipboard(Clipboard& clipboard) override;
  // Draws the document with its top-left at (x, y), only what falls in the clip rows.
  void render_document(RenderDevice& device, int32_t x, int32_t y, int32_t clip_left,
                       int32_t clip_top, int32_t clip_right, int32_t clip_bottom);

  virtual std::shared_ptr<FontCell> default_font_marker() const { return default_font_; }
  virtual std::shared_ptr<ColourCell> default_colour_marker() const { return default_colour_; }

  // The style sheet. register_style replaces a style of the same name and invalidates the
  // layout; get_style gives an empty pointer for an unknown name.
  void register_style(const std::u16string& name, std::shared_ptr<Style> style);
  std::shared_ptr<Style> get_style(const std::u16string& name) const;

  // Line queries of the last layout.
  int32_t line_count() const { return static_cast<int32_t>(doc_lines_.size()); }
  // i clamped to the lines; null without lines.
  const line_entry* line_at(int32_t i) const;
  // The last line whose top is at or above the cell's top (0 at most).
  int32_t line_of_cell(const Cell* cell) const;
  // The first line whose top is greater than y, less one (the line containing y); the last line
  // when there is none; 0 without lines.
  int32_t line_at_y(int64_t y) const;
  // The first line to show so that the last page of height h is full.
  int32_t last_first_line(int32_t h) const;
  int32_t widest_line() const { return widest_line_; }
  bool layout_valid() const { return stamp_ >= 0; }
  // Words measured by the last layout_document (0 when it had nothing to do).
  int64_t last_words_measured() const { return last_words_measured_; }

  const std::u16string& slice_tail() const { return slice_tail_; }
  void set_slice_tail(const std::u16string& s) { slice_tail_ = s; }
  bool use_slice_tail() const { return use_slice_tail_; }
  void set_use_slice_tail(bool b) { use_slice_tail_ = b; }

 private:
  void rebuild_lines();
  void collect_lines(const ContainerCell& c, int64_t x, int64_t y);
  void adopt_markers();

  std::map<std::u16string, std::shared_ptr<Style>> styles_;
  std::vector<line_entry> doc_lines_;
  int32_t widest_line_ = 0;
  int64_t last_words_measured_ = 0;
  std::shared_ptr<FontCell> default_font_;
  std::shared_ptr<ColourCell> default_colour_;
  std::u16string slice_tail_;
  bool use_slice_tail_ = false;
};

class TableCellCell;

// A whole table: rows of table cells. Rows and cells are added in order; a row shorter than the
// widest one is filled with empty cells at layout.
class TableCell : public ContainerCell {
 public:
  // border and spacing in pixels (negative counts as 0); a width given makes the table's width
  // fixed.
  TableCell(int32_t border, int32_t spacing, const unit* width = nullptr);
  ~TableCell() override;

  void layout(int32_t width, layout_record& rec) override;
  void render(RenderDevice& device, int32_t x, int32_t y, render_state& st) override;
  std::u16string text() const override;

  // Starts a new row.
  void add_row();
  // Appends the cell to the last row (starting one when there is none).
  void add_cell(std::shared_ptr<TableCellCell> cell);
  void set_height(const unit& h);
  int32_t columns() const { return columns_; }
  int32_t rows() const { return static_cast<int32_t>(grid_.size()); }
  int32_t cell_spacing() const { return spacing_px_; }
  bool fixed_width() const { return fixed_width_; }
  // The cell at (row, column); null past a ragged row's end.
  TableCellCell* cell_at(int32_t row, int32_t column) const;

 private:
  struct column_rec {
    int32_t min = 0;     // narrowest content (longest unbreakable run)
    int32_t max = 0;     // content laid out without breaking
    int32_t fixed = -1;  // a width given to the column's cells (pixels), -1 none
    int32_t width = 0;   // the width of the last layout
  };
  // The columns' narrowest and widest content, kept until the content or style changes.
  void measure_columns(int32_t inner, layout_record& rec);
  void distribute(int64_t target);

  std::vector<column_rec> cols_;
  std::vector<int32_t> row_heights_;
  std::vector<std::vector<TableCellCell*>> grid_;
  int32_t border_px_ = 0;
  int32_t spacing_px_ = 0;
  int32_t columns_ = 0;
  bool fixed_width_ = false;
  bool measured_ = false;
  unit height_unit_{0.0, unit::none};
};

// One cell of a table. Its own width and height are of kind none when not given.
class TableCellCell : public ContainerCell {
 public:
  TableCellCell();
  ~TableCellCell() override;
  void render(RenderDevice& device, int32_t x, int32_t y, render_state& st) override;

  const unit& cell_width() const { return cell_width_; }
  void set_cell_width(const unit& u);
  const unit& cell_height() const { return cell_height_; }
  void set_cell_height(const unit& u);

 private:
  friend class TableCell;
  unit cell_width_{0.0, unit::none};
  unit cell_height_{0.0, unit::none};
};

// One word with (usually) its one trailing space.
class WordCell : public Cell {
 public:
  // box: a line may break before the word (the text before it ended in white space, or a block
  // began); false glues the word to the one before it ("foo<b>bar</b>").
  explicit WordCell(std::u16string text, bool box = true);
  ~WordCell() override;

  void layout(int32_t width, layout_record& rec) override;
  void layout_notify(layout_event what) override;
  void render(RenderDevice& device, int32_t x, int32_t y, render_state& st) override;
  bool is_box() const override { return box_; }
  bool is_structural() const override { return false; }
  std::u16string text() const override { return text_; }

  const std::u16string& word() const { return text_; }
  void set_box(bool b) { box_ = b; }
  // Measure character by character with the font's kerning pairs.
  void set_kerned(bool k) { kerned_ = k; }
  bool kerned() const { return kerned_; }

 private:
  std::u16string text_;
  bool box_ = true;
  bool kerned_ = false;
  // The size measured with measured_font_ (kept across layouts).
  int32_t measured_w_ = 0;
  int32_t measured_h_ = 0;
  std::shared_ptr<Font> font_;
  Font* measured_font_ = nullptr;
  int32_t shift_ = 0;  // the vertical shift in force (sub- and superscripts), pixels down
};

// A picture in the flow. Width and height of kind none take the picture's own size.
class ImageCell : public Cell {
 public:
  explicit ImageCell(std::shared_ptr<BitmapImage> image);
  ~ImageCell() override;

  void layout(int32_t width, layout_record& rec) override;
  bool is_box() const override { return true; }
  bool is_structural() const override { return false; }

  void set_size(const unit& w, const unit& h);
  void set_space(const unit& hspace, const unit& vspace);
  const std::shared_ptr<BitmapImage>& image() const { return image_; }

 private:
  std::shared_ptr<BitmapImage> image_;
  unit hspace_{0.0, unit::none};
  unit vspace_{0.0, unit::none};
  unit w_{0.0, unit::none};
  unit h_{0.0, unit::none};
};

// A named place in the document (no size); found by find(find_anchor, name).
class AnchorCell : public Cell {
 public:
  explicit AnchorCell(std::u16string anchor);
  ~AnchorCell() override;
  Cell* find(int32_t kind, const std::u16string& name) override;
  const std::u16string& anchor() const { return anchor_; }

 private:
  std::u16string anchor_;
};

// A font marker. Fields not given in the font's mask come from the document's "default" style.
// kind 1 subscript, 2 superscript (smaller, shifted); 0 plain.
class FontCell : public Cell {
 public:
  explicit FontCell(const logical_font& font, int32_t kind = 0);
  ~FontCell() override;

  void layout(int32_t width, layout_record& rec) override;
  void layout_notify(layout_event what) override;
  void render(RenderDevice& device, int32_t x, int32_t y, render_state& st) override;

  const logical_font& font() const { return font_; }
  int32_t kind() const { return kind_; }
  const std::shared_ptr<Font>& device_font() const { return device_font_; }

 private:
  logical_font font_;
  int32_t kind_ = 0;
  std::shared_ptr<Font> device_font_;
  int32_t shift_ = 0;
};

// A colour marker; kind 1 is the text colour. Without a colour it stands for the document's
// "default" style text colour (resolved at layout).
class ColourCell : public Cell {
 public:
  ColourCell(int32_t kind, std::u16string colour_text, std::shared_ptr<argb> colour);
  ~ColourCell() override;

  void layout(int32_t width, layout_record& rec) override;
  void render(RenderDevice& device, int32_t x, int32_t y, render_state& st) override;

  int32_t kind() const { return kind_; }
  const std::u16string& colour_text() const { return text_; }
  const std::shared_ptr<argb>& colour() const { return colour_; }

 private:
  int32_t kind_ = 1;
  std::u16string text_;
  std::shared_ptr<argb> colour_;
  uint32_t resolved_ = 0xff000000;
};

}  // namespace rf
}  // namespace zel
