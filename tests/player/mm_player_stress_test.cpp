// The player under churn on a running render manager, with each audio driver: open, play, seek,
// pause and close in quick turns, and players destroyed mid-play (run under TSan).
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "media/media_util.h"
#include "qar/stream.h"
#include "scene/scene_util.h"
#include "zel/audio/audio_driver.h"
#include "zel/media/mm_player.h"

using namespace media_test;

namespace {

class PlayerChurn : public ::testing::TestWithParam<const char16_t*> {};

TEST_P(PlayerChurn, OpenPlaySeekPauseCloseAndDestroyMidPlay) {
  const fs::path clip = fresh_dir("mm_player_stress") / "clip.mp4";
  ASSERT_TRUE(sh(std::string("ffmpeg ") + kExact +
                 " -f lavfi -i testsrc=s=160x120:r=25:d=2 -f lavfi -i sine=r=48000:d=2"
                 " -c:v libx264 -pix_fmt yuv420p -g 12 -c:a aac -shortest '" +
                 clip.string() + "'"));
  zel::zelContext::instance();
  zel::AudioDriver::start_driver(GetParam());
  auto mng = std::make_shared<scene_test::Host>(u"Software");
  ASSERT_TRUE(mng->init(u"Software", scene_test::make_mode(160, 120)));
  ASSERT_TRUE(qar::ThreadOfControl::start(mng, true));
  mng->pause(true, true);  // the render thread has set its device up (the context's fields)
  mng->set_fps(100);
  mng->pause(false, false);
  const size_t idle = mng->updatable_count();
  for (int i = 0; i < 12; ++i) {
    auto p = std::make_unique<zel::MMPlayer>();
    ASSERT_TRUE(p->open(qar::FileStream::open(clip.string())));
    p->set_depth(1, -1);
    p->play();
    std::this_thread::sleep_for(std::chrono::milliseconds(20 * (i % 4)));
    p->seek(uint64_t(137 * i % 1900));
    if (i % 3 == 0) p->pause();
    p->volum(int16_t(i * 9));
    if (i % 2) p->close();
    p.reset();  // mid-play every other turn
  }
  EXPECT_EQ(mng->updatable_count(), idle);
  EXPECT_TRUE(mng->get_layer(1, false)->get_list().empty());
  mng->terminate();
  mng->clear_all_layers();
  mng.reset();
  zel::zelContext::uninit();
}

INSTANTIATE_TEST_SUITE_P(Drivers, PlayerChurn, ::testing::Values(u"OpenAL", u"DirectSound8"),
                         [](const auto& info) {
                           return std::string(info.param[0] == u'O' ? "OpenAL" : "SDL");
                         });

}  // namespace
