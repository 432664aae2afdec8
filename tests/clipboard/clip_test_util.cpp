#include "clipboard/clip_test_util.h"

#include <fcntl.h>
#include <png.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "zel/pixel_convert.h"
#include "zel/pixel_format.h"

extern char** environ;

namespace cliptest {

std::vector<uint8_t> make_picture(uint32_t format, int width, int height, int pitch) {
  const int bpp = zel::pixel_format_bits(format) / 8;
  std::vector<uint8_t> px(size_t(pitch) * size_t(height), 0xEE);
  uint32_t seed = 0x12345678u ^ format;
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      seed = seed * 1664525u + 1013904223u;
      uint32_t v = seed >> 5;
      if (x == 0 && y == 0) v = 0;            // black, transparent
      if (x == 1 && y == 0) v = 0xFFFFFFFFu;  // white, opaque
      for (int b = 0; b < bpp; ++b)
        px[size_t(y) * size_t(pitch) + size_t(x * bpp + b)] = uint8_t(v >> (8 * b));
    }
  return px;
}

int png_mismatches(const std::string& png, const std::vector<uint8_t>& px, uint32_t format,
                   int width, int height, int pitch) {
  png_image img;
  std::memset(&img, 0, sizeof img);
  img.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_memory(&img, png.data(), png.size())) return -1;
  img.format = PNG_FORMAT_RGBA;
  std::vector<uint8_t> rgba(PNG_IMAGE_SIZE(img), 0);
  if (!png_image_finish_read(&img, nullptr, rgba.data(), 0, nullptr)) {
    png_image_free(&img);
    return -1;
  }
  if (int(img.width) != width || int(img.height) != height) return -1;
  int mismatches = 0;
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      const uint32_t want = zel::read_pixel_argb(format, &px[size_t(y * pitch)], x);
      const uint8_t* got = &rgba[size_t((y * width + x) * 4)];
      mismatches += want != (uint32_t(got[3]) << 24 | got[0] << 16 | got[1] << 8 | got[2]);
    }
  return mismatches;
}

uint32_t u32_at(const std::string& s, size_t at) {
  uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = (v << 8) | uint8_t(s.at(at + size_t(i)));
  return v;
}

bool run_capture(const std::string& command, std::string& out) {
  out.clear();
  std::string cmd = "timeout 20 " + command;
  FILE* f = popen(cmd.c_str(), "r");
  if (!f) return false;
  char buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
  int st = pclose(f);
  return WIFEXITED(st) && WEXITSTATUS(st) == 0;
}

pid_t spawn_with_input(const std::vector<std::string>& argv, const std::string& input) {
  char path[] = "/tmp/zel_clip_inputXXXXXX";
  const int fd = mkstemp(path);
  if (fd < 0) return -1;
  const bool written = write(fd, input.data(), input.size()) == ssize_t(input.size());
  close(fd);
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  posix_spawn_file_actions_t io;
  posix_spawn_file_actions_init(&io);
  posix_spawn_file_actions_addopen(&io, 0, path, O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&io, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(&io, 1, 2);
  pid_t pid = -1;
  if (!written || posix_spawnp(&pid, args[0], &io, nullptr, args.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&io);
  unlink(path);  // the child has its standard input open by now
  return pid;
}

void stop_process(pid_t pid) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  int st = 0;
  waitpid(pid, &st, 0);
}

// One try at display :n; false when that server does not come up (the number may be taken).
static bool start_xvfb_at(unsigned n, pid_t& pid, std::string& display) {
  int fds[2];
  if (pipe(fds) != 0) return false;
  pid = fork();
  if (pid == 0) {
    prctl(PR_SET_PDEATHSIG, SIGTERM);  // never outlive the test, however it ends
    close(fds[0]);
    int null = open("/dev/null", O_RDWR);
    if (null >= 0) {
      dup2(null, 0);
      dup2(null, 1);
      dup2(null, 2);
    }
    const std::string fd = std::to_string(fds[1]), name = ":" + std::to_string(n);
    execlp("Xvfb", "Xvfb", name.c_str(), "-displayfd", fd.c_str(), "-nolisten", "tcp", "-noreset",
           "-screen", "0", "640x480x24", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(fds[1]);
  std::string number;
  pollfd p = {fds[0], POLLIN, 0};
  while (number.find('\n') == std::string::npos && poll(&p, 1, 10000) > 0) {
    char buf[16];
    ssize_t got = read(fds[0], buf, sizeof buf);
    if (got <= 0) break;
    number.append(buf, size_t(got));
  }
  close(fds[0]);
  if (pid < 0 || number.find('\n') == std::string::npos) {
    if (pid > 0) stop_process(pid);
    return false;
  }
  display = ":" + number.substr(0, number.find('\n'));
  return true;
}

// Display numbers are drawn from a wide range rather than taken lowest-free: a number freed
// when a server ends is then not soon reused by another program's server, so a client that
// reconnects to the old name (or a test that expects no server there) meets nobody.
bool start_private_xvfb(pid_t& pid, std::string& display) {
  static unsigned seed = unsigned(getpid()) * 2654435761u;
  for (int attempt = 0; attempt < 8; ++attempt) {
    seed = seed * 1664525u + 1013904223u;
    if (start_xvfb_at(1000 + (seed >> 8) % 30000, pid, display)) return true;
  }
  return false;
}

void use_private_display_if_possible() {
  static pid_t server = -1;
  const char* d = std::getenv("DISPLAY");
  if (!d || !*d || server > 0) return;
  std::string display;
  if (!start_private_xvfb(server, display)) return;
  setenv("DISPLAY", display.c_str(), 1);
  std::atexit([] { stop_process(server); });
}

}  // namespace cliptest
