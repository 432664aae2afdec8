#include "zel/rich_format/style.h"

#include <cstring>

namespace zel {
namespace rf {

uint32_t argb::packed() const {
  return (static_cast<uint32_t>(a & 0xff) << 24) | (static_cast<uint32_t>(r & 0xff) << 16) |
         (static_cast<uint32_t>(g & 0xff) << 8) | static_cast<uint32_t>(b & 0xff);
}

Style::Style()
    : font_(unit(12.0, unit::points), u"Arial", logical_font::fw_normal, 0),
      text_{255, 0, 0, 0},
      back_{255, 255, 255, 255},
      line_spacing_(100.0, unit::percent) {
  for (auto& s : spacing_) s = unit(0.0, unit::pixels);
}

Style::~Style() = default;

const Style& Style::engine_default() {
  static const Style def = [] {
    Style s;
    s.set_text_colour(255, 0, 0, 0);
    return s;
  }();
  return def;
}

void Style::set_font(const logical_font& font) {
  font_ = font;
  mask_ |= font_set;
}

void Style::set_text_colour(int32_t a, int32_t r, int32_t g, int32_t b) {
  text_ = argb{a, r, g, b};
  mask_ |= text_colour_set;
}

void Style::set_back_colour(int32_t a, int32_t r, int32_t g, int32_t b) {
  back_ = argb{a, r, g, b};
  mask_ |= back_colour_set;
}

LinkInfo::LinkInfo(const char16_t* href, const char16_t* target)
    : href_(href ? href : u""), target_(target ? target : u"") {}

LinkInfo::LinkInfo(std::u16string href, std::u16string target)
    : href_(std::move(href)), target_(std::move(target)) {}

namespace {

#define C(i, n, v) \
  { i, u##n, ((v) >> 16) & 0xff, ((v) >> 8) & 0xff, (v)&0xff }
const colour_name kTable[colour_table_size] = {
    C(0, "alicemblue", 0xF0F8FF),
    C(1, "antiquewhite", 0xFAEBD7),
    C(2, "aqua", 0x00FFFF),
    C(3, "aquamarine", 0x7FFFD4),
    C(4, "azure", 0xF0FFFF),
    C(5, "beige", 0xF5F5DC),
    C(6, "bisque", 0xFFE4C4),
    C(7, "black", 0x000000),
    C(8, "blanchedalmond", 0xFFEBCD),
    C(9, "blue", 0x0000FF),
    C(10, "blueviolet", 0x8A2BE2),
    C(11, "brown", 0xA52A2A),
    C(12, "burlywood", 0xDEB887),
    C(13, "cadetblue", 0x5F9EA0),
    C(14, "chartreuse", 0x7FFF00),
    C(15, "chocolate", 0xD2691E),
    C(16, "coral", 0xFF7F50),
    C(17, "cornflowerblue", 0x6495ED),
    C(18, "cornsilk", 0xFFF8DC),
    C(19, "crimson", 0xDC143C),
    C(20, "cyan", 0x00FFFF),
    C(21, "darkblue", 0x00008B),
    C(22, "darkcyan", 0x008B8B),
    C(23, "darkgoldenrod", 0xB8860B),
    C(24, "darkgray", 0xA9A9A9),
    C(25, "darkgreen", 0x006400),
    C(26, "darkkhaki", 0xBDB76B),
    C(27, "darkmagenta", 0x8B008B),
    C(28, "darkolivegreen", 0x556B2F),
    C(29, "darkorange", 0xFF8C00),
    C(30, "darkochid", 0x9932CC),
    C(31, "darkred", 0x8B0000),
    C(32, "darksalmon", 0xE9967A),
    C(33, "darkseagreen", 0x8FBC8F),
    C(34, "darkslateblue", 0x483D8B),
    C(35, "darkslategray", 0x2F4F4F),
    C(36, "darkturquoise", 0x00CED1),
    C(37, "darkviolet", 0x9400D3),
    C(38, "deeppink", 0xFF1493),
    C(39, "deepskyblue", 0x00BFFF),
    C(40, "dimgray", 0x696969),
    C(41, "dodgerblue", 0x1E90FF),
    C(42, "firebrick", 0xB22222),
    C(43, "floralwhite", 0xFFFAF0),
    C(44, "forestgreen", 0x228B22),
    C(45, "fuchsia", 0xFF00FF),
    C(46, "gainsboro", 0xDCDCDC),
    C(47, "ghostwhite", 0xF8F8FF),
    C(48, "gold", 0xFFD700),
    C(49, "goldenrod", 0xDAA520),
    C(50, "gray", 0x808080),
    C(51, "green", 0x008000),
    C(52, "greenyellow", 0xADFF2F),
    C(53, "honeydew", 0xF0FFF0),
    C(54, "hotpink", 0xFF69B4),
    C(55, "indiandred", 0xCD5C5C),
    C(56, "indigo", 0x4B0082),
    C(57, "ivory", 0xFFFFF0),
    C(58, "khaki", 0xF0E68C),
    C(59, "lavender", 0xE6E6FA),
    C(60, "lavenderblush", 0xFFF0F5),
    C(61, "lawngreen", 0x7CFC00),
    C(62, "lemonchiffon", 0xFFFACD),
    C(63, "ligtblue", 0xADD8E6),
    C(64, "lightcoral", 0xF08080),
    C(65, "lightcyan", 0xE0FFFF),
    C(66, "lightgoldenrodyellow", 0xFAFAD2),
    C(67, "lightgreen", 0x90EE90),
    C(68, "lightgrey", 0xD3D3D3),
    C(69, "lightpink", 0xFFB6C1),
    C(70, "lightsalmon", 0xFFA07A),
    C(71, "lightseagreen", 0x20B2AA),
    C(72, "lightscyblue", 0x87CEFA),
    C(73, "lightslategray", 0x778899),
    C(74, "lightsteelblue", 0xB0C4DE),
    C(75, "lightyellow", 0xFFFFE0),
    C(76, "lime", 0x00FF00),
    C(77, "limegreen", 0x32CD32),
    C(78, "linen", 0xFAF0E6),
    C(79, "magenta", 0xFF00FF),
    C(80, "maroon", 0x800000),
    C(81, "mediumaquamarine", 0x66CDAA),
    C(82, "mediumblue", 0x0000CD),
    C(83, "mediumorchid", 0xBA55D3),
    C(84, "mediumpurple", 0x9370DB),
    C(85, "mediumseagreen", 0x3CB371),
    C(86, "mediumslateblue", 0x7B68EE),
    C(87, "mediumspringgreen", 0x00FA9A),
    C(88, "mediumturquoise", 0x48D1CC),
    C(89, "mediumvioletred", 0xC71585),
    C(90, "midnightblue", 0x191970),
    C(91, "mintcream", 0xF5FFFA),
    C(92, "mistyrose", 0xFFE4E1),
    C(93, "moccasin", 0xFFE4B5),
    C(94, "navajowhite", 0xFFDEAD),
    C(95, "navy", 0x000080),
    C(96, "oldlace", 0xFDF5E6),
    C(97, "olive", 0x808000),
    C(98, "olivedrab", 0x6B8E23),
    C(99, "orange", 0xFFA500),
    C(100, "orengered", 0xFF4500),
    C(101, "orchid", 0xDA70D6),
    C(102, "palegoldenrod", 0xEEE8AA),
    C(103, "palegreen", 0x98FB98),
    C(104, "paleturquose", 0xAFEEEE),
    C(105, "palevioletred", 0xDB7093),
    C(106, "papayawhop", 0xFFEFD5),
    C(107, "peachpuff", 0xFFDAB9),
    C(108, "peru", 0xCD853F),
    C(109, "pink", 0xFFC0CB),
    C(110, "plum", 0xDDA0DD),
    C(111, "powderblue", 0xB0E0E6),
    C(112, "purple", 0x800080),
    C(113, "red", 0xFF0000),
    C(114, "rosybrown", 0xBC8F8F),
    C(115, "royalblue", 0x4169E1),
    C(116, "saddlebrown", 0x8B4513),
    C(117, "salmon", 0xFA8072),
    C(118, "sandybrown", 0xF4A460),
    C(119, "seagreen", 0x2E8B57),
    C(120, "seashell", 0xFFF5EE),
    C(121, "sienna", 0xA0522D),
    C(122, "silver", 0xC0C0C0),
    C(123, "skyblue", 0x87CEEB),
    C(124, "slateblue", 0x6A5ACD),
    // The name is kept; the value is slate gray's own (the old table had 708080).
    C(125, "slategray", 0x708090),
    C(126, "snow", 0xFFFAFA),
    C(127, "springgreen", 0x00FF7F),
    C(128, "steelblue", 0x4682B4),
    C(129, "tan", 0xD2B48C),
    C(130, "teal", 0x008080),
    C(131, "thistle", 0xD8BFD8),
    C(132, "tomato", 0xFF6347),
    C(133, "turquose", 0x40E0D0),
    C(134, "violet", 0xEE82EE),
    C(135, "wheat", 0xF5DEB3),
    C(136, "white", 0xFFFFFF),
    C(137, "whitesmoke", 0xF5F5F5),
    C(138, "yellow", 0xFFFF00),
    C(139, "yellowgreen", 0x9ACD32),
};
#undef C

// Correct spellings of the table's misspelt names, and the "grey" forms: (name, table index).
struct alias {
  const char16_t* name;
  int32_t index;
};
const alias kAliases[] = {
    {u"aliceblue", 0},     {u"darkorchid", 30}, {u"indianred", 55},      {u"lightblue", 63},
    {u"lightskyblue", 72}, {u"orangered", 100}, {u"paleturquoise", 104}, {u"papayawhip", 106},
    {u"turquoise", 133},   {u"darkgrey", 24},   {u"darkslategrey", 35},  {u"dimgrey", 40},
    {u"grey", 50},         {u"lightgray", 68},  {u"lightslategrey", 73}, {u"slategrey", 125},
};

char16_t lower(char16_t c) {
  return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c;
}

bool equal_nocase(const char16_t* a, const char16_t* b) {
  for (; *a && *b; ++a, ++b)
    if (lower(*a) != lower(*b)) return false;
  return *a == *b;
}

}  // namespace

const colour_name* colour_table() {
  return kTable;
}

bool colour_from_name(const char16_t* name, int32_t& r, int32_t& g, int32_t& b) {
  if (!name || !*name) return false;
  const colour_name* hit = nullptr;
  for (const auto& e : kTable)
    if (equal_nocase(e.name, name)) {
      hit = &e;
      break;
    }
  if (!hit)
    for (const auto& a : kAliases)
      if (equal_nocase(a.name, name)) {
        hit = &kTable[a.index];
        break;
      }
  if (!hit) return false;
  r = hit->r;
  g = hit->g;
  b = hit->b;
  return true;
}

}  // namespace rf
}  // namespace zel
