// Decoding a 1920 x 1080 PNG and JPEG into a BitmapImage, each beside the same file decoded
// directly with libpng / libjpeg-turbo into the same pixel layout (rows blue first, 4-byte
// aligned); GIF and WebP likewise in codec_bench.cpp. Prints the throughput ratio
// engine / library for each format; the goal is >= 0.95.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "qar/stream.h"
#include "qar/trace.h"
#include "tests/images/encode_util.h"
#include "zel/il/bitmap_image.h"
#include "zel/il/decoder.h"

using namespace images_test;

namespace {

constexpr int kWidth = 1920;
constexpr int kHeight = 1080;
constexpr size_t kLine = (kWidth * 3 + 3) & ~size_t(3);

// A photo-like picture: gradients, soft shapes and some noise.
bytes make_picture() {
  bytes px(size_t(kWidth) * kHeight * 3);
  rng r(42);
  for (int y = 0; y < kHeight; ++y)
    for (int x = 0; x < kWidth; ++x) {
      uint8_t* p = &px[(size_t(y) * kWidth + x) * 3];
      const int n = int(r.next() % 9) - 4;
      const int dx = x - kWidth / 3, dy = y - kHeight / 2;
      const int disc = (dx * dx + dy * dy) < 300 * 300 ? 60 : 0;
      p[0] = uint8_t(std::clamp(x * 255 / kWidth + n + disc, 0, 255));
      p[1] = uint8_t(std::clamp(y * 255 / kHeight + n, 0, 255));
      p[2] = uint8_t(std::clamp((x ^ y) & 0x3F, 0, 255) + 128 + n);
    }
  return px;
}

const bytes& png_file() {
  static const bytes file = [] {
    png_spec s;
    s.width = kWidth;
    s.height = kHeight;
    s.color_type = PNG_COLOR_TYPE_RGB;
    s.bit_depth = 8;
    const bytes px = make_picture();
    s.samples.assign(px.begin(), px.end());
    return encode_png(s);
  }();
  return file;
}

const bytes& jpeg_file() {
  static const bytes file = [] {
    jpeg_spec s;
    s.width = kWidth;
    s.height = kHeight;
    s.quality = 90;
    s.samples = make_picture();
    return encode_jpeg(s);
  }();
  return file;
}

void decode_with_engine(benchmark::State& state, const bytes& file) {
  auto stream = std::make_shared<qar::MemoryStream>(file);
  for (auto _ : state) {
    stream->seek(0, qar::Stream::seek_begin);
    auto decoder = zel::ImageDecoder::create(stream, nullptr);
    auto img = decoder ? std::dynamic_pointer_cast<zel::BitmapImage>(decoder->decode()) : nullptr;
    if (!img || img->width() != kWidth) {
      state.SkipWithError("decoding failed");
      return;
    }
    benchmark::DoNotOptimize(img->pixmap(kHeight - 1)[0]);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kLine) * kHeight);
}

void BM_png_engine(benchmark::State& state) {
  decode_with_engine(state, png_file());
}
void BM_jpeg_engine(benchmark::State& state) {
  decode_with_engine(state, jpeg_file());
}

struct mem_reader {
  const bytes* data;
  size_t pos;
};

void png_read_mem(png_structp png, png_bytep out, size_t n) {
  auto* m = static_cast<mem_reader*>(png_get_io_ptr(png));
  if (m->pos + n > m->data->size()) png_error(png, "short");
  std::memcpy(out, m->data->data() + m->pos, n);
  m->pos += n;
}

void BM_png_libpng(benchmark::State& state) {
  const bytes& file = png_file();
  for (auto _ : state) {
    std::unique_ptr<uint8_t[]> rows(new uint8_t[kLine * kHeight]);
    mem_reader m{&file, 0};
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
      png_destroy_read_struct(&png, &info, nullptr);
      state.SkipWithError("libpng failed");
      return;
    }
    png_set_read_fn(png, &m, &png_read_mem);
    png_read_info(png, info);
    png_set_bgr(png);
    png_read_update_info(png, info);
    for (int y = 0; y < kHeight; ++y) png_read_row(png, rows.get() + size_t(y) * kLine, nullptr);
    png_read_end(png, nullptr);
    png_destroy_read_struct(&png, &info, nullptr);
    benchmark::DoNotOptimize(rows[kLine * (kHeight - 1)]);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kLine) * kHeight);
}

void BM_jpeg_libjpeg(benchmark::State& state) {
  const bytes& file = jpeg_file();
  for (auto _ : state) {
    std::unique_ptr<uint8_t[]> rows(new uint8_t[kLine * kHeight]);
    jpeg_decompress_struct d{};
    detail::jpeg_err err{};
    d.err = jpeg_std_error(&err.pub);
    err.pub.error_exit = &detail::jpeg_err_exit;
    if (setjmp(err.jump)) {
      jpeg_destroy_decompress(&d);
      state.SkipWithError("libjpeg failed");
      return;
    }
    jpeg_create_decompress(&d);
    jpeg_mem_src(&d, file.data(), static_cast<unsigned long>(file.size()));
    jpeg_read_header(&d, TRUE);
    d.out_color_space = JCS_EXT_BGR;
    jpeg_start_decompress(&d);
    while (d.output_scanline < d.output_height) {
      JSAMPROW row = rows.get() + size_t(d.output_scanline) * kLine;
      jpeg_read_scanlines(&d, &row, 1);
    }
    jpeg_finish_decompress(&d);
    jpeg_destroy_decompress(&d);
    benchmark::DoNotOptimize(rows[kLine * (kHeight - 1)]);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kLine) * kHeight);
}

BENCHMARK(BM_png_engine)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_png_libpng)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_jpeg_engine)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_jpeg_libjpeg)->Unit(benchmark::kMillisecond);

// Console output plus the CPU time per iteration of each benchmark, for the ratios (CPU time:
// the machine is shared, so wall time also measures the neighbours). With repetitions the
// median is used.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& r : runs) {
      if (r.error_occurred) continue;
      if (r.run_type == Run::RT_Iteration && !medians.count(r.run_name.function_name))
        times[r.run_name.function_name] = r.GetAdjustedCPUTime();
      if (r.run_type == Run::RT_Aggregate && r.aggregate_name == "median") {
        medians.insert(r.run_name.function_name);
        times[r.run_name.function_name] = r.GetAdjustedCPUTime();
      }
    }
  }
  std::map<std::string, double> times;
  std::set<std::string> medians;
};

}  // namespace

void prepare_codec_bench_files();  // codec_bench.cpp

int main(int argc, char** argv) {
  qar::set_trace_sink([](const std::string&) {});
  png_file();
  jpeg_file();
  prepare_codec_bench_files();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  auto ratio = [&](const char* what, const char* engine, const char* lib) {
    auto e = reporter.times.find(engine), l = reporter.times.find(lib);
    if (e == reporter.times.end() || l == reporter.times.end() || e->second <= 0) return;
    // Throughput ratio = library CPU time / engine CPU time.
    std::printf("%s: engine / library throughput = %.3f (goal >= 0.95)\n", what,
                l->second / e->second);
  };
  ratio("PNG 1920x1080 RGB", "BM_png_engine", "BM_png_libpng");
  ratio("JPEG 1920x1080 q90", "BM_jpeg_engine", "BM_jpeg_libjpeg");
  ratio("GIF 480x270, 12 frames", "BM_gif_engine", "BM_gif_giflib");
  ratio("WebP 1920x1080 lossy", "BM_webp_engine", "BM_webp_libwebp");
  ratio("WebP 480x270 animated, 12 frames", "BM_webp_anim_engine", "BM_webp_anim_libwebp");
  benchmark::Shutdown();
  return 0;
}
