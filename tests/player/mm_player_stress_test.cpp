// The player under churn on a running render manager, with each audio driver: open, play, seek,
// pause and close in quick turns, and players destroyed mid-play (run under TSan).
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "media_util.h"
#include "qar/stream.h"
#include "qar/thread.h"
#include "zel/audio/audio_driver.h"
#include "zel/context.h"
#include "zel/layer.h"
#include "zel/media/mm_player.h"
#include "zel/render_mng.h"

using namespace media_test;

namespace {

class Host : public zel::RenderMng {
 public:
  Host() : zel::RenderMng(u"Software") {}
  void change_mode(const zel::DeviceMode&) override {}
};

class PlayerChurn : public ::testing::TestWithParam<const char16_t*> {};

TEST_P(PlayerChurn, OpenPlaySeekPauseCloseAndDestroyMidPlay) {
  const fs::path clip = fresh_dir("mm_player_stress") / "clip.mp4";
  ASSERT_TRUE(sh(std::string("ffmpeg ") + kExact +
                 " -f lavfi -i testsrc=s=160x120:r=25:d=2 -f lavfi -i sine=r=48000:d=2"
                 " -c:v libx264 -pix_fmt yuv420p -g 12 -c:a aac -shortest '" +
                 clip.string() + "'"));
  zel::zelContext::instance();
  zel::AudioDriver::start_driver(GetParam());
  auto mng = std::make_shared<Host>();
  zel::DeviceMode mode;
  mode.width = 160, mode.height = 120;
  ASSERT_TRUE(mng->init(u"Software", mode));
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
