#include "zel/3d/driver/gl/gl_device.h"

#include <EGL/egl.h>
#include <EGL/eglext.h>
#include <GLES3/gl3.h>
// After gl3.h: the extension tokens.
#include <GLES2/gl2ext.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <map>

#include "qar/trace.h"
#include "zel/context.h"
#include "zel/events.h"
#include "zel/font.h"
#include "zel/gui_dispatcher.h"
#include "zel/il/bitmap_image.h"
#include "zel/math/primitive.h"
#include "zel/math/vec.h"
#include "zel/platform/x11/device_window.h"
#include "zel/platform/x11/sigpipe.h"
#include "zel/render_mng.h"

#ifndef EGL_CONTEXT_OPENGL_ROBUST_ACCESS_EXT
#define EGL_CONTEXT_OPENGL_ROBUST_ACCESS_EXT 0x30BF
#endif
#ifndef GL_GUILTY_CONTEXT_RESET
#define GL_GUILTY_CONTEXT_RESET 0x8253
#endif

namespace zel {
namespace gl {

namespace {

using get_reset_status_fn = GLenum (*)();

// A context current on a thread stays bound to it even after the thread ends, and no other
// thread could take it then: a thread that made a context current lets it go when it ends.
// The display the context is current on is asked of EGL: the device that made it current may be
// gone, its display terminated, and another device's context current since.
struct ReleaseAtThreadExit {
  bool used = false;
  ~ReleaseAtThreadExit() {
    if (!used || eglGetCurrentContext() == EGL_NO_CONTEXT) return;
    EGLDisplay dpy = eglGetCurrentDisplay();
    if (dpy != EGL_NO_DISPLAY) eglMakeCurrent(dpy, EGL_NO_SURFACE, EGL_NO_SURFACE, EGL_NO_CONTEXT);
  }
};
thread_local ReleaseAtThreadExit t_release;

// Headless EGL displays are shared by every device (the same handle comes back for the same
// native display) and stay initialised for the life of the process: terminating one would pull
// the driver from under the other devices on it. A device under X has an X connection and so
// an EGL display of its own, terminated with it (see ~GLDevice).
//
// Headless without a display, or where the host chose it (zelInitEx); ZEL_HEADLESS overrides
// the host's choice.
bool env_headless() {
  const char* d = std::getenv("DISPLAY");
  if (!d || !*d) return true;
  const char* h = std::getenv("ZEL_HEADLESS");
  if (h && std::strcmp(h, "1") == 0) return true;
  if (h && std::strcmp(h, "0") == 0) return false;
  return zelContext::is_init() && zelContext::instance().display == zel_display_headless;
}

bool has_extension(const char* list, const char* name) {
  if (!list) return false;
  const size_t n = std::strlen(name);
  for (const char* p = list; (p = std::strstr(p, name)) != nullptr; p += n)
    if ((p == list || p[-1] == ' ') && (p[n] == ' ' || p[n] == 0)) return true;
  return false;
}

// The vertex stage maps clip space as Direct3D does: depth 0..w, the top of the target at
// y = +w, and pixel centres on integer coordinates (hence the half-pixel shift). Targets are
// stored top row first, so the top of the target is GL's row 0.
const char* kVertexShader = R"(#version 300 es
layout(location = 0) in vec3 a_pos;
layout(location = 1) in vec4 a_col;
layout(location = 2) in vec2 a_uv;
uniform mat4 u_mvp;
uniform vec2 u_shift;
out vec4 v_col;
out vec2 v_uv;
void main() {
  vec4 p = u_mvp * vec4(a_pos, 1.0);
  p.x = p.x + u_shift.x * p.w;
  p.y = -p.y + u_shift.y * p.w;
  p.z = 2.0 * p.z - p.w;
  gl_Position = p;
  gl_PointSize = 1.0;
  v_col = a_col.bgra;
  v_uv = a_uv;
}
)";

// Stage 0: colour texture x diffuse (MODULATE) or the texture alone (SELECTARG1); alpha from
// the diffuse colour (stage disabled), the texture, or their product. Stage 1 (mask): the
// colour passes, the alpha is multiplied by the mask texture's. Untextured draws take the
// diffuse colour.
const char* kFragmentShader = R"(
precision highp float;
uniform sampler2D u_tex0;
uniform sampler2D u_tex1;
in vec4 v_col;
in vec2 v_uv;
out vec4 o_col;
void main() {
#if HAS_TEX0
  vec4 t = texture(u_tex0, v_uv);
#if COLOR_OP == 0
  vec3 c = t.rgb * v_col.rgb;
#else
  vec3 c = t.rgb;
#endif
#if ALPHA_OP == 0
  float a = v_col.a;
#elif ALPHA_OP == 1
  float a = t.a;
#else
  float a = t.a * v_col.a;
#endif
#else
  vec3 c = v_col.rgb;
  float a = v_col.a;
#endif
#if MASK
  a = a * texture(u_tex1, v_uv).a;
#endif
  o_col = vec4(c, a);
}
)";

struct Program {
  GLuint prog = 0;
  GLint u_mvp = -1, u_shift = -1;
};

GLuint compile(GLenum kind, const std::string& src) {
  GLuint s = glCreateShader(kind);
  const char* p = src.c_str();
  glShaderSource(s, 1, &p, nullptr);
  glCompileShader(s);
  GLint ok = 0;
  glGetShaderiv(s, GL_COMPILE_STATUS, &ok);
  if (!ok) {
    char log[1024] = {};
    glGetShaderInfoLog(s, sizeof log - 1, nullptr, log);
    qar::tracef("zel gl: shader compilation failed: %s", log);
    glDeleteShader(s);
    return 0;
  }
  return s;
}

}  // namespace

struct GLDevice::Impl {
  // EGL and X.
  EGLDisplay dpy = EGL_NO_DISPLAY;
  EGLConfig cfg = nullptr;
  EGLContext ctx = EGL_NO_CONTEXT;
  EGLSurface surf = EGL_NO_SURFACE;
  void* xdpy = nullptr;  // EGL's X connection (drawing thread), from the platform layer
  bool x11_egl = false;  // dpy is the EGL display of xdpy (the device's own)
  std::string display_name;
  int32_t screen_w = 0, screen_h = 0, screen_depth = 0;
  bool robust = false;
  get_reset_status_fn reset_status = nullptr;
  std::unique_ptr<x11::DeviceWindow> win;
  bool display_set = false;
  bool server_gone = false;  // the X connection broke: nothing more is presented

  // Mode, shared with the window thread.
  mutable std::mutex mode_mutex;
  DeviceMode mode;
  std::atomic<bool> mode_changed{false};
  std::atomic<int> toggles{0};
  std::atomic<bool> paused_by_window{false};
  mutable std::mutex rect_mutex;

  // GL objects of the current context.
  bool gl_ready = false;
  int32_t fb_w = 0, fb_h = 0;
  GLuint fbo = 0, fb_color = 0, fb_tex = 0, rt_fbo = 0;  // fb_color or fb_tex: the frame
  GLuint samplers[2] = {0, 0};
  GLuint line_vao = 0, line_vbo = 0;
  size_t line_cap = 0;
  GLsync frame_done = nullptr;  // fence after the last presented frame
  std::map<int, Program> programs;
  GLuint current_prog = 0;

  // Frame states (as the fixed-function stages of the original).
  bool blend = false;        // ALPHABLENDENABLE
  bool blend_alpha = false;  // SRCALPHA / INVSRCALPHA (else ONE / ZERO)
  bool blend_flag = false;   // what set_state(1, ...) last said
  int color_op = 0;          // 0 MODULATE, 1 SELECTARG1 (texture)
  int alpha_op = 1;          // 0 diffuse (disabled), 1 texture, 2 texture x diffuse
  bool mask = false;
  std::shared_ptr<GLTexture> tex[2];
  std::shared_ptr<GLVertexBuffer> vb;
  std::shared_ptr<GLTexture> target;  // null: the frame buffer
  std::vector<std::shared_ptr<GLTexture>> saved;
  int32_t vp_w = 0, vp_h = 0;
  bool mvp_dirty = true;
  float mvp[16] = {};
  // Cached GL state.
  int gl_blend = -1, gl_blend_alpha = -1;
  // The frame buffer holds BGRA (read back as it is stored); frames read back with BGRA order.
  bool fb_bgra = false, read_bgra = false;
  // The last frame read back, reused by the next read once its reader has let it go.
  std::shared_ptr<BitmapImage> spare_frame;

  // Loss.
  std::atomic<bool> simulate{false};
  std::atomic<int> wait_frames{0};
  bool notified = false;
  int failed = 0;
  // The clear a lost device could not do; done once the device is back in the same frame.
  bool clear_pending = false;
  float clear_rgba[4] = {0, 0, 0, 0};
};

GLDevice::GLDevice() : d_(new Impl), shared_(std::make_shared<GLShared>()) {
  name_ = u"OpenGL";
  text_color_ = std::make_shared<ColorARGB>(255, 255, 255, 255);
  env_driver_ = std::make_shared<GLEnvIndepDriver>();
  textures_ = std::make_shared<GLTextureManager>(shared_);
}

GLDevice::~GLDevice() {
  // Fonts stop drawing through this device (their glyph textures need no GL to go).
  qar::guarded([&] { text::release_device(*this); });
  shared_->device_alive = false;
  d_->tex[0].reset();
  d_->tex[1].reset();
  d_->vb.reset();
  d_->target.reset();
  d_->saved.clear();
  destroy_context();
  d_->win.reset();
  // EGL finds a display by its native handle and keeps it, initialised on the connection it
  // was given. A later connection may be allocated at this one's address: it would get this
  // EGL display back, still bound to the closed connection. Terminated first, the display is
  // initialised afresh on whichever connection asks for it next.
  x11::SigpipeGuard no_sigpipe;
  if (d_->x11_egl) eglTerminate(d_->dpy);
  x11::close_native_display(d_->xdpy);
}

bool GLDevice::init() {
  if (d_->dpy != EGL_NO_DISPLAY) return true;
  headless_ = env_headless();
  auto get_platform_display = reinterpret_cast<PFNEGLGETPLATFORMDISPLAYEXTPROC>(
      eglGetProcAddress("eglGetPlatformDisplayEXT"));
  if (!get_platform_display) return false;
  EGLDisplay dpy = EGL_NO_DISPLAY;
  if (!headless_) {
    const x11::NativeDisplay native = x11::open_native_display();
    d_->xdpy = native.display;
    if (d_->xdpy) {
      d_->display_name = native.name;
      d_->screen_w = native.width;
      d_->screen_h = native.height;
      d_->screen_depth = native.depth;
      dpy = get_platform_display(EGL_PLATFORM_X11_KHR, d_->xdpy, nullptr);
    }
    if (dpy == EGL_NO_DISPLAY) headless_ = true;
  }
  if (headless_) {
    dpy = get_platform_display(EGL_PLATFORM_SURFACELESS_MESA, EGL_DEFAULT_DISPLAY, nullptr);
    if (dpy == EGL_NO_DISPLAY || !eglInitialize(dpy, nullptr, nullptr)) {
      // The EGL device platform: the first device.
      auto query_devices =
          reinterpret_cast<PFNEGLQUERYDEVICESEXTPROC>(eglGetProcAddress("eglQueryDevicesEXT"));
      EGLDeviceEXT dev = nullptr;
      EGLint n = 0;
      dpy = EGL_NO_DISPLAY;
      if (query_devices && query_devices(1, &dev, &n) && n > 0)
        dpy = get_platform_display(EGL_PLATFORM_DEVICE_EXT, dev, nullptr);
      if (dpy == EGL_NO_DISPLAY || !eglInitialize(dpy, nullptr, nullptr)) return false;
    }
  } else if (!eglInitialize(dpy, nullptr, nullptr)) {
    return false;
  } else {
    d_->x11_egl = true;
  }
  d_->dpy = dpy;
  if (eglBindAPI(EGL_OPENGL_ES_API) != EGL_TRUE) return false;
  // Textures keep their pixels until the drawing thread uploads them: a scene can be built as
  // soon as the device exists, before the display is set or the render thread runs.
  set_context_textures();
  return true;
}

void GLDevice::reset() {
  destroy_context();
}

bool GLDevice::set_display(void* window, const DeviceMode& mode) {
  if (d_->dpy == EGL_NO_DISPLAY) return false;
  if (mode.width < 1 || mode.height < 1) return false;
  {
    std::lock_guard<std::mutex> g(d_->mode_mutex);
    d_->mode = mode;
    d_->mode.window = uintptr_t(window);
  }
  if (!headless_ && !d_->win) {
    x11::DeviceWindow::callbacks cb;
    cb.device_rect = [this] {
      qar::Rect r = get_device_rect();
      if (r.right <= r.left || r.bottom <= r.top) {
        // Before the first adjust: the whole mode.
        DeviceMode m = this->mode();
        r = qar::Rect(0, 0, m.width, m.height);
      }
      return r;
    };
    cb.toggle_request = [] {
      if (!zelContext::is_init()) return;
      RenderMng* rm = zelContext::instance().render_mng;
      if (!rm) return;
      DeviceMode m = rm->get_mode();
      m.windowed = m.windowed == 1 ? 0 : 1;
      rm->change_mode(m);
    };
    // A minimised window pauses the render manager; mapped again, it resumes what it paused.
    cb.mapped = [this](bool mapped) {
      if (!zelContext::is_init()) return;
      RenderMng* rm = zelContext::instance().render_mng;
      if (!rm) return;
      if (!mapped && !rm->is_pause()) {
        rm->pause(true, false);
        d_->paused_by_window = true;
      } else if (mapped && d_->paused_by_window.exchange(false)) {
        rm->pause(false, false);
      }
    };
    d_->win.reset(new x11::DeviceWindow(d_->display_name, uintptr_t(window), mode.width,
                                        mode.height, std::move(cb)));
    if (!d_->win->ok()) return false;
    std::lock_guard<std::mutex> g(d_->mode_mutex);
    d_->mode.window = d_->win->window();
  }
  if (d_->win) {
    int32_t w, h, wmm, hmm;
    d_->win->screen_metrics(w, h, wmm, hmm);
    horz_res_ = w;
    vert_res_ = h;
    horz_size_mm_ = wmm;
    vert_size_mm_ = hmm;
    ppi_x_ = wmm > 0 ? int32_t(std::lround(w * 25.4 / wmm)) : 96;
    ppi_y_ = hmm > 0 ? int32_t(std::lround(h * 25.4 / hmm)) : 96;
  } else {
    horz_res_ = mode.width;
    vert_res_ = mode.height;
    horz_size_mm_ = int32_t(std::lround(mode.width * 25.4 / 96));
    vert_size_mm_ = int32_t(std::lround(mode.height * 25.4 / 96));
    ppi_x_ = ppi_y_ = 96;
  }
  if (d_->ctx == EGL_NO_CONTEXT && !create_context()) return false;
  d_->display_set = true;
  set_context_textures();
  // One black frame; then the context is free for whichever thread draws.
  begin_frame(false, 0, 0, 0, 0);
  end_frame();
  eglMakeCurrent(d_->dpy, EGL_NO_SURFACE, EGL_NO_SURFACE, EGL_NO_CONTEXT);
  return !lost_.load();
}

bool GLDevice::create_context() {
  Impl& d = *d_;
  const bool windowed = d.win != nullptr;
  const EGLint cfg_attr[] = {EGL_SURFACE_TYPE,
                             windowed ? EGL_WINDOW_BIT : 0,
                             EGL_RENDERABLE_TYPE,
                             EGL_OPENGL_ES3_BIT,
                             EGL_RED_SIZE,
                             8,
                             EGL_GREEN_SIZE,
                             8,
                             EGL_BLUE_SIZE,
                             8,
                             EGL_NONE};
  EGLint n = 0;
  if (!eglChooseConfig(d.dpy, cfg_attr, &d.cfg, 1, &n) || n < 1) return false;
  const char* exts = eglQueryString(d.dpy, EGL_EXTENSIONS);
  if (has_extension(exts, "EGL_EXT_create_context_robustness")) {
    const EGLint robust_attr[] = {EGL_CONTEXT_MAJOR_VERSION,
                                  3,
                                  EGL_CONTEXT_OPENGL_ROBUST_ACCESS_EXT,
                                  EGL_TRUE,
                                  EGL_CONTEXT_OPENGL_RESET_NOTIFICATION_STRATEGY_EXT,
                                  EGL_LOSE_CONTEXT_ON_RESET_EXT,
                                  EGL_NONE};
    d.ctx = eglCreateContext(d.dpy, d.cfg, EGL_NO_CONTEXT, robust_attr);
    d.robust = d.ctx != EGL_NO_CONTEXT;
  }
  if (d.ctx == EGL_NO_CONTEXT) {
    const EGLint attr[] = {EGL_CONTEXT_MAJOR_VERSION, 3, EGL_NONE};
    d.ctx = eglCreateContext(d.dpy, d.cfg, EGL_NO_CONTEXT, attr);
  }
  if (d.ctx == EGL_NO_CONTEXT) return false;
  if (windowed) {
    d.surf = eglCreateWindowSurface(d.dpy, d.cfg, EGLNativeWindowType(d.win->window()), nullptr);
    if (d.surf == EGL_NO_SURFACE) {
      eglDestroyContext(d.dpy, d.ctx);
      d.ctx = EGL_NO_CONTEXT;
      return false;
    }
  }
  if (!make_current()) return false;
  if (d.robust) {
    d.reset_status =
        reinterpret_cast<get_reset_status_fn>(eglGetProcAddress("glGetGraphicsResetStatusEXT"));
    if (!d.reset_status) d.robust = false;
  }
  if (d.surf != EGL_NO_SURFACE) eglSwapInterval(d.dpy, 0);
  return ensure_frame_buffer();
}

void GLDevice::destroy_context() {
  Impl& d = *d_;
  if (d.ctx != EGL_NO_CONTEXT) {
    if (eglGetCurrentContext() == d.ctx)
      eglMakeCurrent(d.dpy, EGL_NO_SURFACE, EGL_NO_SURFACE, EGL_NO_CONTEXT);
    eglDestroyContext(d.dpy, d.ctx);
    d.ctx = EGL_NO_CONTEXT;
  }
  if (d.surf != EGL_NO_SURFACE) {
    eglDestroySurface(d.dpy, d.surf);
    d.surf = EGL_NO_SURFACE;
  }
  // Every name of the old context is gone with it.
  {
    std::lock_guard<std::mutex> g(shared_->mutex);
    shared_->generation.fetch_add(1);
    shared_->dead_textures.clear();
    shared_->dead_buffers.clear();
    shared_->dead_arrays.clear();
  }
  d.gl_ready = false;
  d.fbo = d.fb_color = d.fb_tex = d.rt_fbo = 0;
  d.samplers[0] = d.samplers[1] = 0;
  d.line_vao = d.line_vbo = 0;
  d.line_cap = 0;
  d.frame_done = nullptr;  // went with the context
  d.programs.clear();
  d.current_prog = 0;
  d.fb_w = d.fb_h = 0;
  d.gl_blend = d.gl_blend_alpha = -1;
  d.target.reset();
  d.saved.clear();
}

bool GLDevice::make_current() {
  Impl& d = *d_;
  if (d.ctx == EGL_NO_CONTEXT) return false;
  // The context moves to the thread that draws; other code may switch contexts in between.
  if (eglGetCurrentContext() == d.ctx) return true;
  if (eglMakeCurrent(d.dpy, d.surf, d.surf, d.ctx) != EGL_TRUE) return false;
  t_release.used = true;
  return true;
}

void GLDevice::release_current() {
  if (d_->ctx != EGL_NO_CONTEXT && eglGetCurrentContext() == d_->ctx)
    eglMakeCurrent(d_->dpy, EGL_NO_SURFACE, EGL_NO_SURFACE, EGL_NO_CONTEXT);
}

bool GLDevice::ensure_frame_buffer() {
  Impl& d = *d_;
  DeviceMode m = mode();
  const int32_t w = std::max(1, m.width), h = std::max(1, m.height);
  if (!d.gl_ready) {
    glGenFramebuffers(1, &d.fbo);
    glGenFramebuffers(1, &d.rt_fbo);
    glGenSamplers(2, d.samplers);
    for (int i = 0; i < 2; ++i) {
      const GLint f = i == 0 ? GL_NEAREST : GL_LINEAR;
      glSamplerParameteri(d.samplers[i], GL_TEXTURE_MIN_FILTER, f);
      glSamplerParameteri(d.samplers[i], GL_TEXTURE_MAG_FILTER, f);
      glSamplerParameteri(d.samplers[i], GL_TEXTURE_WRAP_S, GL_REPEAT);
      glSamplerParameteri(d.samplers[i], GL_TEXTURE_WRAP_T, GL_REPEAT);
      glBindSampler(GLuint(i), d.samplers[i]);
    }
    glGenVertexArrays(1, &d.line_vao);
    glGenBuffers(1, &d.line_vbo);
    glBindVertexArray(d.line_vao);
    glBindBuffer(GL_ARRAY_BUFFER, d.line_vbo);
    glEnableVertexAttribArray(0);
    glVertexAttribPointer(0, 3, GL_FLOAT, GL_FALSE, 16, nullptr);
    glEnableVertexAttribArray(1);
    glVertexAttribPointer(1, 4, GL_UNSIGNED_BYTE, GL_TRUE, 16, reinterpret_cast<void*>(12));
    // Absent components: white diffuse, texture coordinates (0, 0).
    glVertexAttrib4f(1, 1, 1, 1, 1);
    glVertexAttrib4f(2, 0, 0, 0, 1);
    glDisable(GL_DEPTH_TEST);
    glDisable(GL_CULL_FACE);
    glDisable(GL_DITHER);
    // BGRA textures and frames when the driver has them: the engine's pixels are BGRA bytes,
    // so nothing is swizzled on the way in or out, and a software rasteriser works in its
    // native order.
    const char* exts = reinterpret_cast<const char*>(glGetString(GL_EXTENSIONS));
    d.read_bgra = has_extension(exts, "GL_EXT_read_format_bgra");
    shared_->bgra = d.read_bgra && has_extension(exts, "GL_EXT_texture_format_BGRA8888");
    d.gl_ready = true;
  }
  if (d.fb_w != w || d.fb_h != h || (d.fb_color == 0 && d.fb_tex == 0)) {
    if (d.fb_color) glDeleteRenderbuffers(1, &d.fb_color);
    if (d.fb_tex) glDeleteTextures(1, &d.fb_tex);
    d.fb_color = d.fb_tex = 0;
    glBindFramebuffer(GL_FRAMEBUFFER, d.fbo);
    d.fb_bgra = false;
    if (shared_->bgra.load()) {
      // BGRA storage (a texture: renderbuffers take no BGRA format here).
      while (glGetError() != GL_NO_ERROR) {
      }
      glGenTextures(1, &d.fb_tex);
      glBindTexture(GL_TEXTURE_2D, d.fb_tex);
      glTexImage2D(GL_TEXTURE_2D, 0, GL_BGRA_EXT, w, h, 0, GL_BGRA_EXT, GL_UNSIGNED_BYTE, nullptr);
      glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAX_LEVEL, 0);
      glFramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, d.fb_tex, 0);
      d.fb_bgra = glGetError() == GL_NO_ERROR &&
                  glCheckFramebufferStatus(GL_FRAMEBUFFER) == GL_FRAMEBUFFER_COMPLETE;
      if (!d.fb_bgra) {
        glFramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, 0, 0);
        glDeleteTextures(1, &d.fb_tex);
        d.fb_tex = 0;
      }
    }
    if (!d.fb_bgra) {
      glGenRenderbuffers(1, &d.fb_color);
      glBindRenderbuffer(GL_RENDERBUFFER, d.fb_color);
      glRenderbufferStorage(GL_RENDERBUFFER, GL_RGBA8, w, h);
      glFramebufferRenderbuffer(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_RENDERBUFFER, d.fb_color);
    }
    if (glCheckFramebufferStatus(GL_FRAMEBUFFER) != GL_FRAMEBUFFER_COMPLETE) return false;
    d.fb_w = w;
    d.fb_h = h;
    if (!d.target) {
      glViewport(0, 0, w, h);
      d.vp_w = w;
      d.vp_h = h;
      d.mvp_dirty = true;
    }
  }
  return true;
}

DeviceMode GLDevice::mode() const {
  std::lock_guard<std::mutex> g(d_->mode_mutex);
  return d_->mode;
}

uintptr_t GLDevice::window() const {
  return d_->win ? d_->win->window() : 0;
}

qar::Rect GLDevice::get_view_rect() const {
  if (d_->ctx == EGL_NO_CONTEXT) return qar::Rect();
  return qar::Rect(0, 0, d_->vp_w, d_->vp_h);
}

qar::Rect GLDevice::get_device_rect() {
  std::lock_guard<std::mutex> g(d_->rect_mutex);
  return device_rect_;
}

std::vector<DeviceMode> GLDevice::get_display_mode() {
  std::vector<DeviceMode> out;
  if (d_->dpy == EGL_NO_DISPLAY) return out;
  DeviceMode m;
  if (d_->screen_w > 0) {
    // The X screen, as read when the device was initialised (the connection belongs to the
    // drawing thread).
    m.width = d_->screen_w;
    m.height = d_->screen_h;
    m.depth = d_->screen_depth >= 24 ? 32 : 16;
  } else {
    DeviceMode cur = mode();
    m.width = cur.width;
    m.height = cur.height;
    m.depth = 32;
  }
  m.refresh_rate = 60;
  out.push_back(m);
  return out;
}

// ---------------------------------------------------------------------------------------------
// Frames

bool GLDevice::begin_frame(bool, int a, int r, int g, int b) {
  Impl& d = *d_;
  d.clear_rgba[0] = float(r & 0xFF) / 255.0f;
  d.clear_rgba[1] = float(g & 0xFF) / 255.0f;
  d.clear_rgba[2] = float(b & 0xFF) / 255.0f;
  d.clear_rgba[3] = float(a & 0xFF) / 255.0f;
  d.blend = true;
  d.color_op = 0;
  // A lost device clears nothing, but the frame goes on so that begin_scene can restore it
  // (and clear then).
  note_drawing_thread();
  if (lost_.load() || !make_current()) {
    d.clear_pending = true;
    return true;
  }
  d.clear_pending = false;
  // Names released by other threads.
  {
    std::vector<uint32_t> t, bf, va;
    {
      std::lock_guard<std::mutex> lk(shared_->mutex);
      t.swap(shared_->dead_textures);
      bf.swap(shared_->dead_buffers);
      va.swap(shared_->dead_arrays);
    }
    if (!t.empty()) glDeleteTextures(GLsizei(t.size()), t.data());
    if (!bf.empty()) glDeleteBuffers(GLsizei(bf.size()), bf.data());
    if (!va.empty()) glDeleteVertexArrays(GLsizei(va.size()), va.data());
  }
  if (d.mode_changed.exchange(false)) {
    // A mode change: fonts are made again for the new mode.
    text::free_resources(*this);
    font_.reset();
  }
  if (!ensure_frame_buffer()) return true;
  if (!d.target) glBindFramebuffer(GL_FRAMEBUFFER, d.fbo);
  glClearColor(d.clear_rgba[0], d.clear_rgba[1], d.clear_rgba[2], d.clear_rgba[3]);
  glClear(GL_COLOR_BUFFER_BIT);
  return true;
}

bool GLDevice::begin_scene() {
  Impl& d = *d_;
  if (lost_.load() && !restory()) return false;
  if (!make_current()) return false;
  if (d.clear_pending) {
    d.clear_pending = false;
    glBindFramebuffer(GL_FRAMEBUFFER, d.target ? d.rt_fbo : d.fbo);
    glClearColor(d.clear_rgba[0], d.clear_rgba[1], d.clear_rgba[2], d.clear_rgba[3]);
    glClear(GL_COLOR_BUFFER_BIT);
  }
  ++scene_depth_;
  on_scene_ = true;
  return true;
}

void GLDevice::end_scene() {
  if (!on_scene_) return;
  on_scene_ = false;
  --scene_depth_;
}

void GLDevice::present() {
  Impl& d = *d_;
  // At most one frame stays queued while the next one is drawn. The software rasteriser makes
  // a scene (about 1 MiB) for each frame it has to queue and keeps it, so a render thread that
  // ran ahead whenever the machine was busy grew the process in steps for as long as it ran.
  auto wait_previous_frame = [&d] {
    GLsync done = glFenceSync(GL_SYNC_GPU_COMMANDS_COMPLETE, 0);
    if (d.frame_done) {
      glClientWaitSync(d.frame_done, GL_SYNC_FLUSH_COMMANDS_BIT, 1000000000u);
      glDeleteSync(d.frame_done);
    }
    d.frame_done = done;
  };
  // With the X server gone there is no window to present into (and Mesa's software path
  // never returns from putting an image down a broken connection): frames stay in the frame
  // buffer, where read-back still finds them.
  if (d.surf != EGL_NO_SURFACE && !d.server_gone &&
      ((d.win && !d.win->alive()) || x11::native_display_closed(d.xdpy))) {
    d.server_gone = true;
    qar::tracef("zel gl: the X server is gone; frames are no longer presented");
  }
  if (d.surf == EGL_NO_SURFACE || d.server_gone) {
    glFlush();
    wait_previous_frame();
    return;
  }
  EGLint sw = 0, sh = 0;
  eglQuerySurface(d.dpy, d.surf, EGL_WIDTH, &sw);
  eglQuerySurface(d.dpy, d.surf, EGL_HEIGHT, &sh);
  glBindFramebuffer(GL_READ_FRAMEBUFFER, d.fbo);
  glBindFramebuffer(GL_DRAW_FRAMEBUFFER, 0);
  // The frame's top row is its row 0; the window's is the last.
  const bool same = sw == d.fb_w && sh == d.fb_h;
  glBlitFramebuffer(0, 0, d.fb_w, d.fb_h, 0, sh, sw, 0, GL_COLOR_BUFFER_BIT,
                    same ? GL_NEAREST : GL_LINEAR);
  // The frame goes down the X connection: a server gone must not end the process.
  x11::SigpipeGuard no_sigpipe;
  if (!eglSwapBuffers(d.dpy, d.surf) && eglGetError() == EGL_CONTEXT_LOST) lost_ = true;
  glBindFramebuffer(GL_FRAMEBUFFER, d.target ? d.rt_fbo : d.fbo);
  wait_previous_frame();
}

void GLDevice::end_frame() {
  if (lost_.load() || !make_current()) {
    run_frame_requests();  // they learn that the device is lost
    return;
  }
  Impl& d = *d_;
  present();
  // Reads asked for by other threads see the frame just presented.
  run_frame_requests();
  if (d.robust && d.reset_status && d.reset_status() != GL_NO_ERROR) lost_ = true;
  if (d.simulate.exchange(false)) lost_ = true;
  if (lost_.load()) {
    // The context is gone (or as good as gone): drop it; restory makes a new one.
    destroy_context();
  }
}

void GLDevice::simulate_loss(int frames_until_possible) {
  d_->wait_frames = frames_until_possible;
  d_->simulate = true;
}

void GLDevice::notify(int32_t code) {
  if (!zelContext::is_init()) return;
  if (RenderMng* rm = zelContext::instance().render_mng)
    rm->post_message(std::make_shared<notification_event>(code));
}

bool GLDevice::reset_context() {
  if (fail_resets_.load() > 0) {
    fail_resets_.fetch_sub(1);
    return false;
  }
  destroy_context();
  if (!create_context()) {
    destroy_context();
    return false;
  }
  text::free_resources(*this);
  font_.reset();
  return true;
}

bool GLDevice::restory() {
  Impl& d = *d_;
  if (!lost_.load()) return true;
  if (!d.notified) {
    notify(notification_device_lost);
    d.notified = true;
  }
  // While the reset is still in progress nothing is tried, and nothing counts as a failure.
  if (d.wait_frames.load() > 0) {
    d.wait_frames.fetch_sub(1);
    return false;
  }
  if (!reset_context()) {
    if (++d.failed > max_failed_resets) {
      d.failed = 0;
      QAR_THROW(RenderDevice::lost());
    }
    return false;
  }
  d.failed = 0;
  lost_ = false;
  notify(notification_device_restored);
  d.notified = false;
  return true;
}

bool GLDevice::run_on_window_thread(const std::function<bool()>& fn) {
  if (gui::is_attached() && !gui::is_gui_thread()) {
    try {
      return gui::invoke(fn);
    } catch (const gui::error& e) {
      // No GUI loop drains the dispatcher: the window work is safe here too (own connection).
      QAR_TRACE_CATCH(e);
    }
  }
  return fn();
}

bool GLDevice::toggle_mode(const DeviceMode& mode) {
  if (mode.width < 1 || mode.height < 1) return false;
  const DeviceMode m = mode;
  return run_on_window_thread([this, m] {
    if (++d_->toggles > max_failed_resets) {
      d_->toggles = 0;
      QAR_THROW(RenderDevice::lost());
    }
    bool ok = true;
    if (d_->win) ok = d_->win->apply_mode(m.width, m.height, m.windowed != 1);
    if (!ok) return false;
    {
      std::lock_guard<std::mutex> g(d_->mode_mutex);
      const uintptr_t w = d_->mode.window;
      d_->mode = m;
      d_->mode.window = w;
    }
    d_->toggles = 0;
    d_->mode_changed = true;
    return true;
  });
}

bool GLDevice::begin_2D_mode() {
  d_->blend = false;
  d_->color_op = 1;
  return true;
}

void GLDevice::set_state(DeviceStateType type, uint32_t value) {
  Impl& d = *d_;
  if (type == ds_alpha_blend) {
    if (value == 0) {
      d.blend = false;
      d.alpha_op = 0;
    } else {
      d.blend = true;
      d.blend_alpha = true;
      d.alpha_op = 2;
    }
    d.blend_flag = value != 0;
  } else if (type == ds_alpha_mask) {
    if (value == 0)
      d.mask = false;
    else if (d.blend_flag)
      d.mask = true;
  }
}

// ---------------------------------------------------------------------------------------------
// Matrices

void GLDevice::set_world_mat(const mat4& m) {
  world_ = m;
  d_->mvp_dirty = true;
}
void GLDevice::set_view_mat(const mat4& m) {
  view_ = m;
  d_->mvp_dirty = true;
}
void GLDevice::set_projection_mat(const mat4& m) {
  proj_ = m;
  d_->mvp_dirty = true;
}

void GLDevice::adjust(const mat4& m) {
  set_world_mat(m);
  qar::Rect r = get_view_rect();
  std::lock_guard<std::mutex> g(d_->rect_mutex);
  device_rect_ = r;
}

void GLDevice::update_matrix() {
  Impl& d = *d_;
  if (!d.mvp_dirty) return;
  const mat4 m = proj_ * view_ * world_;
  std::memcpy(d.mvp, m.mat_array, sizeof d.mvp);
  d.mvp_dirty = false;
  d.current_prog = 0;  // uniforms go again
}

// ---------------------------------------------------------------------------------------------
// Resources and drawing

std::shared_ptr<VertexBuffer> GLDevice::create_vertexbuffer(uint32_t type, uint32_t count,
                                                            uint32_t usage) {
  if (count == 0 || vertex_size(type) == 0 || count > (1u << 24)) return nullptr;
  return std::make_shared<GLVertexBuffer>(shared_, type & (vt_position | vt_diffuse | vt_tex1),
                                          count, (usage & 1) != 0);
}

void GLDevice::set_texture(uint32_t stage, std::shared_ptr<Texture> texture) {
  if (stage > 1) return;
  d_->tex[stage] = std::dynamic_pointer_cast<GLTexture>(texture);
}

void GLDevice::set_vertex(uint32_t stream, std::shared_ptr<VertexBuffer> vb) {
  if (stream != 0 || !vb) return;
  d_->vb = std::dynamic_pointer_cast<GLVertexBuffer>(vb);
}

void* GLDevice::get_device() {
  return d_->ctx;
}

void GLDevice::apply_draw_state(bool textured) {
  Impl& d = *d_;
  const bool has_tex = textured && d.tex[0];
  const bool mask = has_tex && d.mask && d.blend && d.tex[1];
  const int key = (has_tex ? 1 : 0) | (d.color_op << 1) | (d.alpha_op << 2) | (mask ? 16 : 0);
  Program& p = d.programs[key];
  if (!p.prog) {
    std::string defs = "#version 300 es\n#define HAS_TEX0 " + std::to_string(has_tex ? 1 : 0) +
                       "\n#define COLOR_OP " + std::to_string(d.color_op) + "\n#define ALPHA_OP " +
                       std::to_string(d.alpha_op) + "\n#define MASK " +
                       std::to_string(mask ? 1 : 0) + "\n";
    GLuint vs = compile(GL_VERTEX_SHADER, kVertexShader);
    GLuint fs = compile(GL_FRAGMENT_SHADER, defs + kFragmentShader);
    if (!vs || !fs) return;
    p.prog = glCreateProgram();
    glAttachShader(p.prog, vs);
    glAttachShader(p.prog, fs);
    glLinkProgram(p.prog);
    glDeleteShader(vs);
    glDeleteShader(fs);
    p.u_mvp = glGetUniformLocation(p.prog, "u_mvp");
    p.u_shift = glGetUniformLocation(p.prog, "u_shift");
    glUseProgram(p.prog);
    glUniform1i(glGetUniformLocation(p.prog, "u_tex0"), 0);
    glUniform1i(glGetUniformLocation(p.prog, "u_tex1"), 1);
    d.current_prog = 0;
  }
  update_matrix();
  if (d.current_prog != p.prog) {
    glUseProgram(p.prog);
    glUniformMatrix4fv(p.u_mvp, 1, GL_FALSE, d.mvp);
    glUniform2f(p.u_shift, 1.0f / float(std::max(1, d.vp_w)), 1.0f / float(std::max(1, d.vp_h)));
    d.current_prog = p.prog;
  }
  if (d.gl_blend != int(d.blend)) {
    if (d.blend)
      glEnable(GL_BLEND);
    else
      glDisable(GL_BLEND);
    d.gl_blend = d.blend;
  }
  if (d.blend && d.gl_blend_alpha != int(d.blend_alpha)) {
    // Colour as the original blends it; the target's alpha accumulates coverage.
    if (d.blend_alpha)
      glBlendFuncSeparate(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA, GL_ONE, GL_ONE_MINUS_SRC_ALPHA);
    else
      glBlendFuncSeparate(GL_ONE, GL_ZERO, GL_ONE, GL_ZERO);
    d.gl_blend_alpha = d.blend_alpha;
  }
  if (has_tex) {
    glActiveTexture(GL_TEXTURE0);
    d.tex[0]->bind_name();
    if (mask) {
      glActiveTexture(GL_TEXTURE1);
      d.tex[1]->bind_name();
      glActiveTexture(GL_TEXTURE0);
    }
  }
}

void GLDevice::render_primitive(zelRenderPrimitiv type, int32_t start, int32_t count) {
  if (lost_.load() || !d_->vb || count < 1 || start < 0 || !make_current()) return;
  int64_t n = 0;
  GLenum mode = 0;
  switch (type) {
    case zrp_point_list:
      n = count;
      mode = GL_POINTS;
      break;
    case zrp_line_list:
      n = 2 * int64_t(count);
      mode = GL_LINES;
      break;
    case zrp_line_strip:
      n = int64_t(count) + 1;
      mode = GL_LINE_STRIP;
      break;
    case zrp_triangle_list:
      n = 3 * int64_t(count);
      mode = GL_TRIANGLES;
      break;
    case zrp_triangle_strip:
      n = int64_t(count) + 2;
      mode = GL_TRIANGLE_STRIP;
      break;
    case zrp_triangle_fan:
      n = int64_t(count) + 2;
      mode = GL_TRIANGLE_FAN;
      break;
    default:
      return;
  }
  // Vertices beyond the buffer are not drawn (the draw is refused as a whole).
  if (start + n > d_->vb->get_ver_num()) return;
  if (!(d_->vb->get_ver_type() & vt_position)) return;
  apply_draw_state(true);
  if (!d_->vb->bind()) return;
  glDrawArrays(mode, start, GLsizei(n));
}

void GLDevice::render_poligon(const vec3* begin, const vec3* end, Color* color) {
  if (!begin || !end || end - begin < 2 || lost_.load() || !make_current()) return;
  Impl& d = *d_;
  const size_t n = size_t(end - begin);
  const uint32_t c = pack_color(color);
  std::vector<uint8_t> buf(n * 16);
  for (size_t i = 0; i < n; ++i) {
    std::memcpy(&buf[i * 16], &begin[i].x, 4);
    std::memcpy(&buf[i * 16 + 4], &begin[i].y, 4);
    std::memcpy(&buf[i * 16 + 8], &begin[i].z, 4);
    std::memcpy(&buf[i * 16 + 12], &c, 4);
  }
  apply_draw_state(false);
  glBindVertexArray(d.line_vao);
  glBindBuffer(GL_ARRAY_BUFFER, d.line_vbo);
  if (buf.size() > d.line_cap) {
    glBufferData(GL_ARRAY_BUFFER, GLsizeiptr(buf.size()), buf.data(), GL_STREAM_DRAW);
    d.line_cap = buf.size();
  } else {
    glBufferSubData(GL_ARRAY_BUFFER, 0, GLsizeiptr(buf.size()), buf.data());
  }
  glDrawArrays(n > 2 ? GL_LINE_STRIP : GL_LINES, 0, GLsizei(n));
}

// ---------------------------------------------------------------------------------------------
// Render targets

void GLDevice::set_render_target(std::shared_ptr<Texture> texture) {
  auto t = std::dynamic_pointer_cast<GLTexture>(texture);
  if (!t || lost_.load() || !make_current()) return;
  Impl& d = *d_;
  if (d.target && d.target != t) {
    glBindFramebuffer(GL_FRAMEBUFFER, d.rt_fbo);
    d.target->pull_from_gl();
  }
  const GLuint name = t->bind_name();
  if (!name) return;
  glBindFramebuffer(GL_FRAMEBUFFER, d.rt_fbo);
  glFramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, name, 0);
  if (glCheckFramebufferStatus(GL_FRAMEBUFFER) != GL_FRAMEBUFFER_COMPLETE) {
    glBindFramebuffer(GL_FRAMEBUFFER, d.fbo);
    d.target.reset();
    d.vp_w = d.fb_w;
    d.vp_h = d.fb_h;
    glViewport(0, 0, d.vp_w, d.vp_h);
    return;
  }
  d.target = t;
  d.vp_w = t->width();
  d.vp_h = t->height();
  glViewport(0, 0, d.vp_w, d.vp_h);
  d.current_prog = 0;
}

void GLDevice::save_render_target() {
  if (lost_.load()) return;
  // A stack, so that nested render targets each return to their own.
  d_->saved.push_back(d_->target);
}

void GLDevice::restore_render_target() {
  Impl& d = *d_;
  if (d.saved.empty()) return;
  std::shared_ptr<GLTexture> back = d.saved.back();
  d.saved.pop_back();
  if (!make_current()) return;
  if (back) {
    set_render_target(back);
    return;
  }
  if (d.target) {
    glBindFramebuffer(GL_FRAMEBUFFER, d.rt_fbo);
    d.target->pull_from_gl();
    d.target.reset();
  }
  glBindFramebuffer(GL_FRAMEBUFFER, d.fbo);
  d.vp_w = d.fb_w;
  d.vp_h = d.fb_h;
  glViewport(0, 0, d.vp_w, d.vp_h);
  d.current_prog = 0;
}

std::shared_ptr<BitmapImage> GLDevice::read_frame() {
  Impl& d = *d_;
  std::shared_ptr<BitmapImage> elsewhere;
  if (read_frame_elsewhere(elsewhere)) return elsewhere;
  if (lost_.load()) {
    set_frame_error("the render device is lost");
    return nullptr;
  }
  if (!make_current() || !d.fbo || d.fb_w < 1) {
    set_frame_error("no frame has been drawn");
    return nullptr;
  }
  set_frame_error(std::string());
  // The previous frame's image when nobody holds it any more (no new allocation, no fresh pages
  // to fault in each frame); otherwise a new one.
  std::shared_ptr<BitmapImage> img;
  if (d.spare_frame && d.spare_frame.use_count() == 1 && d.spare_frame->width() == d.fb_w &&
      d.spare_frame->height() == d.fb_h && d.spare_frame->type() == bimage_a8r8g8b8 &&
      d.spare_frame->line_size() == d.fb_w * 4) {
    img = d.spare_frame;
  } else {
    img = std::make_shared<BitmapImage>();
    if (!img->create(d.fb_w, d.fb_h, bimage_a8r8g8b8)) {
      set_frame_error("no memory for a " + std::to_string(d.fb_w) + "x" + std::to_string(d.fb_h) +
                      " frame");
      return nullptr;
    }
  }
  glBindFramebuffer(GL_READ_FRAMEBUFFER, d.fbo);
  glPixelStorei(GL_PACK_ALIGNMENT, 4);
  // The frame's rows are stored top down, as the image's: one read, no row flip.
  glReadPixels(0, 0, d.fb_w, d.fb_h, d.read_bgra ? GL_BGRA_EXT : GL_RGBA, GL_UNSIGNED_BYTE,
               img->pixmap(0));
  glBindFramebuffer(GL_READ_FRAMEBUFFER, d.target ? d.rt_fbo : d.fbo);
  if (!d.read_bgra) {
    for (int32_t y = 0; y < d.fb_h; ++y) {
      uint8_t* p = img->pixmap(y);
      for (int32_t x = 0; x < d.fb_w; ++x) std::swap(p[4 * x], p[4 * x + 2]);
    }
  }
  d.spare_frame = img;
  return img;
}

}  // namespace gl
}  // namespace zel
