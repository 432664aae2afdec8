// The host's context: what the engine asks of the host program (its main window).
#pragma once
#include <atomic>
#include <cstdint>

class qarContext {
 public:
  // The process-wide context, created on first use.
  static qarContext& instance();
  static bool is_init();

  // The host's main window: an X11 Window id, or 0 for none (headless).
  uint64_t main_window() const { return main_window_.load(); }
  void set_main_window(uint64_t window) { main_window_.store(window); }

 private:
  qarContext() = default;
  std::atomic<uint64_t> main_window_{0};
};
