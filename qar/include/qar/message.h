// Base of the messages queued to a thread of control (qar::ThreadOfControl).
#pragma once
#include <cstdint>

class qar_message {
 public:
  explicit qar_message(int32_t id = 0) : id(id) {}
  virtual ~qar_message() = default;
  qar_message(const qar_message&) = default;
  qar_message& operator=(const qar_message&) = default;

  int32_t get_id() const { return id; }

  int32_t id;          // message kind
  int32_t param1 = 0;  // first parameter (e.g. a notification code)
  int64_t param2 = 0;  // second parameter
};
