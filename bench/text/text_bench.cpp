// Measuring, kerning, the font cache and drawing text on the headless OpenGL device.
#include <benchmark/benchmark.h>

#include <memory>

#include "zel/3d/driver/gl/gl_device.h"
#include "zel/font.h"

namespace {

std::shared_ptr<zel::gl::GLDevice> device() {
  static std::shared_ptr<zel::gl::GLDevice> dev = [] {
    auto d = std::make_shared<zel::gl::GLDevice>();
    zel::DeviceMode m;
    m.width = 640;
    m.height = 480;
    if (!d->init() || !d->set_display(nullptr, m)) d.reset();
    return d;
  }();
  return dev;
}

zel::logical_font desc(double px) {
  return zel::logical_font(zel::unit(px, zel::unit::pixels), u"DejaVu Sans",
                           zel::logical_font::fw_normal, 0);
}

const char16_t kLine[] = u"The quick brown fox jumps over the lazy dog, 0123456789 times.";

void BM_CalcText(benchmark::State& state) {
  auto dev = device();
  if (!dev) return state.SkipWithError("no EGL device");
  auto f = dev->create_font(desc(16));
  for (auto _ : state) benchmark::DoNotOptimize(dev->calc_text(kLine, -1, f));
  state.SetItemsProcessed(state.iterations() * (sizeof kLine / 2 - 1));
}
BENCHMARK(BM_CalcText);

void BM_CreateFontCached(benchmark::State& state) {
  auto dev = device();
  if (!dev) return state.SkipWithError("no EGL device");
  auto keep = dev->create_font(desc(17));
  for (auto _ : state) benchmark::DoNotOptimize(dev->create_font(desc(17)));
}
BENCHMARK(BM_CreateFontCached);

void BM_KerningPair(benchmark::State& state) {
  auto dev = device();
  if (!dev) return state.SkipWithError("no EGL device");
  auto f = dev->create_font(desc(16));
  for (auto _ : state) benchmark::DoNotOptimize(dev->get_kerning_pair(u'A', u'V', f));
}
BENCHMARK(BM_KerningPair);

void BM_RenderTextLine(benchmark::State& state) {
  auto dev = device();
  if (!dev) return state.SkipWithError("no EGL device");
  auto f = dev->create_font(desc(16));
  dev->begin_frame(false, 255, 0, 0, 0);
  dev->begin_scene();
  for (auto _ : state) dev->render_text(kLine, -1, 10, 10, nullptr, f);
  dev->end_scene();
  dev->end_frame();
  state.SetItemsProcessed(state.iterations() * (sizeof kLine / 2 - 1));
}
BENCHMARK(BM_RenderTextLine);

}  // namespace

BENCHMARK_MAIN();
