#include "qar/trace.h"

#include <strings.h>

#include <atomic>
#include <boost/format.hpp>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <utility>
#include <vector>

namespace qar {
namespace {

const std::chrono::steady_clock::time_point g_start = std::chrono::steady_clock::now();

struct trace_state {
  std::mutex mutex;
  std::function<void(const std::string&)> sink;
  std::FILE* file = nullptr;
  bool file_checked = false;
};

trace_state& state() {
  static trace_state* s = new trace_state;  // never destroyed: usable from static destructors
  return *s;
}

// The current level; -1 until it is first asked for (then ZEL_TRACE decides).
std::atomic<int> g_level{-1};
std::atomic<bool> g_has_sink{false};

int current_level() {
  int l = g_level.load(std::memory_order_relaxed);
  if (l >= 0) return l;
  trace_level from_env = trace_level::warning;
  parse_trace_level(std::getenv("ZEL_TRACE"), from_env);
  int expected = -1;
  g_level.compare_exchange_strong(expected, int(from_env));
  return g_level.load();
}

const char* base_name(const char* path) {
  const char* slash = std::strrchr(path, '/');
  return slash ? slash + 1 : path;
}

std::string vformat(const char* format, va_list ap) {
  va_list ap2;
  va_copy(ap2, ap);
  const int n = std::vsnprintf(nullptr, 0, format, ap);
  std::string text;
  if (n > 0) {
    std::vector<char> buf(size_t(n) + 1);
    std::vsnprintf(buf.data(), buf.size(), format, ap2);
    text.assign(buf.data(), size_t(n));
  }
  va_end(ap2);
  if (text.empty() || text.back() != '\n') text += '\n';
  return text;
}

void emit(trace_level level, const std::string& record) {
  trace_state& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (s.sink) {
    s.sink(record);
    return;
  }
  if (int(level) > current_level()) return;
  if (!s.file_checked) {
    s.file_checked = true;
    const char* name = std::getenv("QAR_TRACE_FILE");
    if (name && *name) s.file = std::fopen(name, "a");
  }
  std::FILE* out = s.file ? s.file : stderr;
  std::fwrite(record.data(), 1, record.size(), out);
  std::fflush(out);
}

std::string now_text(const char* fmt) {
  std::time_t t = std::time(nullptr);
  std::tm tm{};
  localtime_r(&t, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, fmt, &tm);
  return buf;
}

}  // namespace

long long process_clock_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               g_start)
      .count();
}

bool parse_trace_level(const char* text, trace_level& level) {
  if (!text) return false;
  static const std::pair<const char*, trace_level> names[] = {{"error", trace_level::error},
                                                              {"warning", trace_level::warning},
                                                              {"info", trace_level::info},
                                                              {"debug", trace_level::debug}};
  for (const auto& n : names)
    if (strcasecmp(text, n.first) == 0) {
      level = n.second;
      return true;
    }
  return false;
}

void set_trace_level(trace_level level) {
  g_level.store(int(level));
}

trace_level get_trace_level() {
  return trace_level(current_level());
}

bool trace_enabled(trace_level level) {
  return g_has_sink.load() || int(level) <= current_level();
}

void trace(trace_level level, const std::string& text, const char* file, int line) {
  if (!trace_enabled(level)) return;
  std::string record;
  if (file && *file) record = (boost::format("%s(%d): ") % base_name(file) % line).str();
  record += text;
  emit(level, record);
}

void trace(const char* text, const char* file, int line) {
  trace(trace_level::warning, text ? text : "", file, line);
}

void trace(const std::string& text, const char* file, int line) {
  trace(trace_level::warning, text, file, line);
}

void tracef(const char* format, ...) {
  if (!format || !trace_enabled(trace_level::warning)) return;
  va_list ap;
  va_start(ap, format);
  std::string text = vformat(format, ap);
  va_end(ap);
  emit(trace_level::warning, text);
}

void tracef(trace_level level, const char* format, ...) {
  if (!format || !trace_enabled(level)) return;
  va_list ap;
  va_start(ap, format);
  std::string text = vformat(format, ap);
  va_end(ap);
  emit(level, text);
}

std::string trace_site_text(trace_site site, const char* what, const std::string& date,
                            const std::string& time, long long clock_ms) {
  switch (site) {
    case trace_site::throw_site:
      return (boost::format(" (%s %s %d) -  (throw) ->\n") % date % time % clock_ms).str();
    case trace_site::catch_site:
      return (boost::format("%s (%s %s %d) -  (catch) <-\n") % (what ? what : "") % date % time %
              clock_ms)
          .str();
    case trace_site::rethrow_site:
      break;
  }
  return (boost::format(" (%s %s %d) -  (rethrow) ->\n") % date % time % clock_ms).str();
}

std::string trace_site_text(trace_site site, const char* what) {
  return trace_site_text(site, what, now_text("%m/%d/%y"), now_text("%H:%M:%S"),
                         process_clock_ms());
}

void trace_throw(const char* file, int line) {
  if (trace_enabled(trace_level::debug))
    trace(trace_level::debug, trace_site_text(trace_site::throw_site), file, line);
}

void trace_catch(const std::exception& e, const char* file, int line, trace_level level) {
  if (trace_enabled(level))
    trace(level, trace_site_text(trace_site::catch_site, e.what()), file, line);
}

void trace_rethrow(const char* file, int line) {
  if (trace_enabled(trace_level::debug))
    trace(trace_level::debug, trace_site_text(trace_site::rethrow_site), file, line);
}

void set_trace_sink(std::function<void(const std::string&)> sink) {
  trace_state& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.sink = std::move(sink);
  g_has_sink = bool(s.sink);
}

}  // namespace qar
