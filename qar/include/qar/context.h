// The host's context: what the engine asks of the host program (its main window), and the
// host's event listeners, through which the engine tells the host about things it cannot show
// itself (a movie that needs a newer player, ...).
#pragma once
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

class qarContext {
 public:
  // A host event: a name and its arguments, UTF-8 texts.
  using event_fn = void (*)(void* user, const std::string& name,
                            const std::vector<std::string>& args);

  // The process-wide context, created on first use.
  static qarContext& instance();
  static bool is_init();

  // The host's main window: an X11 Window id, or 0 for none (headless).
  uint64_t main_window() const { return main_window_.load(); }
  void set_main_window(uint64_t window) { main_window_.store(window); }

  // Adds a listener for the engine's events; returns its id (never 0), or 0 for a null
  // callback. Any thread.
  uint32_t add_event_listener(void* user, event_fn callback);
  // Removes the listener. When it returns, that listener runs nowhere any more (it waits for a
  // delivery in progress on another thread), so `user` may be freed. A listener may remove
  // itself or others from inside its call; listeners must not wait for a thread that is adding
  // or removing listeners.
  void remove_event_listener(uint32_t id);
  // Calls every listener, in the order they were added, on the calling thread. Listeners added
  // during a delivery get the next event; those removed during it are skipped. Returns the
  // number of listeners called. An exception a listener throws is traced and swallowed.
  size_t send_event(const std::string& name, const std::vector<std::string>& args);

 private:
  qarContext() = default;

  struct listener {
    uint32_t id;
    void* user;
    event_fn callback;
  };

  std::atomic<uint64_t> main_window_{0};
  // Held for a whole delivery (recursive: listeners may register from inside it).
  std::recursive_mutex events_mutex_;
  std::vector<listener> listeners_;
  uint32_t next_id_ = 1;
};
