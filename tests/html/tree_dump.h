// One line per cell of a rich-format tree, indented by depth, for golden comparisons.
#pragma once
#include <cstdio>
#include <string>

#include "qar/string.h"
#include "zel/rich_format/cells.h"

namespace zel_test {

inline std::string unit_text(const zel::unit& u) {
  static const char* const kinds[] = {"", "px", "mm", "in", "pt", "%", "x", "em", "ex"};
  char b[48];
  std::snprintf(b, sizeof b, "%g%s", u.value, u.type >= 0 && u.type <= 8 ? kinds[u.type] : "?");
  return b;
}

inline std::string argb_text(const zel::rf::argb& c) {
  char b[16];
  std::snprintf(b, sizeof b, "#%02x%02x%02x%02x", c.a & 255, c.r & 255, c.g & 255, c.b & 255);
  return b;
}

inline void container_attributes(const zel::rf::ContainerCell& c, std::string& s) {
  using C = zel::rf::ContainerCell;
  if (c.alignment()) s += " align=" + std::to_string(c.alignment());
  if (c.spacing(C::sp_left).value) s += " left=" + unit_text(c.spacing(C::sp_left));
  if (c.spacing(C::sp_before).value) s += " before=" + unit_text(c.spacing(C::sp_before));
  if (c.spacing(C::sp_after).value) s += " after=" + unit_text(c.spacing(C::sp_after));
  if (c.empty_line_height().value) s += " empty=" + unit_text(c.empty_line_height());
  if (c.background()) s += " bg=" + argb_text(*c.background());
  if (c.border()) s += " border=" + std::to_string(c.border());
}

inline void dump_cell(const zel::rf::Cell& cell, int depth, std::string& out) {
  using namespace zel::rf;
  std::string s(static_cast<size_t>(depth) * 2, ' ');
  if (auto* w = dynamic_cast<const WordCell*>(&cell)) {
    s += (w->is_box() ? "'" : "~'") + qar::to_utf8(w->word()) + "'";
  } else if (auto* f = dynamic_cast<const FontCell*>(&cell)) {
    const zel::logical_font& lf = f->font();
    s += "font " + unit_text(lf.size) + " " + qar::to_utf8(lf.face);
    if (lf.weight.value >= 700) s += " bold";
    if (lf.style & zel::logical_font::italic) s += " italic";
    if (lf.style & zel::logical_font::underline) s += " underline";
    if (f->kind()) s += f->kind() == 1 ? " sub" : " sup";
  } else if (auto* c = dynamic_cast<const ColourCell*>(&cell)) {
    s += "colour " + (c->colour() ? argb_text(*c->colour()) : std::string("default"));
  } else if (auto* a = dynamic_cast<const AnchorCell*>(&cell)) {
    s += "anchor " + qar::to_utf8(a->anchor());
  } else if (auto* t = dynamic_cast<const TableCell*>(&cell)) {
    s += "table " + std::to_string(t->rows()) + "x" + std::to_string(t->columns()) +
         " spacing=" + std::to_string(t->cell_spacing());
    if (t->fixed_width()) s += " width=" + unit_text(t->width_unit());
    container_attributes(*t, s);
  } else if (auto* d = dynamic_cast<const TableCellCell*>(&cell)) {
    s += "td";
    if (d->cell_width().type) s += " width=" + unit_text(d->cell_width());
    if (d->cell_height().type) s += " height=" + unit_text(d->cell_height());
    if (d->valign() != ContainerCell::valign_bottom) s += " valign=" + std::to_string(d->valign());
    container_attributes(*d, s);
  } else if (auto* b = dynamic_cast<const ContainerCell*>(&cell)) {
    s += "block";
    container_attributes(*b, s);
  } else {
    s += "cell";
  }
  if (cell.link()) s += " ->" + qar::to_utf8(cell.link()->href());
  out += s + "\n";
  if (auto* c = dynamic_cast<const ContainerCell*>(&cell)) {
    const bool doc = dynamic_cast<const DocumentCell*>(&cell) != nullptr;
    const auto& kids = c->children();
    for (size_t i = doc ? 2 : 0; i < kids.size(); ++i) dump_cell(*kids[i], depth + 1, out);
  }
}

// The document's cells after its two default markers.
inline std::string dump(const zel::rf::DocumentCell& doc) {
  std::string out;
  for (size_t i = 2; i < doc.children().size(); ++i) dump_cell(*doc.children()[i], 0, out);
  return out;
}

}  // namespace zel_test
