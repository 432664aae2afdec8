// The "DirectSound8" driver (SDL2) on SDL's dummy output, the factory and the start-up.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "audio/sine_stream.h"
#include "qar/string.h"
#include "zel/audio/driver/openal/openal_driver.h"
#include "zel/audio/driver/sdl/sdl_audio_driver.h"
#include "zel/context.h"
#include "zel/engine.h"

using zel::sdl::SDLAudioDriver;
using zel::sdl::SDLRingSource;

namespace {
zel::audio_source_desc desc(int ch, int rate, int bits, int64_t ms = 0) {
  zel::audio_source_desc d;
  d.channels = ch, d.samples_per_sec = rate, d.bits_per_sample = bits, d.buffer_ms = ms;
  return d;
}
}  // namespace

TEST(SDLAudio, RingSizesAndAttenuation) {
  SDLAudioDriver drv;
  EXPECT_THROW(drv.init(2, nullptr, 2, 44100, 16), std::runtime_error);  // "invalid parametrs"
  ASSERT_TRUE(drv.init());
  struct {
    zel::audio_source_desc d;
    int64_t bytes, step;
  } rings[] = {
      {desc(2, 44100, 16), 37044, 441},       // 210 ms by default
      {desc(2, 44100, 16, 100), 26460, 441},  // at least 150 ms
      {desc(2, 11025, 16), 9260, 110},        // whole frames: 2,315 of 4 bytes
      {desc(1, 8000, 8, 500), 4000, 80},
  };
  for (auto& r : rings) {
    auto s = std::static_pointer_cast<SDLRingSource>(drv.create_source(r.d));
    EXPECT_EQ(s->ring_bytes(), r.bytes);
    EXPECT_EQ(s->step_frames(), r.step);
  }
  for (auto bad : {desc(2, 44100, 24), desc(6, 44100, 16), desc(2, 0, 16)})
    EXPECT_THROW(drv.create_source(bad), std::runtime_error);
  struct {
    int32_t v, att;
  } att[] = {{100, 0}, {50, -693}, {0, -10000}, {150, 0}, {-3, -10000}};
  for (auto a : att) {
    drv.set_volume(a.v);
    EXPECT_EQ(drv.attenuation(), a.att) << a.v;
  }
}

// Silence played while the stream has nothing is not played time: the clock stops at the
// stream's last frame however long the output runs on.
TEST(SDLAudio, UnderrunSilenceIsNotCounted) {
  SDLAudioDriver drv;
  ASSERT_TRUE(drv.init());
  zel_test::SineStream s(44100, 2, 440, 0.125, 0.2);
  auto src = drv.create_source(desc(2, 44100, 16));
  s.connect(src.get());
  ASSERT_TRUE(s.play());
  std::this_thread::sleep_for(std::chrono::milliseconds(700));
  src->position();
  EXPECT_EQ(s.samples_played(), 8820);
  EXPECT_EQ(src->position(), 2000000);
  src->clear();
  EXPECT_EQ(src->position(), 0);
}

TEST(AudioFactory, NamesAndStartUp) {
  struct {
    std::u16string name;
    const char* type;
  } rows[] = {{u"OpenAL", "OpenAL"},
              {u"DirectSound8", "DirectSound8"},
              {u"xyz", "DirectSound8"},
              {u"", ""}};
  for (auto& r : rows) {
    auto d = zel::AudioDriver::create_driver(r.name);
    EXPECT_EQ(zelContext::instance().audio_driver, d);
    EXPECT_EQ(d ? qar::to_utf8(d->name()) : std::string(), r.type);
  }
  // The host's choice opens at start-up; one without an output is dropped, nothing thrown.
  zel::AudioDriver::create_driver(u"DirectSound8");
  zelInitEx(nullptr);
  ASSERT_TRUE(zelContext::instance().audio_driver);
  EXPECT_NE(zelContext::instance().audio_driver->get_device(), nullptr);
  zelUninit();
  setenv("SDL_AUDIODRIVER", "no-such-output", 1);
  zel::AudioDriver::create_driver(u"DirectSound8");
  zelInitEx(nullptr);
  EXPECT_FALSE(zelContext::instance().audio_driver);
  EXPECT_FALSE(zel::AudioDriver::start_driver(u"xyz"));
  zelUninit();
  setenv("SDL_AUDIODRIVER", "dummy", 1);
}
