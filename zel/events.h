// The engine's messages to threads of control: input events and the command message, which
// the engine defines for the host, and the device notifications it sends to the render manager.
#pragma once
#include <cstdint>
#include <string>

#include "qar/message.h"

namespace zel {

enum : int32_t {
  mouse_event_id = 222,
  key_event_id = 223,
  notification_event_id = 224,
  communication_event_id = 225,
};

// Notification codes.
enum : int32_t {
  notification_device_lost = 0,      // the device is about to be reset; resources are lost
  notification_device_restored = 1,  // the device has been reset; resources may be recreated
};

// Input events of a device's window (mouse_event / key_event): the message number in field1.
//   mouse: field2, field3 the position in device coordinates; field4 the mk_* flags, the
//          wheel's delta (+-120 a notch) in the high word; field5 the server time.
//   key:   field2 the virtual key; field3 the key_* word ORed with bits of the key's lParam
//          (scan code in bits 16-23); field4 the character when the key gives one UTF-16 unit;
//          field5 the server time; field6 the X keycode.
//   wm_char: field2 one UTF-16 code unit of the text typed (a character outside the BMP comes
//          as two events, high surrogate first), through the input method.
enum : int32_t {
  wm_keydown = 0x100,
  wm_keyup = 0x101,
  wm_char = 0x102,
  wm_mousemove = 0x200,
  wm_lbuttondown = 0x201,
  wm_lbuttonup = 0x202,
  wm_rbuttondown = 0x204,
  wm_rbuttonup = 0x205,
  wm_mbuttondown = 0x207,
  wm_mbuttonup = 0x208,
  wm_mousewheel = 0x20A,
  wm_mouseleave = 0x2A3,
};

// Virtual key codes of key events (field2): letters and digits are their upper-case ASCII
// codes, F1 to F24 run from 0x70.
enum : int32_t {
  vk_back = 0x08,
  vk_tab = 0x09,
  vk_return = 0x0D,
  vk_shift = 0x10,
  vk_control = 0x11,
  vk_menu = 0x12,  // Alt
  vk_pause = 0x13,
  vk_capital = 0x14,  // Caps Lock
  vk_escape = 0x1B,
  vk_space = 0x20,
  vk_prior = 0x21,
  vk_next = 0x22,
  vk_end = 0x23,
  vk_home = 0x24,
  vk_left = 0x25,
  vk_up = 0x26,
  vk_right = 0x27,
  vk_down = 0x28,
  vk_insert = 0x2D,
  vk_delete = 0x2E,
  vk_f1 = 0x70,
};

// Button and modifier flags of mouse events (field4).
enum : int32_t {
  mk_lbutton = 0x1,
  mk_rbutton = 0x2,
  mk_shift = 0x4,
  mk_control = 0x8,
  mk_mbutton = 0x10,
};

// The key modifier word of key events (field3).
enum : int32_t {
  key_shift = 1,
  key_lshift = 2,
  key_ctrl = 4,
  key_lctrl = 8,
  key_alt = 16,
  key_lalt = 32,
  key_capslock = 64,
};

// Input event: the host defines the meaning of the fields; the engine only copies them.
class zel_event : public qar_message {
 public:
  zel_event() = default;
  zel_event(const zel_event&) = default;
  zel_event& operator=(const zel_event&) = default;
  ~zel_event() override = default;

  int32_t field1 = 0;
  int32_t field2 = 0;
  int32_t field3 = 0;
  int32_t field4 = 0;
  uint64_t field5 = 0;

 protected:
  explicit zel_event(int32_t id) : qar_message(id) {}
};

class mouse_event : public zel_event {
 public:
  mouse_event() : zel_event(mouse_event_id) {}
  mouse_event(const mouse_event&) = default;
  mouse_event& operator=(const mouse_event&) = default;
  ~mouse_event() override = default;
};

class key_event : public zel_event {
 public:
  key_event() : zel_event(key_event_id) {}
  key_event(const key_event&) = default;
  key_event& operator=(const key_event&) = default;
  ~key_event() override = default;

  int32_t field6 = 0;
};

// Device lost (0) or restored (1); the code is held in the message's first parameter field.
class notification_event : public qar_message {
 public:
  explicit notification_event(int32_t code) : qar_message(notification_event_id) { param1 = code; }
  notification_event(const notification_event&) = default;
  notification_event& operator=(const notification_event&) = default;
  ~notification_event() override = default;

  int32_t code() const { return param1; }
};

// A command for the host: a command word and its arguments.
class communication_event : public qar_message {
 public:
  // A command word, a blank, then the arguments. The command ends at the first blank or zero.
  //
  // From a bare pointer only one terminating zero can be relied on, so this form never reads
  // past the first zero: the arguments are the text after the blank up to that zero, followed
  // by one zero (the item terminator of the argument list) when they are not empty. "play"
  // gives the command play and no arguments; "go to" the command go and the arguments "to",
  // zero. A list of several zero-separated items needs the form with a length.
  // Null or empty text: both strings empty.
  explicit communication_event(const char16_t* text);
  // The double-zero-terminated form: reads at most `length` code units (the end of the buffer
  // counts as zeros). After the command, code units (embedded zeros included) are appended to
  // the arguments until two zeros in a row follow: "cmd a\0b\0\0" gives the command cmd and the
  // arguments "a\0b\0"; "play\0\0" gives play and no arguments.
  communication_event(const char16_t* text, size_t length);
  // Copies each non-null, non-empty text.
  communication_event(const char16_t* command, const char16_t* arguments);
  communication_event(const communication_event&) = default;
  communication_event& operator=(const communication_event&) = default;
  ~communication_event() override = default;

  std::u16string command;
  std::u16string arguments;
};

}  // namespace zel
