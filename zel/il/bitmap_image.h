// In-memory pictures.
//
// BitmapImage is a list of one or more uncompressed bitmaps (frames). It never converts pixels:
// rows are kept exactly as a decoder, a capture routine or the host wrote them, and readers are
// told the pixel format (bimage_type), the size and the row pitch. Row 0 is the top row and lies
// at the lowest address; every row starts on a 4-byte boundary.
//
// Image is its base: it adds playback of multi-frame pictures driven by a bound ImageDecoder and
// the render clock (update() runs on the render thread once the image is bound). IPlayable is
// the small play/pause/seek interface that Image implements.
//
// Thread safety: an Image may be used from its owner's thread while the render thread advances
// its frames; every operation of Image and BitmapImage takes the image's own lock. Pixel rows
// obtained through pixmap() are not protected once the call has returned.
#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "qar/self_allocate.h"
#include "zel/pixel_format.h"
#include "zel/renderable.h"

namespace zel {

class Facet;
class ImageDecoder;

// Where a seek position counts from.
enum class seek_whence : int32_t { begin = 0, current = 1, end = 2 };

// Play / pause / seek interface of things that play over time.
class IPlayable {
 public:
  enum player_state : int32_t { stopped = 0, paused = 1, playing = 2 };

  IPlayable() = default;
  // Copying copies the state, the rate and the loop flag.
  IPlayable(const IPlayable& other);
  IPlayable& operator=(const IPlayable& other);
  virtual ~IPlayable() = default;

  virtual void play() = 0;
  virtual void pause() = 0;
  virtual void stop() = 0;
  virtual bool seek(int64_t position, seek_whence whence) = 0;
  virtual bool seek_frame(int32_t frame) = 0;
  virtual int64_t position() const = 0;
  virtual uint64_t duration() const = 0;
  // seek(0, begin), then play() unless already playing.
  virtual void rewind();
  virtual int32_t current_frame() const = 0;
  virtual int32_t total_frames() const = 0;
  virtual void loop(bool on);
  virtual void rate(double r);

  player_state state() const { return state_.load(); }
  bool loop() const { return loop_.load(); }
  double rate() const { return rate_.load(); }

 protected:
  std::atomic<player_state> state_{stopped};
  std::atomic<double> rate_{1.0};
  std::atomic<bool> loop_{false};
};

// A picture with frames, optionally animated by a bound decoder and the render clock.
class Image : public IPlayable, public Updatable, public qar::self_allocate {
 public:
  Image();
  // Copies the picture fields and the bound decoder; the copy is not registered for updates.
  Image(const Image& other);
  Image& operator=(const Image&) = delete;
  ~Image() override;

  void play() override;
  void pause() override;
  // Same as pause(): the frame shown is kept.
  void stop() override;
  // Always 0.
  int64_t position() const override;
  // total_frames x frame_delay for decoder-made images, else 0.
  uint64_t duration() const override;
  int32_t current_frame() const override;
  int32_t total_frames() const override;

  // Binds a decoder: frame 0 is decoded into the bitmap and the image registers with the render
  // manager so that update() advances its frames. The image keeps the decoder alive (the decoder
  // then holds its produced image only weakly). An empty decoder unbinds. The result carries no
  // meaning.
  virtual int bind(std::shared_ptr<ImageDecoder> decoder);
  // Empties the image: size, type and frame counts become 0 and the loop flag is cleared.
  virtual void destroy();
  // A view of frame `index` (all ones: the current frame), or empty.
  virtual std::shared_ptr<Image> frame(uint64_t index) = 0;
  virtual bool add_frame(std::shared_ptr<Image> other) = 0;
  virtual bool set_current_frame(uint32_t n) = 0;
  virtual bool seek_next_frame() = 0;

  int32_t width() const;
  int32_t height() const;
  bimage_type type() const;
  // Time one frame stays shown, in render-clock units (microseconds); 0 for a still picture.
  int32_t frame_delay() const;
  // Render-clock time at which the current frame began; 0 when not started.
  uint64_t frame_start() const;
  // The bound decoder, or empty.
  std::shared_ptr<ImageDecoder> decoder() const;

  // Frame timer, called on the render thread with the engine time once the image is bound.
  // Public so that a host driving its own clock can call it; the render manager calls it through
  // the update list.
  void update(uint64_t now) override;

 protected:
  friend class BitmapImageDecoder;

  // Pushes the current pixels to whatever shows them; does nothing here.
  virtual void update_texture();
  // The absolute time of a seek position; the position is returned unchanged.
  int64_t get_abs_time(int64_t position, seek_whence whence) const;

  // Guards every field below and the subclass's frame list. Recursive: the frame timer calls
  // the seek operations, which call update_texture().
  mutable std::recursive_mutex mutex_;
  int32_t width_ = 0;
  int32_t height_ = 0;
  int32_t type_ = 0;
  int32_t total_frames_ = 0;
  int32_t current_frame_ = 0;
  int32_t duration_ = 0;
  int32_t frame_delay_ = 0;
  uint64_t frame_start_ = 0;
  std::shared_ptr<ImageDecoder> decoder_;
};

// A list of uncompressed bitmaps (frames); frames are shared, never copied, between images.
class BitmapImage : public Image {
 public:
  // The record at the head of each frame's storage block.
  struct bitmap_image {
    int32_t width;
    int32_t height;
    bimage_type type;
    int32_t line_size;
    int32_t reserved[2];
    uint8_t* pixels;   // row 0
    uint8_t* palette;  // 3 bytes per entry, or null for types without a palette
    uint8_t* trans;    // transparency table; the engine never makes one (always null)
  };
  // Releases a frame block with free().
  struct image_allocator_and_deleter {
    void operator()(bitmap_image* block) const;
  };
  using frame_ptr = std::shared_ptr<bitmap_image>;

  // Largest width or height and largest pixel count that create() accepts. Larger requests
  // throw std::bad_alloc (after a throw trace) without allocating.
  static constexpr int32_t max_dimension = 1 << 16;
  static constexpr int64_t max_pixels = int64_t(1) << 28;

  BitmapImage();
  // Copies the Image fields, the frame list (pixels shared) and the attached facet.
  BitmapImage(const BitmapImage& other);
  ~BitmapImage() override;

  // Bytes per row for a width and type: bits x width rounded up to 32 bits; 0 for types
  // without a bit count (and for a negative width).
  static int32_t calc_line_size(int32_t width, uint32_t type);
  // Palette entries of a type: 2, 16, 256 for the paletted types, else 0.
  static int32_t palette_entries(uint32_t type);

  // Replaces the image by one new frame of the given size and type (pixels and palette not
  // initialised). Returns false, changing nothing, for a negative size; throws std::bad_alloc
  // for a size beyond max_dimension / max_pixels or when memory runs out.
  bool create(int32_t width, int32_t height, uint32_t type);
  // Replaces the image by one frame wrapping the caller's rows at `bits` (kept alive by the
  // caller while the image uses them). A pitch of 0 means the computed line size. For paletted
  // types the palette lives in the frame block and the rows begin palette-size bytes after
  // `bits`. Returns false, changing nothing, for a negative size, a null buffer with a non-zero
  // size, or a pitch smaller than a row.
  bool attach(int32_t width, int32_t height, bimage_type type, void* bits, int32_t pitch);
  // Remembers the facet whose texture update_texture() refreshes (held weakly).
  void attach(std::shared_ptr<Facet> facet);
  // The owner of the pixels calls this after writing them: refreshes the attached facet.
  void content_updated();

  // Start of `row` of the current frame's bitmap (clamped into 0..height-1), or null without
  // frames.
  uint8_t* pixmap(int32_t row);
  const uint8_t* pixmap(int32_t row) const;
  uint8_t* palette();
  const uint8_t* palette() const;
  uint8_t* trans();
  const uint8_t* trans() const;
  // The current frame's bytes per row; 0 without frames.
  int32_t line_size() const;
  // Number of frame records held (a bound image holds one whatever total_frames says).
  size_t frame_count() const;

  bool seek(int64_t position, seek_whence whence) override;
  bool seek_frame(int32_t n) override;
  bool seek_next_frame() override;
  // current_frame = n modulo total_frames; false (nothing changes) when there are no frames.
  bool set_current_frame(uint32_t n) override;
  // A new image sharing frame `n`'s pixels (all ones: the current frame), reporting that
  // frame's width, height and type with one frame; empty when n is out of range.
  std::shared_ptr<Image> frame(uint64_t n) override;
  // Appends the frames of another BitmapImage (pixels shared); an empty pointer changes nothing.
  // Returns false only when `other` is not a BitmapImage.
  bool add_frame(std::shared_ptr<Image> other) override;
  void destroy() override;

 protected:
  // A view holding one existing frame record.
  explicit BitmapImage(frame_ptr frame);
  // The frame record for an index: the first one when a decoder is bound, empty when out of
  // range. Caller holds mutex_.
  frame_ptr get_frame(int32_t index) const;
  void update_texture() override;

 private:
  static frame_ptr alloc_frame(int32_t width, int32_t height, uint32_t type, int32_t line_size,
                               bool with_rows);
  void reset_with(frame_ptr frame, int32_t width, int32_t height, uint32_t type);

  std::vector<frame_ptr> frames_;
  std::weak_ptr<Facet> facet_;
};

}  // namespace zel
