// Cross-thread hand-overs: a send_message round trip to a thread of control, and an invoke on
// the GUI thread that a second thread drains.
#include <benchmark/benchmark.h>
#include <poll.h>

#include <atomic>
#include <memory>
#include <thread>

#include "qar/string.h"
#include "qar/thread.h"
#include "qar/url.h"
#include "zel/gui_dispatcher.h"

namespace {

class Echo : public qar::ThreadOfControl {
 public:
  Echo() : ThreadOfControl("bench echo") {}

 protected:
  int32_t dispatch_message(std::shared_ptr<qar_message> m) override { return m->param1; }
};

void BM_SendMessageRoundTrip(benchmark::State& state) {
  auto echo = std::make_shared<Echo>();
  qar::ThreadOfControl::start(echo);
  auto msg = std::make_shared<qar_message>(1);
  for (auto _ : state) benchmark::DoNotOptimize(echo->send_message(msg));
  echo->terminate();
}
BENCHMARK(BM_SendMessageRoundTrip);

void BM_PostMessage(benchmark::State& state) {
  auto echo = std::make_shared<Echo>();
  qar::ThreadOfControl::start(echo);
  auto msg = std::make_shared<qar_message>(1);
  for (auto _ : state) echo->post_message(msg);
  echo->send_message(msg);  // let the queue empty
  echo->terminate();
}
BENCHMARK(BM_PostMessage);

void BM_GuiInvoke(benchmark::State& state) {
  std::atomic<bool> stop{false};
  std::thread gui([&] {
    zel::gui::attach();
    while (!stop) {
      pollfd f{zel::gui::event_fd(), POLLIN, 0};
      poll(&f, 1, 1);
      zel::gui::drain();
    }
  });
  while (!zel::gui::is_attached()) std::this_thread::yield();
  for (auto _ : state) benchmark::DoNotOptimize(zel::gui::invoke([] { return 1; }));
  stop = true;
  gui.join();
  zel::gui::detach();
}
BENCHMARK(BM_GuiInvoke);

void BM_Utf8Decode(benchmark::State& state) {
  std::string text;
  for (int i = 0; i < 1000; ++i) text += "h\xC3\xA9llo \xE2\x82\xAC \xF0\x9F\x98\x80 ";
  for (auto _ : state) benchmark::DoNotOptimize(qar::intenal::utf8_2_ucs2(text));
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(text.size()));
}
BENCHMARK(BM_Utf8Decode);

void BM_UrlCombine(benchmark::State& state) {
  for (auto _ : state)
    benchmark::DoNotOptimize(qar::url::combine("http://host/a/b/c/page.html?q", "../../x/./y.png"));
}
BENCHMARK(BM_UrlCombine);

}  // namespace

BENCHMARK_MAIN();
