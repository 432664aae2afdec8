// WebKitBrowser: the engine's Browser (zel/controls/browser.h), a WebKit view in a zel-webview
// helper process per browser.
//
// Implements:
//  [x] the helper started over a socket pair (its end passed as --fd), found through the
//      ZEL_WEBVIEW_HELPER environment variable or where the plain build puts it;
//  [x] its override-redirect window captured into this windowed facet as soon as it reports the
//      window (every browser has its own capture), input routed to it as synthetic events, the
//      keyboard focus passed on;
//  [x] every operation as one protocol command with a time limit; the helper's answers and
//      events read by a thread of this browser's own;
//  [x] events turned into the listeners' calls, posted to the GUI thread;
//  [x] a helper that died (end of file on the socket) fails the calls that wait and the later
//      ones, clears the busy flag, and is started again by the next navigate;
//  [x] navigate(stream) through a temporary ".html" file kept until the next navigation;
//  [x] "file:" URLs checked as real paths (percent escapes decoded).
#pragma once
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "qar/tmpfile.h"
#include "zel/controls/browser.h"
#include "zel/controls/windowed_facet.h"

namespace zel {

class WebKitBrowser : public Browser, public WindowedFacet {
 public:
  WebKitBrowser();
  ~WebKitBrowser() override;

  bool navigate(const std::u16string& url) override;
  bool navigate(std::shared_ptr<qar::Stream> stream) override;
  bool go_back() override;
  bool go_forward() override;
  bool go_home() override;
  bool go_search() override;
  bool refresh() override;
  bool stop() override;
  bool get_busy() const override;
  std::u16string get_location_name() override;
  std::u16string get_location_url() override;
  int32_t exec_script(const std::u16string& script, std::u16string* result = nullptr) override;
  void set_focus() override;

  // The helper's process id (0: none running) and whether it still answers.
  int helper_pid() const;
  bool helper_alive() const;
  // Bench: runs `script`, then has WebKit snapshot the view until its centre pixel is `rgb`;
  // the microseconds that took, -1 on failure.
  int64_t snapshot_latency(uint32_t rgb, const std::u16string& script);

  // The time limit of one call (5 s unless set); a navigate that starts a helper waits 15 s.
  void set_call_timeout(std::chrono::milliseconds t) { call_timeout_ = t; }
  static constexpr std::chrono::milliseconds kStartTimeout{15000};

  bool wants_focus() const override { return true; }
  void on_focus(bool focused) override;

 protected:
  void on_size_change() override;

 private:
  class Channel;
  friend class Channel;
  std::shared_ptr<Channel> channel() const;
  // A running helper, started when there is none (or it died); null when it cannot be started.
  std::shared_ptr<Channel> live_channel();
  // One command to the helper and its answer; none when it failed or timed out.
  std::optional<std::string> ask(const std::string& command, const std::string& arg);
  bool navigate_url(const std::string& url);
  // Reader thread: one event line of the helper.
  void on_event(const Channel* from, const std::string& name, const std::string& value);

  std::mutex start_mutex_;    // held while a helper is started
  mutable std::mutex mutex_;  // channel_, tmp_
  std::shared_ptr<Channel> channel_;
  std::unique_ptr<qar::TmpFile> tmp_;
  std::atomic<bool> busy_{false};
  std::atomic<std::chrono::milliseconds> call_timeout_{std::chrono::milliseconds(5000)};
};

}  // namespace zel
