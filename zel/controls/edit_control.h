// Controls: the scripting face shared by the engine's interactive facets (named calls and
// properties the host's scripting layer exchanges, and one external callback), and the edit
// box's interface. create_edit_control() makes the engine's own edit box (EditControlX11).
//
// Text is UTF-16 throughout. Listeners are registered as (user pointer, callback) pairs; the
// three registrations share one user pointer (the last one given wins for all three). They are
// called on the GUI thread:
//   key down:    void callback(void* user, int32_t virtual_key)   (Windows VK codes)
//   set focus:   void callback(void* user)
//   kill focus:  void callback(void* user)
// A listener may destroy or refocus its control.
#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "zel/facet.h"
#include "zel/font.h"

namespace vesk {
// The host scripting layer's variant record; the engine only passes pointers to it.
struct VK_VARIANT;
}  // namespace vesk

namespace zel {

class Control {
 public:
  virtual ~Control() = default;
  // Not used by the engine's controls: they do nothing and return 0.
  virtual int32_t call(const char16_t* name, int32_t argc, vesk::VK_VARIANT* args,
                       vesk::VK_VARIANT* result);
  virtual int32_t get(const char16_t* name, vesk::VK_VARIANT* value);
  virtual int32_t set(const char16_t* name, vesk::VK_VARIANT* value);
  // Stores the two values (no engine code calls them).
  virtual void reg_external_callback(void* first, void* second);
  std::pair<void*, void*> external_callback() const { return {ext1_, ext2_}; }

 private:
  void* ext1_ = nullptr;
  void* ext2_ = nullptr;
};

class EditControl : public virtual Facet, public Control {
 public:
  using key_down_fn = void (*)(void* user, int32_t virtual_key);
  using focus_fn = void (*)(void* user);

  // Styles (edit_model.h): 1 left, 2 right, 4 centre, 8 digits, 16 password, 32 multi-line,
  // 64 / 128 auto-scroll. 65 at construction.
  virtual void set_style(uint32_t style) = 0;
  virtual uint32_t get_style() const = 0;
  // Null: empty text.
  virtual void set_text(const char16_t* text) = 0;
  // The text as it is now, as a zero-terminated snapshot that stays valid (unchanged by typing)
  // until the next get_text or set_text.
  virtual const char16_t* get_text() = 0;
  // A copy of the text.
  virtual std::u16string text() const = 0;
  virtual void set_int(int32_t v) = 0;
  // The leading decimal number (blanks and a sign allowed), saturated to the 32-bit range.
  virtual int32_t get_int() const = 0;
  // Decimal text with a point, whatever the locale.
  virtual void set_float(float v) = 0;
  virtual float get_float() const = 0;
  // Kept when the password style is off, used when it is on (0: '*').
  virtual void set_pswdchar(char16_t c) = 0;
  virtual void set_font(const logical_font& f) = 0;
  // Components clamped to 0..255; alpha is ignored.
  virtual void set_txt_color(int32_t a, int32_t r, int32_t g, int32_t b) = 0;
  virtual void set_bkg_color(int32_t a, int32_t r, int32_t g, int32_t b) = 0;
  virtual int32_t get_line_height() const = 0;
  // Asks for the keyboard focus (it arrives on the GUI thread).
  virtual void set_focus() = 0;

  // Places the box; true when it is ready. False without a GUI thread. A second call moves
  // and resizes it.
  virtual bool create(int32_t x, int32_t y, int32_t w, int32_t h) = 0;
  // Releases it; it gives up the focus and no listener runs afterwards.
  virtual void destroy() = 0;

  void reg_key_down_listener(void* user, void* callback);
  void reg_set_focus_listener(void* user, void* callback);
  void reg_kill_focus_listener(void* user, void* callback);

 protected:
  // Registered from any thread, read on the GUI thread.
  std::atomic<void*> user_{nullptr};
  std::atomic<void*> key_down_{nullptr};
  std::atomic<void*> set_focus_{nullptr};
  std::atomic<void*> kill_focus_{nullptr};
};

std::shared_ptr<EditControl> create_edit_control();

}  // namespace zel
