// GIF and WebP decoding into BitmapImage beside giflib / libwebp driven directly on the same
// files: an animated 480 x 270 GIF of 12 frames (all frames composited), a 1920 x 1080 lossy
// WebP, and an animated 480 x 270 lossy WebP of 12 frames (all frames). The ratios are printed
// by main() in decode_bench.cpp.
#include <benchmark/benchmark.h>
#include <gif_lib.h>
#include <webp/decode.h>
#include <webp/demux.h>

#include <cstring>
#include <memory>
#include <vector>

#include "qar/stream.h"
#include "tests/images/codec_util.h"
#include "tests/images/encode_util.h"
#include "zel/il/bitmap_image.h"
#include "zel/il/decoder.h"

using namespace images_test;

namespace {

constexpr int kAnimW = 480, kAnimH = 270, kAnimFrames = 12;
constexpr int kStillW = 1920, kStillH = 1080;

// RGBA frames: a moving soft ball over gradients, with noise.
std::vector<bytes> anim_frames(int w, int h) {
  std::vector<bytes> out;
  rng r(9);
  for (int f = 0; f < kAnimFrames; ++f) {
    bytes px(size_t(w) * h * 4);
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        uint8_t* p = &px[(size_t(y) * w + x) * 4];
        const int dx = x - (40 + f * 30), dy = y - h / 2;
        const bool ball = dx * dx + dy * dy < 50 * 50;
        const int n = int(r.next() % 5);
        p[0] = uint8_t(ball ? 250 : x * 255 / w + n);
        p[1] = uint8_t(ball ? 40 : y * 255 / h);
        p[2] = uint8_t(ball ? 60 : ((x + f * 8) & 0x7F) + n);
        p[3] = 255;
      }
    out.push_back(std::move(px));
  }
  return out;
}

const bytes& gif_file() {
  static const bytes file = [] {
    // 6x6x6 colour cube palette (256 entries), frames after the first only where they change.
    std::vector<uint8_t> pal(256 * 3, 0);
    for (int i = 0; i < 216; ++i) {
      pal[size_t(i) * 3] = uint8_t(i / 36 * 51);
      pal[size_t(i) * 3 + 1] = uint8_t(i / 6 % 6 * 51);
      pal[size_t(i) * 3 + 2] = uint8_t(i % 6 * 51);
    }
    std::vector<gif_frame> frames;
    std::vector<uint8_t> prev;
    for (const bytes& rgba : anim_frames(kAnimW, kAnimH)) {
      std::vector<uint8_t> idx(size_t(kAnimW) * kAnimH);
      for (size_t i = 0; i < idx.size(); ++i)
        idx[i] = uint8_t(rgba[i * 4] / 43 * 36 + rgba[i * 4 + 1] / 43 * 6 + rgba[i * 4 + 2] / 43);
      gif_frame f{0, 0, kAnimW, kAnimH, 4, DISPOSE_DO_NOT, -1, idx};
      if (!prev.empty()) {
        // Unchanged pixels become the transparent index 255.
        for (size_t i = 0; i < idx.size(); ++i)
          if (idx[i] == prev[i]) f.indices[i] = 255;
        f.transparent = 255;
      }
      prev = idx;
      frames.push_back(std::move(f));
    }
    return encode_gif(kAnimW, kAnimH, pal, frames);
  }();
  return file;
}

const bytes& webp_still() {
  static const bytes file = [] {
    bytes rgba(size_t(kStillW) * kStillH * 4);
    rng r(5);
    for (int y = 0; y < kStillH; ++y)
      for (int x = 0; x < kStillW; ++x) {
        uint8_t* p = &rgba[(size_t(y) * kStillW + x) * 4];
        const int n = int(r.next() % 9);
        p[0] = uint8_t(x * 255 / kStillW + n), p[1] = uint8_t(y * 255 / kStillH);
        p[2] = uint8_t(((x ^ y) & 0x3F) + 128 + n), p[3] = 255;
      }
    return encode_webp(kStillW, kStillH, rgba, false);
  }();
  return file;
}

const bytes& webp_anim() {
  static const bytes file = encode_webp_anim(kAnimW, kAnimH, anim_frames(kAnimW, kAnimH),
                                             std::vector<int>(kAnimFrames, 40));
  return file;
}

// The engine: one decoder per iteration, frame 0 by decode() and the rest by stepping.
void engine_all_frames(benchmark::State& state, const bytes& file, int frames, int w) {
  auto stream = std::make_shared<qar::MemoryStream>(file);
  for (auto _ : state) {
    stream->seek(0, qar::Stream::seek_begin);
    auto decoder = zel::ImageDecoder::create(stream, nullptr);
    auto img = decoder ? std::dynamic_pointer_cast<zel::BitmapImage>(decoder->decode()) : nullptr;
    if (!img || img->width() != w || decoder->info().frames != frames) {
      state.SkipWithError("decoding failed");
      return;
    }
    for (int n = 1; n < frames; ++n)
      if (!decoder->seek_next_frame(img->pixmap(0), img->line_size(), img->type())) {
        state.SkipWithError("a frame failed");
        return;
      }
    benchmark::DoNotOptimize(img->pixmap(img->height() - 1)[0]);
  }
}

void BM_gif_engine(benchmark::State& state) {
  engine_all_frames(state, gif_file(), kAnimFrames, kAnimW);
}
void BM_webp_engine(benchmark::State& state) {
  engine_all_frames(state, webp_still(), 1, kStillW);
}
void BM_webp_anim_engine(benchmark::State& state) {
  engine_all_frames(state, webp_anim(), kAnimFrames, kAnimW);
}

// giflib directly: the whole file read with DGifSlurp, every frame composited onto a 32-bit
// canvas (transparent pixels keep what is there).
void BM_gif_giflib(benchmark::State& state) {
  const bytes& file = gif_file();
  for (auto _ : state) {
    struct reader {
      const bytes* data;
      size_t pos;
    } m{&file, 0};
    int err = 0;
    GifFileType* gif = DGifOpen(
        &m,
        [](GifFileType* g, GifByteType* out, int n) {
          auto* r = static_cast<reader*>(g->UserData);
          const size_t k = std::min(size_t(n), r->data->size() - r->pos);
          std::memcpy(out, r->data->data() + r->pos, k);
          r->pos += k;
          return int(k);
        },
        &err);
    if (!gif || DGifSlurp(gif) != GIF_OK) {
      state.SkipWithError("giflib failed");
      return;
    }
    std::vector<uint32_t> canvas(size_t(gif->SWidth) * gif->SHeight, 0);
    for (int i = 0; i < gif->ImageCount; ++i) {
      const SavedImage& si = gif->SavedImages[i];
      GraphicsControlBlock gcb;
      DGifSavedExtensionToGCB(gif, i, &gcb);
      const ColorMapObject* map = si.ImageDesc.ColorMap ? si.ImageDesc.ColorMap : gif->SColorMap;
      uint32_t pal[256];
      for (int c = 0; c < 256; ++c) {
        const GifColorType& k = map->Colors[c < map->ColorCount ? c : 0];
        pal[c] = 0xFF000000u | uint32_t(k.Red) << 16 | uint32_t(k.Green) << 8 | k.Blue;
      }
      const GifImageDesc& d = si.ImageDesc;
      for (int y = 0; y < d.Height; ++y) {
        const uint8_t* in = si.RasterBits + size_t(y) * d.Width;
        uint32_t* out = &canvas[size_t(d.Top + y) * gif->SWidth + d.Left];
        for (int x = 0; x < d.Width; ++x)
          if (in[x] != gcb.TransparentColor) out[x] = pal[in[x]];
      }
      benchmark::DoNotOptimize(canvas[0]);
    }
    DGifCloseFile(gif, &err);
  }
}

// libwebp directly into a caller's buffer of the engine's layout.
void BM_webp_libwebp(benchmark::State& state) {
  const bytes& file = webp_still();
  const size_t line = (size_t(kStillW) * 3 + 3) & ~size_t(3);
  for (auto _ : state) {
    std::unique_ptr<uint8_t[]> rows(new uint8_t[line * kStillH]);
    if (!WebPDecodeBGRInto(file.data(), file.size(), rows.get(), line * kStillH, int(line))) {
      state.SkipWithError("libwebp failed");
      return;
    }
    benchmark::DoNotOptimize(rows[0]);
  }
}

// libwebp's animation decoder directly, every frame.
void BM_webp_anim_libwebp(benchmark::State& state) {
  const bytes& file = webp_anim();
  for (auto _ : state) {
    WebPData data{file.data(), file.size()};
    WebPAnimDecoderOptions opts;
    WebPAnimDecoderOptionsInit(&opts);
    opts.color_mode = MODE_BGRA;
    opts.use_threads = 0;
    WebPAnimDecoder* dec = WebPAnimDecoderNew(&data, &opts);
    uint8_t* buf = nullptr;
    int ts = 0, n = 0;
    while (dec && WebPAnimDecoderGetNext(dec, &buf, &ts)) ++n;
    WebPAnimDecoderDelete(dec);
    if (n != kAnimFrames) {
      state.SkipWithError("libwebp failed");
      return;
    }
    benchmark::DoNotOptimize(buf);
  }
}

BENCHMARK(BM_gif_engine)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_gif_giflib)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_webp_engine)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_webp_libwebp)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_webp_anim_engine)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_webp_anim_libwebp)->Unit(benchmark::kMillisecond);

}  // namespace

// Makes the files before timing starts.
void prepare_codec_bench_files() {
  gif_file();
  webp_still();
  webp_anim();
}
