#include "zel/rich_format/rf_parser.h"

#include <exception>

#include "qar/stream.h"
#include "qar/trace.h"
#include "qar/url.h"

namespace zel {
namespace rf {

namespace {

// White space as the word cutting sees it; the no-break spaces (U+00A0, U+2007, U+202F) are not.
bool is_space(char16_t c) {
  return (c >= 0x09 && c <= 0x0d) || c == 0x20 || c == 0x85 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200a && c != 0x2007) || c == 0x2028 || c == 0x2029 || c == 0x205f ||
         c == 0x3000;
}

int hex_digit(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

}  // namespace

logical_font format_state::font() const {
  logical_font lf(size, face, weight,
                  (italic ? logical_font::italic : 0) | (underline ? logical_font::underline : 0));
  return lf;
}

rf_parser::rf_parser() {
  state_.face = Style::engine_default().font().face;
}

rf_parser::~rf_parser() = default;

bool rf_parser::open() {
  try {
    return parse();
  } catch (const std::exception& e) {
    qar::trace_catch(e, "rf_parser", __LINE__);
    return false;
  } catch (...) {
    return false;
  }
}

std::shared_ptr<DocumentCell> rf_parser::get_document() {
  return document_;
}

std::u16string rf_parser::resolve_url(const char16_t* href) {
  std::u16string h = href ? href : u"";
  if (!source_) return h;
  return qar::url::combine(source_->location(), h);
}

void rf_parser::set_source(std::shared_ptr<qar::Stream> source) {
  source_ = std::move(source);
}

void rf_parser::set_style(std::shared_ptr<Style> style) {
  if (!style) {
    style_.reset();
    return;
  }
  style_ = std::make_shared<Style>(*style);
  const logical_font& f = style_->font();
  if (f.mask & logical_font::face_set) state_.face = f.face;
  if (f.mask & logical_font::size_set) state_.size = f.size;
  if (f.mask & logical_font::weight_set) state_.weight = f.weight;
  if (f.mask & logical_font::style_set) {
    state_.italic = (f.style & logical_font::italic) != 0;
    state_.underline = (f.style & logical_font::underline) != 0;
  }
  if (style_->is_set(Style::text_colour_set)) {
    static const char16_t digits[] = u"0123456789abcdef";
    const argb& c = style_->text_colour();
    std::u16string s = u"#";
    for (int32_t v : {c.a, c.r, c.g, c.b}) {
      s += digits[(v >> 4) & 0xf];
      s += digits[v & 0xf];
    }
    state_.colour = s;
  }
}

void rf_parser::set_document(std::shared_ptr<DocumentCell> doc) {
  document_ = doc;
  current_ = doc;
  last_cell_ = nullptr;
  at_line_start_ = true;
}

void rf_parser::set_current(std::shared_ptr<ContainerCell> c) {
  if (c) current_ = std::move(c);
}

std::shared_ptr<ContainerCell> rf_parser::start_block() {
  auto block = std::make_shared<ContainerCell>();
  push_container(block);
  return block;
}

void rf_parser::push_container(std::shared_ptr<ContainerCell> c) {
  if (!c) return;
  append(c);
  current_ = std::move(c);
  at_line_start_ = true;
}

void rf_parser::close_container() {
  if (!current_ || current_ == document_) return;
  if (dynamic_cast<TableCellCell*>(current_.get())) return;
  if (auto p = current_->parent()) current_ = p;
}

void rf_parser::end_line() {
  if (current_ && !current_->empty()) close_container();
  at_line_start_ = true;
}

void rf_parser::append(std::shared_ptr<Cell> cell) {
  if (!cell) return;
  if (!document_) set_document(std::make_shared<DocumentCell>());
  if (!current_) current_ = document_;
  last_cell_ = cell.get();
  current_->append(std::move(cell));
}

void rf_parser::append_font_marker(int32_t kind) {
  append(std::make_shared<FontCell>(state_.font(), kind));
}

void rf_parser::append_colour_marker() {
  append(std::make_shared<ColourCell>(1, state_.colour, parse_colour_text(state_.colour)));
}

std::shared_ptr<argb> rf_parser::parse_colour_text(const std::u16string& text) {
  if ((text.size() != 7 && text.size() != 9) || text[0] != u'#') return nullptr;
  int32_t v[4] = {255, 0, 0, 0};
  size_t first = text.size() == 9 ? 0 : 1;
  for (size_t i = 1, k = first; i < text.size(); i += 2, ++k) {
    int hi = hex_digit(text[i]), lo = hex_digit(text[i + 1]);
    if (hi < 0 || lo < 0) return nullptr;
    v[k] = hi * 16 + lo;
  }
  return std::make_shared<argb>(argb{v[0], v[1], v[2], v[3]});
}

void rf_parser::add_text(const char16_t* text, int32_t length) {
  if (!text) return;
  size_t n = 0;
  if (length < 0) {
    while (text[n]) ++n;
  } else {
    n = static_cast<size_t>(length);
  }
  size_t i = 0;
  if (at_line_start_)
    while (i < n && is_space(text[i])) ++i;
  std::u16string word;
  auto emit = [&](bool complete) {
    auto w = std::make_shared<WordCell>(std::move(word), at_line_start_);
    word.clear();
    w->set_link(state_.link);
    append(w);
    at_line_start_ = complete;
  };
  while (i < n) {
    char16_t c = text[i];
    if (!is_space(c)) {
      word += c;
      ++i;
      continue;
    }
    while (i < n && is_space(text[i])) ++i;
    word += u' ';
    emit(true);
  }
  if (!word.empty()) emit(false);
}

}  // namespace rf
}  // namespace zel
