// Reading and laying out HTML pages: the engine's parser and layout beside litehtml (the peer),
// both measuring text with the engine's fonts on the software device and drawing nothing.
//
// Pages are generated: a 100 KB article, 100 KB of tables and a 1 MB article. For each: parse +
// layout at 800 px, and a second layout at 600 px of a page laid out at 800. After the runs the
// engine/peer ratios of the CPU-time medians are printed (goals: parse + layout <= 0.5, relayout
// <= 0.25), with the heap each document keeps per KB of HTML (mallinfo2).
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "qar/stream.h"
#include "qar/string.h"
#include "zel/3d/driver/soft/soft_device.h"
#include "zel/font.h"
#include "zel/html/html_parser.h"
#include "zel/rich_format/cells.h"

#ifdef ZEL_BENCH_LITEHTML
#include <litehtml/litehtml.h>
#endif

namespace {

zel::RenderDevice& device() {
  static std::shared_ptr<zel::soft::SoftDevice> dev = [] {
    auto d = std::make_shared<zel::soft::SoftDevice>();
    zel::DeviceMode m;
    m.width = 64;
    m.height = 64;
    d->init();
    d->set_display(nullptr, m);
    return d;
  }();
  return *dev;
}

// ---- Pages ---------------------------------------------------------------------------------

struct Rng {
  uint32_t s = 12345;
  uint32_t next() { return s = s * 1103515245u + 12345u, (s >> 16) & 0x7fff; }
};

const char* const kWords[] = {"the",   "engine", "lays",    "out",       "pages",  "of",
                              "text",  "with",   "fonts",   "measured",  "once",   "lines",
                              "break", "where",  "words",   "end",       "tables", "share",
                              "width", "among",  "columns", "scrolling", "goes",   "by"};

std::string words(Rng& r, int n) {
  std::string s;
  for (int i = 0; i < n; ++i) {
    if (i) s += ' ';
    const int k = int(r.next() % 24);
    const int style = int(r.next() % 20);
    if (style == 0)
      s += std::string("<b>") + kWords[k] + "</b>";
    else if (style == 1)
      s += std::string("<i>") + kWords[k] + "</i>";
    else if (style == 2)
      s += std::string("<a href=\"#s1\">") + kWords[k] + "</a>";
    else
      s += kWords[k];
  }
  return s;
}

std::string article(size_t bytes) {
  Rng r;
  std::string s = "<html><head><title>Article</title></head><body>\n";
  for (int sec = 1; s.size() < bytes; ++sec) {
    s += "<h2><a name=\"s" + std::to_string(sec) + "\"></a>Section " + std::to_string(sec) +
         "</h2>\n";
    for (int p = 0; p < 4; ++p) s += "<p>" + words(r, 60 + int(r.next() % 60)) + "</p>\n";
    s += "<ul><li>" + words(r, 8) + "</li><li>" + words(r, 10) + "</li></ul>\n";
  }
  return s + "</body></html>\n";
}

std::string tables(size_t bytes) {
  Rng r;
  std::string s = "<html><body>\n";
  while (s.size() < bytes) {
    s += "<table border=\"1\" cellspacing=\"2\" width=\"100%\">\n";
    for (int row = 0; row < 20; ++row) {
      s += "<tr>";
      for (int c = 0; c < 4; ++c) s += "<td>" + words(r, 1 + int(r.next() % 8)) + "</td>";
      s += "</tr>\n";
    }
    s += "</table><p>" + words(r, 30) + "</p>\n";
  }
  return s + "</body></html>\n";
}

const std::string& page(int which) {
  static const std::string pages[3] = {article(100 * 1024), tables(100 * 1024),
                                       article(1024 * 1024)};
  return pages[which];
}
const char* const kPageNames[3] = {"article100k", "tables100k", "article1m"};

// ---- The engine ----------------------------------------------------------------------------

std::shared_ptr<zel::rf::DocumentCell> ours_parse(const std::string& html) {
  zel::html::html_parser p;
  p.set_source(std::make_shared<qar::MemoryStream>(html.data(), html.size()));
  p.open();
  return p.get_document();
}

void BM_Ours_ParseLayout(benchmark::State& state) {
  const std::string& html = page(int(state.range(0)));
  for (auto _ : state) {
    auto doc = ours_parse(html);
    doc->layout_document(800, &device());
    benchmark::DoNotOptimize(doc->height());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(html.size()));
}

void BM_Ours_Relayout(benchmark::State& state) {
  auto doc = ours_parse(page(int(state.range(0))));
  for (auto _ : state) {
    state.PauseTiming();
    doc->layout_document(800, &device());
    state.ResumeTiming();
    doc->layout_document(600, &device());
    benchmark::DoNotOptimize(doc->height());
  }
}

// ---- The peer ------------------------------------------------------------------------------

#ifdef ZEL_BENCH_LITEHTML

const char kMasterCss[] = R"(
html, body, div, p, h1, h2, h3, ul, ol, dl, dt, dd, address, blockquote, center { display: block; }
head, title, style, script, meta { display: none; }
body { margin: 8px; }
p, ul, ol { margin-top: 1em; margin-bottom: 1em; }
h1 { font-size: 2em; font-weight: bold; margin: 0.67em 0; }
h2 { font-size: 1.5em; font-weight: bold; margin: 0.83em 0; }
b, strong { font-weight: bold; }
i, em { font-style: italic; }
a { color: #0000EE; text-decoration: underline; }
ul, ol { padding-left: 40px; }
li { display: list-item; }
ul { list-style-type: disc; }
table { display: table; border-collapse: separate; border-spacing: 2px; }
tr { display: table-row; }
td, th { display: table-cell; padding: 1px; }
br { display: block; }
)";

// Text measured with the engine's fonts; nothing is drawn.
class Container : public litehtml::document_container {
 public:
  litehtml::uint_ptr create_font(const litehtml::tchar_t* face, int size, int weight,
                                 litehtml::font_style italic, unsigned int,
                                 litehtml::font_metrics* fm) override {
    zel::logical_font lf(zel::unit(size, zel::unit::pixels), u"Arial",
                         weight >= 600 ? zel::logical_font::fw_bold : zel::logical_font::fw_normal,
                         italic == litehtml::fontStyleItalic ? zel::logical_font::italic : 0);
    (void)face;
    auto f = device().create_font(lf);
    if (!f) return 0;
    if (fm) {
      fm->height = f->get_height();
      fm->ascent = f->get_ascent();
      fm->descent = f->get_descent();
      fm->x_height = f->get_height() / 2;
      fm->draw_spaces = false;
    }
    fonts_.push_back(f);
    return fonts_.size();
  }
  void delete_font(litehtml::uint_ptr) override {}
  int text_width(const litehtml::tchar_t* text, litehtml::uint_ptr font) override {
    if (!font || font > fonts_.size()) return 0;
    const std::u16string s = qar::to_u16(text);
    return zel::text::calc_text(s.data(), int32_t(s.size()), fonts_[font - 1]).first;
  }
  void draw_text(litehtml::uint_ptr, const litehtml::tchar_t*, litehtml::uint_ptr,
                 litehtml::web_color, const litehtml::position&) override {}
  int pt_to_px(int pt) const override { return pt * 96 / 72; }
  int get_default_font_size() const override { return 16; }
  const litehtml::tchar_t* get_default_font_name() const override { return "Arial"; }
  void draw_list_marker(litehtml::uint_ptr, const litehtml::list_marker&) override {}
  void load_image(const litehtml::tchar_t*, const litehtml::tchar_t*, bool) override {}
  void get_image_size(const litehtml::tchar_t*, const litehtml::tchar_t*,
                      litehtml::size& sz) override {
    sz.width = sz.height = 0;
  }
  void draw_background(litehtml::uint_ptr, const litehtml::background_paint&) override {}
  void draw_borders(litehtml::uint_ptr, const litehtml::borders&, const litehtml::position&,
                    bool) override {}
  void set_caption(const litehtml::tchar_t*) override {}
  void set_base_url(const litehtml::tchar_t*) override {}
  void link(const std::shared_ptr<litehtml::document>&, const litehtml::element::ptr&) override {}
  void on_anchor_click(const litehtml::tchar_t*, const litehtml::element::ptr&) override {}
  void set_cursor(const litehtml::tchar_t*) override {}
  void transform_text(litehtml::tstring&, litehtml::text_transform) override {}
  void import_css(litehtml::tstring&, const litehtml::tstring&, litehtml::tstring&) override {}
  void set_clip(const litehtml::position&, const litehtml::border_radiuses&, bool, bool) override {}
  void del_clip() override {}
  void get_client_rect(litehtml::position& client) const override {
    client = litehtml::position(0, 0, 800, 600);
  }
  std::shared_ptr<litehtml::element> create_element(
      const litehtml::tchar_t*, const litehtml::string_map&,
      const std::shared_ptr<litehtml::document>&) override {
    return nullptr;
  }
  void get_media_features(litehtml::media_features& media) const override {
    media.type = litehtml::media_type_screen;
    media.width = media.device_width = 800;
    media.height = media.device_height = 600;
    media.color = 8;
    media.monochrome = 0;
    media.color_index = 256;
    media.resolution = 96;
  }
  void get_language(litehtml::tstring& language, litehtml::tstring& culture) const override {
    language = "en";
    culture.clear();
  }

 private:
  std::vector<std::shared_ptr<zel::Font>> fonts_;
};

litehtml::context& peer_context() {
  static litehtml::context ctx = [] {
    litehtml::context c;
    c.load_master_stylesheet(kMasterCss);
    return c;
  }();
  return ctx;
}

void BM_Peer_ParseLayout(benchmark::State& state) {
  const std::string& html = page(int(state.range(0)));
  Container c;
  for (auto _ : state) {
    auto doc = litehtml::document::createFromUTF8(html.c_str(), &c, &peer_context());
    doc->render(800);
    benchmark::DoNotOptimize(doc->height());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(html.size()));
}

void BM_Peer_Relayout(benchmark::State& state) {
  Container c;
  auto doc =
      litehtml::document::createFromUTF8(page(int(state.range(0))).c_str(), &c, &peer_context());
  for (auto _ : state) {
    state.PauseTiming();
    doc->render(800);
    state.ResumeTiming();
    doc->render(600);
    benchmark::DoNotOptimize(doc->height());
  }
}

#endif

void register_all() {
  for (int p = 0; p < 3; ++p) {
    const std::string n = kPageNames[p];
    benchmark::RegisterBenchmark(("Ours_ParseLayout/" + n).c_str(), BM_Ours_ParseLayout)
        ->Arg(p)
        ->Unit(benchmark::kMillisecond);
#ifdef ZEL_BENCH_LITEHTML
    benchmark::RegisterBenchmark(("Peer_ParseLayout/" + n).c_str(), BM_Peer_ParseLayout)
        ->Arg(p)
        ->Unit(benchmark::kMillisecond);
#endif
    benchmark::RegisterBenchmark(("Ours_Relayout/" + n).c_str(), BM_Ours_Relayout)
        ->Arg(p)
        ->Unit(benchmark::kMillisecond);
#ifdef ZEL_BENCH_LITEHTML
    benchmark::RegisterBenchmark(("Peer_Relayout/" + n).c_str(), BM_Peer_Relayout)
        ->Arg(p)
        ->Unit(benchmark::kMillisecond);
#endif
  }
}

// Keeps the median CPU time of every run for the ratios.
class Collector : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const auto& r : runs) {
      if (r.run_type == Run::RT_Aggregate && r.aggregate_name != "median") continue;
      std::string name = r.run_name.function_name;
      cpu_[name] = r.GetAdjustedCPUTime();
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> cpu_;
};

// Heap kept while a document lives, per KB of its HTML.
template <class F>
double kept_per_kb(const std::string& html, F make) {
  malloc_trim(0);
  const size_t before = mallinfo2().uordblks;
  auto keep = make(html);
  const size_t after = mallinfo2().uordblks;
  return (double(after) - double(before)) / (double(html.size()) / 1024.0);
}

}  // namespace

int main(int argc, char** argv) {
  device();
  for (int p = 0; p < 3; ++p) page(p);
  register_all();
  benchmark::Initialize(&argc, argv);
  Collector rep;
  benchmark::RunSpecifiedBenchmarks(&rep);

  std::printf("\nEngine / peer, CPU-time medians (goals: parse+layout <= 0.5, relayout <= 0.25)\n");
#ifdef ZEL_BENCH_LITEHTML
  for (const char* what : {"ParseLayout", "Relayout"})
    for (const char* n : kPageNames) {
      const std::string o = std::string("Ours_") + what + "/" + n;
      const std::string pr = std::string("Peer_") + what + "/" + n;
      if (!rep.cpu_.count(o) || !rep.cpu_.count(pr) || rep.cpu_[pr] <= 0) continue;
      std::printf("  %-12s %-12s ratio %.3f (ours %.2f ms, litehtml %.2f ms)\n", what, n,
                  rep.cpu_[o] / rep.cpu_[pr], rep.cpu_[o], rep.cpu_[pr]);
    }
#else
  std::printf("  no peer installed (liblitehtml-dev): engine figures only\n");
#endif
  std::printf("\nHeap kept while a document lives, bytes per KB of HTML\n");
  for (int p = 0; p < 3; ++p) {
    const double ours = kept_per_kb(page(p), [](const std::string& h) {
      auto d = ours_parse(h);
      d->layout_document(800, &device());
      return d;
    });
#ifdef ZEL_BENCH_LITEHTML
    Container c;
    const double peer = kept_per_kb(page(p), [&](const std::string& h) {
      auto d = litehtml::document::createFromUTF8(h.c_str(), &c, &peer_context());
      d->render(800);
      return d;
    });
    std::printf("  %-12s ours %.0f, litehtml %.0f\n", kPageNames[p], ours, peer);
#else
    std::printf("  %-12s ours %.0f\n", kPageNames[p], ours);
#endif
  }
  benchmark::Shutdown();
  return 0;
}
