// What a driver plays, as its output captured it: OpenAL Soft's wave backend (a WAV file) or
// SDL's disk output (raw), both 16-bit. Built once per driver (CAPTURE_DRIVER, CAPTURE_FILE).
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "audio/sine_stream.h"
#include "audio/wav_analysis.h"
#include "zel/audio/audio_driver.h"

TEST(Capture, ToneSpanLevelAndNothingElse) {
  const bool openal = std::string(CAPTURE_DRIVER) == "OpenAL";
  struct Row {
    int rate;
    double seconds;
    int16_t volume;
    double right_gain;
    uint64_t max_read;
    bool clear_first;
    double gain;
    bool both;  // else the ring driver only
    int channels = 2;
  } rows[] = {
      {44100, 2.0, 75, 1.0, 0, false, 0.75, true},      // the reference
      {44100, 0.5, 150, 1.0, 0, false, 1.0, true},      // clamped to 100, played at 100
      {44100, 0.5, -3, 1.0, 0, false, 0.0, true},       // clamped to 0: silence
      {44100, 0.5, 40, 1.0, 0, true, 0.4, true},        // the gain survives clear()
      {11025, 1.0, 100, 0.5, 0, false, 1.0, false},     // 2,315-frame ring, 110-frame steps
      {44100, 0.5, 100, 1.0, 1001, false, 1.0, false},  // reads split inside frames
      {44100, 0.5, 100, 1.0, 0, false, 1.0, true, 1},   // mono at its level on both sides
  };
  for (const Row& r : rows) {
    if (!r.both && openal) continue;
    if (r.channels == 1 && !openal) continue;  // the ring driver's output has the source's channels
    SCOPED_TRACE(testing::Message() << r.rate << " Hz, volume " << r.volume);
    zel_test::SineStream s(r.rate, r.channels, 440, 0.125, r.seconds, r.right_gain, r.max_read);
    {
      std::shared_ptr<zel::AudioDriver> drv = zel::AudioDriver::create_driver(u"" CAPTURE_DRIVER);
      ASSERT_TRUE(drv->init());
      auto src = drv->create_source({r.channels, r.rate, 16, 0, 0});
      s.connect(src.get());
      src->set_volume(r.volume);
      if (r.clear_first) src->clear();
      ASSERT_TRUE(s.play());
      const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
      while (s.samples_played() < r.seconds * r.rate && std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        src->position();
      }
      EXPECT_EQ(s.samples_played(), static_cast<int64_t>(r.seconds * r.rate));  // the clock
      std::this_thread::sleep_for(std::chrono::milliseconds(100));  // the output's own latency
      s.connect(nullptr);
      zel::AudioDriver::create_driver(u"");
    }
    auto pcm = zel_test::read_pcm(CAPTURE_FILE, openal ? 44100 : r.rate, 2, openal);
    auto span = zel_test::tone_span(pcm, 0, 0.02);
    if (r.gain == 0) {
      EXPECT_LT(span.first, 0);
      continue;
    }
    ASSERT_GE(span.first, 0);
    const int chunk = r.rate / 50;
    EXPECT_NEAR(span.second - span.first, r.seconds * r.rate, chunk);
    for (int ch : {0, 1}) {
      auto t = zel_test::measure_tone(pcm, ch, span.first + chunk, span.second - chunk, 440);
      EXPECT_NEAR(zel_test::db(t.amplitude / (0.125 * r.gain * (ch ? r.right_gain : 1))), 0, 0.3)
          << "channel " << ch;
      EXPECT_LT(t.rest_db, -40) << "channel " << ch;
    }
  }
}
