// What the OpenAL driver plays, captured by OpenAL Soft's wave backend (int16, no dither).
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "audio/sine_stream.h"
#include "audio/wav_analysis.h"
#include "zel/audio/driver/openal/openal_driver.h"

using zel_test::SineStream;

namespace {

// Plays `seconds` of a 440 Hz sine at amplitude 1/8 through a fresh driver and returns the
// capture. `clear_first` clears the source after setting its volume.
zel_test::Wav capture(int16_t volume, double seconds, bool clear_first, int64_t* played) {
  {
    zel::openal::OpenALDriver drv;
    EXPECT_TRUE(drv.init());
    SineStream s(44100, 2, 440, 0.125, seconds);
    zel::audio_source_desc d;
    d.channels = 2, d.samples_per_sec = 44100, d.bits_per_sample = 16;
    auto src = std::static_pointer_cast<zel::openal::OpenALSource>(drv.create_source(d));
    s.connect(src.get());
    src->set_volume(volume);
    if (clear_first) src->clear();
    EXPECT_TRUE(s.play());
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!s.exhausted() && std::chrono::steady_clock::now() < end)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    src->drain();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the mixer's own latency
    *played = s.samples_played();
    s.connect(nullptr);
  }
  zel_test::Wav w;
  EXPECT_TRUE(zel_test::read_wav(ZEL_TEST_BINARY_DIR "/openal_wave_capture.wav", w));
  return w;
}

}  // namespace

TEST(OpenALWave, ToneSpanLevelAndClamps) {
  struct Row {
    int16_t volume;
    double seconds;
    bool clear_first;
    double gain;  // expected level / 0.125
  } rows[] = {
      {75, 2.0, false, 0.75},  // the reference: span, level, nothing else
      {150, 0.5, false, 1.0},  // clamped to 100, played as 100
      {-3, 0.5, false, 0.0},   // clamped to 0: silence
      {40, 0.5, true, 0.40},   // the gain survives clear()
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.volume);
    int64_t played = 0;
    zel_test::Wav w = capture(r.volume, r.seconds, r.clear_first, &played);
    ASSERT_EQ(w.rate, 44100);
    ASSERT_EQ(w.channels, 2);
    EXPECT_EQ(played, static_cast<int64_t>(r.seconds * 44100));
    auto span = zel_test::tone_span(w, 0, 0.02);
    if (r.gain == 0) {
      EXPECT_LT(span.first, 0);
      continue;
    }
    ASSERT_GE(span.first, 0);
    EXPECT_NEAR(span.second - span.first, r.seconds * 44100, 882);  // one 20 ms chunk
    for (int ch : {0, 1}) {
      auto t = zel_test::measure_tone(w, ch, span.first + 882, span.second - 882, 440);
      EXPECT_NEAR(zel_test::db(t.amplitude / (0.125 * r.gain)), 0, 0.3) << ch;
      EXPECT_LT(t.rest_db, -40) << ch;
    }
  }
}
