// Both drivers under churn: sources made, connected, played, cleared and destroyed while
// another thread works their controls; streams and drivers going first.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "audio/sine_stream.h"
#include "zel/audio/driver/openal/openal_driver.h"
#include "zel/audio/driver/sdl/sdl_audio_driver.h"

namespace {

template <class Driver>
void churn(int rounds) {
  const zel::audio_source_desc d{2, 22050, 16};
  for (int i = 0; i < rounds; ++i) {
    auto drv = std::make_shared<Driver>();
    ASSERT_TRUE(drv->init());
    auto stream = std::make_unique<zel_test::SineStream>(22050, 2, 440, 0.1, 0);
    std::shared_ptr<zel::AudioSource> src = drv->create_source(d);
    stream->connect(src.get());
    std::atomic<bool> done{false};
    std::thread controls([&] {
      while (!done) {
        src->position();
        src->set_volume(static_cast<int16_t>(i % 120));
        std::this_thread::yield();
      }
    });
    stream->play();
    std::this_thread::sleep_for(std::chrono::milliseconds(15));
    src->clear();
    stream->pause();
    stream->play();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    done = true;
    controls.join();
    // Turn by turn the stream goes first (and detaches itself), the source, or the driver (the
    // source is stopped, then goes with the stream).
    if (i % 3 == 1) src.reset();
    if (i % 3 == 2) drv.reset();
    stream.reset();
    src.reset();
  }
}

}  // namespace

TEST(AudioStress, OpenALChurn) {
  churn<zel::openal::OpenALDriver>(30);
}
TEST(AudioStress, SDLChurn) {
  churn<zel::sdl::SDLAudioDriver>(30);
}
