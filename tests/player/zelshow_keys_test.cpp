// zelshow's keys in its window, pressed by xdotool while a clip plays whose brightness steps
// up every second: Space holds the picture, Right jumps 5 s ahead, Left 5 s back, Home goes back
// to the start; Up and Down change the volume by 10 (heard in OpenAL's wave output).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include "audio/wav_analysis.h"
#include "media/media_util.h"

using namespace media_test;

namespace {

TEST(ZelshowKeys, PauseSkipsRestartAndVolume) {
  if (!std::getenv("DISPLAY") || !*std::getenv("DISPLAY")) GTEST_SKIP() << "no X display";
  const fs::path dir = fresh_dir("zelshow_keys");
  ASSERT_TRUE(sh(std::string("cd '") + dir.string() + "' && ffmpeg " + kExact +
                 " -f lavfi -i \"color=c=black:s=64x48:r=25:d=10,"
                 "geq=lum='20+20*floor(T)':cb=128:cr=128\" -f lavfi -i sine=r=48000:d=10"
                 " -c:v libx264 -pix_fmt yuv420p -g 12 -c:a aac -shortest ramp.mp4"));
  const std::string script =
      "cd '" + dir.string() + "' && { " + kShow +
      " --size 160x120 --frames 200 --out o --audio-out a.wav ramp.mp4 2>err.txt & P=$!; "
      "W=$(timeout 20 xdotool search --sync --name '^zel$' | tail -1); "
      "xdotool windowfocus --sync $W; sleep 0.5; xdotool key space; sleep 1.6; "
      "xdotool key space; sleep 0.6; xdotool key Right; sleep 0.6; xdotool key Left; sleep 0.6; "
      "xdotool key Home; sleep 0.6; xdotool key Up; sleep 0.8; xdotool key Down Down; wait $P; }";
  ASSERT_TRUE(sh(script));
  // Brightness level (the clip's second) of every frame.
  const decoded d = decode(dir / "o" / "frame_%06d.png");
  ASSERT_EQ(d.luma.size(), 200u);
  std::vector<int> level;
  for (double l : d.luma) level.push_back(int((l - 10) / 20));
  size_t i = 0, run = 0;
  // Paused early on: one of the first seconds held for well over a second.
  for (size_t k = 1; k < level.size() && run < 50; ++k) {
    run = level[k] == level[k - 1] ? run + 1 : 0;
    i = k;
  }
  EXPECT_GE(run, 50u);
  EXPECT_LE(level[i], 2);
  // Then a jump of about five seconds, and later the start again.
  while (i + 1 < level.size() && level[i + 1] - level[i] < 4) ++i;
  EXPECT_LT(i + 1, level.size()) << "no jump ahead";
  // About five seconds back, but not to the start.
  while (i + 1 < level.size() && level[i] - level[i + 1] < 4) ++i;
  ASSERT_LT(i + 1, level.size()) << "no jump back";
  EXPECT_GT(level[i + 1], 0);
  while (i < level.size() && level[i] != 0) ++i;
  EXPECT_LT(i, level.size()) << "no restart";
  // The tone's level per 100 ms (where it sounds): 75 at first, 85 after Up, 65 at the end.
  const zel_test::Pcm w = zel_test::read_pcm((dir / "a.wav").string(), 48000, 2, true);
  std::vector<double> rms;
  for (size_t f = 0; f + 4800 <= w.frames(); f += 4800) {
    double e = 0;
    for (size_t k = f; k < f + 4800; ++k) e += double(w.s[2 * k]) * w.s[2 * k];
    if (std::sqrt(e / 4800) > 300) rms.push_back(std::sqrt(e / 4800));
  }
  ASSERT_GT(rms.size(), 10u);
  EXPECT_NEAR(zel_test::db(*std::max_element(rms.begin(), rms.end()) / rms[1]),
              zel_test::db(85.0 / 75), 0.3);
  EXPECT_NEAR(zel_test::db(rms[rms.size() - 2] / rms[1]), zel_test::db(65.0 / 75), 0.3);
}

}  // namespace
