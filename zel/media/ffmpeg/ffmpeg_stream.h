// The built-in media stream, registered last among the stream creators as
// "Direct Show MultiMedia Stream": FFmpeg demuxes and decodes the host's qar::Stream.
//
// Implements:
//  - the reader (stream_reader.h) -> demuxer -> decoders; the demuxer runs on the thread
//    "DSSourceFilter worker" (named "DSSourceFilter", the system's limit), each substream decodes
//    on a streaming thread of its own ("zel video", "zel audio");
//  - video: every picture scaled to the output size (the header's size, 1..8192 each) into
//    bimage_x8r8g8b8, swapped into the staging texture made at open, with its times and the
//    new-frame flag under one lock;
//  - audio: signed 16-bit, at most two channels, chunks of at most 20 ms carrying their stream
//    time; the first chunk ever is silence;
//  - the master clock: the played samples while sound plays, otherwise a steady clock that
//    stands still while paused; without an audio driver (or when it cannot make a source) the
//    file plays silently on the steady clock;
//  - the engine-time clock for offline rendering (follow_engine_time): update() waits for the
//    decoders, the sound starts in the frame the clock starts;
//  - play / pause / stop / tell / seek (exact to the picture; a paused seek returns once the new
//    picture is in the staging texture); frames counted from the video's frame rate;
//  - seek generations: no data decoded before a seek reaches an output after it;
//  - the end: is_eos and paused, or, looping, a restart whose sound follows the queued sound;
//  - bounded queues and waits that end on stop, seek or destruction; an interrupt callback and
//    a deadline on every demuxer call, so that no input can hang a thread.
#pragma once
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "zel/media/media_stream.h"

namespace zel {
namespace ffmpeg {

class FFmpegStream : public MultiMediaStream {
 public:
  FFmpegStream();
  ~FFmpegStream() override;

  // Throws std::runtime_error when the data holds no playable picture or sound.
  bool open(std::shared_ptr<qar::Stream> source) override;
  bool play() override;
  void pause() override;
  // Pauses; the position stays.
  virtual void stop();
  int64_t tell() override;
  int64_t seek(int64_t position, int whence) override;
  int64_t tell_frames() override;
  int64_t seek_frames(int64_t frames, int whence) override;
  // Render thread: pulls the newest picture unless the video is disabled.
  void update(uint64_t now) override;
  // A disabled video keeps its last picture; disabled sound plays silently (the clock runs on).
  void disable_video(bool on) override;
  void disable_audio(bool on) override;
  bool follow_engine_time(bool on) override;

  // The processing stages, named as the host's graph names them: "Source Filter", the splitter
  // chosen from the first bytes, "Null Render 1" with a picture, "Null Render 2" with sound.
  std::vector<std::string> filter_names() const;

  // The creator: an opened stream, or empty when the data cannot be played.
  static std::shared_ptr<MultiMediaStream> create(std::shared_ptr<qar::Stream> source);

 private:
  struct Impl;
  void close();
  // Replaced by open and close under impl_mutex_, which update() holds when it follows the
  // engine time (otherwise the render thread never touches it).
  std::unique_ptr<Impl> impl_;
  std::mutex impl_mutex_;
  std::atomic<bool> video_off_{false};
  std::atomic<bool> follow_{false};
};

}  // namespace ffmpeg
}  // namespace zel
