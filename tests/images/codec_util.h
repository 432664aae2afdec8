// In-memory GIF, WebP and EXIF writers for the image tests, over giflib, libwebp and libexif.
#pragma once
#include <gif_lib.h>
#include <libexif/exif-data.h>
#include <webp/encode.h>
#include <webp/mux.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace images_test {

using bytes = std::vector<uint8_t>;

struct gif_frame {
  int left, top, width, height, delay_cs;
  int disposal;     // DISPOSE_DO_NOT, DISPOSE_BACKGROUND, DISPOSE_PREVIOUS
  int transparent;  // index, or -1
  std::vector<uint8_t> indices;
  bool interlace = false;
};

// A GIF of the given screen size whose global palette is `rgb` (3 bytes per entry, 2^k
// entries); `loop` writes the NETSCAPE2.0 block.
inline bytes encode_gif(int w, int h, const std::vector<uint8_t>& rgb,
                        const std::vector<gif_frame>& frames, bool loop = true) {
  bytes out;
  int err = 0;
  GifFileType* g = EGifOpen(
      &out,
      [](GifFileType* f, const GifByteType* p, int n) {
        auto* o = static_cast<bytes*>(f->UserData);
        o->insert(o->end(), p, p + n);
        return n;
      },
      &err);
  std::vector<GifColorType> colors(rgb.size() / 3);
  std::memcpy(colors.data(), rgb.data(), rgb.size());
  ColorMapObject* map = GifMakeMapObject(int(colors.size()), colors.data());
  EGifSetGifVersion(g, true);
  EGifPutScreenDesc(g, w, h, 8, 0, map);
  if (loop) {
    EGifPutExtensionLeader(g, APPLICATION_EXT_FUNC_CODE);
    EGifPutExtensionBlock(g, 11, "NETSCAPE2.0");
    const uint8_t sub[3] = {1, 0, 0};
    EGifPutExtensionBlock(g, 3, sub);
    EGifPutExtensionTrailer(g);
  }
  for (const gif_frame& f : frames) {
    GraphicsControlBlock gcb{f.disposal, false, f.delay_cs, f.transparent};
    GifByteType ext[4];
    EGifGCBToExtension(&gcb, ext);
    EGifPutExtension(g, GRAPHICS_EXT_FUNC_CODE, 4, ext);
    EGifPutImageDesc(g, f.left, f.top, f.width, f.height, f.interlace, nullptr);
    static const int start[4] = {0, 4, 2, 1}, step[4] = {8, 8, 4, 2};
    for (int p = 0; p < (f.interlace ? 4 : 1); ++p)
      for (int y = f.interlace ? start[p] : 0; y < f.height; y += f.interlace ? step[p] : 1)
        EGifPutLine(g, const_cast<GifPixelType*>(&f.indices[size_t(y) * f.width]), f.width);
  }
  GifFreeMapObject(map);
  EGifCloseFile(g, &err);
  return out;
}

// Lossless still WebP of RGBA pixels.
inline bytes encode_webp(int w, int h, const bytes& rgba, bool lossless = true) {
  uint8_t* mem = nullptr;
  const size_t n = lossless ? WebPEncodeLosslessRGBA(rgba.data(), w, h, w * 4, &mem)
                            : WebPEncodeRGBA(rgba.data(), w, h, w * 4, 80, &mem);
  bytes out(mem, mem + n);
  WebPFree(mem);
  return out;
}

// Lossless animated WebP; frame i is shown for durations_ms[i].
inline bytes encode_webp_anim(int w, int h, const std::vector<bytes>& frames_rgba,
                              const std::vector<int>& durations_ms) {
  WebPAnimEncoderOptions opts;
  WebPAnimEncoderOptionsInit(&opts);
  WebPAnimEncoder* enc = WebPAnimEncoderNew(w, h, &opts);
  WebPConfig config;
  WebPConfigInit(&config);
  config.lossless = 1;
  int t = 0;
  for (size_t i = 0; i < frames_rgba.size(); ++i) {
    WebPPicture pic;
    WebPPictureInit(&pic);
    pic.width = w, pic.height = h, pic.use_argb = 1;
    WebPPictureImportRGBA(&pic, frames_rgba[i].data(), w * 4);
    WebPAnimEncoderAdd(enc, &pic, t, &config);
    WebPPictureFree(&pic);
    t += durations_ms[i];
  }
  WebPAnimEncoderAdd(enc, nullptr, t, nullptr);
  WebPData data;
  WebPDataInit(&data);
  WebPAnimEncoderAssemble(enc, &data);
  bytes out(data.bytes, data.bytes + data.size);
  WebPDataClear(&data);
  WebPAnimEncoderDelete(enc);
  return out;
}

// An EXIF block ("Exif\0\0" and the TIFF structure) holding only the orientation tag.
inline bytes exif_with_orientation(int orientation,
                                   ExifByteOrder order = EXIF_BYTE_ORDER_MOTOROLA) {
  ExifData* ed = exif_data_new();
  exif_data_set_byte_order(ed, order);
  ExifEntry* e = exif_entry_new();
  exif_content_add_entry(ed->ifd[EXIF_IFD_0], e);
  exif_entry_initialize(e, EXIF_TAG_ORIENTATION);
  exif_set_short(e->data, order, ExifShort(orientation));
  exif_entry_unref(e);
  unsigned char* buf = nullptr;
  unsigned int size = 0;
  exif_data_save_data(ed, &buf, &size);
  bytes out(buf, buf + size);
  std::free(buf);
  exif_data_unref(ed);
  return out;
}

}  // namespace images_test
