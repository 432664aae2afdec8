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
  EXPECT_TRUE(!c.render_mng && !c.device && !c.texture_manager && !c.env_driver && !c.audio_driver);
  std::shared_ptr<token> t[4];
  for (auto& k : t) k = std::make_shared<token>();
  std::weak_ptr<token> w[4] = {t[0], t[1], t[2], t[3]};
  c.device = held_by<zel::RenderDevice>(t[0]);
  c.texture_manager = held_by<zel::TextureManager>(t[1]);
  c.env_driver = held_by<zel::EnvIndepDriver>(t[2]);
  c.audio_driver = held_by<zel::AudioDriver>(t[3]);
  for (auto& k : t) k.reset();
  zelInit(nullptr);  // keeps the existing context
  EXPECT_EQ(&zelContext::instance(), &c);
  EXPECT_TRUE(zelContext::init());
  EXPECT_EQ(&zelContext::instance(), &c);
  EXPECT_FALSE(w[3].expired());
  EXPECT_TRUE(zel::gui::is_attached());
  EXPECT_TRUE(zel::gui::is_gui_thread());
  zelUninit();
  EXPECT_EQ(zelContext::is_init(), 0);
  for (const auto& k : w) EXPECT_TRUE(k.expired());
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
