#include "zel/events.h"

namespace zel {

communication_event::communication_event(const char16_t* text)
    : qar_message(communication_event_id) {
  if (!text || !*text) return;
  const char16_t* p = text;
  while (*p && *p != u' ') ++p;
  command.assign(text, p);
  if (!*p) return;  // a zero ended the command: the text ends here
  const char16_t* a = ++p;
  while (*p) ++p;
  arguments.assign(a, p);
  if (!arguments.empty()) arguments += u'\0';
}

communication_event::communication_event(const char16_t* text, size_t length)
    : qar_message(communication_event_id) {
  if (!text || length == 0 || !text[0]) return;
  auto at = [&](size_t i) -> char16_t { return i < length ? text[i] : u'\0'; };
  size_t i = 0;
  while (i < length && text[i] && text[i] != u' ') ++i;
  command.assign(text, i);
  // The character that ended the command is skipped; a zero counts as one zero seen.
  int zeros = at(i) == 0 ? 1 : 0;
  ++i;
  // Each character is looked at before it is appended: a zero adds to the count of zeros in a
  // row, anything else resets it; two zeros in a row end the text. Past `length` every
  // character reads as zero, so the loop ends within two steps of the end of the buffer.
  for (;;) {
    char16_t c = at(i);
    zeros = c == 0 ? zeros + 1 : 0;
    if (zeros >= 2) break;
    arguments += c;
    ++i;
  }
}

communication_event::communication_event(const char16_t* cmd, const char16_t* args)
    : qar_message(communication_event_id) {
  if (cmd && *cmd) command = cmd;
  if (args && *args) arguments = args;
}

}  // namespace zel
