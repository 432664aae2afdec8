// Base class whose objects are allocated and released by the host library (single and array
// forms), so that an object made in one module may be destroyed in another.
#pragma once
#include <cstddef>
#include <new>

namespace qar {

class self_allocate {
 public:
  static void* operator new(std::size_t size);
  static void* operator new[](std::size_t size);
  static void* operator new(std::size_t size, const std::nothrow_t&) noexcept;
  static void* operator new[](std::size_t size, const std::nothrow_t&) noexcept;
  static void operator delete(void* p) noexcept;
  static void operator delete[](void* p) noexcept;
  static void operator delete(void* p, const std::nothrow_t&) noexcept;
  static void operator delete[](void* p, const std::nothrow_t&) noexcept;
  // Placement forms stay usable.
  static void* operator new(std::size_t, void* where) noexcept { return where; }
  static void operator delete(void*, void*) noexcept {}

 protected:
  self_allocate() = default;
  ~self_allocate() = default;
};

}  // namespace qar
