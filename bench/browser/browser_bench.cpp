// Browser latency: an exec_script that recolours the page, until the new colour is in the
// browser facet's texture; cold (the first change after a new helper loaded its page) and warm
// (later changes on the same page). Beside it WebKit's own snapshot API on the same page in the
// same helper: the script, then webkit_web_view_get_snapshot until the snapshot shows the colour
// (timed inside the helper, so without the engine's socket round trip).
// Run with DISPLAY set (Xvfb); WEBKIT_DISABLE_COMPOSITING_MODE=1 LIBGL_ALWAYS_SOFTWARE=1.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "qar/string.h"
#include "zel/3d/driver/soft/soft_device.h"
#include "zel/context.h"
#include "zel/controls/webview/webkit_browser.h"
#include "zel/il/bitmap_image.h"

namespace {

using clk = std::chrono::steady_clock;
constexpr int32_t kW = 640, kH = 480;
const uint32_t kColours[] = {0xff0000, 0x00ff00, 0x0000ff, 0xffff00};

std::string page_url() {
  static std::string url;
  if (url.empty()) {
    const std::string path = "/tmp/zel_browser_bench.html";
    std::ofstream(path) << "<html><body style='margin:0;background:#808080'>"
                           "<p>latency</p></body></html>";
    url = zel::path_to_file_url(path);
  }
  return url;
}

uint32_t centre(zel::WebKitBrowser& b) {
  b.update(0);
  auto tex = b.get_texture();
  if (!tex) return 0xDEADu;
  auto img = tex->read_back(0, 0, -1, -1);
  if (!img || img->width() < kW || img->height() < kH) return 0xDEADu;
  const uint8_t* p = img->pixmap(kH / 2) + (kW / 2) * 3;
  return uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0];
}

bool wait_for(zel::WebKitBrowser& b, uint32_t rgb, double seconds) {
  const auto end = clk::now() + std::chrono::duration<double>(seconds);
  while (clk::now() < end) {
    if (centre(b) == rgb) return true;
    usleep(500);
  }
  return false;
}

std::shared_ptr<zel::WebKitBrowser> loaded_browser() {
  zel::zelContext::instance().texture_manager = std::make_shared<zel::soft::SoftTextureManager>();
  auto b = std::make_shared<zel::WebKitBrowser>();
  b->set_size(kW, kH);
  if (!b->navigate(qar::to_u16(page_url())) || !wait_for(*b, 0x808080, 20)) return nullptr;
  return b;
}

std::u16string recolour(uint32_t rgb) {
  char js[96];
  std::snprintf(js, sizeof js, "document.body.style.background='#%06x'", rgb);
  return qar::to_u16(js);
}

// Seconds from a recolour to seeing it, or a negative value when it was never seen.
using recolour_fn = std::function<double(zel::WebKitBrowser&, uint32_t rgb)>;

// Measures `seen` per iteration. `cold`: a new helper and page for every measured change.
void run(benchmark::State& state, bool cold, const recolour_fn& seen, const char* never) {
  std::shared_ptr<zel::WebKitBrowser> b;
  std::vector<double> ms;
  size_t n = 0;
  for (auto _ : state) {
    if (cold || !b) {
      b.reset();
      b = loaded_browser();
      if (!b) {
        state.SkipWithError("no browser (DISPLAY, zel-webview)");
        return;
      }
    }
    const double t = seen(*b, kColours[n++ % 4]);
    if (t < 0) {
      state.SkipWithError(never);
      return;
    }
    state.SetIterationTime(t);
    ms.push_back(t * 1000);
  }
  std::sort(ms.begin(), ms.end());
  if (!ms.empty()) {
    state.counters["median_ms"] = ms[ms.size() / 2];
    state.counters["max_ms"] = ms.back();
  }
}

// Ours: exec_script to texture.
void run_ours(benchmark::State& state, bool cold) {
  run(
      state, cold,
      [](zel::WebKitBrowser& b, uint32_t rgb) {
        const auto t0 = clk::now();
        if (b.exec_script(recolour(rgb)) != 0 || !wait_for(b, rgb, 5)) return -1.0;
        return std::chrono::duration<double>(clk::now() - t0).count();
      },
      "the colour never reached the texture");
}

// The peer: the same change seen through webkit_web_view_get_snapshot.
void run_peer(benchmark::State& state, bool cold) {
  run(
      state, cold,
      [](zel::WebKitBrowser& b, uint32_t rgb) {
        const int64_t us = b.snapshot_latency(rgb, recolour(rgb));
        return us < 0 ? -1.0 : double(us) / 1e6;
      },
      "the snapshot never showed the colour");
}

void BM_ZelRecolourToTextureCold(benchmark::State& s) {
  run_ours(s, true);
}
void BM_ZelRecolourToTextureWarm(benchmark::State& s) {
  run_ours(s, false);
}
void BM_PeerWebKitSnapshotCold(benchmark::State& s) {
  run_peer(s, true);
}
void BM_PeerWebKitSnapshotWarm(benchmark::State& s) {
  run_peer(s, false);
}

}  // namespace

BENCHMARK(BM_ZelRecolourToTextureCold)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Iterations(5);
BENCHMARK(BM_PeerWebKitSnapshotCold)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(5);
BENCHMARK(BM_ZelRecolourToTextureWarm)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Iterations(40);
BENCHMARK(BM_PeerWebKitSnapshotWarm)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime()
    ->Iterations(40);
BENCHMARK_MAIN();
