// zelshow --controls: a browser on the bundled pages (tools/zelshow/pages, or the folder named by
// ZELSHOW_PAGES) below the edit boxes; its link leads to a second page.
#include <cstdio>
#include <cstdlib>

#include "qar/string.h"
#include "zel/controls/browser.h"
#include "zel/layer.h"
#include "zelshow.h"

namespace zelshow {

namespace {

class BrowserBox : public Presentation {
 public:
  explicit BrowserBox(std::shared_ptr<zel::Browser> b) : browser_(std::move(b)) {}

 private:
  std::shared_ptr<zel::Browser> browser_;
};

}  // namespace

std::unique_ptr<Presentation> build_browser_box(zel::Layer& layer, const Options& opt) {
  if (opt.headless) return nullptr;
  const char* env = std::getenv("ZELSHOW_PAGES");
  const std::string dir = env && *env ? env : ZELSHOW_PAGES_DIR;
  auto b = zel::create_browser();
  b->set_topleft(20, 300);
  b->set_size(360, 240);
  if (!b->navigate(qar::to_u16(zel::path_to_file_url(dir + "/welcome.html")))) {
    std::fprintf(stderr, "zelshow: the browser could not be started; no web page\n");
    return nullptr;
  }
  layer.put_facet(b);
  return std::make_unique<BrowserBox>(b);
}

}  // namespace zelshow
