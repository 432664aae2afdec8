// The system clipboard.
//
// Clipboard is a scoped handle: open() takes the process's clipboard session, paste*() put
// text, HTML and pictures on the clipboard, get*() read what is there, close() (or the
// destructor) ends the session. An operation on a clipboard that is not open opens it for the
// duration of that call only.
//
// Where an X server is reachable (DISPLAY set and not empty) the clipboard is the X11 CLIPBOARD
// selection, owned by a hidden window of the engine's own served by a thread of its own; with no
// display it is a clipboard local to this process with the same behaviour.
//
// What goes on the clipboard, by target (the names other programs ask for):
//   text     UTF8_STRING, "text/plain;charset=utf-8", STRING (Latin-1, '?' for other
//            characters), TEXT
//   HTML     "text/html" (the HTML text as given, UTF-8) and "HTML Format" (the text wrapped
//            with the Version / StartHTML / EndHTML / StartFragment / EndFragment header)
//   picture  "image/png" and "image/bmp" (a BMP file: file header, 40-byte info header, colour
//            masks for the 16- and 32-bit formats, rows bottom-up)
// A paste replaces the data of its kind and keeps the other kinds this process put there;
// erase() empties the clipboard. Data another program owns is never merged with ours.
//
// Thread safety: one session is open at a time in the process. A Clipboard is used by one
// thread from opening to closing; open() on a thread that already holds the session joins it,
// open() on another thread waits for the session to end (at most timeout()) and fails after.
// Copies of an open Clipboard share its session, which ends when the last of them closes.
// Nothing here throws; every failure is a false result.
#pragma once
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace zel {

class Clipboard {
 public:
  // With open_now, open() is called.
  explicit Clipboard(bool open_now = false);
  Clipboard(const Clipboard& other);
  Clipboard& operator=(const Clipboard& other);
  // Calls close().
  ~Clipboard();

  // True while this object holds the clipboard session.
  explicit operator bool() const { return session_ != nullptr; }

  // Takes the clipboard session unless this object holds it already; false when it could not.
  bool open();
  // Ends this object's hold of the session.
  void close();
  // Empties the clipboard (opening it for the call when needed).
  void erase();

  // Puts UTF-16 text on the clipboard. length -1: `text` is zero-terminated; otherwise the
  // count of code units (a zero unit ends the text early). False for null, empty or otherwise
  // invalid input, or when the clipboard could not be taken.
  bool paste(const char16_t* text, int32_t length = -1);
  bool paste(const std::u16string& text);
  // Puts an HTML text (UTF-8) on the clipboard. length -1: zero-terminated; otherwise a byte
  // count (a zero byte ends the text early). False for null or empty text, a text too long for
  // the header's eight-digit offsets, or when the clipboard could not be taken.
  bool paste_html(const char* html, int32_t length = -1);
  // Puts a picture on the clipboard as PNG and BMP. `pixels` holds `height` top-down rows
  // `pitch` bytes apart in the pixel format `format` (zel/pixel_format.h): bimage_x1r5g5b5,
  // bimage_a1r5g5b5, bimage_r5g6b5, bimage_r8g8b8, bimage_x8r8g8b8 or bimage_a8r8g8b8. False for
  // another format, a non-positive size, a pitch shorter than a row, or a picture too large.
  bool paste_img(const void* pixels, int32_t width, int32_t height, int32_t pitch, uint32_t format);

  // Reads the clipboard's text. The buffer form copies at most `size` code units and pads with
  // zeros (no terminator when the text fills the buffer). True when there was text.
  bool get(char16_t* buffer, int32_t size);
  bool get(std::u16string& text);
  bool get(std::u16string& text, std::chrono::milliseconds timeout);
  // The "text/html" data (UTF-8), or false when there is none.
  bool get_html(std::string& html);
  // The raw bytes of any target ("image/png", "HTML Format", ...), or false when the owner
  // does not offer it.
  bool get_data(const std::string& target, std::string& bytes);
  // The names of the targets the clipboard's owner offers.
  bool get_targets(std::vector<std::string>& targets);

  // How long a read waits for the clipboard's owner, and open() for another thread's session
  // (default two seconds).
  static void set_timeout(std::chrono::milliseconds timeout);
  static std::chrono::milliseconds timeout();
  // Stops the clipboard's connection and thread (the engine's shutdown calls it). Data this
  // process put on the X clipboard stays available until then. The next use starts again.
  static void shutdown();
  // True when the clipboard is the X11 CLIPBOARD selection, false for the local one.
  static bool is_system();

  class Session;

 private:
  std::shared_ptr<Session> session_;
};

namespace clip {

// One target's data as the owner hands it out: the X type name of the data and its bytes.
struct Item {
  std::string type;
  std::string bytes;
};

// Everything one owner offers, by target name. Never changed once published.
struct Content {
  std::vector<std::pair<std::string, Item>> items;
  const Item* find(const std::string& target) const;
};

// Why a read gave no data.
enum class ReadStatus { ok, refused, timed_out, failed };

// Where the clipboard's data lives: the X11 selection, or this process.
class Backend {
 public:
  virtual ~Backend() = default;
  // Makes `content` the clipboard's content (this process becomes the owner). False when
  // ownership could not be taken.
  virtual bool publish(std::shared_ptr<const Content> content) = 0;
  // The content this process owns, or null when another program owns the clipboard.
  virtual std::shared_ptr<const Content> owned() = 0;
  // Reads one target from another program that owns the clipboard. "TARGETS" gives the
  // target names one per line.
  virtual ReadStatus read(const std::string& target, Item& out,
                          std::chrono::steady_clock::time_point deadline) = 0;
  // False once the backend can no longer work (its X connection broke).
  virtual bool alive() { return true; }
  // Asks the backend to stop soon: reads in progress end. Shutdown calls it before letting go,
  // so a reader still holding the backend cannot keep it working.
  virtual void stop() {}
};

// The X11 backend; null when no connection to `display_name` can be made.
std::unique_ptr<Backend> make_x11_backend(const std::string& display_name);

// The "HTML Format" wrapping of an HTML text; empty when the text is too long for the header.
std::string wrap_html(const std::string& html);

// Picture conversions; empty on a format not accepted or bad geometry.
std::string encode_png(const void* pixels, int32_t width, int32_t height, int32_t pitch,
                       uint32_t format);
std::string encode_bmp(const void* pixels, int32_t width, int32_t height, int32_t pitch,
                       uint32_t format);

}  // namespace clip
}  // namespace zel
