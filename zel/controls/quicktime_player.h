// QuickTimePlayer: a movie player for hosts written against QuickTime. The engine has no
// QuickTime: create_quicktime_player() makes a stand-in over the engine's own MMPlayer, so it
// plays whatever the engine's media streams open. Its picture is the facet get_facet() gives,
// which the host places in a layer like any other.
//
// Times are seconds, volume 0..1. The QuickTime VR view is kept but not drawn (the engine has
// no panoramas): pan angle wraps into [0, 360), tilt is clamped to -90..90 and the field of
// view to 1..179 degrees; not-a-number leaves a value as it was. All calls are thread-safe.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <utility>

namespace qar {
class Stream;
}

namespace zel {

class Facet;

class QuickTimePlayer {
 public:
  virtual ~QuickTimePlayer() = default;

  // A path or file: URL. False (the player closed, a trace line written) when it cannot be
  // opened or played.
  virtual bool open_movie(const std::u16string& url) = 0;
  virtual bool open_movie(std::shared_ptr<qar::Stream> stream) = 0;
  virtual void close_movie() = 0;

  virtual bool play() = 0;
  virtual void pause() = 0;
  // Pauses and goes back to the start.
  virtual void stop() = 0;
  // 0 when closed; -1 when the length is unknown.
  virtual double duration() const = 0;
  // -1 when closed.
  virtual double position() const = 0;
  // Seeks (clamped to 0..duration).
  virtual void position(float seconds) = 0;
  virtual float volume() const = 0;
  // Clamped to 0..1.
  virtual void volume(float v) = 0;
  // The movie's picture size; (0, 0) when closed or without video.
  virtual std::pair<int32_t, int32_t> get_native_size() const = 0;
  // The movie's picture; empty when closed or without video.
  virtual std::shared_ptr<Facet> get_facet() const = 0;

  virtual double pan_angle() const = 0;
  virtual void pan_angle(double degrees) = 0;
  virtual double tilt_angle() const = 0;
  virtual void tilt_angle(double degrees) = 0;
  virtual double field_of_view() const = 0;
  virtual void field_of_view(double degrees) = 0;
  virtual int32_t get_node_id() const = 0;
  virtual void set_node_id(int32_t id) = 0;
};

std::shared_ptr<QuickTimePlayer> create_quicktime_player();

}  // namespace zel
