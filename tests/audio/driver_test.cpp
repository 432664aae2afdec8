// Both drivers on outputs that capture nothing (OpenAL Soft's null backend, SDL's dummy), the
// OpenAL loopback device, the factory and the engine start-up.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "audio/sine_stream.h"
#include "audio/wav_analysis.h"
#include "qar/string.h"
#include "qar/thread.h"
#include "zel/audio/driver/openal/openal_driver.h"
#include "zel/audio/driver/sdl/sdl_audio_driver.h"
#include "zel/context.h"
#include "zel/engine.h"

using zel::audio_source_desc;
using zel::openal::OpenALSource;
using zel::sdl::SDLRingSource;
using zel_test::SineStream;
using ms = std::chrono::milliseconds;

TEST(AudioDrivers, RefuseWhatTheyCannotPlay) {
  for (auto drv : std::initializer_list<std::shared_ptr<zel::AudioDriver>>{
           std::make_shared<zel::openal::OpenALDriver>(),
           std::make_shared<zel::sdl::SDLAudioDriver>()}) {
    ASSERT_TRUE(drv->init());
    for (audio_source_desc bad :
         {audio_source_desc{2, 44100, 24}, {6, 44100, 16}, {2, 0, 16}, {0, 8000, 8}})
      EXPECT_THROW(drv->create_source(bad), std::runtime_error)
          << bad.channels << " " << bad.bits_per_sample;
  }
}

// The clock counts the frames played; chunks carry their stream times, so after clear() the
// position is the time of the chunk queued next. drain() returns at once while paused.
TEST(AudioDrivers, OpenALClockPositionClearDrain) {
  zel::openal::OpenALDriver drv;
  ASSERT_TRUE(drv.init());
  SineStream s(44100, 2, 440, 0.125, 0.5);
  auto src = std::static_pointer_cast<OpenALSource>(drv.create_source({2, 44100, 16}));
  s.connect(src.get());
  ASSERT_TRUE(s.play());
  const auto end = std::chrono::steady_clock::now() + ms(3000);
  while (s.samples_played() < 22050 && std::chrono::steady_clock::now() < end)
    std::this_thread::sleep_for(ms(5));
  EXPECT_EQ(s.samples_played(), 22050);
  EXPECT_EQ(s.tell(), 5000000);

  src->clear();
  EXPECT_EQ(src->free_buffers(), OpenALSource::buffer_count);
  std::vector<int16_t> chunk(17640 / 2);  // 0.1 s
  for (int i = 0; i < 7; ++i) ASSERT_TRUE(src->queue(chunk.data(), 17640, 5.0 + i * 0.1));
  EXPECT_NEAR(src->position() / 1e7, 5.0, 0.1);
  s.pause();
  const auto t0 = std::chrono::steady_clock::now();
  src->drain();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, ms(400));  // not the 0.7 s queued
  s.play();
  src->drain();
  EXPECT_EQ(src->free_buffers(), OpenALSource::buffer_count);
}

// Offline: nothing moves until pump() and render_loopback(); no updater thread runs.
TEST(AudioDrivers, OpenALLoopbackRendersOnDemand) {
  zel::openal::OpenALDriver drv;
  ASSERT_TRUE(drv.init_loopback(44100, 2));
  SineStream s(44100, 2, 440, 0.125, 1.0, 0.5);
  auto src = std::static_pointer_cast<OpenALSource>(drv.create_source({2, 44100, 16}));
  s.connect(src.get());
  src->set_volume(75);
  ASSERT_TRUE(s.play());
  EXPECT_FALSE(qar::get_ThreadOfControlMng().get("OpenAL updater thread"));
  std::this_thread::sleep_for(ms(30));
  EXPECT_EQ(s.samples_played(), 0);
  zel_test::Pcm pcm{44100, 2, std::vector<int16_t>(44100 * 3)};
  for (int i = 0; i < 150; ++i) {
    drv.pump();
    ASSERT_TRUE(drv.render_loopback(&pcm.s[i * 882], 441));
  }
  drv.pump();
  EXPECT_EQ(s.samples_played(), 44100);
  auto span = zel_test::tone_span(pcm, 0, 0.01);
  EXPECT_NEAR(span.second - span.first, 44100, 882);
  for (int ch : {0, 1}) {
    auto t = zel_test::measure_tone(pcm, ch, span.first + 441, span.second - 441, 440);
    EXPECT_NEAR(zel_test::db(t.amplitude / (0.125 * 0.75 * (ch ? 0.5 : 1))), 0, 0.3) << ch;
    EXPECT_LT(t.rest_db, -40) << ch;
  }
  // Running dry stopped AL's source; new data while playing starts it again. The master
  // volume is the listener's gain: 8000 x 0.75 (source) x 0.5 (master).
  std::vector<int16_t> more(882, 8000), out(882);
  drv.set_volume(50);
  ASSERT_TRUE(src->queue(more.data(), 1764, 1.0));
  drv.render_loopback(out.data(), 441);
  EXPECT_NEAR(*std::max_element(out.begin(), out.end()), 3000, 2);
}

TEST(AudioDrivers, RingSizesAndAttenuation) {
  zel::sdl::SDLAudioDriver drv;
  EXPECT_THROW(drv.init(2, nullptr, 2, 44100, 16), std::runtime_error);  // "invalid parametrs"
  ASSERT_TRUE(drv.init());
  struct {
    audio_source_desc d;
    int64_t bytes, step;
  } rings[] = {
      {{2, 44100, 16}, 37044, 441},          // 210 ms by default
      {{2, 44100, 16, 0, 100}, 26460, 441},  // at least 150 ms
      {{2, 11025, 16}, 9260, 110},           // whole frames: 2,315 of 4 bytes
      {{1, 8000, 8, 0, 500}, 4000, 80},
  };
  for (auto& r : rings) {
    auto s = std::static_pointer_cast<SDLRingSource>(drv.create_source(r.d));
    EXPECT_EQ(s->ring_bytes(), r.bytes);
    EXPECT_EQ(s->step_frames(), r.step);
  }
  for (auto [volume, att] : {std::pair{100, 0}, {50, -693}, {0, -10000}, {150, 0}, {-3, -10000}}) {
    drv.set_volume(volume);
    EXPECT_EQ(drv.attenuation(), att) << volume;
  }
}

// A stream whose first read throws: the updater traces it, holds nothing locked, goes on.
class ThrowOnce : public SineStream {
 public:
  using SineStream::SineStream;
  ~ThrowOnce() override { connect(nullptr); }
  int read_data(void* d, uint64_t bytes, uint64_t& got) override {
    if (!thrown.exchange(true)) throw std::runtime_error("decoder failed");
    return SineStream::read_data(d, bytes, got);
  }
  std::atomic<bool> thrown{false};
};

// Silence played while the stream has nothing is not played time: the clock stops at the
// stream's last frame however long the output runs on.
TEST(AudioDrivers, RingUnderrunAndThrowingStream) {
  zel::sdl::SDLAudioDriver drv;
  ASSERT_TRUE(drv.init());
  ThrowOnce s(44100, 2, 440, 0.125, 0.2);
  auto src = drv.create_source({2, 44100, 16});
  s.connect(src.get());
  ASSERT_TRUE(s.play());
  const auto end = std::chrono::steady_clock::now() + ms(5000);
  while (s.samples_played() < 8820 && std::chrono::steady_clock::now() < end)
    std::this_thread::sleep_for(ms(10));
  std::this_thread::sleep_for(ms(100));  // and on past the stream's end
  EXPECT_EQ(src->position(), 2000000);
  EXPECT_TRUE(s.thrown);
  EXPECT_EQ(s.samples_played(), 8820);
  src->clear();
  EXPECT_EQ(src->position(), 0);
}

TEST(AudioDrivers, FactoryAndStartUp) {
  for (auto [name, type] : {std::pair{u"OpenAL", "OpenAL"},
                            {u"DirectSound8", "DirectSound8"},
                            {u"xyz", "DirectSound8"},
                            {u"", ""}}) {
    auto d = zel::AudioDriver::create_driver(name);
    EXPECT_EQ(zelContext::instance().audio_driver, d);
    EXPECT_EQ(d ? qar::to_utf8(d->name()) : std::string(), type);
  }
  // The host's choice opens at start-up; one without an output is dropped, nothing thrown.
  for (const char* output : {"dummy", "no-such-output"}) {
    setenv("SDL_AUDIODRIVER", output, 1);
    zel::AudioDriver::create_driver(u"DirectSound8");
    zelInitEx(nullptr);
    EXPECT_EQ(zelContext::instance().audio_driver != nullptr, output[0] == 'd') << output;
    zelUninit();
  }
  EXPECT_FALSE(zel::AudioDriver::start_driver(u"xyz"));
  setenv("SDL_AUDIODRIVER", "dummy", 1);
}
