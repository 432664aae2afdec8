#include "qar/self_allocate.h"

#include <cstdlib>

namespace qar {

// Allocation lives in libqar so that an object made in one module can be released in another.
void* self_allocate::operator new(std::size_t size) {
  return ::operator new(size);
}
void* self_allocate::operator new[](std::size_t size) {
  return ::operator new[](size);
}
void* self_allocate::operator new(std::size_t size, const std::nothrow_t& nt) noexcept {
  return ::operator new(size, nt);
}
void* self_allocate::operator new[](std::size_t size, const std::nothrow_t& nt) noexcept {
  return ::operator new[](size, nt);
}
void self_allocate::operator delete(void* p) noexcept {
  ::operator delete(p);
}
void self_allocate::operator delete[](void* p) noexcept {
  ::operator delete[](p);
}
void self_allocate::operator delete(void* p, const std::nothrow_t& nt) noexcept {
  ::operator delete(p, nt);
}
void self_allocate::operator delete[](void* p, const std::nothrow_t& nt) noexcept {
  ::operator delete[](p, nt);
}

}  // namespace qar
