// Small blocks recycled per thread. Evaluations make and drop many small objects of a few sizes (values'
// containers, scopes, functions, short item lists and strings); each thread keeps the blocks it releases
// in lists by size class, up to a bound, and hands them out again before asking the C library. Blocks are
// plain blocks of the C library's allocator, so one released on another thread than the one that took it
// simply joins that thread's lists. Under AddressSanitizer every block goes straight to the C library, so
// that the sanitizer sees each use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>

namespace zarnu_core::pool {

// A block of at least `bytes` bytes, aligned for any fundamental type; throws std::bad_alloc.
void* allocate(std::size_t bytes);
// Gives back a block from `allocate`, with the same size.
void release(void* block, std::size_t bytes) noexcept;

// A standard allocator over the pool, for the containers of values.
template <class T>
struct Allocator {
  using value_type = T;

  Allocator() noexcept = default;
  template <class U>
  Allocator(const Allocator<U>&) noexcept {}

  T* allocate(std::size_t n) {
    static_assert(alignof(T) <= alignof(std::max_align_t));
    if (n > SIZE_MAX / sizeof(T)) throw std::bad_array_new_length();
    return static_cast<T*>(pool::allocate(n * sizeof(T)));
  }
  void deallocate(T* p, std::size_t n) noexcept { pool::release(p, n * sizeof(T)); }

  friend bool operator==(const Allocator&, const Allocator&) noexcept { return true; }
};

// Class-level allocation through the pool: `struct X : pool::Pooled { ... }` (sized delete).
struct Pooled {
  static void* operator new(std::size_t n) { return pool::allocate(n); }
  static void operator delete(void* p, std::size_t n) noexcept { pool::release(p, n); }
};

}  // namespace zarnu_core::pool
