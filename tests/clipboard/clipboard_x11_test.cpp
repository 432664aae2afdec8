// The X11 CLIPBOARD selection against xclip and a raw Xlib client (needs DISPLAY).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "clipboard/clip_test_util.h"
#include "qar/string.h"
#include "zel/controls/clipboard.h"
#include "zel/pixel_format.h"

// Xlib last: its macros (None, Bool, Status) clash with GoogleTest.
#include <X11/Xlib.h>

using zel::Clipboard;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

std::string xclip_out(const std::string& target = std::string()) {
  std::string out;
  std::string cmd = "xclip -selection clipboard -o";
  if (!target.empty()) cmd += " -t '" + target + "'";
  EXPECT_TRUE(cliptest::run_capture(cmd + " 2>/dev/null", out)) << cmd;
  return out;
}

// True once `f` is (within ten seconds).
template <class F>
bool eventually(F f) {
  for (auto until = Clock::now() + 10s; Clock::now() < until; std::this_thread::sleep_for(20ms))
    if (f()) return true;
  return false;
}

// Starts xclip owning the clipboard with `data` and waits until we read `expect` from it.
pid_t xclip_in(const std::string& data, const std::u16string& expect,
               const std::string& target = "UTF8_STRING") {
  pid_t pid = cliptest::spawn_with_input(
      {"xclip", "-selection", "clipboard", "-i", "-quiet", "-t", target}, data);
  EXPECT_GT(pid, 0);
  std::u16string got;
  EXPECT_TRUE(eventually([&] { return Clipboard().get(got) && got == expect; }))
      << "read " << got.size() << " units, expected " << expect.size();
  return pid;
}

// A plain Xlib client of the test's own.
struct RawClient {
  Display* d = nullptr;
  Window w = 0;
  Atom clipboard = None, incr = None, prop = None;
  RawClient() {
    d = XOpenDisplay(nullptr);
    if (!d) return;
    w = XCreateSimpleWindow(d, DefaultRootWindow(d), 0, 0, 1, 1, 0, 0, 0);
    XSelectInput(d, w, PropertyChangeMask);
    clipboard = XInternAtom(d, "CLIPBOARD", False);
    incr = XInternAtom(d, "INCR", False);
    prop = XInternAtom(d, "RAW_CLIENT_DATA", False);
    XSync(d, False);
  }
  ~RawClient() {
    if (d) XCloseDisplay(d);
  }

  bool wait_for(int type, XEvent& ev, std::chrono::milliseconds limit) {
    for (auto until = Clock::now() + limit; Clock::now() < until; std::this_thread::sleep_for(1ms))
      while (XPending(d)) {
        XNextEvent(d, &ev);
        if (ev.type == type && (type != PropertyNotify || (ev.xproperty.atom == prop &&
                                                           ev.xproperty.state == PropertyNewValue)))
          return true;
      }
    return false;
  }

  // Reads a property (by default ours, taking it off our window): its type and bytes, 32-bit
  // items as the longs Xlib hands out.
  bool take(Atom& type, std::string& bytes, Window win = 0, Atom p = 0, bool del = true) {
    int format = 0;
    unsigned long n = 0, after = 0;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(d, win ? win : w, p ? p : prop, 0, 1 << 26, del, AnyPropertyType, &type,
                           &format, &n, &after, &data) != Success)
      return false;
    bytes.assign(reinterpret_cast<char*>(data), format == 32 ? n * sizeof(long) : n * format / 8);
    if (data) XFree(data);
    return after == 0;
  }
  std::vector<long> longs(const std::string& bytes) {
    std::vector<long> v(bytes.size() / sizeof(long));
    std::memcpy(v.data(), bytes.data(), v.size() * sizeof(long));
    return v;
  }

  // Asks for a target; gives the type of the first answer (INCR for large data).
  bool request(const char* target, Atom& type, std::string& bytes) {
    XConvertSelection(d, clipboard, XInternAtom(d, target, False), prop, w, CurrentTime);
    XFlush(d);
    XEvent ev;
    if (!wait_for(SelectionNotify, ev, 5s) || ev.xselection.property == None) return false;
    return take(type, bytes);
  }

  // Reads the chunks of an INCR transfer after its announcement was taken.
  bool read_incr(std::string& all, Atom& chunk_type, int& chunks) {
    chunks = 0;
    for (;;) {
      XEvent ev;
      if (!wait_for(PropertyNotify, ev, 5s)) return false;
      std::string part;
      if (!take(chunk_type, part)) return false;
      if (part.empty()) return true;
      all += part;
      ++chunks;
    }
  }
};

class X11Clipboard : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { cliptest::use_private_display_if_possible(); }
  void SetUp() override {
    const char* display = std::getenv("DISPLAY");
    if (!display || !*display) GTEST_SKIP() << "no X display";
    if (std::system("command -v xclip >/dev/null 2>&1") != 0) GTEST_SKIP() << "xclip missing";
    Clipboard::set_timeout(3000ms);
    ASSERT_TRUE(Clipboard::is_system());
  }
};

const std::u16string kTexts[] = {u"Hello, world! 0123 ~", u"Съешь же ещё этих мягких булок",
                                 u"😀 emoji 🎉 and 漢字"};

// Text (and HTML beside it) pasted here, read by xclip byte for byte.
TEST_F(X11Clipboard, OurTextIsReadByXclipByteExactly) {
  for (const auto& t : kTexts)
    for (const char* target : {"", "UTF8_STRING", "text/plain;charset=utf-8"}) {
      ASSERT_TRUE(Clipboard().paste(t));
      EXPECT_EQ(xclip_out(target), qar::to_utf8(t)) << target;
    }
  const std::string targets = xclip_out("TARGETS");
  for (const char* name : {"TARGETS", "TIMESTAMP", "MULTIPLE", "UTF8_STRING", "STRING", "TEXT",
                           "text/plain;charset=utf-8"})
    EXPECT_NE(targets.find(name), std::string::npos) << name << " in " << targets;
  EXPECT_EQ(targets.find("image/png"), std::string::npos);
  const std::string html = "<p>Привет <b>мир</b></p>";
  Clipboard c(true);
  c.erase();
  ASSERT_TRUE(c.paste(u"Привет мир") && c.paste_html(html.c_str()));
  c.close();
  EXPECT_EQ(xclip_out("text/html"), html);
  EXPECT_EQ(xclip_out(), "Привет мир");
  EXPECT_EQ(xclip_out("HTML Format"), zel::clip::wrap_html(html));
}

TEST_F(X11Clipboard, XclipDataIsReadByUs) {
  for (const auto& t : kTexts) cliptest::stop_process(xclip_in(qar::to_utf8(t), t));
  // xclip offering only STRING: we fall back to it and read Latin-1.
  cliptest::stop_process(xclip_in("na\xEFve caf\xE9", u"naïve café", "STRING"));
  const std::string html = "<ul><li>один</li><li>two</li></ul>";
  pid_t pid = cliptest::spawn_with_input(
      {"xclip", "-selection", "clipboard", "-i", "-quiet", "-t", "text/html"}, html);
  std::string got;
  EXPECT_TRUE(eventually([&] { return Clipboard().get_html(got) && got == html; })) << got;
  std::vector<std::string> targets;
  ASSERT_TRUE(Clipboard().get_targets(targets));
  for (const char* t : {"text/html", "TARGETS"})
    EXPECT_NE(std::find(targets.begin(), targets.end(), t), targets.end()) << t;
  EXPECT_FALSE(Clipboard().get_data("", got));
  cliptest::stop_process(pid);
}

// The picture's PNG and BMP (each checked in full by the local clipboard's test) reach xclip.
TEST_F(X11Clipboard, PictureIsReadBackPixelByPixel) {
  const int w = 37, h = 23, pitch = w * 2 + 2;
  std::vector<uint8_t> px = cliptest::make_picture(zel::bimage_r5g6b5, w, h, pitch);
  ASSERT_TRUE(Clipboard().paste_img(px.data(), w, h, pitch, zel::bimage_r5g6b5));
  EXPECT_EQ(cliptest::png_mismatches(xclip_out("image/png"), px, zel::bimage_r5g6b5, w, h, pitch),
            0);
  const std::string bmp = xclip_out("image/bmp");
  ASSERT_EQ(bmp.size(), cliptest::u32_at(bmp, 10) + size_t(pitch) * h);
  EXPECT_EQ(
      0, std::memcmp(&bmp[cliptest::u32_at(bmp, 10)], &px[size_t((h - 1) * pitch)], size_t(w * 2)));
}

// About 8 MB of text (numbered lines, Cyrillic in each) through INCR.
TEST_F(X11Clipboard, LargeTextGoesThroughIncrBothWays) {
  std::string utf8;
  for (int i = 0; utf8.size() < (8u << 20); ++i)
    utf8 += "line " + std::to_string(i) + ": строка данных, ещё немного\n";
  const std::u16string u16 = qar::to_u16(utf8);
  ASSERT_TRUE(Clipboard().paste(u16));
  EXPECT_TRUE(xclip_out() == utf8);
  // A raw requestor sees the INCR protocol and gets every byte in several chunks.
  {
    RawClient raw;
    ASSERT_NE(raw.d, nullptr);
    Atom type = None;
    std::string first;
    ASSERT_TRUE(raw.request("UTF8_STRING", type, first) && type == raw.incr);
    std::string all;
    Atom chunk_type = None;
    int chunks = 0;
    ASSERT_TRUE(raw.read_incr(all, chunk_type, chunks));
    EXPECT_EQ(chunk_type, XInternAtom(raw.d, "UTF8_STRING", False));
    EXPECT_TRUE(chunks > 1 && all == utf8);
  }
  {  // A requestor gone before the first chunk arrives does no harm.
    RawClient raw;
    Atom type = None;
    std::string first;
    ASSERT_TRUE(raw.request("UTF8_STRING", type, first) && type == raw.incr);
    XDestroyWindow(raw.d, raw.w);
    XSync(raw.d, False);
  }
  std::this_thread::sleep_for(100ms);
  ASSERT_TRUE(Clipboard().paste(u"still alive"));  // we still serve
  EXPECT_EQ(xclip_out(), "still alive");
  // And we read it from xclip (which sends it through INCR too).
  pid_t pid = xclip_in(utf8, u16);
  std::string bytes;
  EXPECT_TRUE(Clipboard().get_data("UTF8_STRING", bytes) && bytes == utf8);
  cliptest::stop_process(pid);
}

// An owner that never answers costs the caller's timeout, no more; with no owner at all a get
// is refused at once. Once we own the clipboard again everything works, late answers or not.
TEST_F(X11Clipboard, GetIsBoundedWhenTheOwnerIsSilentOrGone) {
  RawClient raw;
  ASSERT_NE(raw.d, nullptr);
  XSetSelectionOwner(raw.d, raw.clipboard, raw.w, CurrentTime);
  XSync(raw.d, False);
  ASSERT_EQ(XGetSelectionOwner(raw.d, raw.clipboard), raw.w);
  std::this_thread::sleep_for(50ms);
  std::u16string text = u"untouched";
  for (int i = 0; i < 2; ++i) {
    const auto t0 = Clock::now();
    EXPECT_FALSE(Clipboard().get(text, 300ms));
    EXPECT_GE(Clock::now() - t0, 250ms);
    EXPECT_LT(Clock::now() - t0, 3000ms) << "the wait is bounded";
    EXPECT_EQ(text, u"untouched");
  }
  ASSERT_TRUE(Clipboard().paste(u"fresh"));
  EXPECT_EQ(xclip_out(), "fresh");
  EXPECT_TRUE(Clipboard().get(text) && text == u"fresh");
  XSetSelectionOwner(raw.d, raw.clipboard, None, CurrentTime);
  XSync(raw.d, False);
  EXPECT_TRUE(eventually([&] { return !Clipboard().get(text); })) << "SelectionClear seen";
  const auto t0 = Clock::now();
  EXPECT_FALSE(Clipboard().get(text, 3000ms));
  EXPECT_LT(Clock::now() - t0, 2000ms) << "no owner: refused at once, not timed out";
  std::string bytes;
  EXPECT_FALSE(Clipboard().get_data("image/png", bytes));
}

TEST_F(X11Clipboard, MultipleConvertsSeveralTargets) {
  ASSERT_TRUE(Clipboard().paste(u"multi"));
  RawClient raw;
  ASSERT_NE(raw.d, nullptr);
  Atom p1 = XInternAtom(raw.d, "RAW_P1", False), p2 = XInternAtom(raw.d, "RAW_P2", False);
  long pairs[4] = {long(XInternAtom(raw.d, "UTF8_STRING", False)), long(p1),
                   long(XInternAtom(raw.d, "image/png", False)), long(p2)};
  XChangeProperty(raw.d, raw.w, raw.prop, XInternAtom(raw.d, "ATOM_PAIR", False), 32,
                  PropModeReplace, reinterpret_cast<unsigned char*>(pairs), 4);
  Atom type;
  std::string bytes;
  ASSERT_TRUE(raw.request("MULTIPLE", type, bytes));
  const std::vector<long> back = raw.longs(bytes);
  ASSERT_EQ(back.size(), 4u);
  EXPECT_EQ(std::make_pair(Atom(back[1]), Atom(back[3])),
            std::make_pair(p1, Atom(None)));  // no picture
  EXPECT_TRUE(raw.take(type, bytes, raw.w, p1) && bytes == "multi");
}

// A stand-in clipboard manager: owns CLIPBOARD_MANAGER and, asked to SAVE_TARGETS, copies the
// clipboard's UTF8_STRING before it answers.
struct FakeManager {
  std::atomic<bool> ready{false}, stop{false};
  std::string saved;
  std::vector<std::string> offered;
  std::thread thread{[this] { run(); }};
  ~FakeManager() {
    stop = true;
    if (thread.joinable()) thread.join();
  }

  void run() {
    RawClient raw;
    if (!raw.d) return;
    XSetSelectionOwner(raw.d, XInternAtom(raw.d, "CLIPBOARD_MANAGER", False), raw.w, CurrentTime);
    XSync(raw.d, False);
    ready = true;
    XEvent ev;
    while (!stop) {
      if (!raw.wait_for(SelectionRequest, ev, 20ms)) continue;
      XSelectionRequestEvent r = ev.xselectionrequest;
      if (r.target != XInternAtom(raw.d, "SAVE_TARGETS", False)) continue;
      Atom type;
      std::string bytes;
      raw.take(type, bytes, r.requestor, r.property, false);
      for (long atom : raw.longs(bytes)) {
        char* name = XGetAtomName(raw.d, Atom(atom));
        offered.push_back(name);
        XFree(name);
      }
      if (raw.request("UTF8_STRING", type, bytes)) saved = bytes;
      XSelectionEvent reply = {SelectionNotify, 0,        False,      raw.d, r.requestor,
                               r.selection,     r.target, r.property, r.time};
      XSendEvent(raw.d, r.requestor, False, NoEventMask, reinterpret_cast<XEvent*>(&reply));
      XFlush(raw.d);
    }
  }
};

TEST_F(X11Clipboard, ShutdownHandsTheDataToAClipboardManagerAndRestarts) {
  FakeManager manager;
  ASSERT_TRUE(eventually([&] { return manager.ready.load(); }));
  Clipboard c(true);
  c.erase();
  ASSERT_TRUE(c.paste(u"kept after exit") && c.paste_html("<b>kept</b>"));
  c.close();
  Clipboard::shutdown();
  manager.stop = true;
  manager.thread.join();
  EXPECT_EQ(manager.saved, "kept after exit");
  // Our window went with the connection; a new one comes with the next use.
  std::string out;
  cliptest::run_capture("xclip -selection clipboard -o 2>/dev/null", out);
  EXPECT_NE(out, "kept after exit");
  ASSERT_TRUE(Clipboard().paste(u"second life"));
  EXPECT_EQ(xclip_out(), "second life");
  for (const char* t : {"UTF8_STRING", "STRING", "text/html", "HTML Format"})
    EXPECT_NE(std::find(manager.offered.begin(), manager.offered.end(), t), manager.offered.end())
        << t;
}

}  // namespace
