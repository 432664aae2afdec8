// Browser: a web page shown in a facet of the scene. create_browser() makes the engine's browser
// (a WebKit view in a helper process whose window is captured into the facet; see
// controls/webview/webkit_browser.h).
//
// Every operation may be called from any thread and has a time limit: an operation that cannot
// be done (no display, no helper program, a helper that died or does not answer in time) returns
// false, an empty string or -1 at once or when its time is up. The next navigate starts a new
// helper in place of a dead one.
//
// Listeners are registered as (user pointer, callback) pairs; as for the edit box, the five
// registrations share one user pointer (the last one given wins for all). They are called on the
// GUI thread:
//   scrolled:           void callback(void* user, int32_t x, int32_t y)    page scrolled to x, y
//   document complete:  void callback(void* user, const char16_t* url)     a page finished loading
//   progress change:    void callback(void* user, int32_t progress, int32_t progress_max)
//   download begin:     void callback(void* user)                          a navigation started
//   download complete:  void callback(void* user)                          it ended (or failed)
#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "zel/controls/edit_control.h"
#include "zel/facet.h"

namespace qar {
class Stream;
}

namespace zel {

class Browser : public virtual Facet, public Control {
 public:
  using scrolled_fn = void (*)(void* user, int32_t x, int32_t y);
  using document_complete_fn = void (*)(void* user, const char16_t* url);
  using progress_change_fn = void (*)(void* user, int32_t progress, int32_t progress_max);
  using download_fn = void (*)(void* user);

  // A URL ("http:", "file:", "about:", ...) or a local path. A "file:" URL is turned into the
  // real path it names (file_url_to_path) and must name a readable file.
  virtual bool navigate(const std::u16string& url) = 0;
  // Shows the stream's bytes as an HTML page: they are copied into a temporary ".html" file that
  // lives until the next navigation.
  virtual bool navigate(std::shared_ptr<qar::Stream> stream) = 0;
  virtual bool go_back() = 0;
  virtual bool go_forward() = 0;
  // The home page is "about:blank"; a presentation has no search page (go_search is false).
  virtual bool go_home() = 0;
  virtual bool go_search() = 0;
  virtual bool refresh() = 0;
  virtual bool stop() = 0;
  // True from a navigation's start until its page is complete, it failed or the helper died.
  virtual bool get_busy() const = 0;
  // The page's title and URL.
  virtual std::u16string get_location_name() = 0;
  virtual std::u16string get_location_url() = 0;
  // Runs a script in the page and waits for it: 0 when it ran (its value, as text, goes to
  // `result` when given), -1 when it failed or timed out.
  virtual int32_t exec_script(const std::u16string& script, std::u16string* result = nullptr) = 0;
  // Runs exec_script on the GUI thread without waiting for it; -1 when it cannot be queued.
  static int32_t unthread_exec_script(const std::shared_ptr<Browser>& browser,
                                      const std::u16string& script);
  // Asks for the keyboard focus.
  virtual void set_focus() = 0;

  void reg_scrolled_listener(void* user, void* callback);
  void reg_document_complete_listener(void* user, void* callback);
  void reg_progress_change_listener(void* user, void* callback);
  void reg_download_begin_listener(void* user, void* callback);
  void reg_download_complete_listener(void* user, void* callback);

 protected:
  // Registered from any thread, read on the GUI thread.
  std::atomic<void*> user_{nullptr};
  std::atomic<void*> scrolled_{nullptr};
  std::atomic<void*> document_complete_{nullptr};
  std::atomic<void*> progress_change_{nullptr};
  std::atomic<void*> download_begin_{nullptr};
  std::atomic<void*> download_complete_{nullptr};
};

std::shared_ptr<Browser> create_browser();

// The local path a "file:" URL names: "file:///a/b", "file://localhost/a/b" and "file:/a/b" all
// give "/a/b" (the root kept), with %XX escapes decoded (UTF-8). Empty for another scheme, a
// remote host, a bad or a NUL escape, or a relative path.
std::string file_url_to_path(const std::u16string& url);
// The "file://" URL of an absolute path, with every byte outside the unreserved set and '/'
// escaped as %XX.
std::string path_to_file_url(const std::string& path);

}  // namespace zel
