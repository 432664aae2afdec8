#include "zel/il/codecs/jpeg_decoder.h"

#include <jerror.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "qar/trace.h"
#include "zel/il/bitmap_image.h"
#include "zel/il/codecs/failure.h"
#include "zel/il/codecs/orientation.h"
#include "zel/il/il_errors.h"

// libjpeg reports errors through error_exit, which here longjmps to the setjmp point of the
// call in progress. The functions that hold a setjmp point (create, read_header, read_rows,
// finish) and the libjpeg callbacks keep no object with a destructor alive across libjpeg
// calls, so a longjmp skips no C++ cleanup.

namespace zel {
namespace intenal {

namespace {

// Memory libjpeg may use for one picture (progressive pictures keep all coefficients).
constexpr long kMaxDecoderMemory = 512L << 20;

JPEGDecoder* self_of(j_decompress_ptr cinfo) {
  return static_cast<JPEGDecoder*>(cinfo->client_data);
}

}  // namespace

JPEGDecoder::JPEGDecoder() = default;

JPEGDecoder::~JPEGDecoder() {
  release();
}

void JPEGDecoder::release() {
  if (cinfo_) {
    // jpeg_destroy_decompress cannot fail; it also frees the input buffer (permanent pool).
    jpeg_destroy_decompress(cinfo_);
    std::free(cinfo_);
  }
  cinfo_ = nullptr;
  buffer_ = nullptr;
  opened_ = false;
}

void JPEGDecoder::on_error_exit(j_common_ptr cinfo) {
  auto* err = reinterpret_cast<error_mgr*>(cinfo->err);
  auto* self = static_cast<JPEGDecoder*>(cinfo->client_data);
  if (self) (*cinfo->err->format_message)(cinfo, self->error_);
  std::longjmp(err->jump, 1);
}

// A picture is judged by the rows its scans really delivered. When a scan's entropy-coded data
// runs into the end of the image (the file's own end marker, or the one made up when the
// stream runs dry: the bytes are the same), the rest of the scan would be made up of zeros, so
// the decode ends there, the same way whichever end the data had. Other warnings (bad codes,
// lost restart markers, stray bytes) leave the scans complete and are not reported.
// Arithmetic-coded scans give no such warning: for them the stream running dry is the sign.
void JPEGDecoder::on_emit_message(j_common_ptr cinfo, int msg_level) {
  if (msg_level >= 0) return;  // trace messages
  auto* d = reinterpret_cast<j_decompress_ptr>(cinfo);
  if (cinfo->err->msg_code == JWRN_HIT_MARKER && d->unread_marker == JPEG_EOI) {
    JPEGDecoder* self = self_of(d);
    const uint64_t row = uint64_t(d->input_iMCU_row) * unsigned(d->max_v_samp_factor) * DCTSIZE;
    std::snprintf(self->error_, sizeof(self->error_), "data ends before row %u of %u",
                  unsigned(std::min<uint64_t>(row, d->image_height)), d->image_height);
    std::longjmp(self->err_.jump, 1);
  }
  ++cinfo->err->num_warnings;
}

void JPEGDecoder::on_init_source(j_decompress_ptr) {}

void JPEGDecoder::on_term_source(j_decompress_ptr) {}

boolean JPEGDecoder::on_fill_input_buffer(j_decompress_ptr cinfo) {
  JPEGDecoder* self = self_of(cinfo);
  int64_t n = 0;
  try {
    n = self->stream_->read(self->buffer_, int64_t(input_buffer_size));
  } catch (const std::exception& e) {
    QAR_TRACE_CATCH(e);
    n = -1;
  } catch (...) {
    n = -1;
  }
  if (n < 0) {
    // A failing stream is not a short file: nothing more can be trusted.
    std::snprintf(self->error_, sizeof(self->error_), "stream read error");
    std::longjmp(self->err_.jump, 1);
  }
  if (n == 0) {
    // The data ends: warn and make up an end-of-image marker so that the library stops cleanly.
    self->data_ended_ = true;
    WARNMS(cinfo, JWRN_JPEG_EOF);
    self->buffer_[0] = 0xFF;
    self->buffer_[1] = JPEG_EOI;
    n = 2;
  } else {
    self->bytes_read_ += n;
  }
  cinfo->src->next_input_byte = self->buffer_;
  cinfo->src->bytes_in_buffer = size_t(n);
  return TRUE;
}

void JPEGDecoder::on_skip_input_data(j_decompress_ptr cinfo, long count) {
  if (count <= 0) return;
  JPEGDecoder* self = self_of(cinfo);
  jpeg_source_mgr* src = cinfo->src;
  size_t n = size_t(count);
  while (n > src->bytes_in_buffer) {
    n -= src->bytes_in_buffer;
    src->bytes_in_buffer = 0;
    on_fill_input_buffer(cinfo);
    // At the end of the data the made-up marker must stay readable.
    if (self->data_ended_) return;
  }
  src->next_input_byte += n;
  src->bytes_in_buffer -= n;
}

bool JPEGDecoder::create() {
  if (setjmp(err_.jump)) return false;
  jpeg_create_decompress(cinfo_);
  cinfo_->client_data = this;
  cinfo_->mem->max_memory_to_use = kMaxDecoderMemory;
  buffer_ = static_cast<JOCTET*>((*cinfo_->mem->alloc_small)(reinterpret_cast<j_common_ptr>(cinfo_),
                                                             JPOOL_PERMANENT, input_buffer_size));
  return true;
}

bool JPEGDecoder::read_header() {
  if (setjmp(err_.jump)) return false;
  // The EXIF block (APP1) carries the orientation of camera pictures.
  jpeg_save_markers(cinfo_, JPEG_APP0 + 1, 0xFFFF);
  jpeg_read_header(cinfo_, TRUE);
  for (jpeg_saved_marker_ptr m = cinfo_->marker_list; m; m = m->next)
    if (m->marker == JPEG_APP0 + 1 && m->data_length >= 6 &&
        std::memcmp(m->data, "Exif\0\0", 6) == 0) {
      orientation_ = codecs::exif_orientation(m->data, m->data_length, false);
      break;
    }
  if (cinfo_->image_width > JDIMENSION(BitmapImage::max_dimension) ||
      cinfo_->image_height > JDIMENSION(BitmapImage::max_dimension) ||
      uint64_t(cinfo_->image_width) * cinfo_->image_height > uint64_t(il::get_decode_limit())) {
    std::snprintf(error_, sizeof(error_), "picture too large (%u x %u)", cinfo_->image_width,
                  cinfo_->image_height);
    return false;
  }
  switch (cinfo_->jpeg_color_space) {
    case JCS_GRAYSCALE:
    case JCS_YCbCr:
    case JCS_RGB:
      cinfo_->out_color_space = JCS_EXT_BGR;
      cmyk_ = false;
      break;
    case JCS_CMYK:
    case JCS_YCCK:
      cinfo_->out_color_space = JCS_CMYK;
      cmyk_ = true;
      // Adobe's applications write CMYK inverted (0 = full ink) and mark the file.
      adobe_inverted_ = cinfo_->saw_Adobe_marker;
      break;
    default:
      std::snprintf(error_, sizeof(error_), "unsupported colour space %d (%d components)",
                    int(cinfo_->jpeg_color_space), cinfo_->num_components);
      return false;
  }
  // The output size is known now; decompression starts (and, for a picture of several scans,
  // reads them all) in decode().
  jpeg_calc_output_dimensions(cinfo_);
  opened_ = true;
  return true;
}

bool JPEGDecoder::start() {
  if (setjmp(err_.jump)) return false;
  jpeg_start_decompress(cinfo_);
  return true;
}

image_info JPEGDecoder::open(const std::shared_ptr<qar::Stream>& stream, const decoder_param*) {
  release();
  info_ = image_info();
  decoded_ = false;
  data_ended_ = false;
  orientation_ = 1;
  bytes_read_ = 0;
  error_[0] = 0;
  if (!stream) QAR_THROW(std::invalid_argument("JPEG: no stream"));
  stream_ = stream;

  cinfo_ = static_cast<jpeg_decompress_struct*>(std::calloc(1, sizeof(jpeg_decompress_struct)));
  if (!cinfo_) QAR_THROW(bad_allocation());
  cinfo_->err = jpeg_std_error(&err_.pub);
  err_.pub.error_exit = &JPEGDecoder::on_error_exit;
  err_.pub.emit_message = &JPEGDecoder::on_emit_message;
  cinfo_->client_data = this;
  if (!create()) {
    release();  // frees whatever the library had set up
    QAR_THROW(bad_allocation());
  }

  src_.next_input_byte = nullptr;
  src_.bytes_in_buffer = 0;
  src_.init_source = &JPEGDecoder::on_init_source;
  src_.fill_input_buffer = &JPEGDecoder::on_fill_input_buffer;
  src_.skip_input_data = &JPEGDecoder::on_skip_input_data;
  src_.resync_to_restart = &jpeg_resync_to_restart;
  src_.term_source = &JPEGDecoder::on_term_source;
  cinfo_->src = &src_;

  if (!read_header()) {
    const std::string why = error_;
    codecs::report_failure(data_ended_                              ? il::load_error::truncated
                           : why.rfind("picture too large", 0) == 0 ? il::load_error::too_large
                           : why.rfind("unsupported", 0) == 0       ? il::load_error::unsupported
                                                                    : il::load_error::corrupt,
                           "JPEG", why);
    release();
    QAR_THROW(std::runtime_error("JPEG: " + why));
  }
  info_.type = bimage_r8g8b8;
  info_.width = int32_t(cinfo_->output_width);
  info_.height = int32_t(cinfo_->output_height);
  if (codecs::swaps_axes(orientation_)) std::swap(info_.width, info_.height);
  return info_;
}

bool JPEGDecoder::read_rows(uint8_t* rows, size_t line_size, JDIMENSION end, uint8_t* cmyk_row) {
  if (setjmp(err_.jump)) return false;
  const JDIMENSION width = cinfo_->output_width;
  if (!cmyk_) {
    // Straight into the bitmap, as many rows per call as the library produces at once.
    JSAMPROW batch[16];
    const JDIMENSION per_call = JDIMENSION(std::clamp(cinfo_->rec_outbuf_height, 1, 16));
    while (cinfo_->output_scanline < end && !(data_ended_ && cinfo_->arith_code)) {
      const JDIMENSION first = cinfo_->output_scanline;
      const JDIMENSION n = std::min(per_call, end - first);
      for (JDIMENSION i = 0; i < n; ++i) batch[i] = rows + size_t(first + i) * line_size;
      if (jpeg_read_scanlines(cinfo_, batch, n) == 0) break;
    }
    return true;
  }
  while (cinfo_->output_scanline < end && !(data_ended_ && cinfo_->arith_code)) {
    uint8_t* out = rows + size_t(cinfo_->output_scanline) * line_size;
    JSAMPROW row = cmyk_row;
    if (jpeg_read_scanlines(cinfo_, &row, 1) != 1) break;
    const uint8_t* in = cmyk_row;
    for (JDIMENSION x = 0; x < width; ++x, in += 4, out += 3) {
      unsigned c = in[0], m = in[1], y = in[2], k = in[3];
      if (!adobe_inverted_) {
        c = 255 - c;
        m = 255 - m;
        y = 255 - y;
        k = 255 - k;
      }
      // Now 255 means no ink: each channel is (1 - ink) x (1 - black).
      out[0] = uint8_t((y * k + 127) / 255);
      out[1] = uint8_t((m * k + 127) / 255);
      out[2] = uint8_t((c * k + 127) / 255);
    }
  }
  return true;
}

bool JPEGDecoder::finish() {
  if (setjmp(err_.jump)) return false;
  jpeg_finish_decompress(cinfo_);
  return true;
}

std::shared_ptr<Image> JPEGDecoder::decode() {
  if (!cinfo_ || !opened_ || decoded_) return nullptr;
  decoded_ = true;
  // The first row goes into a row of its own: a header can promise far more than the file
  // holds, so the bitmap is allocated only once real data has arrived. Rows are read as stored;
  // when the orientation turns them they go through a buffer of their own.
  const size_t stored_line = (size_t(cinfo_->output_width) * 3 + 3) & ~size_t(3);
  std::vector<uint8_t> first_row, cmyk_row, unturned;
  try {
    first_row.resize(stored_line);
    if (cmyk_) cmyk_row.resize(size_t(cinfo_->output_width) * 4);
  } catch (const std::exception& e) {
    QAR_TRACE_CATCH(e);
    return nullptr;
  }
  bool ok = start() && read_rows(first_row.data(), stored_line, 1, cmyk_row.data());
  std::shared_ptr<Image> img;
  BitmapImage* bmp = nullptr;
  if (ok && cinfo_->output_scanline == 1) {
    try {
      img = get_image();
      if (orientation_ != 1) unturned.resize(stored_line * cinfo_->output_height);
    } catch (const std::exception& e) {
      QAR_TRACE_CATCH(e);
      return nullptr;
    }
    if (img->type() == bimage_none) return img;
    bmp = static_cast<BitmapImage*>(img.get());
    uint8_t* const rows = orientation_ == 1 ? bmp->pixmap(0) : unturned.data();
    const size_t line = orientation_ == 1 ? size_t(bmp->line_size()) : stored_line;
    std::memcpy(rows, first_row.data(), stored_line);
    ok = read_rows(rows, line, cinfo_->output_height, cmyk_row.data());
  }
  if (ok && cinfo_->output_scanline < cinfo_->output_height) {
    std::snprintf(error_, sizeof(error_), "data ends before row %u of %u", cinfo_->output_scanline,
                  cinfo_->output_height);
    ok = false;
  }
  if (!ok) {
    const bool cut = data_ended_ || std::strncmp(error_, "data ends", 9) == 0;
    codecs::report_failure(cut ? il::load_error::truncated : il::load_error::corrupt, "JPEG",
                           error_);
    qar::tracef(qar::trace_level::info, "JPEG: decoding failed: %s", error_);
    if (bmp) bmp->destroy();
    image_.reset();
    return nullptr;
  }
  if (orientation_ != 1)
    codecs::apply_orientation(unturned.data(), int32_t(cinfo_->output_width),
                              int32_t(cinfo_->output_height), stored_line, 3, bmp->pixmap(0),
                              size_t(bmp->line_size()), orientation_);
  // Whatever follows the last row (up to the end marker) is read and checked, not needed.
  if (!finish()) qar::tracef(qar::trace_level::info, "JPEG: after the picture data: %s", error_);
  return img;
}

}  // namespace intenal
}  // namespace zel
