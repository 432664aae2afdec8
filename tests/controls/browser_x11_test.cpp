// The browser facet against the real helper under X: pages from files (a path with an escaped
// blank), a stream and a loopback HTTP server reach the facet's texture; listeners run on the
// GUI thread; scripts, a routed click on a link and typing reach the page; two browsers are
// captured at once; a killed helper fails the calls at once and the next navigate restarts it.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <thread>

#include "qar/stream.h"
#include "qar/string.h"
#include "zel/3d/driver/soft/soft_device.h"
#include "zel/context.h"
#include "zel/controls/webview/webkit_browser.h"
#include "zel/events.h"
#include "zel/gui_dispatcher.h"
#include "zel/il/bitmap_image.h"

// Xlib last: its macros clash with the test framework's names.
#include <X11/Xlib.h>

using namespace zel;
using clk = std::chrono::steady_clock;

TEST(BrowserUrl, FileUrlsBecomeRealPaths) {
  const struct {
    const char16_t* url;
    const char* path;
  } rows[] = {
      {u"file:///tmp/a%20b/p.html", "/tmp/a b/p.html"},  // the root kept, escapes decoded
      {u"file://localhost/x%C3%A9", "/x\xC3\xA9"},
      {u"FILE:/y?q#f", "/y"},
      {u"file:///\u00e9", "/\xC3\xA9"},
      {u"file://host/x", ""},
      {u"file:///a%2", ""},
      {u"file:///a%00b", ""},
      {u"file:rel", ""},
      {u"http://x/", ""},
  };
  for (const auto& r : rows) EXPECT_EQ(file_url_to_path(r.url), r.path);
  EXPECT_EQ(path_to_file_url("/a b/%.html"), "file:///a%20b/%25.html");
}

// Without a helper program or a display every call fails at once.
TEST(BrowserX11, NoHelperOrNoDisplayFailsCleanly) {
  const std::string saved_disp = std::getenv("DISPLAY") ? std::getenv("DISPLAY") : "";
  const std::string saved_helper =
      std::getenv("ZEL_WEBVIEW_HELPER") ? std::getenv("ZEL_WEBVIEW_HELPER") : "";
  const struct {
    const char* display;
    const char* helper;
  } rows[] = {{saved_disp.c_str(), "/no/such/zel-webview"}, {"", saved_helper.c_str()}};
  for (const auto& r : rows) {
    setenv("DISPLAY", r.display, 1);
    setenv("ZEL_WEBVIEW_HELPER", r.helper, 1);
    WebKitBrowser b;
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_FALSE(b.navigate(u"about:blank"));
    EXPECT_FALSE(b.get_busy());
    EXPECT_EQ(b.exec_script(u"1"), -1);
    EXPECT_EQ(b.get_location_url(), u"");
    EXPECT_FALSE(b.go_back());
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(2000));
  }
  setenv("DISPLAY", saved_disp.c_str(), 1);
  setenv("ZEL_WEBVIEW_HELPER", saved_helper.c_str(), 1);
}

namespace {

std::thread::id g_gui;
std::u16string g_done_url;
int g_done_calls = 0, g_wrong_thread = 0, g_begins = 0;
int32_t g_scroll_y = -1;

void on_scrolled(void*, int32_t, int32_t y) {
  g_scroll_y = y;
  if (std::this_thread::get_id() != g_gui) ++g_wrong_thread;
}

void on_begin(void*) {
  ++g_begins;
  if (std::this_thread::get_id() != g_gui) ++g_wrong_thread;
}

void on_done(void*, const char16_t* url) {
  g_done_url = url;
  ++g_done_calls;
  if (std::this_thread::get_id() != g_gui) ++g_wrong_thread;
}

bool pump_until(const std::function<bool()>& pred, WebKitBrowser* f = nullptr, int secs = 10) {
  const auto end = clk::now() + std::chrono::seconds(secs);
  while (clk::now() < end) {
    gui::drain();
    if (f) f->update(0);
    if (pred()) return true;
    usleep(10000);
  }
  return false;
}

uint32_t texel(WebKitBrowser& f, int32_t x, int32_t y) {
  f.update(0);
  auto tex = f.get_texture();
  if (!tex) return 0xDEAD;
  auto img = tex->read_back(0, 0, -1, -1);
  if (!img || x >= img->width() || y >= img->height()) return 0xDEAD;
  const uint8_t* p = img->pixmap(y) + x * 3;
  return uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0];
}

bool shows(WebKitBrowser& f, int32_t x, int32_t y, uint32_t rgb) {
  bool ok = pump_until([&] { return texel(f, x, y) == rgb; }, &f);
  if (!ok) ADD_FAILURE() << std::hex << "texel " << texel(f, x, y) << " instead of " << rgb;
  return ok;
}

// Whether a page whose URL ends with `url_end` completes loading.
bool loads(const std::u16string& url_end) {
  return pump_until([&] {
    return g_done_url.size() >= url_end.size() &&
           g_done_url.compare(g_done_url.size() - url_end.size(), url_end.size(), url_end) == 0;
  });
}

void write(const std::string& path, const std::string& text) {
  std::ofstream(path) << text;
}

std::string page(const char* title, const char* colour, const char* body = "") {
  return std::string("<html><head><title>") + title +
         "</title></head><body style='margin:0;"
         "background:" +
         colour + "'>" + body + "</body></html>";
}

void route(WebKitBrowser& b, int32_t msg, int32_t x, int32_t y) {
  mouse_event m;
  m.field1 = msg, m.field2 = x, m.field3 = y;
  b.route_input(m);
}

}  // namespace

TEST(BrowserX11, PagesScriptsInputAndARestartedHelper) {
  const char* disp = std::getenv("DISPLAY");
  const char* helper = std::getenv("ZEL_WEBVIEW_HELPER");
  if (!disp || !*disp) GTEST_SKIP() << "no X display";
  if (!helper || access(helper, X_OK) != 0)
    GTEST_SKIP() << "no browser helper (build zel-webview in the plain build)";
  zelContext::instance().texture_manager = std::make_shared<soft::SoftTextureManager>();
  gui::attach();
  g_gui = std::this_thread::get_id();

  // A folder whose name needs an escape in a URL.
  std::string dir = std::string(ZEL_TEST_BINARY_DIR) + "/browser pages";
  std::system(("mkdir -p '" + dir + "'").c_str());
  write(dir + "/second.html", page("Second", "#ff0000"));
  write(dir + "/first.html",
        page("Green", "#00ff00",
             "<a href='second.html' style='display:block;width:60px;height:30px;"
             "background:#0000ff'>go</a><input id='i' style='position:absolute;left:0;"
             "top:60px;width:100px;height:30px'><div style='height:3000px'></div>"));

  auto b = std::make_shared<WebKitBrowser>();
  b->set_size(320, 200);
  b->reg_document_complete_listener(nullptr, reinterpret_cast<void*>(&on_done));
  b->reg_scrolled_listener(nullptr, reinterpret_cast<void*>(&on_scrolled));
  b->reg_download_begin_listener(nullptr, reinterpret_cast<void*>(&on_begin));
  const auto t0 = clk::now();
  ASSERT_TRUE(b->navigate(qar::to_u16(path_to_file_url(dir + "/first.html"))));
  ASSERT_TRUE(loads(u"/first.html"));
  EXPECT_EQ(b->get_location_name(), u"Green");
  EXPECT_FALSE(b->get_busy());
  EXPECT_TRUE(shows(*b, 300, 150, 0x00FF00));
  EXPECT_LT(clk::now() - t0, std::chrono::seconds(10));

  std::u16string value;
  EXPECT_EQ(b->exec_script(u"document.body.style.background='#ffff00'; 6*7", &value), 0);
  EXPECT_EQ(value, u"42");
  EXPECT_TRUE(shows(*b, 300, 150, 0xFFFF00));
  EXPECT_EQ(b->exec_script(u"no_such_function()"), -1);
  // The page's own scrolling reaches the scrolled listener.
  EXPECT_EQ(b->exec_script(u"window.scrollTo(0, 500)"), 0);
  EXPECT_TRUE(pump_until([] { return g_scroll_y == 500; }));
  EXPECT_EQ(b->exec_script(u"window.scrollTo(0, 0)"), 0);

  // Typing into the input after a routed click on it.
  b->set_focus();
  route(*b, wm_lbuttondown, 20, 75);
  route(*b, wm_lbuttonup, 20, 75);
  EXPECT_TRUE(pump_until(
      [&] { return b->exec_script(u"document.activeElement.id", &value) == 0 && value == u"i"; }));
  Display* d = XOpenDisplay(nullptr);
  ASSERT_TRUE(d);
  for (const char* k : {"h", "i"}) {
    key_event ke;
    ke.field1 = wm_keydown, ke.field6 = XKeysymToKeycode(d, XStringToKeysym(k));
    b->route_input(ke);
    ke.field1 = wm_keyup;
    b->route_input(ke);
  }
  XCloseDisplay(d);
  EXPECT_TRUE(pump_until([&] {
    return b->exec_script(u"document.getElementById('i').value", &value) == 0 && value == u"hi";
  })) << qar::to_utf8(value);

  // A click on the link.
  g_done_url.clear();
  route(*b, wm_lbuttondown, 10, 10);
  route(*b, wm_lbuttonup, 10, 10);
  ASSERT_TRUE(loads(u"/second.html"));
  EXPECT_EQ(b->get_location_name(), u"Second");
  EXPECT_TRUE(shows(*b, 300, 150, 0xFF0000));
  g_done_url.clear();
  EXPECT_TRUE(b->go_back());
  EXPECT_TRUE(loads(u"/first.html"));

  // A page from a stream: its temporary file outlives the load (a reload still finds it).
  std::string html = page("Streamed", "#00ffff");
  g_done_url.clear();
  ASSERT_TRUE(b->navigate(std::make_shared<qar::MemoryStream>(html.data(), html.size())));
  ASSERT_TRUE(loads(u".html"));
  EXPECT_EQ(b->get_location_name(), u"Streamed");
  g_done_url.clear();
  EXPECT_TRUE(b->refresh());
  ASSERT_TRUE(loads(u".html"));
  EXPECT_EQ(b->get_location_name(), u"Streamed");
  EXPECT_TRUE(shows(*b, 300, 150, 0x00FFFF));

  // A page over HTTP from a loopback server of this test.
  int srv = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  ASSERT_EQ(bind(srv, reinterpret_cast<sockaddr*>(&addr), len), 0);
  listen(srv, 4);
  getsockname(srv, reinterpret_cast<sockaddr*>(&addr), &len);
  std::thread server([srv] {
    const std::string body = page("Served", "#ff00ff");
    const std::string reply = "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\nContent-Length: " +
                              std::to_string(body.size()) + "\r\n\r\n" + body;
    int c = accept(srv, nullptr, nullptr);
    if (c < 0) return;
    char buf[4096];
    (void)!read(c, buf, sizeof buf);
    (void)!write(c, reply.data(), reply.size());
    close(c);
  });
  const std::string url = "http://127.0.0.1:" + std::to_string(ntohs(addr.sin_port)) + "/p";
  g_done_url.clear();
  ASSERT_TRUE(b->navigate(qar::to_u16(url)));
  EXPECT_TRUE(loads(u"/p"));
  EXPECT_EQ(b->get_location_name(), u"Served");
  EXPECT_TRUE(shows(*b, 300, 150, 0xFF00FF));
  shutdown(srv, SHUT_RDWR);
  server.join();
  close(srv);

  // A second browser has a capture of its own.
  auto b2 = std::make_shared<WebKitBrowser>();
  b2->set_size(100, 100);
  ASSERT_TRUE(b2->navigate(qar::to_u16(path_to_file_url(dir + "/second.html"))));
  EXPECT_TRUE(shows(*b2, 50, 50, 0xFF0000));
  EXPECT_EQ(texel(*b, 300, 150), 0xFF00FFu);
  b2.reset();

  // A helper that hangs: calls give up at their time limit; its late answers are dropped.
  const int pid = b->helper_pid();
  ASSERT_GT(pid, 0);
  b->set_call_timeout(std::chrono::milliseconds(300));
  kill(pid, SIGSTOP);
  auto t1 = clk::now();
  EXPECT_EQ(b->exec_script(u"'late'"), -1);
  EXPECT_LT(clk::now() - t1, std::chrono::seconds(2));
  kill(pid, SIGCONT);
  b->set_call_timeout(std::chrono::seconds(5));
  EXPECT_EQ(b->exec_script(u"'now'", &value), 0);
  EXPECT_EQ(value, u"now");

  // A killed helper: calls fail at once, the picture goes blank, navigate starts a new one.
  kill(pid, SIGKILL);
  EXPECT_TRUE(pump_until([&] { return !b->helper_alive(); }));
  t1 = clk::now();
  EXPECT_EQ(b->get_location_name(), u"");
  EXPECT_EQ(b->exec_script(u"1"), -1);
  EXPECT_LT(clk::now() - t1, std::chrono::milliseconds(100));
  EXPECT_FALSE(b->get_busy());
  EXPECT_TRUE(shows(*b, 300, 150, 0xFFFFFF));
  g_done_url.clear();
  ASSERT_TRUE(b->navigate(qar::to_u16(path_to_file_url(dir + "/first.html"))));
  EXPECT_NE(b->helper_pid(), pid);
  EXPECT_TRUE(loads(u"/first.html"));
  EXPECT_TRUE(shows(*b, 300, 150, 0x00FF00));
  // Missing files fail without a helper call.
  EXPECT_FALSE(b->navigate(u"file:///no/such/page.html"));

  EXPECT_EQ(g_wrong_thread, 0);
  EXPECT_GT(g_done_calls, 5);
  EXPECT_GT(g_begins, 5);
  b.reset();
  gui::detach();
  zelContext::uninit();
}
