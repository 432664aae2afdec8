// zel-webview: one web browser for the engine, in a process of its own so that GTK, GLib and
// WebKit stay out of the engine (and out of its sanitizer builds). The engine starts it with one
// end of a socket pair:
//
//   zel-webview --fd N [--width W] [--height H]
//
// It shows a WebKitWebView in an override-redirect toplevel (the engine captures that window
// into a facet and sends it input as synthetic events) and speaks a line protocol on fd N. Every
// line is fields separated by one space; the last field of a line is its rest, escaped so that
// it holds no newline: "\\" for a backslash, "\n" for a newline.
//
// Engine to helper:   <id> <command> [argument]
//   navigate URL | back | forward | reload | stop | busy | title | url | script JS
//   resize W H | focus 0|1 | snapshot RRGGBB JS (runs JS, then takes WebKit's own snapshots of
//   the view until its centre pixel is RRGGBB; answers the microseconds taken) | quit
// Helper to engine:
//   r <id> ok [value] | r <id> err [message]       the answer to command <id>
//   e xid <window>                                  once, when the window is shown
//   e navigate URL | e committed URL | e document-complete URL | e load-failed URL
//   e progress <0..100> | e title TEXT | e scroll X Y
// The helper ends when the engine's end of the socket closes.
#include <gdk/gdkx.h>
#include <glib-unix.h>
#include <gtk/gtk.h>
#include <unistd.h>
#include <webkit2/webkit2.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "zel/controls/webview/line_protocol.h"

namespace {

int g_fd = -1;
GtkWidget* g_window = nullptr;
WebKitWebView* g_view = nullptr;
std::string g_in;

using zel::webview::escape;
using zel::webview::unescape;

void send_line(const std::string& line) {
  std::string l = line + "\n";
  const char* p = l.data();
  size_t left = l.size();
  while (left > 0) {
    ssize_t n = write(g_fd, p, left);
    if (n <= 0) {
      gtk_main_quit();
      return;
    }
    p += n;
    left -= size_t(n);
  }
}

void event(const char* name, const std::string& value) {
  send_line(std::string("e ") + name + " " + escape(value));
}

void answer(const std::string& id, bool ok, const std::string& value = std::string()) {
  send_line("r " + id + (ok ? " ok " : " err ") + escape(value));
}

std::string current_uri() {
  const char* u = webkit_web_view_get_uri(g_view);
  return u ? u : "";
}

void on_load_changed(WebKitWebView*, WebKitLoadEvent ev, gpointer) {
  switch (ev) {
    case WEBKIT_LOAD_STARTED:
      event("navigate", current_uri());
      break;
    case WEBKIT_LOAD_COMMITTED:
      event("committed", current_uri());
      break;
    case WEBKIT_LOAD_FINISHED:
      event("document-complete", current_uri());
      break;
    default:
      break;
  }
}

gboolean on_load_failed(WebKitWebView*, WebKitLoadEvent, gchar* uri, GError*, gpointer) {
  event("load-failed", uri ? uri : "");
  return FALSE;
}

void on_title(GObject*, GParamSpec*, gpointer) {
  const char* t = webkit_web_view_get_title(g_view);
  event("title", t ? t : "");
}

void on_progress(GObject*, GParamSpec*, gpointer) {
  event("progress", std::to_string(int(webkit_web_view_get_estimated_load_progress(g_view) * 100)));
}

G_GNUC_BEGIN_IGNORE_DEPRECATIONS
void on_scroll_message(WebKitUserContentManager*, WebKitJavascriptResult* r, gpointer) {
  JSCValue* v = webkit_javascript_result_get_js_value(r);
  char* s = jsc_value_to_string(v);
  event("scroll", s ? s : "");
  g_free(s);
}
G_GNUC_END_IGNORE_DEPRECATIONS

struct ScriptCall {
  std::string id;
};

void on_script_done(GObject* obj, GAsyncResult* res, gpointer data) {
  auto* call = static_cast<ScriptCall*>(data);
  GError* err = nullptr;
  JSCValue* v = webkit_web_view_evaluate_javascript_finish(WEBKIT_WEB_VIEW(obj), res, &err);
  if (!v) {
    answer(call->id, false, err ? err->message : "script failed");
    if (err) g_error_free(err);
  } else {
    char* s = jsc_value_is_undefined(v) ? nullptr : jsc_value_to_string(v);
    answer(call->id, true, s ? s : "");
    g_free(s);
    g_object_unref(v);
  }
  delete call;
}

// The bench-only snapshot: WebKit's own picture of the view, taken until it shows a colour.
struct SnapshotCall {
  std::string id;
  uint32_t rgb = 0;
  std::chrono::steady_clock::time_point start;
  int tries = 0;
};

void take_snapshot(SnapshotCall* call);

void on_snapshot(GObject* obj, GAsyncResult* res, gpointer data) {
  auto* call = static_cast<SnapshotCall*>(data);
  cairo_surface_t* s = webkit_web_view_get_snapshot_finish(WEBKIT_WEB_VIEW(obj), res, nullptr);
  bool match = false;
  if (s) {
    cairo_surface_flush(s);
    int w = cairo_image_surface_get_width(s), h = cairo_image_surface_get_height(s);
    const unsigned char* px = cairo_image_surface_get_data(s);
    if (px && w > 0 && h > 0) {
      const uint32_t* p = reinterpret_cast<const uint32_t*>(
          px + size_t(h / 2) * size_t(cairo_image_surface_get_stride(s)) + size_t(w / 2) * 4);
      match = (*p & 0xFFFFFF) == call->rgb;
    }
    cairo_surface_destroy(s);
  }
  if (match) {
    auto us = std::chrono::duration_cast<std::chrono::microseconds>(
                  std::chrono::steady_clock::now() - call->start)
                  .count();
    answer(call->id, true, std::to_string(us));
    delete call;
  } else if (++call->tries > 2000) {
    answer(call->id, false, "the colour never showed");
    delete call;
  } else {
    take_snapshot(call);
  }
}

void take_snapshot(SnapshotCall* call) {
  webkit_web_view_get_snapshot(g_view, WEBKIT_SNAPSHOT_REGION_VISIBLE, WEBKIT_SNAPSHOT_OPTIONS_NONE,
                               nullptr, on_snapshot, call);
}

void command(const std::string& line) {
  size_t a = line.find(' ');
  std::string id = line.substr(0, a);
  std::string rest = a == std::string::npos ? std::string() : line.substr(a + 1);
  size_t b = rest.find(' ');
  std::string cmd = rest.substr(0, b);
  std::string arg = b == std::string::npos ? std::string() : unescape(rest.substr(b + 1));
  if (cmd == "navigate") {
    webkit_web_view_load_uri(g_view, arg.c_str());
    answer(id, true);
  } else if (cmd == "back") {
    bool can = webkit_web_view_can_go_back(g_view);
    if (can) webkit_web_view_go_back(g_view);
    answer(id, can);
  } else if (cmd == "forward") {
    bool can = webkit_web_view_can_go_forward(g_view);
    if (can) webkit_web_view_go_forward(g_view);
    answer(id, can);
  } else if (cmd == "reload") {
    webkit_web_view_reload(g_view);
    answer(id, true);
  } else if (cmd == "stop") {
    webkit_web_view_stop_loading(g_view);
    answer(id, true);
  } else if (cmd == "busy") {
    answer(id, true, webkit_web_view_is_loading(g_view) ? "1" : "0");
  } else if (cmd == "title") {
    // The document's own title: the view's title property may lag behind a finished load.
    webkit_web_view_evaluate_javascript(g_view, "document.title", -1, nullptr, nullptr, nullptr,
                                        on_script_done, new ScriptCall{id});
  } else if (cmd == "url") {
    answer(id, true, current_uri());
  } else if (cmd == "script") {
    webkit_web_view_evaluate_javascript(g_view, arg.c_str(), gssize(arg.size()), nullptr, nullptr,
                                        nullptr, on_script_done, new ScriptCall{id});
  } else if (cmd == "resize") {
    int w = 0, h = 0;
    if (std::sscanf(arg.c_str(), "%d %d", &w, &h) == 2 && w > 0 && h > 0) {
      gtk_window_resize(GTK_WINDOW(g_window), w, h);
      answer(id, true);
    } else {
      answer(id, false, "bad size");
    }
  } else if (cmd == "focus") {
    // No window manager gives an override-redirect window the focus: it is told so directly.
    GdkEvent* fe = gdk_event_new(GDK_FOCUS_CHANGE);
    fe->focus_change.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(g_window)));
    fe->focus_change.send_event = TRUE;
    fe->focus_change.in = arg == "1";
    gtk_widget_send_focus_change(g_window, fe);
    gdk_event_free(fe);
    if (arg == "1") gtk_widget_grab_focus(GTK_WIDGET(g_view));
    answer(id, true);
  } else if (cmd == "snapshot") {
    auto* call = new SnapshotCall;
    call->id = id;
    call->rgb = uint32_t(std::strtoul(arg.substr(0, 6).c_str(), nullptr, 16));
    call->start = std::chrono::steady_clock::now();
    std::string js = arg.size() > 7 ? arg.substr(7) : std::string();
    webkit_web_view_evaluate_javascript(g_view, js.c_str(), gssize(js.size()), nullptr, nullptr,
                                        nullptr, nullptr, nullptr);
    take_snapshot(call);
  } else if (cmd == "quit") {
    answer(id, true);
    gtk_main_quit();
  } else {
    answer(id, false, "unknown command");
  }
}

gboolean on_input(gint fd, GIOCondition, gpointer) {
  char buf[65536];
  ssize_t n = read(fd, buf, sizeof buf);
  if (n <= 0) {
    gtk_main_quit();
    return G_SOURCE_REMOVE;
  }
  g_in.append(buf, size_t(n));
  size_t nl;
  while ((nl = g_in.find('\n')) != std::string::npos) {
    std::string line = g_in.substr(0, nl);
    g_in.erase(0, nl + 1);
    if (!line.empty()) command(line);
  }
  return G_SOURCE_CONTINUE;
}

const char kScrollScript[] =
    "window.addEventListener('scroll', function() {"
    "  window.webkit.messageHandlers.zelScroll.postMessage("
    "      Math.round(window.scrollX) + ' ' + Math.round(window.scrollY));"
    "}, {passive: true});";

}  // namespace

int main(int argc, char** argv) {
  int width = 640, height = 480;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!std::strcmp(argv[i], "--fd"))
      g_fd = std::atoi(argv[i + 1]);
    else if (!std::strcmp(argv[i], "--width"))
      width = std::atoi(argv[i + 1]);
    else if (!std::strcmp(argv[i], "--height"))
      height = std::atoi(argv[i + 1]);
  }
  if (g_fd < 0) {
    std::fprintf(stderr, "usage: zel-webview --fd N [--width W] [--height H]\n");
    return 2;
  }
  // The window is captured by the engine: plain cairo painting into an X window, core X input
  // (the engine sends synthetic core events), no accessibility bus.
  setenv("GDK_BACKEND", "x11", 1);
  setenv("GDK_CORE_DEVICE_EVENTS", "1", 1);
  setenv("WEBKIT_DISABLE_COMPOSITING_MODE", "1", 0);
  setenv("NO_AT_BRIDGE", "1", 0);
  if (!gtk_init_check(&argc, &argv)) {
    std::fprintf(stderr, "zel-webview: no display\n");
    return 1;
  }
  g_window = gtk_window_new(GTK_WINDOW_POPUP);
  gtk_window_set_default_size(GTK_WINDOW(g_window), width, height);
  gtk_window_move(GTK_WINDOW(g_window), 0, 0);
  WebKitUserContentManager* ucm = webkit_user_content_manager_new();
  g_signal_connect(ucm, "script-message-received::zelScroll", G_CALLBACK(on_scroll_message),
                   nullptr);
  webkit_user_content_manager_register_script_message_handler(ucm, "zelScroll");
  WebKitUserScript* us =
      webkit_user_script_new(kScrollScript, WEBKIT_USER_CONTENT_INJECT_TOP_FRAME,
                             WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_END, nullptr, nullptr);
  webkit_user_content_manager_add_script(ucm, us);
  webkit_user_script_unref(us);
  g_view = WEBKIT_WEB_VIEW(webkit_web_view_new_with_user_content_manager(ucm));
  g_signal_connect(g_view, "load-changed", G_CALLBACK(on_load_changed), nullptr);
  g_signal_connect(g_view, "load-failed", G_CALLBACK(on_load_failed), nullptr);
  g_signal_connect(g_view, "notify::title", G_CALLBACK(on_title), nullptr);
  g_signal_connect(g_view, "notify::estimated-load-progress", G_CALLBACK(on_progress), nullptr);
  gtk_container_add(GTK_CONTAINER(g_window), GTK_WIDGET(g_view));
  g_signal_connect(g_window, "destroy", G_CALLBACK(gtk_main_quit), nullptr);
  gtk_widget_show_all(g_window);
  gtk_widget_grab_focus(GTK_WIDGET(g_view));
  gdk_display_sync(gdk_display_get_default());
  event("xid", std::to_string(gdk_x11_window_get_xid(gtk_widget_get_window(g_window))));
  g_unix_fd_add(g_fd, G_IO_IN, on_input, nullptr);
  gtk_main();
  return 0;
}
