#include "zel/html/colors.h"

#include "zel/rich_format/style.h"

namespace zel {
namespace html {

// The table is the rich-format model's (zel/rich_format/style.h): its names as spelt there,
// then the right spellings and the grey forms.
bool get_color_from_name(const char16_t* name, int32_t& red, int32_t& green, int32_t& blue) {
  return rf::colour_from_name(name, red, green, blue);
}

}  // namespace html
}  // namespace zel
