// Loading a picture in one call.
//
//   zel::il::load_result r = zel::il::load_image("photo.jpg");
//   if (!r) { std::fprintf(stderr, "%s\n", r.message.c_str()); return; }
//   facet->put_image(r.image, false);
//
// The format is told by the first bytes, never by the name: PNG, JPEG, GIF, WebP and BMP are
// built in, and image-decoder plug-ins add more. Camera pictures come upright (the EXIF
// orientation of JPEG files and of PNG eXIf chunks is applied).
//
// An animated picture (GIF, animated WebP) comes back bound to its decoder, showing frame 0 and
// playing: put it on a facet, attach the facet (BitmapImage::attach) and the render clock steps
// its frames, each after its own delay. Its loop flag is set when the file asks to be played
// round for ever (loop count 0, as nearly all do); other files play once (a finite count of
// rounds is not kept). loop() changes it.
#pragma once
#include <memory>
#include <string>

#include "qar/stream.h"
#include "zel/il/bitmap_image.h"

namespace zel {
namespace il {

// Why a picture could not be loaded.
enum class load_error {
  none = 0,     // loaded
  missing,      // the file does not exist or cannot be opened (or the stream is null)
  unsupported,  // no decoder reads this format, or this variant of it; the message names it
  truncated,    // the data ends before the picture does
  corrupt,      // the data is damaged or breaks its format's rules
  too_large,    // the picture (or its decoded frames) is larger than the engine accepts
};

// What load_image gives: the image, or an empty image with the reason.
struct load_result {
  std::shared_ptr<BitmapImage> image;  // empty unless error is none
  load_error error = load_error::none;
  // One line for a person: the file (when there is one) and the cause, e.g.
  // "'a.gif': truncated GIF: data ends in frame 3". Empty when loaded.
  std::string message;
  // Short name of the format found ("PNG", "JPEG", "GIF", "WebP", "BMP", "TIFF", ...), also for
  // formats no decoder reads; empty when the first bytes match nothing known.
  std::string format;

  explicit operator bool() const { return error == load_error::none && image; }
};

// Opens the file at `path` (UTF-8) and decodes it.
load_result load_image(const std::string& path);
// Decodes the picture that starts at the stream's current position. The stream is kept by an
// animated picture's decoder for as long as the image plays.
load_result load_image(std::shared_ptr<qar::Stream> stream);

// The name of a load_error ("missing", "unsupported", ...).
const char* to_string(load_error e);

}  // namespace il
}  // namespace zel
