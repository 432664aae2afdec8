// Named colours of HTML colour attributes.
#pragma once
#include <cstdint>

namespace zel {
namespace html {

// Looks `name` up in the colour table without regard to case. On a match stores the colour's
// red, green and blue (0..255) and returns true; otherwise returns false and leaves the outputs
// as they were.
bool get_color_from_name(const char16_t* name, int32_t& red, int32_t& green, int32_t& blue);

}  // namespace html
}  // namespace zel
