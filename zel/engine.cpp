#include "zel/engine.h"

#include <cstdint>

#include "qar/context.h"
#include "qar/thread.h"
#include "qar/trace.h"
#include "zel/audio/audio_driver.h"
#include "zel/context.h"
#include "zel/controls/clipboard.h"
#include "zel/gui_dispatcher.h"
#include "zel/platform/window_system.h"
#include "zel/plugins.h"
#include "zel/render_mng.h"

extern "C" void zelInitEx(const zelInitOptions* options) {
  const zelInitOptions opt = options ? *options : zelInitOptions();
  void* const host_window = opt.host_window;
  qar::guarded([&] {
    zelContext::init();
    zelContext::instance().display = opt.display;
    // A driver the host chose beforehand (AudioDriver::create_driver) opens its device now; one
    // without a device is dropped and the engine plays silently.
    zel::AudioDriver::init_context_driver();
    zel::plugins::scan_devices_and_media_streams();
    zel::plugins::scan_image_decoders();
    const uint64_t window = reinterpret_cast<uintptr_t>(host_window);
    // A host that has not told its context about its window gets the one it gave us.
    if (window && qarContext::instance().main_window() == 0)
      qarContext::instance().set_main_window(window);
    zel::gui::attach(window);
  });
}

extern "C" void zelInit(void* host_window) {
  zelInitOptions opt;
  opt.host_window = host_window;
  opt.display = host_window ? zel_display_window : zel_display_headless;
  zelInitEx(&opt);
}

extern "C" void zelUninit() {
  qar::guarded([] {
    // Work queued for this thread is withdrawn, so that no engine thread waits for it below.
    zel::gui::detach();
    // Every render thread ends here, also one only killed or one whose object went with it: a
    // thread still running (or tearing down its thread-local data) while the process exits
    // would work on what exit() is freeing.
    qar::ThreadOfControl::terminate_all("RenderMng");
    // A render manager that outlives this call lets its device go now: with it go the device's
    // window and the thread that reads the window's events.
    if (zelContext::is_init())
      if (zel::RenderMng* rm = zelContext::instance().render_mng) rm->release_device();
    // Hands what we own on the clipboard to a clipboard manager and stops its thread.
    zel::Clipboard::shutdown();
    zel::platform::window_system().close();
    zel::plugins::release();
    zelContext::uninit();
  });
}
