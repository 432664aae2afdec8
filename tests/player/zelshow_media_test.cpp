// zelshow playing media as a user runs it: headless frames in the clip's colours with its tone
// captured through OpenAL Soft's wave output, and an offline recording decoded back (a file that
// cannot be played is among zelshow's bad inputs in the smoke test).
#include <gtest/gtest.h>

#include <chrono>

#include "audio/wav_analysis.h"
#include "media/media_util.h"

using namespace media_test;

namespace {

// One second each of red, blue and lime, with a stereo 440 Hz sine of amplitude 1/8 throughout.
fs::path clip(const fs::path& dir) {
  const fs::path f = dir / "clip.mp4";
  sh(std::string("ffmpeg ") + kExact +
     " -f lavfi -i color=c=red:s=160x120:r=25:d=1 -f lavfi -i color=c=blue:s=160x120:r=25:d=1"
     " -f lavfi -i color=c=lime:s=160x120:r=25:d=1 -f lavfi -i "
     "'aevalsrc=0.125*sin(2*PI*440*t)|0.125*sin(2*PI*440*t):s=48000:d=3'"
     " -filter_complex '[0][1][2]concat=n=3:v=1:a=0[v]' -map '[v]' -map 3"
     " -c:v libx264 -pix_fmt yuv420p -c:a aac -shortest '" +
     f.string() + "'");
  return f;
}

TEST(ZelshowMedia, HeadlessFramesShowTheClipAndTheWavHoldsItsTone) {
  const fs::path dir = fresh_dir("zelshow_media");
  clip(dir);
  const Outcome o = zelshow(dir, "--headless --frames 75 --out o --audio-out a.wav clip.mp4");
  ASSERT_EQ(o.code, 0) << o.err;
  // Decoded back through ffmpeg as grey: red 76, blue 29, lime 150 (BT.601 full range).
  for (auto [frame, luma] : {std::pair{12, 76.0}, {37, 29.0}, {62, 150.0}}) {
    char name[32];
    std::snprintf(name, sizeof name, "o/frame_%06d.png", frame);
    const decoded d = decode(dir / name);
    ASSERT_EQ(d.luma.size(), 1u) << name;
    EXPECT_NEAR(d.luma[0], luma, 16) << name;
  }
  // 16-bit stereo at 48 kHz ("fmt " first, as OpenAL Soft writes it).
  const auto head = slurp(dir / "a.wav");
  ASSERT_GT(head.size(), 44u);
  EXPECT_EQ(head[22] | head[23] << 8, 2);
  EXPECT_EQ(head[24] | head[25] << 8 | head[26] << 16, 48000);
  EXPECT_EQ(head[34], 16);
  const zel_test::Pcm w = zel_test::read_pcm((dir / "a.wav").string(), 48000, 2, true);
  const auto span = zel_test::tone_span(w, 0, 0.03);
  ASSERT_GE(span.first, 0);
  EXPECT_NEAR(double(span.second - span.first) / w.rate, 3.0, 0.1);
  // The default volume, 75, scales the clip's 1/8.
  const auto t = zel_test::measure_tone(w, 0, span.first + 4800, span.second - 4800, 440);
  EXPECT_NEAR(zel_test::db(t.amplitude / (0.125 * 0.75)), 0, 0.5);
  EXPECT_LT(t.rest_db, -30);
}

// Recorded offline, the clip's clock follows the engine's fixed step: a 4 s clip flashing for
// two frames and beeping for 50 ms at every second keeps each flash with its beep, and both runs
// write the same pictures and sound (the show moves on between frames on the render thread).
TEST(ZelshowMedia, RecordingFollowsTheEngineClock) {
  const fs::path dir = fresh_dir("zelshow_record");
  const std::string on = "lt(mod(t\\,1)\\,0.05)";
  const std::string beep = "if(" + on + "\\,0.5*sin(2*PI*1000*t)\\,0)";
  sh(std::string("cd '") + dir.string() + "' && ffmpeg " + kExact +
     " -f lavfi -i \"color=c=black:s=160x120:r=25:d=4,geq=lum='if(lt(mod(N\\,25)\\,2)\\,235\\,16)'"
     ":cb=128:cr=128\" -f lavfi -i \"aevalsrc='" +
     beep + "|" + beep + "':s=48000:d=4\" -c:v libx264 -pix_fmt yuv420p -c:a aac -shortest fb.mp4");
  decoded first;
  for (const char* out : {"a.mp4", "b.mp4"}) {
    const auto t0 = std::chrono::steady_clock::now();
    const Outcome o = zelshow(dir, std::string("--headless --record ") + out + " fb.mp4");
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    ASSERT_EQ(o.code, 0) << o.err;
    // How much faster than it plays is the benchmark's to say; here only what it writes counts.
    RecordProperty(std::string(out) + "_wall_seconds", std::to_string(wall));
    const decoded d = decode(dir / out);
    ASSERT_NEAR(double(d.luma.size()), 100, 2);
    for (int k = 0; k < 4; ++k) {
      const int f = first_bright(d.luma, k * 25 - 1, (k + 1) * 25 - 1);
      const int64_t s = onset(d.samples, k * 48000 - 4800, (k + 1) * 48000);
      ASSERT_EQ(f, k * 25) << out;
      ASSERT_GE(s, 0) << out << " second " << k;
      EXPECT_NEAR(double(s) / 48000, f / 25.0, 1 / 25.0) << out << " second " << k;
    }
    if (first.luma.empty()) {
      first = d;
    } else {
      EXPECT_EQ(d.luma, first.luma);
      EXPECT_EQ(d.samples, first.samples);
    }
  }
}

}  // namespace
