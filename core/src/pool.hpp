// Small blocks recycled per thread. Evaluations make and drop many small objects of a few sizes (values'
// containers, scopes, functions, short item lists and strings); each thread keeps the blocks it releases
// in lists by size class, up to a bound, and hands them out again before asking the C library. Blocks are
// plain blocks of the C library's allocator, so one released on another thread than the one that took it
// simply joins that thread's lists. Under AddressSanitizer every block goes straight to the C library, so
// that the sanitizer sees each use.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <new>

namespace zarnu_core::pool {

#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kRecycle = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr bool kRecycle = false;
#else
inline constexpr bool kRecycle = true;
#endif
#else
inline constexpr bool kRecycle = true;
#endif

// Size classes: steps of 16 bytes up to 512, then four steps per doubling up to 512 KiB (a list of items
// in the tens of thousands). The small ones are 8 bytes short of their step: the C library puts an 8-byte
// header before each block and rounds the whole to 16, so a class of 16k - 8 bytes fills its chunk
// exactly (a 56-byte object takes 64 bytes, where a class of 64 took 80). Larger blocks are mostly lists
// of a power of two of items and keep the classes that fit them. A thread keeps at most 8 MiB: enough for
// the values of an evaluation over a document of some thousands of records to be made again from the lists
// (measured: 512 KiB left a third of the blocks to the C library, whose merging of freed blocks then
// showed in profiles), and a bound on what a thread holds once its work is done.
inline constexpr std::size_t kGrain = 16;
inline constexpr std::size_t kHeader = 8;
inline constexpr std::size_t kSmall = 512;
inline constexpr std::size_t kLargest = std::size_t{512} << 10;
inline constexpr std::size_t kSmallClasses = kSmall / kGrain;  // and one more for the last 8 bytes
inline constexpr std::size_t kClasses =
    kSmallClasses + 1 + 4 * (std::bit_width(kLargest) - std::bit_width(kSmall));
inline constexpr std::size_t kKeptBytes = std::size_t{8} << 20;

struct SizeClass {
  std::size_t index;
  std::size_t bytes;  // the size of its blocks
};

// The class of a block of `bytes` (at most kLargest). Inline, so that a size known at compile time folds
// to its class.
constexpr SizeClass size_class(std::size_t bytes) noexcept {
  if (bytes + kHeader <= kSmall) {
    const std::size_t step = (bytes + kHeader - 1) / kGrain;
    return {step, (step + 1) * kGrain - kHeader};
  }
  if (bytes <= kSmall) return {kSmallClasses, kSmall};
  const std::size_t b = bytes - 1;
  const int shift = std::bit_width(b) - 3;  // keeps the top three bits: 1 and the step
  const std::size_t step = (b >> shift) & 3;
  return {kSmallClasses + 1 + 4 * static_cast<std::size_t>(shift + 3 - std::bit_width(kSmall)) + step,
          (5 + step) << shift};
}
static_assert(size_class(0).bytes == 8 && size_class(56).bytes == 56 && size_class(57).bytes == 72);
static_assert(size_class(504).index == kSmallClasses - 1 && size_class(505).bytes == kSmall);
static_assert(size_class(513).bytes == 640 && size_class(1024).bytes == 1024);
static_assert(size_class(kLargest).index == kClasses - 1 && size_class(kLargest).bytes == kLargest);

struct Node {
  Node* next;
};

// Everything a thread keeps, reached through one pointer. The module is loaded with dlopen, and the static
// thread-local space such modules share is a few hundred bytes: the pointer alone is initial-exec (no
// call per access), the block it points to is allocated on the thread's first release.
struct Thread {
  Node* head[kClasses];
  std::size_t kept;  // bytes in the lists
  // Per-thread state of the layer that embeds the core (the Python module's), kept in the same block so
  // that it too costs no thread-local lookup; null until that layer sets it.
  void* host = nullptr;
};

namespace detail {
// The calling thread's block. Before the thread's first release, and after it ended, it points to one of
// two shared blocks whose lists stay empty and whose count stays full, so that the fast paths need no
// test for them and fall through to the slow ones.
[[gnu::tls_model("initial-exec")]] extern constinit thread_local Thread* t_thread;

void* allocate_slow(std::size_t bytes);
void release_slow(void* block, std::size_t bytes) noexcept;
}  // namespace detail

// The calling thread's block, made on first use (for state other layers keep per thread).
Thread& this_thread();

// A block of at least `bytes` bytes, aligned for any fundamental type; throws std::bad_alloc.
inline void* allocate(std::size_t bytes) {
  if (kRecycle && bytes <= kLargest) {
    const SizeClass c = size_class(bytes);
    Thread* t = detail::t_thread;
    if (Node* node = t->head[c.index]) [[likely]] {
      t->head[c.index] = node->next;
      t->kept -= c.bytes;
      return node;
    }
    bytes = c.bytes;  // so that the block serves its whole class later
  }
  return detail::allocate_slow(bytes);
}

// Gives back a block from `allocate`, with the same size.
inline void release(void* block, std::size_t bytes) noexcept {
  if (kRecycle && block && bytes <= kLargest) {
    const SizeClass c = size_class(bytes);
    Thread* t = detail::t_thread;
    if (t->kept + c.bytes <= kKeptBytes) [[likely]] {
      Node* node = static_cast<Node*>(block);
      node->next = t->head[c.index];
      t->head[c.index] = node;
      t->kept += c.bytes;
      return;
    }
  }
  detail::release_slow(block, bytes);
}

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
