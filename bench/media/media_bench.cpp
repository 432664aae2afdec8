// Media playback, with clips made by ffmpeg at bench time.
//
// Decode/FrameRate: a 1080p30 H.264 clip of 10 s (with sound), unpaced. Ours: the built-in
// stream's pictures reaching the VideoSource texture, its clock following a stepped engine time
// and the sound mixed on demand by OpenAL Soft's loopback device. The peer, in the same run:
// libavformat + libavcodec + sws_scale to BGRA in one loop, the decoder with the same thread count
// as ours (FFmpeg's default). Counter ratio = ours / peer frames per second; goal >= 0.8.
//
// AVDrift: 60 s of a clip whose first frame of every second is white and carries a 1 kHz beep,
// played by the player in real time at 30 fps through OpenAL Soft's wave output (the file gets
// what is mixed, as it is mixed); every frame is read back and its presentation time noted. Per
// second: the beep's time in the file minus the flash frame's time, both from the device's
// opening. Counters: mean offset (positive: the sound after the picture) and drift (max - min)
// in frames; goal <= 1.
#include <benchmark/benchmark.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <thread>
#include <vector>

#include "qar/stream.h"
#include "qar/thread.h"
#include "zel/audio/driver/openal/openal_driver.h"
#include "zel/context.h"
#include "zel/facet.h"
#include "zel/il/bitmap_image.h"
#include "zel/media/media_stream.h"
#include "zel/media/mm_player.h"
#include "zel/media/playables.h"
#include "zel/render_device.h"
#include "zel/render_mng.h"

namespace fs = std::filesystem;
using clk = std::chrono::steady_clock;

namespace {

constexpr int kRate = 48000;

class Host : public zel::RenderMng {
 public:
  Host() : zel::RenderMng(u"Software") {}
  void change_mode(const zel::DeviceMode&) override {}
};

fs::path bench_dir() {
  fs::path d = fs::temp_directory_path() / "zel_media_bench";
  fs::create_directories(d);
  return d;
}

// Made once per run.
fs::path make_clip(const char* name, const std::string& args) {
  const fs::path p = bench_dir() / name;
  if (!fs::exists(p)) {
    const std::string cmd = "ffmpeg -v error -y " + args + " '" + p.string() + "'";
    if (std::system(cmd.c_str()) != 0) return {};
  }
  return p;
}

fs::path hd_clip() {
  return make_clip("hd.mp4",
                   "-f lavfi -i testsrc2=s=1920x1080:r=30:d=10 -f lavfi -i "
                   "sine=f=440:r=48000:d=10 -c:v libx264 -preset veryfast -pix_fmt yuv420p "
                   "-c:a aac -ac 2 -shortest");
}

fs::path flash_clip() {
  return make_clip("flash60.mp4",
                   "-f lavfi -i \"color=c=black:s=320x240:r=30:d=60,"
                   "geq=lum='if(lt(mod(N,30),1),255,0)':cb=128:cr=128\" -f lavfi -i "
                   "\"aevalsrc='if(lt(mod(t,1),0.05),0.5*sin(2*PI*1000*t),0)|"
                   "if(lt(mod(t,1),0.05),0.5*sin(2*PI*1000*t),0)':s=48000:d=60\" "
                   "-c:v libx264 -preset veryfast -pix_fmt yuv420p -g 30 -c:a aac -shortest");
}

// OpenAL Soft's wave output writes a period once its time has passed: a sample reaches the file
// a period after its time.
constexpr int kWavePeriod = 480;

fs::path wave_file() {
  return bench_dir() / "drift.wav";
}

// An engine with a software device (for the textures) and OpenAL: its loopback device, or its
// output (the wave file, see main).
struct Engine {
  explicit Engine(bool loopback = true) {
    zel::DeviceMode mode;
    mode.width = 320, mode.height = 240, mode.depth = 32, mode.windowed = 1;
    mng = std::make_shared<Host>();
    ok = mng->init(u"Software", mode) && (loopback ? al->init_loopback(kRate, 2) : al->init());
    opened = clk::now();
    zel::zelContext::instance().audio_driver = al;
    // The render thread sets the display up (and the texture manager with it), then waits.
    ok = ok && qar::ThreadOfControl::start(mng, true);
    if (ok) mng->pause(true, true);
  }
  ~Engine() {
    mng->terminate();
    mng->clear_all_layers();
    mng.reset();
    zel::zelContext::instance().audio_driver.reset();
    al.reset();
    zel::zelContext::uninit();
  }
  std::shared_ptr<Host> mng;
  std::shared_ptr<zel::openal::OpenALDriver> al = std::make_shared<zel::openal::OpenALDriver>();
  bool ok = false;
  clk::time_point opened;
};

// Frames per second of the built-in stream into the VideoSource texture, unpaced: its clock
// follows an engine time advanced one frame period per step, each step waiting for its picture
// (as a recording does), with the sound of the period mixed by the loopback device.
double ours_fps(const fs::path& clip, int64_t& frames) {
  Engine e;
  if (!e.ok) return 0;
  auto mms = zel::MultiMediaStream::create(qar::FileStream::open(clip.string()));
  if (!mms || mms->get_video().empty() || !mms->follow_engine_time(true)) return 0;
  auto video = mms->get_video().front();
  std::vector<int16_t> pcm(kRate / 30 * 2);
  frames = 0;
  uint64_t last = UINT64_MAX;
  const auto t0 = clk::now();
  mms->play();
  for (uint64_t step = 0; !mms->is_eos(); ++step) {
    mms->update(step * 1000000 / 30);
    const uint64_t start = video->source()->frame_times().first;
    if (start != last) {
      last = start;
      ++frames;
    }
    e.al->pump();
    e.al->render_loopback(pcm.data(), kRate / 30);
  }
  const double secs = std::chrono::duration<double>(clk::now() - t0).count();
  return frames / secs;
}

// Frames per second of a plain FFmpeg decode + conversion to BGRA.
double peer_fps(const fs::path& clip, int64_t& frames) {
  AVFormatContext* fmt = nullptr;
  if (avformat_open_input(&fmt, clip.c_str(), nullptr, nullptr) < 0) return 0;
  avformat_find_stream_info(fmt, nullptr);
  const int vi = av_find_best_stream(fmt, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
  const AVCodec* codec = avcodec_find_decoder(fmt->streams[vi]->codecpar->codec_id);
  AVCodecContext* dec = avcodec_alloc_context3(codec);
  avcodec_parameters_to_context(dec, fmt->streams[vi]->codecpar);
  avcodec_open2(dec, codec, nullptr);
  AVPacket* pkt = av_packet_alloc();
  AVFrame* f = av_frame_alloc();
  SwsContext* sws = nullptr;
  std::vector<uint8_t> bgra(size_t(dec->width) * dec->height * 4);
  frames = 0;
  const auto t0 = clk::now();
  auto drain = [&] {
    while (avcodec_receive_frame(dec, f) == 0) {
      sws =
          sws_getCachedContext(sws, f->width, f->height, AVPixelFormat(f->format), f->width,
                               f->height, AV_PIX_FMT_BGRA, SWS_BILINEAR, nullptr, nullptr, nullptr);
      uint8_t* dst[1] = {bgra.data()};
      const int stride[1] = {f->width * 4};
      sws_scale(sws, f->data, f->linesize, 0, f->height, dst, stride);
      ++frames;
    }
  };
  while (av_read_frame(fmt, pkt) >= 0) {
    if (pkt->stream_index == vi && avcodec_send_packet(dec, pkt) >= 0) drain();
    av_packet_unref(pkt);
  }
  avcodec_send_packet(dec, nullptr);
  drain();
  const double secs = std::chrono::duration<double>(clk::now() - t0).count();
  sws_freeContext(sws);
  av_frame_free(&f);
  av_packet_free(&pkt);
  avcodec_free_context(&dec);
  avformat_close_input(&fmt);
  return frames / secs;
}

void Decode_FrameRate(benchmark::State& state) {
  const fs::path clip = hd_clip();
  if (clip.empty()) return state.SkipWithError("ffmpeg could not make the clip");
  double ours = 0, peer = 0;
  int64_t ours_n = 0, peer_n = 0;
  for (auto _ : state) {
    ours = ours_fps(clip, ours_n);
    peer = peer_fps(clip, peer_n);
  }
  state.counters["ours_fps"] = ours;
  state.counters["peer_fps"] = peer;
  state.counters["ours_frames"] = double(ours_n);
  state.counters["peer_frames"] = double(peer_n);
  state.counters["ratio"] = peer > 0 ? ours / peer : 0;
  state.counters["goal_ratio"] = 0.8;
}
BENCHMARK(Decode_FrameRate)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

void AVDrift(benchmark::State& state) {
  const fs::path clip = flash_clip();
  if (clip.empty()) return state.SkipWithError("ffmpeg could not make the clip");
  constexpr int kFps = 30;
  double mean = 0, drift = 0;
  int seconds = 0;
  for (auto _ : state) {
    // Per frame: the centre's brightness and when it was presented, from the device's opening.
    std::vector<bool> bright;
    std::vector<double> when;
    {
      Engine e(false);
      if (!e.ok) return state.SkipWithError("no software device or OpenAL output");
      std::mutex m;
      e.mng->set_fps(kFps);
      e.mng->set_frame_hook([&](zel::RenderDevice& dev, uint64_t) {
        auto img = dev.read_frame();
        const double t = std::chrono::duration<double>(clk::now() - e.opened).count();
        std::lock_guard<std::mutex> lk(m);
        bright.push_back(img && img->pixmap(120)[160 * 4 + 1] > 128);
        when.push_back(t);
      });
      zel::MMPlayer player;
      if (!player.open(qar::FileStream::open(clip.string())))
        return state.SkipWithError("the clip does not open");
      player.set_depth(1, -1);
      player.play();
      e.mng->pause(false, false);
      while (!player.is_eos()) std::this_thread::sleep_for(std::chrono::milliseconds(50));
      e.mng->pause(true, true);
      player.close();
      e.mng->set_frame_hook(nullptr);
    }  // the device closes: the wave file is complete
    const auto bytes = [] {
      std::FILE* f = std::fopen(wave_file().c_str(), "rb");
      std::vector<uint8_t> b;
      if (!f) return b;
      uint8_t buf[65536];
      for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) b.insert(b.end(), buf, buf + n);
      std::fclose(f);
      return b;
    }();
    size_t at = 12;  // RIFF header; chunks up to "data"
    while (at + 8 <= bytes.size() && std::memcmp(&bytes[at], "data", 4) != 0)
      at += 8 + (bytes[at + 4] | bytes[at + 5] << 8 | bytes[at + 6] << 16 |
                 size_t(bytes[at + 7]) << 24);
    if (at + 8 > bytes.size()) return state.SkipWithError("no wave capture");
    std::vector<int16_t> left((bytes.size() - at - 8) / 4);
    for (size_t i = 0; i < left.size(); ++i)
      left[i] = int16_t(bytes[at + 8 + 4 * i] | bytes[at + 9 + 4 * i] << 8);
    // Flash onsets and the beep onsets nearest them, paired per second.
    std::vector<double> off;
    size_t s = 0;
    for (size_t f = 1; f < bright.size(); ++f) {
      if (!bright[f] || bright[f - 1]) continue;
      const double flash = when[f];
      while (s < left.size() && (std::abs(left[s]) < 4000 || double(s) / kRate < flash - 0.5)) ++s;
      if (s >= left.size()) break;
      off.push_back((double(s + kWavePeriod) / kRate - flash) * kFps);
      s += kRate / 2;  // past this beep
    }
    seconds = int(off.size());
    if (!off.empty()) {
      const auto [lo, hi] = std::minmax_element(off.begin(), off.end());
      drift = *hi - *lo;
      for (double o : off) mean += o / double(off.size());
    }
  }
  state.counters["seconds"] = seconds;
  state.counters["mean_offset_frames"] = mean;
  state.counters["drift_frames"] = drift;
  state.counters["goal_frames"] = 1;
}
BENCHMARK(AVDrift)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace

// OpenAL Soft reads its settings once, at its first use: its output is the wave file, 16-bit
// stereo at 48 kHz without dither (the loopback devices are not affected).
int main(int argc, char** argv) {
  const fs::path conf = bench_dir() / "alsoft.conf";
  if (std::FILE* f = std::fopen(conf.c_str(), "w")) {
    std::fprintf(f,
                 "[general]\nsample-type=int16\nchannels=stereo\nfrequency=%d\nperiod_size=%d\n"
                 "dither=false\n"
                 "[wave]\nfile=%s\n",
                 kRate, kWavePeriod, wave_file().c_str());
    std::fclose(f);
  }
  setenv("ALSOFT_CONF", conf.c_str(), 1);
  setenv("ALSOFT_DRIVERS", "wave", 1);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
