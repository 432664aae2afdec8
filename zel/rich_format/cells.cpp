// The cell tree: construction, queries (text, find, hit test, line table) and the clipboard.
// Layout and rendering are in layout.cpp.
#include "zel/rich_format/cells.h"

#include <algorithm>

#include "zel/controls/clipboard.h"

namespace zel {
namespace rf {

// ---- Cell ----------------------------------------------------------------------------------

Cell::Cell() = default;
Cell::~Cell() = default;

void Cell::layout(int32_t, layout_record&) {
  width_ = 0;
  height_ = 0;
  baseline_ = 0;
}

void Cell::layout_notify(layout_event) {}

void Cell::render(RenderDevice&, int32_t, int32_t, render_state&) {}

Cell* Cell::root() {
  auto p = parent_.lock();
  return p ? p->root() : nullptr;
}

Cell* Cell::find(int32_t kind, const std::u16string& name) {
  if (kind == find_name) return name == name_ ? this : nullptr;
  if (kind == find_root) return root();
  return nullptr;
}

Cell* Cell::hit_test(int32_t x, int32_t y, int32_t flags) {
  if (x >= 0 && x < width_ && y >= 0 && y < height_) return this;
  if ((flags & hit_above) && y < 0) return this;
  if ((flags & hit_below) && (y >= height_ || (x >= 0 && y >= 0))) return this;
  return nullptr;
}

bool Cell::copy_to_clipboard(Clipboard&) {
  return false;
}

std::pair<int64_t, int64_t> Cell::absolute_position() const {
  int64_t x = x_, y = y_;
  for (auto p = parent_.lock(); p; p = p->parent_.lock()) {
    x += p->x_;
    y += p->y_;
  }
  return {x, y};
}

// ---- ContainerCell -------------------------------------------------------------------------

ContainerCell::ContainerCell() {
  for (auto& s : spacing_) s = unit(0.0, unit::pixels);
}

ContainerCell::~ContainerCell() = default;

void ContainerCell::append(std::shared_ptr<Cell> child) {
  if (!child) return;
  child->parent_ = std::static_pointer_cast<ContainerCell>(shared_from_this());
  children_.push_back(std::move(child));
  invalidate();
}

void ContainerCell::invalidate() {
  for (ContainerCell* c = this; c;) {
    if (c->stamp_ < 0 && c != this) break;
    c->stamp_ = -1;
    auto p = c->parent_.lock();
    c = p.get();
  }
}

void ContainerCell::layout_notify(layout_event what) {
  if (what == width_changed) return;
  // New fonts (or none) for the words: every line is broken again at the next layout.
  stamp_ = -1;
  if (what == drop_device) end_font_.reset();
  for (auto& c : children_) c->layout_notify(what);
}

void ContainerCell::set_width(const unit& w) {
  width_unit_ = w;
  invalidate();
}
void ContainerCell::set_alignment(int32_t a) {
  alignment_ = a;
  invalidate();
}
void ContainerCell::set_spacing(const unit& u, int32_t mask) {
  static const int32_t bits[5] = {sp_left, sp_right, sp_indent, sp_before, sp_after};
  for (int i = 0; i < 5; ++i)
    if (mask & bits[i]) spacing_[i] = u;
  invalidate();
}
const unit& ContainerCell::spacing(int32_t mask) const {
  static const int32_t bits[5] = {sp_left, sp_right, sp_indent, sp_before, sp_after};
  for (int i = 0; i < 5; ++i)
    if (mask & bits[i]) return spacing_[i];
  return spacing_[0];
}
void ContainerCell::set_line_spacing(const unit& u) {
  line_spacing_ = u;
  invalidate();
}
void ContainerCell::set_empty_line_height(const unit& u) {
  empty_line_height_ = u;
  invalidate();
}
void ContainerCell::set_valign(int32_t v) {
  valign_ = v;
  invalidate();
}
void ContainerCell::set_padding(const unit& u) {
  padding_ = u;
  invalidate();
}
void ContainerCell::set_background(std::shared_ptr<argb> c) {
  background_ = std::move(c);
}
void ContainerCell::set_border(int32_t px) {
  border_ = std::max(0, std::min(px, 10000));
  invalidate();
}

std::u16string ContainerCell::text() const {
  std::u16string s;
  for (const auto& c : children_) {
    s += c->text();
    if (c->is_container() && (s.empty() || s.back() != u'\n')) s += u'\n';
  }
  return s;
}

Cell* ContainerCell::root() {
  auto p = parent_.lock();
  return p ? p->root() : this;
}

Cell* ContainerCell::find(int32_t kind, const std::u16string& name) {
  if (kind == find_root) return root();
  if (kind == find_name && name == name_) return this;
  for (auto& c : children_)
    if (Cell* hit = c->find(kind, name)) return hit;
  return nullptr;
}

Cell* ContainerCell::hit_test(int32_t x, int32_t y, int32_t flags) {
  if (x < 0 || y < 0 || x >= std::max(width_, content_width_) || y >= height_) return nullptr;
  for (auto& c : children_)
    if (Cell* hit = c->hit_test(x - c->x(), y - c->y(), flags & ~(hit_above | hit_below)))
      return hit;
  return nullptr;
}

// ---- DocumentCell --------------------------------------------------------------------------

DocumentCell::DocumentCell() {
  const Style& def = Style::engine_default();
  styles_[u"default"] = std::make_shared<Style>(def);
  default_font_ = std::make_shared<FontCell>(def.font());
  default_colour_ = std::make_shared<ColourCell>(1, std::u16string(), nullptr);
  // The markers are the first two children; their parent link is made once the document is
  // held by a shared pointer (adopt_markers).
  children_.push_back(default_font_);
  children_.push_back(default_colour_);
}

void DocumentCell::adopt_markers() {
  if (default_font_->parent_.expired()) {
    auto self = std::static_pointer_cast<ContainerCell>(shared_from_this());
    default_font_->parent_ = self;
    default_colour_->parent_ = self;
  }
}

void DocumentCell::append(std::shared_ptr<Cell> child) {
  adopt_markers();
  ContainerCell::append(std::move(child));
}

DocumentCell::~DocumentCell() = default;

void DocumentCell::register_style(const std::u16string& name, std::shared_ptr<Style> style) {
  if (!style) {
    styles_.erase(name);
  } else {
    styles_[name] = std::move(style);
  }
  layout_notify(style_changed);
}

std::shared_ptr<Style> DocumentCell::get_style(const std::u16string& name) const {
  auto it = styles_.find(name);
  return it == styles_.end() ? nullptr : it->second;
}

std::u16string DocumentCell::text() const {
  return ContainerCell::text();
}

bool DocumentCell::copy_to_clipboard(Clipboard& clipboard) {
  bool opened_here = false;
  if (!clipboard) {
    if (!clipboard.open()) return false;
    opened_here = true;
  }
  bool ok = clipboard.paste(text());
  if (opened_here) clipboard.close();
  return ok;
}

const line_entry* DocumentCell::line_at(int32_t i) const {
  if (doc_lines_.empty()) return nullptr;
  i = std::max(0, std::min(i, line_count() - 1));
  return &doc_lines_[static_cast<size_t>(i)];
}

int32_t DocumentCell::line_at_y(int64_t y) const {
  if (doc_lines_.empty()) return 0;
  auto it = std::upper_bound(doc_lines_.begin(), doc_lines_.end(), y,
                             [](int64_t v, const line_entry& l) { return v < l.top; });
  if (it == doc_lines_.begin()) return 0;
  return static_cast<int32_t>(it - doc_lines_.begin()) - 1;
}

int32_t DocumentCell::line_of_cell(const Cell* cell) const {
  if (!cell || doc_lines_.empty()) return 0;
  return line_at_y(cell->absolute_position().second);
}

int32_t DocumentCell::last_first_line(int32_t h) const {
  if (doc_lines_.empty()) return 0;
  int64_t y = static_cast<int64_t>(height_) - h;
  if (y <= 0) return 0;
  // The line holding y, moved down one when y cuts into it, so the last page starts on a
  // whole line.
  int32_t i = line_at_y(y);
  if (doc_lines_[static_cast<size_t>(i)].top < y && i + 1 < line_count()) ++i;
  return i;
}

// ---- Tables --------------------------------------------------------------------------------

TableCell::TableCell(int32_t border, int32_t spacing, const unit* width)
    : border_px_(std::max(0, std::min(border, 10000))),
      spacing_px_(std::max(0, std::min(spacing, 10000))) {
  border_ = border_px_;
  if (width) {
    width_unit_ = *width;
    fixed_width_ = true;
  } else {
    width_unit_ = unit(0.0, unit::none);
  }
}

TableCell::~TableCell() = default;

void TableCell::add_row() {
  grid_.emplace_back();
  invalidate();
}

void TableCell::add_cell(std::shared_ptr<TableCellCell> cell) {
  if (!cell) return;
  if (grid_.empty()) grid_.emplace_back();
  grid_.back().push_back(cell.get());
  columns_ = std::max(columns_, static_cast<int32_t>(grid_.back().size()));
  append(std::move(cell));
}

void TableCell::set_height(const unit& h) {
  height_unit_ = h;
  invalidate();
}

TableCellCell* TableCell::cell_at(int32_t row, int32_t column) const {
  if (row < 0 || row >= rows() || column < 0) return nullptr;
  const auto& r = grid_[static_cast<size_t>(row)];
  return static_cast<size_t>(column) < r.size() ? r[static_cast<size_t>(column)] : nullptr;
}

std::u16string TableCell::text() const {
  std::u16string s;
  for (const auto& row : grid_) {
    for (size_t i = 0; i < row.size(); ++i) {
      std::u16string t = row[i]->text();
      while (!t.empty() && (t.back() == u'\n' || t.back() == u' ')) t.pop_back();
      if (i) s += u'\t';
      s += t;
    }
    s += u'\n';
  }
  return s;
}

TableCellCell::TableCellCell() = default;
TableCellCell::~TableCellCell() = default;

void TableCellCell::set_cell_width(const unit& u) {
  cell_width_ = u;
  invalidate();
}
void TableCellCell::set_cell_height(const unit& u) {
  cell_height_ = u;
  invalidate();
}

// ---- Leaves --------------------------------------------------------------------------------

WordCell::WordCell(std::u16string text, bool box) : text_(std::move(text)), box_(box) {}
WordCell::~WordCell() = default;

void WordCell::layout_notify(layout_event what) {
  if (what == width_changed) return;
  font_.reset();
  measured_font_ = nullptr;
}

ImageCell::ImageCell(std::shared_ptr<BitmapImage> image) : image_(std::move(image)) {}
ImageCell::~ImageCell() = default;
void ImageCell::set_size(const unit& w, const unit& h) {
  w_ = w;
  h_ = h;
}
void ImageCell::set_space(const unit& hspace, const unit& vspace) {
  hspace_ = hspace;
  vspace_ = vspace;
}

AnchorCell::AnchorCell(std::u16string anchor) : anchor_(std::move(anchor)) {}
AnchorCell::~AnchorCell() = default;

Cell* AnchorCell::find(int32_t kind, const std::u16string& name) {
  if (kind == find_anchor && name == anchor_) return this;
  return Cell::find(kind, name);
}

FontCell::FontCell(const logical_font& font, int32_t kind) : font_(font), kind_(kind) {}
FontCell::~FontCell() = default;

void FontCell::layout_notify(layout_event what) {
  if (what != width_changed) device_font_.reset();
}

ColourCell::ColourCell(int32_t kind, std::u16string colour_text, std::shared_ptr<argb> colour)
    : kind_(kind), text_(std::move(colour_text)), colour_(std::move(colour)) {}
ColourCell::~ColourCell() = default;

}  // namespace rf
}  // namespace zel
