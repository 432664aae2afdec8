#include "qar/trace.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

struct capture {
  std::vector<std::string> lines;
  capture() {
    qar::set_trace_sink([this](const std::string& l) { lines.push_back(l); });
  }
  ~capture() { qar::set_trace_sink(nullptr); }
};

TEST(Trace, SiteLinesHaveTheFixedFormat) {
  using qar::trace_site;
  EXPECT_EQ(qar::trace_site_text(trace_site::throw_site, nullptr, "12/31/26", "23:59:58", 1234),
            " (12/31/26 23:59:58 1234) -  (throw) ->\n");
  EXPECT_EQ(qar::trace_site_text(trace_site::catch_site, "boom", "01/02/26", "03:04:05", 7),
            "boom (01/02/26 03:04:05 7) -  (catch) <-\n");
  EXPECT_EQ(qar::trace_site_text(trace_site::rethrow_site, nullptr, "01/02/26", "03:04:05", 0),
            " (01/02/26 03:04:05 0) -  (rethrow) ->\n");
  // Now: month/day/two-digit year, hours:minutes:seconds, milliseconds since start.
  const std::string now = qar::trace_site_text(trace_site::throw_site);
  const std::string shape = " (dd/dd/dd dd:dd:dd ";  // d: a digit
  ASSERT_GT(now.size(), shape.size()) << now;
  for (size_t i = 0; i < shape.size(); ++i)
    ASSERT_TRUE(shape[i] == 'd' ? std::isdigit(static_cast<unsigned char>(now[i])) != 0
                                : now[i] == shape[i])
        << now;
  EXPECT_LE(std::stoi(now.substr(2, 2)), 12) << now;
  EXPECT_LE(std::stoi(now.substr(11, 2)), 23) << now;
  const size_t end = now.find(')', shape.size());
  ASSERT_NE(end, std::string::npos) << now;
  const std::string ms = now.substr(shape.size(), end - shape.size());
  ASSERT_FALSE(ms.empty());
  EXPECT_EQ(ms.find_first_not_of("0123456789"), std::string::npos) << now;
  EXPECT_EQ(now.substr(end), ") -  (throw) ->\n");
  EXPECT_LE(std::stoll(ms), qar::process_clock_ms());
}

int thrower() {
  QAR_THROW(std::runtime_error("bad thing"));
}

TEST(Trace, ThrowCatchAndRethrowSitesEachWriteOneLine) {
  capture c;
  try {
    try {
      thrower();
    } catch (...) {
      QAR_RETHROW();
    }
  } catch (const std::exception& e) {
    QAR_TRACE_CATCH(e);
  }
  ASSERT_EQ(c.lines.size(), 3u);
  // The source file by its base name, not the path it was compiled from.
  EXPECT_EQ(c.lines[0].rfind("trace_test.cpp(", 0), 0u) << c.lines[0];
  const char* ends[3] = {" -  (throw) ->\n", " -  (rethrow) ->\n", " -  (catch) <-\n"};
  for (int i = 0; i < 3; ++i)
    EXPECT_EQ(c.lines[size_t(i)].size(), c.lines[size_t(i)].rfind(ends[i]) + std::strlen(ends[i]));
  EXPECT_NE(c.lines[2].find("): bad thing ("), std::string::npos);
}

TEST(Trace, GuardedSwallowsAndTracesOnlyStdExceptions) {
  capture c;
  EXPECT_TRUE(qar::guarded([] {}));
  EXPECT_FALSE(qar::guarded([] { throw std::logic_error("logic"); }));
  EXPECT_FALSE(qar::guarded([] { throw 42; }));
  ASSERT_EQ(c.lines.size(), 1u);  // the int is swallowed silently
  EXPECT_NE(c.lines[0].find("logic ("), std::string::npos);
}

// Run in a child process (below) with QAR_TRACE_FILE set.
TEST(TraceChild, WritesLines) {
  if (!getenv("QAR_TRACE_FILE")) GTEST_SKIP() << "only run as a child";
  qar::tracef("first %d", 1);
  qar::tracef(qar::trace_level::error, "an error");
  qar::tracef(qar::trace_level::info, "some info");
  try {
    QAR_THROW(std::runtime_error("to file"));
  } catch (const std::exception& e) {
    QAR_TRACE_CATCH(e);
  }
  qar::guarded([] { throw std::runtime_error("unhandled"); });
}

// The file gets what the level lets through: errors and warnings by default, the rest with
// ZEL_TRACE=debug; ZEL_TRACE=error leaves only errors.
TEST(Trace, EnvironmentVariablesChooseTheFileAndTheLevel) {
  struct Case {
    const char* level;  // ZEL_TRACE, or null for none
    bool warning, info, debug;
  };
  const Case cases[] = {{nullptr, true, false, false},
                        {"debug", true, true, true},
                        {"ERROR", false, false, false},
                        {"nonsense", true, false, false}};
  for (const Case& c : cases) {
    std::string file = "/tmp/qar_trace_" + std::to_string(getpid()) + ".log";
    unlink(file.c_str());
    const std::string command = "env -u ZEL_TRACE QAR_TRACE_FILE=" + file +
                                (c.level ? std::string(" ZEL_TRACE=") + c.level : "") + " '" +
                                std::filesystem::read_symlink("/proc/self/exe").string() +
                                "' --gtest_filter=TraceChild.WritesLines >/dev/null";
    EXPECT_EQ(std::system(command.c_str()), 0);
    std::stringstream ss;
    ss << std::ifstream(file).rdbuf();
    const std::string text = ss.str();
    auto has = [&](const char* s) { return text.find(s) != std::string::npos; };
    // What each level lets through: errors always, never the source's path.
    EXPECT_EQ(std::vector<bool>({has("an error\n"), has("first 1\n"), has("unhandled ("),
                                 has("some info\n"), has("to file ("), has(" -  (throw) ->\n"),
                                 has("/trace_test.cpp")}),
              std::vector<bool>({true, c.warning, c.warning, c.info, c.info, c.debug, false}))
        << (c.level ? c.level : "(none)") << "\n"
        << text;
    unlink(file.c_str());
  }
}

}  // namespace
