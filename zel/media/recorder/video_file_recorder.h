// Records a presentation to a video file with libavcodec and libavformat.
//
// What it implements:
//  - the container and codecs chosen by the file's extension: ".mp4" H.264 (libx264; MPEG-4
//    part 2 where libx264 is missing) with AAC; ".webm" VP9 (libvpx-vp9; VP8 where missing) with
//    Opus (libopus; FFmpeg's own Opus encoder where missing);
//  - frames read back from the render device on the render thread (on_frame, called from the
//    render manager's frame hook), with the sound of the same frame period pulled from the host's
//    audio callback at that moment, so that picture and sound stay in step however fast frames
//    are drawn;
//  - conversion (BGRA to YUV 4:2:0, S16 to the encoder's sample format and rate), encoding and
//    muxing on a writer thread of its own behind a bounded queue: the render thread waits when
//    the writer is that far behind, and no frame is dropped.
//
// Frame n (from 1) has the presentation time (n - 1) / fps; its sound is the samples from
// floor((n - 1) * rate / fps) up to floor(n * rate / fps).
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace zel {

class BitmapImage;
class RenderDevice;

namespace recorder {

struct recorder_options {
  std::string path;  // ".mp4" or ".webm"
  int32_t fps = 25;
  int32_t sample_rate = 48000;  // of the PCM the audio callback gives
  int32_t channels = 2;         // 1 or 2
  bool audio = true;            // false: a file without a sound track
  int32_t quality = 23;         // the encoders' constant-quality level (lower is better)
  size_t queue_limit = 8;       // frames waiting for the writer before on_frame waits
};

class VideoFileRecorder {
 public:
  // Fills `frames` frames of interleaved signed 16-bit PCM (channels per frame).
  using AudioPull = std::function<void(int16_t* pcm, int32_t frames)>;

  VideoFileRecorder();
  // Finishes the file when finish() was not called.
  ~VideoFileRecorder();
  VideoFileRecorder(const VideoFileRecorder&) = delete;
  VideoFileRecorder& operator=(const VideoFileRecorder&) = delete;

  // Creates the file for pictures of width x height (odd sizes are scaled to the even size
  // below) and starts the writer. False with error() set (one line) on failure.
  bool open(const recorder_options& opt, int32_t width, int32_t height, AudioPull pull = {});
  // Render thread, from the frame hook: reads frame `n` back and queues it with its sound.
  // False (and the recording failed, error() says why) when the frame cannot be read or an
  // earlier write failed.
  bool on_frame(RenderDevice& device, uint64_t n);
  // Queues a picture (32-bit, bytes blue, green, red, alpha, rows top-down) as frame `n`.
  bool put(uint64_t n, std::shared_ptr<BitmapImage> frame);
  // Encodes what is queued, flushes the encoders and closes the file. The first error, or empty.
  std::string finish();

  std::string error() const;
  // The encoders in use ("libx264", "aac", ...); empty before open.
  std::string video_codec() const;
  std::string audio_codec() const;
  uint64_t frames_written() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace recorder
}  // namespace zel
