#include "zel/plugins.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "qar/stream.h"
#include "qar/trace.h"
#include "zel/engine.h"

namespace fs = std::filesystem;

namespace {

const fs::path kPluginLibs = ZEL_TEST_PLUGIN_DIR;

// Logs every read (position and count) so the test sees which sources looked at it.
class LoggingStream : public qar::MemoryStream {
 public:
  using qar::MemoryStream::MemoryStream;
  std::vector<std::pair<int64_t, int64_t>> reads;
  int64_t read(void* b, int64_t n) override {
    reads.emplace_back(position(), n);
    return qar::MemoryStream::read(b, n);
  }
};

std::shared_ptr<LoggingStream> stream_of(const std::string& s) {
  return std::make_shared<LoggingStream>(std::vector<uint8_t>(s.begin(), s.end()));
}

int builtin_calls = 0;
std::shared_ptr<zel::MultiMediaStream> builtin_create(std::shared_ptr<qar::Stream> s) {
  ++builtin_calls;
  unsigned char b = 0;
  s->read(&b, 1);
  if (b != 'Z') return nullptr;
  return std::shared_ptr<zel::MultiMediaStream>(
      std::shared_ptr<void>(), reinterpret_cast<zel::MultiMediaStream*>(uintptr_t(0x2A)));
}

uintptr_t tag(const std::shared_ptr<zel::MultiMediaStream>& p) {
  return reinterpret_cast<uintptr_t>(p.get());
}

// A scratch folder, entered for the test and removed afterwards.
class PluginsTest : public ::testing::Test {
 protected:
  fs::path old_cwd, dir;
  zel::ImageDecoderFactory* saved_decoder = nullptr;
  zel::create_mmstream_fn saved_media = nullptr;
  std::string saved_media_name;
  void SetUp() override {
    // The built-in entries of the real modules, put back afterwards.
    saved_decoder = zel::plugins::builtin_decoder_factory();
    saved_media = zel::plugins::builtin_media_stream(&saved_media_name);
    old_cwd = fs::current_path();
    dir = fs::temp_directory_path() / ("zel_plugins_" + std::to_string(getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir / "Plugins");
    fs::current_path(dir);
    qar::set_trace_sink([](const std::string&) {});
  }
  void TearDown() override {
    zelUninit();
    zel::plugins::set_builtin_decoder_factory(saved_decoder);
    zel::plugins::set_builtin_media_stream(saved_media, saved_media_name);
    qar::set_trace_sink(nullptr);
    fs::current_path(old_cwd);
    fs::remove_all(dir);
  }
  void install(const std::vector<std::string>& names, const fs::path& to) {
    for (const auto& n : names) fs::copy_file(kPluginLibs / (n + ".plg"), to / (n + ".plg"));
  }
};

TEST_F(PluginsTest, ScansRegisterEachKindInFileOrder) {
  install({"dev_a", "dev_b", "dev_other", "media_a", "media_b", "both", "noinfo", "nullinfo",
           "kind4_nofactory", "decoder_only"},
          dir / "Plugins");
  std::ofstream(dir / "Plugins" / "garbage.plg") << "this is not a library";
  fs::create_directories(dir / "Plugins" / "folder.plg");
  std::ofstream(dir / "Plugins" / "readme.txt") << "ignored";
  int decoder_marker = 0;
  auto* builtin_decoder = reinterpret_cast<zel::ImageDecoderFactory*>(&decoder_marker);
  zel::plugins::set_builtin_decoder_factory(builtin_decoder);
  zel::plugins::set_builtin_media_stream(&builtin_create, "Built-in Stream");
  zelInit(nullptr);
  // Devices: the later "Direct3D8" replaces the earlier one; lookups are exact.
  for (auto [name, tag] : {std::pair{u"Direct3D8", 0xB2u}, {u"TestDevice", 0xC3u}}) {
    auto* f = zel::plugins::find_device_factory(name);
    ASSERT_TRUE(f && std::u16string(f->name()) == name);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(f->create()), tag);
  }
  EXPECT_EQ(zel::plugins::find_device_factory(u"direct3d8"), nullptr);
  EXPECT_EQ(zel::plugins::find_device_factory(u""), nullptr);
  // Media streams: every non-device plug-in with CreateMMStream, then the built-in source
  // (media_b has no GetHumanName; nullinfo's null record still makes a media stream).
  auto media = zel::plugins::media_streams();
  const char* names[] = {"Both", "Media A", "", "", "Built-in Stream"};
  ASSERT_EQ(media.size(), 5u);
  for (size_t i = 0; i < 5; ++i)
    EXPECT_TRUE(media[i].name == names[i] && media[i].library.is_open() == (i < 4)) << i;
  // Decoders: the built-in first, then kind & 1 plug-ins.
  auto decoders = zel::plugins::image_decoders();
  ASSERT_EQ(decoders.size(), 3u);
  EXPECT_EQ(decoders[0].factory, builtin_decoder);
  EXPECT_EQ(std::make_pair(reinterpret_cast<uintptr_t>(decoders[1].factory),
                           reinterpret_cast<uintptr_t>(decoders[2].factory)),
            std::make_pair(uintptr_t(0xD6), uintptr_t(0xE1)));
}

TEST_F(PluginsTest, MediaStreamSourcesAreTriedInOrderFromTheSameStart) {
  install({"media_a", "media_b", "both", "nullinfo"}, dir / "Plugins");
  zel::plugins::set_builtin_media_stream(&builtin_create, "Built-in Stream");
  zelInit(nullptr);
  builtin_calls = 0;
  // Nobody accepts: both (3 bytes), media_a (1), media_b (2), nullinfo (4), then the built-in.
  auto s = stream_of("QQQQQQ");
  s->seek(1, qar::Stream::seek_begin);
  EXPECT_EQ(zel::plugins::create_media_stream(s), nullptr);
  EXPECT_EQ(s->reads,
            (std::vector<std::pair<int64_t, int64_t>>{{1, 3}, {1, 1}, {1, 2}, {1, 4}, {1, 1}}));
  EXPECT_EQ(builtin_calls, 1);
  // The first that accepts wins; later ones are not asked.
  auto b = stream_of("B-stream");
  EXPECT_EQ(tag(zel::plugins::create_media_stream(b)), 5u);
  EXPECT_EQ(b->reads.size(), 3u);
  EXPECT_EQ(tag(zel::plugins::create_media_stream(stream_of("Zed"))), 0x2Au);
  EXPECT_EQ(tag(zel::plugins::create_media_stream(stream_of("N..."))), 8u);
  // An exception from one source is traced and the walk goes on.
  std::vector<std::string> lines;
  qar::set_trace_sink([&](const std::string& l) { lines.push_back(l); });
  auto x = stream_of("X");
  EXPECT_EQ(zel::plugins::create_media_stream(x), nullptr);
  EXPECT_EQ(x->reads.size(), 5u);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("media_b refuses X ("), std::string::npos);
  EXPECT_EQ(zel::plugins::create_media_stream(nullptr), nullptr);
}

TEST_F(PluginsTest, UninitReleasesListsButKeepsDevicesAndInitAppendsAgain) {
  install({"dev_a", "media_a", "both"}, dir / "Plugins");
  zel::plugins::set_builtin_media_stream(&builtin_create, "Built-in Stream");
  for (size_t scans : {1, 2}) {  // a second scan appends again
    zelInit(nullptr);
    EXPECT_EQ(zel::plugins::media_streams().size(), 3 * scans);
  }
  zelUninit();
  EXPECT_TRUE(zel::plugins::media_streams().empty() && zel::plugins::image_decoders().empty());
  // The device registry stays, and its library with it.
  auto* d3d = zel::plugins::find_device_factory(u"Direct3D8");
  ASSERT_TRUE(d3d && reinterpret_cast<uintptr_t>(d3d->create()) == 0xA1u);
}

std::string run_probe(const fs::path& cwd, const fs::path& lib_dir) {
  std::string cmd = "cd '" + cwd.string() + "' && LD_LIBRARY_PATH='" + lib_dir.string() + "' '" +
                    ZEL_TEST_PROBE + "'";
  std::string out;
  FILE* p = popen(cmd.c_str(), "r");
  for (char buf[512]; p && fgets(buf, sizeof buf, p);) out += buf;
  EXPECT_TRUE(p && pclose(p) == 0);
  return out;
}

TEST_F(PluginsTest, FallsBackToThePluginsFolderBesideTheLibrary) {
  // A copy of libzel.so with a Plugins folder beside it; the current directory has none.
  fs::remove_all(dir / "Plugins");
  fs::path libdir = dir / "lib";
  fs::create_directories(libdir / "Plugins");
  fs::copy_file(ZEL_TEST_LIBZEL, libdir / fs::path(ZEL_TEST_LIBZEL).filename());
  install({"fallback_dev", "media_a"}, libdir / "Plugins");
  fs::create_directories(dir / "run");
  std::string out = run_probe(dir / "run", libdir);
  for (const std::string& line :
       {"library " + fs::canonical(libdir).string() + "/\n", std::string("device FallbackDevice\n"),
        std::string("media Media A\n")})
    EXPECT_NE(out.find(line), std::string::npos) << out;
  // A Plugins folder with a plug-in in the current directory takes precedence.
  fs::create_directories(dir / "run" / "Plugins");
  install({"dev_other"}, dir / "run" / "Plugins");
  out = run_probe(dir / "run", libdir);
  EXPECT_NE(out.find("device TestDevice\n"), std::string::npos) << out;
  EXPECT_EQ(out.find("device FallbackDevice\n"), std::string::npos) << out;
}

}  // namespace
