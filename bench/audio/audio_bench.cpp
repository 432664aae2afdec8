// Driver latency: how far ahead of what is heard the sound has been handed to the output
// (queued-ahead), sampled every 2 ms over 1.5 s of a playing sine, as median and 99th
// percentile. Ours (the two drivers) beside the peers: the same libraries driven directly,
// with the same amount of sound kept queued (OpenAL: 7 buffers of 20 ms; SDL: SDL_QueueAudio
// topped up to one ring).
// Goals: OpenAL on its null output <= 160 ms; SDL's dummy output <= ring + one period.
#include <AL/al.h>
#include <AL/alc.h>
#include <SDL2/SDL.h>
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <thread>
#include <vector>

#include "audio/sine_stream.h"
#include "zel/audio/driver/openal/openal_driver.h"
#include "zel/audio/driver/sdl/sdl_audio_driver.h"

namespace {

constexpr int kRate = 44100;
constexpr auto kRun = std::chrono::milliseconds(1500);

// Samples f() (ms queued ahead) every 2 ms for kRun; sets median/p99 counters.
template <class F>
void sample(benchmark::State& state, F f, double limit_ms) {
  std::vector<double> v;
  const auto end = std::chrono::steady_clock::now() + kRun;
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // past the first fill
  while (std::chrono::steady_clock::now() < end) {
    v.push_back(f());
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  std::sort(v.begin(), v.end());
  state.counters["median_ms"] = v[v.size() / 2];
  state.counters["p99_ms"] = v[v.size() * 99 / 100];
  state.counters["limit_ms"] = limit_ms;
  if (v[v.size() * 99 / 100] > limit_ms) state.SkipWithError("queued-ahead above the limit");
}

zel::audio_source_desc stereo16() {
  zel::audio_source_desc d;
  d.channels = 2, d.samples_per_sec = kRate, d.bits_per_sample = 16;
  return d;
}

void BM_OpenALDriver(benchmark::State& state) {
  for (auto _ : state) {
    zel::openal::OpenALDriver drv;
    drv.init();
    zel_test::SineStream s(kRate, 2, 440, 0.1, 0);
    auto src = drv.create_source(stereo16());
    s.connect(src.get());
    s.play();
    sample(
        state, [&] { return (s.produced() * 1000.0 / kRate) - src->position() / 1e4; }, 160);
    s.connect(nullptr);
  }
}

void BM_OpenALPeer(benchmark::State& state) {
  for (auto _ : state) {
    ALCdevice* dev = alcOpenDevice(nullptr);
    ALCcontext* ctx = alcCreateContext(dev, nullptr);
    alcMakeContextCurrent(ctx);
    ALuint src, bufs[7];
    alGenSources(1, &src);
    alGenBuffers(7, bufs);
    zel_test::SineStream s(kRate, 2, 440, 0.1, 0);
    int64_t queued_frames = 0, played_frames = 0;
    auto fill = [&](ALuint b) {
      std::vector<int16_t> pcm(kRate / 50 * 2);
      uint64_t got = 0;
      s.read_data(pcm.data(), pcm.size() * 2, got);
      alBufferData(b, AL_FORMAT_STEREO16, pcm.data(), pcm.size() * 2, kRate);
      alSourceQueueBuffers(src, 1, &b);
      queued_frames += kRate / 50;
    };
    for (ALuint b : bufs) fill(b);
    alSourcePlay(src);
    std::atomic<bool> stop{false};
    std::mutex m;
    std::thread feeder([&] {
      while (!stop) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        std::lock_guard<std::mutex> lock(m);
        ALint done = 0;
        alGetSourcei(src, AL_BUFFERS_PROCESSED, &done);
        while (done-- > 0) {
          ALuint b;
          alSourceUnqueueBuffers(src, 1, &b);
          played_frames += kRate / 50;
          fill(b);
        }
        ALint st;
        alGetSourcei(src, AL_SOURCE_STATE, &st);
        if (st != AL_PLAYING) alSourcePlay(src);
      }
    });
    sample(
        state,
        [&] {
          std::lock_guard<std::mutex> lock(m);
          ALint off = 0;
          alGetSourcei(src, AL_SAMPLE_OFFSET, &off);
          return (queued_frames - played_frames - off) * 1000.0 / kRate;
        },
        160);
    stop = true;
    feeder.join();
    alSourceStop(src);
    alDeleteSources(1, &src);
    alDeleteBuffers(7, bufs);
    alcMakeContextCurrent(nullptr);
    alcDestroyContext(ctx);
    alcCloseDevice(dev);
  }
}

void BM_SDLDriver(benchmark::State& state) {
  for (auto _ : state) {
    zel::sdl::SDLAudioDriver drv;
    drv.init();
    zel_test::SineStream s(kRate, 2, 440, 0.1, 0);
    auto src = std::static_pointer_cast<zel::sdl::SDLRingSource>(drv.create_source(stereo16()));
    s.connect(src.get());
    s.play();
    const double limit =
        src->ring_bytes() / 4 * 1000.0 / kRate + src->period_frames() * 1000.0 / kRate;
    sample(
        state, [&] { return (s.produced() * 1000.0 / kRate) - src->position() / 1e4; }, limit);
    s.connect(nullptr);
  }
}

void BM_SDLPeer(benchmark::State& state) {
  for (auto _ : state) {
    SDL_InitSubSystem(SDL_INIT_AUDIO);
    SDL_AudioSpec want{}, have{};
    want.freq = kRate, want.format = AUDIO_S16SYS, want.channels = 2, want.samples = 512;
    SDL_AudioDeviceID dev = SDL_OpenAudioDevice(nullptr, 0, &want, &have, 0);
    zel_test::SineStream s(kRate, 2, 440, 0.1, 0);
    const Uint32 ring = zel::sdl::SDLAudioDriver::ring_bytes_for(stereo16());
    SDL_PauseAudioDevice(dev, 0);
    std::atomic<bool> stop{false};
    std::thread feeder([&] {
      while (!stop) {
        const Uint32 q = SDL_GetQueuedAudioSize(dev);
        if (q < ring) {
          std::vector<int16_t> pcm((ring - q) / 4 * 2);
          uint64_t got = 0;
          s.read_data(pcm.data(), pcm.size() * 2, got);
          SDL_QueueAudio(dev, pcm.data(), pcm.size() * 2);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
    });
    const double limit = ring / 4 * 1000.0 / kRate + have.samples * 1000.0 / kRate;
    sample(
        state, [&] { return SDL_GetQueuedAudioSize(dev) / 4 * 1000.0 / kRate; }, limit);
    stop = true;
    feeder.join();
    SDL_CloseAudioDevice(dev);
    SDL_QuitSubSystem(SDL_INIT_AUDIO);
  }
}

BENCHMARK(BM_OpenALDriver)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OpenALPeer)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SDLDriver)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SDLPeer)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  setenv("ALSOFT_DRIVERS", "null", 0);
  setenv("SDL_AUDIODRIVER", "dummy", 0);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
