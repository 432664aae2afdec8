#include "zel/controls/edit_control_x11.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <vector>

#include "qar/trace.h"
#include "zel/context.h"
#include "zel/controls/clipboard.h"
#include "zel/controls/input_router.h"
#include "zel/gui_dispatcher.h"
#include "zel/render_device.h"
#include "zel/text/font_backend.h"

namespace zel {

// ---- Control and EditControl

int32_t Control::call(const char16_t*, int32_t, vesk::VK_VARIANT*, vesk::VK_VARIANT*) {
  return 0;
}
int32_t Control::get(const char16_t*, vesk::VK_VARIANT*) {
  return 0;
}
int32_t Control::set(const char16_t*, vesk::VK_VARIANT*) {
  return 0;
}
void Control::reg_external_callback(void* first, void* second) {
  ext1_ = first;
  ext2_ = second;
}

void EditControl::reg_key_down_listener(void* user, void* callback) {
  user_ = user;
  key_down_ = callback;
}
void EditControl::reg_set_focus_listener(void* user, void* callback) {
  user_ = user;
  set_focus_ = callback;
}
void EditControl::reg_kill_focus_listener(void* user, void* callback) {
  user_ = user;
  kill_focus_ = callback;
}

std::shared_ptr<EditControl> create_edit_control() {
  return std::make_shared<EditControlX11>();
}

// ---- EditControlX11

namespace {

constexpr int32_t kPad = 2;
constexpr uint32_t kHighlight = 0x3399FF, kHighlightText = 0xFFFFFF;

uint8_t clamp8(int32_t v) {
  return uint8_t(std::clamp(v, 0, 255));
}

std::shared_ptr<Font> make_edit_font(const logical_font& lf) {
  RenderDevice* dev = zelContext::is_init() ? zelContext::instance().device.get() : nullptr;
  try {
    return text::make_font(text::resolve_request(dev, lf), nullptr);
  } catch (const std::exception& e) {
    QAR_TRACE_CATCH(e);
  } catch (...) {
  }
  return {};
}

int32_t run_width(const std::shared_ptr<Font>& font, const std::u16string& run) {
  if (!font || run.empty()) return 0;
  return font->measure(run.data(), int32_t(run.size())).first;
}

struct Clip {
  int32_t x0, y0, x1, y1;
};

void fill(const BitmapView& v, Clip c, uint32_t rgb) {
  c.x0 = std::max(c.x0, 0), c.y0 = std::max(c.y0, 0);
  c.x1 = std::min(c.x1, v.width), c.y1 = std::min(c.y1, v.height);
  for (int32_t y = c.y0; y < c.y1; ++y)
    for (int32_t x = c.x0; x < c.x1; ++x) v.row(y)[x] = rgb;
}

// Composites glyph coverage in the colour, inside the clip.
void blend(const BitmapView& v, const std::vector<text::placed_glyph>& glyphs,
           const std::vector<text::solid_rect>& rects, uint32_t rgb, Clip c) {
  c.x0 = std::max(c.x0, 0), c.y0 = std::max(c.y0, 0);
  c.x1 = std::min(c.x1, v.width), c.y1 = std::min(c.y1, v.height);
  auto put = [&](int32_t x, int32_t y, uint32_t a) {
    if (x < c.x0 || x >= c.x1 || y < c.y0 || y >= c.y1 || a == 0) return;
    uint32_t& d = v.row(y)[x];
    uint32_t out = 0;
    for (int s = 0; s < 24; s += 8) {
      const uint32_t dc = d >> s & 0xFF, sc = rgb >> s & 0xFF;
      out |= ((dc * (255 - a) + sc * a + 127) / 255) << s;
    }
    d = out;
  };
  for (const auto& g : glyphs)
    for (int32_t y = 0; y < g.image->height; ++y)
      for (int32_t x = 0; x < g.image->width; ++x)
        put(g.x + x, g.y + y, g.image->coverage[size_t(y) * size_t(g.image->width) + size_t(x)]);
  for (const auto& r : rects)
    for (int32_t y = r.y0; y < r.y1; ++y)
      for (int32_t x = r.x0; x < r.x1; ++x) put(x, y, 255);
}

}  // namespace

struct EditControlX11::Geometry {
  std::vector<std::pair<size_t, size_t>> lines;
  std::vector<int32_t> x0;  // pen position of each line's first character
  int32_t top = 0;          // top of the first line
  int32_t lh = 1;           // line height
  int32_t x_of(const EditModel& m, const std::shared_ptr<Font>& f, size_t line, size_t pos) const {
    return x0[line] + run_width(f, m.display(lines[line].first, pos));
  }
  size_t line_of(size_t pos) const {
    for (size_t i = 0; i < lines.size(); ++i)
      if (pos <= lines[i].second) return i;
    return lines.size() - 1;
  }
};

EditControlX11::EditControlX11() {
  font_ = make_edit_font(font_desc_);
  sync_measure();
}

EditControlX11::~EditControlX11() {
  unregister_updatable();
}

void EditControlX11::sync_measure() {
  auto font = font_;
  model_.set_measure([font](const std::u16string& run) { return run_width(font, run); },
                     get_width() - 2 * kPad);
}

EditControlX11::Geometry EditControlX11::geometry() const {
  Geometry g;
  g.lines = model_.lines();
  g.lh = std::max(font_ ? font_->get_full_height() : 0, 1);
  g.top = kPad - scroll_y_;
  const int32_t w = get_width();
  const uint32_t style = model_.style();
  for (const auto& l : g.lines) {
    const int32_t lw = run_width(font_, model_.display(l.first, l.second));
    if (style & es_right)
      g.x0.push_back(w - kPad - lw);
    else if (style & es_center)
      g.x0.push_back((w - lw) / 2);
    else
      g.x0.push_back(kPad - scroll_x_);
  }
  return g;
}

void EditControlX11::scroll_to_caret() {
  const uint32_t style = model_.style();
  const int32_t w = get_width(), h = get_height();
  if (!(style & (es_right | es_center)) && (style & (es_autohscroll | es_multiline))) {
    Geometry g = geometry();
    const size_t l = g.line_of(model_.caret());
    const int32_t cx = g.x_of(model_, font_, l, model_.caret());
    if (cx > w - kPad) scroll_x_ += cx - (w - kPad);
    if (cx < kPad) scroll_x_ -= kPad - cx;
    // Never further than the end of the caret's line at the right edge (a box that grew
    // shows more of the text instead of blank space).
    const auto& ln = g.lines[l];
    const int32_t lw = run_width(font_, model_.display(ln.first, ln.second));
    scroll_x_ = std::clamp(scroll_x_, 0, std::max(0, lw + 1 - (w - 2 * kPad)));
  } else {
    scroll_x_ = 0;
  }
  if ((style & es_multiline) && (style & es_autovscroll)) {
    const int32_t lh = std::max(font_ ? font_->get_full_height() : 0, 1);
    const int32_t line = int32_t(geometry().line_of(model_.caret()));
    const int32_t cy = line * lh;
    if (cy - scroll_y_ > h - 2 * kPad - lh) scroll_y_ = cy - (h - 2 * kPad - lh);
    if (cy < scroll_y_) scroll_y_ = cy;
    const int32_t all = int32_t(model_.lines().size()) * lh;
    scroll_y_ = std::clamp(scroll_y_, 0, std::max(0, all - (h - 2 * kPad)));
  } else {
    scroll_y_ = 0;
  }
}

size_t EditControlX11::position_at(int32_t x, int32_t y) const {
  Geometry g = geometry();
  const int32_t li = std::clamp((y - g.top) / g.lh, 0, int32_t(g.lines.size()) - 1);
  const auto& l = g.lines[size_t(li)];
  size_t best = l.first;
  int32_t best_d = INT32_MAX;
  for (size_t p = l.first;; p = model_.next(p)) {
    const int32_t d = std::abs(g.x_of(model_, font_, size_t(li), p) - x);
    if (d < best_d) best_d = d, best = p;
    if (p >= l.second) break;
  }
  return best;
}

void EditControlX11::request_paint() {
  {
    std::lock_guard<std::mutex> lk(state_mutex_);
    if (!created_) return;
  }
  if (paint_pending_.exchange(true)) return;
  auto self = std::static_pointer_cast<EditControlX11>(weak_from_this().lock());
  if (!self || !gui::post([self] {
        self->paint_pending_ = false;
        self->on_paint();
      }))
    paint_pending_ = false;
}

void EditControlX11::on_paint() {
  std::lock_guard<std::mutex> lk(state_mutex_);
  if (!created_) return;
  const Geometry g = geometry();
  const auto sel = model_.selection();
  paint_frame([&](const BitmapView& v) {
    fill(v, {0, 0, v.width, v.height}, bkg_rgb_);
    std::vector<text::placed_glyph> glyphs;
    std::vector<text::solid_rect> rects;
    for (size_t i = 0; i < g.lines.size(); ++i) {
      const auto& l = g.lines[i];
      const int32_t y = g.top + int32_t(i) * g.lh;
      if (y >= v.height || y + g.lh <= 0) continue;
      glyphs.clear();
      rects.clear();
      const std::u16string run = model_.display(l.first, l.second);
      if (font_ && !run.empty())
        font_->layout(run.data(), int32_t(run.size()), g.x0[i], y, glyphs, rects);
      blend(v, glyphs, rects, text_rgb_, {0, 0, v.width, v.height});
      // The selected part: highlighted, its text redrawn in the highlight's text colour.
      const size_t s0 = std::max(sel.first, l.first), s1 = std::min(sel.second, l.second);
      if (s0 < s1) {
        const Clip c{g.x_of(model_, font_, i, s0), y, g.x_of(model_, font_, i, s1), y + g.lh};
        fill(v, c, kHighlight);
        blend(v, glyphs, rects, kHighlightText, c);
      }
    }
    if (focused_) {
      const size_t l = g.line_of(model_.caret());
      const int32_t x = g.x_of(model_, font_, l, model_.caret());
      const int32_t y = g.top + int32_t(l) * g.lh;
      fill(v, {x, y, x + 1, y + g.lh}, text_rgb_);
    }
  });
}

void EditControlX11::on_mouse(const mouse_event& me) {
  bool changed = false;
  {
    std::lock_guard<std::mutex> lk(state_mutex_);
    if (!created_) return;
    if (me.field1 == wm_lbuttondown) {
      changed = model_.move_to(position_at(me.field2, me.field3), (me.field4 & mk_shift) != 0);
      selecting_ = true;
    } else if (me.field1 == wm_mousemove && selecting_ && (me.field4 & mk_lbutton)) {
      changed = model_.move_to(position_at(me.field2, me.field3), true);
    } else if (me.field1 == wm_lbuttonup || me.field1 == wm_mouseleave) {
      selecting_ = false;
    }
    if (changed) scroll_to_caret();
  }
  if (changed) on_paint();
}

void EditControlX11::on_key(const key_event& ke) {
  bool changed = false;
  {
    std::lock_guard<std::mutex> lk(state_mutex_);
    if (!created_) return;
    if (ke.field1 == wm_keydown)
      changed = model_.key(ke.field2, (ke.field3 & key_shift) != 0, (ke.field3 & key_ctrl) != 0);
    else if (ke.field1 == wm_char)
      changed = model_.type(char16_t(ke.field2));
    if (changed) scroll_to_caret();
  }
  if (changed) on_paint();
  // The listener runs with no lock held; the caller keeps this control alive meanwhile.
  if (ke.field1 == wm_keydown) {
    if (auto cb = reinterpret_cast<key_down_fn>(key_down_.load())) cb(user_.load(), ke.field2);
  }
}

void EditControlX11::on_focus(bool focused) {
  {
    std::lock_guard<std::mutex> lk(state_mutex_);
    if (!created_ || focused_ == focused) return;
    focused_ = focused;
    if (!focused) selecting_ = false;
  }
  on_paint();
  void* user = user_.load();
  if (focused) {
    if (auto cb = reinterpret_cast<focus_fn>(set_focus_.load()); cb && user) cb(user);
  } else if (auto cb = reinterpret_cast<focus_fn>(kill_focus_.load())) {
    cb(user);
  }
}

bool EditControlX11::has_focus() const {
  std::lock_guard<std::mutex> lk(state_mutex_);
  return focused_;
}

std::pair<size_t, size_t> EditControlX11::selection() const {
  std::lock_guard<std::mutex> lk(state_mutex_);
  return model_.selection();
}

size_t EditControlX11::caret() const {
  std::lock_guard<std::mutex> lk(state_mutex_);
  return model_.caret();
}

void EditControlX11::on_size_change() {
  WindowedFacet::on_size_change();
  {
    std::lock_guard<std::mutex> lk(state_mutex_);
    sync_measure();
    scroll_to_caret();
  }
  request_paint();
}

void EditControlX11::set_style(uint32_t style) {
  {
    std::lock_guard<std::mutex> lk(state_mutex_);
    model_.set_style(style);
    scroll_to_caret();
  }
  request_paint();
}

uint32_t EditControlX11::get_style() const {
  std::lock_guard<std::mutex> lk(state_mutex_);
  return model_.style();
}

void EditControlX11::set_text(const char16_t* text) {
  {
    std::lock_guard<std::mutex> lk(state_mutex_);
    model_.set_text(text ? std::u16string(text) : std::u16string());
    snapshot_ = model_.text();
    scroll_to_caret();
  }
  request_paint();
}

const char16_t* EditControlX11::get_text() {
  std::lock_guard<std::mutex> lk(state_mutex_);
  snapshot_ = model_.text();
  return snapshot_.c_str();
}

std::u16string EditControlX11::text() const {
  std::lock_guard<std::mutex> lk(state_mutex_);
  return model_.text();
}

void EditControlX11::set_int(int32_t v) {
  const std::string s = std::to_string(v);
  set_text(std::u16string(s.begin(), s.end()).c_str());
}

int32_t EditControlX11::get_int() const {
  const std::u16string t = text();
  size_t i = 0;
  while (i < t.size() && (t[i] == u' ' || (t[i] >= u'\t' && t[i] <= u'\r'))) ++i;
  bool neg = false;
  if (i < t.size() && (t[i] == u'-' || t[i] == u'+')) neg = t[i++] == u'-';
  int64_t v = 0;
  for (; i < t.size() && t[i] >= u'0' && t[i] <= u'9'; ++i)
    v = std::min<int64_t>(v * 10 + (t[i] - u'0'), int64_t(INT32_MAX) + 1);
  if (neg) v = -v;
  return int32_t(std::clamp<int64_t>(v, INT32_MIN, INT32_MAX));
}

void EditControlX11::set_float(float v) {
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, double(v), std::chars_format::general, 10);
  set_text(std::u16string(buf, r.ptr).c_str());
}

float EditControlX11::get_float() const {
  const std::u16string t = text();
  std::string a;
  size_t i = 0;
  while (i < t.size() && (t[i] == u' ' || (t[i] >= u'\t' && t[i] <= u'\r'))) ++i;
  if (i < t.size() && t[i] == u'+') ++i;
  for (; i < t.size() && t[i] < 0x80; ++i) a += char(t[i]);
  double v = 0;
  std::from_chars(a.data(), a.data() + a.size(), v);
  return float(v);
}

void EditControlX11::set_pswdchar(char16_t c) {
  {
    std::lock_guard<std::mutex> lk(state_mutex_);
    model_.set_password_char(c);
  }
  request_paint();
}

void EditControlX11::set_font(const logical_font& f) {
  auto font = make_edit_font(f);
  {
    std::lock_guard<std::mutex> lk(state_mutex_);
    font_desc_ = f;
    if (font) font_ = font;
    sync_measure();
    scroll_to_caret();
  }
  request_paint();
}

void EditControlX11::set_txt_color(int32_t, int32_t r, int32_t g, int32_t b) {
  {
    std::lock_guard<std::mutex> lk(state_mutex_);
    text_rgb_ = uint32_t(clamp8(r)) << 16 | uint32_t(clamp8(g)) << 8 | clamp8(b);
  }
  request_paint();
}

void EditControlX11::set_bkg_color(int32_t, int32_t r, int32_t g, int32_t b) {
  {
    std::lock_guard<std::mutex> lk(state_mutex_);
    bkg_rgb_ = uint32_t(clamp8(r)) << 16 | uint32_t(clamp8(g)) << 8 | clamp8(b);
  }
  request_paint();
}

int32_t EditControlX11::get_line_height() const {
  std::lock_guard<std::mutex> lk(state_mutex_);
  return font_ ? font_->get_full_height() : 0;
}

void EditControlX11::set_focus() {
  {
    std::lock_guard<std::mutex> lk(state_mutex_);
    if (!created_) return;
  }
  // Focusing an already focused box does nothing (no re-entry from its set-focus listener).
  if (auto self = weak_from_this().lock()) InputRouter::instance().set_focus(self);
}

bool EditControlX11::create(int32_t x, int32_t y, int32_t w, int32_t h) {
  if (!gui::is_attached()) return false;
  set_topleft(x, y);
  set_size(w, h);
  // After destroy() the size is unchanged but the textures are gone.
  if (!get_texture()) adjust_drawing();
  const bool device = zelContext::is_init() && zelContext::instance().texture_manager;
  if (device && w > 0 && h > 0 && !get_texture()) {
    qar::tracef("zel: no texture for an edit box of %dx%d", w, h);
    return false;
  }
  {
    std::lock_guard<std::mutex> lk(state_mutex_);
    created_ = true;
    sync_measure();
    scroll_to_caret();
  }
  ensure_registered();
  request_paint();
  return true;
}

void EditControlX11::destroy() {
  {
    std::lock_guard<std::mutex> lk(state_mutex_);
    created_ = false;
    focused_ = false;
    selecting_ = false;
  }
  InputRouter::instance().release(this, false);
  free_resources();
}

bool EditControlX11::copy_to_clipboard() const {
  std::u16string t;
  {
    std::lock_guard<std::mutex> lk(state_mutex_);
    if (model_.style() & es_password) return false;
    t = model_.text();
  }
  if (t.empty()) return false;
  Clipboard c;
  return c.paste(t);
}

}  // namespace zel
