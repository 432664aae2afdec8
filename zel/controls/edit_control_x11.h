// EditControlX11: the engine's own edit box. Its text model (edit_model.h) is painted on the CPU
// with the engine's fonts into the windowed facet's bitmap, so it needs no native widget: it
// works the same under any X server, and the X input method reaches it through the device
// window's typed text (wm_char).
//
// Threads: the setters run on any thread and post a repaint; input, painting and the listeners
// run on the GUI thread. Each change of text, caret, selection, focus, style, font or colour
// gives one new frame; a mouse move without a button held gives none. The caret is drawn while
// the box has the focus.
#pragma once
#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "zel/controls/edit_control.h"
#include "zel/controls/edit_model.h"
#include "zel/controls/windowed_facet.h"

namespace zel {

class Font;

class EditControlX11 : public EditControl, public WindowedFacet {
 public:
  EditControlX11();
  ~EditControlX11() override;

  void set_style(uint32_t style) override;
  uint32_t get_style() const override;
  void set_text(const char16_t* text) override;
  const char16_t* get_text() override;
  std::u16string text() const override;
  void set_int(int32_t v) override;
  int32_t get_int() const override;
  void set_float(float v) override;
  float get_float() const override;
  void set_pswdchar(char16_t c) override;
  void set_font(const logical_font& f) override;
  void set_txt_color(int32_t a, int32_t r, int32_t g, int32_t b) override;
  void set_bkg_color(int32_t a, int32_t r, int32_t g, int32_t b) override;
  int32_t get_line_height() const override;
  void set_focus() override;
  bool create(int32_t x, int32_t y, int32_t w, int32_t h) override;
  void destroy() override;
  // Copies the whole text; false for an empty or password text (the clipboard is left alone)
  // and when the clipboard refuses.
  bool copy_to_clipboard() const override;
  void* get_window() override { return nullptr; }

  bool wants_focus() const override { return true; }
  void on_focus(bool focused) override;
  bool has_focus() const;
  // Caret and selection (for the host and tests).
  std::pair<size_t, size_t> selection() const;
  size_t caret() const;

 protected:
  void on_paint() override;
  void on_mouse(const mouse_event& me) override;
  void on_key(const key_event& ke) override;
  void on_size_change() override;

 private:
  struct Geometry;
  void request_paint();
  // Lock held.
  void sync_measure();
  Geometry geometry() const;
  size_t position_at(int32_t x, int32_t y) const;
  void scroll_to_caret();

  mutable std::mutex state_mutex_;
  EditModel model_;
  std::u16string snapshot_;
  std::shared_ptr<Font> font_;
  logical_font font_desc_;
  uint32_t text_rgb_ = 0x000000, bkg_rgb_ = 0xFFFFFF;
  int32_t scroll_x_ = 0, scroll_y_ = 0;
  bool focused_ = false;
  bool created_ = false;
  bool selecting_ = false;
  std::atomic<bool> paint_pending_{false};
};

}  // namespace zel
