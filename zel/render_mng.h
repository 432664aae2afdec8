// RenderMng: owns the render thread. It creates the render device by name, keeps the camera,
// the world matrix and the background colour, keeps the layers sorted by depth, runs the frame
// loop at a set rate (update pass, then render pass), keeps the engine clock, pauses and resumes
// on request and hands device notifications to the layers.
//
// The host derives from it (change_mode is pure), calls init(), starts it with
// qar::ThreadOfControl::start() and resumes it with pause(false, ...): the loop starts paused.
//
// Thread safety: the layer list, the updatables, the camera, the world matrix, the colour, the
// rate and the mode may be changed from any thread while the render thread draws. Only the
// render thread touches the device's drawing state: the display is set, the world matrix applied
// and every frame drawn there. pause(true, true) returns once the render thread is in its paused
// wait (at once when called on the render thread itself, or when the thread is not running).
// Engine time comes from a steady clock and excludes the time spent paused. Frames are due at
// whole periods (1/fps) from the moment the loop last started running at its rate, so the rate
// holds over time whatever the wake-up latency: frames behind that grid follow at once until
// they have caught up, and a stall of more than three periods starts the count again instead
// of being followed by a long burst.
#pragma once
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "qar/self_allocate.h"
#include "qar/thread.h"
#include "zel/math/vec.h"
#include "zel/render_device.h"

namespace zel {

class Camera;
class Facet;
class Layer;
class Updatable;

class RenderMng : public qar::ThreadOfControl, public qar::self_allocate {
 public:
  explicit RenderMng(std::u16string device_name = u"OpenGL");
  ~RenderMng() override;

  // Makes the device (see create_device) and stores the mode. The display is set on the render
  // thread when it starts (at once, on the render thread, when it is already running). False
  // when no device could be made, or when the running render thread could not set the display.
  bool init(std::u16string device_name, const DeviceMode& mode);
  // ZEL_createDevice by name, then the device's init(); the device becomes the current one
  // (empty when none could be made).
  std::shared_ptr<RenderDevice> create_device(std::u16string& name);
  std::shared_ptr<RenderDevice> get_device() const;
  std::u16string get_device_name() const;

  // Stops the loop at the end of the current turn and releases every waiter. Does not wait:
  // terminate() waits for the thread to end, and so does zelUninit for every render manager.
  void kill() override;
  // Once the loop has ended (or before it started): drops the device, which closes its window
  // and stops its event thread unless another owner keeps it. False while the loop runs.
  // zelUninit calls it for a render manager that outlives it.
  bool release_device();

  // Frames per second; 0 or less: no limit. Takes effect at the next frame.
  void set_fps(int32_t fps);
  int32_t get_fps() const;
  // Fixed-step clock, for rendering offline: frames follow each other without waiting and the
  // engine time advances exactly 1/fps per running frame (25 fps while the rate is 0 or less),
  // whatever the wall time, so what is drawn at frame n depends on n alone. Frame n (from 1)
  // shows the engine time (n - 1) / fps. Takes effect at the next frame.
  void set_fixed_step(bool on);
  bool is_fixed_step() const { return fixed_step_.load(); }
  // Engine time in microseconds as handed to the current turn's updates.
  uint64_t get_current_time() const;
  // Engine clock now, in microseconds (includes the running part of the current turn).
  uint64_t get_engine_time() const;
  // Running frames drawn since the loop started.
  uint64_t get_frame_count() const;
  void pause(bool p, bool wait);
  bool is_pause() const;
  // Waits until at least `n` frames have been drawn, the loop ended, or `timeout` passed.
  bool wait_frames(uint64_t n, std::chrono::milliseconds timeout);
  // True on the render thread.
  bool is_render_thread() const;
  // True once the loop has ended (killed, or the device could not be made).
  bool has_ended() const;

  // Scene.
  virtual std::shared_ptr<Layer> get_layer(int32_t depth, bool create);
  virtual void set_facet_depth(std::shared_ptr<Facet> f, int32_t depth);
  void clear_all_layers();
  std::shared_ptr<Facet> get_facet_under(int32_t x, int32_t y);
  // The layers in ascending depth.
  std::vector<std::shared_ptr<Layer>> get_layers() const;

  void set_camera(std::shared_ptr<Camera> camera);
  std::shared_ptr<Camera> get_camera() const;
  // Cameras take no lock of their own: hold this while changing the current camera from
  // another thread (the render thread holds it while it reads the matrices).
  std::unique_lock<std::mutex> lock_camera() const;
  // Stored, and applied to the device (adjust) on the render thread at the next frame.
  void set_world_mat(const mat4& m);
  mat4 get_world_mat() const;
  void set_bg_color(uint8_t r, uint8_t g, uint8_t b);
  // Stores the mode and gives the default camera the screen projection for its size:
  // x to the right and y downwards in pixels from the top-left corner.
  void set_mode(const DeviceMode& mode);
  DeviceMode get_mode() const;
  void* window() const;
  // A request to switch to another display mode (F11 in the render window flips the windowed
  // flag); the host decides how to carry it out.
  virtual void change_mode(const DeviceMode& mode) = 0;

  // Per-frame hooks.
  virtual void add_updatable(std::shared_ptr<Updatable> u);
  virtual void remove_updatable(std::shared_ptr<Updatable> u);
  size_t updatable_count() const;
  // Accepted and not used: return false.
  bool subscribe(std::function<void(uint64_t)> f);
  bool unsubscribe(std::function<void(uint64_t)> f);
  void set_trace_level(int32_t level) { trace_level_.store(level); }
  int32_t get_trace_level() const { return trace_level_.load(); }
  // Called on the render thread after each presented frame (frame number from 1); for hosts that
  // record every frame: RenderDevice::read_frame there reads that frame at once. Keep it short
  // (hand the image to another thread to encode it): the next frame waits for it. Set before
  // start. A snapshot now and then needs no hook: read_frame works from any thread.
  void set_frame_hook(std::function<void(RenderDevice&, uint64_t)> hook);

  // Frame parts (public so that a host can drive a frame itself, on the render thread).
  virtual void Update(uint64_t t);
  void update_screen(uint64_t t);
  void render_screen(uint64_t t);
  virtual void Render(uint64_t t, RenderDevice& device);

 protected:
  void thread_proc_impl() override;
  int32_t dispatch_message(std::shared_ptr<qar_message> msg) override;
  void work_thread_proc();

 private:
  using clock = std::chrono::steady_clock;
  bool set_display_now();
  void release_waiters();
  void apply_screen_projection(Camera& cam, const DeviceMode& mode);

  // Guards the fields below up to the pacing block.
  mutable std::mutex mutex_;
  std::vector<std::weak_ptr<Updatable>> updatables_;
  std::shared_ptr<RenderDevice> device_;
  std::shared_ptr<Camera> default_camera_;
  std::shared_ptr<Camera> camera_;
  std::u16string device_name_;
  DeviceMode mode_;
  mat4 world_;
  bool world_dirty_ = true;
  bool display_pending_ = false;
  std::vector<std::shared_ptr<Layer>> layers_;
  int32_t bg_r_ = 0, bg_g_ = 0, bg_b_ = 0;
  std::function<void(RenderDevice&, uint64_t)> frame_hook_;

  mutable std::mutex camera_mutex_;

  // Pacing and pausing, guarded by pause_mutex_.
  mutable std::mutex pause_mutex_;
  std::condition_variable resume_signal_;
  std::condition_variable frame_signal_;
  bool paused_ = true;
  bool in_paused_wait_ = false;
  bool loop_running_ = false;
  bool loop_ended_ = false;
  // Set by init() while the thread runs: the render thread sets the display and answers.
  bool display_request_ = false;
  bool display_answered_ = false;
  bool display_result_ = false;

  std::atomic<int32_t> fps_{25};
  std::atomic<int32_t> trace_level_{0};
  std::atomic<uint64_t> engine_clock_{0};  // 100 ns units
  std::atomic<uint64_t> current_time_{0};  // microseconds
  std::atomic<uint64_t> frames_{0};
  std::atomic<int64_t> turn_start_ns_{0};  // steady clock of the running turn's start; 0 idle
  std::atomic<bool> fixed_step_{false};
};

}  // namespace zel
