#include "zel/render_device.h"

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

#include "qar/trace.h"
#include "zel/context.h"
#include "zel/events.h"
#include "zel/font.h"
#include "zel/il/bitmap_image.h"
#include "zel/il/png_encoder.h"
#include "zel/math/camera.h"
#include "zel/math/primitive.h"
#include "zel/media/playables.h"

namespace zel {

// ---------------------------------------------------------------------------------------------
// Host input

namespace {
std::mutex& input_mutex() {
  static std::mutex m;
  return m;
}
std::shared_ptr<input_handler>& input_slot() {
  static std::shared_ptr<input_handler> h;
  return h;
}
}  // namespace

void set_input_handler(input_handler handler) {
  std::lock_guard<std::mutex> g(input_mutex());
  input_slot() = handler ? std::make_shared<input_handler>(std::move(handler)) : nullptr;
}

static std::shared_ptr<input_filter>& filter_slot() {
  static std::shared_ptr<input_filter> f;
  return f;
}

void set_input_filter(input_filter filter) {
  std::lock_guard<std::mutex> g(input_mutex());
  filter_slot() = filter ? std::make_shared<input_filter>(std::move(filter)) : nullptr;
}

void deliver_input(const zel_event& event) {
  std::shared_ptr<input_handler> h;
  std::shared_ptr<input_filter> f;
  {
    std::lock_guard<std::mutex> g(input_mutex());
    h = input_slot();
    f = filter_slot();
  }
  bool consumed = false;
  if (f) qar::guarded([&] { consumed = (*f)(event); });
  if (consumed) return;
  if (h) qar::guarded([&] { (*h)(event); });
}

// ---------------------------------------------------------------------------------------------
// Texture

Texture::~Texture() = default;

void Texture::finish() {}

bool Texture::set_real_width(uint32_t w) {
  if (int64_t(w) > int64_t(width_)) return false;
  real_width_.store(int32_t(w));
  return true;
}

bool Texture::set_real_height(uint32_t h) {
  if (int64_t(h) > int64_t(height_)) return false;
  real_height_.store(int32_t(h));
  return true;
}

// ---------------------------------------------------------------------------------------------
// TextureManager

TextureManager::~TextureManager() = default;

std::shared_ptr<Texture> TextureManager::create_from_image(const std::u16string& name,
                                                           std::shared_ptr<BitmapImage> image,
                                                           int32_t levels, float factor) {
  if (!image) return nullptr;
  const int32_t w = image->width(), h = image->height();
  const uint32_t type = image->type();
  std::shared_ptr<Texture> t = create(name, w, h, eTextureType(type), 1, 0, levels, factor, 1);
  if (!t && type == bimage_r8g8b8) t = create(name, w, h, tt_x8r8g8b8, 1, 0, levels, factor, 1);
  if (!t) return nullptr;
  qar::Rect r(0, 0, w, h);
  // A texture that could not take the picture is no texture of it.
  if (!t->load_image(image, &r, &r)) return nullptr;
  return t;
}

// ---------------------------------------------------------------------------------------------
// VertexBuffer, EnvIndepDriver

VertexBuffer::VertexBuffer(uint32_t ver_size, uint32_t count, eVertexType type)
    : ver_size_(ver_size), ver_num_(int32_t(count)), type_(type) {}

VertexBuffer::~VertexBuffer() = default;

EnvIndepDriver::~EnvIndepDriver() = default;

// ---------------------------------------------------------------------------------------------
// RenderDevice

RenderDevice::RenderDevice() = default;

// ---------------------------------------------------------------------------------------------
// Frame requests from other threads

struct RenderDevice::frame_request {
  std::function<void()> fn;
  std::mutex mutex;
  std::condition_variable cv;
  bool done = false;
};

namespace {
thread_local std::string t_frame_error;
}  // namespace

RenderDevice::~RenderDevice() {
  // Nobody can wait here any more (a waiter holds the device), but answer what is left anyway.
  std::vector<std::shared_ptr<frame_request>> left;
  {
    std::lock_guard<std::mutex> lk(requests_mutex_);
    left.swap(requests_);
  }
  for (auto& r : left) {
    std::lock_guard<std::mutex> lk(r->mutex);
    r->fn = nullptr;
    r->done = true;
    r->cv.notify_all();
  }
}

std::string RenderDevice::last_frame_error() {
  return t_frame_error;
}

void RenderDevice::set_frame_error(std::string error) {
  t_frame_error = std::move(error);
}

void RenderDevice::set_frame_request_timeout(std::chrono::milliseconds timeout) {
  request_timeout_ms_.store(std::max<int64_t>(0, timeout.count()));
}

std::chrono::milliseconds RenderDevice::frame_request_timeout() const {
  return std::chrono::milliseconds(request_timeout_ms_.load());
}

void RenderDevice::set_context_textures() {
  std::shared_ptr<TextureManager>& tm = zelContext::instance().texture_manager;
  if (tm != textures_) tm = textures_;
}

bool RenderDevice::read_frame_elsewhere(std::shared_ptr<BitmapImage>& img) {
  if (on_drawing_thread()) return false;
  std::string why;
  img.reset();
  if (run_at_frame_end([&] {
        img = read_frame();
        if (!img) why = last_frame_error();
      }))
    set_frame_error(why);
  return true;
}

void RenderDevice::note_drawing_thread() {
  drawing_thread_.store(std::this_thread::get_id());
}

bool RenderDevice::on_drawing_thread() const {
  return drawing_thread_.load() == std::this_thread::get_id();
}

bool RenderDevice::run_at_frame_end(const std::function<void()>& fn) {
  auto req = std::make_shared<frame_request>();
  req->fn = fn;
  {
    std::lock_guard<std::mutex> lk(requests_mutex_);
    requests_.push_back(req);
  }
  const int64_t ms = request_timeout_ms_.load();
  {
    std::unique_lock<std::mutex> lk(req->mutex);
    if (req->cv.wait_for(lk, std::chrono::milliseconds(ms), [&] { return req->done; })) return true;
  }
  // Withdrawn unless the drawing thread has taken it meanwhile: then it runs now, and `fn`
  // (which refers to the caller's frame) must be finished with before this returns.
  {
    std::lock_guard<std::mutex> lk(requests_mutex_);
    auto it = std::find(requests_.begin(), requests_.end(), req);
    if (it != requests_.end()) {
      requests_.erase(it);
      set_frame_error("no frame ended within " + std::to_string(ms) +
                      " ms (the render thread is paused, stopped or not drawing)");
      return false;
    }
  }
  std::unique_lock<std::mutex> lk(req->mutex);
  req->cv.wait(lk, [&] { return req->done; });
  return true;
}

void RenderDevice::run_frame_requests() {
  std::vector<std::shared_ptr<frame_request>> now;
  {
    std::lock_guard<std::mutex> lk(requests_mutex_);
    if (requests_.empty()) return;
    now.swap(requests_);
  }
  for (auto& r : now) {
    if (r->fn) qar::guarded([&] { r->fn(); });
    std::lock_guard<std::mutex> lk(r->mutex);
    r->fn = nullptr;
    r->done = true;
    r->cv.notify_all();
  }
}

std::shared_ptr<VideoSource> RenderDevice::create_video_source(const std::u16string& name) {
  // An unconnected source; its texture comes from the context's texture manager once a video
  // substream is connected. Devices that decode video themselves override this.
  return std::make_shared<VideoSource>(name);
}

qar::Rect RenderDevice::get_device_rect() {
  std::lock_guard<std::mutex> g(rect_mutex_);
  return device_rect_;
}

std::shared_ptr<Font> RenderDevice::select_font(std::shared_ptr<Font> font) {
  std::shared_ptr<Font> old = std::move(font_);
  font_ = std::move(font);
  return old;
}

std::shared_ptr<Color> RenderDevice::set_text_color(std::shared_ptr<Color> color) {
  std::shared_ptr<Color> old = std::move(text_color_);
  text_color_ = std::move(color);
  return old;
}

bool RenderDevice::is_on_scene() {
  return on_scene_;
}

void RenderDevice::adjust(const mat4& m) {
  set_world_mat(m);
  const qar::Rect r = get_view_rect();
  std::lock_guard<std::mutex> g(rect_mutex_);
  device_rect_ = r;
}

void RenderDevice::trans_viewpoint2scene(vec3& v) {
  const qar::Rect view = get_view_rect();
  const float w = float(view.width()), h = float(view.height());
  if (w <= 0 || h <= 0) return;
  mat4 inv;
  invert(inv, get_projection_mat() * get_view_mat() * get_world_mat());
  const float nx = (v.x - float(view.left)) / w * 2.0f - 1.0f;
  const float ny = 1.0f - (v.y - float(view.top)) / h * 2.0f;
  vec4 o;
  mult(o, inv, vec4(nx, ny, v.z, 1.0f));
  if (o.w == 0.0f || !std::isfinite(o.x) || !std::isfinite(o.y) || !std::isfinite(o.z) ||
      !std::isfinite(o.w))
    return;
  v = vec3(o.x / o.w, o.y / o.w, o.z / o.w);
}

std::shared_ptr<Font> RenderDevice::create_font(const logical_font& lf) {
  return text::create_font(*this, textures_, lf);
}

int32_t RenderDevice::get_kerning_pair(char16_t first, char16_t second,
                                       std::shared_ptr<Font> font) const {
  return text::kerning_pair(const_cast<RenderDevice&>(*this), first, second, font ? font : font_);
}

void RenderDevice::render_char(char16_t ch, int32_t x, int32_t y, const Color* color,
                               std::shared_ptr<Font> font) {
  text::render_char(*this, ch, x, y, color, text_color_.get(), font ? font : font_);
}

void RenderDevice::render_text(const char16_t* text, int32_t length, int32_t x, int32_t y,
                               const Color* color, std::shared_ptr<Font> font) {
  if (scene_depth_ < 1) return;
  text::render_text(*this, text, length, x, y, color, text_color_.get(), font ? font : font_);
}

std::pair<int32_t, int32_t> RenderDevice::calc_text(const char16_t* text, int32_t length,
                                                    std::shared_ptr<Font> font) {
  return text::calc_text(text, length, font ? font : font_);
}

void RenderDevice::render_primitive(std::shared_ptr<Primitive> primitive) {
  if (primitive) primitive->render(*this);
}

void RenderDevice::render_poligon(const vec3* begin, const vec3* end, Color* color) {
  if (!begin || !end || end - begin < 2) return;
  const size_t n = size_t(end - begin);
  if (n > (1u << 24)) return;
  if (!poligon_vb_ || size_t(poligon_vb_->get_ver_num()) < n) {
    uint32_t cap = 16;
    while (cap < n) cap *= 2;
    poligon_vb_ = create_vertexbuffer(vt_position | vt_diffuse, cap, 1);
    if (!poligon_vb_) return;
  }
  void* mem = poligon_vb_->lock();
  if (!mem) return;
  const uint32_t c = pack_color(color);
  uint8_t* out = static_cast<uint8_t*>(mem);
  for (size_t i = 0; i < n; ++i, out += 16) {
    std::memcpy(out, &begin[i].x, 4);
    std::memcpy(out + 4, &begin[i].y, 4);
    std::memcpy(out + 8, &begin[i].z, 4);
    std::memcpy(out + 12, &c, 4);
  }
  poligon_vb_->unlock();
  set_texture(0, nullptr);
  set_vertex(0, poligon_vb_);
  render_primitive(zrp_line_strip, 0, int32_t(n - 1));
}

void RenderDevice::draw_2dline(int32_t x1, int32_t y1, int32_t x2, int32_t y2, Color* color) {
  const vec3 pts[2] = {vec3(float(x1), float(y1), 0), vec3(float(x2), float(y2), 0)};
  render_poligon(pts, pts + 2, color);
}

std::shared_ptr<BitmapImage> RenderDevice::read_frame() {
  set_frame_error("this device keeps no frames");
  return nullptr;
}

bool RenderDevice::save_png(const BitmapImage& frame, const std::string& path, int level) {
  if (frame.width() < 1 || frame.height() < 1 || frame.type() != bimage_a8r8g8b8) return false;
  return zel::save_png(path, frame.pixmap(0), frame.width(), frame.height(), frame.line_size(),
                       frame.type(), false,
                       level < 0 ? png_default_compression : std::min(level, 9));
}

bool RenderDevice::save_frame_png(const std::string& path) {
  std::shared_ptr<BitmapImage> frame = read_frame();
  if (!frame) return false;  // read_frame said why
  if (!save_png(*frame, path)) {
    set_frame_error("cannot write '" + path + "'");
    return false;
  }
  set_frame_error(std::string());
  return true;
}

void RenderDevice::render_text(const std::u16string& text, int32_t x, int32_t y, const Color* color,
                               std::shared_ptr<Font> font) {
  if (text.empty()) return;
  render_text(text.data(), int32_t(text.size()), x, y, color, std::move(font));
}

std::pair<int32_t, int32_t> RenderDevice::calc_text(const std::u16string& text,
                                                    std::shared_ptr<Font> font) {
  if (text.empty()) return {0, 0};
  return calc_text(text.data(), int32_t(text.size()), std::move(font));
}

// ---------------------------------------------------------------------------------------------
// render_target

render_target::render_target(RenderDevice& device, std::shared_ptr<Texture> texture, int32_t x,
                             int32_t y)
    : device_(device), world_(device.get_world_mat()) {
  device_.save_render_target();
  device_.set_render_target(texture);
  if (!texture) return;
  // World: flip y and z, with the target's top-left at scene (x, y).
  mat4 flip;
  flip(1, 1) = -1.0f;
  flip(2, 2) = -1.0f;
  mat4 move;
  move(0, 3) = -float(x);
  move(1, 3) = -float(y) - float(texture->height());
  device_.set_world_mat(flip * move);
  camera_ = Camera::create_camera(u"RTarg");
  camera_->point_at(vec3(0, 0, 1), vec3(0, 1, 0));
  camera_->ortho(0, float(texture->width()), 0, float(texture->height()), -800, 800);
  device_.set_projection_mat(camera_->get_project());
  device_.set_view_mat(camera_->get_view());
}

render_target::~render_target() {
  qar::guarded([&] {
    device_.restore_render_target();
    Camera::destroy_camera(u"RTarg");
    device_.set_world_mat(world_);
  });
}

}  // namespace zel
