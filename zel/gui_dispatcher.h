// The GUI-thread dispatcher: work that must run on the host's GUI thread (creating windows,
// calling functions there, opening pop-up browser windows) is queued here by any thread and
// run when the host's main loop drains the queue.
//
// The GUI thread is the thread that called zelInit. Its main loop either calls
// zel::gui::drain() every turn, or waits on zel::gui::event_fd() (readable while work is
// queued; poll/select it together with the X connection) and calls drain() when it is readable.
//
//   invoke(f)  runs f on the GUI thread and returns its result, or rethrows its exception.
//              Called on the GUI thread itself, f runs at once. Throws gui::error when there is
//              no GUI thread, when the dispatcher is closed before f runs, or when f has not
//              started within the timeout (the call is then withdrawn; f never runs).
//   post(f)    queues f and returns at once; false when there is no GUI thread. An exception
//              from f is traced as a catch line.
#pragma once
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>

namespace zel {
namespace gui {

class error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// How long invoke waits for the GUI thread to start the work, unless told otherwise.
constexpr std::chrono::milliseconds default_timeout{10000};

// Makes the calling thread the GUI thread (zelInit) and remembers the host's window (an X11
// Window id, 0 for none). Work queued earlier stays queued.
void attach(uint64_t host_window = 0);
uint64_t host_window();
// Closes the dispatcher (zelUninit): queued work is withdrawn and its waiting callers get
// gui::error; later invokes fail at once.
void detach();
bool is_attached();
bool is_gui_thread();

// Runs the queued work on the calling thread (which should be the GUI thread); returns how many
// items ran. Work queued while draining runs in the next call.
size_t drain();
// An eventfd that is readable while work is queued; -1 before the first attach.
int event_fd();
// Number of queued items.
size_t pending();

// Low-level form of invoke: runs `task` on the GUI thread and waits.
void invoke_void(const std::function<void()>& task,
                 std::chrono::milliseconds timeout = default_timeout);
bool post(std::function<void()> task);

template <class F>
auto invoke(F&& f, std::chrono::milliseconds timeout = default_timeout) -> decltype(f()) {
  using R = decltype(f());
  if constexpr (std::is_void_v<R>) {
    invoke_void(std::function<void()>(std::forward<F>(f)), timeout);
  } else {
    std::optional<R> result;
    invoke_void([&result, &f] { result.emplace(f()); }, timeout);
    return std::move(*result);
  }
}

// ---- windows

// What create_window needs (the fields of a window-creation request).
struct create_window_params {
  int32_t x = 0;
  int32_t y = 0;
  int32_t width = 1;
  int32_t height = 1;
  uint64_t parent = 0;  // 0: the host window (or the root window when there is none)
  bool visible = false;
  std::string name;        // window title; may be empty
  std::string class_name;  // WM_CLASS; may be empty
};

// Creates a child window on the GUI thread; the X11 Window id, or 0 when it cannot be made
// (no display, a bad parent ...). The window belongs to the engine's own X connection and
// lives until destroy_window or zelUninit.
uint64_t create_window(const create_window_params& params);
bool destroy_window(uint64_t window);
// A top-level window of another program by its WM_CLASS (see WindowSystem::find_window); 0 when
// none. Any thread.
uint64_t find_window(const std::string& class_name);

// ---- pop-up browser windows

struct popup_size {
  int32_t width = -1;  // -1: not given
  int32_t height = -1;
};
// The width and height asked for by the query part of a pop-up URL (after the first '?'):
// keys "width" and "height" (ASCII letters compared without case; also found inside longer
// words), each followed by the value up to the next '&' with leading '=' and blanks dropped.
popup_size scan_popup_size(const std::u16string& url);

// Opens the URL in a pop-up window of the requested size (see scan_popup_size) and adds it to
// the pop-up list; a null or empty URL closes all pop-ups instead. Runs on the GUI thread.
void open_browser_popup(const char16_t* url);
void close_browser_popups();
size_t popup_count();

// The launcher opens a pop-up and returns a handle for it (0 when it failed); the closer closes
// one. The default launcher hands the URL to `xdg-open`; the default closer can only forget it.
using popup_launcher = std::function<uint64_t(const std::u16string& url, popup_size size)>;
using popup_closer = std::function<void(uint64_t handle)>;
void set_popup_launcher(popup_launcher launcher);  // empty: the default
void set_popup_closer(popup_closer closer);        // empty: the default

}  // namespace gui
}  // namespace zel
