// Fonts matched with fontconfig, rasterised with FreeType and kerned with HarfBuzz.
#include <fontconfig/fontconfig.h>
#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_OUTLINE_H
#include FT_SYNTHESIS_H
#include FT_TRUETYPE_TABLES_H
#include <hb-ft.h>
#include <hb.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <mutex>
#include <unordered_map>

#include "qar/trace.h"
#include "zel/font.h"
#include "zel/text/font_backend.h"
#include "zel/text/text_util.h"

namespace zel {
namespace text {
namespace {

// ---- text conversions --------------------------------------------------------------------

std::string to_utf8(const std::u16string& s) {
  std::string out;
  const int32_t n = static_cast<int32_t>(s.size());
  for (int32_t i = 0; i < n;) {
    int32_t size = 1;
    const char32_t c = code_point_at(s.data(), n, i, size);
    i += size;
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (c >> 18)));
      out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

std::u16string from_utf8(const char* s) {
  std::u16string out;
  if (!s) return out;
  const unsigned char* p = reinterpret_cast<const unsigned char*>(s);
  while (*p) {
    char32_t c = *p++;
    int extra = 0;
    if (c >= 0xF0) {
      c &= 0x07;
      extra = 3;
    } else if (c >= 0xE0) {
      c &= 0x0F;
      extra = 2;
    } else if (c >= 0xC0) {
      c &= 0x1F;
      extra = 1;
    } else if (c >= 0x80) {
      c = 0xFFFD;
    }
    for (; extra > 0 && (*p & 0xC0) == 0x80; --extra) c = (c << 6) | (*p++ & 0x3F);
    if (extra > 0) c = 0xFFFD;
    if (c >= 0x10000 && c <= 0x10FFFF) {
      c -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(c > 0x10FFFF ? 0xFFFD : c));
    }
  }
  return out;
}

// ---- the FreeType library and fontconfig -------------------------------------------------

// FreeType's library object is shared by every face; creating and destroying faces, and every
// fontconfig query, go through this lock.
std::mutex& library_mutex() {
  static std::mutex m;
  return m;
}

FT_Library library_locked() {
  static FT_Library lib = [] {
    FT_Library l = nullptr;
    if (FT_Init_FreeType(&l) != 0) {
      qar::tracef("fonts: FreeType could not be initialised");
      return static_cast<FT_Library>(nullptr);
    }
    return l;
  }();
  return lib;
}

bool match_locked(const std::u16string& face, int32_t weight, bool italic, font_match& out) {
  static const bool fc_ok = FcInit() == FcTrue;
  if (!fc_ok) return false;
  FcPattern* pat = FcPatternCreate();
  if (!pat) return false;
  const std::string family = to_utf8(face);
  if (!family.empty())
    FcPatternAddString(pat, FC_FAMILY, reinterpret_cast<const FcChar8*>(family.c_str()));
  FcPatternAddInteger(pat, FC_WEIGHT, FcWeightFromOpenType(weight > 0 ? weight : 400));
  FcPatternAddInteger(pat, FC_SLANT, italic ? FC_SLANT_ITALIC : FC_SLANT_ROMAN);
  FcPatternAddBool(pat, FC_SCALABLE, FcTrue);
  FcConfigSubstitute(nullptr, pat, FcMatchPattern);
  FcDefaultSubstitute(pat);
  FcResult result = FcResultNoMatch;
  FcPattern* m = FcFontMatch(nullptr, pat, &result);
  FcPatternDestroy(pat);
  if (!m) return false;
  bool ok = false;
  FcChar8* file = nullptr;
  if (FcPatternGetString(m, FC_FILE, 0, &file) == FcResultMatch && file) {
    out.file = reinterpret_cast<const char*>(file);
    int index = 0;
    if (FcPatternGetInteger(m, FC_INDEX, 0, &index) == FcResultMatch) out.index = index;
    FcChar8* fam = nullptr;
    if (FcPatternGetString(m, FC_FAMILY, 0, &fam) == FcResultMatch)
      out.family = from_utf8(reinterpret_cast<const char*>(fam));
    ok = true;
  }
  FcPatternDestroy(m);
  return ok;
}

// ---- the font ----------------------------------------------------------------------------

// HarfBuzz keeps process-wide lazily built tables (languages, shapers); every HarfBuzz call
// goes through this lock so that fonts on different threads never build them at once.
std::mutex& shaping_mutex() {
  static std::mutex m;
  return m;
}

std::atomic<uint64_t> g_next_font_id{1};

// Drawing keeps this far inside the 32-bit range, so that a glyph's size added to its position
// cannot overflow.
constexpr int64_t kLimit = int64_t{1} << 30;

int32_t clamp32(int64_t v) {
  return static_cast<int32_t>(std::min<int64_t>(v, std::numeric_limits<int32_t>::max()));
}

int32_t round_px(double v) {
  return static_cast<int32_t>(std::lround(v));
}

class FtFont : public Font {
 public:
  FtFont(FT_Face face, const font_match& match, const font_request& request,
         std::shared_ptr<GlyphAtlas> atlas)
      : face_handle_(face),
        atlas_(std::move(atlas)),
        id_(g_next_font_id++),
        underline_(request.style & logical_font::underline),
        strikeout_(request.style & logical_font::strikeout) {
    face_ = match.family;
    const int32_t want_weight = request.weight > 0 ? request.weight : 400;
    // Synthesised bold and slant where the installed face lacks them.
    embolden_ = want_weight >= 600 && match.weight < want_weight - 150;
    oblique_ = (request.style & logical_font::italic) && !match.italic;
    set_metrics(request.pixel_height);
    std::lock_guard<std::mutex> lock(shaping_mutex());
    hb_ = hb_ft_font_create_referenced(face_handle_);
  }

  ~FtFont() override {
    if (hb_) {
      std::lock_guard<std::mutex> lock(shaping_mutex());
      hb_font_destroy(hb_);
    }
    std::lock_guard<std::mutex> lock(library_mutex());
    FT_Done_Face(face_handle_);
  }

  std::pair<int32_t, int32_t> measure(const char16_t* text, int32_t length) const override {
    const int32_t n = text_length(text, length);
    if (n < 1) return {0, 0};
    std::lock_guard<std::mutex> lock(mutex_);
    // 64-bit sums: a long enough text at a large size passes the 32-bit range.
    int64_t width = 0, line = 0, ink = 0, lines = 1;
    for (int32_t i = 0; i < n;) {
      int32_t size = 1;
      if (is_line_break(text, n, i, size)) {
        width = std::max({width, line, ink});
        line = ink = 0;
        ++lines;
        i += size;
        continue;
      }
      const char32_t c = code_point_at(text, n, i, size);
      i += size;
      if (const glyph* g = glyph_for(c, false)) {
        // Ink beyond the advance (an italic's last letter) stays inside the box.
        ink = std::max<int64_t>(ink, line + g->ink_right);
        line += g->advance;
      }
    }
    width = std::max({width, line, ink});
    return {clamp32(width), clamp32(lines * get_full_height())};
  }

  void draw(const char16_t* text, int32_t length, int32_t x, int32_t y,
            const Color* color) override {
    std::vector<placed_glyph> run;
    std::vector<solid_rect> rects;
    if (!layout(text, length, x, y, run, rects)) return;
    if (atlas_) atlas_->draw(run, rects, pack_color(color));
  }

  bool layout(const char16_t* text, int32_t length, int32_t x, int32_t y,
              std::vector<placed_glyph>& run, std::vector<solid_rect>& rects) override {
    const int32_t n = text_length(text, length);
    if (n < 1) return false;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      // Positions in 64 bits; what falls outside the 32-bit plane is not drawn.
      int64_t pen = x, top = y;
      const int64_t line_start = x;
      auto fits = [](int64_t v) { return v > -kLimit && v < kLimit; };
      auto line_decor = [&](int64_t end) {
        end = std::min<int64_t>(end, kLimit);
        const int64_t base = top + ascent_;
        if (end <= line_start || !fits(base)) return;
        if (underline_)
          rects.push_back({static_cast<int32_t>(line_start),
                           static_cast<int32_t>(base + underline_top_), static_cast<int32_t>(end),
                           static_cast<int32_t>(base + underline_top_ + underline_thickness_)});
        if (strikeout_)
          rects.push_back({static_cast<int32_t>(line_start),
                           static_cast<int32_t>(base - strike_top_), static_cast<int32_t>(end),
                           static_cast<int32_t>(base - strike_top_ + strike_thickness_)});
      };
      for (int32_t i = 0; i < n;) {
        int32_t size = 1;
        if (is_line_break(text, n, i, size)) {
          line_decor(pen);
          pen = line_start;
          top += get_full_height();
          i += size;
          continue;
        }
        const char32_t c = code_point_at(text, n, i, size);
        i += size;
        const glyph* g = glyph_for(c, true);
        if (!g) continue;
        const int64_t gx = pen + g->image.left, gy = top + ascent_ - g->image.top;
        if (g->image.width > 0 && g->image.height > 0 && fits(gx) && fits(gy))
          run.push_back({(id_ << 32) | g->index, &g->image, static_cast<int32_t>(gx),
                         static_cast<int32_t>(gy)});
        pen += g->advance;
      }
      line_decor(pen);
      // The images stay valid: glyphs are never removed from a font.
    }
    return true;
  }

  int32_t kerning(char16_t first, char16_t second, RenderDevice&) override {
    std::lock_guard<std::mutex> lock(mutex_);
    auto key = std::make_pair(first, second);
    auto it = kern_memo_.find(key);
    if (it != kern_memo_.end()) return it->second;
    const int32_t k = shape_pair(first, second);
    kern_memo_.emplace(key, k);
    if (k != 0) kerning_[key] = k;
    return k;
  }

 private:
  struct glyph {
    uint32_t index = 0;
    int32_t advance = 0;
    int32_t ink_right = 0;  // rightmost inked pixel column + 1, from the pen
    bool rendered = false;
    glyph_image image;
  };

  void set_metrics(int32_t pixels) {
    FT_Set_Pixel_Sizes(face_handle_, 0, static_cast<FT_UInt>(pixels));
    const double em = face_handle_->units_per_EM > 0 ? face_handle_->units_per_EM : 2048;
    const double scale = pixels / em;
    const TT_OS2* os2 = static_cast<TT_OS2*>(FT_Get_Sfnt_Table(face_handle_, FT_SFNT_OS2));
    const TT_HoriHeader* hhea =
        static_cast<TT_HoriHeader*>(FT_Get_Sfnt_Table(face_handle_, FT_SFNT_HHEA));
    double asc = face_handle_->ascender, desc = -face_handle_->descender;
    if (os2 && os2->version != 0xFFFF && (os2->usWinAscent || os2->usWinDescent)) {
      asc = os2->usWinAscent;
      desc = os2->usWinDescent;
    }
    ascent_ = static_cast<int32_t>(std::ceil(asc * scale - 1e-6));
    height_ = std::max(ascent_, round_px((asc + desc) * scale));
    descent_ = height_ - ascent_;
    external_leading_ = 0;
    if (hhea) {
      const double gap = (hhea->Ascender - hhea->Descender + hhea->Line_Gap) - (asc + desc);
      external_leading_ = std::max(0, round_px(gap * scale));
    }
    underline_thickness_ = std::max(1, round_px(face_handle_->underline_thickness * scale));
    // underline_position is the centre of the stroke, negative below the baseline.
    underline_top_ =
        std::max(1, round_px(-face_handle_->underline_position * scale) - underline_thickness_ / 2);
    if (os2 && os2->version != 0xFFFF && os2->yStrikeoutSize > 0) {
      strike_thickness_ = std::max(1, round_px(os2->yStrikeoutSize * scale));
      strike_top_ = round_px(os2->yStrikeoutPosition * scale);
    } else {
      strike_thickness_ = underline_thickness_;
      strike_top_ = round_px(asc * scale * 0.3);
    }
  }

  // The glyph of a code point (its image rendered when `render`); null for characters that
  // take no space (controls).
  const glyph* glyph_for(char32_t c, bool render) const {
    if (c < 0x20 || c == 0x7F) return nullptr;
    auto it = glyphs_.find(c);
    if (it == glyphs_.end()) {
      glyph g;
      g.index = FT_Get_Char_Index(face_handle_, c);
      if (FT_Load_Glyph(face_handle_, g.index, FT_LOAD_DEFAULT | FT_LOAD_TARGET_NORMAL) == 0) {
        FT_GlyphSlot slot = face_handle_->glyph;
        if (embolden_) FT_GlyphSlot_Embolden(slot);
        if (oblique_) FT_GlyphSlot_Oblique(slot);
        g.advance = static_cast<int32_t>((slot->advance.x + 32) >> 6);
        if (slot->format == FT_GLYPH_FORMAT_OUTLINE && slot->outline.n_points > 0) {
          FT_BBox box;
          FT_Outline_Get_CBox(&slot->outline, &box);
          g.ink_right = static_cast<int32_t>((box.xMax + 63) >> 6);
        }
      }
      it = glyphs_.emplace(c, std::move(g)).first;
    }
    glyph& g = it->second;
    if (render && !g.rendered) {
      g.rendered = true;
      rasterise(g);
    }
    return &g;
  }

  void rasterise(glyph& g) const {
    if (FT_Load_Glyph(face_handle_, g.index, FT_LOAD_DEFAULT | FT_LOAD_TARGET_NORMAL) != 0) return;
    FT_GlyphSlot slot = face_handle_->glyph;
    if (embolden_) FT_GlyphSlot_Embolden(slot);
    if (oblique_) FT_GlyphSlot_Oblique(slot);
    if (FT_Render_Glyph(slot, FT_RENDER_MODE_NORMAL) != 0) return;
    const FT_Bitmap& bm = slot->bitmap;
    if (bm.pixel_mode != FT_PIXEL_MODE_GRAY || bm.width == 0 || bm.rows == 0) return;
    glyph_image& im = g.image;
    im.width = static_cast<int32_t>(bm.width);
    im.height = static_cast<int32_t>(bm.rows);
    im.left = slot->bitmap_left;
    im.top = slot->bitmap_top;
    im.coverage.resize(static_cast<size_t>(im.width) * im.height);
    const int pitch = bm.pitch;
    for (int32_t row = 0; row < im.height; ++row) {
      // A negative pitch means the rows are stored bottom-up.
      const unsigned char* src =
          pitch >= 0 ? bm.buffer + static_cast<ptrdiff_t>(row) * pitch
                     : bm.buffer + static_cast<ptrdiff_t>(im.height - 1 - row) * (-pitch);
      std::copy(src, src + im.width, im.coverage.begin() + static_cast<ptrdiff_t>(row) * im.width);
    }
  }

  // The kerning of a pair: how far the font's positioning moves the second character, in
  // pixels (HarfBuzz applies the font's kerning, from GPOS or the legacy kern table).
  int32_t shape_pair(char16_t first, char16_t second) const {
    if (!hb_) return 0;
    std::lock_guard<std::mutex> lock(shaping_mutex());
    hb_buffer_t* buf = hb_buffer_create();
    const uint32_t cps[2] = {first, second};
    hb_buffer_add_utf32(buf, cps, 2, 0, 2);
    hb_buffer_set_direction(buf, HB_DIRECTION_LTR);
    hb_buffer_guess_segment_properties(buf);
    static const hb_feature_t features[] = {
        {HB_TAG('k', 'e', 'r', 'n'), 1, 0, static_cast<unsigned>(-1)},
        {HB_TAG('l', 'i', 'g', 'a'), 0, 0, static_cast<unsigned>(-1)},
        {HB_TAG('c', 'l', 'i', 'g'), 0, 0, static_cast<unsigned>(-1)},
        {HB_TAG('c', 'a', 'l', 't'), 0, 0, static_cast<unsigned>(-1)},
    };
    hb_shape(hb_, buf, features, sizeof(features) / sizeof(features[0]));
    unsigned count = 0;
    hb_glyph_info_t* info = hb_buffer_get_glyph_infos(buf, &count);
    hb_glyph_position_t* pos = hb_buffer_get_glyph_positions(buf, &count);
    int32_t k = 0;
    if (count == 2) {
      const hb_position_t plain = hb_font_get_glyph_h_advance(hb_, info[0].codepoint);
      const double adj = static_cast<double>(pos[0].x_advance - plain + pos[1].x_offset);
      k = round_px(adj / 64.0);
    }
    hb_buffer_destroy(buf);
    return k;
  }

  FT_Face face_handle_;
  hb_font_t* hb_ = nullptr;
  std::shared_ptr<GlyphAtlas> atlas_;
  const uint64_t id_;
  const bool underline_;
  const bool strikeout_;
  bool embolden_ = false;
  bool oblique_ = false;
  int32_t underline_top_ = 0;  // below the baseline
  int32_t underline_thickness_ = 1;
  int32_t strike_top_ = 0;  // above the baseline
  int32_t strike_thickness_ = 1;
  mutable std::mutex mutex_;  // guards the face and the glyph cache
  mutable std::unordered_map<char32_t, glyph> glyphs_;
  std::map<std::pair<char16_t, char16_t>, int32_t> kern_memo_;
};

// The weight and slant the face really has (fontconfig's answer echoes the request).
void read_style(FT_Face face, font_match& match) {
  match.italic = (face->style_flags & FT_STYLE_FLAG_ITALIC) != 0;
  const TT_OS2* os2 = static_cast<TT_OS2*>(FT_Get_Sfnt_Table(face, FT_SFNT_OS2));
  if (os2 && os2->version != 0xFFFF && os2->usWeightClass >= 1 && os2->usWeightClass <= 1000)
    match.weight = os2->usWeightClass;
  else
    match.weight = (face->style_flags & FT_STYLE_FLAG_BOLD) ? 700 : 400;
}

// Matches and opens the face; null when there is none. Library lock held.
FT_Face open_locked(const std::u16string& name, int32_t weight, bool italic, font_match& match) {
  if (!match_locked(name, weight, italic, match)) return nullptr;
  FT_Library lib = library_locked();
  FT_Face face = nullptr;
  if (!lib || FT_New_Face(lib, match.file.c_str(), match.index, &face) != 0) {
    qar::tracef("fonts: cannot open %s", match.file.c_str());
    return nullptr;
  }
  if (!FT_IS_SCALABLE(face)) {
    FT_Done_Face(face);
    return nullptr;
  }
  read_style(face, match);
  return face;
}

}  // namespace

bool match_face(const std::u16string& face, int32_t weight, bool italic, font_match& out) {
  std::lock_guard<std::mutex> lock(library_mutex());
  FT_Face f = open_locked(face, weight, italic, out);
  if (!f) return false;
  FT_Done_Face(f);
  return true;
}

std::shared_ptr<Font> make_font(const font_request& request, std::shared_ptr<GlyphAtlas> atlas) {
  font_match match;
  FT_Face face = nullptr;
  {
    std::lock_guard<std::mutex> lock(library_mutex());
    face = open_locked(request.face, request.weight, request.style & logical_font::italic, match);
    if (!face) return {};
  }
  return std::make_shared<FtFont>(face, match, request, std::move(atlas));
}

}  // namespace text
}  // namespace zel
