// The clipboard: sessions, content building, conversions and the process-local store.
#include "zel/controls/clipboard.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "qar/string.h"
#include "qar/trace.h"
#include "zel/il/png_encoder.h"
#include "zel/pixel_format.h"

namespace zel {
namespace clip {

const Item* Content::find(const std::string& target) const {
  for (const auto& i : items)
    if (i.first == target) return &i.second;
  return nullptr;
}

namespace {

// The clipboard of a process that has no X server: data lives here until replaced.
class LocalBackend : public Backend {
 public:
  bool publish(std::shared_ptr<const Content> content) override {
    std::lock_guard<std::mutex> g(m_);
    content_ = std::move(content);
    return true;
  }
  std::shared_ptr<const Content> owned() override {
    std::lock_guard<std::mutex> g(m_);
    return content_;
  }
  // The local clipboard is always owned by this process once something was put on it.
  ReadStatus read(const std::string&, Item&, std::chrono::steady_clock::time_point) override {
    return ReadStatus::refused;
  }

 private:
  std::mutex m_;
  std::shared_ptr<const Content> content_;
};

std::mutex g_backend_mutex;
std::shared_ptr<Backend> g_backend;
std::atomic<int64_t> g_timeout_ms{2000};

std::shared_ptr<Backend> backend() {
  std::lock_guard<std::mutex> g(g_backend_mutex);
  if (g_backend && !g_backend->alive()) g_backend.reset();
  if (!g_backend) {
    const char* display = std::getenv("DISPLAY");
    if (display && *display) {
      std::unique_ptr<Backend> x = make_x11_backend(display);
      if (x)
        g_backend = std::move(x);
      else
        qar::tracef("clipboard: cannot connect to X display \"%s\"; using a local clipboard",
                    display);
    }
    if (!g_backend) g_backend = std::make_shared<LocalBackend>();
  }
  return g_backend;
}

// Targets of each kind of data; a paste replaces all targets of its kind.
const char* const kTextTargets[] = {"UTF8_STRING", "text/plain;charset=utf-8", "STRING", "TEXT"};
const char* const kHtmlTargets[] = {"text/html", "HTML Format"};
const char* const kImageTargets[] = {"image/png", "image/bmp"};

template <size_t N>
bool in(const char* const (&list)[N], const std::string& s) {
  for (const char* t : list)
    if (s == t) return true;
  return false;
}

// Pixel layout of the picture formats accepted.
struct PixelLayout {
  int bits;
  bool alpha;
  bool bitfields;
  uint32_t masks[3];
};

bool pixel_layout(uint32_t format, PixelLayout& out) {
  switch (format) {
    case bimage_x1r5g5b5:
      out = {16, false, true, {0x7C00, 0x03E0, 0x001F}};
      return true;
    case bimage_a1r5g5b5:
      out = {16, true, true, {0x7C00, 0x03E0, 0x001F}};
      return true;
    case bimage_r5g6b5:
      out = {16, false, true, {0xF800, 0x07E0, 0x001F}};
      return true;
    case bimage_r8g8b8:
      out = {24, false, false, {0, 0, 0}};
      return true;
    case bimage_x8r8g8b8:
      out = {32, false, true, {0xFF0000, 0x00FF00, 0x0000FF}};
      return true;
    case bimage_a8r8g8b8:
      out = {32, true, true, {0xFF0000, 0x00FF00, 0x0000FF}};
      return true;
    default:
      return false;
  }
}

// Largest picture accepted: 256 M pixels of 4 bytes.
constexpr uint64_t kMaxPixels = uint64_t(1) << 28;

// Checks the geometry of a picture; gives the bytes of one row's pixels.
bool check_geometry(const void* pixels, int32_t width, int32_t height, int32_t pitch,
                    const PixelLayout& layout, size_t& row_bytes) {
  if (!pixels || width <= 0 || height <= 0 || pitch <= 0) return false;
  if (uint64_t(width) * uint64_t(height) > kMaxPixels) return false;
  uint64_t row = uint64_t(width) * uint64_t(layout.bits / 8);
  if (uint64_t(pitch) < row) return false;
  row_bytes = size_t(row);
  return true;
}

void put_u16(std::string& s, size_t at, uint32_t v) {
  s[at] = char(v & 0xFF);
  s[at + 1] = char((v >> 8) & 0xFF);
}
void put_u32(std::string& s, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) s[at + i] = char((v >> (8 * i)) & 0xFF);
}

// The text as Latin-1 bytes; characters outside Latin-1 become '?'.
std::string to_latin1(const char16_t* text, size_t n) {
  std::string out;
  out.reserve(n);
  for (size_t i = 0; i < n; ++i) {
    char16_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < n && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF)
      ++i;  // a surrogate pair is one character
    out.push_back(c <= 0xFF ? char(c) : '?');
  }
  return out;
}

std::u16string from_latin1(const std::string& s) {
  std::u16string out;
  out.reserve(s.size());
  for (unsigned char c : s) out.push_back(char16_t(c));
  return out;
}

bool all_latin1(const char16_t* text, size_t n) {
  for (size_t i = 0; i < n; ++i)
    if (text[i] > 0xFF) return false;
  return true;
}

}  // namespace

std::string wrap_html(const std::string& html) {
  static const char kHeader[] =
      "Version:0.9\r\nStartHTML:00000000\r\nEndHTML:00000000\r\n"
      "StartFragment:00000000\r\nEndFragment:00000000\r\n<!--StartFragment-->";
  const std::string header = kHeader;
  const size_t html_at = html.find("<html>");
  const bool has_html = html_at != std::string::npos;
  std::string out = header;
  if (!has_html) out += "<html><body>\r\n";
  const size_t text_at = out.size();
  out += html;
  // Offsets come from where the pieces were put, so that markers inside the text itself
  // cannot move them.
  const size_t end_fragment = out.size();
  out += "<!--EndFragment-->\r\n";
  if (!has_html) out += "</body>\r\n</html>";
  const size_t start_html = has_html ? text_at + html_at : header.size();
  const size_t start_fragment = header.size() - std::strlen("<!--StartFragment-->");
  if (out.size() > 99999999) return std::string();  // does not fit the 8-digit fields
  auto set_field = [&](const char* name, size_t value) {
    size_t at = out.find(name) + std::strlen(name);
    char digits[16];
    std::snprintf(digits, sizeof digits, "%08u", unsigned(value));
    out.replace(at, 8, digits, 8);
  };
  set_field("StartHTML:", start_html);
  set_field("EndHTML:", out.size());
  set_field("StartFragment:", start_fragment);
  set_field("EndFragment:", end_fragment);
  return out;
}

std::string encode_png(const void* pixels, int32_t width, int32_t height, int32_t pitch,
                       uint32_t format) {
  PixelLayout layout;
  size_t row_bytes = 0;
  std::string out;
  if (!pixel_layout(format, layout) ||
      !check_geometry(pixels, width, height, pitch, layout, row_bytes) ||
      !zel::encode_png(out, pixels, width, height, pitch, format, layout.alpha, 3))
    return std::string();
  return out;
}

std::string encode_bmp(const void* pixels, int32_t width, int32_t height, int32_t pitch,
                       uint32_t format) {
  PixelLayout layout;
  size_t row_bytes = 0;
  if (!pixel_layout(format, layout) ||
      !check_geometry(pixels, width, height, pitch, layout, row_bytes))
    return std::string();
  // BMP rows are padded to 4 bytes whatever the source's pitch is.
  const size_t stride = (row_bytes + 3) & ~size_t(3);
  const size_t image_size = stride * size_t(height);
  const size_t offset = 14 + 40 + (layout.bitfields ? 12 : 0);
  std::string out(offset + image_size, '\0');
  out[0] = 'B';
  out[1] = 'M';
  put_u32(out, 2, uint32_t(out.size()));
  put_u32(out, 10, uint32_t(offset));
  put_u32(out, 14, 40);
  put_u32(out, 18, uint32_t(width));
  put_u32(out, 22, uint32_t(height));  // positive: rows bottom-up
  put_u16(out, 26, 1);
  put_u16(out, 28, uint32_t(layout.bits));
  put_u32(out, 30, layout.bitfields ? 3 : 0);
  put_u32(out, 34, uint32_t(image_size));
  if (layout.bitfields)
    for (int i = 0; i < 3; ++i) put_u32(out, 54 + 4 * size_t(i), layout.masks[i]);
  const auto* src = static_cast<const uint8_t*>(pixels);
  for (int32_t y = 0; y < height; ++y) {
    const uint8_t* row = src + size_t(height - 1 - y) * size_t(pitch);
    std::memcpy(&out[offset + size_t(y) * stride], row, row_bytes);
  }
  return out;
}

}  // namespace clip

// ---------------------------------------------------------------------------------------------
// Sessions

namespace {

// The process's one clipboard session: which thread holds it, and the session itself.
struct SessionToken {
  std::mutex m;
  std::condition_variable cv;
  bool busy = false;
  std::thread::id holder;
  std::weak_ptr<Clipboard::Session> current;
};

SessionToken& token() {
  static SessionToken* t = new SessionToken;  // never destroyed: sessions may outlive statics
  return *t;
}

}  // namespace

class Clipboard::Session {
 public:
  Session() = default;
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;
  ~Session() {
    SessionToken& t = token();
    {
      std::lock_guard<std::mutex> g(t.m);
      t.busy = false;
      t.holder = std::thread::id();
    }
    t.cv.notify_all();
  }
};

Clipboard::Clipboard(bool open_now) {
  if (open_now) open();
}

Clipboard::Clipboard(const Clipboard& other) = default;
Clipboard& Clipboard::operator=(const Clipboard& other) = default;

Clipboard::~Clipboard() {
  close();
}

bool Clipboard::open() {
  if (session_) return true;
  try {
    SessionToken& t = token();
    std::unique_lock<std::mutex> lock(t.m);
    if (t.busy && t.holder == std::this_thread::get_id()) {
      session_ = t.current.lock();
      if (session_) return true;
    }
    auto deadline = std::chrono::steady_clock::now() + timeout();
    if (!t.cv.wait_until(lock, deadline, [&] { return !t.busy; })) return false;
    auto s = std::make_shared<Session>();
    t.busy = true;
    t.holder = std::this_thread::get_id();
    t.current = s;
    session_ = std::move(s);
    return true;
  } catch (const std::exception& e) {
    QAR_TRACE_CATCH(e);
  } catch (...) {
  }
  return false;
}

void Clipboard::close() {
  session_.reset();
}

namespace {

// Opens the clipboard for the length of one call unless it is open already.
class CallScope {
 public:
  explicit CallScope(Clipboard& c) : c_(c), opened_(!c) {
    if (opened_) c_.open();
  }
  ~CallScope() {
    if (opened_) c_.close();
  }
  explicit operator bool() const { return bool(c_); }

 private:
  Clipboard& c_;
  bool opened_;
};

// Replaces the targets of one kind in what this process owns (or in an empty content when
// another program owns the clipboard) and publishes the result.
template <size_t N>
bool put(const char* const (&kind)[N], std::vector<std::pair<std::string, clip::Item>> items) {
  std::shared_ptr<clip::Backend> b = clip::backend();
  auto content = std::make_shared<clip::Content>();
  if (std::shared_ptr<const clip::Content> old = b->owned()) {
    for (const auto& i : old->items)
      if (!clip::in(kind, i.first)) content->items.push_back(i);
  }
  for (auto& i : items) content->items.push_back(std::move(i));
  return b->publish(std::move(content));
}

// Reads one target from whoever owns the clipboard.
clip::ReadStatus read_target(const std::string& target, clip::Item& out,
                             std::chrono::steady_clock::time_point deadline) {
  std::shared_ptr<clip::Backend> b = clip::backend();
  if (std::shared_ptr<const clip::Content> own = b->owned()) {
    if (target == "TARGETS") {
      out.type = "ATOM";
      out.bytes = "TARGETS\nTIMESTAMP";
      for (const auto& i : own->items) out.bytes += "\n" + i.first;
      return clip::ReadStatus::ok;
    }
    const clip::Item* i = own->find(target);
    if (!i) return clip::ReadStatus::refused;
    out = *i;
    return clip::ReadStatus::ok;
  }
  return b->read(target, out, deadline);
}

// Text up to its first zero character.
void cut_at_zero(std::u16string& s) {
  size_t z = s.find(char16_t(0));
  if (z != std::u16string::npos) s.resize(z);
}

}  // namespace

void Clipboard::erase() {
  try {
    CallScope scope(*this);
    if (!scope) return;
    clip::backend()->publish(std::make_shared<clip::Content>());
  } catch (const std::exception& e) {
    QAR_TRACE_CATCH(e);
  } catch (...) {
  }
}

bool Clipboard::paste(const char16_t* text, int32_t length) {
  if (!text || length == 0 || length < -1) return false;
  try {
    size_t n = 0;
    if (length == -1)
      n = qar::u16len(text);
    else
      while (n < size_t(length) && text[n] != 0) ++n;
    if (n == 0) return false;
    std::string utf8 = qar::intenal::ucs2_2_utf8(text, n);
    std::string latin1 = clip::to_latin1(text, n);
    const bool latin = clip::all_latin1(text, n);
    std::vector<std::pair<std::string, clip::Item>> items;
    items.push_back({"UTF8_STRING", {"UTF8_STRING", utf8}});
    items.push_back({"text/plain;charset=utf-8", {"text/plain;charset=utf-8", utf8}});
    items.push_back({"STRING", {"STRING", latin1}});
    items.push_back(
        {"TEXT", latin ? clip::Item{"STRING", latin1} : clip::Item{"UTF8_STRING", utf8}});
    CallScope scope(*this);
    if (!scope) return false;
    return put(clip::kTextTargets, std::move(items));
  } catch (const std::exception& e) {
    QAR_TRACE_CATCH(e);
  } catch (...) {
  }
  return false;
}

bool Clipboard::paste(const std::u16string& text) {
  if (text.size() > size_t(INT32_MAX)) return false;
  return paste(text.c_str(), int32_t(text.size()));
}

bool Clipboard::paste_html(const char* html, int32_t length) {
  if (!html || length == 0 || length < -1) return false;
  try {
    size_t n = 0;
    if (length == -1)
      n = std::strlen(html);
    else
      while (n < size_t(length) && html[n] != 0) ++n;
    if (n == 0) return false;
    std::string text(html, n);
    std::string wrapped = clip::wrap_html(text);
    if (wrapped.empty()) return false;
    std::vector<std::pair<std::string, clip::Item>> items;
    items.push_back({"text/html", {"text/html", std::move(text)}});
    items.push_back({"HTML Format", {"HTML Format", std::move(wrapped)}});
    CallScope scope(*this);
    if (!scope) return false;
    return put(clip::kHtmlTargets, std::move(items));
  } catch (const std::exception& e) {
    QAR_TRACE_CATCH(e);
  } catch (...) {
  }
  return false;
}

bool Clipboard::paste_img(const void* pixels, int32_t width, int32_t height, int32_t pitch,
                          uint32_t format) {
  try {
    std::string png = clip::encode_png(pixels, width, height, pitch, format);
    if (png.empty()) return false;
    std::string bmp = clip::encode_bmp(pixels, width, height, pitch, format);
    if (bmp.empty()) return false;
    std::vector<std::pair<std::string, clip::Item>> items;
    items.push_back({"image/png", {"image/png", std::move(png)}});
    items.push_back({"image/bmp", {"image/bmp", std::move(bmp)}});
    CallScope scope(*this);
    if (!scope) return false;
    return put(clip::kImageTargets, std::move(items));
  } catch (const std::exception& e) {
    QAR_TRACE_CATCH(e);
  } catch (...) {
  }
  return false;
}

bool Clipboard::get(char16_t* buffer, int32_t size) {
  if (!buffer || size < 0) return false;
  std::u16string text;
  if (!get(text)) return false;
  const size_t n = std::min(text.size(), size_t(size));
  std::copy(text.begin(), text.begin() + std::ptrdiff_t(n), buffer);
  std::fill(buffer + n, buffer + size, char16_t(0));
  return true;
}

bool Clipboard::get(std::u16string& text) {
  return get(text, timeout());
}

bool Clipboard::get(std::u16string& text, std::chrono::milliseconds wait) {
  try {
    CallScope scope(*this);
    if (!scope) return false;
    auto deadline = std::chrono::steady_clock::now() + wait;
    for (const char* target : clip::kTextTargets) {
      clip::Item item;
      clip::ReadStatus st = read_target(target, item, deadline);
      if (st == clip::ReadStatus::ok) {
        if (item.type == "STRING")
          text = clip::from_latin1(item.bytes);
        else
          text = qar::intenal::utf8_2_ucs2(item.bytes);
        cut_at_zero(text);
        return true;
      }
      if (st != clip::ReadStatus::refused) return false;
    }
  } catch (const std::exception& e) {
    QAR_TRACE_CATCH(e);
  } catch (...) {
  }
  return false;
}

bool Clipboard::get_html(std::string& html) {
  return get_data("text/html", html);
}

bool Clipboard::get_data(const std::string& target, std::string& bytes) {
  if (target.empty()) return false;
  try {
    CallScope scope(*this);
    if (!scope) return false;
    clip::Item item;
    if (read_target(target, item, std::chrono::steady_clock::now() + timeout()) !=
        clip::ReadStatus::ok)
      return false;
    bytes = std::move(item.bytes);
    return true;
  } catch (const std::exception& e) {
    QAR_TRACE_CATCH(e);
  } catch (...) {
  }
  return false;
}

bool Clipboard::get_targets(std::vector<std::string>& targets) {
  std::string names;
  if (!get_data("TARGETS", names)) return false;
  try {
    targets.clear();
    size_t at = 0;
    while (at <= names.size()) {
      size_t nl = names.find('\n', at);
      if (nl == std::string::npos) nl = names.size();
      if (nl > at) targets.push_back(names.substr(at, nl - at));
      at = nl + 1;
    }
    return true;
  } catch (const std::exception& e) {
    QAR_TRACE_CATCH(e);
  } catch (...) {
  }
  return false;
}

void Clipboard::set_timeout(std::chrono::milliseconds t) {
  clip::g_timeout_ms.store(std::max<int64_t>(0, t.count()));
}

std::chrono::milliseconds Clipboard::timeout() {
  return std::chrono::milliseconds(clip::g_timeout_ms.load());
}

void Clipboard::shutdown() {
  std::shared_ptr<clip::Backend> old;
  {
    std::lock_guard<std::mutex> g(clip::g_backend_mutex);
    old = std::move(clip::g_backend);
    clip::g_backend.reset();
  }
  if (old) old->stop();
  old.reset();  // outside the lock: stopping the X thread may take a moment
}

bool Clipboard::is_system() {
  try {
    return dynamic_cast<clip::LocalBackend*>(clip::backend().get()) == nullptr;
  } catch (...) {
  }
  return false;
}

}  // namespace zel
