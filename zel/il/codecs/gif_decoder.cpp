#include "zel/il/codecs/gif_decoder.h"

#include <gif_lib.h>

#include <algorithm>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <string>

#include "qar/trace.h"
#include "zel/il/bitmap_image.h"
#include "zel/il/codecs/failure.h"
#include "zel/il/codecs/stream_util.h"

namespace zel {
namespace codecs {

namespace {

int on_read(GifFileType* gif, GifByteType* out, int count) {
  return static_cast<GIFDecoder*>(gif->UserData)->read_input(out, count);
}

struct gif_closer {
  void operator()(GifFileType* gif) const {
    int err = 0;
    DGifCloseFile(gif, &err);
  }
};

[[noreturn]] void fail(il::load_error kind, const std::string& why) {
  report_failure(kind, "GIF", why);
  QAR_THROW(std::runtime_error("GIF: " + why));
}

// giflib's error code as a failure. Reads that come up short mean the data ended; giflib also
// reports a screen or frame descriptor it could not read in full as "no descriptor".
[[noreturn]] void fail_lib(int code, const char* where) {
  const bool ended = code == D_GIF_ERR_READ_FAILED || code == D_GIF_ERR_NO_SCRN_DSCR ||
                     code == D_GIF_ERR_NO_IMAG_DSCR;
  const char* text = GifErrorString(code);
  fail(ended ? il::load_error::truncated : il::load_error::corrupt,
       ended ? std::string("data ends ") + where
             : std::string(where) + ": " + (text ? text : "error"));
}

}  // namespace

GIFDecoder::GIFDecoder() = default;
GIFDecoder::~GIFDecoder() = default;

bool is_gif_stream(qar::Stream& stream) {
  uint8_t sig[6];
  return peek(stream, sig, 6) == 6 &&
         (std::memcmp(sig, "GIF87a", 6) == 0 || std::memcmp(sig, "GIF89a", 6) == 0);
}

int GIFDecoder::read_input(uint8_t* out, int count) {
  if (count <= 0) return 0;
  try {
    return int(read_fully(*stream_, out, size_t(count)));
  } catch (const std::exception& e) {
    QAR_TRACE_CATCH(e);
    return 0;
  }
}

image_info GIFDecoder::open(const std::shared_ptr<qar::Stream>& stream, const decoder_param*) {
  info_ = image_info();
  loops_forever_ = false;
  frames_.clear();
  restart();
  if (!stream) QAR_THROW(std::invalid_argument("GIF: no stream"));
  stream_ = stream;
  read_file();
  stream_.reset();  // everything is in memory
  return info_;
}

void GIFDecoder::read_file() {
  int err = 0;
  std::unique_ptr<GifFileType, gif_closer> gif(DGifOpen(this, &on_read, &err));
  if (!gif) fail_lib(err, "in the header");
  const int32_t sw = gif->SWidth, sh = gif->SHeight;
  if (sw <= 0 || sh <= 0) fail(il::load_error::corrupt, "empty logical screen");
  if (sw > BitmapImage::max_dimension || sh > BitmapImage::max_dimension ||
      int64_t(sw) * sh > BitmapImage::max_pixels)
    fail(il::load_error::too_large,
         "picture too large (" + std::to_string(sw) + " x " + std::to_string(sh) + ")");

  int64_t budget = max_decoded_bytes - int64_t(sw) * sh * 4;  // at most, what a frame covers
  GraphicsControlBlock gcb{DISPOSAL_UNSPECIFIED, false, 0, NO_TRANSPARENT_COLOR};
  std::vector<int32_t> delays;
  for (;;) {
    GifRecordType type = UNDEFINED_RECORD_TYPE;
    if (DGifGetRecordType(gif.get(), &type) == GIF_ERROR) fail_lib(gif->Error, "between frames");
    if (type == TERMINATE_RECORD_TYPE) break;
    if (type == EXTENSION_RECORD_TYPE) {
      int code = 0;
      GifByteType* ext = nullptr;
      if (DGifGetExtension(gif.get(), &code, &ext) == GIF_ERROR)
        fail_lib(gif->Error, "in an extension");
      if (code == GRAPHICS_EXT_FUNC_CODE && ext && ext[0] >= 4)
        DGifExtensionToGCB(ext[0], ext + 1, &gcb);
      // NETSCAPE2.0 (or ANIMEXTS1.0) then a sub-block 1, loop count: 0 means for ever.
      const bool looping = code == APPLICATION_EXT_FUNC_CODE && ext && ext[0] == 11 &&
                           (std::memcmp(ext + 1, "NETSCAPE2.0", 11) == 0 ||
                            std::memcmp(ext + 1, "ANIMEXTS1.0", 11) == 0);
      while (ext) {
        if (DGifGetExtensionNext(gif.get(), &ext) == GIF_ERROR)
          fail_lib(gif->Error, "in an extension");
        if (looping && ext && ext[0] >= 3 && ext[1] == 1)
          loops_forever_ = ext[2] == 0 && ext[3] == 0;
      }
      continue;
    }
    if (type != IMAGE_DESC_RECORD_TYPE) fail(il::load_error::corrupt, "unknown record");
    const std::string where = "in frame " + std::to_string(frames_.size() + 1);
    if (int32_t(frames_.size()) >= max_frames)
      fail(il::load_error::too_large, "more than " + std::to_string(max_frames) + " frames");
    if (DGifGetImageDesc(gif.get()) == GIF_ERROR) fail_lib(gif->Error, where.c_str());
    // giflib keeps a record of every frame it has seen; only the pixels read here are needed.
    if (gif->ImageCount > 0 && gif->SavedImages) {
      SavedImage& si = gif->SavedImages[gif->ImageCount - 1];
      if (si.ImageDesc.ColorMap) GifFreeMapObject(si.ImageDesc.ColorMap);
      si.ImageDesc.ColorMap = nullptr;
    }
    const GifImageDesc& d = gif->Image;
    if (d.Width <= 0 || d.Height <= 0) fail(il::load_error::corrupt, "empty frame " + where);
    const int64_t bytes = int64_t(d.Width) * d.Height;
    budget -= bytes + int64_t(sizeof(frame));
    if (budget < 0) fail(il::load_error::too_large, "frames too large to hold");

    frame f;
    f.left = d.Left;
    f.top = d.Top;
    f.width = d.Width;
    f.height = d.Height;
    f.disposal = gcb.DisposalMode;
    f.transparent = gcb.TransparentColor;
    const ColorMapObject* map = d.ColorMap ? d.ColorMap : gif->SColorMap;
    if (!map) fail(il::load_error::corrupt, "no colour table " + where);
    for (int i = 0; i < 256; ++i) f.palette[i] = 0xFF000000u;  // indices past the table: black
    for (int i = 0; i < map->ColorCount && i < 256; ++i) {
      const GifColorType& c = map->Colors[i];
      f.palette[i] = 0xFF000000u | uint32_t(c.Red) << 16 | uint32_t(c.Green) << 8 | c.Blue;
    }
    f.indices.reset(new uint8_t[size_t(bytes)]);  // every byte is written below
    if (!d.Interlace) {
      if (DGifGetLine(gif.get(), f.indices.get(), int(bytes)) == GIF_ERROR)
        fail_lib(gif->Error, where.c_str());
    } else {
      static const int kPassStart[4] = {0, 4, 2, 1}, kPassStep[4] = {8, 8, 4, 2};
      for (int p = 0; p < 4; ++p)
        for (int y = kPassStart[p]; y < d.Height; y += kPassStep[p])
          if (DGifGetLine(gif.get(), f.indices.get() + size_t(y) * size_t(d.Width), d.Width) ==
              GIF_ERROR)
            fail_lib(gif->Error, where.c_str());
    }
    delays.push_back(shown_delay(int64_t(gcb.DelayTime) * 10000));
    frames_.push_back(std::move(f));
    gcb = GraphicsControlBlock{DISPOSAL_UNSPECIFIED, false, 0, NO_TRANSPARENT_COLOR};
  }
  if (frames_.empty()) fail(il::load_error::corrupt, "no frames");
  // A still picture has no delay: it never steps.
  if (frames_.size() == 1) delays[0] = 0;
  delays_ = std::move(delays);
  info_.type = bimage_a8r8g8b8;
  info_.width = sw;
  info_.height = sh;
  info_.frames = int32_t(frames_.size());
  info_.frame_delay = delays_[0];
}

void GIFDecoder::restart() {
  next_ = 0;
  saved_.clear();
}

namespace {

// The part of a frame's rectangle inside the screen.
struct clip_rect {
  int32_t x0, y0, x1, y1;
  clip_rect(int32_t left, int32_t top, int32_t width, int32_t height, int32_t w, int32_t h)
      : x0(std::max(left, 0)),
        y0(std::max(top, 0)),
        x1(std::min(left + width, w)),
        y1(std::min(top + height, h)) {}
  int32_t width() const { return std::max(x1 - x0, 0); }
  int32_t height() const { return std::max(y1 - y0, 0); }
};

}  // namespace

const uint8_t* GIFDecoder::render_next(uint8_t* rows, size_t line) {
  if (next_ >= int32_t(frames_.size())) return nullptr;
  const int32_t w = info_.width, h = info_.height;
  auto row = [&](int32_t y) { return reinterpret_cast<uint32_t*>(rows + size_t(y) * line); };
  if (next_ == 0) {
    for (int32_t y = 0; y < h; ++y) std::fill(row(y), row(y) + w, 0u);  // transparent
  } else {
    // What the previous frame leaves behind: its area cleared, or what was under it.
    const frame& p = frames_[size_t(next_ - 1)];
    const clip_rect r(p.left, p.top, p.width, p.height, w, h);
    if (p.disposal == DISPOSE_BACKGROUND) {
      for (int32_t y = r.y0; y < r.y1; ++y) std::fill(row(y) + r.x0, row(y) + r.x0 + r.width(), 0u);
    } else if (p.disposal == DISPOSE_PREVIOUS && r.width() > 0 && r.height() > 0 &&
               saved_.size() == size_t(r.width()) * size_t(r.height())) {
      for (int32_t y = r.y0; y < r.y1; ++y)
        std::copy_n(saved_.data() + size_t(y - r.y0) * size_t(r.width()), r.width(), row(y) + r.x0);
    }
  }
  const frame& f = frames_[size_t(next_)];
  const clip_rect r(f.left, f.top, f.width, f.height, w, h);
  if (f.disposal == DISPOSE_PREVIOUS) {
    // A frame wholly off the screen (or of no width) has nothing under it to keep.
    try {
      saved_.resize(size_t(r.width()) * size_t(r.height()));
    } catch (const std::bad_alloc&) {
      report_failure(il::load_error::too_large, "GIF", "out of memory");
      return nullptr;
    }
    if (!saved_.empty())
      for (int32_t y = r.y0; y < r.y1; ++y)
        std::copy_n(row(y) + r.x0, r.width(), saved_.data() + size_t(y - r.y0) * size_t(r.width()));
  }
  for (int32_t y = r.y0; y < r.y1 && r.width() > 0; ++y) {
    const uint8_t* in = f.indices.get() + size_t(y - f.top) * size_t(f.width) + (r.x0 - f.left);
    uint32_t* out = row(y);
    for (int32_t x = r.x0; x < r.x1; ++x, ++in)
      if (*in != f.transparent) out[x] = f.palette[*in];
  }
  ++next_;
  return rows;
}

}  // namespace codecs
}  // namespace zel
