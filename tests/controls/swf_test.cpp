// The Flash stand-in: SWF headers (plain, zlib, LZMA) read, cut and damaged; the version event
// through the host context; sizes, rates and properties of the player.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <tuple>

#include "controls/swf_build.h"
#include "qar/context.h"
#include "qar/stream.h"
#include "qar/string.h"
#include "qar/trace.h"
#include "zel/controls/flash_player.h"
#include "zel/controls/swf_header.h"

namespace {

using swf_build::movie;

bool read(const std::vector<uint8_t>& bytes, zel::swf_header& h, size_t n) {
  qar::MemoryStream s(bytes.data(), n);
  return zel::read_swf_header(s, h);
}

constexpr int32_t kMin31 = -(1 << 30), kMax31 = (1 << 30) - 1;

TEST(SwfHeader, ReadsSizeRateAndFramesCutAnywhereFails) {
  struct Row {
    movie m;
    int32_t w, h;
  } rows[] = {
      {{'F', 6, 15, 0, 11000, 0, 8000, 24 * 256, 10, {}}, 550, 400},
      {{'C', 10, 16, 2000, 4000, -1000, 1000, 0x0c80, 3, {}}, 100, 100},  // Xmin, Ymin not 0
      {{'Z', 13, 31, kMin31, kMax31, kMax31, kMin31, 0x0080, 65535, {}}, 8192, 1},  // extremes
      {{'F', 8, 0, 0, 0, 0, 0, 0, 7, {}}, 1, 1},  // no RECT bits, 0 fps
      {{'C', 9, 31, 0, 19, -39, 0, 0, 2, {}}, 1, 1},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(std::string(1, r.m.kind) + " nbits " + std::to_string(r.m.nbits));
    const auto bytes = swf_build::file(r.m);
    zel::swf_header h;
    ASSERT_TRUE(read(bytes, h, bytes.size()));
    EXPECT_EQ(
        std::make_tuple(h.version, h.x_min, h.x_max, h.y_min, h.y_max, h.fps_8_8),
        std::make_tuple(r.m.version, r.m.x_min, r.m.x_max, r.m.y_min, r.m.y_max, r.m.fps_8_8));
    EXPECT_EQ(std::make_tuple(h.width(), h.height(), int(h.frame_count)),
              std::make_tuple(r.w, r.h, int(r.m.frames)));
    // Every cut: false, or (compressed data whose trailer alone is missing) the same header.
    bool ok_before = false;
    for (size_t n = 0; n < bytes.size(); ++n) {
      zel::swf_header c;
      const bool ok = read(bytes, c, n);
      EXPECT_FALSE(ok && r.m.kind == 'F') << n;
      EXPECT_FALSE(ok_before && !ok) << n;
      if (ok) {
        EXPECT_EQ(c.x_max, h.x_max) << n;
      }
      ok_before = ok;
    }
  }
}

TEST(SwfHeader, RejectsUnknownAndDamagedHeaders) {
  auto good = swf_build::file({'Z', 10, 12, 0, 2000, 0, 2000, 256, 1, {0, 0}});
  std::vector<std::vector<uint8_t>> bad = {
      {'X', 'W', 'S', 10, 30, 0, 0, 0, 0x50, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
      {'F', 'W', 'X', 10, 30, 0, 0, 0, 0x50, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},
      {'C', 'W', 'S', 10, 30, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12},  // not zlib
      {'F', 'W', 'S', 10, 9, 0, 0, 0, 0x50, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},  // length field short
  };
  auto lzma_props_bad = good;
  lzma_props_bad[12] = 0xff;  // lc/lp/pb out of range
  bad.push_back(lzma_props_bad);
  for (const auto& b : bad) {
    zel::swf_header h;
    std::string why;
    qar::MemoryStream s(b.data(), b.size());
    EXPECT_FALSE(zel::read_swf_header(s, h, &why)) << b[0];
    EXPECT_FALSE(why.empty());
  }
}

struct Events {
  std::vector<std::pair<std::string, std::vector<std::string>>> got;
  static void on(void* user, const std::string& name, const std::vector<std::string>& args) {
    static_cast<Events*>(user)->got.emplace_back(name, args);
  }
};

TEST(FlashPlayer, LoadSendsVersionEventAndTakesTheHeader) {
  Events ev;
  const uint32_t id = qarContext::instance().add_event_listener(&ev, &Events::on);
  auto fp = zel::create_flashplayer();
  EXPECT_EQ(fp->flash_version(), 0);
  std::string traced;
  qar::set_trace_sink([&](const std::string& t) { traced += t; });
  EXPECT_FALSE(fp->load_movie(0, std::make_shared<qar::MemoryStream>("CWS", 3)));
  qar::set_trace_sink({});
  EXPECT_NE(traced.find("too short"), std::string::npos) << traced;
  EXPECT_EQ(fp->get_ready_state(), 0);
  EXPECT_TRUE(ev.got.empty());

  // By a file URL with an escaped blank.
  const std::string path = std::string(ZEL_TEST_BINARY_DIR) + "/flash movie.swf";
  const auto bytes = swf_build::file({'C', 11, 15, 0, 6400, 0, 4800, 0x0c00, 48, {0, 0}});
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
  const std::u16string url = u"file://" + qar::to_u16(ZEL_TEST_BINARY_DIR) + u"/flash%20movie.swf";
  ASSERT_TRUE(fp->load_movie(0, url));
  ASSERT_EQ(ev.got.size(), 1u);
  EXPECT_EQ(ev.got[0].first, "not_the_true_version_flash");
  EXPECT_EQ(ev.got[0].second, (std::vector<std::string>{"0", "11"}));
  EXPECT_EQ(fp->get_movie(), url);
  EXPECT_EQ(fp->get_native_size(), std::make_pair(320, 240));
  EXPECT_EQ(fp->get_size(), std::make_pair(320, 240));
  EXPECT_DOUBLE_EQ(fp->get_fps(), 12.0);
  EXPECT_EQ(fp->get_total_frames(), 48);
  EXPECT_EQ(fp->get_duration(), 4000);
  EXPECT_EQ(fp->get_ready_state(), 4);

  // Frames: halted moves, seeks by time, clamped ends.
  fp->goto_frame(30);
  fp->back();
  EXPECT_EQ(fp->current_frame(), 29);
  fp->set_position(2500);
  EXPECT_EQ(fp->current_frame(), 30);
  EXPECT_EQ(fp->get_position(), 2500);
  fp->put_frame_num(1000);
  EXPECT_EQ(fp->get_frame_num(), 47);
  fp->rewind();
  EXPECT_EQ(fp->current_frame(), 0);

  // Properties with a range are clamped to it.
  fp->put_quality(9);
  fp->put_scale_mode(-2);
  fp->put_align_mode(0x35);
  fp->put_background_color(0x12345678);
  EXPECT_EQ(std::make_tuple(fp->get_quality(), fp->get_scale_mode(), fp->get_align_mode(),
                            fp->get_background_color()),
            std::make_tuple(5, 0, 5, 0x345678));

  // A 0 fps movie never divides by zero and never moves.
  ASSERT_TRUE(fp->load_movie(0, std::make_shared<qar::MemoryStream>(
                                    swf_build::file({'F', 7, 8, 0, 100, 0, 100, 0, 5, {}}))));
  fp->play();
  fp->set_position(1000);
  EXPECT_EQ(fp->current_frame(), 0);
  EXPECT_EQ(fp->get_duration(), -1);
  EXPECT_EQ(fp->get_size(), std::make_pair(320, 240));  // the facet keeps its size
  EXPECT_EQ(ev.got.back().second, (std::vector<std::string>{"0", "7"}));

  qarContext::instance().remove_event_listener(id);
  ASSERT_TRUE(fp->load_movie(1, std::make_shared<qar::MemoryStream>(bytes)));
  EXPECT_EQ(ev.got.size(), 2u);
  EXPECT_EQ(fp->get_total_frames(), 5);  // a higher level leaves the shown movie
  std::remove(path.c_str());
}

}  // namespace
