#include "qar/context.h"

#include <algorithm>
#include <exception>

#include "qar/trace.h"

namespace {
std::atomic<bool> g_context_made{false};
}

qarContext& qarContext::instance() {
  static qarContext* context = [] {
    auto* c = new qarContext;  // lives for the whole process
    g_context_made.store(true);
    return c;
  }();
  return *context;
}

bool qarContext::is_init() {
  return g_context_made.load();
}

uint32_t qarContext::add_event_listener(void* user, event_fn callback) {
  if (!callback) return 0;
  std::lock_guard<std::recursive_mutex> lk(events_mutex_);
  const uint32_t id = next_id_++;
  if (next_id_ == 0) next_id_ = 1;
  listeners_.push_back({id, user, callback});
  return id;
}

void qarContext::remove_event_listener(uint32_t id) {
  std::lock_guard<std::recursive_mutex> lk(events_mutex_);
  listeners_.erase(std::remove_if(listeners_.begin(), listeners_.end(),
                                  [id](const listener& l) { return l.id == id; }),
                   listeners_.end());
}

size_t qarContext::send_event(const std::string& name, const std::vector<std::string>& args) {
  std::lock_guard<std::recursive_mutex> lk(events_mutex_);
  // A snapshot: listeners may change the list while they run.
  const std::vector<listener> snapshot = listeners_;
  size_t called = 0;
  for (const listener& l : snapshot) {
    const bool live = std::any_of(listeners_.begin(), listeners_.end(),
                                  [&](const listener& x) { return x.id == l.id; });
    if (!live) continue;
    ++called;
    try {
      l.callback(l.user, name, args);
    } catch (const std::exception& e) {
      QAR_TRACE_CATCH(e);
    } catch (...) {
    }
  }
  return called;
}
