#include "zel/font.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <mutex>
#include <tuple>
#include <vector>

#include "qar/trace.h"
#include "zel/render_device.h"
#include "zel/text/font_backend.h"
#include "zel/text/text_util.h"

namespace zel {

// ---- Color -------------------------------------------------------------------------------

int32_t Color::operator[](int) const {
  return 0;
}

uint32_t pack_color(const Color* c) {
  if (!c || static_cast<uint32_t>(c->code()) != tt_a8r8g8b8) return 0xFFFFFFFFu;
  // Components are taken modulo 256 in unsigned arithmetic (a signed shift of alpha >= 128
  // would overflow).
  auto byte = [](int32_t v) { return static_cast<uint32_t>(v) & 0xFFu; };
  return byte((*c)[0]) << 24 | byte((*c)[1]) << 16 | byte((*c)[2]) << 8 | byte((*c)[3]);
}

// ---- unit --------------------------------------------------------------------------------

namespace {

int32_t truncate_to_int32(double v) {
  if (std::isnan(v)) return 0;
  if (v >= static_cast<double>(std::numeric_limits<int32_t>::max()))
    return std::numeric_limits<int32_t>::max();
  if (v <= static_cast<double>(std::numeric_limits<int32_t>::min()))
    return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(v);  // toward zero
}

// A converted measure that should be whole (25.4 mm at 96 ppi) can come out a hair below it
// in binary floating point; truncation must not lose the pixel.
double nudged(double v) {
  return v + (v >= 0 ? 1e-9 : -1e-9) * std::max(1.0, std::fabs(v));
}

}  // namespace

int32_t unit::to_pixels(const RenderDevice* device) const {
  if (!device) return truncate_to_int32(value);
  const double ppi = device->ppi_y();
  switch (type) {
    case millimetres:
      return truncate_to_int32(nudged(value * ppi / 25.4));
    case inches:
      return truncate_to_int32(nudged(value * ppi));
    case points:
      return truncate_to_int32(nudged(value * ppi / 72.0));
    case em:
    case ex: {
      std::shared_ptr<Font> f = device->get_font();
      const int32_t h = f ? f->get_height() : 0;
      return type == em ? h : h / 2;
    }
    default:
      return truncate_to_int32(value);
  }
}

// ---- logical_font ------------------------------------------------------------------------

const unit logical_font::fw_dontcare(0.0, unit::none);
const unit logical_font::fw_thin(100.0, unit::none);
const unit logical_font::fw_light(300.0, unit::none);
const unit logical_font::fw_normal(400.0, unit::none);
const unit logical_font::fw_medium(500.0, unit::none);
const unit logical_font::fw_semibold(600.0, unit::none);
const unit logical_font::fw_bold(700.0, unit::none);
const unit logical_font::fw_heavy(900.0, unit::none);

logical_font::logical_font()
    : size(0.0, unit::pixels), weight(fw_dontcare), style(0), mask(weight_set | style_set) {}

logical_font::logical_font(const unit& size_, const char16_t* face_, const unit& weight_,
                           int32_t style_)
    : size(size_),
      face(face_ ? face_ : u""),
      weight(weight_),
      style(style_),
      mask(size_set | face_set | weight_set | style_set) {}

logical_font::logical_font(const unit& size_, const std::u16string& face_, const unit& weight_,
                           int32_t style_)
    : size(size_),
      face(face_),
      weight(weight_),
      style(style_),
      mask(size_set | face_set | weight_set | style_set) {}

logical_font::logical_font(int32_t style_)
    : size(0.0, unit::pixels), weight(0.0, unit::pixels), style(style_), mask(style_set) {}

logical_font& logical_font::combine(const logical_font& other) {
  if (other.mask & size_set) size = other.size;
  if (other.mask & face_set) face = other.face;
  if (other.mask & weight_set) weight = other.weight;
  if (other.mask & style_set) style = other.style;
  mask |= other.mask & (size_set | face_set | weight_set | style_set);
  return *this;
}

bool logical_font::operator==(const logical_font& o) const {
  return size == o.size && face == o.face && weight == o.weight && style == o.style &&
         mask == o.mask;
}

// ---- Font --------------------------------------------------------------------------------

Font::~Font() = default;

bool Font::layout(const char16_t*, int32_t, int32_t, int32_t, std::vector<text::placed_glyph>&,
                  std::vector<text::solid_rect>&) {
  return false;
}

int32_t Font::kerning(char16_t first, char16_t second, RenderDevice&) {
  if (kerning_.empty() || first > kerning_.rbegin()->first.first) return 0;
  auto it = kerning_.find({first, second});
  return it == kerning_.end() ? 0 : it->second;
}

std::pair<int32_t, int32_t> Font::calc_rect(const std::u16string& text) const {
  if (text.empty()) return {0, 0};
  return measure(text.data(), static_cast<int32_t>(text.size()));
}

void Font::draw_text(const std::u16string& text, int32_t x, int32_t y, const Color* color) {
  if (text.empty()) return;
  draw(text.data(), static_cast<int32_t>(text.size()), x, y, color);
}

// ---- the font cache and the device's text operations --------------------------------------

namespace text {
namespace {

// A cache entry is keyed by the device and by what the description resolves to on it, so that
// a description in em or points gives the font of the size it means at the time.
struct cache_key {
  const RenderDevice* device;
  font_request request;
  bool operator<(const cache_key& o) const {
    return std::tie(device, request) < std::tie(o.device, o.request);
  }
};

struct font_cache {
  std::mutex mutex;
  std::map<cache_key, std::shared_ptr<Font>> fonts;
  std::map<const RenderDevice*, std::shared_ptr<GlyphAtlas>> bindings;
};

font_cache& cache() {
  static font_cache* c = new font_cache;  // never destroyed: fonts may outlive static teardown
  return *c;
}

int32_t resolve_weight(const logical_font& lf) {
  double w = lf.weight.value;
  if (lf.weight.type == unit::percent)
    w = 400.0 * w / 100.0;
  else if (lf.weight.type == unit::factor)
    w = 400.0 * w;
  if (std::isnan(w) || w <= 0.0) return 0;
  if (w > 1000.0) return 1000;
  return static_cast<int32_t>(w);
}

}  // namespace

font_request resolve_request(const RenderDevice* device, const logical_font& lf) {
  font_request r;
  int64_t px = lf.size.to_pixels(device);
  if (px < 0) px = -px;
  if (px == 0) {
    // No size given: 12 points, as text editors start with.
    const int32_t ppi = device ? device->ppi_y() : 96;
    px = ppi > 0 ? (12 * ppi) / 72 : 16;
  }
  if (px > kMaxPixelHeight) px = kMaxPixelHeight;
  r.pixel_height = static_cast<int32_t>(px);
  r.weight = resolve_weight(lf);
  r.style = lf.style & (logical_font::italic | logical_font::underline | logical_font::strikeout);
  r.face = lf.face;
  return r;
}

std::shared_ptr<Font> create_font(RenderDevice& device, std::shared_ptr<TextureManager> textures,
                                  const logical_font& lf) {
  const font_request request = resolve_request(&device, lf);
  const cache_key key{&device, request};
  font_cache& c = cache();
  std::shared_ptr<GlyphAtlas> binding;
  {
    std::lock_guard<std::mutex> lock(c.mutex);
    auto it = c.fonts.find(key);
    if (it != c.fonts.end()) return it->second;
    auto& b = c.bindings[&device];
    if (!b) b = std::make_shared<GlyphAtlas>(&device);
    b->set_textures(textures);
    binding = b;
  }
  // Opening and sizing a face is slow; it runs outside the cache lock.
  std::shared_ptr<Font> font;
  try {
    font = make_font(request, binding);
  } catch (const std::exception& e) {
    QAR_TRACE_CATCH(e);
    return {};
  } catch (...) {
    return {};
  }
  if (!font) return {};
  std::lock_guard<std::mutex> lock(c.mutex);
  // Another thread may have made the same font meanwhile; the first one entered wins.
  auto ins = c.fonts.emplace(key, font);
  return ins.first->second;
}

void free_resources(RenderDevice& device) {
  font_cache& c = cache();
  std::vector<std::shared_ptr<Font>> dropped;  // released outside the lock
  std::shared_ptr<GlyphAtlas> binding;
  {
    std::lock_guard<std::mutex> lock(c.mutex);
    for (auto it = c.fonts.begin(); it != c.fonts.end();) {
      if (it->first.device == &device) {
        dropped.push_back(std::move(it->second));
        it = c.fonts.erase(it);
      } else {
        ++it;
      }
    }
    auto b = c.bindings.find(&device);
    if (b != c.bindings.end()) binding = b->second;
  }
  if (binding) binding->free_textures();
}

void release_device(RenderDevice& device) {
  free_resources(device);
  font_cache& c = cache();
  std::shared_ptr<GlyphAtlas> binding;
  {
    std::lock_guard<std::mutex> lock(c.mutex);
    auto b = c.bindings.find(&device);
    if (b == c.bindings.end()) return;
    binding = std::move(b->second);
    c.bindings.erase(b);
  }
  binding->detach();
}

size_t font_cache_size() {
  font_cache& c = cache();
  std::lock_guard<std::mutex> lock(c.mutex);
  return c.fonts.size();
}

int32_t kerning_pair(RenderDevice& device, char16_t first, char16_t second,
                     const std::shared_ptr<Font>& font) {
  std::shared_ptr<Font> f = font ? font : device.get_font();
  return f ? f->kerning(first, second, device) : 0;
}

void render_char(RenderDevice& device, char16_t ch, int32_t x, int32_t y, const Color* color,
                 const Color* fallback, const std::shared_ptr<Font>& font) {
  std::shared_ptr<Font> f = font ? font : device.get_font();
  if (!f) return;
  const Color* c = color ? color : fallback;
  const int32_t space = f->measure(u" ", 1).first;
  const char16_t run[3] = {u' ', ch, u' '};
  if (int64_t{x} - space < 0) {
    // No room for the leading space: the character itself stays at x.
    f->draw(run + 1, 2, x, y, c);
  } else {
    f->draw(run, 3, x - space, y, c);
  }
}

void render_text(RenderDevice& device, const char16_t* text, int32_t length, int32_t x, int32_t y,
                 const Color* color, const Color* fallback, const std::shared_ptr<Font>& font) {
  if (!device.is_on_scene()) return;
  std::shared_ptr<Font> f = font ? font : device.get_font();
  if (!f || !text) return;
  const int32_t n = text_length(text, length);
  if (n < 1) return;
  std::u16string copy(text, static_cast<size_t>(n));
  copy.push_back(u' ');
  f->draw(copy.data(), static_cast<int32_t>(copy.size()), x, y, color ? color : fallback);
}

std::pair<int32_t, int32_t> calc_text(const char16_t* text, int32_t length,
                                      const std::shared_ptr<Font>& font) {
  if (!font || !text) return {0, 0};
  const int32_t n = text_length(text, length);
  if (n < 1) return {0, 0};
  std::pair<int32_t, int32_t> size = font->measure(text, n);
  // measure counts the external leading in every line; calc_text does not.
  size.second -= count_lines(text, n) * font->get_extenal_leading();
  if (size.second < 0) size.second = 0;
  return size;
}

}  // namespace text
}  // namespace zel
