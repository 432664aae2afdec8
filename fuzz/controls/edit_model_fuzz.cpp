// The edit box's model under any text (pasted or typed: bytes from outside) and any keys. Its
// invariants: positions inside the text and never inside a surrogate pair or a CR LF; a
// digits-only box gains no other character by typing; one line stays one line.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "zel/controls/clipboard.h"
#include "zel/controls/edit_model.h"

namespace {

bool splits(const std::u16string& t, size_t p) {
  if (p == 0 || p >= t.size()) return false;
  return (t[p - 1] >= 0xD800 && t[p - 1] <= 0xDBFF && t[p] >= 0xDC00 && t[p] <= 0xDFFF) ||
         (t[p - 1] == u'\r' && t[p] == u'\n');
}

}  // namespace

// The in-process clipboard, whatever display the run has: fast, and the same on every machine.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  unsetenv("DISPLAY");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  // Each input starts from an empty clipboard: otherwise copies and pastes (Ctrl+Insert,
  // Shift+Insert) would carry text from one input to the next and double it every time.
  zel::Clipboard().erase();
  zel::EditModel m;
  m.set_style(uint32_t(data[0]));
  m.set_measure([](const std::u16string& run) { return int32_t(run.size()) * 7; }, 200);
  static const int32_t keys[] = {
      zel::vk_back,  zel::vk_return, zel::vk_end,    zel::vk_home,   zel::vk_left, zel::vk_up,
      zel::vk_right, zel::vk_down,   zel::vk_insert, zel::vk_delete, 'A'};
  // Pasting the whole text back doubles it; past a megabyte only the time grows.
  for (size_t i = 1; i + 2 < size && m.text().size() < (size_t(1) << 20); i += 3) {
    const uint8_t op = data[i];
    const char16_t unit = char16_t(data[i + 1] | data[i + 2] << 8);
    if (op & 0x80) {
      m.key(keys[unit % (sizeof keys / sizeof keys[0])], op & 1, op & 2);
    } else if (op & 0x40) {
      m.insert(std::u16string(size_t(op & 7), unit));
    } else {
      const bool digits_before = m.text().find_first_not_of(u"0123456789") == std::u16string::npos;
      m.type(unit);
      const bool digits_after = m.text().find_first_not_of(u"0123456789") == std::u16string::npos;
      if ((m.style() & zel::es_number) && digits_before && !digits_after) std::abort();
    }
    const std::u16string& t = m.text();
    if (m.caret() > t.size() || m.anchor() > t.size()) std::abort();
    if (splits(t, m.caret()) || splits(t, m.anchor())) std::abort();
    if (!(m.style() & zel::es_multiline) && t.find_first_of(u"\r\n") != std::u16string::npos)
      std::abort();
  }
  return 0;
}
