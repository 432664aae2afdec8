#include "zel/controls/edit_model.h"

#include <algorithm>
#include <vector>

#include "zel/controls/clipboard.h"

namespace zel {

namespace {

bool is_high(char16_t c) {
  return c >= 0xD800 && c <= 0xDBFF;
}
bool is_low(char16_t c) {
  return c >= 0xDC00 && c <= 0xDFFF;
}
bool is_space(char16_t c) {
  return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n';
}
bool is_digit(char16_t c) {
  return c >= u'0' && c <= u'9';
}

}  // namespace

void EditModel::set_measure(measure_fn measure, int32_t box_width) {
  measure_ = std::move(measure);
  box_width_ = box_width;
}

void EditModel::set_text(std::u16string text) {
  text_ = std::move(text);
  caret_ = anchor_ = text_.size();
  pending_high_ = 0;
}

std::pair<size_t, size_t> EditModel::selection() const {
  return {std::min(caret_, anchor_), std::max(caret_, anchor_)};
}

std::u16string EditModel::selected_text() const {
  auto s = selection();
  return text_.substr(s.first, s.second - s.first);
}

std::u16string EditModel::display(size_t from, size_t to) const {
  to = std::min(to, text_.size());
  if (from >= to) return {};
  if (!(style_ & es_password)) return text_.substr(from, to - from);
  std::u16string out;
  for (size_t i = from; i < to; i = next(i)) out += pswd_ ? pswd_ : u'*';
  return out;
}

std::vector<std::pair<size_t, size_t>> EditModel::lines() const {
  std::vector<std::pair<size_t, size_t>> out;
  if (!(style_ & es_multiline)) return {{0, text_.size()}};
  size_t start = 0;
  for (size_t i = 0; i < text_.size(); ++i) {
    if (text_[i] == u'\r' && i + 1 < text_.size() && text_[i + 1] == u'\n') {
      out.push_back({start, i});
      start = i + 2;
      ++i;
    }
  }
  out.push_back({start, text_.size()});
  return out;
}

size_t EditModel::snap(size_t pos) const {
  pos = std::min(pos, text_.size());
  if (pos > 0 && pos < text_.size() &&
      ((is_high(text_[pos - 1]) && is_low(text_[pos])) ||
       (text_[pos - 1] == u'\r' && text_[pos] == u'\n')))
    --pos;
  return pos;
}

size_t EditModel::prev(size_t pos) const {
  pos = snap(pos);
  if (pos == 0) return 0;
  return snap(pos - 1);
}

size_t EditModel::next(size_t pos) const {
  pos = snap(pos);
  if (pos >= text_.size()) return text_.size();
  if (pos + 1 < text_.size() && ((is_high(text_[pos]) && is_low(text_[pos + 1])) ||
                                 (text_[pos] == u'\r' && text_[pos + 1] == u'\n')))
    return pos + 2;
  return pos + 1;
}

size_t EditModel::word_left(size_t pos) const {
  while (pos > 0 && is_space(text_[pos - 1])) pos = prev(pos);
  while (pos > 0 && !is_space(text_[pos - 1])) pos = prev(pos);
  return pos;
}

size_t EditModel::word_right(size_t pos) const {
  while (pos < text_.size() && !is_space(text_[pos])) pos = next(pos);
  while (pos < text_.size() && is_space(text_[pos])) pos = next(pos);
  return pos;
}

size_t EditModel::line_of(size_t pos) const {
  auto ls = lines();
  for (size_t i = 0; i < ls.size(); ++i)
    if (pos <= ls[i].second) return i;
  return ls.size() - 1;
}

bool EditModel::move_to(size_t pos, bool extend) {
  pos = snap(pos);
  const size_t old_c = caret_, old_a = anchor_;
  caret_ = pos;
  if (!extend) anchor_ = pos;
  return caret_ != old_c || anchor_ != old_a;
}

bool EditModel::select_all() {
  const size_t old_c = caret_, old_a = anchor_;
  anchor_ = 0;
  caret_ = text_.size();
  return caret_ != old_c || anchor_ != old_a;
}

bool EditModel::erase(size_t from, size_t to) {
  if (from >= to) return false;
  text_.erase(from, to - from);
  // The pieces may meet as a pair (a lone high and low surrogate, CR and LF): never inside it.
  caret_ = anchor_ = snap(from);
  return true;
}

bool EditModel::erase_selection() {
  auto s = selection();
  return erase(s.first, s.second);
}

bool EditModel::fits(const std::u16string& candidate) const {
  if ((style_ & (es_multiline | es_autohscroll)) || !measure_ || box_width_ <= 0) return true;
  EditModel probe(*this);
  probe.text_ = candidate;
  return measure_(probe.display(0, candidate.size())) <= box_width_;
}

bool EditModel::insert(const std::u16string& s_in) {
  std::u16string s = s_in;
  if (style_ & es_multiline) {
    // Lone CR or LF become CR LF.
    std::u16string n;
    for (size_t i = 0; i < s.size(); ++i) {
      if (s[i] == u'\r' && i + 1 < s.size() && s[i + 1] == u'\n') {
        n += u"\r\n";
        ++i;
      } else if (s[i] == u'\r' || s[i] == u'\n') {
        n += u"\r\n";
      } else {
        n += s[i];
      }
    }
    s.swap(n);
  } else {
    s = s.substr(0, s.find_first_of(u"\r\n"));
  }
  if ((style_ & es_number) && !std::all_of(s.begin(), s.end(), is_digit)) return false;
  auto sel = selection();
  if (s.empty() && sel.first == sel.second) return false;
  std::u16string candidate = text_;
  candidate.replace(sel.first, sel.second - sel.first, s);
  if (!fits(candidate)) return false;
  text_.swap(candidate);
  caret_ = anchor_ = snap(sel.first + s.size());
  return true;
}

bool EditModel::type(char16_t unit) {
  if (is_high(unit)) {
    pending_high_ = unit;
    return false;
  }
  if (is_low(unit)) {
    if (!pending_high_) return false;
    const char16_t pair[2] = {pending_high_, unit};
    pending_high_ = 0;
    if (style_ & es_number) return false;
    return insert(std::u16string(pair, 2));
  }
  pending_high_ = 0;
  if (unit < 0x20 || unit == 0x7F) return false;
  if ((style_ & es_number) && !is_digit(unit)) return false;
  return insert(std::u16string(1, unit));
}

bool EditModel::copy() const {
  if (style_ & es_password) return false;
  const std::u16string s = selected_text();
  if (s.empty()) return false;
  Clipboard c;
  return c.paste(s);
}

bool EditModel::cut() {
  if (!copy()) return false;
  return erase_selection();
}

bool EditModel::paste() {
  Clipboard c;
  std::u16string s;
  if (!c.get(s) || s.empty()) return false;
  return insert(s);
}

bool EditModel::key(int32_t vk, bool shift, bool ctrl) {
  caret_ = snap(caret_);
  anchor_ = snap(anchor_);
  auto sel = selection();
  const bool has_sel = sel.first != sel.second;
  switch (vk) {
    case vk_left:
      if (!shift && has_sel && !ctrl) return move_to(sel.first, false);
      return move_to(ctrl ? word_left(caret_) : prev(caret_), shift);
    case vk_right:
      if (!shift && has_sel && !ctrl) return move_to(sel.second, false);
      return move_to(ctrl ? word_right(caret_) : next(caret_), shift);
    case vk_home:
      return move_to(ctrl ? 0 : lines()[line_of(caret_)].first, shift);
    case vk_end:
      return move_to(ctrl ? text_.size() : lines()[line_of(caret_)].second, shift);
    case vk_up:
    case vk_down: {
      if (!(style_ & es_multiline)) return false;
      auto ls = lines();
      const size_t l = line_of(caret_);
      const size_t target = vk == vk_up ? (l == 0 ? 0 : l - 1) : std::min(l + 1, ls.size() - 1);
      if (target == l) return false;
      const size_t col = caret_ - ls[l].first;
      return move_to(std::min(ls[target].first + col, ls[target].second), shift);
    }
    case vk_back:
      if (has_sel) return erase_selection();
      return erase(prev(caret_), caret_);
    case vk_delete:
      if (shift && !ctrl) return cut();
      if (has_sel) return erase_selection();
      return erase(caret_, next(caret_));
    case vk_insert:
      if (ctrl && !shift) {
        copy();
        return false;
      }
      if (shift && !ctrl) return paste();
      return false;
    case vk_return:
      if (!(style_ & es_multiline)) return false;
      return insert(u"\r\n");
    default:
      break;
  }
  if (ctrl && !shift) {
    switch (vk) {
      case 'A':
        return select_all();
      case 'C':
        copy();
        return false;
      case 'X':
        return cut();
      case 'V':
        return paste();
      default:
        break;
    }
  }
  return false;
}

}  // namespace zel
