// A presentation recorded offline: the render manager's fixed-step clock draws frames as fast
// as they come, each frame is read back and encoded with the sound of its period, and the file,
// decoded back, has every flash and its beep within one frame of each other.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "audio/sine_stream.h"
#include "media/media_util.h"
#include "scene/scene_util.h"
#include "zel/audio/driver/openal/openal_driver.h"
#include "zel/media/media_stream.h"
#include "zel/media/recorder/video_file_recorder.h"
#include "zel/renderable.h"

using namespace media_test;
using zel::recorder::recorder_options;
using zel::recorder::VideoFileRecorder;

namespace {

constexpr int kFps = 25, kRate = 48000, kSeconds = 6;

// The screen is white for the first frame of every second of engine time, black otherwise.
class Flash : public zel::Updatable {
 public:
  explicit Flash(zel::RenderMng& m) : mng_(m) { register_updatable(); }
  ~Flash() override { unregister_updatable(); }
  void update(uint64_t t) override {
    const bool on = t % 1000000 < 1000000 / kFps;
    mng_.set_bg_color(on ? 255 : 0, on ? 255 : 0, on ? 255 : 0);
  }

 private:
  zel::RenderMng& mng_;
};

struct Row {
  const char* file;
  const char* video_codec;
  const char* audio_codec;
  bool loopback;  // the sound mixed by OpenAL Soft's loopback device, else handed over directly
};

class Recorder : public ::testing::TestWithParam<Row> {};

TEST_P(Recorder, FlashesAndBeepsStayWithinAFrameAndRecordingOutrunsRealTime) {
  const Row row = GetParam();
  const fs::path file = fresh_dir("recorder") / row.file;
  auto mng = std::make_shared<scene_test::Host>(u"Software");
  const zel::DeviceMode mode = scene_test::make_mode(160, 120);
  ASSERT_TRUE(mng->init(u"Software", mode));
  mng->set_fps(kFps);
  mng->set_fixed_step(true);

  // A 1 kHz beep for the first 50 ms of every second, handed out as 20 ms chunks.
  zel_test::SineStream beeps(kRate, 2, 1000, 0.5, 0);
  beeps.on = 0.05;
  zel::openal::OpenALDriver al;
  std::shared_ptr<zel::AudioSource> source;
  VideoFileRecorder::AudioPull pull = [&](int16_t* pcm, int32_t n) {
    uint64_t got;
    beeps.read_data(pcm, uint64_t(n) * 4, got);
  };
  if (row.loopback) {
    ASSERT_TRUE(al.init_loopback(kRate, 2));
    source = al.create_source({2, kRate, 16, 0, 0});
    beeps.connect(source.get());
    ASSERT_TRUE(beeps.play());
    pull = [&](int16_t* pcm, int32_t n) { al.pump(), al.render_loopback(pcm, n); };
  }
  VideoFileRecorder rec;
  recorder_options opt;
  opt.path = file.string();
  opt.fps = kFps;
  ASSERT_TRUE(rec.open(opt, mode.width, mode.height, pull)) << rec.error();
  EXPECT_EQ(rec.video_codec(), row.video_codec);
  EXPECT_EQ(rec.audio_codec(), row.audio_codec);
  const uint64_t total = kSeconds * kFps;
  mng->set_frame_hook([&](zel::RenderDevice& dev, uint64_t n) {
    if (n <= total) rec.on_frame(dev, n);
  });
  Flash flash(*mng);
  ASSERT_TRUE(qar::ThreadOfControl::start(mng, true));
  const auto t0 = std::chrono::steady_clock::now();
  mng->pause(false, false);
  ASSERT_TRUE(mng->wait_frames(total, std::chrono::seconds(120)));
  mng->terminate();
  ASSERT_EQ(rec.finish(), "");
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  std::printf("recorded %d s in %.2f s (%.1fx real time)\n", kSeconds, wall, kSeconds / wall);
  EXPECT_LT(wall, kSeconds);

  const decoded d = decode(file);
  ASSERT_EQ(d.luma.size(), total);
  ASSERT_GE(d.samples.size(), size_t(kSeconds - 1) * kRate);
  for (int k = 0; k < kSeconds; ++k) {
    const int f = first_bright(d.luma, k * kFps - 1, (k + 1) * kFps - 1);
    const int64_t s = onset(d.samples, int64_t(k) * kRate - kRate / 10, int64_t(k + 1) * kRate);
    ASSERT_GE(f, 0) << "no flash in second " << k;
    ASSERT_GE(s, 0) << "no beep in second " << k;
    EXPECT_NEAR(double(s) / kRate, double(f) / kFps, 1.0 / kFps) << "second " << k;
  }
  beeps.connect(nullptr);
  mng.reset();
  zel::zelContext::uninit();
}

INSTANTIATE_TEST_SUITE_P(Containers, Recorder,
                         ::testing::Values(Row{"show.mp4", "libx264", "aac", false},
                                           Row{"show.webm", "libvpx-vp9", "libopus", false},
                                           Row{"al.mp4", "libx264", "aac", true},
                                           Row{"al.webm", "libvpx-vp9", "libopus", true}),
                         [](const auto& info) {
                           std::string n = info.param.file;
                           return n.replace(n.find('.'), 1, "_");
                         });

TEST(RecorderOpen, RefusesWhatItCannotWriteAndKeepsOtherFiles) {
  const fs::path dir = fresh_dir("recorder_bad");
  const fs::path txt = dir / "notes.txt";
  std::ofstream(txt) << "keep";
  for (const fs::path& p : {txt, dir / "missing" / "x.mp4"}) {
    VideoFileRecorder rec;
    recorder_options opt;
    opt.path = p.string();
    EXPECT_FALSE(rec.open(opt, 64, 48)) << p;
    EXPECT_NE(rec.error(), "") << p;
  }
  EXPECT_EQ(slurp(txt).size(), 4u);
}

}  // namespace
