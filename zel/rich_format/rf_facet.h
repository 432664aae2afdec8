// rfFacet: a facet showing a rich-format document (an HTML page, a plain text, or a tree built
// in code), laid out to the facet's width and scrolled by lines.
//
// The document is drawn into an A8R8G8B8 texture of the facet's size, filled with the page's
// background colour, on the render thread in update() (through a render_target); the facet then
// shows that texture like any facet. When no texture can be had the document is drawn straight
// onto the device in render() each frame. The texture is redrawn only when something changed it
// (a new document, a style, the size, a scroll) and reused while the size holds.
//
// Threads: one lock (the facet's rich-format lock, shared with both scroll axes) guards the
// document, its layout and the scroll positions. The host's thread may open, scroll, jump to
// anchors, ask for links and sizes; off the render thread update() only lays out, and drawing
// is done on the render thread alone.
#pragma once
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "zel/facet.h"
#include "zel/renderable.h"
#include "zel/rich_format/cells.h"
#include "zel/rich_format/style.h"
#include "zel/scrolling.h"

namespace qar {
class Stream;
}

namespace zel {

class Texture;

namespace rf {
class rf_parser;
}

class rfFacet : public Facet, public Updatable, public scrolling<0>, public scrolling<1> {
 public:
  // An empty document; a non-empty name becomes the facet's name. Registers for updates with
  // the engine context's render manager when there is one.
  explicit rfFacet(const char16_t* name = nullptr);
  ~rfFacet() override;

  // Reads an HTML page (the stream's location is the base of its links). On failure an empty
  // document is shown and the result is false. The page starts at its first line.
  bool open(std::shared_ptr<qar::Stream> stream);
  // Reads a plain text (its encoding found from its bytes), one block per line.
  bool open_text(std::shared_ptr<qar::Stream> stream);
  // Shows the text: flag 0 as plain text, otherwise as HTML. False for a null or empty text
  // (an empty document is shown).
  bool open(const char16_t* text, int32_t flag);
  // Shows a document built elsewhere (null: an empty one); `location` is the base its in-page
  // links are told apart by.
  void open_document(std::shared_ptr<rf::DocumentCell> doc, std::u16string location = u"");
  // Runs the parser over the stream and shows what it made.
  bool open_with(rf::rf_parser& parser, std::shared_ptr<qar::Stream> stream);

  // Updatable / Facet.
  void update(uint64_t time) override;
  void render(RenderDevice& device) override;
  bool copy_to_clipboard() const override;
  // Device lost: the fonts and the texture are let go; the next update makes them again.
  void on_notification(const notification_event* ev) override;

  // The document's "default" style; setting one lays the document out again.
  std::shared_ptr<rf::Style> get_style() const;
  void set_style(std::shared_ptr<rf::Style> style);

  // The document's content width and height (laid out first when needed); 0 without text.
  int32_t get_media_width();
  int32_t get_media_height();

  // Scrolls so the anchor's line is at the top. False for an empty or unknown name. Before the
  // first layout the jump is kept and made right after it.
  bool goto_anchor(const char16_t* name);
  // The link under facet pixel (x, y); null when none. Valid while the document is shown.
  rf::LinkInfo* get_link_info(int32_t x, int32_t y);
  const char16_t* get_link(int32_t x, int32_t y);
  // Follows an in-page link under the point (href "#name", or this document's location
  // followed by "#name"). True when it jumped.
  bool on_click(int32_t x, int32_t y);

  void name(const char16_t* n);
  void slice_tail(const char16_t* tail);
  void use_slice_tail(bool use);

  // Scrolling: the vertical axis pages by the facet's height in lines.
  bool on_do_scroll(scrollable* source, int32_t message, int32_t value) override;
  void notify(scrollable* source, int32_t message, int32_t new_pos, int32_t old_pos) override;
  scrolling<1>& vertical() { return *this; }
  scrolling<0>& horizontal() { return *this; }

  // For tests and tools.
  std::shared_ptr<rf::DocumentCell> document() const;
  bool is_rendered() const;
  int32_t texture_mode() const;
  std::u16string location() const;

 protected:
  void on_size_change() override;

 private:
  // Caller holds lock_. Lays the document out to the facet's width when needed and sets the
  // vertical scroll range. `device` may be null.
  void layout_locked(RenderDevice* device, int32_t w, int32_t h);
  void scroll_range_locked(int32_t h);
  bool jump_locked(const std::u16string& name);
  int32_t scroll_top_locked() const;
  void replace_document(std::shared_ptr<rf::DocumentCell> doc, std::u16string location);

  mutable std::recursive_mutex lock_;
  std::shared_ptr<rf::DocumentCell> document_;
  bool rendered_ = false;
  int32_t texture_mode_ = 0;
  bool fonts_dropped_ = false;  // the device was found lost and the fonts let go
  bool empty_ = true;  // the document has no text (nothing to lay out off the render thread)
  int32_t range_height_ = -1;  // the facet height the scroll range was set for
  std::u16string pending_anchor_;
  std::u16string location_;
  std::shared_ptr<Texture> texture_;
  std::pair<int32_t, int32_t> texture_size_{0, 0};
};

}  // namespace zel
