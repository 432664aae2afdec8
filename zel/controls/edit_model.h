// The text model of the engine's edit box: UTF-16 text, a caret and a selection, the edit
// styles and the native editing keys. No drawing and no window system here: the control that
// shows it supplies a text measure (for the width limit) and turns mouse positions into text
// positions.
//
// Positions are code-unit indices; a selection is the half-open range between the anchor and
// the caret. No position ever falls inside a surrogate pair or a CR LF.
//
// Keys (Windows virtual-key codes): Left / Right (Ctrl: by word), Home / End (Ctrl: of the text),
// Up / Down (multi-line), each extending the selection with Shift; Backspace, Delete; Ctrl+A;
// Ctrl+C / Ctrl+Insert copy, Ctrl+X / Shift+Delete cut, Ctrl+V / Shift+Insert paste (through
// zel::Clipboard); Enter only in a multi-line box (CR LF). Typed text arrives one UTF-16 unit
// at a time (wm_char); control characters are ignored.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "zel/events.h"

namespace zel {

// Edit styles.
enum : uint32_t {
  es_left = 1,
  es_right = 2,
  es_center = 4,
  es_number = 8,      // digits only
  es_password = 16,   // shown as the password character, never copied out
  es_multiline = 32,  // lines end in CR LF; Enter breaks a line
  es_autohscroll =
      64,  // scrolls sideways; without it a single line refuses text wider than the box
  es_autovscroll = 128,
};

class EditModel {
 public:
  // Width in pixels of a run of display text (no line breaks in it).
  using measure_fn = std::function<int32_t(const std::u16string& run)>;

  void set_style(uint32_t style) { style_ = style; }
  uint32_t style() const { return style_; }
  void set_password_char(char16_t c) { pswd_ = c; }
  char16_t password_char() const { return pswd_; }
  // Limits a single line without es_autohscroll to `box_width` pixels of text.
  void set_measure(measure_fn measure, int32_t box_width);

  // Replaces the text; the caret goes to its end. Not filtered by the styles.
  void set_text(std::u16string text);
  const std::u16string& text() const { return text_; }
  size_t caret() const { return caret_; }
  size_t anchor() const { return anchor_; }
  std::pair<size_t, size_t> selection() const;
  std::u16string selected_text() const;

  // What the box shows for text[from, to): the password character per character under
  // es_password, else the text itself.
  std::u16string display(size_t from, size_t to) const;
  // Lines as [start, end) ranges of the text (one line unless multi-line).
  std::vector<std::pair<size_t, size_t>> lines() const;

  // Editing; each returns true when the text, the caret or the selection changed.
  bool key(int32_t vk, bool shift, bool ctrl);
  bool type(char16_t unit);
  // Replaces the selection with `s` (styles applied: digits only, one line); false when refused.
  bool insert(const std::u16string& s);
  bool select_all();
  // Puts the caret at `pos` (snapped to a boundary); with `extend` the anchor stays.
  bool move_to(size_t pos, bool extend);

  bool copy() const;  // false for password text or an empty selection
  bool cut();
  bool paste();

  // Position boundaries.
  size_t snap(size_t pos) const;
  size_t prev(size_t pos) const;
  size_t next(size_t pos) const;

 private:
  bool erase(size_t from, size_t to);
  bool erase_selection();
  size_t word_left(size_t pos) const;
  size_t word_right(size_t pos) const;
  size_t line_of(size_t pos) const;
  bool fits(const std::u16string& candidate) const;

  std::u16string text_;
  size_t caret_ = 0, anchor_ = 0;
  uint32_t style_ = es_left | es_autohscroll;
  char16_t pswd_ = u'*';
  char16_t pending_high_ = 0;
  measure_fn measure_;
  int32_t box_width_ = 0;
};

}  // namespace zel
