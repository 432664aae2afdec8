// The HTML parser: reads a document from a stream with libxml2 (zel/html/libxml2/) and walks
// its tree once, appending blocks, font and colour markers, anchors, tables and list markers to
// a rich-format document and cutting text into words.
//
// Use: set_source, set_style, open, get_document. open() is false (traced) when the source is
// missing ("don't set source"), when no document with a root element came out ("Error parser
// HTML"), and when the stream failed or the page nested deeper than the reader allows; in the
// last two cases get_document() still gives what was read.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "zel/rich_format/rf_parser.h"

struct _xmlDoc;
struct _xmlNode;

namespace zel {
namespace html {

class html_parser : public rf::rf_parser {
 public:
  html_parser();
  ~html_parser() override;

  bool parse() override;

 private:
  // What the element handlers save and restore as a whole.
  struct saved_state {
    rf::format_state format;
    int32_t size_index;
    bool colour_is_default;
  };
  struct list_context {
    bool ordered = false;
    char16_t numbering = u'1';          // '1', 'a', 'A', 'i', 'I'
    std::u16string marker = u"\u2022";  // unordered lists
    int32_t next = 1;
  };
  struct table_context {
    std::shared_ptr<rf::TableCell> table;
    int32_t row_alignment = 0;
    bool in_cell = false;  // a cell of this table is being read
  };

  saved_state save() const;
  void restore(const saved_state& s);
  void set_size_index(int32_t index);
  // The colour marker of the state's colour (the document default's when none was set).
  void append_state_colour();
  void build_style_sheet();

  void walk(_xmlNode* node);
  void children(_xmlNode* node);
  void element(_xmlNode* node, int32_t code);
  void on_a(_xmlNode* node);
  void on_body(_xmlNode* node);
  void on_br();
  void on_block(_xmlNode* node, int32_t code);
  void on_font(_xmlNode* node);
  void on_font_run(_xmlNode* node, int32_t code);
  void on_heading(_xmlNode* node, int32_t level);
  void on_list(_xmlNode* node, bool ordered);
  void on_li(_xmlNode* node);
  void on_table(_xmlNode* node);
  void on_row_group(_xmlNode* node);
  void on_tr(_xmlNode* node);
  void on_td(_xmlNode* node);
  // The table a row or cell belongs to; an implied one (appended to the current container)
  // when the element stands outside a table.
  table_context& table_for_row(bool& implied);

  int32_t size_index_ = 4;
  bool colour_is_default_ = true;
  std::vector<list_context> lists_;
  std::vector<table_context> tables_;
  // The block the last line break opened (a following break closes it first).
  rf::ContainerCell* break_block_ = nullptr;
};

}  // namespace html
}  // namespace zel
