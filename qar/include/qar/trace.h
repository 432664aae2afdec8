// Tracing. Lines go to stderr, or to the file named by the environment variable QAR_TRACE_FILE
// (appended). Each record has a level; only records at or above the current level reach that
// output. The level is warning (errors and warnings) unless the environment variable ZEL_TRACE
// names another (error, warning, info, debug) or the host calls set_trace_level. A sink set with
// set_trace_sink receives every record, whatever the level. Source files are named by their base
// name. Every throw, catch and rethrow site writes one line through the helpers below:
//
//   QAR_THROW(std::runtime_error("no device"));     // " (date time clock) -  (throw) ->"
//   try { ... } catch (const std::exception& e) { QAR_TRACE_CATCH(e); } catch (...) {}
//   try { ... } catch (...) { QAR_RETHROW(); }     // " (date time clock) -  (rethrow) ->"
//
// date is month/day/year (two-digit year), time hours:minutes:seconds (local time), clock the
// milliseconds since the process started (steady clock). All functions are thread-safe.
#pragma once
#include <exception>
#include <functional>
#include <string>

namespace qar {

// Most severe first. Throw and rethrow lines are debug, catch lines info (the failure is
// reported by a result), except in guarded(), where an exception nobody handled is a warning.
enum class trace_level { error, warning, info, debug };

// Records above `level` (less severe) are dropped from the default output.
void set_trace_level(trace_level level);
trace_level get_trace_level();
// Whether a record of `level` would reach the output (always true while a sink is set).
bool trace_enabled(trace_level level);
// The level a ZEL_TRACE value names ("error", "warning", "info", "debug", any case); false for
// anything else.
bool parse_trace_level(const char* text, trace_level& level);

// Writes `text` as one trace record, prefixed with "file(line): " when `file` is given (its base
// name). Without a level the record is a warning.
void trace(const char* text, const char* file, int line);
void trace(const std::string& text, const char* file, int line);
void trace(trace_level level, const std::string& text, const char* file, int line);
// printf-style warning that is not a failure; a newline is added when missing.
void tracef(const char* format, ...) __attribute__((format(printf, 1, 2)));
// The same at a given level.
void tracef(trace_level level, const char* format, ...) __attribute__((format(printf, 2, 3)));

enum class trace_site { throw_site, catch_site, rethrow_site };

// The text of a throw, catch or rethrow line for the current date, time and clock:
//   throw:   " (%s %s %d) -  (throw) ->\n"
//   catch:   "%s (%s %s %d) -  (catch) <-\n"  (first %s the exception's what())
//   rethrow: " (%s %s %d) -  (rethrow) ->\n"
std::string trace_site_text(trace_site site, const char* what = nullptr);
// Same, for a given date ("mm/dd/yy"), time ("hh:mm:ss") and clock (ms).
std::string trace_site_text(trace_site site, const char* what, const std::string& date,
                            const std::string& time, long long clock_ms);

// The one helper every throw / catch / rethrow site goes through.
void trace_throw(const char* file, int line);
void trace_catch(const std::exception& e, const char* file, int line,
                 trace_level level = trace_level::info);
void trace_rethrow(const char* file, int line);

// Milliseconds since the process started (steady clock).
long long process_clock_ms();

// Redirects trace output to `sink` (each call gets one whole record, file/line prefix
// included); an empty function restores the default (stderr or QAR_TRACE_FILE).
void set_trace_sink(std::function<void(const std::string&)> sink);

// Runs f; a std::exception is traced as a catch line and swallowed, anything else is swallowed
// silently. Returns true when f returned normally. For thread entries and callbacks.
template <class F>
bool guarded(F&& f, const char* file = __builtin_FILE(), int line = __builtin_LINE()) noexcept {
  try {
    f();
    return true;
  } catch (const std::exception& e) {
    trace_catch(e, file, line, trace_level::warning);
  } catch (...) {
  }
  return false;
}

}  // namespace qar

#define QAR_THROW(expr)                     \
  do {                                      \
    ::qar::trace_throw(__FILE__, __LINE__); \
    throw expr;                             \
  } while (0)
#define QAR_TRACE_CATCH(e) ::qar::trace_catch((e), __FILE__, __LINE__)
#define QAR_RETHROW()                         \
  do {                                        \
    ::qar::trace_rethrow(__FILE__, __LINE__); \
    throw;                                    \
  } while (0)
