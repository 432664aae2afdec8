#include "flash_box.h"

#include <cstdio>
#include <string>
#include <vector>

#include "qar/context.h"
#include "qar/stream.h"
#include "zel/controls/flash_player.h"
#include "zel/layer.h"

namespace zelshow {

namespace {

// An uncompressed Flash 10 header: a 200 x 150 frame (4000 x 3000 twips, 13-bit RECT fields),
// 12 frames a second, 24 frames, then the End tag.
std::vector<uint8_t> movie_header() {
  std::vector<uint8_t> body;
  uint32_t acc = 0;
  int bits = 0;
  auto put = [&](uint32_t v, int n) {
    for (int i = n - 1; i >= 0; --i) {
      acc = acc << 1 | ((v >> i) & 1);
      if (++bits == 8) body.push_back(uint8_t(acc)), acc = 0, bits = 0;
    }
  };
  put(13, 5);
  for (uint32_t v : {0u, 4000u, 0u, 3000u}) put(v, 13);
  if (bits) put(0, 8 - bits);
  for (uint8_t b : {0, 12, 24, 0, 0, 0}) body.push_back(b);
  const uint32_t length = uint32_t(8 + body.size());
  std::vector<uint8_t> file = {'F', 'W', 'S', 10};
  for (int i = 0; i < 4; ++i) file.push_back(uint8_t(length >> (8 * i)));
  file.insert(file.end(), body.begin(), body.end());
  return file;
}

void print_event(void*, const std::string& name, const std::vector<std::string>& args) {
  std::string text = name;
  for (const std::string& a : args) text += " " + a;
  std::printf("zelshow: host event: %s\n", text.c_str());
  std::fflush(stdout);
}

}  // namespace

FlashBox::FlashBox(zel::Layer& layer, int32_t x, int32_t y)
    : player_(zel::create_flashplayer()),
      listener_(qarContext::instance().add_event_listener(nullptr, &print_event)) {
  player_->put_background_color(0xff8000);
  if (!player_->load_movie(0, std::make_shared<qar::MemoryStream>(movie_header()))) {
    std::fprintf(stderr, "zelshow: the Flash movie header could not be read\n");
    return;
  }
  const auto size = player_->get_native_size();
  std::printf("zelshow: Flash movie %dx%d, %.2f fps, %d frames\n", size.first, size.second,
              player_->get_fps(), player_->get_total_frames());
  std::fflush(stdout);
  player_->set_topleft(x, y);
  layer.put_facet(player_);
  player_->play();
}

FlashBox::~FlashBox() {
  qarContext::instance().remove_event_listener(listener_);
}

}  // namespace zelshow
