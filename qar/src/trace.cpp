#include "qar/trace.h"

#include <boost/format.hpp>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
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

void emit(const std::string& record) {
  trace_state& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  if (s.sink) {
    s.sink(record);
    return;
  }
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

void trace(const char* text, const char* file, int line) {
  std::string record;
  if (file && *file) record = (boost::format("%s(%d): ") % file % line).str();
  record += text ? text : "";
  emit(record);
}

void trace(const std::string& text, const char* file, int line) {
  trace(text.c_str(), file, line);
}

void tracef(const char* format, ...) {
  if (!format) return;
  va_list ap;
  va_start(ap, format);
  va_list ap2;
  va_copy(ap2, ap);
  int n = std::vsnprintf(nullptr, 0, format, ap);
  va_end(ap);
  std::string text;
  if (n > 0) {
    std::vector<char> buf(size_t(n) + 1);
    std::vsnprintf(buf.data(), buf.size(), format, ap2);
    text.assign(buf.data(), size_t(n));
  }
  va_end(ap2);
  if (text.empty() || text.back() != '\n') text += '\n';
  emit(text);
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
  trace(trace_site_text(trace_site::throw_site), file, line);
}

void trace_catch(const std::exception& e, const char* file, int line) {
  trace(trace_site_text(trace_site::catch_site, e.what()), file, line);
}

void trace_rethrow(const char* file, int line) {
  trace(trace_site_text(trace_site::rethrow_site), file, line);
}

void set_trace_sink(std::function<void(const std::string&)> sink) {
  trace_state& s = state();
  std::lock_guard<std::mutex> lock(s.mutex);
  s.sink = std::move(sink);
}

}  // namespace qar
