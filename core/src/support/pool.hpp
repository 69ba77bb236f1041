// Small blocks recycled per thread. Evaluations make and drop many small objects of a few sizes (values'
// containers, scopes, functions, short item lists and strings); each thread hands them out from pages of
// one size class, and the larger classes from lists of the C library's blocks. Under AddressSanitizer
// every block goes straight to the C library, so that the sanitizer sees each use.
#pragma once

#include <atomic>
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
// exactly (a 56-byte object takes 64 bytes, where a class of 64 took 80); pages carve them at the same
// 16-byte stride, which keeps blocks aligned. Larger blocks are mostly lists
// of a power of two of items and keep the classes that fit them. Above the paged classes, a thread keeps
// at most 8 MiB of the C library's blocks in its lists, a bound on what it holds once its work is done.
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

// Small classes live in pages: 64 KiB spans carved into blocks of one class, taken from segments of 1 MiB
// mapped from the system and aligned to their size, so that a block's page is found from its address.
// The thread that carved a page hands its blocks out and takes them back with no atomic operation; a
// block released on another thread goes onto the page's remote list, which the owner collects when its
// own lists run dry. Blocks of the classes above go through per-thread lists of the C library's blocks.
inline constexpr std::size_t kPageBytes = std::size_t{64} << 10;
inline constexpr std::size_t kSegmentBytes = std::size_t{1} << 20;
inline constexpr std::size_t kPagesPerSegment = kSegmentBytes / kPageBytes;
inline constexpr std::size_t kPagedLargest = 1024;
inline constexpr std::size_t kPagedClasses = size_class(kPagedLargest).index + 1;

struct Thread;

struct Page {
  Node* free = nullptr;                 // blocks to hand out
  Node* local = nullptr;                // blocks the owner took back since `free` was last refilled
  std::atomic<Thread*> owner{nullptr};  // null once the owner ended
  std::uint32_t used = 0;               // blocks out, those on the remote list included
  std::uint32_t stride = 0;
  // Blocks released on other threads; the low bit is set once the owner ended, after which such blocks
  // only count down their segment's live blocks.
  std::atomic<std::uintptr_t> remote{0};
  Page* prev = nullptr;  // in the owner's list of its class's partial or full pages
  Page* next = nullptr;
  std::uint16_t index = 0;  // of the class
  std::uint8_t state = 0;   // Unused, Current, Partial or Full
};
enum : std::uint8_t { kUnused, kCurrent, kPartial, kFull };

struct Segment {
  Thread* owner = nullptr;
  std::atomic<std::size_t> live{0};  // blocks still out once the owner ended
  Segment* prev = nullptr;           // in the owner's list of segments with unused pages, or its cache
  Segment* next = nullptr;
  Segment* prev_all = nullptr;  // in the owner's list of its segments in use
  Segment* next_all = nullptr;
  std::uint32_t unused = 0;  // one bit per page not carved
  std::int64_t freed_at = 0;
  Page pages[kPagesPerSegment];
};
inline constexpr std::size_t kSegmentHeader = (sizeof(Segment) + 63) / 64 * 64;

inline Segment* segment_of(const void* block) noexcept {
  return reinterpret_cast<Segment*>(reinterpret_cast<std::uintptr_t>(block) & ~(kSegmentBytes - 1));
}
inline Page* page_of(const void* block) noexcept {
  const auto at = reinterpret_cast<std::uintptr_t>(block);
  return &segment_of(block)->pages[(at & (kSegmentBytes - 1)) / kPageBytes];
}

// Everything a thread keeps, reached through one pointer. The module is loaded with dlopen, and the static
// thread-local space such modules share is a few hundred bytes: the pointer alone is initial-exec (no
// call per access), the block it points to is made on the thread's first allocation.
struct Thread {
  Page* page[kPagedClasses];  // each class's current page; an empty stand-in before the first
  Node* head[kClasses];       // lists of the larger classes (the first kPagedClasses stay empty)
  std::size_t kept;           // bytes in those lists
  // Per-thread state of the layer that embeds the core (the Python module's), kept in the same block so
  // that it too costs no thread-local lookup; null until that layer sets it.
  void* host = nullptr;
  std::atomic<bool> remote_pending{false};  // a block went onto one of this thread's remote lists
  Page* partial[kPagedClasses] = {};        // pages with blocks to hand out, besides the current one
  Page* full[kPagedClasses] = {};
  Segment* open = nullptr;        // segments with unused pages
  Segment* all = nullptr;         // segments in use
  Segment* cached = nullptr;      // wholly unused segments kept for a while, the latest first
  Thread* spare = nullptr;        // in the list of blocks of ended threads, which new threads take again
  std::int64_t cached_since = 0;  // when the earliest of the cached segments was left
};

namespace detail {
// The calling thread's block. Before the thread's first allocation, and after it ended, it points to one
// of two shared blocks whose lists stay empty and whose count stays full, so that the fast paths need no
// test for them and fall through to the slow ones.
[[gnu::tls_model("initial-exec")]] extern constinit thread_local Thread* t_thread;

void* allocate_slow(std::size_t bytes);
void release_slow(void* block, std::size_t bytes) noexcept;
void tidy_slow() noexcept;
}  // namespace detail

// The calling thread's block, made on first use (for state other layers keep per thread).
Thread& this_thread();

// Bytes of the pages carved for small classes, over all threads (the C library does not see them).
std::size_t paged_bytes() noexcept;

// Bytes of the segments those pages come from, wholly unused ones kept for a while included.
std::size_t mapped_bytes() noexcept;

// Unmaps the calling thread's wholly unused segments kept past their grace. Every evaluation calls it
// first, so that a thread's peak goes back while it goes on with small work, or at its next call after it
// was idle; the thread's own slow paths check the same. A load and a branch when the thread keeps none.
inline void tidy() noexcept {
  if (kRecycle && detail::t_thread->cached) [[unlikely]]
    detail::tidy_slow();
}

// A block of at least `bytes` bytes, aligned for any fundamental type; throws std::bad_alloc.
inline void* allocate(std::size_t bytes) {
  if (kRecycle && bytes <= kLargest) {
    const SizeClass c = size_class(bytes);
    Thread* t = detail::t_thread;
    if (c.index < kPagedClasses) {
      Page* p = t->page[c.index];
      if (Node* node = p->free) [[likely]] {
        p->free = node->next;
        ++p->used;
        return node;
      }
    } else if (Node* node = t->head[c.index]) [[likely]] {
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
    Node* node = static_cast<Node*>(block);
    if (c.index < kPagedClasses) {
      Page* p = page_of(block);
      if (p->owner.load(std::memory_order_relaxed) == t) [[likely]] {
        node->next = p->local;
        p->local = node;
        if (--p->used != 0 && p->state != kFull) [[likely]]
          return;
      }
    } else if (t->kept + c.bytes <= kKeptBytes) [[likely]] {
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
