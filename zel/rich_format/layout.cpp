// Layout and rendering of the cell tree.
//
// A container breaks its flow into lines of runs: a run is a box cell (a word after white space,
// a block, an image) with the non-box cells after it (glued words, markers). A line takes at
// least one run, so a word wider than the line stands alone on it and widens the content width.
// Containers keep the width of their last layout as a stamp; words keep their measured size per
// font. Tables measure their columns' narrowest and widest content once per content and then
// only lay their cells out at each new width.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "zel/il/bitmap_image.h"
#include "zel/render_device.h"
#include "zel/rich_format/cells.h"

namespace zel {
namespace rf {

namespace {

// Tables nested deeper than this lay out as plain blocks.
constexpr int32_t kMaxTableDepth = 8;
// The width a cell is laid out at to find its widest (unbroken) content.
constexpr int32_t kUnbounded = 1 << 20;
constexpr int64_t kPixelLimit = 1000000000;

int32_t clamp32(int64_t v) {
  return static_cast<int32_t>(std::max<int64_t>(-kPixelLimit, std::min<int64_t>(v, kPixelLimit)));
}

int32_t clamp_double(double v) {
  if (!(v == v)) return 0;
  v = std::max<double>(-kPixelLimit, std::min<double>(v, kPixelLimit));
  return static_cast<int32_t>(v);
}

// A length that may be relative: percent of `whole`, a factor of it, or a length.
int32_t resolve_width(const unit& u, int32_t whole, const layout_record& rec) {
  switch (u.type) {
    case unit::none:
      return whole;
    case unit::percent:
      return clamp_double(whole * u.value / 100.0);
    case unit::factor:
      return clamp_double(whole * u.value);
    default: {
      int32_t px = rec.to_pixels(u, true);
      return px < 0 ? clamp32(int64_t(whole) + px) : px;
    }
  }
}

void frame_rect(RenderDevice& device, int32_t x, int32_t y, int32_t w, int32_t h, int32_t border) {
  ColorARGB grey(255, 128, 128, 128);
  for (int32_t i = 0; i < border && 2 * i < w && 2 * i < h; ++i) {
    const int32_t l = x + i, t = y + i, r = x + w - 1 - i, b = y + h - 1 - i;
    device.draw_2dline(l, t, r, t, &grey);
    device.draw_2dline(r, t, r, b, &grey);
    device.draw_2dline(r, b, l, b, &grey);
    device.draw_2dline(l, b, l, t, &grey);
  }
}

bool outside(const render_state& st, int64_t top, int64_t height) {
  return top + height <= st.clip_top || top >= st.clip_bottom;
}

}  // namespace

void fill_rect(RenderDevice& device, int32_t x, int32_t y, int32_t w, int32_t h, uint32_t argb) {
  if (w <= 0 || h <= 0) return;
  auto vb = device.create_vertexbuffer(vt_position | vt_diffuse, 4, 1);
  if (!vb) return;
  void* mem = vb->lock();
  if (!mem) return;
  const float xs[4] = {float(x), float(x + w), float(x), float(x + w)};
  const float ys[4] = {float(y), float(y), float(y + h), float(y + h)};
  uint8_t* out = static_cast<uint8_t*>(mem);
  for (int i = 0; i < 4; ++i, out += 16) {
    const float z = 0;
    std::memcpy(out, &xs[i], 4);
    std::memcpy(out + 4, &ys[i], 4);
    std::memcpy(out + 8, &z, 4);
    std::memcpy(out + 12, &argb, 4);
  }
  vb->unlock();
  device.set_texture(0, nullptr);
  device.set_vertex(0, vb);
  device.render_primitive(zrp_triangle_strip, 0, 2);
}

int32_t layout_record::to_pixels(const unit& u, bool horizontal) const {
  const double ppi = device ? (horizontal ? device->ppi_x() : device->ppi_y()) : 96.0;
  const double fh = font ? font->get_height() : 0.0;
  switch (u.type) {
    case unit::pixels:
      return clamp_double(u.value);
    case unit::millimetres:
      return clamp_double(u.value * ppi / 25.4);
    case unit::inches:
      return clamp_double(u.value * ppi);
    case unit::points:
      return clamp_double(u.value * ppi / 72.0);
    case unit::em:
      return clamp_double(u.value * fh);
    case unit::ex:
      return clamp_double(u.value * fh / 2.0);
    default:
      return 0;
  }
}

// ---- Containers ----------------------------------------------------------------------------

void ContainerCell::remember_end(const layout_record& rec) {
  end_font_ = rec.font;
  end_colour_ = rec.colour;
}

void ContainerCell::layout(int32_t width, layout_record& rec) {
  if (stamp_ == width && stamp_ >= 0) {
    if (end_font_) rec.font = end_font_;
    rec.colour = end_colour_;
    return;
  }
  const unit saved_spacing = rec.line_spacing;
  const int32_t saved_align = rec.alignment;
  if (line_spacing_.type != unit::none) rec.line_spacing = line_spacing_;
  if (alignment_) rec.alignment = alignment_;

  const int32_t pad = std::max(0, rec.to_pixels(padding_, true));
  const int32_t own = std::max(0, resolve_width(width_unit_, width, rec));
  const int32_t left = std::max(0, rec.to_pixels(spacing_[0], true));
  const int32_t right = std::max(0, rec.to_pixels(spacing_[1], true));
  const int32_t inner =
      std::max<int32_t>(0, clamp32(int64_t(own) - left - right - 2 * int64_t(pad)));
  const int32_t top = std::max(0, rec.to_pixels(spacing_[3], false)) + pad;

  const int32_t bottom = flow(inner, left + pad, top, rec);
  const int64_t h = int64_t(bottom) + std::max(0, rec.to_pixels(spacing_[4], false)) + pad;
  height_ = std::max(clamp32(h), rec.to_pixels(empty_line_height_, false));
  width_ = own;
  baseline_ = height_;
  content_width_ = clamp32(int64_t(content_width_) + left + right + 2 * int64_t(pad));

  rec.line_spacing = saved_spacing;
  rec.alignment = saved_align;
  stamp_ = width;
  remember_end(rec);
}

int32_t ContainerCell::flow(int32_t inner, int32_t left, int32_t top, layout_record& rec) {
  lines_.clear();
  const int32_t n = static_cast<int32_t>(children_.size());
  int64_t y = top;
  int64_t widest = 0;
  int32_t i = 0;
  // Lay out the run starting at `a`; returns its end and adds its width to `w`.
  auto take_run = [&](int32_t a, int64_t& w) {
    int32_t b = a;
    do {
      Cell* c = children_[b].get();
      c->layout(inner, rec);
      w += c->width();
      ++b;
    } while (b < n && !children_[b]->is_box());
    return b;
  };
  while (i < n) {
    container_line line;
    line.first = i;
    int64_t used = 0;
    // The first run always goes on the line.
    int32_t end = take_run(i, used);
    // A run that does not fit starts the next line (laying it out again there costs nothing:
    // words keep their measure, containers their stamp).
    while (end < n) {
      int64_t w = 0;
      int32_t e = take_run(end, w);
      if (used + w > inner) break;
      used += w;
      end = e;
    }
    line.last = end;

    // Vertical placement around the baseline.
    int64_t above = 0, below = 0;
    bool has_box = false;
    for (int32_t k = line.first; k < line.last; ++k) {
      Cell* c = children_[k].get();
      above = std::max<int64_t>(above, c->baseline());
      below = std::max<int64_t>(below, int64_t(c->height()) - c->baseline());
      if (!c->is_structural() || c->is_container()) has_box = true;
    }
    // Horizontal placement by alignment.
    const int64_t r = int64_t(inner) - used;
    int64_t offset = 0;
    if (rec.alignment == 2) offset = r;
    if (rec.alignment == 3) offset = r / 2;
    offset = std::max<int64_t>(0, offset) + left;
    int32_t gaps = 0;
    const bool justify = rec.alignment == 4 && r > 0 && line.last < n;
    if (justify)
      for (int32_t k = line.first + 1; k < line.last; ++k)
        if (children_[k]->is_box() && !children_[k]->is_structural()) ++gaps;
    int64_t x = 0;
    int32_t k_gap = 0;
    for (int32_t k = line.first; k < line.last; ++k) {
      Cell* c = children_[k].get();
      if (gaps && k > line.first && c->is_box() && !c->is_structural()) ++k_gap;
      const int64_t shift = gaps ? (int64_t(k_gap) * r) / gaps : 0;
      c->set_position(clamp32(x + offset + shift), clamp32(y + above - c->baseline()));
      // A block reports what its content needs, which may be more or less than its width.
      if (has_box) widest = std::max(widest, x + c->content_width());
      x += c->width();
    }
    line.top = clamp32(y);
    line.height = clamp32(above + below);
    lines_.push_back(line);
    y += above + below;
    i = line.last;
  }
  content_width_ = clamp32(widest);
  return clamp32(y);
}

void ContainerCell::render(RenderDevice& device, int32_t x, int32_t y, render_state& st) {
  const int64_t ax = int64_t(x) + x_, ay = int64_t(y) + y_;
  if (outside(st, ay, height_)) {
    if (end_font_) st.font = end_font_;
    st.colour = end_colour_;
    return;
  }
  if (background_)
    fill_rect(device, clamp32(ax), clamp32(ay), width_, height_, background_->packed());
  for (auto& c : children_) c->render(device, clamp32(ax), clamp32(ay), st);
}

// ---- The document --------------------------------------------------------------------------

void DocumentCell::layout_document(int32_t width, RenderDevice* device) {
  width = std::max(0, width);
  last_words_measured_ = 0;
  if (stamp_ == width) return;
  adopt_markers();
  layout_record rec;
  rec.device = device;
  rec.document = this;
  std::shared_ptr<Style> style = get_style(u"default");
  const Style& st = style ? *style : Style::engine_default();
  rec.line_spacing = st.line_spacing();
  rec.colour = st.text_colour().packed();
  for (int i = 0; i < 5; ++i) spacing_[i] = st.spacing(i);
  ContainerCell::layout(width, rec);
  rebuild_lines();
  widest_line_ = content_width_;
  last_words_measured_ = rec.words_measured;
}

void DocumentCell::layout_notify(layout_event what) {
  ContainerCell::layout_notify(what);
  if (what != width_changed) {
    default_font_->layout_notify(what);
    stamp_ = -1;
  }
}

void DocumentCell::collect_lines(const ContainerCell& c, int64_t x, int64_t y) {
  const auto& kids = c.children();
  if (c.lines().empty()) {
    for (const auto& k : kids)
      if (k->is_container())
        collect_lines(static_cast<const ContainerCell&>(*k), x + k->x(), y + k->y());
    return;
  }
  for (const auto& l : c.lines()) {
    Cell* first = nullptr;
    for (int32_t i = l.first; i < l.last; ++i) {
      Cell* k = kids[static_cast<size_t>(i)].get();
      if (k->is_container()) {
        collect_lines(static_cast<const ContainerCell&>(*k), x + k->x(), y + k->y());
      } else if (!k->is_structural() && !first) {
        first = k;
      }
    }
    if (first) doc_lines_.push_back(line_entry{clamp32(y + l.top), l.height, first});
  }
}

void DocumentCell::rebuild_lines() {
  doc_lines_.clear();
  collect_lines(*this, 0, 0);
  std::stable_sort(doc_lines_.begin(), doc_lines_.end(),
                   [](const line_entry& a, const line_entry& b) { return a.top < b.top; });
  doc_lines_.erase(
      std::unique(doc_lines_.begin(), doc_lines_.end(),
                  [](const line_entry& a, const line_entry& b) { return a.top == b.top; }),
      doc_lines_.end());
}

void DocumentCell::render_document(RenderDevice& device, int32_t x, int32_t y, int32_t clip_left,
                                   int32_t clip_top, int32_t clip_right, int32_t clip_bottom) {
  render_state st;
  st.clip_left = clip_left;
  st.clip_top = clip_top;
  st.clip_right = clip_right;
  st.clip_bottom = clip_bottom;
  std::shared_ptr<Style> style = get_style(u"default");
  st.colour = (style ? *style : Style::engine_default()).text_colour().packed();
  // The document itself is drawn from (x, y), whatever its own position.
  ContainerCell::render(device, x - x_, y - y_, st);
}

// ---- Tables --------------------------------------------------------------------------------

void TableCell::measure_columns(int32_t inner, layout_record& rec) {
  cols_.assign(static_cast<size_t>(columns_), column_rec());
  const int32_t min_col = std::max(1, rec.to_pixels(unit(2.0, unit::points), true));
  for (auto& row : grid_) {
    for (size_t c = 0; c < row.size(); ++c) {
      TableCellCell* cell = row[c];
      column_rec& col = cols_[c];
      cell->layout(0, rec);
      col.min = std::max(col.min, cell->content_width());
      cell->layout(kUnbounded, rec);
      col.max = std::max(col.max, cell->content_width());
      if (cell->cell_width_.type != unit::none) {
        int32_t w = cell->cell_width_.type == unit::percent
                        ? clamp_double(inner * cell->cell_width_.value / 100.0)
                    : cell->cell_width_.type == unit::factor
                        ? clamp_double(inner * cell->cell_width_.value)
                        : rec.to_pixels(cell->cell_width_, true);
        w = std::max(0, std::min(w, inner));
        col.fixed = std::max(col.fixed, w);
      }
    }
  }
  for (auto& col : cols_) {
    col.min = std::max(col.min, min_col);
    col.max = std::max(col.max, col.min);
  }
  measured_ = true;
}

void TableCell::distribute(int64_t target) {
  // A column's bounds: a given width holds it between its minimum and that width.
  int64_t sum_min = 0, sum_max = 0;
  for (auto& c : cols_) {
    const int32_t hi = c.fixed >= 0 ? std::max(c.fixed, c.min) : c.max;
    sum_min += c.min;
    sum_max += hi;
  }
  if (target <= sum_min) {
    for (auto& c : cols_) c.width = c.min;
    return;
  }
  if (target <= sum_max) {
    // Each column gets its minimum and a share of the rest by how much more it would take.
    int64_t extra = target - sum_min, weights = sum_max - sum_min;
    for (auto& c : cols_) {
      const int64_t hi = c.fixed >= 0 ? std::max(c.fixed, c.min) : c.max;
      const int64_t wgt = hi - c.min;
      const int64_t give = weights > 0 ? (extra * wgt) / weights : 0;
      c.width = clamp32(c.min + give);
      extra -= give;
      weights -= wgt;
    }
    return;
  }
  // Wider than the content wants: columns without a given width share the extra by their
  // widest content (equally when that is 0); with none such, all columns do.
  int64_t extra = target - sum_max;
  bool any_free = false;
  for (auto& c : cols_) {
    c.width = c.fixed >= 0 ? std::max(c.fixed, c.min) : c.max;
    if (c.fixed < 0) any_free = true;
  }
  int64_t weights = 0, count = 0;
  for (auto& c : cols_)
    if (!any_free || c.fixed < 0) {
      weights += c.width;
      ++count;
    }
  for (auto& c : cols_) {
    if (any_free && c.fixed >= 0) continue;
    const int64_t give = weights > 0 ? (extra * c.width) / weights : extra / count;
    const int64_t wgt = c.width;
    c.width = clamp32(c.width + give);
    extra -= give;
    weights -= wgt;
    --count;
  }
}

void TableCell::layout(int32_t width, layout_record& rec) {
  if (stamp_ == width && stamp_ >= 0) {
    if (end_font_) rec.font = end_font_;
    rec.colour = end_colour_;
    return;
  }
  if (rec.table_depth >= kMaxTableDepth || columns_ == 0) {
    ContainerCell::layout(width, rec);
    return;
  }
  if (stamp_ < 0) measured_ = false;
  ++rec.table_depth;
  const int32_t saved_align = rec.alignment;
  if (alignment_) rec.alignment = alignment_;
  const std::shared_ptr<Font> start_font = rec.font;
  const uint32_t start_colour = rec.colour;

  const int64_t s = spacing_px_;
  const int64_t pad = std::max(0, rec.to_pixels(padding_, true)) + border_px_;
  const int32_t C = columns_, R = rows();
  const int32_t tw = std::max(0, resolve_width(width_unit_, width, rec));
  const int64_t inner = std::max<int64_t>(0, tw - (C + 1) * s - 2 * pad);

  if (!measured_) {
    measure_columns(clamp32(inner), rec);
    rec.font = start_font;
    rec.colour = start_colour;
  }
  int64_t sum_max = 0;
  for (auto& c : cols_) sum_max += c.fixed >= 0 ? std::max(c.fixed, c.min) : c.max;
  distribute(fixed_width_ ? inner : std::min(inner, sum_max));

  // Rows: each cell at its column's width; a row is as high as its highest cell (or a height
  // given to one of its cells).
  row_heights_.assign(static_cast<size_t>(R), 0);
  std::vector<bool> fixed_row(static_cast<size_t>(R), false);
  for (int32_t r = 0; r < R; ++r) {
    auto& row = grid_[static_cast<size_t>(r)];
    int32_t h = 0;
    for (size_t c = 0; c < row.size(); ++c) {
      TableCellCell* cell = row[c];
      cell->layout(cols_[c].width, rec);
      h = std::max(h, cell->height());
      if (cell->cell_height_.type != unit::none && cell->cell_height_.type != unit::percent) {
        h = std::max(h, rec.to_pixels(cell->cell_height_, false));
        fixed_row[static_cast<size_t>(r)] = true;
      }
    }
    row_heights_[static_cast<size_t>(r)] = h;
  }
  // A height given to the table: the extra is shared among the rows without a height of their
  // own by their heights (equally when those are all 0); with none such, among all rows.
  if (height_unit_.type != unit::none && height_unit_.type != unit::percent && R > 0) {
    const int64_t H = int64_t(rec.to_pixels(height_unit_, false)) - 2 * pad - (R + 1) * s;
    int64_t sum = 0;
    for (int32_t h : row_heights_) sum += h;
    if (sum < H) {
      int64_t extra = H - sum;
      bool any_free = std::find(fixed_row.begin(), fixed_row.end(), false) != fixed_row.end();
      int64_t weights = 0, count = 0;
      for (int32_t r = 0; r < R; ++r)
        if (!any_free || !fixed_row[static_cast<size_t>(r)]) {
          weights += row_heights_[static_cast<size_t>(r)];
          ++count;
        }
      for (int32_t r = 0; r < R; ++r) {
        if (any_free && fixed_row[static_cast<size_t>(r)]) continue;
        const int64_t h = row_heights_[static_cast<size_t>(r)];
        const int64_t give = weights > 0 ? (extra * h) / weights : extra / count;
        row_heights_[static_cast<size_t>(r)] = clamp32(h + give);
        extra -= give;
        weights -= h;
        --count;
      }
    }
  }
  // Placement; a missing cell of a short row leaves its place empty.
  int64_t y = pad, x_end = pad;
  for (int32_t r = 0; r < R; ++r) {
    y += s;
    int64_t x = pad;
    auto& row = grid_[static_cast<size_t>(r)];
    for (int32_t c = 0; c < C; ++c) {
      x += s;
      if (static_cast<size_t>(c) < row.size()) {
        TableCellCell* cell = row[static_cast<size_t>(c)];
        cell->set_position(clamp32(x), clamp32(y));
        cell->height_ = row_heights_[static_cast<size_t>(r)];
        cell->width_ = cols_[static_cast<size_t>(c)].width;
        cell->baseline_ = cell->height_;
      }
      x += cols_[static_cast<size_t>(c)].width;
    }
    x_end = std::max(x_end, x);
    y += row_heights_[static_cast<size_t>(r)];
  }
  lines_.clear();
  const int64_t natural = x_end + s + pad;
  height_ = clamp32(y + s + pad);
  width_ = clamp32(fixed_width_ ? std::max<int64_t>(tw, natural) : natural);
  content_width_ = width_;
  baseline_ = height_;

  // The markers in force after the table are those after its last cell.
  --rec.table_depth;
  rec.alignment = saved_align;
  stamp_ = width;
  remember_end(rec);
}

void TableCell::render(RenderDevice& device, int32_t x, int32_t y, render_state& st) {
  const int64_t ax = int64_t(x) + x_, ay = int64_t(y) + y_;
  ContainerCell::render(device, x, y, st);
  if (!outside(st, ay, height_) && border_px_ > 0)
    frame_rect(device, clamp32(ax), clamp32(ay), width_, height_, border_px_);
}

void TableCellCell::render(RenderDevice& device, int32_t x, int32_t y, render_state& st) {
  ContainerCell::render(device, x, y, st);
  auto table = parent();
  const int64_t ay = int64_t(y) + y_;
  if (table && table->border() > 0 && !outside(st, ay, height_))
    frame_rect(device, clamp32(int64_t(x) + x_), clamp32(ay), width_, height_, 1);
}

// ---- Leaves --------------------------------------------------------------------------------

void WordCell::layout(int32_t, layout_record& rec) {
  width_ = height_ = baseline_ = 0;
  if (text_.empty() || !rec.font) return;
  if (font_.get() != rec.font.get() || !measured_font_) {
    font_ = rec.font;
    measured_font_ = font_.get();
    const int32_t len = static_cast<int32_t>(text_.size());
    if (kerned_) {
      int64_t w = 0;
      for (int32_t i = 0; i < len; ++i) {
        w += font_->measure(&text_[static_cast<size_t>(i)], 1).first;
        if (i + 1 < len && rec.device)
          w += font_->kerning(text_[static_cast<size_t>(i)], text_[static_cast<size_t>(i) + 1],
                              *rec.device);
      }
      measured_w_ = clamp32(w);
    } else {
      measured_w_ = text::calc_text(text_.data(), len, font_).first;
    }
    ++rec.words_measured;
  }
  const int32_t fh = font_->get_height();
  int32_t h = fh;
  switch (rec.line_spacing.type) {
    case unit::none:
      break;
    case unit::percent:
      h = clamp_double(fh * rec.line_spacing.value / 100.0);
      break;
    case unit::factor:
      h = clamp_double(fh * rec.line_spacing.value);
      break;
    default:
      h = rec.to_pixels(rec.line_spacing, false);
  }
  h = std::max(h, 1);
  width_ = measured_w_;
  height_ = h;
  // The cell stands as far off the line's baseline as the shift; its text is drawn on the
  // line's baseline moved by the same.
  shift_ = rec.vshift;
  baseline_ = font_->get_ascent() + (h - fh) / 2 - shift_;
}

void WordCell::render(RenderDevice& device, int32_t x, int32_t y, render_state& st) {
  const int64_t ay = int64_t(y) + y_;
  if (outside(st, ay, height_) || !st.font || text_.empty()) return;
  const int64_t ax = int64_t(x) + x_;
  if (ax >= st.clip_right || ax + width_ <= st.clip_left) return;
  const int64_t top = ay + baseline_ + shift_ - st.font->get_ascent();
  ColorARGB c(int32_t(st.colour >> 24), int32_t((st.colour >> 16) & 0xff),
              int32_t((st.colour >> 8) & 0xff), int32_t(st.colour & 0xff));
  // The trailing space draws nothing.
  int32_t len = static_cast<int32_t>(text_.size());
  while (len > 0 && text_[static_cast<size_t>(len) - 1] == u' ') --len;
  if (len > 0) device.render_text(text_.data(), len, clamp32(ax), clamp32(top), &c, st.font);
}

void ImageCell::layout(int32_t width, layout_record& rec) {
  const int32_t iw = image_ ? image_->width() : 0, ih = image_ ? image_->height() : 0;
  const int32_t w = w_.type == unit::none ? iw : resolve_width(w_, width, rec);
  const int32_t h = h_.type == unit::none || h_.type == unit::percent || h_.type == unit::factor
                        ? ih
                        : rec.to_pixels(h_, false);
  const int32_t hs = std::max(0, rec.to_pixels(hspace_, true));
  const int32_t vs = std::max(0, rec.to_pixels(vspace_, false));
  width_ = clamp32(int64_t(std::max(0, w)) + 2 * hs);
  height_ = clamp32(int64_t(std::max(0, h)) + 2 * vs);
  baseline_ = height_;
}

void FontCell::layout(int32_t, layout_record& rec) {
  width_ = height_ = baseline_ = 0;
  if (!device_font_ && rec.device) {
    std::shared_ptr<Style> def = rec.document ? rec.document->get_style(u"default") : nullptr;
    logical_font lf = def ? def->font() : Style::engine_default().font();
    const bool is_default = rec.document && rec.document->default_font_marker().get() == this;
    if (!is_default) lf.combine(font_);
    int32_t full = 0;
    if (kind_ == 1 || kind_ == 2) {
      if (auto big = rec.device->create_font(lf)) full = big->get_height();
      lf.size.value /= 1.3;
    }
    device_font_ = rec.device->create_font(lf);
    // Subscripts sit a third of the full font height lower, superscripts two fifths higher.
    shift_ = kind_ == 1 ? full / 3 : kind_ == 2 ? -(full * 2) / 5 : 0;
  }
  if (device_font_) rec.font = device_font_;
  rec.vshift = shift_;
}

void FontCell::render(RenderDevice&, int32_t, int32_t, render_state& st) {
  if (device_font_) st.font = device_font_;
}

void ColourCell::layout(int32_t, layout_record& rec) {
  width_ = height_ = baseline_ = 0;
  if (kind_ != 1) return;
  if (colour_) {
    resolved_ = colour_->packed();
  } else {
    std::shared_ptr<Style> def = rec.document ? rec.document->get_style(u"default") : nullptr;
    resolved_ = (def ? *def : Style::engine_default()).text_colour().packed();
  }
  rec.colour = resolved_;
}

void ColourCell::render(RenderDevice&, int32_t, int32_t, render_state& st) {
  if (kind_ == 1) st.colour = resolved_;
}

}  // namespace rf
}  // namespace zel
