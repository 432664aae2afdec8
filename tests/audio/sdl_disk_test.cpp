// What the "DirectSound8" driver plays, captured by SDL's disk output (raw PCM).
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "audio/sine_stream.h"
#include "audio/wav_analysis.h"
#include "zel/audio/driver/sdl/sdl_audio_driver.h"

TEST(SDLDisk, ToneSpanLevelWrapAndOddReads) {
  struct Row {
    int rate;
    double seconds;
    int16_t volume;
    double right_gain;
    uint64_t max_read;
    bool clear_first;
    double gain;
  } rows[] = {
      {44100, 2.0, 75, 1.0, 0, false, 0.75},     // the reference: span, level, nothing else
      {11025, 1.0, 100, 0.5, 0, false, 1.0},     // 2,315-frame ring, 110-frame steps: wraps
      {44100, 0.5, 100, 1.0, 1001, false, 1.0},  // reads split inside frames
      {44100, 0.5, 40, 1.0, 0, true, 0.4},       // the volume survives clear()
  };
  const std::string path = ZEL_TEST_BINARY_DIR "/sdl_disk_capture.raw";
  for (const Row& r : rows) {
    SCOPED_TRACE(r.rate);
    {
      zel::sdl::SDLAudioDriver drv;
      ASSERT_TRUE(drv.init());
      zel_test::SineStream s(r.rate, 2, 440, 0.125, r.seconds, r.right_gain, r.max_read);
      zel::audio_source_desc d;
      d.channels = 2, d.samples_per_sec = r.rate, d.bits_per_sample = 16;
      auto src = drv.create_source(d);
      s.connect(src.get());
      src->set_volume(r.volume);
      if (r.clear_first) src->clear();
      ASSERT_TRUE(s.play());
      const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
      while (s.samples_played() < static_cast<int64_t>(r.seconds * r.rate) &&
             std::chrono::steady_clock::now() < end) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        src->position();
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      s.connect(nullptr);
    }
    std::ifstream f(path, std::ios::binary);
    std::vector<char> b((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    zel_test::Wav w;
    w.rate = r.rate, w.channels = 2;
    w.samples.resize(b.size() / 2);
    std::memcpy(w.samples.data(), b.data(), w.samples.size() * 2);
    auto span = zel_test::tone_span(w, 0, 0.02);
    ASSERT_GE(span.first, 0);
    EXPECT_NEAR(span.second - span.first, r.seconds * r.rate, r.rate / 50.0);  // one chunk
    for (int ch : {0, 1}) {
      const double expect = 0.125 * r.gain * (ch ? r.right_gain : 1.0);
      auto t =
          zel_test::measure_tone(w, ch, span.first + r.rate / 50, span.second - r.rate / 50, 440);
      EXPECT_NEAR(zel_test::db(t.amplitude / expect), 0, 0.3) << ch;
      EXPECT_LT(t.rest_db, -40) << ch;
    }
  }
}
