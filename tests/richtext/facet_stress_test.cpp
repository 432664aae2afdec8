// The host opens, scrolls, jumps and asks for sizes and links of a rich-format facet while the
// render thread lays it out and draws it frame after frame.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "qar/stream.h"
#include "scene/scene_util.h"
#include "zel/rich_format/rf_facet.h"

using namespace std::chrono;

namespace {

std::string page(int n) {
  std::string s = "<html><body>";
  for (int i = 0; i < n; ++i)
    s += "<p><a name=\"p" + std::to_string(i) + "\"></a>Paragraph " + std::to_string(i) +
         " with <a href=\"#p0\">a link</a> and <b>some</b> words to lay out.</p>";
  return s + "</body></html>";
}

class RichFacetStress : public scene_test::SceneFixture {};

TEST_F(RichFacetStress, HostCallsDuringFrames) {
  start();
  mng_->set_fps(0);
  auto f = std::make_shared<zel::rfFacet>(u"stress");
  f->set_size(300, 200);
  mng_->get_layer(1, true)->put_facet(f);
  mng_->pause(false, false);
  const std::string small = page(20), big = page(200);
  std::atomic<long> ops{0};
  const auto stop_at = steady_clock::now() + seconds(2);
  const std::function<void(int)> steps[] = {
      [&](int i) {
        const std::string& s = i % 2 ? small : big;
        f->open(std::make_shared<qar::MemoryStream>(s.data(), s.size()));
      },
      [&](int) { f->vertical().do_scroll(zel::scroll_info::page_forward, 1); },
      [&](int) { f->goto_anchor(u"p15"); },
      [&](int) { EXPECT_GE(f->get_media_height(), 0); },
      [&](int) { f->get_link(20, 10); },
      [&](int i) { f->set_size(200 + i % 100, 150); },
      [&](int) { f->on_click(30, 30); }};
  auto host = [&](int seed) {
    for (int i = seed; steady_clock::now() < stop_at; ++i, ++ops) steps[i % 7](i);
  };
  std::thread a(host, 0), b(host, 3);
  a.join();
  b.join();
  EXPECT_TRUE(mng_->wait_frames(2, seconds(5)));
  EXPECT_GT(ops.load(), 50);
}

}  // namespace
