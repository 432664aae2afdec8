#include "zel/rich_format/rf_facet.h"

#include <algorithm>
#include <vector>

#include "qar/stream.h"
#include "qar/trace.h"
#include "zel/context.h"
#include "zel/controls/clipboard.h"
#include "zel/events.h"
#include "zel/html/html_parser.h"
#include "zel/render_device.h"
#include "zel/render_mng.h"
#include "zel/rich_format/rf_parser.h"
#include "zel/rich_format/rf_ptparser.h"

namespace zel {

namespace {

std::shared_ptr<RenderDevice> current_device() {
  return zelContext::instance().device;
}

// The thread that draws: the render manager's thread while its loop runs; otherwise (frames
// drawn by hand) the thread inside a scene of the device.
bool on_render_thread(RenderDevice* device) {
  RenderMng* m = zelContext::instance().render_mng;
  if (m && m->is_running()) return m->is_render_thread();
  return device && device->is_on_scene();
}

}  // namespace

rfFacet::rfFacet(const char16_t* name) : document_(std::make_shared<rf::DocumentCell>()) {
  scrolling<0>::set_scroll_lock(&lock_);
  scrolling<1>::set_scroll_lock(&lock_);
  if (name && *name) set_name(name);
  register_updatable();
}

rfFacet::~rfFacet() {
  unregister_updatable();
}

void rfFacet::replace_document(std::shared_ptr<rf::DocumentCell> doc, std::u16string location) {
  std::lock_guard<std::recursive_mutex> g(lock_);
  std::shared_ptr<rf::Style> style = document_->get_style(u"default");
  if (!doc) {
    doc = std::make_shared<rf::DocumentCell>();
    if (style) doc->register_style(u"default", std::make_shared<rf::Style>(*style));
  }
  document_ = std::move(doc);
  location_ = std::move(location);
  empty_ = document_->text().find_first_not_of(u" \n\t\r") == std::u16string::npos;
  pending_anchor_.clear();
  rendered_ = false;
  range_height_ = -1;
  scrolling<1>::info_ = scroll_info();
  scrolling<0>::info_ = scroll_info();
}

void rfFacet::open_document(std::shared_ptr<rf::DocumentCell> doc, std::u16string location) {
  replace_document(std::move(doc), std::move(location));
}

bool rfFacet::open_with(rf::rf_parser& parser, std::shared_ptr<qar::Stream> stream) {
  std::u16string location = stream ? stream->location() : std::u16string();
  parser.set_source(stream);
  parser.set_style(get_style());
  const bool ok = parser.open();
  // A failed read still shows what was read before the failure.
  std::shared_ptr<rf::DocumentCell> doc = parser.get_document();
  replace_document(doc, std::move(location));
  return ok && doc;
}

bool rfFacet::open(std::shared_ptr<qar::Stream> stream) {
  html::html_parser parser;
  return open_with(parser, std::move(stream));
}

bool rfFacet::open_text(std::shared_ptr<qar::Stream> stream) {
  rf::rf_ptparser parser;
  return open_with(parser, std::move(stream));
}

bool rfFacet::open(const char16_t* text, int32_t flag) {
  if (!text || !*text) {
    open_document(nullptr);
    return false;
  }
  std::vector<uint8_t> bytes;
  if (flag == 0) {
    // UTF-16LE with its mark: the plain-text parser reads it as it stands.
    bytes = {0xff, 0xfe};
    for (const char16_t* p = text; *p; ++p) {
      bytes.push_back(uint8_t(*p & 0xff));
      bytes.push_back(uint8_t(*p >> 8));
    }
    return open_text(std::make_shared<qar::MemoryStream>(std::move(bytes)));
  }
  // UTF-8 with its mark for the HTML reader (an unpaired surrogate becomes U+FFFD).
  bytes = {0xef, 0xbb, 0xbf};
  for (const char16_t* p = text; *p; ++p) {
    uint32_t c = *p;
    if (c >= 0xd800 && c < 0xdc00 && p[1] >= 0xdc00 && p[1] < 0xe000) {
      c = 0x10000 + ((c - 0xd800) << 10) + (p[1] - 0xdc00);
      ++p;
    } else if (c >= 0xd800 && c < 0xe000) {
      c = 0xfffd;
    }
    if (c < 0x80) {
      bytes.push_back(uint8_t(c));
    } else if (c < 0x800) {
      bytes.push_back(uint8_t(0xc0 | (c >> 6)));
      bytes.push_back(uint8_t(0x80 | (c & 0x3f)));
    } else if (c < 0x10000) {
      bytes.push_back(uint8_t(0xe0 | (c >> 12)));
      bytes.push_back(uint8_t(0x80 | ((c >> 6) & 0x3f)));
      bytes.push_back(uint8_t(0x80 | (c & 0x3f)));
    } else {
      bytes.push_back(uint8_t(0xf0 | (c >> 18)));
      bytes.push_back(uint8_t(0x80 | ((c >> 12) & 0x3f)));
      bytes.push_back(uint8_t(0x80 | ((c >> 6) & 0x3f)));
      bytes.push_back(uint8_t(0x80 | (c & 0x3f)));
    }
  }
  return open(std::make_shared<qar::MemoryStream>(std::move(bytes)));
}

std::shared_ptr<rf::Style> rfFacet::get_style() const {
  std::lock_guard<std::recursive_mutex> g(lock_);
  return document_->get_style(u"default");
}

void rfFacet::set_style(std::shared_ptr<rf::Style> style) {
  if (!style) return;
  std::lock_guard<std::recursive_mutex> g(lock_);
  document_->register_style(u"default", std::move(style));
  rendered_ = false;
}

std::shared_ptr<rf::DocumentCell> rfFacet::document() const {
  std::lock_guard<std::recursive_mutex> g(lock_);
  return document_;
}

std::u16string rfFacet::location() const {
  std::lock_guard<std::recursive_mutex> g(lock_);
  return location_;
}

bool rfFacet::is_rendered() const {
  std::lock_guard<std::recursive_mutex> g(lock_);
  return rendered_;
}

int32_t rfFacet::texture_mode() const {
  std::lock_guard<std::recursive_mutex> g(lock_);
  return texture_mode_;
}

void rfFacet::scroll_range_locked(int32_t h) {
  scroll_info& v = scrolling<1>::info_;
  v.min = 0;
  v.track_value = 0;
  if (document_->height() > h && document_->line_count() > 0) {
    v.max = document_->last_first_line(h);
    v.page = 1;
  } else {
    v.max = 0;
    v.page = 0;
  }
  v.pos = std::max(0, std::min(v.pos, v.max));
  range_height_ = h;
}

void rfFacet::layout_locked(RenderDevice* device, int32_t w, int32_t h) {
  if (w <= 0) return;
  if (document_->stamp() != w) {
    document_->layout_document(w, device);
    scrolling<1>::info_.pos = 0;
    scroll_range_locked(h);
    if (!pending_anchor_.empty()) {
      std::u16string name;
      name.swap(pending_anchor_);
      jump_locked(name);
    }
    rendered_ = false;
  } else if (range_height_ != h) {
    scroll_range_locked(h);
    rendered_ = false;
  }
  texture_mode_ = (document_->height() < 1 || w <= 0 || h <= 0) ? 0 : 1;
}

int32_t rfFacet::scroll_top_locked() const {
  const rf::line_entry* l = document_->line_at(scrolling<1>::info_.pos);
  return l ? l->top : 0;
}

void rfFacet::update(uint64_t) {
  std::shared_ptr<RenderDevice> device = current_device();
  const int32_t w = get_width(), h = get_height();
  if (!on_render_thread(device.get())) {
    // Another thread (a size asked for): lay out only.
    std::lock_guard<std::recursive_mutex> g(lock_);
    if (!empty_) layout_locked(device.get(), w, h);
    return;
  }
  if (!device) return;
  std::lock_guard<std::recursive_mutex> g(lock_);
  if (device->is_lost()) {
    if (!fonts_dropped_) document_->layout_notify(rf::drop_device);
    fonts_dropped_ = true;
    rendered_ = false;
    return;
  }
  fonts_dropped_ = false;
  layout_locked(device.get(), w, h);
  if (texture_mode_ != 1 || !get_visible() || rendered_ || h <= 0) return;
  if (!texture_ || texture_size_ != std::make_pair(w, h)) {
    texture_.reset();
    texture_size_ = {w, h};
    if (auto tm = device->texture_manager())
      texture_ = tm->create(u"rfFacet", w, h, tt_a8r8g8b8, 1, 1, 1, 1.0f, 0);
    if (!texture_) {
      texture_mode_ = 0;
      return;
    }
  }
  std::shared_ptr<rf::Style> style = document_->get_style(u"default");
  const uint32_t back = (style ? *style : rf::Style::engine_default()).back_colour().packed();
  {
    render_target target(*device, texture_, 0, 0);
    rf::fill_rect(*device, 0, 0, w, h, back);
    document_->render_document(*device, 0, -scroll_top_locked(), 0, 0, w, h);
  }
  put_texture(texture_, false);
  rendered_ = true;
}

void rfFacet::render(RenderDevice& device) {
  int32_t mode;
  {
    std::lock_guard<std::recursive_mutex> g(lock_);
    mode = texture_mode_;
  }
  if (mode == 1) {
    Facet::render(device);
    return;
  }
  const int32_t w = get_width(), h = get_height();
  if (!get_visible() || w <= 0 || h <= 0) return;
  std::lock_guard<std::recursive_mutex> g(lock_);
  if (empty_ || document_->stamp() != w) return;
  const int32_t left = get_left(), top = get_top();
  std::shared_ptr<rf::Style> style = document_->get_style(u"default");
  rf::fill_rect(device, left, top, w, h,
                (style ? *style : rf::Style::engine_default()).back_colour().packed());
  document_->render_document(device, left, top - scroll_top_locked(), left, top, left + w, top + h);
}

void rfFacet::on_notification(const notification_event* ev) {
  Facet::on_notification(ev);
  if (!ev || ev->code() != notification_device_lost) return;
  std::lock_guard<std::recursive_mutex> g(lock_);
  document_->layout_notify(rf::drop_device);
  texture_.reset();
  texture_size_ = {0, 0};
  rendered_ = false;
}

bool rfFacet::copy_to_clipboard() const {
  std::shared_ptr<rf::DocumentCell> doc = document();
  if (!doc) return false;
  Clipboard clipboard(true);
  if (!clipboard) return false;
  clipboard.erase();
  return doc->copy_to_clipboard(clipboard);
}

int32_t rfFacet::get_media_width() {
  std::shared_ptr<RenderDevice> device = current_device();
  const int32_t w = get_width(), h = get_height();
  std::lock_guard<std::recursive_mutex> g(lock_);
  if (empty_) return 0;
  layout_locked(device.get(), w, h);
  return document_->content_width();
}

int32_t rfFacet::get_media_height() {
  std::shared_ptr<RenderDevice> device = current_device();
  const int32_t w = get_width(), h = get_height();
  std::lock_guard<std::recursive_mutex> g(lock_);
  if (empty_) return 0;
  layout_locked(device.get(), w, h);
  return document_->height();
}

bool rfFacet::jump_locked(const std::u16string& name) {
  rf::Cell* anchor = document_->find(rf::Cell::find_anchor, name);
  if (!anchor) return false;
  if (document_->stamp() < 0 || document_->stamp() != get_width()) {
    pending_anchor_ = name;  // made right after the next layout
    return true;
  }
  const int32_t line = document_->line_of_cell(anchor);
  scrolling<1>::on_do_scroll(static_cast<scrolling<1>*>(this), scroll_info::go_to, line);
  rendered_ = false;
  return true;
}

bool rfFacet::goto_anchor(const char16_t* name) {
  if (!name || !*name) return false;
  std::lock_guard<std::recursive_mutex> g(lock_);
  return jump_locked(name);
}

rf::LinkInfo* rfFacet::get_link_info(int32_t x, int32_t y) {
  std::lock_guard<std::recursive_mutex> g(lock_);
  if (document_->line_count() == 0) return nullptr;
  rf::Cell* cell = document_->hit_test(x, int32_t(int64_t(y) + scroll_top_locked()), 1);
  if (!cell) return nullptr;
  return cell->link().get();
}

const char16_t* rfFacet::get_link(int32_t x, int32_t y) {
  rf::LinkInfo* l = get_link_info(x, y);
  return l ? l->href().c_str() : nullptr;
}

bool rfFacet::on_click(int32_t x, int32_t y) {
  std::lock_guard<std::recursive_mutex> g(lock_);
  rf::LinkInfo* l = get_link_info(x, y);
  if (!l) return false;
  const std::u16string& href = l->href();
  const size_t hash = href.find(u'#');
  if (hash == std::u16string::npos) return false;
  if (hash != 0 && href.compare(0, hash, location_) != 0) return false;
  return jump_locked(href.substr(hash + 1));
}

void rfFacet::name(const char16_t* n) {
  set_name(n ? n : u"");
}

void rfFacet::slice_tail(const char16_t* tail) {
  std::lock_guard<std::recursive_mutex> g(lock_);
  document_->set_slice_tail(tail ? tail : u"");
}

void rfFacet::use_slice_tail(bool use) {
  std::lock_guard<std::recursive_mutex> g(lock_);
  document_->set_use_slice_tail(use);
}

bool rfFacet::on_do_scroll(scrollable* source, int32_t message, int32_t value) {
  std::lock_guard<std::recursive_mutex> g(lock_);
  scrolling<1>* v = this;
  if (source != v || (message != scroll_info::page_back && message != scroll_info::page_forward))
    return source == static_cast<scrolling<0>*>(this)
               ? scrolling<0>::on_do_scroll(source, message, value)
               : scrolling<1>::on_do_scroll(source, message, value);
  // A page is the facet's height (times the value, at least 1), turned into lines: forward, the
  // line cut by the bottom edge comes to the top; back, the line the top edge was at goes to
  // the bottom. Always at least one line unless at the limit.
  if (document_->line_count() == 0) return false;
  const int64_t pages = std::max(1, value);
  const int64_t h = std::max(1, get_height());
  const int32_t pos = scrolling<1>::info_.pos;
  const int64_t top = scroll_top_locked();
  int32_t to;
  if (message == scroll_info::page_forward) {
    to = document_->line_at_y(top + h * pages);
    const rf::line_entry* l = document_->line_at(to);
    if (l && int64_t(l->top) + l->height <= top + h * pages && to + 1 < document_->line_count())
      ++to;  // the edge falls between lines: the next line is the first hidden one
    to = std::max(to, pos + 1);
  } else {
    to = document_->line_at_y(top - h * pages);
    const rf::line_entry* l = document_->line_at(to);
    if (l && l->top < top - h * pages) ++to;  // keep the cut line off the page
    to = std::min(to, pos - 1);
  }
  return scrolling<1>::move_to(source, message, to);
}

void rfFacet::notify(scrollable* source, int32_t, int32_t, int32_t) {
  std::lock_guard<std::recursive_mutex> g(lock_);
  if (source == static_cast<scrolling<1>*>(this) || source == static_cast<scrolling<0>*>(this))
    rendered_ = false;
}

void rfFacet::on_size_change() {
  Facet::on_size_change();
  std::lock_guard<std::recursive_mutex> g(lock_);
  rendered_ = false;
  document_->layout_notify(rf::width_changed);
  texture_.reset();
  put_texture(nullptr, false);
}

}  // namespace zel
