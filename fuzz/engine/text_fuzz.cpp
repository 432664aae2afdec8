// Untrusted texts of the engine frame: communication_event (both forms) never reads past its
// buffer, and the pop-up size scan takes any URL.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "zel/events.h"
#include "zel/gui_dispatcher.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  size_t n = size / 2;
  std::unique_ptr<char16_t[]> exact(new char16_t[n + 1]);
  if (n) std::memcpy(exact.get(), data, n * 2);
  zel::communication_event bounded(exact.get(), n);
  if (bounded.command.size() + bounded.arguments.size() > n + 2) std::abort();
  exact[n] = 0;  // exactly one terminating zero
  zel::communication_event single(exact.get());
  if (single.command.size() > n) std::abort();
  zel::gui::scan_popup_size(std::u16string(exact.get(), n));
  return 0;
}
