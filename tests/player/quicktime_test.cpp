// The QuickTime stand-in over the engine's player: length, seeks, picture size and volume of a
// clip made by ffmpeg; the VR view's ranges.
#include <gtest/gtest.h>

#include <cmath>

#include "media/media_util.h"
#include "qar/stream.h"
#include "qar/string.h"
#include "zel/context.h"
#include "zel/controls/quicktime_player.h"
#include "zel/facet.h"

using namespace media_test;

namespace {

TEST(QuickTime, LengthSeekSizeAndVolumeOfAClip) {
  zel::zelContext::instance();
  const fs::path f = fresh_dir("quicktime") / "two seconds.mkv";
  ASSERT_TRUE(sh(std::string("ffmpeg ") + kExact +
                 " -f lavfi -i color=c=blue:s=96x64:r=25:d=2 -f lavfi -i sine=r=48000:d=2"
                 " -c:v mpeg4 -c:a pcm_s16le '" +
                 f.string() + "'"));
  auto qt = zel::create_quicktime_player();
  EXPECT_FALSE(qt->open_movie(std::make_shared<qar::MemoryStream>("not a movie", 11)));
  EXPECT_EQ(qt->duration(), 0.0);
  EXPECT_EQ(qt->get_facet(), nullptr);

  // A file URL with an escaped blank.
  std::u16string url = u"file://" + qar::to_u16(f.parent_path().string()) + u"/two%20seconds.mkv";
  ASSERT_TRUE(qt->open_movie(url));
  EXPECT_NEAR(qt->duration(), 2.0, 0.05);
  EXPECT_EQ(qt->get_native_size(), std::make_pair(96, 64));
  ASSERT_NE(qt->get_facet(), nullptr);
  EXPECT_EQ(qt->get_facet()->get_size(), std::make_pair(96, 64));

  for (auto [to, expect] : {std::pair{1.0f, 1.0}, {0.52f, 0.52}, {-3.0f, 0.0}, {99.0f, 2.0}}) {
    qt->position(to);
    EXPECT_NEAR(qt->position(), expect, 0.05) << to;
  }
  qt->position(1.5f);
  qt->stop();
  EXPECT_NEAR(qt->position(), 0.0, 0.001);

  for (auto [set, expect] :
       {std::pair{0.5f, 0.5f}, {2.0f, 1.0f}, {-1.0f, 0.0f}, {0.254f, 0.25f}, {NAN, 0.25f}}) {
    qt->volume(set);
    EXPECT_FLOAT_EQ(qt->volume(), expect) << set;
  }
  qt->close_movie();
  EXPECT_EQ(qt->position(), -1.0);
  EXPECT_EQ(qt->get_native_size(), std::make_pair(0, 0));
  zel::zelContext::uninit();
}

TEST(QuickTime, VrViewIsKeptInRange) {
  auto qt = zel::create_quicktime_player();
  struct Row {
    double pan, tilt, fov;
    double want_pan, want_tilt, want_fov;
  } rows[] = {{30, 10, 60, 30, 10, 60},
              {-90, -120, 0, 270, -90, 1},
              {725, 91, 500, 5, 90, 179},
              {NAN, NAN, NAN, 5, 90, 179}};
  for (const Row& r : rows) {
    qt->pan_angle(r.pan);
    qt->tilt_angle(r.tilt);
    qt->field_of_view(r.fov);
    EXPECT_DOUBLE_EQ(qt->pan_angle(), r.want_pan);
    EXPECT_DOUBLE_EQ(qt->tilt_angle(), r.want_tilt);
    EXPECT_DOUBLE_EQ(qt->field_of_view(), r.want_fov);
  }
}

}  // namespace
