// The process-local clipboard (run with DISPLAY empty): text, HTML, pictures, sessions.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>

#include "clipboard/clip_test_util.h"
#include "zel/controls/clipboard.h"
#include "zel/pixel_format.h"

using zel::Clipboard;
using namespace std::chrono_literals;

namespace {

std::string data_of(const std::string& target) {
  Clipboard c;
  std::string out;
  EXPECT_TRUE(c.get_data(target, out)) << target;
  return out;
}

bool has_target(const std::string& target) {
  Clipboard c;
  std::vector<std::string> t;
  EXPECT_TRUE(c.get_targets(t));
  for (const auto& n : t)
    if (n == target) return true;
  return false;
}

class LocalClipboard : public ::testing::Test {
 protected:
  void SetUp() override {
    Clipboard::set_timeout(2000ms);
    Clipboard().erase();
  }
};

TEST_F(LocalClipboard, TextInEveryEncoding) {
  EXPECT_FALSE(Clipboard::is_system());
  const char16_t surrogate[] = {u'a', char16_t(0xD800), u'b', 0};
  const char16_t with_zero[] = {u'a', u'b', 0, u'c', u'd'};
  struct Case {
    std::u16string text;  // pasted with the length given (-1: up to its zero)
    int len;
    std::u16string back;
    std::string utf8, latin1, text_target;
  } cases[] = {
      // Latin-1: each Cyrillic letter and the emoji (a surrogate pair) become one '?'; TEXT
      // carries UTF-8 when the text is not all Latin-1.
      {u"Привет, café 😀", -1, u"Привет, café 😀", "Привет, café 😀", "??????, caf\xE9 ?",
       "Привет, café 😀"},
      {u"na\u00efve", -1, u"na\u00efve", "na\xC3\xAFve", "na\xEFve", "na\xEFve"},
      {surrogate, -1, u"a\uFFFDb", "a\uFFFDb", "a?b", "a\uFFFDb"},
      {u"abcdef", 3, u"abc", "abc", "abc", "abc"},                 // the length counts code units
      {std::u16string(with_zero, 5), 5, u"ab", "ab", "ab", "ab"},  // and stops at a zero
  };
  for (const auto& c : cases) {
    Clipboard cb;
    ASSERT_TRUE(c.len < 0 ? cb.paste(c.text.c_str()) : cb.paste(c.text.data(), c.len));
    EXPECT_FALSE(cb) << "a call that opened the clipboard closes it again";
    std::u16string back;
    ASSERT_TRUE(cb.get(back));
    EXPECT_EQ(back, c.back);
    EXPECT_EQ(data_of("UTF8_STRING"), c.utf8);
    EXPECT_EQ(data_of("text/plain;charset=utf-8"), c.utf8);
    EXPECT_EQ(data_of("STRING"), c.latin1);
    EXPECT_EQ(data_of("TEXT"), c.text_target);
  }
}

// Bad or empty input of every kind (pitches shorter than a row, pictures too large) is refused
// and leaves what is there alone.
TEST_F(LocalClipboard, BadInputLeavesClipboardUntouched) {
  Clipboard open(true);
  ASSERT_TRUE(open.paste(u"keep me") && open.paste_html("<i>old</i>"));
  open.close();
  Clipboard c;
  const char16_t starts_with_zero[] = {0, u'x', u'y'};
  std::vector<uint8_t> px(64 * 64 * 4, 0x55);
  const uint32_t argb = zel::bimage_a8r8g8b8;
  const bool accepted[] = {c.paste(u""),
                           c.paste(std::u16string()),
                           c.paste(nullptr, -1),
                           c.paste(u"abc", 0),
                           c.paste(u"abc", -2),
                           c.paste(starts_with_zero, 3),
                           c.paste_html(nullptr),
                           c.paste_html(""),
                           c.paste_html("abc", -5),
                           c.paste_img(nullptr, 4, 4, 16, argb),
                           c.paste_img(px.data(), 0, 4, 16, argb),
                           c.paste_img(px.data(), 4, -1, 16, argb),
                           c.paste_img(px.data(), 4, 4, 15, argb),
                           c.paste_img(px.data(), 4, 4, -16, argb),
                           c.paste_img(px.data(), 65536, 65536, 262144, argb)};
  for (size_t i = 0; i < std::size(accepted); ++i) EXPECT_FALSE(accepted[i]) << "case " << i;
  for (uint32_t f : {uint32_t(zel::bimage_p8), uint32_t(zel::bimage_a8), uint32_t(zel::bimage_cmyk),
                     uint32_t(zel::bimage_a4r4g4b4), 0u, 0x12345678u})
    EXPECT_FALSE(c.paste_img(px.data(), 4, 4, 16, f)) << f;
  EXPECT_FALSE(has_target("image/png"));
  std::u16string back;
  std::string html;
  EXPECT_TRUE(c.get(back) && back == u"keep me");
  EXPECT_TRUE(c.get_html(html) && html == "<i>old</i>");
  ASSERT_TRUE(c.paste_html("abcdef", 3));
  EXPECT_TRUE(c.get_html(html) && html == "abc");
}

TEST_F(LocalClipboard, GetIntoBufferFollowsWcsncpy) {
  ASSERT_TRUE(Clipboard().paste(u"0123456789"));
  Clipboard c;
  std::u16string small(6, u'#'), large(14, u'#');
  ASSERT_TRUE(c.get(&small[0], 4));
  EXPECT_EQ(small, u"0123##") << "4 units, no terminator, nothing beyond";
  ASSERT_TRUE(c.get(&large[0], 13));
  EXPECT_EQ(large, std::u16string(u"0123456789\0\0\0#", 14)) << "padded with zeros to 13 units";
  EXPECT_FALSE(c.get(nullptr, 4));
  EXPECT_FALSE(c.get(&small[0], -1));
}

TEST_F(LocalClipboard, PastesOfDifferentKindsLiveTogether) {
  Clipboard c(true);
  ASSERT_TRUE(c.paste(u"plain"));
  ASSERT_TRUE(c.paste_html("<p>rich</p>"));
  std::vector<uint8_t> px = cliptest::make_picture(zel::bimage_r8g8b8, 2, 2, 8);
  ASSERT_TRUE(c.paste_img(px.data(), 2, 2, 8, zel::bimage_r8g8b8));
  EXPECT_TRUE(has_target("image/png") && has_target("image/bmp"));
  ASSERT_TRUE(c.paste(u"second"));  // a new text replaces the text only
  std::u16string text;
  std::string html;
  EXPECT_TRUE(c.get(text) && text == u"second");
  EXPECT_TRUE(c.get_html(html) && html == "<p>rich</p>");
  // Erase empties everything and keeps an open clipboard open; a paste then stands alone.
  c.erase();
  EXPECT_TRUE(c);
  EXPECT_FALSE(c.get(text));
  EXPECT_FALSE(c.get_html(html));
  std::vector<std::string> targets;
  ASSERT_TRUE(c.get_targets(targets));
  EXPECT_EQ(targets, (std::vector<std::string>{"TARGETS", "TIMESTAMP"}));
  ASSERT_TRUE(c.paste(u"third"));
  EXPECT_FALSE(has_target("text/html"));
  EXPECT_FALSE(has_target("image/png"));
}

// Reads one eight-digit field of the "HTML Format" header.
size_t field(const std::string& wrapped, const char* name) {
  size_t at = wrapped.find(name);
  EXPECT_NE(at, std::string::npos) << name;
  if (at == std::string::npos) return 0;
  return size_t(std::stoul(wrapped.substr(at + std::strlen(name), 8)));
}

// "HTML Format": offsets come from where each piece was written, so markers inside the HTML
// cannot move them; a whole document keeps its own html element.
TEST_F(LocalClipboard, HtmlIsWrappedWithOffsets) {
  struct Case {
    std::string html, start_html, tail;
  } cases[] = {
      {"<b>bold</b> текст", "<html><body>\r\n<b>bold</b> текст<!--EndFragment-->",
       "<!--EndFragment-->\r\n</body>\r\n</html>"},
      {"<!DOCTYPE html>\n<html><body><p>x</p></body></html>\n", "<html><body><p>x</p>",
       "<!--EndFragment-->\r\n"},
      {"a<!--EndFragment-->b<html>", "<html><!--EndFragment-->\r\n", "<!--EndFragment-->\r\n"},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(Clipboard().paste_html(c.html.c_str(), int32_t(c.html.size())));
    EXPECT_EQ(data_of("text/html"), c.html);
    const std::string w = data_of("HTML Format");
    ASSERT_EQ(w.rfind("Version:0.9\r\nStartHTML:", 0), 0u);
    EXPECT_EQ(w.substr(field(w, "StartHTML:"), c.start_html.size()), c.start_html);
    EXPECT_EQ(field(w, "EndHTML:"), w.size());
    EXPECT_EQ(w.substr(field(w, "EndFragment:")), c.tail);
    EXPECT_EQ(w.compare(field(w, "StartFragment:"), 20, "<!--StartFragment-->"), 0);
  }
  // Text too long for the header's eight digits is refused.
  std::string big(100000000, 'x');
  EXPECT_TRUE(zel::clip::wrap_html(big).empty());
  big.resize(1000);
  EXPECT_FALSE(zel::clip::wrap_html(big).empty());
}

struct FormatCase {
  uint32_t format;
  int bits;
  uint32_t compression;
  uint32_t masks[3];
};

const FormatCase kFormats[] = {
    {zel::bimage_x1r5g5b5, 16, 3, {0x7C00, 0x03E0, 0x001F}},
    {zel::bimage_a1r5g5b5, 16, 3, {0x7C00, 0x03E0, 0x001F}},
    {zel::bimage_r5g6b5, 16, 3, {0xF800, 0x07E0, 0x001F}},
    {zel::bimage_r8g8b8, 24, 0, {0, 0, 0}},
    {zel::bimage_x8r8g8b8, 32, 3, {0xFF0000, 0x00FF00, 0x0000FF}},
    {zel::bimage_a8r8g8b8, 32, 3, {0xFF0000, 0x00FF00, 0x0000FF}},
};

TEST_F(LocalClipboard, PicturesBecomeFaithfulPngAndBmp) {
  const int w = 7, h = 5;
  for (const FormatCase& f : kFormats) {
    SCOPED_TRACE(f.format);
    const int bpp = f.bits / 8;
    const int pitch = w * bpp + 9;  // rows further apart than needed
    std::vector<uint8_t> px = cliptest::make_picture(f.format, w, h, pitch);
    ASSERT_TRUE(Clipboard().paste_img(px.data(), w, h, pitch, f.format));
    EXPECT_EQ(cliptest::png_mismatches(data_of("image/png"), px, f.format, w, h, pitch), 0);
    const std::string bmp = data_of("image/bmp");
    const size_t stride = size_t((w * f.bits + 31) / 32 * 4);
    const size_t offset = 14 + 40 + (f.compression == 3 ? 12 : 0);
    ASSERT_EQ(bmp.size(), offset + stride * h);
    EXPECT_EQ(bmp.substr(0, 2), "BM");
    // Header fields (offset, value); planes and bits per pixel share one 32-bit field.
    const size_t fields[][2] = {
        {2, bmp.size()},     {10, offset},     {14, 40},
        {18, size_t(w)},     {22, size_t(h)},  {26, 1u | size_t(f.bits) << 16},
        {30, f.compression}, {54, f.masks[0]}, {58, f.masks[1]},
        {62, f.masks[2]}};
    for (const auto& field : fields)
      EXPECT_TRUE(field[0] >= offset || cliptest::u32_at(bmp, field[0]) == field[1]) << field[0];
    for (int row = 0; row < h; ++row) {
      const size_t at = offset + stride * size_t(row);
      const uint8_t* src = &px[size_t((h - 1 - row) * pitch)];
      EXPECT_EQ(bmp.substr(at, size_t(w * bpp)),
                std::string(reinterpret_cast<const char*>(src), size_t(w * bpp)))
          << "BMP row " << row << " is source row " << h - 1 - row;
      for (size_t pad = size_t(w * bpp); pad < stride; ++pad)
        EXPECT_EQ(bmp[at + pad], 0) << "padding of row " << row;
    }
  }
}

// A session is the thread's: nested opens and copies join it and it lasts until its last holder
// closes. Another thread's open waits for that up to the timeout, and a clipboard whose open
// failed opens again for each later call.
TEST_F(LocalClipboard, SessionsAreTheThreadsAndOthersWaitForThem) {
  std::atomic<bool> held{false}, release{false};
  std::thread holder([&] {
    Clipboard a(true);
    {
      Clipboard nested(true);
      EXPECT_TRUE(nested);
    }
    Clipboard b(a);
    a.close();
    EXPECT_TRUE(!a && b) << "the copy still holds the session";
    b.paste(u"from holder");
    held = true;
    while (!release) std::this_thread::sleep_for(1ms);
  });
  while (!held) std::this_thread::sleep_for(1ms);
  Clipboard::set_timeout(20ms);
  Clipboard mine(true);
  EXPECT_FALSE(mine) << "could not open while another thread holds it";
  Clipboard::set_timeout(2000ms);
  std::thread releaser([&] {
    std::this_thread::sleep_for(30ms);
    release = true;
  });
  std::u16string text;
  {
    Clipboard waiting(true);
    EXPECT_TRUE(waiting) << "opened once the holder closed";
    EXPECT_TRUE(waiting.get(text) && text == u"from holder");
  }
  holder.join();
  releaser.join();
  EXPECT_TRUE(mine.paste(u"retried"));
  EXPECT_FALSE(mine) << "paste opened and closed it for the call";
  EXPECT_TRUE(mine.get(text) && text == u"retried");
  // Shutdown starts afresh: a new local clipboard is empty.
  Clipboard::shutdown();
  EXPECT_FALSE(Clipboard().get(text));
  ASSERT_TRUE(Clipboard().paste(u"after"));
  EXPECT_TRUE(Clipboard().get(text) && text == u"after");
}

}  // namespace
