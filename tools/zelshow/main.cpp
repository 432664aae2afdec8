// zelshow: a host program of the zel engine. See usage() for the command line.
#include <dlfcn.h>
#include <link.h>
#include <malloc.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "frame_writer.h"
#include "qar/trace.h"
#include "zel/context.h"
#include "zel/engine.h"
#include "zel/gui_dispatcher.h"
#include "zel/render_device.h"
#include "zelshow.h"

namespace {

std::atomic<bool> g_interrupted{false};

void on_signal(int) {
  g_interrupted = true;
}

// Pins the GL driver the device loaded (Mesa's *_dri.so or libgallium, wherever this system
// keeps it). Mesa unloads its driver when the last EGL display goes, before a leak checker looks
// at the heap at exit; kept loaded, what the checker finds inside the driver still carries the
// driver's name and can be told apart from the program's own memory.
int pin_gl_driver_object(dl_phdr_info* info, size_t, void*) {
  const char* path = info->dlpi_name;
  if (path && (std::strstr(path, "_dri.so") || std::strstr(path, "libgallium")))
    dlopen(path, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
  return 0;
}

void pin_gl_driver() {
  dl_iterate_phdr(pin_gl_driver_object, nullptr);
}

// " (25.00 fps, p99 interval 40.4 ms)" for the presented frames' times; empty for fewer than 3.
std::string pacing(const std::vector<std::chrono::steady_clock::time_point>& t) {
  if (t.size() < 3) return std::string();
  std::vector<double> ms;
  for (size_t i = 1; i < t.size(); ++i)
    ms.push_back(std::chrono::duration<double, std::milli>(t[i] - t[i - 1]).count());
  std::sort(ms.begin(), ms.end());
  const double p99 = ms[std::min(ms.size() - 1, size_t(std::ceil(ms.size() * 0.99)) - 1)];
  const double secs = std::chrono::duration<double>(t.back() - t.front()).count();
  char buf[96];
  std::snprintf(buf, sizeof buf, " (%.2f fps, p99 interval %.1f ms)",
                secs > 0 ? double(ms.size()) / secs : 0.0, p99);
  return buf;
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
  // Files are checked before anything starts, so that a typo costs nothing.
  for (const auto& f : opt.files) {
    std::error_code ec;
    if (!std::filesystem::is_regular_file(zelshow::file_part(f), ec))
      return fail("cannot open '" + f + "'", 2);
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
  // A window of the engine's own where a display is available, unless asked for none.
  zelInitOptions init;
  init.display = opt.headless ? zel_display_headless : zel_display_window;
  zelInitEx(&init);
  int status = 0;
  // Sound for the media files (none is needed for pictures alone).
  const bool media = std::any_of(opt.files.begin(), opt.files.end(), [](const std::string& f) {
    return !zelshow::is_picture(f) && !zelshow::is_document(f);
  });
  if (media || !opt.record.empty()) {
    error = zelshow::setup_audio(opt);
    if (!error.empty()) {
      zelshow::close_audio();
      zelUninit();
      return fail(error, 2);
    }
  }
  {
    auto mng = std::make_shared<zelshow::ShowMng>(opt.device);
    zel::DeviceMode mode;
    mode.width = opt.width;
    mode.height = opt.height;
    mode.depth = 32;
    mode.windowed = 1;
    if (!mng->init(opt.device, mode)) {
      mng.reset();
      zelshow::close_audio();
      zelUninit();
      return fail("no render device could be made", 1);
    }
    pin_gl_driver();
    mng->set_fps(opt.fps);
    mng->set_bg_color(0, 0, 0);
    // A recording renders offline: one frame period of engine time per frame, as fast as the
    // frames come.
    const bool record = !opt.record.empty();
    if (record) {
      error = zelshow::start_recording(opt);
      if (!error.empty()) {
        mng.reset();
        zelshow::close_audio();
        zelUninit();
        return fail(error, 2);
      }
      mng->set_fixed_step(true);
    }

    // Each presented frame is read back on the render thread (the frame hook) and handed to
    // the writers; the main loop is woken as soon as the show is over.
    std::atomic<int64_t> presented{0};
    std::atomic<bool> done{false};
    std::mutex err_mutex;
    std::string frame_error;
    const int64_t limit = opt.frames;
    const std::string out = opt.out_dir;
    const int wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    auto finish_show = [&] {
      done = true;
      const uint64_t one = 1;
      if (wake_fd >= 0 && write(wake_fd, &one, sizeof one) < 0) {
        // The counter is full: the loop is awake anyway.
      }
    };
    std::unique_ptr<zelshow::FrameWriter> writer;
    if (!out.empty()) {
      // zlib takes far more time than drawing a frame: a writer per core, at least two.
      const unsigned cores = std::thread::hardware_concurrency();
      writer = std::make_unique<zelshow::FrameWriter>(out, opt.png_level,
                                                      int(std::clamp(cores, 2u, 4u)), 8);
    }
    // When each frame was presented, for the pacing figures (read after the thread has ended).
    std::vector<std::chrono::steady_clock::time_point> shown;
    shown.reserve(limit > 0 ? size_t(std::min<int64_t>(limit, 1 << 20)) : 4096);
    std::atomic<zelshow::Presentation*> live{nullptr};
    mng->set_frame_hook([&](zel::RenderDevice& dev, uint64_t n) {
      if (done || (limit > 0 && int64_t(n) > limit)) return;
      if (record) {
        // The frame after the last file's end is not recorded.
        zelshow::Presentation* p = live.load();
        if (p && p->at_end()) return finish_show();
        if (p) {
          p->poll();
          if (p->finished()) return finish_show();
        }
      }
      shown.push_back(std::chrono::steady_clock::now());
      if (record && !zelshow::record_frame(dev, n)) {
        std::lock_guard<std::mutex> lk(err_mutex);
        frame_error = zelshow::finish_recording();
        finish_show();
        return;
      }
      if (writer) {
        auto frame = dev.read_frame();
        if (!frame || !writer->put(n, std::move(frame))) {
          std::lock_guard<std::mutex> lk(err_mutex);
          frame_error = frame ? writer->finish()
                              : "cannot read frame " + std::to_string(n) + ": " +
                                    zel::RenderDevice::last_frame_error();
          finish_show();
          return;
        }
      }
      presented = int64_t(n);
      if (limit > 0 && int64_t(n) >= limit) finish_show();
    });

    qar::ThreadOfControl::start(mng, true);
    mng->pause(true, true);  // the render thread has its device and waits
    std::unique_ptr<zelshow::Presentation> show;
    if (mng->has_ended()) {
      error = "the render device could not be set up";
      status = 1;
    } else if (opt.controls) {
      show = zelshow::build_controls(*mng, opt);
    } else if (opt.files.empty()) {
      show = zelshow::build_demo(*mng, opt);
    } else if (std::any_of(opt.files.begin(), opt.files.end(), zelshow::is_document)) {
      show = zelshow::build_document_show(*mng, opt, error);
      if (!show) status = 2;
    } else if (media) {
      show = zelshow::build_media_show(*mng, opt, error);
      if (!show) status = 2;
    } else {
      show = zelshow::build_slideshow(*mng, opt, error);
      if (!show) status = 2;
    }

    if (status == 0) {
      live = show.get();
      mng->pause(false, false);
      const bool tty = isatty(STDERR_FILENO);
      auto last_report = std::chrono::steady_clock::now();
      const int fd = zel::gui::event_fd();
      while (!done && !g_interrupted && !mng->has_ended()) {
        // Woken by GUI work, the end of the show, or the next progress line (a signal or a
        // render thread that ended on its own is noticed within 50 ms).
        pollfd p[2] = {{fd, POLLIN, 0}, {wake_fd, POLLIN, 0}};
        poll(p, 2, record ? 5 : 50);
        zel::gui::drain();
        if (show && !record) {
          show->poll();
          if (show->finished()) finish_show();
        }
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
    if (writer) {
      const std::string e = writer->finish();
      if (status == 0 && !e.empty()) {
        error = e;
        status = 1;
      }
      writer.reset();
    }
    if (wake_fd >= 0) close(wake_fd);
    show.reset();
    if (record) {
      const std::string e = zelshow::finish_recording();
      if (status == 0 && !e.empty()) {
        error = e;
        status = 1;
      }
    }
    mng->clear_all_layers();
    mng.reset();
    // After the show: the WAV capture is complete once the device has closed.
    zelshow::close_audio();
    if (status == 0)
      std::fprintf(stderr, "zelshow: %lld frames%s%s%s%s%s\n",
                   static_cast<long long>(presented.load()), out.empty() ? "" : " written to ",
                   out.c_str(), record ? " recorded to " : "", opt.record.c_str(),
                   pacing(shown).c_str());
  }
  zelUninit();
  if (status != 0) return fail(error, status);
  return 0;
}
