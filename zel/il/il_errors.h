// Exceptions shared by the image code.
#pragma once
#include <new>

namespace zel {
namespace intenal {

// std::bad_alloc carrying the engine's text "bad allocation".
class bad_allocation : public std::bad_alloc {
 public:
  const char* what() const noexcept override { return "bad allocation"; }
};

}  // namespace intenal
// The same namespace under its correctly spelt name.
namespace internal = intenal;
}  // namespace zel
