// The DOM walk of the HTML parser (zel/html/html_parser.h) over libxml2's tree.
#include "zel/html/html_parser.h"

#include <libxml/tree.h>

#include <stdexcept>

#include "qar/string.h"
#include "qar/trace.h"
#include "zel/html/attributes.h"
#include "zel/html/html_document.h"
#include "zel/html/libxml2/html_reader.h"
#include "zel/html/tags.h"

namespace zel {
namespace html {
namespace {

using rf::ContainerCell;

// The attribute's value; false when the element has none.
bool attr(xmlNode* node, const char* name, std::u16string& value) {
  xmlChar* v = xmlGetProp(node, reinterpret_cast<const xmlChar*>(name));
  if (!v) return false;
  value = qar::to_u16(reinterpret_cast<const char*>(v));
  xmlFree(v);
  return true;
}

std::u16string attr_or(xmlNode* node, const char* name, const std::u16string& fallback = {}) {
  std::u16string v;
  return attr(node, name, v) ? v : fallback;
}

bool attr_color(xmlNode* node, const char* name, ColorARGB& color) {
  std::u16string v;
  return attr(node, name, v) && parse_color(v, color);
}

std::shared_ptr<rf::argb> to_argb(const ColorARGB& c) {
  return std::make_shared<rf::argb>(rf::argb{c[0], c[1], c[2], c[3]});
}

const unit half_em(0.5, unit::em);
const unit one_em(1.0, unit::em);

}  // namespace

html_parser::html_parser() = default;
html_parser::~html_parser() = default;

bool html_parser::parse() {
  if (document_) return true;
  if (!source_) QAR_THROW(std::runtime_error("don't set source"));
  const libxml2::read_result r = libxml2::read_html(*source_);
  if (r.failure == "no context")
    QAR_THROW(std::runtime_error("don't create HTML parser (libxml2)"));
  xmlNode* root = r.doc ? xmlDocGetRootElement(r.doc.get()) : nullptr;
  if (!root) QAR_THROW(std::runtime_error("Error parser HTML"));

  set_document(std::make_shared<HTMLDocument>(r.doc));
  if (style_) document_->register_style(u"default", std::make_shared<rf::Style>(*style_));
  // The sheet exists before the walk, so that links and body colours find "a.link" even in a
  // page without a head.
  build_style_sheet();
  walk(root);
  if (!r.ok) qar::tracef("html_parser: the page is incomplete (%s)", r.failure.c_str());
  return r.ok;
}

void html_parser::build_style_sheet() {
  const std::shared_ptr<rf::Style> def = document_->get_style(u"default");
  auto derived = [&](const char16_t* name, const logical_font* font) {
    auto s = std::make_shared<rf::Style>(*def);
    if (font) s->set_font(*font);
    s->set_name(name);
    document_->register_style(name, s);
    return s;
  };
  derived(u"a.link", nullptr)->set_text_colour(255, 0, 0, 0xEE);
  derived(u"a.alink", nullptr)->set_text_colour(255, 0, 0, 0xEE);
  derived(u"a.vlink", nullptr)->set_text_colour(255, 0x55, 0x1A, 0x88);
  static const char16_t* const headings[] = {u"H1", u"H2", u"H3", u"H4", u"H5", u"H6"};
  for (int i = 0; i < 6; ++i) {
    const logical_font f(unit(18.0 - 2 * i, unit::points), state_.face, logical_font::fw_normal, 0);
    derived(headings[i], &f);
  }
  const logical_font p(unit(8.0, unit::points), state_.face, logical_font::fw_normal, 0);
  derived(u"P", &p);
  logical_font pre(0);
  pre.face = u"Courier New";
  pre.mask = logical_font::face_set | logical_font::style_set;
  derived(u"PRE", &pre);
  const logical_font address(logical_font::italic);
  derived(u"ADDRESS", &address);
}

html_parser::saved_state html_parser::save() const {
  return saved_state{state_, size_index_, colour_is_default_};
}

void html_parser::restore(const saved_state& s) {
  state_ = s.format;
  size_index_ = s.size_index;
  colour_is_default_ = s.colour_is_default;
}

void html_parser::set_size_index(int32_t index) {
  size_index_ = index < 1 ? 1 : (index > 7 ? 7 : index);
  state_.size = unit(html_font_points(size_index_), unit::points);
}

void html_parser::append_state_colour() {
  if (colour_is_default_)
    append(std::make_shared<rf::ColourCell>(1, std::u16string(), nullptr));
  else
    append_colour_marker();
}

void html_parser::walk(_xmlNode* node) {
  if (!node) return;
  // Dispatch on the node's kind: text is text whatever its name, elements by their tag.
  if (node->type == XML_TEXT_NODE || node->type == XML_CDATA_SECTION_NODE) {
    if (!node->content) return;
    const std::u16string text = qar::to_u16(reinterpret_cast<const char*>(node->content));
    add_text(text.data(), static_cast<int32_t>(text.size()));
    return;
  }
  if (node->type != XML_ELEMENT_NODE) return;
  element(node, get_tag_code(reinterpret_cast<const char*>(node->name)));
}

void html_parser::children(_xmlNode* node) {
  for (xmlNode* c = node->children; c; c = c->next) walk(c);
}

void html_parser::element(_xmlNode* node, int32_t code) {
  switch (code) {
    case eHTMLTag_form:
    case eHTMLTag_meta:
    case eHTMLTag_script:
    case eHTMLTag_style:
    case eHTMLTag_title:
    case eHTMLTag_img:
    case eHTMLTag_caption:
      return;
    case eHTMLTag_a:
      return on_a(node);
    case eHTMLTag_b:
    case eHTMLTag_strong:
    case eHTMLTag_i:
    case eHTMLTag_em:
    case eHTMLTag_u:
    case eHTMLTag_sub:
    case eHTMLTag_sup:
      return on_font_run(node, code);
    case eHTMLTag_body:
      return on_body(node);
    case eHTMLTag_br:
      return on_br();
    case eHTMLTag_div:
    case eHTMLTag_p:
    case eHTMLTag_dl:
    case eHTMLTag_dt:
    case eHTMLTag_center:
      return on_block(node, code);
    case eHTMLTag_font:
      return on_font(node);
    case eHTMLTag_h1:
    case eHTMLTag_h2:
    case eHTMLTag_h3:
    case eHTMLTag_h4:
    case eHTMLTag_h5:
    case eHTMLTag_h6:
      return on_heading(node, code - eHTMLTag_h1 + 1);
    case eHTMLTag_li:
      return on_li(node);
    case eHTMLTag_ol:
      return on_list(node, true);
    case eHTMLTag_ul:
      return on_list(node, false);
    case eHTMLTag_table:
      return on_table(node);
    case eHTMLTag_tbody:
    case eHTMLTag_tfoot:
    case eHTMLTag_thead:
      return on_row_group(node);
    case eHTMLTag_tr:
      return on_tr(node);
    case eHTMLTag_td:
    case eHTMLTag_th:
      return on_td(node);
    default:  // head, dd, html, span, unknown elements (a <text> element too): the children
      return children(node);
  }
}

void html_parser::on_a(_xmlNode* node) {
  std::u16string name, href;
  if (attr(node, "name", name) && !name.empty()) append(std::make_shared<rf::AnchorCell>(name));
  const bool link = attr(node, "href", href);
  const saved_state saved = save();
  if (link) {
    state_.link =
        std::make_shared<rf::LinkInfo>(resolve_url(href.c_str()), attr_or(node, "target"));
    const auto a_link = document_->get_style(u"a.link");
    const rf::argb c = a_link ? a_link->text_colour() : rf::argb{255, 0, 0, 0xEE};
    state_.colour = color_string(ColorARGB(c.a, c.r, c.g, c.b));
    colour_is_default_ = false;
    append_colour_marker();
  }
  children(node);
  restore(saved);
  if (link) append_state_colour();
}

void html_parser::on_body(_xmlNode* node) {
  ColorARGB c;
  if (attr_color(node, "link", c)) {
    auto s = std::make_shared<rf::Style>(*document_->get_style(u"a.link"));
    s->set_text_colour(c[0], c[1], c[2], c[3]);
    document_->register_style(u"a.link", s);
  }
  const bool text = attr_color(node, "text", c);
  ColorARGB back;
  const bool bg = attr_color(node, "bgcolor", back);
  if (text || bg) {
    auto s = std::make_shared<rf::Style>(*document_->get_style(u"default"));
    if (text) {
      s->set_text_colour(c[0], c[1], c[2], c[3]);
      state_.colour = color_string(c);  // the default colour marker follows the style
    }
    if (bg) {
      s->set_back_colour(back[0], back[1], back[2], back[3]);
      state_.back_colour = color_string(back);
    }
    document_->register_style(u"default", s);
  }
  const std::shared_ptr<ContainerCell> begin = current();
  start_block();
  children(node);
  set_current(begin);
  at_line_start_ = true;
}

void html_parser::on_br() {
  // Text after a break goes into a block of its own, one line high even when empty; a break
  // right after another closes the block the first one opened.
  if (break_block_ && current().get() == break_block_) close_container();
  const std::shared_ptr<ContainerCell> block = start_block();
  block->set_empty_line_height(one_em);
  block->set_alignment(state_.alignment);
  break_block_ = block.get();
}

void html_parser::on_block(_xmlNode* node, int32_t code) {
  const std::shared_ptr<ContainerCell> begin = current();
  const int32_t alignment = state_.alignment;
  const std::shared_ptr<ContainerCell> block = start_block();
  std::u16string v;
  int32_t a = 0;
  if (code == eHTMLTag_center)
    a = 3;
  else if ((code == eHTMLTag_div || code == eHTMLTag_p) && attr(node, "align", v))
    a = parse_align(v);
  if (code == eHTMLTag_div && attr(node, "style", v)) a = 0;
  if (a) state_.alignment = a;
  block->set_alignment(a);
  if (code == eHTMLTag_p) block->set_spacing(half_em, ContainerCell::sp_before);
  children(node);
  if (code == eHTMLTag_p) block->set_spacing(half_em, ContainerCell::sp_after);
  state_.alignment = alignment;
  set_current(begin);
  at_line_start_ = true;
}

void html_parser::on_font(_xmlNode* node) {
  const saved_state saved = save();
  std::u16string v;
  ColorARGB c;
  const bool colour = attr_color(node, "color", c);
  if (colour) {
    state_.colour = color_string(c);
    colour_is_default_ = false;
    append_colour_marker();
  }
  bool font = false;
  if (attr(node, "size", v)) {
    int32_t index = size_index_;
    unit size;
    if (parse_font_size(v, index, size)) {
      size_index_ = index;
      state_.size = size;
      font = true;
    }
  }
  if (attr(node, "face", v) && !v.empty()) {
    state_.face = v;
    font = true;
  }
  if (font) append_font_marker();
  children(node);
  restore(saved);
  if (font) append_font_marker();
  if (colour) append_state_colour();
}

void html_parser::on_font_run(_xmlNode* node, int32_t code) {
  const saved_state saved = save();
  int32_t kind = 0;
  switch (code) {
    case eHTMLTag_b:
    case eHTMLTag_strong:
      state_.weight = logical_font::fw_bold;
      break;
    case eHTMLTag_i:
    case eHTMLTag_em:
      state_.italic = true;
      break;
    case eHTMLTag_u:
      state_.underline = true;
      break;
    case eHTMLTag_sub:
      kind = 1;
      break;
    default:  // sup
      kind = 2;
      break;
  }
  append_font_marker(kind);
  children(node);
  restore(saved);
  append_font_marker();
}

void html_parser::on_heading(_xmlNode* node, int32_t level) {
  static const int32_t index[6] = {7, 6, 5, 5, 4, 4};
  const saved_state saved = save();
  const std::shared_ptr<ContainerCell> begin = current();
  state_.weight = logical_font::fw_bold;
  state_.italic = state_.underline = false;
  set_size_index(index[level - 1]);
  if (level == 4 || level == 6) {
    state_.italic = true;
    state_.weight = logical_font::fw_normal;
  }
  const std::shared_ptr<ContainerCell> block = start_block();
  std::u16string v;
  block->set_alignment(attr(node, "align", v) && parse_align(v) ? parse_align(v)
                                                                : state_.alignment);
  append_font_marker();
  children(node);
  block->set_spacing(one_em, ContainerCell::sp_after);
  restore(saved);
  // The heading's block ends with it: what follows starts on a line of its own.
  set_current(begin);
  at_line_start_ = true;
  append_font_marker();
}

void html_parser::on_list(_xmlNode* node, bool ordered) {
  list_context list;
  list.ordered = ordered;
  std::u16string v;
  if (attr(node, "type", v)) {
    const std::u16string t = normalize_value(v);
    if (ordered && t.size() == 1 && std::u16string(u"1ai").find(t[0]) != std::u16string::npos)
      list.numbering =
          v.find_first_of(u"AI") != std::u16string::npos ? static_cast<char16_t>(t[0] - 32) : t[0];
    if (!ordered && t == u"square") list.marker = u"\u25AA";
    if (!ordered && t == u"circle") list.marker = u"\u25E6";
  }
  if (ordered && attr(node, "start", v)) list.next = parse_integer(v);
  lists_.push_back(list);
  const std::shared_ptr<ContainerCell> begin = current();
  start_block()->set_spacing(unit(2.0, unit::em), ContainerCell::sp_left);
  children(node);
  lists_.pop_back();
  set_current(begin);
  at_line_start_ = true;
}

void html_parser::on_li(_xmlNode* node) {
  const bool implied = lists_.empty();  // an item outside a list: a list of discs
  if (implied) lists_.emplace_back();
  const size_t at = lists_.size() - 1;
  std::u16string v;
  if (attr(node, "value", v)) lists_[at].next = parse_integer(v);
  const int32_t number = lists_[at].next;
  lists_[at].next = number == INT32_MAX ? number : number + 1;
  std::u16string marker;
  if (lists_[at].ordered) {
    char16_t numbering = lists_[at].numbering;
    if (attr(node, "type", v) && v.size() == 1 &&
        std::u16string(u"1aAiI").find(v[0]) != std::u16string::npos)
      numbering = v[0];
    marker = list_number(number, numbering) + u". ";
  } else {
    marker = lists_[at].marker;
    const std::u16string t = attr(node, "type", v) ? normalize_value(v) : std::u16string();
    if (t == u"disc") marker = u"\u2022";
    if (t == u"square") marker = u"\u25AA";
    if (t == u"circle") marker = u"\u25E6";
    marker += u' ';
  }
  const std::shared_ptr<ContainerCell> begin = current();
  start_block();
  append(std::make_shared<rf::WordCell>(marker, true));
  at_line_start_ = true;
  children(node);
  set_current(begin);
  at_line_start_ = true;
  if (implied) lists_.pop_back();
}

void html_parser::on_table(_xmlNode* node) {
  std::u16string v;
  const int32_t border = attr(node, "border", v) ? (v.empty() ? 1 : parse_pixels(v)) : 0;
  const int32_t spacing = attr(node, "cellspacing", v) ? parse_pixels(v) : 2;
  unit width;
  const bool has_width = attr(node, "width", v);
  if (has_width) width = parse_length(v);
  auto table = std::make_shared<rf::TableCell>(border, spacing, has_width ? &width : nullptr);
  table->set_padding(unit(attr(node, "cellpadding", v) ? parse_pixels(v) : 1, unit::pixels));
  if (attr(node, "height", v)) table->set_height(parse_length(v));
  if (attr(node, "align", v)) table->set_alignment(parse_align(v));
  ColorARGB c;
  if (attr_color(node, "bgcolor", c)) table->set_background(to_argb(c));
  // The table is a box in the current flow; anything inside it but outside its cells stays in
  // that flow.
  const std::shared_ptr<ContainerCell> begin = current();
  append(table);
  at_line_start_ = true;
  tables_.push_back(table_context{table, 0, false});
  children(node);
  tables_.pop_back();
  set_current(begin);
  at_line_start_ = true;
}

html_parser::table_context& html_parser::table_for_row(bool& implied) {
  implied = tables_.empty() || tables_.back().in_cell;
  if (implied) {
    auto table = std::make_shared<rf::TableCell>(0, 2);
    append(table);
    at_line_start_ = true;
    tables_.push_back(table_context{table, 0, false});
  }
  return tables_.back();
}

void html_parser::on_row_group(_xmlNode* node) {
  if (tables_.empty() || tables_.back().in_cell) return children(node);
  const size_t at = tables_.size() - 1;
  const int32_t alignment = tables_[at].row_alignment;
  std::u16string v;
  if (attr(node, "align", v)) tables_[at].row_alignment = parse_align(v);
  children(node);
  tables_[at].row_alignment = alignment;
}

void html_parser::on_tr(_xmlNode* node) {
  bool implied = false;
  table_for_row(implied).table->add_row();
  const size_t at = tables_.size() - 1;
  const int32_t alignment = tables_[at].row_alignment;
  std::u16string v;
  if (attr(node, "align", v)) tables_[at].row_alignment = parse_align(v);
  children(node);
  tables_[at].row_alignment = alignment;
  if (implied) tables_.pop_back();
}

void html_parser::on_td(_xmlNode* node) {
  bool implied = false;
  table_for_row(implied);
  const size_t at = tables_.size() - 1;
  auto cell = std::make_shared<rf::TableCellCell>();
  std::u16string v;
  ColorARGB c;
  if (attr_color(node, "bgcolor", c)) cell->set_background(to_argb(c));
  if (attr(node, "border", v)) cell->set_border(parse_pixels(v));
  if (attr(node, "width", v)) cell->set_cell_width(parse_length(v));
  if (attr(node, "height", v)) cell->set_cell_height(parse_length(v));
  const int32_t align = attr(node, "align", v) ? parse_align(v) : 0;
  cell->set_alignment(align ? align : tables_[at].row_alignment);
  if (attr(node, "valign", v) && parse_valign(v)) cell->set_valign(parse_valign(v));
  tables_[at].table->add_cell(cell);

  const saved_state saved = save();
  const std::shared_ptr<ContainerCell> begin = current();
  tables_[at].in_cell = true;
  set_current(cell);
  at_line_start_ = true;
  const bool colour = attr_color(node, "color", c);
  if (colour) {
    state_.colour = color_string(c);
    colour_is_default_ = false;
    append_colour_marker();
  }
  const bool head = xmlStrcasecmp(node->name, reinterpret_cast<const xmlChar*>("th")) == 0;
  if (head) {
    state_.weight = logical_font::fw_bold;
    append_font_marker();
  }
  children(node);
  restore(saved);
  if (head) append_font_marker();
  if (colour) append_state_colour();
  tables_[at].in_cell = false;
  set_current(begin);
  at_line_start_ = true;
  if (implied) tables_.pop_back();
}

}  // namespace html
}  // namespace zel
