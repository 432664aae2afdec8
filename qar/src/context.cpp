#include "qar/context.h"

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
