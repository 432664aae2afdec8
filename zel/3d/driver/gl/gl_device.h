// The built-in render device over OpenGL ES 3.0 through EGL (Mesa llvmpipe or a GPU), named
// "OpenGL" (and "Direct3D8").
//
// Implements:
//  - textures in every format of the texture manager, kept in a CPU copy and uploaded as ARGB;
//    loads with scaling, read-back, alpha_at; render targets (nested);
//  - the fixed-function stages of the original as shaders: modulate / select-texture colour,
//    diffuse / texture / product alpha, the alpha mask of stage 1, source-alpha blending;
//  - every primitive type of the vertex buffers, with perspective (3D meshes);
//  - presentation into the host's X11 window or a window of its own, or headless;
//  - device loss and recovery (robust contexts), mode changes on the window's thread;
//  - read_frame / save_frame_png.
// Leaves to the base class: text (the engine's glyph atlas), the matrices' getters, 2D lines,
//   primitives drawing themselves, trans_viewpoint2scene.
// Leaves out:
//  - mip levels (is_autoget_minmaps is false), full-screen modes other than the window's.
//
// Drawing happens in an offscreen framebuffer of the mode's size whose rows are stored top
// down; end_frame presents it into the window (when there is one). The device adopts the
// host's X11 window, makes a window of its own when a display is available, or renders headless
// (as the host chose in zelInitEx; ZEL_HEADLESS=1 forces it, ZEL_HEADLESS=0 shows frames).
//
// Threads: only the thread that draws (the render thread) touches GL; the context becomes
// current on the first thread that draws. Textures and vertex buffers keep a CPU copy that any
// thread may write under the object's lock; the render thread uploads what changed when it
// binds them, and recreates everything from these copies after a context loss.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "zel/memory_texture.h"
#include "zel/render_device.h"

namespace zel {
namespace gl {

class GLDevice;
struct EglState;

// What textures and vertex buffers share with their device: the context generation (GL names
// from an older generation are stale) and the GL names to delete on the render thread.
struct GLShared {
  std::atomic<uint32_t> generation{1};
  std::mutex mutex;
  std::vector<uint32_t> dead_textures;  // names of `generation`
  std::vector<uint32_t> dead_buffers;
  std::vector<uint32_t> dead_arrays;
  std::atomic<bool> device_alive{true};
  // Textures are stored as BGRA (the engine's 32-bit ARGB byte order): uploads need no swap,
  // and the driver samples and blends them in its native order.
  std::atomic<bool> bgra{false};
  void bury(std::vector<uint32_t> GLShared::*list, uint32_t name, uint32_t gen);
};

class GLTexture : public MemoryTexture {
 public:
  GLTexture(std::shared_ptr<GLShared> shared, int32_t w2, int32_t h2, int32_t w, int32_t h,
            eTextureType type, bool render_target);
  ~GLTexture() override;

  void* native_handle() override { return &name_; }

  // Render thread: makes sure the GL texture exists in the current generation and holds the
  // CPU copy; returns its name (0 on failure).
  uint32_t bind_name();
  // Render thread: the GL texture was drawn into; copy it back into the CPU copy.
  void pull_from_gl();

 protected:
  void changed() override;
  void changed_region(const qar::Rect& r) override;

 private:
  friend class GLDevice;

  std::shared_ptr<GLShared> shared_;
  uint32_t name_ = 0;      // GL texture name
  uint32_t name_gen_ = 0;  // generation of name_
  bool dirty_ = true;      // CPU copy newer than the GL texture
  qar::Rect dirty_rect_;   // the part of it that is newer (all of it when dirty_ alone is set)
};

class GLVertexBuffer : public VertexBuffer {
 public:
  GLVertexBuffer(std::shared_ptr<GLShared> shared, uint32_t type, uint32_t count, bool dynamic);
  ~GLVertexBuffer() override;
  void* lock() override;
  void unlock() override;

  // Render thread: binds the vertex array, uploading the CPU copy when it changed.
  bool bind();

 private:
  std::shared_ptr<GLShared> shared_;
  bool dynamic_;
  std::mutex mutex_;
  std::vector<uint8_t> data_;
  bool locked_ = false;
  bool dirty_ = true;
  uint32_t vbo_ = 0, vao_ = 0, gen_ = 0;
};

class GLTextureManager : public TextureManager {
 public:
  explicit GLTextureManager(std::shared_ptr<GLShared> shared) : shared_(std::move(shared)) {}
  std::shared_ptr<Texture> create(const std::u16string& name, int32_t width, int32_t height,
                                  eTextureType type, int32_t kind, int32_t usage, int32_t levels,
                                  float factor, int32_t extra) override;
  // Largest texture side accepted.
  static constexpr int32_t max_size = 8192;

 private:
  std::shared_ptr<GLShared> shared_;
};

class GLEnvIndepDriver : public EnvIndepDriver {
 public:
  eTextureType best_alpha_format() override { return tt_a8; }
  bool convert(eTextureType dst_type, void* dst, ptrdiff_t dst_pitch, eTextureType src_type,
               const void* src, ptrdiff_t src_pitch, int32_t width, int32_t height) override;
};

class GLDevice : public RenderDevice {
 public:
  GLDevice();
  ~GLDevice() override;

  bool init() override;
  void reset() override;
  qar::Rect get_view_rect() const override;
  qar::Rect get_device_rect() override;
  bool set_display(void* window, const DeviceMode& mode) override;
  std::vector<DeviceMode> get_display_mode() override;
  bool begin_frame(bool unused, int a, int r, int g, int b) override;
  bool begin_scene() override;
  void end_scene() override;
  void end_frame() override;
  bool restory() override;
  bool toggle_mode(const DeviceMode& mode) override;
  bool begin_2D_mode() override;
  void set_world_mat(const mat4& m) override;
  void set_view_mat(const mat4& m) override;
  void set_projection_mat(const mat4& m) override;
  void adjust(const mat4& m) override;
  std::shared_ptr<VertexBuffer> create_vertexbuffer(uint32_t type, uint32_t count,
                                                    uint32_t usage) override;
  void set_texture(uint32_t stage, std::shared_ptr<Texture> texture) override;
  void set_vertex(uint32_t stream, std::shared_ptr<VertexBuffer> vb) override;
  void set_render_target(std::shared_ptr<Texture> texture) override;
  void save_render_target() override;
  void restore_render_target() override;
  void* get_device() override;
  void set_state(DeviceStateType type, uint32_t value) override;
  using RenderDevice::render_primitive;
  void render_primitive(zelRenderPrimitiv type, int32_t start, int32_t count) override;
  void render_poligon(const vec3* begin, const vec3* end, Color* color) override;
  std::shared_ptr<BitmapImage> read_frame() override;

  // --- beyond the abstract device ---
  // Whether the device renders without a window.
  bool is_headless() const { return headless_; }
  // The X11 window drawn into (0 when headless).
  uintptr_t window() const;
  // Test hook: the context is lost at the next end_frame as if the driver had reset it; a new
  // one can be made once `frames_until_possible` further restore attempts have found the reset
  // still in progress (those waits do not count toward the limit of failed resets).
  void simulate_loss(int frames_until_possible = 0);
  // Test hook: the next `n` attempts to make a new context fail.
  void fail_next_resets(int n) { fail_resets_ = n; }
  // Consecutive failed resets after which restory throws RenderDevice::lost.
  static constexpr int max_failed_resets = 100;
  // Lets the calling thread's hold on the GL context go, so that another thread may draw
  // (done by itself when a drawing thread ends).
  void release_current();
  // The current mode (as last set by set_display or a mode change).
  DeviceMode mode() const;
  // Runs `fn` on the window's thread (the GUI dispatcher when one is attached, else here).
  static bool run_on_window_thread(const std::function<bool()>& fn);

 private:
  struct Impl;
  std::unique_ptr<Impl> d_;
  std::shared_ptr<GLShared> shared_;
  bool headless_ = true;
  std::atomic<int> fail_resets_{0};

  bool make_current();
  bool create_context();
  void destroy_context();
  bool ensure_frame_buffer();
  void apply_draw_state(bool textured);
  void update_matrix();
  void notify(int32_t code);
  bool reset_context();
  void present();
};

}  // namespace gl
}  // namespace zel
