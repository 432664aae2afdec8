#include "zel/il/codecs/failure.h"

#include <cstring>

namespace zel {
namespace codecs {

namespace {
thread_local failure t_failure;
}

void report_failure(il::load_error kind, const char* format, std::string detail) {
  if (t_failure.kind != il::load_error::none) return;
  t_failure.kind = kind;
  t_failure.format = format ? format : "";
  t_failure.detail = std::move(detail);
}

const failure& last_failure() {
  return t_failure;
}

void clear_failure() {
  t_failure = failure();
}

std::string sniff_format_name(const unsigned char* p, size_t n) {
  auto starts = [&](const char* sig, size_t at = 0, size_t len = 0) {
    if (len == 0) len = std::strlen(sig);
    return n >= at + len && std::memcmp(p + at, sig, len) == 0;
  };
  if (n >= 8 && std::memcmp(p, "\x89PNG\r\n\x1a\n", 8) == 0) return "PNG";
  if (n >= 3 && p[0] == 0xFF && p[1] == 0xD8 && p[2] == 0xFF) return "JPEG";
  if (starts("GIF87a") || starts("GIF89a")) return "GIF";
  if (starts("RIFF") && starts("WEBP", 8)) return "WebP";
  if (starts("BM")) return "BMP";
  if (starts("II*") || starts("MM")) {
    if (n >= 4 &&
        ((p[0] == 'I' && p[2] == 42 && p[3] == 0) || (p[0] == 'M' && p[2] == 0 && p[3] == 42)))
      return "TIFF";
  }
  if (starts("ftyp", 4)) {
    if (starts("avif", 8) || starts("avis", 8)) return "AVIF";
    if (starts("heic", 8) || starts("heix", 8) || starts("mif1", 8) || starts("msf1", 8))
      return "HEIF";
    return "ISO media";
  }
  if (n >= 4 && p[0] == 0 && p[1] == 0 && p[2] == 1 && p[3] == 0) return "ICO";
  if (starts("8BPS")) return "PSD";
  if (starts("\xff\x0a") || starts("\0\0\0\x0cJXL ", 0, 8)) return "JPEG XL";
  if (starts("\0\0\0\x0cjP  ", 0, 8)) return "JPEG 2000";
  if (starts("%PDF")) return "PDF";
  if (starts("<svg") || starts("<?xml")) return "SVG/XML";
  if (starts("qoif")) return "QOI";
  if (starts("P1") || starts("P2") || starts("P3") || starts("P4") || starts("P5") || starts("P6"))
    return "PNM";
  return std::string();
}

}  // namespace codecs
}  // namespace zel
