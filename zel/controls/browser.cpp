#include "zel/controls/browser.h"

#include "qar/string.h"
#include "zel/gui_dispatcher.h"

namespace zel {

void Browser::reg_scrolled_listener(void* user, void* callback) {
  user_ = user;
  scrolled_ = callback;
}
void Browser::reg_document_complete_listener(void* user, void* callback) {
  user_ = user;
  document_complete_ = callback;
}
void Browser::reg_progress_change_listener(void* user, void* callback) {
  user_ = user;
  progress_change_ = callback;
}
void Browser::reg_download_begin_listener(void* user, void* callback) {
  user_ = user;
  download_begin_ = callback;
}
void Browser::reg_download_complete_listener(void* user, void* callback) {
  user_ = user;
  download_complete_ = callback;
}

int32_t Browser::unthread_exec_script(const std::shared_ptr<Browser>& browser,
                                      const std::u16string& script) {
  if (!browser) return -1;
  return gui::post([browser, script] { browser->exec_script(script); }) ? 0 : -1;
}

namespace {

int hex(char16_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool starts_with_nocase(const std::u16string& s, const char* prefix) {
  size_t i = 0;
  for (; prefix[i]; ++i) {
    if (i >= s.size()) return false;
    char16_t c = s[i];
    if (c >= 'A' && c <= 'Z') c = char16_t(c - 'A' + 'a');
    if (c != char16_t(prefix[i])) return false;
  }
  return true;
}

}  // namespace

std::string file_url_to_path(const std::u16string& url) {
  if (!starts_with_nocase(url, "file:")) return {};
  std::u16string rest = url.substr(5);
  if (rest.compare(0, 2, u"//") == 0) {
    // An authority: empty or "localhost" is this machine; any other host is not a local path.
    size_t slash = rest.find(u'/', 2);
    if (slash == std::u16string::npos) return {};
    std::u16string host = rest.substr(2, slash - 2);
    if (!host.empty() && !starts_with_nocase(host, "localhost")) return {};
    if (!host.empty() && host.size() != 9) return {};
    rest = rest.substr(slash);
  }
  if (rest.empty() || rest[0] != u'/') return {};
  // Query and fragment are not part of the path.
  size_t end = rest.find_first_of(u"?#");
  if (end != std::u16string::npos) rest.resize(end);
  // Escapes are UTF-8 bytes; other characters are taken as they are.
  std::string out;
  for (size_t i = 0; i < rest.size(); ++i) {
    if (rest[i] == u'%') {
      int hi = i + 2 < rest.size() ? hex(rest[i + 1]) : -1;
      int lo = i + 2 < rest.size() ? hex(rest[i + 2]) : -1;
      if (hi < 0 || lo < 0 || (hi | lo) == 0) return {};
      out += char(hi << 4 | lo);
      i += 2;
    } else {
      out += qar::to_utf8(rest.substr(i, 1 + (rest[i] >= 0xD800 && rest[i] < 0xDC00)));
      if (rest[i] >= 0xD800 && rest[i] < 0xDC00) ++i;
    }
  }
  return out;
}

std::string path_to_file_url(const std::string& path) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out = "file://";
  for (unsigned char c : path) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
        c == '.' || c == '_' || c == '~' || c == '/') {
      out += char(c);
    } else {
      out += '%';
      out += digits[c >> 4];
      out += digits[c & 15];
    }
  }
  return out;
}

}  // namespace zel
