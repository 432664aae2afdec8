// The drawing contract of the engine: the abstract render device and its resources (textures,
// the texture manager, vertex buffers, the environment-independent driver), display modes, the
// scoped render target and the exception thrown when a device cannot be restored.
//
// Threads: only the render thread draws. Textures and vertex buffers may be written from any
// thread (each carries its own lock); a device uploads the changes on the render thread.
#pragma once
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "qar/lockable.h"
#include "qar/rect.h"
#include "qar/self_allocate.h"
#include "zel/math/vec.h"
#include "zel/pixel_format.h"

namespace zel {

class BitmapImage;
class Camera;
class Color;
class Font;
class Primitive;
class VideoSource;
struct logical_font;
class zel_event;

// The host's input handler: mouse and key events of a device's window are handed to it (on the
// device's event thread) as mouse_event / key_event (zel/events.h; field1 the message number,
// see the device). With no handler set, input is dropped.
using input_handler = std::function<void(const zel_event& event)>;
void set_input_handler(input_handler handler);
void deliver_input(const zel_event& event);
// A filter that sees input ahead of the host's handler (the windowed facets' router): an event it
// returns true for (consumed) does not reach the host. Empty: none.
using input_filter = std::function<bool(const zel_event& event)>;
void set_input_filter(input_filter filter);

// A display mode: 23 32-bit fields, of which the device reads the width, height, colour depth,
// refresh rate, the windowed flag and the window handle. The window handle is pointer-sized
// (an X11 Window id here; 0 = no window of the host).
struct DeviceMode {
  int32_t width = 0;         // 1st: back-buffer width in pixels
  int32_t height = 0;        // 2nd: back-buffer height in pixels
  int32_t depth = 32;        // 3rd: colour depth in bits per pixel (16, 24 or 32)
  int32_t refresh_rate = 0;  // 4th: refresh rate in Hz (full screen only)
  int32_t field5 = 0;        // 5th: carried, not read by the device
  int32_t windowed = 1;      // 6th: 1 = in a window, any other value = full screen
  int32_t fields[16] = {};   // 7th to 22nd: carried by the render manager
  uintptr_t window = 0;      // 23rd: the window to render into
};

// Which components a vertex holds; within a vertex they follow in this order.
enum eVertexType : uint32_t {
  vt_position = 0x2,  // three floats x, y, z (12 bytes)
  vt_diffuse = 0x20,  // one 32-bit ARGB value (4 bytes)
  vt_tex1 = 0x100,    // one pair of floats u, v (8 bytes)
};

// Bytes per vertex of a combination of eVertexType flags.
constexpr uint32_t vertex_size(uint32_t type) {
  return ((type & vt_position) ? 12u : 0u) + ((type & vt_diffuse) ? 4u : 0u) +
         ((type & vt_tex1) ? 8u : 0u);
}

// Primitive kinds for RenderDevice::render_primitive; other values draw nothing.
enum zelRenderPrimitiv : int32_t {
  zrp_point_list = 1,
  zrp_line_list = 2,
  zrp_line_strip = 3,
  zrp_triangle_list = 4,
  zrp_triangle_strip = 5,
  zrp_triangle_fan = 6,
};
// The same type under its correctly spelt name.
using zelRenderPrimitive = zelRenderPrimitiv;

// A texture: a power-of-two allocation of which real_width x real_height hold picture.
// The texture's lock is held while another texture copies from it and while it is read back.
class Texture : public qar::lockable<> {
 public:
  virtual ~Texture();

  // Copies (scaling when the rectangles differ in size) from an image. A null source is the
  // whole image, a null destination (0, 0, real_width, real_height). On success real_width and
  // real_height become the destination's right and bottom.
  virtual bool load_image(std::shared_ptr<BitmapImage> image, const qar::Rect* src,
                          const qar::Rect* dst) = 0;
  // The same from another texture, which is locked during the copy.
  virtual bool load_texture(std::shared_ptr<Texture> texture, const qar::Rect* src,
                            const qar::Rect* dst) = 0;
  // Copies the pixels (0, 0, width, height) of the given format and pitch to (x, y, x + w,
  // y + h); w = -1 means width, h = -1 means height.
  virtual bool load_memory(const void* pixels, eTextureType type, int32_t width, int32_t height,
                           ptrdiff_t pitch, int32_t x, int32_t y, int32_t w, int32_t h) = 0;
  // A new image of the region in the texture's own pixel type (X8R8G8B8 reads back as 24-bit
  // RGB); w < 1 means up to real_width, h < 1 up to real_height. Null on failure.
  virtual std::shared_ptr<BitmapImage> read_back(int32_t x, int32_t y, int32_t w, int32_t h) = 0;
  // A hook with no visible effect.
  virtual void finish();
  // The format the texture really has.
  virtual eTextureType pixel_type() const = 0;
  // The implementation's texture object (the GL device: a pointer to its GLuint name).
  virtual void* native_handle() = 0;
  // Alpha (0..255) of a texel; 255 when the format has no alpha or the texel cannot be read.
  virtual int32_t alpha_at(int32_t x, int32_t y) = 0;

  int32_t width() const { return width_; }
  int32_t height() const { return height_; }
  int32_t real_width() const { return real_width_.load(); }
  int32_t real_height() const { return real_height_.load(); }
  int32_t depth() const { return depth_; }
  eTextureType type() const { return type_; }
  std::pair<int32_t, int32_t> size() const { return {width_, height_}; }
  // Store the value and return true only when it does not exceed width (height).
  bool set_real_width(uint32_t w);
  bool set_real_height(uint32_t h);

 protected:
  Texture() = default;

  int32_t width_ = 0;
  int32_t height_ = 0;
  std::atomic<int32_t> real_width_{0};
  std::atomic<int32_t> real_height_{0};
  int32_t depth_ = 0;
  int32_t impl_field1_ = 0;
  int32_t impl_field2_ = 0;
  eTextureType type_ = tt_none;
};

class TextureManager {
 public:
  virtual ~TextureManager();
  // create(name, image width, height, type, kind 1, usage 0, levels, factor, 1); a 24-bit RGB
  // image retries as X8R8G8B8; then the whole image is loaded.
  virtual std::shared_ptr<Texture> create_from_image(const std::u16string& name,
                                                     std::shared_ptr<BitmapImage> image,
                                                     int32_t levels, float factor);
  // A texture of at least width x height (each rounded up to a power of two). kind 0 and 1 are
  // ordinary textures (2 and 3 give an empty result); usage 1 asks for a render target. Empty
  // on failure or for a size below 1.
  virtual std::shared_ptr<Texture> create(const std::u16string& name, int32_t width, int32_t height,
                                          eTextureType type, int32_t kind, int32_t usage,
                                          int32_t levels, float factor, int32_t extra) = 0;
};

class VertexBuffer {
 public:
  VertexBuffer(uint32_t ver_size, uint32_t count, eVertexType type);
  virtual ~VertexBuffer();
  // The whole buffer for writing, null if it cannot be locked. Every lock() is paired with
  // unlock(); the device sees the new contents after unlock().
  virtual void* lock() = 0;
  virtual void unlock() = 0;

  uint32_t get_ver_size() const { return ver_size_; }
  int32_t get_ver_num() const { return ver_num_; }
  eVertexType get_ver_type() const { return type_; }

 protected:
  uint32_t ver_size_;
  int32_t ver_num_;
  eVertexType type_;
};

// Pixel-format choice and pixel conversion, usable apart from drawing.
class EnvIndepDriver {
 public:
  virtual ~EnvIndepDriver();
  // The first of A8, A8L8, A8P8, A8R3G3B2, A8R8G8B8 the device supports; tt_none if none.
  virtual eTextureType best_alpha_format() = 0;
  // Converts width x height pixels between two formats. Returns false (writing nothing) when
  // either format is unknown; nothing is done when source and destination are the same memory.
  virtual bool convert(eTextureType dst_type, void* dst, ptrdiff_t dst_pitch, eTextureType src_type,
                       const void* src, ptrdiff_t src_pitch, int32_t width, int32_t height) = 0;
};

class RenderDevice : public qar::self_allocate, public qar::lockable<> {
 public:
  // Thrown when the device cannot be restored.
  class lost : public std::exception {
   public:
    const char* what() const noexcept override { return "render device lost"; }
  };

  enum DeviceStateType : uint32_t {
    ds_alpha_blend = 1,  // value 0 off, non-zero on
    ds_alpha_mask = 2,   // alpha of the texture on stage 1 multiplies (only while blending)
  };

  virtual ~RenderDevice();

  // What every device implements: the graphics system, frames and scenes, the display, the
  // target, the bound resources and the drawing of vertex buffers.
  virtual bool init() = 0;
  virtual void reset() = 0;
  virtual qar::Rect get_view_rect() const = 0;
  // `window` is the host's window (an X11 Window id cast to a pointer) or null.
  virtual bool set_display(void* window, const DeviceMode& mode) = 0;
  virtual std::vector<DeviceMode> get_display_mode() = 0;
  virtual bool begin_frame(bool unused, int a, int r, int g, int b) = 0;
  virtual bool begin_scene() = 0;
  virtual void end_scene() = 0;
  virtual void end_frame() = 0;
  // Restores a lost device. `restore` is the same call under its correctly spelt name.
  virtual bool restory() = 0;
  bool restore() { return restory(); }
  virtual bool toggle_mode(const DeviceMode& mode) = 0;
  virtual bool begin_2D_mode() = 0;
  // type: eVertexType flags; usage bit 0: rewritten often.
  virtual std::shared_ptr<VertexBuffer> create_vertexbuffer(uint32_t type, uint32_t count,
                                                            uint32_t usage) = 0;
  // Binds (or with an empty pointer unbinds) a texture to a stage (0 picture, 1 mask).
  virtual void set_texture(uint32_t stage, std::shared_ptr<Texture> texture) = 0;
  virtual void set_vertex(uint32_t stream, std::shared_ptr<VertexBuffer> vb) = 0;
  virtual void set_render_target(std::shared_ptr<Texture> texture) = 0;
  virtual void save_render_target() = 0;
  virtual void restore_render_target() = 0;
  virtual void* get_device() = 0;
  virtual void set_state(DeviceStateType type, uint32_t value) = 0;
  // Draws `count` primitives from the bound vertex buffer, starting at vertex `start`.
  virtual void render_primitive(zelRenderPrimitiv type, int32_t start, int32_t count) = 0;

  // What the base does for every device (a device overrides what it does better itself).
  virtual std::shared_ptr<VideoSource> create_video_source(const std::u16string& name);
  virtual int32_t ppi_x() const { return ppi_x_; }
  virtual int32_t ppi_y() const { return ppi_y_; }
  virtual qar::Rect get_device_rect();
  virtual bool is_lost() const { return lost_.load(); }
  virtual void force_windowed() {}
  virtual void force_fullscreen() {}
  // Whether textures build their mipmaps themselves; `is_autogen_mipmaps` is the same query.
  virtual bool is_autoget_minmaps() const { return false; }
  bool is_autogen_mipmaps() const { return is_autoget_minmaps(); }
  virtual void set_world_mat(const mat4& m) { world_ = m; }
  virtual mat4 get_world_mat() const { return world_; }
  virtual void set_view_mat(const mat4& m) { view_ = m; }
  virtual mat4 get_view_mat() const { return view_; }
  virtual void set_projection_mat(const mat4& m) { proj_ = m; }
  virtual mat4 get_projection_mat() const { return proj_; }
  // Sets the world matrix and refreshes the device rectangle from the viewport.
  virtual void adjust(const mat4& m);
  // Maps a point from view (screen) coordinates into scene coordinates, in place: x and y are
  // pixels of the viewport (y down), z the depth 0..1; through the inverse of
  // projection x view x world. Unchanged when that has no inverse or there is no viewport.
  virtual void trans_viewpoint2scene(vec3& v);
  // Fonts and text go through the engine's fonts (zel/font.h), whose glyphs are drawn as
  // textured quads through this device's own textures and draw calls.
  virtual std::shared_ptr<Font> create_font(const logical_font& lf);
  // Makes the font current; returns the previous one.
  virtual std::shared_ptr<Font> select_font(std::shared_ptr<Font> font);
  virtual std::shared_ptr<Font> get_font() const { return font_; }
  virtual int32_t get_kerning_pair(char16_t first, char16_t second,
                                   std::shared_ptr<Font> font) const;
  // Makes the colour current for text; returns the previous one.
  virtual std::shared_ptr<Color> set_text_color(std::shared_ptr<Color> color);
  virtual bool is_on_scene();
  virtual void render_char(char16_t ch, int32_t x, int32_t y, const Color* color,
                           std::shared_ptr<Font> font);
  // length < 0: up to the terminating zero. Only inside a scene.
  virtual void render_text(const char16_t* text, int32_t length, int32_t x, int32_t y,
                           const Color* color, std::shared_ptr<Font> font);
  virtual std::pair<int32_t, int32_t> calc_text(const char16_t* text, int32_t length,
                                                std::shared_ptr<Font> font);
  // Lets the primitive draw itself on this device.
  virtual void render_primitive(std::shared_ptr<Primitive> primitive);
  // The points [begin, end) as connected lines in one colour (white without one): a line strip
  // of a vertex buffer through render_primitive. `render_polygon` is the same call under its
  // correctly spelt name.
  virtual void render_poligon(const vec3* begin, const vec3* end, Color* color);
  void render_polygon(const vec3* begin, const vec3* end, Color* color) {
    render_poligon(begin, end, color);
  }
  // render_poligon of (x1, y1, 0) and (x2, y2, 0).
  virtual void draw_2dline(int32_t x1, int32_t y1, int32_t x2, int32_t y2, Color* color);

  // The last finished frame (what end_frame presented, or the frame being drawn when called
  // between begin_frame and end_frame) as a top-down 32-bit ARGB image; null when there is none.
  // Any thread may call it. On the thread that draws it reads at once; from another thread the
  // read is handed to the drawing thread, which does it at the end of its next frame, and the
  // caller waits up to frame_request_timeout(): null, with last_frame_error() saying why, when
  // no frame ends in that time (the render manager paused or stopped, the device lost). To record
  // every frame, read it on the render thread from RenderMng::set_frame_hook instead.
  virtual std::shared_ptr<BitmapImage> read_frame();
  // Saves read_frame() as a PNG file (alpha dropped); false on failure, with last_frame_error()
  // set. Off the drawing thread only the read waits for the render thread: the file is encoded
  // and written on the calling thread.
  virtual bool save_frame_png(const std::string& path);
  // Writes a 32-bit ARGB picture as an RGB PNG file. `level`: zlib compression 0 (none, fastest)
  // to 9 (smallest); -1 the library's default. False (no file left behind) on failure.
  static bool save_png(const BitmapImage& frame, const std::string& path, int level = -1);
  // Why the calling thread's last read_frame or save_frame_png failed; empty after a success.
  static std::string last_frame_error();
  // How long a read from another thread waits for the next frame (2 s by default).
  void set_frame_request_timeout(std::chrono::milliseconds timeout);
  std::chrono::milliseconds frame_request_timeout() const;

  const std::u16string& name() const { return name_; }
  std::shared_ptr<EnvIndepDriver> get_env_indep() const { return env_driver_; }
  // The device's texture manager (what set_display gives the engine context).
  const std::shared_ptr<TextureManager>& texture_manager() const { return textures_; }
  void render_text(const std::u16string& text, int32_t x, int32_t y, const Color* color,
                   std::shared_ptr<Font> font);
  std::pair<int32_t, int32_t> calc_text(const std::u16string& text, std::shared_ptr<Font> font);

 protected:
  RenderDevice();

  // For devices whose drawing state belongs to one thread. note_drawing_thread: called by the
  // thread that draws (at the start of each frame). on_drawing_thread: true there (before any
  // thread has drawn, the first frame is waited for). run_at_frame_end: has `fn` run by the drawing
  // thread at the end of its next frame and waits for it up to frame_request_timeout(); false (the
  // error set for last_frame_error) when no frame ended in time. run_frame_requests: called by the
  // drawing thread when a frame ends.
  // Makes this device's texture manager the context's. It is written only when it changes: the
  // device publishes it at init, on the host's thread, before engine threads read it, and
  // setting the display again on the render thread then writes nothing under their feet.
  void set_context_textures();
  // Off the drawing thread: has read_frame() run there at the end of its next frame, puts the
  // result in `img` (null, with the error set, when none came) and returns true. On the drawing
  // thread: false, and the caller reads at once.
  bool read_frame_elsewhere(std::shared_ptr<BitmapImage>& img);
  void note_drawing_thread();
  bool on_drawing_thread() const;
  bool run_at_frame_end(const std::function<void()>& fn);
  void run_frame_requests();
  static void set_frame_error(std::string error);

  std::atomic<bool> lost_{false};
  std::u16string name_;
  std::shared_ptr<EnvIndepDriver> env_driver_;
  // Screen metrics, read when the display is set.
  int32_t horz_res_ = 0;
  int32_t vert_res_ = 0;
  int32_t horz_size_mm_ = 0;
  int32_t vert_size_mm_ = 0;
  int32_t ppi_x_ = 96;
  int32_t ppi_y_ = 96;
  std::shared_ptr<Font> font_;
  std::shared_ptr<Color> text_color_;
  qar::Rect device_rect_;
  std::shared_ptr<TextureManager> textures_;
  mat4 world_, view_, proj_;
  // A scene is open; scenes opened and not yet closed.
  bool on_scene_ = false;
  int32_t scene_depth_ = 0;

 private:
  std::shared_ptr<VertexBuffer> poligon_vb_;  // render_poligon's buffer, reused
  std::mutex rect_mutex_;                     // device_rect_ between adjust and readers
  struct frame_request;
  std::mutex requests_mutex_;
  std::vector<std::shared_ptr<frame_request>> requests_;
  std::atomic<std::thread::id> drawing_thread_{};
  std::atomic<int64_t> request_timeout_ms_{2000};
};

// Redirects drawing into a texture for the life of the object, with a camera ("RTarg") that maps
// texture pixel (x, y) of the target's top-left to the scene point (x, y) given at construction,
// so that what is drawn reads the right way up when the texture is drawn later.
class render_target {
 public:
  render_target(RenderDevice& device, std::shared_ptr<Texture> texture, int32_t x, int32_t y);
  ~render_target();
  render_target(const render_target&) = delete;
  render_target& operator=(const render_target&) = delete;

 private:
  RenderDevice& device_;
  std::shared_ptr<Camera> camera_;
  mat4 world_;
};

}  // namespace zel

namespace zel {
class zelContext;
}

#if defined(__clang__)
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wreturn-type-c-linkage"
#endif
// Makes a device by name: a plug-in device registered under the name, else the built-in OpenGL
// device for "OpenGL" or "Direct3D8" (the software device when EGL cannot start), the software
// device for "Software"; stores it in the context's device and env_driver. Returns
// the context's device (unchanged, possibly empty, for an unknown name).
extern "C" std::shared_ptr<zel::RenderDevice> ZEL_createDevice(const std::u16string& name,
                                                               zel::zelContext& context);
#if defined(__clang__)
#pragma clang diagnostic pop
#endif
