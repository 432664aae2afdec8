// zelshow playing media as a user runs it: headless frames in the clip's colours with its tone
// captured through OpenAL Soft's wave output, an offline recording decoded back, and one line
// naming a file that cannot be played.
#include <gtest/gtest.h>

#include <sstream>

#include "audio/wav_analysis.h"
#include "media_util.h"

using namespace media_test;

namespace {

const std::string kShow = std::string(ZEL_TEST_BINARY_DIR) + "/../../bin/zelshow";

struct Outcome {
  int code;
  std::string err;
};

Outcome run(const fs::path& dir, const std::string& args) {
  const fs::path err = dir / "stderr.txt";
  const int rc = std::system(("cd '" + dir.string() + "' && " + kShow + " --headless " + args +
                              " 2>'" + err.string() + "' >/dev/null")
                                 .c_str());
  std::stringstream ss;
  ss << std::ifstream(err).rdbuf();
  return {WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, ss.str()};
}

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

bool near_luma(double got, double want) {
  return std::abs(got - want) < 16;
}

TEST(ZelshowMedia, HeadlessFramesShowTheClipAndTheWavHoldsItsTone) {
  const fs::path dir = fresh_dir("zelshow_media");
  clip(dir);
  const Outcome o = run(dir, "--frames 75 --out o --audio-out a.wav clip.mp4");
  ASSERT_EQ(o.code, 0) << o.err;
  // Decoded back through ffmpeg as grey: red 76, blue 29, lime 150 (BT.601 full range).
  const struct {
    int frame;
    double luma;
  } rows[] = {{12, 76}, {37, 29}, {62, 150}};
  for (auto r : rows) {
    char name[32];
    std::snprintf(name, sizeof name, "o/frame_%06d.png", r.frame);
    const decoded d = decode(dir / name);
    ASSERT_EQ(d.luma.size(), 1u) << name;
    EXPECT_TRUE(near_luma(d.luma[0], r.luma)) << name << " " << d.luma[0];
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

TEST(ZelshowMedia, RecordingKeepsTheClipsPicturesAndSoundTogether) {
  const fs::path dir = fresh_dir("zelshow_record");
  clip(dir);
  const Outcome o = run(dir, "--record r.mp4 clip.mp4");
  ASSERT_EQ(o.code, 0) << o.err;
  const decoded d = decode(dir / "r.mp4");
  ASSERT_NEAR(double(d.luma.size()), 75, 3);
  const double want[] = {76, 29, 150};
  for (int s = 0; s < 3; ++s)
    for (int f = s * 25 + 3; f < s * 25 + 22; ++f)
      EXPECT_TRUE(near_luma(d.luma[size_t(f)], want[s])) << f << " " << d.luma[size_t(f)];
  const int64_t start = onset(d.samples, 0, 48000, 2000);
  EXPECT_GE(start, 0);
  EXPECT_LT(start, 48000 / 25 * 2);
}

TEST(ZelshowMedia, AFileThatCannotBePlayedIsNamedInOneLine) {
  const fs::path dir = fresh_dir("zelshow_broken");
  std::ofstream(dir / "broken.mp4") << std::string(4096, 'x');
  const Outcome o = run(dir, "--frames 5 broken.mp4");
  EXPECT_EQ(o.code, 2);
  EXPECT_NE(o.err.find("broken.mp4"), std::string::npos) << o.err;
  EXPECT_EQ(std::count(o.err.begin(), o.err.end(), '\n'), 1) << o.err;
}

}  // namespace
