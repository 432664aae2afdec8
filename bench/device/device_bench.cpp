// N alpha-blended 64 x 64 quads at 1280 x 720, each with its own texture: drawn through the
// render device, and by a minimal hand-written OpenGL ES loop doing the same work (the limit).
// Both run in the same benchmark, frame by frame; each frame ends with glFinish so that the
// times are the real ones. Counters: device_ms, raw_ms (per frame) and ratio (device / raw).
#include <EGL/egl.h>
#include <EGL/eglext.h>
#include <GLES3/gl3.h>
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "zel/3d/driver/gl/gl_device.h"

namespace {

constexpr int kW = 1280, kH = 720, kTex = 64;

// Texture i: a colour ramp with alpha 160.
std::vector<uint32_t> texture_pixels(int i) {
  std::vector<uint32_t> px(kTex * kTex);
  for (int y = 0; y < kTex; ++y)
    for (int x = 0; x < kTex; ++x)
      px[size_t(y * kTex + x)] = 0xA0000000u | uint32_t((x * 4 + i) & 0xFF) << 16 |
                                 uint32_t((y * 4) & 0xFF) << 8 | uint32_t(i & 0xFF);
  return px;
}

// Quad positions, the same for both loops.
std::vector<std::pair<float, float>> positions(int n) {
  std::mt19937 rng(5);
  std::vector<std::pair<float, float>> p;
  for (int i = 0; i < n; ++i)
    p.emplace_back(float(rng() % (kW - kTex)), float(rng() % (kH - kTex)));
  return p;
}

struct Vertex {
  float x, y, z;
  uint32_t c;
  float u, v;
};

void quad_vertices(float x, float y, Vertex* v) {
  const float l = x - 0.5f, t = y - 0.5f, r = l + kTex, b = t + kTex;
  v[0] = {l, t, 0, 0xFFFFFFFFu, 0, 0};
  v[1] = {r, t, 0, 0xFFFFFFFFu, 1, 0};
  v[2] = {l, b, 0, 0xFFFFFFFFu, 0, 1};
  v[3] = {r, b, 0, 0xFFFFFFFFu, 1, 1};
}

// ---- the device

struct DeviceScene {
  std::shared_ptr<zel::gl::GLDevice> dev;
  std::vector<std::shared_ptr<zel::Texture>> tex;
  std::vector<std::shared_ptr<zel::VertexBuffer>> vb;

  bool init(int n) {
    setenv("ZEL_HEADLESS", "1", 1);
    dev = std::make_shared<zel::gl::GLDevice>();
    zel::DeviceMode m;
    m.width = kW;
    m.height = kH;
    if (!dev->init() || !dev->set_display(nullptr, m)) return false;
    zel::mat4 p;
    p(0, 0) = 2.0f / kW;
    p(0, 3) = -1.0f;
    p(1, 1) = -2.0f / kH;
    p(1, 3) = 1.0f;
    dev->set_projection_mat(p);
    auto pos = positions(n);
    for (int i = 0; i < n; ++i) {
      auto t = dev->texture_manager()->create(u"", kTex, kTex, zel::tt_a8r8g8b8, 0, 0, 1, 1, 0);
      auto px = texture_pixels(i);
      t->load_memory(px.data(), zel::tt_a8r8g8b8, kTex, kTex, kTex * 4, 0, 0, -1, -1);
      tex.push_back(t);
      auto b = dev->create_vertexbuffer(zel::vt_position | zel::vt_diffuse | zel::vt_tex1, 4, 0);
      quad_vertices(pos[size_t(i)].first, pos[size_t(i)].second, static_cast<Vertex*>(b->lock()));
      b->unlock();
      vb.push_back(b);
    }
    return true;
  }

  void frame() {
    dev->begin_frame(false, 255, 0, 0, 0);
    dev->begin_scene();
    dev->set_state(zel::RenderDevice::ds_alpha_blend, 1);
    for (size_t i = 0; i < tex.size(); ++i) {
      dev->set_texture(0, tex[i]);
      dev->set_vertex(0, vb[i]);
      dev->render_primitive(zel::zrp_triangle_strip, 0, 2);
    }
    dev->end_scene();
    dev->end_frame();
    glFinish();
  }
};

// ---- the hand-written loop

const char* kVs = R"(#version 300 es
layout(location = 0) in vec3 a_pos;
layout(location = 1) in vec4 a_col;
layout(location = 2) in vec2 a_uv;
uniform mat4 u_mvp;
out vec4 v_col;
out vec2 v_uv;
void main() { gl_Position = u_mvp * vec4(a_pos, 1.0); v_col = a_col.bgra; v_uv = a_uv; }
)";
const char* kFs = R"(#version 300 es
precision highp float;
uniform sampler2D u_tex;
in vec4 v_col;
in vec2 v_uv;
out vec4 o;
void main() { o = texture(u_tex, v_uv) * v_col; }
)";

struct RawScene {
  EGLDisplay dpy = EGL_NO_DISPLAY;
  EGLContext ctx = EGL_NO_CONTEXT;
  GLuint fbo = 0, rb = 0, prog = 0;
  std::vector<GLuint> tex, vao, vbo;

  bool init(int n) {
    auto gpd = reinterpret_cast<PFNEGLGETPLATFORMDISPLAYEXTPROC>(
        eglGetProcAddress("eglGetPlatformDisplayEXT"));
    dpy = gpd(EGL_PLATFORM_SURFACELESS_MESA, EGL_DEFAULT_DISPLAY, nullptr);
    if (dpy == EGL_NO_DISPLAY || !eglInitialize(dpy, nullptr, nullptr)) return false;
    eglBindAPI(EGL_OPENGL_ES_API);
    const EGLint ca[] = {EGL_SURFACE_TYPE, 0, EGL_RENDERABLE_TYPE, EGL_OPENGL_ES3_BIT, EGL_NONE};
    EGLConfig cfg;
    EGLint nc = 0;
    if (!eglChooseConfig(dpy, ca, &cfg, 1, &nc) || nc < 1) return false;
    const EGLint xa[] = {EGL_CONTEXT_MAJOR_VERSION, 3, EGL_NONE};
    ctx = eglCreateContext(dpy, cfg, EGL_NO_CONTEXT, xa);
    if (ctx == EGL_NO_CONTEXT) return false;
    current();
    glGenRenderbuffers(1, &rb);
    glBindRenderbuffer(GL_RENDERBUFFER, rb);
    glRenderbufferStorage(GL_RENDERBUFFER, GL_RGBA8, kW, kH);
    glGenFramebuffers(1, &fbo);
    glBindFramebuffer(GL_FRAMEBUFFER, fbo);
    glFramebufferRenderbuffer(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_RENDERBUFFER, rb);
    glViewport(0, 0, kW, kH);
    auto sh = [](GLenum k, const char* s) {
      GLuint o = glCreateShader(k);
      glShaderSource(o, 1, &s, nullptr);
      glCompileShader(o);
      return o;
    };
    prog = glCreateProgram();
    glAttachShader(prog, sh(GL_VERTEX_SHADER, kVs));
    glAttachShader(prog, sh(GL_FRAGMENT_SHADER, kFs));
    glLinkProgram(prog);
    glUseProgram(prog);
    const float mvp[16] = {2.0f / kW, 0, 0, 0, 0, -2.0f / kH, 0, 0, 0, 0, 1, 0, -1, 1, 0, 1};
    glUniformMatrix4fv(glGetUniformLocation(prog, "u_mvp"), 1, GL_FALSE, mvp);
    glEnable(GL_BLEND);
    glBlendFuncSeparate(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA, GL_ONE, GL_ONE_MINUS_SRC_ALPHA);
    auto pos = positions(n);
    tex.resize(size_t(n));
    vao.resize(size_t(n));
    vbo.resize(size_t(n));
    glGenTextures(n, tex.data());
    glGenVertexArrays(n, vao.data());
    glGenBuffers(n, vbo.data());
    for (int i = 0; i < n; ++i) {
      auto px = texture_pixels(i);
      for (auto& p : px) p = (p & 0xFF00FF00u) | ((p >> 16) & 0xFF) | ((p & 0xFF) << 16);
      glBindTexture(GL_TEXTURE_2D, tex[size_t(i)]);
      glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, kTex, kTex, 0, GL_RGBA, GL_UNSIGNED_BYTE, px.data());
      glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
      glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
      Vertex v[4];
      quad_vertices(pos[size_t(i)].first, pos[size_t(i)].second, v);
      glBindVertexArray(vao[size_t(i)]);
      glBindBuffer(GL_ARRAY_BUFFER, vbo[size_t(i)]);
      glBufferData(GL_ARRAY_BUFFER, sizeof v, v, GL_STATIC_DRAW);
      glEnableVertexAttribArray(0);
      glVertexAttribPointer(0, 3, GL_FLOAT, GL_FALSE, sizeof(Vertex), nullptr);
      glEnableVertexAttribArray(1);
      glVertexAttribPointer(1, 4, GL_UNSIGNED_BYTE, GL_TRUE, sizeof(Vertex),
                            reinterpret_cast<void*>(12));
      glEnableVertexAttribArray(2);
      glVertexAttribPointer(2, 2, GL_FLOAT, GL_FALSE, sizeof(Vertex), reinterpret_cast<void*>(16));
    }
    return true;
  }

  void current() { eglMakeCurrent(dpy, EGL_NO_SURFACE, EGL_NO_SURFACE, ctx); }

  void frame() {
    glClearColor(0, 0, 0, 1);
    glClear(GL_COLOR_BUFFER_BIT);
    for (size_t i = 0; i < tex.size(); ++i) {
      glBindTexture(GL_TEXTURE_2D, tex[i]);
      glBindVertexArray(vao[i]);
      glDrawArrays(GL_TRIANGLE_STRIP, 0, 4);
    }
    glFinish();
  }
};

void BM_DeviceVsRawGL(benchmark::State& state) {
  const int n = int(state.range(0));
  DeviceScene device;
  RawScene raw;
  if (!device.init(n) || !raw.init(n)) {
    state.SkipWithError("no EGL device");
    return;
  }
  using clock = std::chrono::steady_clock;
  double dev_s = 0, raw_s = 0;
  // Warm-up: uploads and shader compilation are not part of a frame's cost.
  device.frame();
  raw.current();
  raw.frame();
  for (auto _ : state) {
    auto t0 = clock::now();
    device.frame();
    auto t1 = clock::now();
    raw.current();
    raw.frame();
    auto t2 = clock::now();
    const double d = std::chrono::duration<double>(t1 - t0).count();
    dev_s += d;
    raw_s += std::chrono::duration<double>(t2 - t1).count();
    state.SetIterationTime(d);
  }
  const double it = double(state.iterations());
  state.counters["device_ms"] = dev_s / it * 1e3;
  state.counters["raw_ms"] = raw_s / it * 1e3;
  state.counters["ratio"] = raw_s > 0 ? dev_s / raw_s : 0;
}
BENCHMARK(BM_DeviceVsRawGL)->Arg(200)->Arg(2000)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
