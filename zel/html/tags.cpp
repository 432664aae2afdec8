#include "zel/html/tags.h"

#include <strings.h>

namespace zel {
namespace html {
namespace {

// Indexed by code - 1.
const char* const tag_names[] = {
    "a",           "abbr",      "acronym", "address",  "applet",     "area",    "b",
    "base",        "basefont",  "bdo",     "bgsound",  "big",        "blink",   "blockquote",
    "body",        "br",        "button",  "caption",  "center",     "cite",    "code",
    "col",         "colgroup",  "counter", "dd",       "del",        "dfn",     "dir",
    "div",         "dl",        "dt",      "em",       "embed",      "endnote", "fieldset",
    "font",        "form",      "frame",   "frameset", "h1",         "h2",      "h3",
    "h4",          "h5",        "h6",      "head",     "hr",         "html",    "i",
    "iframe",      "image",     "img",     "input",    "ins",        "isindex", "kbd",
    "keygen",      "label",     "legend",  "li",       "link",       "listing", "map",
    "marquee",     "menu",      "meta",    "multicol", "nobr",       "noembed", "noframes",
    "noscript",    "object",    "ol",      "optgroup", "option",     "p",       "param",
    "parsererror", "plaintext", "pre",     "q",        "s",          "samp",    "script",
    "select",      "server",    "small",   "sound",    "sourcetext", "spacer",  "span",
    "strike",      "strong",    "style",   "sub",      "sup",        "table",   "tbody",
    "td",          "textarea",  "tfoot",   "th",       "thead",      "title",   "tr",
    "tt",          "u",         "ul",      "var",      "wbr",        "xmp",
};
constexpr int32_t tag_count = static_cast<int32_t>(sizeof(tag_names) / sizeof(tag_names[0]));
static_assert(tag_count == 111, "one name per element code");

}  // namespace

nsHTMLTag get_tag_code(const char* name) {
  if (!name || !*name) return eHTMLTag_unknown;
  if (strcasecmp(name, "text") == 0) return eHTMLTag_text;
  // The names are sorted: a binary search finds the one match.
  int32_t lo = 0, hi = tag_count;
  while (lo < hi) {
    const int32_t mid = (lo + hi) / 2;
    const int c = strcasecmp(name, tag_names[mid]);
    if (c == 0) return static_cast<nsHTMLTag>(mid + 1);
    if (c < 0)
      hi = mid;
    else
      lo = mid + 1;
  }
  return eHTMLTag_unknown;
}

const char* get_tag_string(nsHTMLTag code) {
  if (code < 1 || code > tag_count) return nullptr;
  return tag_names[code - 1];
}

}  // namespace html
}  // namespace zel
