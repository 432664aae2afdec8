// Documents on the command line: an HTML page (.html, .htm) or a plain text (.txt) shown in a
// full-window rich-format facet. "page.html#name" opens at the anchor.
//
// Keys: Up/Down a line, PageUp/PageDown (and Space) a page, Home/End the ends, Backspace back to
// the document a link came from, Ctrl+C copies the document. The wheel scrolls three lines a
// notch. A click on a link jumps within the page, opens a local document in place, or prints
// any other link's address on the standard output.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <vector>

#include "qar/stream.h"
#include "qar/string.h"
#include "zel/events.h"
#include "zel/layer.h"
#include "zel/render_device.h"
#include "zel/rich_format/rf_facet.h"
#include "zelshow.h"

namespace zelshow {

namespace {

std::string lower_ext(const std::string& path) {
  std::string ext = std::filesystem::path(path).extension().string();
  for (auto& c : ext) c = char(std::tolower(static_cast<unsigned char>(c)));
  return ext;
}

// The file and the anchor of "file#anchor" (a name that exists as it stands has no anchor).
std::pair<std::string, std::string> split_anchor(const std::string& arg) {
  std::error_code ec;
  const size_t hash = arg.rfind('#');
  if (hash == std::string::npos || std::filesystem::is_regular_file(arg, ec)) return {arg, ""};
  return {arg.substr(0, hash), arg.substr(hash + 1)};
}

class DocumentShow : public Presentation {
 public:
  DocumentShow(zel::RenderMng& mng, const Options& opt) {
    facet_ = std::make_shared<zel::rfFacet>(u"document");
    facet_->set_topleft(0, 0);
    facet_->set_size(opt.width, opt.height);
    mng.get_layer(10, true)->put_facet(facet_);
  }
  ~DocumentShow() override { zel::set_input_handler(nullptr); }

  // Opens the file (at the anchor when one is given). False with `error` set when it cannot be
  // read at all.
  bool open(const std::string& path, const std::string& anchor, std::string& error) {
    auto stream = qar::FileStream::open(path);
    if (!stream) {
      error = "cannot open '" + path + "'";
      return false;
    }
    const bool text = lower_ext(path) == ".txt";
    const bool ok = text ? facet_->open_text(stream) : facet_->open(stream);
    if (!ok) std::fprintf(stderr, "zelshow: '%s' was not read whole\n", path.c_str());
    current_ = path;
    if (!anchor.empty() && !facet_->goto_anchor(qar::to_u16(anchor).c_str()))
      std::fprintf(stderr, "zelshow: no anchor '%s' in '%s'\n", anchor.c_str(), path.c_str());
    return true;
  }

  void on_input(const zel::zel_event& ev) {
    std::lock_guard<std::mutex> g(mutex_);
    auto& v = facet_->vertical();
    if (ev.get_id() == zel::key_event_id && ev.field1 == zel::wm_keydown) {
      switch (ev.field2) {
        case zel::vk_up:
          v.do_scroll(zel::scroll_info::step_back, 0);
          break;
        case zel::vk_down:
          v.do_scroll(zel::scroll_info::step_forward, 0);
          break;
        case zel::vk_prior:
          v.do_scroll(zel::scroll_info::page_back, 1);
          break;
        case zel::vk_next:
        case zel::vk_space:
          v.do_scroll(zel::scroll_info::page_forward, 1);
          break;
        case zel::vk_home:
          v.do_scroll(zel::scroll_info::go_min, 0);
          break;
        case zel::vk_end:
          v.do_scroll(zel::scroll_info::go_max, 0);
          break;
        case zel::vk_back:
          back();
          break;
        case 'C':
          if (ev.field3 & zel::key_ctrl) facet_->copy_to_clipboard();
          break;
        default:
          break;
      }
    } else if (ev.get_id() == zel::mouse_event_id && ev.field1 == zel::wm_mousewheel) {
      const int32_t notches = int16_t(uint32_t(ev.field4) >> 16) / 120;
      const int32_t pos = v.get_scroll_info().pos;
      v.do_scroll(zel::scroll_info::go_to, pos - 3 * notches);
    } else if (ev.get_id() == zel::mouse_event_id && ev.field1 == zel::wm_lbuttondown) {
      click(ev.field2 - facet_->get_left(), ev.field3 - facet_->get_top());
    }
  }

 private:
  void click(int32_t x, int32_t y) {
    const char16_t* link = facet_->get_link(x, y);
    if (!link) return;
    if (facet_->on_click(x, y)) return;
    const std::string href = qar::to_utf8(link);
    const auto [file, anchor] = split_anchor(href);
    std::error_code ec;
    const std::string ext = lower_ext(file);
    if ((ext == ".html" || ext == ".htm" || ext == ".txt") &&
        std::filesystem::is_regular_file(file, ec)) {
      history_.push_back(current_);
      std::string error;
      if (!open(file, anchor, error)) std::fprintf(stderr, "zelshow: %s\n", error.c_str());
      return;
    }
    std::printf("zelshow: link %s\n", href.c_str());
    std::fflush(stdout);
  }

  void back() {
    if (history_.empty()) return;
    const std::string path = history_.back();
    history_.pop_back();
    std::string error;
    open(path, "", error);
  }

  std::mutex mutex_;
  std::shared_ptr<zel::rfFacet> facet_;
  std::string current_;
  std::vector<std::string> history_;
};

}  // namespace

bool is_document(const std::string& arg) {
  const std::string ext = lower_ext(split_anchor(arg).first);
  return ext == ".html" || ext == ".htm" || ext == ".txt";
}

std::string file_part(const std::string& arg) {
  return split_anchor(arg).first;
}

std::unique_ptr<Presentation> build_document_show(zel::RenderMng& mng, const Options& opt,
                                                  std::string& error) {
  if (opt.files.size() != 1) {
    error = "a document is shown alone (name one .html, .htm or .txt file)";
    return nullptr;
  }
  auto show = std::make_unique<DocumentShow>(mng, opt);
  const auto [file, anchor] = split_anchor(opt.files[0]);
  if (!show->open(file, anchor, error)) return nullptr;
  DocumentShow* s = show.get();
  zel::set_input_handler([s](const zel::zel_event& ev) { s->on_input(ev); });
  return show;
}

}  // namespace zelshow
