// The OpenAL driver on OpenAL Soft's null output and in loopback mode.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "audio/sine_stream.h"
#include "audio/wav_analysis.h"
#include "qar/thread.h"
#include "zel/audio/driver/openal/openal_driver.h"

using zel::openal::OpenALDriver;
using zel::openal::OpenALSource;
using zel_test::SineStream;

namespace {

zel::audio_source_desc desc_of(const SineStream& s) {
  zel::audio_source_desc d;
  d.channels = s.get_format()->channels;
  d.samples_per_sec = s.get_format()->samples_per_sec;
  d.bits_per_sample = s.get_format()->bits_per_sample;
  return d;
}

std::shared_ptr<OpenALSource> make(OpenALDriver& drv, SineStream& s) {
  auto src = std::static_pointer_cast<OpenALSource>(drv.create_source(desc_of(s)));
  s.connect(src.get());
  return src;
}

template <class F>
bool wait_until(F f, int ms) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!f()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

}  // namespace

TEST(OpenAL, RefusesWhatItCannotPlay) {
  OpenALDriver drv;
  ASSERT_TRUE(drv.init());
  struct {
    int ch, rate, bits;
  } bad[] = {{2, 44100, 24}, {6, 44100, 16}, {2, 0, 16}, {0, 8000, 8}};
  for (auto b : bad) {
    zel::audio_source_desc d;
    d.channels = b.ch, d.samples_per_sec = b.rate, d.bits_per_sample = b.bits;
    EXPECT_THROW(drv.create_source(d), std::runtime_error)
        << b.ch << " " << b.rate << " " << b.bits;
  }
}

// The clock counts exactly the frames played; chunks carry their stream times, so the
// position after clear() is the time of the chunk queued next.
TEST(OpenAL, ClockPositionAndClear) {
  OpenALDriver drv;
  ASSERT_TRUE(drv.init());
  SineStream s(44100, 2, 440, 0.125, 0.5);
  auto src = make(drv, s);
  ASSERT_TRUE(s.play());
  ASSERT_TRUE(wait_until([&] { return s.samples_played() == 22050; }, 3000)) << s.samples_played();
  EXPECT_EQ(s.tell(), 5000000);

  src->clear();
  EXPECT_EQ(src->free_buffers(), OpenALSource::buffer_count);
  std::vector<int16_t> chunk(17640 / 2);
  ASSERT_TRUE(src->queue(chunk.data(), 17640, 5.0));
  EXPECT_NEAR(src->position() / 1e7, 5.0, 0.1);
  src->drain();  // one chunk of 17,640 bytes: 0.1 s
  EXPECT_EQ(src->free_buffers(), OpenALSource::buffer_count);
}

TEST(OpenAL, VolumeClampsAndDrainWhilePaused) {
  OpenALDriver drv;
  ASSERT_TRUE(drv.init());
  SineStream s(44100, 2, 440, 0.125, 2.0);
  auto src = make(drv, s);
  struct {
    int16_t in, stored;
  } rows[] = {{150, 100}, {-3, 0}, {75, 75}};
  for (auto r : rows) {
    src->set_volume(r.in);
    EXPECT_EQ(src->get_volume(), r.stored);
  }
  drv.set_volume(250);
  EXPECT_EQ(drv.get_volume(), 100);

  ASSERT_TRUE(s.play());
  ASSERT_TRUE(wait_until([&] { return src->free_buffers() == 0; }, 2000));
  s.pause();
  const auto t0 = std::chrono::steady_clock::now();
  src->drain();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(50));
}

// Offline: nothing runs on its own; pump() and render_loopback() move the sound.
TEST(OpenAL, LoopbackRendersOnDemand) {
  OpenALDriver drv;
  ASSERT_TRUE(drv.init_loopback(44100, 2));
  SineStream s(44100, 2, 440, 0.125, 1.0, 0.5);
  auto src = make(drv, s);
  src->set_volume(75);
  ASSERT_TRUE(s.play());
  EXPECT_FALSE(qar::get_ThreadOfControlMng().get("OpenAL updater thread"));
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_EQ(s.samples_played(), 0);  // not a frame without render

  zel_test::Wav w;
  w.rate = 44100, w.channels = 2;
  std::vector<int16_t> block(441 * 2);
  for (int i = 0; i < 150; ++i) {
    drv.pump();
    ASSERT_TRUE(drv.render_loopback(block.data(), 441));
    w.samples.insert(w.samples.end(), block.begin(), block.end());
  }
  drv.pump();
  EXPECT_EQ(s.samples_played(), 44100);
  auto span = zel_test::tone_span(w, 0, 0.01);
  ASSERT_GE(span.first, 0);
  EXPECT_NEAR(span.second - span.first, 44100, 882);
  for (int ch : {0, 1}) {
    auto t = zel_test::measure_tone(w, ch, span.first + 441, span.second - 441, 440);
    EXPECT_NEAR(zel_test::db(t.amplitude / (0.125 * 0.75 * (ch ? 0.5 : 1))), 0, 0.3) << ch;
    EXPECT_LT(t.rest_db, -40) << ch;
  }
}
