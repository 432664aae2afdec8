#include "zel/context.h"

#include <atomic>
#include <mutex>

namespace zel {
namespace {
std::mutex& context_mutex() {
  static std::mutex m;
  return m;
}
// Fast path for instance(): the object held by _smp_context, or null.
std::atomic<zelContext*> g_context{nullptr};
}  // namespace

std::shared_ptr<zelContext> zelContext::_smp_context;

zelContext::~zelContext() = default;

bool zelContext::init() {
  std::lock_guard<std::mutex> lock(context_mutex());
  if (_smp_context) return true;
  _smp_context.reset(new zelContext);
  g_context.store(_smp_context.get());
  return true;
}

zelContext& zelContext::instance() {
  if (zelContext* c = g_context.load()) return *c;
  init();
  return *g_context.load();
}

int zelContext::is_init() {
  return g_context.load() != nullptr ? 1 : 0;
}

void zelContext::uninit() {
  std::shared_ptr<zelContext> old;
  {
    std::lock_guard<std::mutex> lock(context_mutex());
    g_context.store(nullptr);
    old.swap(_smp_context);
  }
  // Released outside the lock: what the context holds may reach for the context while going.
  old.reset();
}

}  // namespace zel
