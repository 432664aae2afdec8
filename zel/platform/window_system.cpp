#include "zel/platform/window_system.h"

#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>

extern char** environ;

namespace zel {
namespace platform {

WindowSystem& window_system() {
  // Never destroyed: the GUI thread may still use it during static destruction.
  static WindowSystem* ws = make_x11_window_system().release();
  return *ws;
}

bool xdg_open(const std::string& url) {
  // The shell starts xdg-open in the background and ends at once, so no child is left behind.
  const char* argv[] = {"/bin/sh", "-c",        "xdg-open \"$1\" >/dev/null 2>&1 &",
                        "sh",      url.c_str(), nullptr};
  pid_t pid;
  if (::posix_spawn(&pid, "/bin/sh", nullptr, nullptr, const_cast<char**>(argv), environ) != 0)
    return false;
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return true;
}

}  // namespace platform
}  // namespace zel
