#include <cerrno>
#include <cstdlib>
#include <sstream>

#include "zelshow.h"

namespace zelshow {

namespace {

bool parse_int(const std::string& s, int64_t lo, int64_t hi, int64_t& out) {
  if (s.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const long long v = std::strtoll(s.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || v < lo || v > hi) return false;
  out = v;
  return true;
}

}  // namespace

std::string usage() {
  return "usage: zelshow [options] [file ...]\n"
         "Shows the pictures (PNG, JPEG, GIF, WebP, BMP; animations play) one after another;\n"
         "other files play as audio/video, each to its end; with none, a demo scene.\n"
         "A document (page.html, page.htm, page.html#anchor, text.txt)\n"
         "is shown alone: arrows, PageUp/PageDown/Space, Home/End and the wheel scroll, a click\n"
         "follows a link (Backspace goes back), Ctrl+C copies.\n"
         "  --size WxH    output size in pixels (default 800x600)\n"
         "  --fps N       frames per second, 0 for no limit (default 25)\n"
         "  --frames N    stop after N frames (default: run until interrupted)\n"
         "  --out DIR     write every frame to DIR as frame_NNNNNN.png\n"
         "  --png-level N compression of those files, 0 (fastest) to 9 (smallest) (default 1)\n"
         "  --slide S     seconds each picture is shown (default 3)\n"
         "  --audio NAME  sound driver: OpenAL (default), DirectSound8 (SDL2) or none\n"
         "  --volume N    volume of the media, 0 to 100 (default 75)\n"
         "  --audio-out F write OpenAL's output to the WAV file F instead of a sound card\n"
         "  --loop        start again at the end instead of exiting\n"
         "  --record F    render offline into the video file F (.mp4: H.264 + AAC,\n"
         "                .webm: VP9 + Opus), as fast as frames can be made\n"
         "  --controls    the demo scene with edit boxes and a captured X window (xclock)\n"
         "  keys: Space pause, Left/Right -/+5 s, Home restart, Up/Down volume\n"
         "  --headless    render without a window even where a display is available\n"
         "  --device NAME render device: OpenGL (default) or Software (no GPU, headless)\n"
         "  --help        this text\n";
}

bool parse_options(int argc, const char* const* argv, Options& opt, std::string& error) {
  auto value = [&](int& i, const std::string& name, std::string& v) {
    if (i + 1 >= argc) {
      error = "option " + name + " needs a value";
      return false;
    }
    v = argv[++i];
    return true;
  };
  bool only_files = false;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    std::string v;
    // --name=value is accepted as well as --name value.
    const auto eq = a.find('=');
    const bool inline_value = !only_files && a.rfind("--", 0) == 0 && eq != std::string::npos;
    if (inline_value) {
      v = a.substr(eq + 1);
      a = a.substr(0, eq);
    }
    auto get = [&](std::string& out) {
      if (inline_value) {
        out = v;
        return true;
      }
      return value(i, a, out);
    };
    if (only_files || a.empty() || a[0] != '-' || a == "-") {
      opt.files.push_back(argv[i]);
    } else if (a == "--") {
      only_files = true;
    } else if (a == "--help" || a == "-h") {
      opt.help = true;
    } else if (a == "--headless") {
      opt.headless = true;
    } else if (a == "--controls") {
      opt.controls = true;
    } else if (a == "--size") {
      std::string s;
      if (!get(s)) return false;
      const auto x = s.find_first_of("xX");
      int64_t w, h;
      if (x == std::string::npos || !parse_int(s.substr(0, x), 16, 8192, w) ||
          !parse_int(s.substr(x + 1), 16, 8192, h)) {
        error = "bad --size '" + s + "' (expected WxH, each 16 to 8192)";
        return false;
      }
      opt.width = int32_t(w);
      opt.height = int32_t(h);
    } else if (a == "--fps") {
      std::string s;
      int64_t n;
      if (!get(s)) return false;
      if (!parse_int(s, 0, 1000, n)) {
        error = "bad --fps '" + s + "' (expected 0 to 1000)";
        return false;
      }
      opt.fps = int32_t(n);
    } else if (a == "--frames") {
      std::string s;
      int64_t n;
      if (!get(s)) return false;
      if (!parse_int(s, 1, int64_t(1) << 40, n)) {
        error = "bad --frames '" + s + "' (expected a positive count)";
        return false;
      }
      opt.frames = n;
    } else if (a == "--out") {
      if (!get(opt.out_dir)) return false;
      if (opt.out_dir.empty()) {
        error = "--out needs a directory";
        return false;
      }
    } else if (a == "--device") {
      std::string s;
      if (!get(s)) return false;
      if (s.empty() ||
          s.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_-") !=
              std::string::npos) {
        error = "bad --device '" + s + "' (expected a device name)";
        return false;
      }
      opt.device.assign(s.begin(), s.end());
    } else if (a == "--png-level") {
      std::string s;
      int64_t n;
      if (!get(s)) return false;
      if (!parse_int(s, 0, 9, n)) {
        error = "bad --png-level '" + s + "' (expected 0 to 9)";
        return false;
      }
      opt.png_level = int(n);
    } else if (a == "--slide") {
      std::string s;
      if (!get(s)) return false;
      char* end = nullptr;
      const double d = std::strtod(s.c_str(), &end);
      if (s.empty() || *end != '\0' || !(d >= 0.1 && d <= 3600.0)) {
        error = "bad --slide '" + s + "' (expected seconds, 0.1 to 3600)";
        return false;
      }
      opt.slide_seconds = d;
    } else if (a == "--audio") {
      if (!get(opt.audio)) return false;
      if (opt.audio != "OpenAL" && opt.audio != "DirectSound8" && opt.audio != "none") {
        error = "bad --audio '" + opt.audio + "' (expected OpenAL, DirectSound8 or none)";
        return false;
      }
    } else if (a == "--volume") {
      std::string s;
      int64_t n;
      if (!get(s)) return false;
      if (!parse_int(s, 0, 100, n)) {
        error = "bad --volume '" + s + "' (expected 0 to 100)";
        return false;
      }
      opt.volume = int32_t(n);
    } else if (a == "--audio-out") {
      if (!get(opt.audio_out)) return false;
      if (opt.audio_out.empty()) {
        error = "--audio-out needs a file name";
        return false;
      }
    } else if (a == "--loop") {
      opt.loop = true;
    } else if (a == "--record") {
      if (!get(opt.record)) return false;
      if (opt.record.empty()) {
        error = "--record needs a file name";
        return false;
      }
    } else {
      error = "unknown option '" + a + "' (see --help)";
      return false;
    }
  }
  return true;
}

}  // namespace zelshow
