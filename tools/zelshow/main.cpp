// zelshow: a host program of the zel engine. See usage() for the command line.
#include <dlfcn.h>
#include <malloc.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>

#include "qar/trace.h"
#include "zel/context.h"
#include "zel/engine.h"
#include "zel/gui_dispatcher.h"
#include "zelshow.h"

namespace {

std::atomic<bool> g_interrupted{false};

void on_signal(int) {
  g_interrupted = true;
}

// Mesa unloads its GL driver at exit, before leak checkers look at the heap; kept loaded, what
// they find there can still be told apart from the program's own.
void keep_gl_driver_loaded() {
  for (const char* lib : {"swrast_dri.so", "/usr/lib/x86_64-linux-gnu/dri/swrast_dri.so"})
    if (dlopen(lib, RTLD_NOW | RTLD_NODELETE)) break;
}

// A show runs for hours. The software GL driver takes and gives back 64 KiB blocks for every
// frame's scene, and glibc raises its mapping threshold each time it sees a larger mapped block
// freed, after which pictures and textures too come from the arenas; mixed with lasting small
// allocations these blocks fragment the render thread's arena, which grows in steps for many
// minutes. A fixed threshold keeps every block from 64 KiB up in a mapping of its own, given
// back to the system when freed.
void settle_malloc() {
  mallopt(M_MMAP_THRESHOLD, 64 * 1024);
}

int fail(const std::string& line, int code) {
  std::fprintf(stderr, "zelshow: %s\n", line.c_str());
  return code;
}

}  // namespace

namespace zelshow {

void ShowMng::change_mode(const zel::DeviceMode& mode) {
  // Carried out on the GUI thread: the device changes the window, then the scene follows.
  std::weak_ptr<zel::RenderDevice> weak = get_device();
  zel::gui::post([this, weak, mode] {
    auto dev = weak.lock();
    if (dev && dev->toggle_mode(mode)) set_mode(mode);
  });
}

}  // namespace zelshow

int main(int argc, char** argv) {
  zelshow::Options opt;
  std::string error;
  if (!zelshow::parse_options(argc, argv, opt, error)) return fail(error, 2);
  if (opt.help) {
    std::fputs(zelshow::usage().c_str(), stdout);
    return 0;
  }
  const char* display = std::getenv("DISPLAY");
  const bool headless = opt.headless || !display || !*display;
  if (headless) setenv("ZEL_HEADLESS", "1", 1);
  // Files are checked before anything starts, so that a typo costs nothing.
  for (const auto& f : opt.files) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(f, ec)) return fail("cannot open '" + f + "'", 2);
  }
  if (!opt.out_dir.empty()) {
    std::error_code ec;
    std::filesystem::create_directories(opt.out_dir, ec);
    if (ec || !std::filesystem::is_directory(opt.out_dir, ec))
      return fail("cannot create the output directory '" + opt.out_dir + "'", 2);
  }

  std::signal(SIGINT, on_signal);
  std::signal(SIGTERM, on_signal);

  settle_malloc();
  keep_gl_driver_loaded();
  zelInit(nullptr);
  int status = 0;
  {
    auto mng = std::make_shared<zelshow::ShowMng>();
    zel::DeviceMode mode;
    mode.width = opt.width;
    mode.height = opt.height;
    mode.depth = 32;
    mode.windowed = 1;
    if (!mng->init(u"OpenGL", mode)) {
      mng.reset();
      zelUninit();
      return fail("no render device could be made", 1);
    }
    mng->set_fps(opt.fps);
    mng->set_bg_color(0, 0, 0);

    // Frames are recorded on the render thread as they are presented.
    std::atomic<int64_t> presented{0};
    std::atomic<bool> done{false};
    std::mutex err_mutex;
    std::string frame_error;
    const int64_t limit = opt.frames;
    const std::string out = opt.out_dir;
    mng->set_frame_hook([&](zel::RenderDevice& dev, uint64_t n) {
      if (done || (limit > 0 && int64_t(n) > limit)) return;
      if (!out.empty()) {
        char name[32];
        std::snprintf(name, sizeof name, "frame_%06llu.png", static_cast<unsigned long long>(n));
        const std::string path = (std::filesystem::path(out) / name).string();
        if (!dev.save_frame_png(path)) {
          std::lock_guard<std::mutex> lk(err_mutex);
          frame_error = "cannot write '" + path + "'";
          done = true;
          return;
        }
      }
      presented = int64_t(n);
      if (limit > 0 && int64_t(n) >= limit) done = true;
    });

    qar::ThreadOfControl::start(mng, true);
    mng->pause(true, true);  // the render thread has its device and waits
    std::unique_ptr<zelshow::Presentation> show;
    if (mng->has_ended()) {
      error = "the render device could not be set up";
      status = 1;
    } else if (opt.files.empty()) {
      show = zelshow::build_demo(*mng, opt);
    } else {
      show = zelshow::build_slideshow(*mng, opt, error);
      if (!show) status = 2;
    }

    if (status == 0) {
      mng->pause(false, false);
      const bool tty = isatty(STDERR_FILENO);
      auto last_report = std::chrono::steady_clock::now();
      const int fd = zel::gui::event_fd();
      while (!done && !g_interrupted && !mng->has_ended()) {
        pollfd p{fd, POLLIN, 0};
        if (fd >= 0)
          poll(&p, 1, 50);
        else
          std::this_thread::sleep_for(std::chrono::milliseconds(50));
        zel::gui::drain();
        const auto now = std::chrono::steady_clock::now();
        if (now - last_report >= std::chrono::seconds(1)) {
          last_report = now;
          if (limit > 0)
            std::fprintf(stderr, tty ? "\rzelshow: frame %lld/%lld" : "zelshow: frame %lld/%lld\n",
                         static_cast<long long>(presented.load()), static_cast<long long>(limit));
          else
            std::fprintf(stderr, tty ? "\rzelshow: frame %lld" : "zelshow: frame %lld\n",
                         static_cast<long long>(presented.load()));
        }
      }
      if (tty) std::fputc('\n', stderr);
      if (mng->has_ended() && !done && !g_interrupted) {
        error = "the render thread stopped";
        status = 1;
      }
      std::lock_guard<std::mutex> lk(err_mutex);
      if (!frame_error.empty()) {
        error = frame_error;
        status = 1;
      }
    }
    mng->terminate();
    show.reset();
    mng->clear_all_layers();
    mng.reset();
    if (status == 0)
      std::fprintf(stderr, "zelshow: %lld frames%s%s\n", static_cast<long long>(presented.load()),
                   out.empty() ? "" : " written to ", out.c_str());
  }
  zelUninit();
  if (status != 0) return fail(error, status);
  return 0;
}
