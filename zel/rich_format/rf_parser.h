// The common builder of the rich-format parsers (HTML, plain text): the source stream, the
// style, the document under construction, the current container, the formatting state the
// element handlers save and restore, and the cutting of text into word cells.
//
// A parser is used once: set_source, set_style, open, get_document.
#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "zel/font.h"
#include "zel/rich_format/cells.h"
#include "zel/rich_format/style.h"

namespace qar {
class Stream;
}

namespace zel {
namespace rf {

// The formatting state of a parser, saved and restored as a whole by the element handlers.
struct format_state {
  bool italic = false;
  bool underline = false;
  unit size{12.0, unit::points};
  unit weight = logical_font::fw_normal;
  unit line_spacing{1.0, unit::factor};
  std::u16string face;  // from the style given (the engine default's face without one)
  std::u16string colour{u"#000000"};       // text colour as written in the document
  std::u16string back_colour{u"#FFFFFF"};  // background colour as written
  int32_t alignment = 0;                   // 0 none, 1 left, 2 right, 3 center, 4 justify
  std::shared_ptr<LinkInfo> link;

  // The font of this state (everything given).
  logical_font font() const;
};

class rf_parser {
 public:
  rf_parser();
  rf_parser(const rf_parser&) = delete;
  rf_parser& operator=(const rf_parser&) = delete;
  virtual ~rf_parser();

  // parse() behind a handler: an exception is traced and gives false.
  virtual bool open();
  virtual bool parse() = 0;
  // The document, empty when parsing failed (or did not run).
  virtual std::shared_ptr<DocumentCell> get_document();
  // Cuts the text into word cells appended to the current container. length -1: zero-terminated.
  virtual void add_text(const char16_t* text, int32_t length);
  // href made absolute against the source's location; unchanged without a source (null: "").
  virtual std::u16string resolve_url(const char16_t* href);

  void set_source(std::shared_ptr<qar::Stream> source);
  // Keeps a copy of the style; the formatting state starts from its font and text colour.
  void set_style(std::shared_ptr<Style> style);

 protected:
  // The document and the container new cells go to. Making a document current also makes it
  // the parser's document.
  void set_document(std::shared_ptr<DocumentCell> doc);
  const std::shared_ptr<ContainerCell>& current() const { return current_; }
  // Makes `c` current (a handler restoring the container it began in). Null is ignored.
  void set_current(std::shared_ptr<ContainerCell> c);
  // A new block appended to the current container and made current; at line start.
  std::shared_ptr<ContainerCell> start_block();
  // Appends `c` to the current container and makes it current; at line start.
  void push_container(std::shared_ptr<ContainerCell> c);
  // The current container's parent becomes current; never above the document (the document
  // stays current) and never out of a table cell (a table cell stays current).
  void close_container();
  // Ends the line: closes the current block (as close_container) when it holds cells; a table
  // cell or the document stays current. Then at line start.
  void end_line();
  // Appends a cell to the current container (a document is made first if there is none).
  void append(std::shared_ptr<Cell> cell);
  // Appends a font marker for the state's font, or a colour marker for its colour.
  void append_font_marker(int32_t kind = 0);
  void append_colour_marker();
  // The "#AARRGGBB" / "#RRGGBB" colour text as argb; null when it is not such a text.
  static std::shared_ptr<argb> parse_colour_text(const std::u16string& text);

  std::shared_ptr<qar::Stream> source_;
  format_state state_;
  bool at_line_start_ = true;
  std::shared_ptr<DocumentCell> document_;
  std::shared_ptr<ContainerCell> current_;
  Cell* last_cell_ = nullptr;
  std::shared_ptr<Style> style_;
};

}  // namespace rf
}  // namespace zel
