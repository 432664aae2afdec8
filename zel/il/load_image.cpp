#include "zel/il/load_image.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <exception>

#include "qar/trace.h"
#include "zel/il/codecs/animated_decoder.h"
#include "zel/il/codecs/failure.h"
#include "zel/il/codecs/stream_util.h"
#include "zel/il/decoder.h"

namespace zel {
namespace il {

namespace {

load_result failed(load_error kind, std::string message, std::string format = std::string()) {
  load_result r;
  r.error = kind;
  r.message = std::move(message);
  r.format = std::move(format);
  return r;
}

// The failure the decoder recorded, or a plain one when it recorded none (plug-in decoders).
load_result decoder_failure(const std::string& format, const char* stage) {
  const codecs::failure& f = codecs::last_failure();
  if (f.kind == load_error::none)
    return failed(load_error::corrupt,
                  (format.empty() ? std::string("picture") : format) + " cannot be " + stage,
                  format);
  const std::string name = f.format.empty() ? format : f.format;
  std::string msg = std::string(to_string(f.kind)) + " " + name;
  if (!f.detail.empty()) msg += ": " + f.detail;
  return failed(f.kind, msg, name);
}

load_result load(std::shared_ptr<qar::Stream> stream) {
  if (!stream) return failed(load_error::missing, "no stream");
  uint8_t head[32] = {};
  size_t n = 0;
  try {
    n = codecs::peek(*stream, head, sizeof(head));
  } catch (const std::exception& e) {
    QAR_TRACE_CATCH(e);
    return failed(load_error::missing, "the stream cannot be read");
  }
  if (n == 0) return failed(load_error::truncated, "empty file");
  const std::string format = codecs::sniff_format_name(head, n);

  codecs::clear_failure();
  std::shared_ptr<ImageDecoder> decoder = ImageDecoder::create(stream, nullptr);
  if (!decoder) {
    if (codecs::last_failure().kind != load_error::none) return decoder_failure(format, "read");
    return failed(load_error::unsupported,
                  "unsupported format: " + (format.empty() ? std::string("unknown") : format),
                  format);
  }
  std::shared_ptr<Image> img;
  try {
    img = decoder->decode();
  } catch (const std::exception& e) {
    QAR_TRACE_CATCH(e);
  }
  auto bmp = std::dynamic_pointer_cast<BitmapImage>(img);
  if (!bmp || bmp->type() == bimage_none || bmp->width() <= 0 || bmp->height() <= 0) {
    load_result r = decoder_failure(format, "decoded");
    if (codecs::last_failure().kind == load_error::none && bmp && bmp->type() == bimage_none)
      r = failed(load_error::unsupported,
                 "unsupported " + (format.empty() ? std::string("picture") : format) +
                     ": pixel layout without a bitmap type",
                 format);
    return r;
  }
  codecs::clear_failure();
  if (decoder->info().frames > 1) {
    bmp->bind(decoder);
    // Played round for ever when the file asks for it, as browsers do; else once.
    auto* animated = dynamic_cast<codecs::AnimatedDecoder*>(decoder.get());
    bmp->loop(animated && animated->loops_forever());
    bmp->play();
  }
  load_result r;
  r.image = std::move(bmp);
  r.format = format;
  return r;
}

}  // namespace

const char* to_string(load_error e) {
  switch (e) {
    case load_error::none:
      return "loaded";
    case load_error::missing:
      return "missing";
    case load_error::unsupported:
      return "unsupported";
    case load_error::truncated:
      return "truncated";
    case load_error::corrupt:
      return "corrupt";
    case load_error::too_large:
      return "too large";
  }
  return "unknown";
}

load_result load_image(std::shared_ptr<qar::Stream> stream) {
  return load(std::move(stream));
}

load_result load_image(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0)
    return failed(load_error::missing, "'" + path + "': " + std::strerror(errno));
  if (S_ISDIR(st.st_mode)) return failed(load_error::missing, "'" + path + "': a folder");
  std::shared_ptr<qar::Stream> stream = qar::FileStream::open(path);
  if (!stream) return failed(load_error::missing, "'" + path + "': cannot be opened");
  load_result r = load(std::move(stream));
  if (!r) r.message = "'" + path + "': " + r.message;
  return r;
}

}  // namespace il
}  // namespace zel
