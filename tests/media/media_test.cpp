// The FFmpeg media stream: its reader over host streams, routing, exact seeks on three
// containers, sound after seeks, the end of data, and damaged files.
extern "C" {
#include <libavformat/avio.h>
#include <libavutil/error.h>
}
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <random>
#include <thread>

#include "media/media_util.h"
#include "qar/stream.h"
#include "scene/scene_util.h"
#include "soft_screen.h"
#include "thread_guard.h"
#include "zel/context.h"
#include "zel/il/bitmap_image.h"
#include "zel/media/ffmpeg/ffmpeg_stream.h"
#include "zel/media/ffmpeg/stream_reader.h"
#include "zel/media/playables.h"

using namespace media_test;
using scene_test::near_rgb;
using scene_test::wait_for;
using zel::ffmpeg::FFmpegStream;
using zel::ffmpeg::StreamReader;

namespace {

// A memory stream whose reads can fail and whose length can be unknown.
class TestStream : public qar::MemoryStream {
 public:
  TestStream(std::vector<uint8_t> d, bool known = true, bool fails = false)
      : qar::MemoryStream(std::move(d)), known_(known), fails_(fails) {}
  int64_t read(void* b, int64_t n) override { return fails_ ? -1 : MemoryStream::read(b, n); }
  int64_t length() const override { return known_ ? MemoryStream::length() : -1; }

 private:
  bool known_, fails_;
};

std::vector<uint8_t> bytes(const std::string& s) {
  return std::vector<uint8_t>(s.begin(), s.end());
}

// A software device's texture manager serves the video sources.
struct Screen {
  Screen() : dev(std::make_shared<zel::test::SoftScreen>(64, 48)) {
    zel::zelContext::instance().device = dev;
    zel::zelContext::instance().texture_manager = dev->texture_manager();
  }
  ~Screen() { zel::zelContext::uninit(); }
  std::shared_ptr<zel::test::SoftScreen> dev;
};

std::shared_ptr<FFmpegStream> open_file(const std::string& path) {
  auto s = zel::MultiMediaStream::create(qar::FileStream::open(path));
  return std::dynamic_pointer_cast<FFmpegStream>(s);
}

// 0xRRGGBB at the centre of a texture (of the video's, after its frame pull).
uint32_t centre(std::shared_ptr<zel::Texture> t) {
  if (!t) return 0xFFFFFFFF;
  auto img = t->read_back(t->real_width() / 2, t->real_height() / 2, 1, 1);
  const uint8_t* p = img->pixmap(0);
  return uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0];
}
uint32_t centre(zel::Video& v) {
  return centre(v.get_texture());
}

const std::string kRiffAvi("RIFF\x10\0\0\0AVI LIST\0\0\0\0", 20);
const std::string kRiffWave("RIFF\x10\0\0\0WAVEfmt \0\0\0\0", 20);

}  // namespace

TEST(MediaReader, SniffReadAndSeekTable) {
  using R = StreamReader;
  struct Case {
    const char* what;
    std::shared_ptr<qar::Stream> s;
    int64_t start;
    std::function<int64_t(R&)> op;
    int64_t want;
  };
  auto mem = [](std::string d, bool known = true, bool fails = false) {
    return std::make_shared<TestStream>(bytes(d), known, fails);
  };
  auto sniff = [](R& r) { return int64_t(r.sniff()); };
  auto read8 = [](R& r) {
    uint8_t b[8];
    return int64_t(r.read(b, 8));
  };
  const std::string hundred(100, 'x');
  const Case cases[] = {
      {"avi", mem(kRiffAvi), 0, sniff, 1},
      {"wave", mem(kRiffWave), 0, sniff, 2},
      {"other riff", mem(std::string("RIFF\x10\0\0\0CDXA\0\0\0\0\0\0\0\0", 20)), 0, sniff, 0},
      {"short riff probes", mem(std::string("RIFF\0\0\0\0AVI ", 12)), 0, sniff, 0},
      {"position restored", mem(hundred), 7, sniff, 0},
      {"short stream restored", mem("RIFFxx"), 2, sniff, 0},
      {"read error", mem(hundred, true, true), 0, read8, AVERROR(EIO)},
      {"read at the end", mem(hundred), 100, read8, AVERROR_EOF},
      {"seek -1", mem(hundred), 0, [](R& r) { return r.seek(-1, SEEK_SET); }, AVERROR(EINVAL)},
      {"seek size + 1", mem(hundred), 0, [](R& r) { return r.seek(101, SEEK_SET); },
       AVERROR(EINVAL)},
      {"seek size, then read", mem(hundred), 0,
       [&](R& r) { return r.seek(100, SEEK_SET) == 100 ? read8(r) : -2; }, AVERROR_EOF},
      {"seek from the end", mem(hundred), 50, [](R& r) { return r.seek(-10, SEEK_END); }, 90},
      {"seek relative", mem(hundred), 0, [&](R& r) { return read8(r), r.seek(-5, SEEK_CUR); }, 3},
      {"unknown length: size", mem(hundred, false), 0, [](R& r) { return r.seek(0, AVSEEK_SIZE); },
       AVERROR(ENOSYS)},
      {"unknown length: from the end", mem(hundred, false), 0,
       [](R& r) { return r.seek(-1, SEEK_END); }, AVERROR(ENOSYS)},
      {"unknown length: forward", mem(hundred, false), 0,
       [&](R& r) { return r.seek(96, SEEK_SET) == 96 ? read8(r) : -2; }, 4},
  };
  for (const Case& c : cases) {
    c.s->seek(c.start, 0);
    R r(c.s);
    EXPECT_EQ(c.op(r), c.want) << c.what;
    if (std::string(c.what).find("restored") != std::string::npos) {
      EXPECT_EQ(c.s->position(), c.start) << c.what;
    }
  }
}

TEST(MediaStream, RoutesByTheFirstBytesAndDeclinesWhatItCannotPlay) {
  const std::string avi = clip("route.avi", colour_source(0.2) + " -c:v mjpeg");
  const std::string wav = clip("route.wav", "-f lavfi -i sine=d=0.2 -c:a pcm_s16le");
  const std::string mpg = clip("route.mpg", colour_source(0.2) + " -c:v mpeg1video -f mpeg");
  ASSERT_FALSE(avi.empty() || wav.empty() || mpg.empty());
  const struct {
    std::string path;
    std::vector<std::string> names;
  } cases[] = {
      {avi, {"Source Filter", "zel desires this AVI Splitter", "Null Render 1"}},
      {wav, {"Source Filter", "zel desires this Wave Parser", "Null Render 2"}},
      {mpg, {"Source Filter", "zel desires this MPEG-I Stream Splitter", "Null Render 1"}},
  };
  for (const auto& c : cases) {
    auto s = open_file(c.path);
    ASSERT_TRUE(s) << c.path;
    EXPECT_EQ(s->filter_names(), c.names) << c.path;
  }
  // Nothing playable: the creator declines (a RIFF AVI header over nothing, noise, nothing).
  for (std::string junk :
       {kRiffAvi + std::string(4000, '\0'), std::string(4000, 'z'), std::string()})
    EXPECT_FALSE(zel::MultiMediaStream::create(std::make_shared<TestStream>(bytes(junk))));
}

class ExactSeek : public ::testing::TestWithParam<const char*> {};

TEST_P(ExactSeek, PausedSeeksShowTheFrameAndCountIt) {
  Screen screen;
  const std::string codec = GetParam();
  const std::string ext = codec == "mjpeg" ? "avi" : codec == "mpeg2video" ? "mpg" : "mp4";
  const std::string path =
      clip("seek-" + codec + "." + ext, colour_source() + " -c:v " + codec + " -g 12 -q:v 2" +
                                            (ext == "mpg" ? " -f mpeg" : " -pix_fmt yuv420p"));
  auto s = open_file(path);
  ASSERT_TRUE(s);
  auto video = s->get_video().front();
  EXPECT_EQ(s->size_frames(), 25);
  EXPECT_TRUE(near_rgb(centre(*video), colour(0), 8)) << std::hex << centre(*video);
  const int ks[] = {0, 1, 11, 12, 13, 24};
  for (int k : ks) {
    EXPECT_EQ(s->seek_frames(k, 0), k);
    EXPECT_EQ(s->tell_frames(), k);
    EXPECT_TRUE(near_rgb(centre(*video), colour(k), 8))
        << "frame " << k << std::hex << " got " << centre(*video);
  }
  for (auto k = std::rbegin(ks); k != std::rend(ks); ++k) {
    s->seek_ms(*k * 40, 0);
    EXPECT_EQ(s->tell_frames(), *k);
    EXPECT_TRUE(near_rgb(centre(*video), colour(*k), 8)) << "ms of frame " << *k;
  }
  // From the end (size + offset), clamped targets, and no overflow of huge milliseconds.
  s->seek(-400000, 2);
  EXPECT_EQ(s->tell_frames(), 24);
  s->seek_frames(3, 0);
  s->seek(-1000000000, 1);
  EXPECT_EQ(s->tell(), 0);
  EXPECT_TRUE(near_rgb(centre(*video), colour(0), 8));
  s->seek_ms(INT64_MAX, 0);
  EXPECT_EQ(s->tell(), s->size());
  EXPECT_TRUE(near_rgb(centre(*video), colour(24), 8));
  // Pictures scaled to the rectangle asked for; -1 is the video's own size again.
  for (auto size : {std::make_pair(32, 24), std::make_pair(-1, -1)}) {
    s->set_rect(size.first, size.second);
    auto t = video->get_texture();
    EXPECT_EQ(t->real_width(), size.first < 0 ? 64 : size.first);
    EXPECT_TRUE(near_rgb(centre(*video), colour(24), 8));
  }
  // The frame updates leave a disabled video's picture alone.
  auto tex = video->get_texture();
  s->disable_video(true);
  s->seek_frames(0, 0);
  s->update(0);
  EXPECT_TRUE(near_rgb(centre(tex), colour(24), 8));
  s->disable_video(false);
  s->update(0);
  EXPECT_TRUE(near_rgb(centre(tex), colour(0), 8));
}

INSTANTIATE_TEST_SUITE_P(Containers, ExactSeek,
                         ::testing::Values("libx264", "mjpeg", "mpeg2video"));

TEST(MediaStream, SoundAfterASeekStartsAtTheTarget) {
  // Without an audio driver: the substream is there, nobody pulls, the test reads it. Each
  // sample holds its own time: value = t * 32000 (t in seconds).
  const std::string wav =
      clip("ramp.wav", "-f lavfi -i aevalsrc=t*32000/32768:s=8000:d=1 -c:a pcm_s16le");
  auto s = open_file(wav);
  ASSERT_TRUE(s);
  auto audio = s->get_audio().front()->stream();
  ASSERT_EQ(audio->get_format()->channels, 1);
  void* data = nullptr;
  int32_t n = -2;
  double start = -1;
  auto pop = [&] {
    wait_for([&] { return n = -2, audio->pop_chunk(&data, &n, &start), n != -2; });
  };
  pop();
  ASSERT_GT(n, 0);
  EXPECT_EQ(static_cast<int16_t*>(data)[n / 2 - 1], 0) << "the first chunk is silence";
  std::free(data);
  for (int ms : {500, 250, 900, 990}) {
    s->seek_ms(ms, 0);
    pop();
    ASSERT_GT(n, 0) << ms;
    EXPECT_LE(n, 8000 / 50 * 2) << "chunks of at most 20 ms";
    EXPECT_NEAR(start, ms / 1000.0, 1e-3);
    EXPECT_NEAR(static_cast<int16_t*>(data)[0], ms * 32, 2) << "no sound from before the seek";
    std::free(data);
  }
  // What read_data leaves of a chunk, pop_chunk hands over.
  s->seek_ms(100, 0);
  uint8_t six[6];
  uint64_t got = 0;
  ASSERT_TRUE(wait_for([&] { return audio->read_data(six, 6, got) == 0; }));
  audio->pop_chunk(&data, &n, &start);
  EXPECT_EQ(n, 8000 / 50 * 2 - 6);
  EXPECT_NEAR(start, 0.1 + 3 / 8000.0, 1e-4);
  std::free(data);
  // The samples the output reports played are mapped back to the time of what it was given.
  audio->delta_samples(200);
  EXPECT_EQ(audio->tell(), 1000000 + 250000);
  // At the end: the rest, then -1.
  s->seek_ms(990, 0);
  std::vector<uint8_t> buf(4000);
  EXPECT_TRUE(wait_for([&] { return audio->read_data(buf.data(), buf.size(), got) == -1; }));
}

TEST(MediaStream, SoundBecomesSixteenBitsAtMostTwoChannels) {
  const std::string wav =
      clip("surround.wav", "-f lavfi -i \"sine=d=0.2,aformat=channel_layouts=5.1\" -c:a pcm_f32le");
  auto s = open_file(wav);
  ASSERT_TRUE(s);
  const zel::audio_format* f = s->get_audio().front()->get_format();
  EXPECT_EQ(std::make_tuple(f->channels, f->bits_per_sample, f->samples_per_sec),
            std::make_tuple(2, 16, 44100));
  // A picture wider than any texture is not played; with nothing else the file is declined.
  const std::string wide = clip("wide.avi", "-f lavfi -i color=s=8200x8:d=0.1 -c:v mjpeg");
  EXPECT_FALSE(open_file(wide));
}

TEST(MediaStream, TheEndPausesOrLoops) {
  Screen screen;
  const std::string path = clip("short.mp4", colour_source(0.4) + " -c:v libx264 -pix_fmt yuv420p");
  for (bool loop : {false, true}) {
    auto s = open_file(path);
    ASSERT_TRUE(s);
    s->set_loop(loop);
    ASSERT_TRUE(s->play());
    int64_t high = 0, wraps = 0;
    for (int i = 0; i < 200 && !s->is_eos(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      const int64_t t = s->tell();
      wraps += t + 1000000 < high;
      high = std::max(high, t);
      if (wraps) break;
    }
    EXPECT_EQ(s->is_eos(), !loop);
    EXPECT_EQ(s->is_play(), loop);
    EXPECT_EQ(wraps > 0, loop);
    EXPECT_TRUE(loop || s->tell() == s->size());
  }
}

TEST(MediaStream, DamagedFilesOpenPlaySeekAndCloseInTime) {
  const std::string mp4 = clip("damage.mp4", colour_source(0.5) + " -c:v libx264 -g 12");
  const std::string avi =
      clip("damage.avi", colour_source(0.5) + " -f lavfi -i sine=d=0.5 -c:v mjpeg -c:a pcm_s16le");
  const std::string wav = clip("damage.wav", "-f lavfi -i sine=d=0.5 -c:a pcm_s16le");
  std::vector<std::pair<std::string, std::vector<uint8_t>>> cases;
  for (const std::string& p : {mp4, avi, wav}) {
    const std::vector<uint8_t> d = slurp(p);
    ASSERT_GT(d.size(), 1000u) << p;
    cases.push_back({p + " cut in half", {d.begin(), d.begin() + d.size() / 2}});
    cases.push_back({p + " cut at 300", {d.begin(), d.begin() + 300}});
    for (unsigned seed : {1u, 2u, 3u}) {
      std::vector<uint8_t> f = d;
      std::mt19937 rng(seed);
      for (size_t i = 0; i < f.size() / 100; ++i) f[rng() % f.size()] ^= uint8_t(1 + rng() % 255);
      cases.push_back({p + " flipped, seed " + std::to_string(seed), f});
    }
    if (p != mp4) {  // RIFF sizes and the first list's size far beyond the data
      std::vector<uint8_t> f = d;
      for (size_t at : {4u, 16u, 28u}) f[at] = f[at + 1] = f[at + 2] = 0xFF, f[at + 3] = 0x7F;
      cases.push_back({p + " size bomb", f});
    }
  }
  cases.push_back({"empty", {}});
  Screen screen;
  for (auto& c : cases) {
    zel_test::Threads threads;
    auto data = std::make_shared<std::vector<uint8_t>>(c.second);
    auto done = threads.run([data] {
      auto s = std::dynamic_pointer_cast<FFmpegStream>(
          zel::MultiMediaStream::create(std::make_shared<TestStream>(*data)));
      if (!s) return;
      s->play();
      std::this_thread::sleep_for(std::chrono::milliseconds(30));
      s->seek_ms(300, 0);
      s->pause();
      s->seek_frames(3, 0);
      s->play();
      s->seek(0, 2);
    });
    EXPECT_TRUE(zel_test::ready(done, std::chrono::seconds(5))) << c.first;
  }
}
