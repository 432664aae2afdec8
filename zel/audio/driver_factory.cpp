// Making the audio driver by name; the one place that knows both drivers.
#include "qar/string.h"
#include "qar/trace.h"
#include "zel/audio/audio_driver.h"
#include "zel/audio/driver/openal/openal_driver.h"
#include "zel/audio/driver/sdl/sdl_audio_driver.h"
#include "zel/context.h"

namespace zel {

std::shared_ptr<AudioDriver> AudioDriver::create_driver(const std::u16string& name) {
  std::shared_ptr<AudioDriver> d;
  if (name == u"OpenAL")
    d = std::make_shared<openal::OpenALDriver>();
  else if (!name.empty())  // "DirectSound8" and any other name
    d = std::make_shared<sdl::SDLAudioDriver>();
  zelContext::instance().audio_driver = d;
  return d;
}

bool AudioDriver::init_context_driver() {
  std::shared_ptr<AudioDriver>& slot = zelContext::instance().audio_driver;
  if (!slot) return false;
  bool ok = false;
  try {
    ok = slot->init();
  } catch (const std::exception& e) {
    QAR_TRACE_CATCH(e);
  } catch (...) {
  }
  if (!ok) {
    qar::tracef("audio driver \"%s\" has no output: sound is not played",
                qar::to_utf8(slot->name()).c_str());
    slot.reset();
  }
  return ok;
}

std::shared_ptr<AudioDriver> AudioDriver::start_driver(const std::u16string& name) {
  create_driver(name);
  init_context_driver();
  return zelContext::instance().audio_driver;
}

}  // namespace zel
