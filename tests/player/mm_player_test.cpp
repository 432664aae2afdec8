// The player over the built-in FFmpeg stream, on a running render manager (software device)
// with OpenAL Soft's wave output (AV_WAVE_FILE): clips are made by ffmpeg at test time.
#include "zel/media/mm_player.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "audio/wav_analysis.h"
#include "media/media_util.h"
#include "qar/stream.h"
#include "scene/scene_util.h"
#include "zel/audio/audio_driver.h"
#include "zel/media/playables.h"

using namespace media_test;
using scene_test::wait_for;
using namespace std::chrono;

namespace {

fs::path clip() {
  static const fs::path p = [] {
    const fs::path f = fresh_dir("mm_player") / "red.mp4";
    sh(std::string("ffmpeg ") + kExact +
       " -f lavfi -i color=c=red:s=160x120:r=25:d=1 -f lavfi -i sine=f=440:r=48000:d=1"
       " -c:v libx264 -pix_fmt yuv420p -c:a aac -shortest '" +
       f.string() + "'");
    return f;
  }();
  return p;
}

class Player : public ::testing::Test {
 protected:
  void SetUp() override {
    zel::zelContext::instance();
    zel::AudioDriver::start_driver(u"OpenAL");
  }
  void make_render() {
    mng_ = std::make_shared<scene_test::Host>(u"Software");
    ASSERT_TRUE(mng_->init(u"Software", scene_test::make_mode(320, 240)));
  }
  void start_render() {
    if (!mng_) make_render();
    ASSERT_TRUE(qar::ThreadOfControl::start(mng_, true));
    mng_->pause(true, true);  // the render thread has set its device up (the context's fields)
    mng_->pause(false, false);
  }
  void TearDown() override {
    player_.reset();
    if (mng_) mng_->terminate(), mng_->clear_all_layers();
    mng_.reset();
    zel::zelContext::uninit();
  }
  std::shared_ptr<scene_test::Host> mng_;
  std::unique_ptr<zel::MMPlayer> player_ = std::make_unique<zel::MMPlayer>();
};

TEST_F(Player, ClosedPlayerGivesNeutralValuesAndClampsTheVolume) {
  EXPECT_FALSE(player_->play());
  EXPECT_EQ(player_->position(), -1);
  EXPECT_EQ(player_->duration(), 0);
  EXPECT_EQ(player_->get_video(0), nullptr);
  EXPECT_EQ(player_->get_size(), std::make_pair(0, 0));
  EXPECT_FALSE(player_->open(nullptr));
  // Set, stored, the one before.
  for (auto [set, stored, previous] : {std::tuple{150, 100, 75}, {-3, 0, 100}, {40, 40, 0}}) {
    EXPECT_EQ(player_->volum(int16_t(set)), previous);
    EXPECT_EQ(player_->volum(), stored);
  }
}

// Without a render manager nothing is registered, and both opens apply the stored volume.
TEST_F(Player, OpensWithoutARenderManagerAndAppliesTheVolume) {
  for (bool scaled : {true, false}) {
    auto s = qar::FileStream::open(clip().string());
    ASSERT_TRUE(scaled ? player_->open(s, 2.0) : player_->open(s, 0, 0));
    ASSERT_NE(player_->get_audio(0), nullptr);
    EXPECT_EQ(player_->get_audio(0)->volume(), 75) << scaled;
    EXPECT_EQ(player_->get_native_size(), std::make_pair(160, 120));
    EXPECT_EQ(player_->facet_count(), 1u);
  }
}

TEST_F(Player, ShowsThePictureInTheSceneUntilClosedAndEndsAtTheEnd) {
  start_render();
  const size_t before = mng_->updatable_count();
  ASSERT_TRUE(player_->open(qar::FileStream::open(clip().string())));
  EXPECT_EQ(player_->get_facet(0)->get_topleft(), std::make_pair(0, 0));
  EXPECT_NEAR(double(player_->duration()), 1000, 100);
  EXPECT_EQ(player_->frames(), 25);
  player_->set_depth(5, 1);  // no second video: nothing
  EXPECT_EQ(mng_->get_layer(5, false), nullptr);
  player_->set_depth(5, -1);
  player_->set_topleft(80, 60);
  // Frames read back on the render thread, as they are drawn.
  std::atomic<bool> red{false};
  mng_->set_frame_hook([&](zel::RenderDevice& dev, uint64_t) {
    auto f = dev.read_frame();
    const uint8_t* p = f ? f->pixmap(120) + 160 * 4 : nullptr;
    if (p && p[2] > 200 && p[1] < 50 && p[0] < 50) red = true;
  });
  ASSERT_TRUE(player_->play());
  ASSERT_TRUE(wait_for([&] { return red.load(); }));
  ASSERT_TRUE(wait_for([&] { return player_->is_eos(); }));
  EXPECT_FALSE(player_->is_play());

  // Opening again closes first; closing takes the picture out of the scene and the stream
  // out of the update pass.
  ASSERT_TRUE(player_->open(qar::FileStream::open(clip().string())));
  player_->set_depth(5, -1);
  EXPECT_EQ(mng_->get_layer(5, false)->get_list().size(), 1u);
  player_->close();
  EXPECT_TRUE(mng_->get_layer(5, false)->get_list().empty());
  EXPECT_EQ(mng_->updatable_count(), before);
}

// A texture that cannot be made at open (no texture manager yet) comes later: the player hands
// it over then, and a facet the host has sized meanwhile keeps its size.
TEST_F(Player, ALateTextureReachesItsFacetWhichKeepsTheHostsSize) {
  make_render();
  auto& ctx = zelContext::instance();
  auto textures = std::move(ctx.texture_manager);
  ASSERT_TRUE(player_->open(qar::FileStream::open(clip().string())));
  auto facet = player_->get_facet(0);
  ASSERT_EQ(facet->get_texture(), nullptr);
  player_->set_size(100, 80);
  ctx.texture_manager = textures;
  start_render();
  ASSERT_TRUE(wait_for([&] { return facet->get_texture() != nullptr; }));
  EXPECT_EQ(facet->get_size(), std::make_pair(100, 80));
  EXPECT_TRUE(wait_for([&] { return !player_->is_registered(); }));
}

TEST_F(Player, LoopsWhenAskedAndTheDestructorLetsGo) {
  start_render();
  player_->set_loop(true);
  ASSERT_TRUE(player_->open(qar::FileStream::open(clip().string())));
  EXPECT_TRUE(player_->stream()->is_loop());
  ASSERT_TRUE(player_->play());  // the stream tests play the loops themselves
  std::weak_ptr<zel::MultiMediaStream> weak = player_->stream();
  player_.reset();  // mid-play
  EXPECT_TRUE(weak.expired());
}

// Played in real time, each flash is on screen within a frame of its beep in the output: the
// frames' presentation times and the wave file both count from the device's opening.
TEST_F(Player, FlashesMeetTheirBeepsAtTheOutput) {
  const fs::path f = fresh_dir("mm_player_av") / "fb.mp4";
  const std::string beep = "if(lt(mod(t\\,1)\\,0.05)\\,0.5*sin(2*PI*1000*t)\\,0)";
  sh(std::string("ffmpeg ") + kExact +
     " -f lavfi -i \"color=c=black:s=320x240:r=25:d=3,geq=lum='if(lt(mod(N\\,25)\\,1)\\,235\\,16)'"
     ":cb=128:cr=128\" -f lavfi -i \"aevalsrc='" +
     beep + "|" + beep + "':s=48000:d=3\" -c:v libx264 -pix_fmt yuv420p -c:a aac -shortest '" +
     f.string() + "'");
  ASSERT_TRUE(zel::AudioDriver::start_driver(u"OpenAL"));  // a fresh wave file from now
  const auto t0 = steady_clock::now();
  make_render();
  std::mutex m;
  std::vector<double> flashes;
  bool was = false;
  mng_->set_fps(25);
  mng_->set_frame_hook([&](zel::RenderDevice& dev, uint64_t) {
    auto img = dev.read_frame();
    const bool on = img && img->pixmap(120)[160 * 4 + 1] > 128;
    std::lock_guard<std::mutex> lk(m);
    if (on && !was) flashes.push_back(duration<double>(steady_clock::now() - t0).count());
    was = on;
  });
  start_render();
  ASSERT_TRUE(player_->open(qar::FileStream::open(f.string())));
  player_->set_depth(1, -1);
  ASSERT_TRUE(player_->play());
  ASSERT_TRUE(wait_for([&] { return player_->is_eos(); }, milliseconds(8000)));
  mng_->set_frame_hook(nullptr);
  player_->close();
  zel::AudioDriver::start_driver(u"");  // the wave file is complete
  const zel_test::Pcm w = zel_test::read_pcm(AV_WAVE_FILE, 48000, 2, true);
  std::lock_guard<std::mutex> lk(m);
  ASSERT_EQ(flashes.size(), 3u);
  for (double at : flashes) {
    const int64_t from = int64_t((at - 0.5) * 48000);
    int64_t s = std::max<int64_t>(from, 0);
    while (s < int64_t(w.frames()) && std::abs(int(w.s[size_t(2 * s)])) < 4000) ++s;
    // A sample reaches the file a period after its time.
    EXPECT_NEAR((s + 480) / 48000.0, at, 1.0 / 25) << "flash at " << at;
  }
}

}  // namespace
