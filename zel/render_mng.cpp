#include "zel/render_mng.h"

#include <algorithm>
#include <stdexcept>

#include "qar/trace.h"
#include "zel/context.h"
#include "zel/events.h"
#include "zel/facet.h"
#include "zel/layer.h"
#include "zel/math/camera.h"
#include "zel/renderable.h"

namespace zel {

namespace {

constexpr uint64_t media_second = 10000000;  // the engine clock counts 100 ns units

int64_t steady_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

RenderMng::RenderMng(std::u16string device_name)
    : qar::ThreadOfControl("RenderMng"), device_name_(std::move(device_name)) {
  zelContext::instance().render_mng = this;
  default_camera_ = Camera::create_camera(u"Default camera");
  camera_ = default_camera_;
}

RenderMng::~RenderMng() {
  if (zelContext::is_init()) {
    zelContext& ctx = zelContext::instance();
    if (ctx.render_mng == this) ctx.render_mng = nullptr;
    ctx.device.reset();
    ctx.texture_manager.reset();
    ctx.env_driver.reset();
  }
  device_name_.clear();
}

// ---- device ----

std::shared_ptr<RenderDevice> RenderMng::create_device(std::u16string& name) {
  std::shared_ptr<RenderDevice> dev = ZEL_createDevice(name, zelContext::instance());
  if (dev && !dev->init()) {
    qar::tracef("RenderMng: the device could not acquire its graphics system");
    dev.reset();
  }
  std::lock_guard<std::mutex> lk(mutex_);
  device_ = dev;
  return dev;
}

std::shared_ptr<RenderDevice> RenderMng::get_device() const {
  std::lock_guard<std::mutex> lk(mutex_);
  return device_;
}

std::u16string RenderMng::get_device_name() const {
  std::lock_guard<std::mutex> lk(mutex_);
  return device_name_;
}

bool RenderMng::init(std::u16string device_name, const DeviceMode& mode) {
  auto dev = create_device(device_name);
  if (!dev) return false;
  {
    std::lock_guard<std::mutex> lk(mutex_);
    device_name_ = dev->name();
    display_pending_ = true;
  }
  set_mode(mode);
  // The display belongs to the render thread: it is set there when the thread starts, or now
  // (and answered) when it already runs.
  if (is_render_thread()) return set_display_now();
  std::unique_lock<std::mutex> lk(pause_mutex_);
  if (loop_ended_) return false;
  if (!loop_running_) return true;
  display_request_ = true;
  display_answered_ = false;
  resume_signal_.notify_all();
  frame_signal_.wait(lk, [&] { return display_answered_ || !loop_running_; });
  return display_answered_ && display_result_;
}

bool RenderMng::set_display_now() {
  std::shared_ptr<RenderDevice> dev;
  DeviceMode mode;
  {
    std::lock_guard<std::mutex> lk(mutex_);
    dev = device_;
    mode = mode_;
    display_pending_ = false;
  }
  if (!dev) return false;
  bool ok = false;
  qar::guarded([&] { ok = dev->set_display(reinterpret_cast<void*>(mode.window), mode); });
  if (!ok) qar::tracef("RenderMng: the display could not be set");
  std::lock_guard<std::mutex> lk(mutex_);
  world_dirty_ = true;
  return ok;
}

// ---- time and pacing ----

void RenderMng::set_fps(int32_t fps) {
  fps_.store(fps);
  std::lock_guard<std::mutex> lk(pause_mutex_);
  resume_signal_.notify_all();  // a long frame wait takes the new rate at once
}

int32_t RenderMng::get_fps() const {
  return fps_.load();
}

void RenderMng::set_fixed_step(bool on) {
  fixed_step_.store(on);
  std::lock_guard<std::mutex> lk(pause_mutex_);
  resume_signal_.notify_all();  // a frame wait of the paced clock ends at once
}

uint64_t RenderMng::get_current_time() const {
  return current_time_.load();
}

uint64_t RenderMng::get_engine_time() const {
  uint64_t t = engine_clock_.load() / 10;
  const int64_t start = turn_start_ns_.load();
  if (start != 0 && !fixed_step_.load()) {
    const int64_t run = steady_ns() - start;
    if (run > 0) t += uint64_t(run) / 1000;
  }
  return t;
}

uint64_t RenderMng::get_frame_count() const {
  return frames_.load();
}

bool RenderMng::is_render_thread() const {
  return is_running() && thread_id() == std::this_thread::get_id();
}

bool RenderMng::has_ended() const {
  std::lock_guard<std::mutex> lk(pause_mutex_);
  return loop_ended_;
}

void RenderMng::pause(bool p, bool wait) {
  std::unique_lock<std::mutex> lk(pause_mutex_);
  const bool changed = paused_ != p;
  paused_ = p;
  if (!p) {
    if (changed) resume_signal_.notify_all();
    return;
  }
  if (changed) resume_signal_.notify_all();  // cut a frame wait short
  if (!wait) return;
  // Waiting on the render thread itself would never end: it pauses at its next turn.
  if (std::this_thread::get_id() == thread_id()) return;
  // Until the render thread is in its paused wait; the state is read under the lock, so a
  // signal given before this wait starts is not missed.
  // A thread still setting up its device counts as running: the wait ends when it is paused.
  frame_signal_.wait(lk,
                     [&] { return in_paused_wait_ || loop_ended_ || !paused_ || !is_running(); });
}

bool RenderMng::is_pause() const {
  std::lock_guard<std::mutex> lk(pause_mutex_);
  return paused_;
}

bool RenderMng::wait_frames(uint64_t n, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lk(pause_mutex_);
  return frame_signal_.wait_for(lk, timeout, [&] { return frames_.load() >= n || loop_ended_; }) &&
         frames_.load() >= n;
}

void RenderMng::kill() {
  qar::ThreadOfControl::kill();
  release_waiters();
}

bool RenderMng::release_device() {
  if (is_running() && !is_render_thread()) return false;
  std::shared_ptr<RenderDevice> dev;
  {
    std::lock_guard<std::mutex> lk(mutex_);
    dev.swap(device_);
  }
  if (zelContext::is_init()) {
    zelContext& ctx = zelContext::instance();
    if (ctx.device == dev) {
      ctx.device.reset();
      ctx.texture_manager.reset();
      ctx.env_driver.reset();
    }
  }
  return true;
}

void RenderMng::release_waiters() {
  std::lock_guard<std::mutex> lk(pause_mutex_);
  resume_signal_.notify_all();
  frame_signal_.notify_all();
}

// ---- scene ----

std::shared_ptr<Layer> RenderMng::get_layer(int32_t depth, bool create) {
  std::lock_guard<std::mutex> lk(mutex_);
  auto it = std::lower_bound(
      layers_.begin(), layers_.end(), depth,
      [](const std::shared_ptr<Layer>& l, int32_t d) { return l->get_depth() < d; });
  if (it != layers_.end() && (*it)->get_depth() == depth) return *it;
  if (!create) return nullptr;
  auto layer = std::make_shared<Layer>(depth);  // made with its depth; nothing to renumber
  layers_.insert(it, layer);
  return layer;
}

void RenderMng::set_facet_depth(std::shared_ptr<Facet> f, int32_t depth) {
  if (!f) return;
  if (auto old = get_layer(f->get_depth(), false)) old->del_facet(f);
  get_layer(depth, true)->put_facet(f);
}

void RenderMng::clear_all_layers() {
  std::vector<std::shared_ptr<Layer>> old;
  {
    std::lock_guard<std::mutex> lk(mutex_);
    old.swap(layers_);
  }
  for (auto& l : old) l->clear();
}

std::vector<std::shared_ptr<Layer>> RenderMng::get_layers() const {
  std::lock_guard<std::mutex> lk(mutex_);
  return layers_;
}

std::shared_ptr<Facet> RenderMng::get_facet_under(int32_t x, int32_t y) {
  for (auto& l : get_layers())
    if (auto f = l->get_facet_under(x, y)) return f;
  return nullptr;
}

void RenderMng::set_camera(std::shared_ptr<Camera> camera) {
  std::lock_guard<std::mutex> ck(camera_mutex_);
  std::lock_guard<std::mutex> lk(mutex_);
  camera_ = std::move(camera);
}

std::shared_ptr<Camera> RenderMng::get_camera() const {
  std::lock_guard<std::mutex> lk(mutex_);
  return camera_;
}

std::unique_lock<std::mutex> RenderMng::lock_camera() const {
  return std::unique_lock<std::mutex>(camera_mutex_);
}

void RenderMng::set_world_mat(const mat4& m) {
  std::lock_guard<std::mutex> lk(mutex_);
  world_ = m;
  world_dirty_ = true;
}

mat4 RenderMng::get_world_mat() const {
  std::lock_guard<std::mutex> lk(mutex_);
  return world_;
}

void RenderMng::set_bg_color(uint8_t r, uint8_t g, uint8_t b) {
  std::lock_guard<std::mutex> lk(mutex_);
  bg_r_ = r;
  bg_g_ = g;
  bg_b_ = b;
}

void RenderMng::apply_screen_projection(Camera& cam, const DeviceMode& mode) {
  cam.point_at(vec3(0, 0, 1), vec3(0, 1, 0));
  // Bottom and top swapped: y grows downwards from the top-left corner, as screen pixels do.
  cam.ortho(0.0f, float(mode.width), float(mode.height), 0.0f, -800.0f, 800.0f);
}

void RenderMng::set_mode(const DeviceMode& mode) {
  std::lock_guard<std::mutex> ck(camera_mutex_);
  std::shared_ptr<Camera> cam;
  {
    std::lock_guard<std::mutex> lk(mutex_);
    mode_ = mode;
    if (!default_camera_) default_camera_ = Camera::create_camera(u"Default camera");
    cam = default_camera_;
  }
  apply_screen_projection(*cam, mode);
}

DeviceMode RenderMng::get_mode() const {
  std::lock_guard<std::mutex> lk(mutex_);
  return mode_;
}

void* RenderMng::window() const {
  std::lock_guard<std::mutex> lk(mutex_);
  return reinterpret_cast<void*>(mode_.window);
}

// ---- updatables ----

void RenderMng::add_updatable(std::shared_ptr<Updatable> u) {
  if (!u) return;
  std::lock_guard<std::mutex> lk(mutex_);
  updatables_.push_back(u);
}

void RenderMng::remove_updatable(std::shared_ptr<Updatable> u) {
  if (!u) return;
  std::lock_guard<std::mutex> lk(mutex_);
  for (auto it = updatables_.begin(); it != updatables_.end(); ++it) {
    if (it->lock() == u) {
      updatables_.erase(it);
      return;
    }
  }
}

size_t RenderMng::updatable_count() const {
  std::lock_guard<std::mutex> lk(mutex_);
  size_t n = 0;
  for (auto& w : updatables_)
    if (!w.expired()) ++n;
  return n;
}

bool RenderMng::subscribe(std::function<void(uint64_t)>) {
  return false;
}

bool RenderMng::unsubscribe(std::function<void(uint64_t)>) {
  return false;
}

void RenderMng::set_frame_hook(std::function<void(RenderDevice&, uint64_t)> hook) {
  std::lock_guard<std::mutex> lk(mutex_);
  frame_hook_ = std::move(hook);
}

// ---- frame parts ----

void RenderMng::Update(uint64_t t) {
  std::vector<std::shared_ptr<Updatable>> live;
  {
    std::lock_guard<std::mutex> lk(mutex_);
    updatables_.erase(std::remove_if(updatables_.begin(), updatables_.end(),
                                     [](const std::weak_ptr<Updatable>& w) { return w.expired(); }),
                      updatables_.end());
    live.reserve(updatables_.size());
    for (auto& w : updatables_)
      if (auto u = w.lock()) live.push_back(std::move(u));
  }
  // Called without the lock: an update may register or unregister updatables.
  for (auto& u : live) qar::guarded([&] { u->update(t); });
}

void RenderMng::update_screen(uint64_t t) {
  auto dev = get_device();
  if (!dev) return;
  dev->begin_scene();
  try {
    Update(t);
  } catch (...) {
    dev->end_scene();
    QAR_RETHROW();
  }
  dev->end_scene();
}

void RenderMng::render_screen(uint64_t t) {
  std::shared_ptr<RenderDevice> dev;
  mat4 world;
  int32_t r, g, b;
  bool apply_world;
  {
    std::lock_guard<std::mutex> lk(mutex_);
    dev = device_;
    world = world_;
    apply_world = world_dirty_;
    world_dirty_ = false;
    r = bg_r_;
    g = bg_g_;
    b = bg_b_;
  }
  if (!dev) return;
  // adjust() also refreshes the device rectangle from the viewport.
  if (apply_world) dev->adjust(world);
  mat4 proj, view;
  {
    std::lock_guard<std::mutex> ck(camera_mutex_);
    auto cam = get_camera();
    if (cam) {
      proj = cam->get_project();
      view = cam->get_view();
    }
  }
  dev->set_world_mat(world);
  dev->set_projection_mat(proj);
  dev->set_view_mat(view);
  dev->begin_frame(false, 255, r, g, b);
  if (dev->begin_scene()) {
    try {
      Render(t, *dev);
    } catch (...) {
      dev->end_scene();
      dev->end_frame();
      QAR_RETHROW();
    }
    dev->end_scene();
  }
  dev->end_frame();
}

void RenderMng::Render(uint64_t, RenderDevice& device) {
  mat4 world, proj, view;
  {
    std::lock_guard<std::mutex> ck(camera_mutex_);
    world = get_world_mat();
    auto cam = get_camera();
    if (cam) {
      proj = cam->get_project();
      view = cam->get_view();
    }
  }
  auto layers = get_layers();
  // Highest depth first: the lowest depth is drawn last, on top.
  for (auto it = layers.rbegin(); it != layers.rend(); ++it) {
    qar::guarded([&] {
      device.set_world_mat(world);
      device.set_projection_mat(proj);
      device.set_view_mat(view);
      device.begin_2D_mode();
      (*it)->render(device);
    });
  }
}

int32_t RenderMng::dispatch_message(std::shared_ptr<qar_message> msg) {
  if (!msg || msg->get_id() != notification_event_id) return -1;
  auto* ev = dynamic_cast<const notification_event*>(msg.get());
  notification_event copy(msg->param1);
  if (!ev) ev = &copy;
  if (ev->code() != notification_device_lost && ev->code() != notification_device_restored)
    return -1;
  auto layers = get_layers();
  for (auto it = layers.rbegin(); it != layers.rend(); ++it)
    qar::guarded([&] { (*it)->on_notification(ev); });
  return 0;
}

// ---- thread ----

void RenderMng::thread_proc_impl() {
  qar::thread_prior prior(1);
  try {
    work_thread_proc();
  } catch (const std::exception& e) {
    QAR_TRACE_CATCH(e);
  } catch (...) {
  }
  {
    std::lock_guard<std::mutex> lk(pause_mutex_);
    loop_running_ = false;
    loop_ended_ = true;
    in_paused_wait_ = false;
    turn_start_ns_.store(0);
    resume_signal_.notify_all();
    frame_signal_.notify_all();
  }
}

void RenderMng::work_thread_proc() {
  bool need_display;
  std::shared_ptr<RenderDevice> dev;
  std::u16string name;
  {
    std::lock_guard<std::mutex> lk(mutex_);
    dev = device_;
    name = device_name_;
    need_display = display_pending_ || !dev;
  }
  if (!dev) dev = create_device(name);
  if (dev) {
    std::lock_guard<std::mutex> lk(mutex_);
    device_name_ = dev->name();
  }
  if (!dev || (need_display && !set_display_now())) {
    QAR_THROW(std::runtime_error("не удалось создать устройства вывода"));
  }
  dev->adjust(get_world_mat());
  // With no mode given, the screen projection follows the device's own rectangle.
  if (get_mode().width <= 0 || get_mode().height <= 0) {
    qar::Rect r = dev->get_view_rect();
    DeviceMode m = get_mode();
    m.width = int32_t(r.width());
    m.height = int32_t(r.height());
    set_mode(m);
  }

  frames_.store(0);
  engine_clock_.store(0);
  current_time_.store(0);
  {
    std::lock_guard<std::mutex> lk(pause_mutex_);
    loop_running_ = true;
  }

  // Frames are due on a grid of whole periods from `grid_start`: a late wake-up delays one
  // frame, not every frame after it, and frames behind the grid follow at once until they have
  // caught up. The grid starts again after a pause, at a new rate, and when the loop is more
  // than kMaxLag periods behind (a stall is not followed by a long burst of frames).
  clock::time_point grid_start;
  int64_t grid_frames = 0;
  int32_t grid_fps = 0;
  // The fixed-step clock counts steps from a base, so that rates that do not divide a second
  // into whole 100 ns units do not drift: after k steps at f fps the clock is base + k / f s.
  uint64_t step_base = 0;
  uint64_t steps = 0;
  int32_t step_fps = 0;
  bool was_fixed = false;
  while (!stop_requested()) {
    const int64_t turn_start = steady_ns();
    int64_t paused_ns = 0;
    current_time_.store(engine_clock_.load() / 10);

    bool paused;
    {
      std::unique_lock<std::mutex> lk(pause_mutex_);
      paused = paused_;
      if (paused) {
        in_paused_wait_ = true;
        frame_signal_.notify_all();
        const int64_t w0 = steady_ns();
        resume_signal_.wait(lk, [&] { return !paused_ || stop_requested() || display_request_; });
        paused_ns = steady_ns() - w0;
        in_paused_wait_ = false;
        grid_frames = 0;
      }
    }
    const bool fixed = fixed_step_.load();
    if (!paused) {
      turn_start_ns_.store(turn_start);
      handle_next_message(false);  // at most one engine message per frame
      const int32_t fps = fps_.load();
      if (fixed) {
        const int32_t f = fps > 0 ? fps : 25;
        if (!was_fixed || f != step_fps) {
          step_base = engine_clock_.load();
          steps = 0;
          step_fps = f;
        }
      }
      const auto now = clock::now();
      auto due = [&](int64_t k) {
        return grid_start + std::chrono::nanoseconds(k * 1000000000LL / (fps > 0 ? fps : 1));
      };
      constexpr int64_t kMaxLag = 3;
      if (fps <= 0 || grid_fps != fps || grid_frames == 0 || now > due(grid_frames + kMaxLag)) {
        grid_start = now;
        grid_frames = 0;
        grid_fps = fps;
      }
      ++grid_frames;
      const auto deadline = fps > 0 && !fixed ? due(grid_frames) : now;
      const uint64_t t = current_time_.load();
      qar::guarded([&] {
        update_screen(t);
        if (!dev->is_lost()) render_screen(t);
      });
      const uint64_t n = frames_.load() + 1;
      std::function<void(RenderDevice&, uint64_t)> hook;
      {
        std::lock_guard<std::mutex> lk(mutex_);
        hook = frame_hook_;
      }
      if (hook) qar::guarded([&] { hook(*dev, n); });
      std::this_thread::yield();
      std::unique_lock<std::mutex> lk(pause_mutex_);
      // Sleep to the deadline; a pause, a stop or a new rate ends the wait early.
      const int32_t fps_now = fps;
      if (!fixed) {
        resume_signal_.wait_until(lk, deadline, [&] {
          return paused_ || stop_requested() || display_request_ || fps_.load() != fps_now ||
                 fixed_step_.load();
        });
      }
      // A frame counts once its period is over.
      frames_.store(n);
      frame_signal_.notify_all();
    }
    // A display requested by init() on another thread while the loop runs.
    bool answer = false;
    {
      std::lock_guard<std::mutex> lk(pause_mutex_);
      answer = display_request_;
      display_request_ = false;
    }
    if (answer) {
      const bool ok = set_display_now();
      std::lock_guard<std::mutex> lk(pause_mutex_);
      display_result_ = ok;
      display_answered_ = true;
      frame_signal_.notify_all();
    }

    if (fixed) {
      if (!paused) {
        ++steps;
        engine_clock_.store(step_base + steps * uint64_t(media_second) / uint64_t(step_fps));
      }
    } else {
      const int64_t elapsed = steady_ns() - turn_start - paused_ns;
      if (elapsed > 0) engine_clock_.fetch_add(uint64_t(elapsed) / 100);
    }
    was_fixed = fixed;
    turn_start_ns_.store(0);
  }
}

}  // namespace zel
