#include "qar/context.h"

#include <gtest/gtest.h>

#include <memory>

#include "zel/context.h"
#include "zel/engine.h"
#include "zel/gui_dispatcher.h"

namespace {

// Stands in for an engine object: the context only holds it. The aliasing constructor gives a
// pointer of the context's field type whose ownership is this token.
struct token {};
template <class T>
std::shared_ptr<T> held_by(const std::shared_ptr<token>& t) {
  return std::shared_ptr<T>(t, nullptr);
}

TEST(Context, LazyInstanceSurvivesInitAndUninitReleasesEverything) {
  zelContext::uninit();
  EXPECT_EQ(zelContext::is_init(), 0);
  zelContext& c = zelContext::instance();  // before zelInit: created on demand
  EXPECT_NE(zelContext::is_init(), 0);
  EXPECT_EQ(c.render_mng, nullptr);
  EXPECT_FALSE(c.device);
  EXPECT_FALSE(c.texture_manager);
  EXPECT_FALSE(c.env_driver);
  EXPECT_FALSE(c.audio_driver);

  auto t1 = std::make_shared<token>(), t2 = std::make_shared<token>(),
       t3 = std::make_shared<token>(), t4 = std::make_shared<token>();
  std::weak_ptr<token> w1 = t1, w2 = t2, w3 = t3, w4 = t4;
  c.device = held_by<zel::RenderDevice>(t1);
  c.texture_manager = held_by<zel::TextureManager>(t2);
  c.env_driver = held_by<zel::EnvIndepDriver>(t3);
  c.audio_driver = held_by<zel::AudioDriver>(t4);
  t1.reset();
  t2.reset();
  t3.reset();
  t4.reset();

  zelInit(nullptr);  // keeps the existing context
  EXPECT_EQ(&zelContext::instance(), &c);
  EXPECT_TRUE(zelContext::init());
  EXPECT_EQ(&zelContext::instance(), &c);
  EXPECT_FALSE(w4.expired());
  EXPECT_TRUE(zel::gui::is_attached());
  EXPECT_TRUE(zel::gui::is_gui_thread());

  zelUninit();
  EXPECT_EQ(zelContext::is_init(), 0);
  EXPECT_TRUE(w1.expired());
  EXPECT_TRUE(w2.expired());
  EXPECT_TRUE(w3.expired());
  EXPECT_TRUE(w4.expired());
  EXPECT_FALSE(zel::gui::is_attached());

  // A fresh context afterwards starts empty.
  EXPECT_FALSE(zelContext::instance().audio_driver);
  zelContext::uninit();
}

TEST(Context, InitTellsTheHostContextAboutItsWindow) {
  qarContext::instance().set_main_window(0);
  zelInit(reinterpret_cast<void*>(uintptr_t(0x4400012)));
  EXPECT_EQ(qarContext::instance().main_window(), 0x4400012u);
  EXPECT_EQ(zel::gui::host_window(), 0x4400012u);
  zelUninit();
  EXPECT_EQ(zel::gui::host_window(), 0u);
  // A host that set its own window keeps it.
  qarContext::instance().set_main_window(0x77);
  zelInit(reinterpret_cast<void*>(uintptr_t(0x88)));
  EXPECT_EQ(qarContext::instance().main_window(), 0x77u);
  zelUninit();
  qarContext::instance().set_main_window(0);
}

}  // namespace
