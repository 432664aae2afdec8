// The engine context: the process-wide object through which every part reaches the render
// manager, the current render device, its texture manager, its environment-independent driver
// and the audio driver.
#pragma once
#include <memory>

#include "zel/engine.h"

namespace zel {
class RenderMng;
class RenderDevice;
class TextureManager;
class EnvIndepDriver;
class AudioDriver;

class zelContext {
 public:
  // Set by the RenderMng constructor, cleared by its destructor (not owning).
  zel::RenderMng* render_mng = nullptr;
  // The device made by ZEL_createDevice.
  std::shared_ptr<zel::RenderDevice> device;
  // Set by the device when it initialises.
  std::shared_ptr<zel::TextureManager> texture_manager;
  // The device's environment-independent driver.
  std::shared_ptr<zel::EnvIndepDriver> env_driver;
  // Set by the audio driver factory.
  std::shared_ptr<zel::AudioDriver> audio_driver;
  // How frames are shown, as the host chose in zelInit; until then (a device made outside the
  // engine) a window where a display is available.
  zelDisplayMode display = zel_display_window;

  // Creation and destruction are serialised; the context itself has no lock (its fields are
  // set up before engine threads start and cleared after they stop).
  // Creates the context unless it exists; always true.
  static bool init();
  // The context, created on first use.
  static zelContext& instance();
  // Nonzero while the context exists.
  static int is_init();
  // Destroys the context, releasing whatever its shared pointers still hold.
  static void uninit();

  ~zelContext();
  zelContext(const zelContext&) = delete;
  zelContext& operator=(const zelContext&) = delete;

 private:
  zelContext() = default;
  static std::shared_ptr<zelContext> _smp_context;
};

}  // namespace zel

using zel::zelContext;
