// The per-thread lists of recycled blocks behind pool.hpp, and their release when the thread ends.
#include "pool.hpp"

#include <bit>
#include <cstdlib>

namespace zarnu_core::pool {

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kRecycle = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kRecycle = false;
#else
constexpr bool kRecycle = true;
#endif
#else
constexpr bool kRecycle = true;
#endif

// Size classes: steps of 16 bytes up to 512, then four steps per doubling up to 512 KiB (a list of items
// in the tens of thousands). A thread keeps at most 8 MiB: enough for the values of an evaluation over a
// document of some thousands of records to be made again from the lists (measured: 512 KiB left a third of
// the blocks to the C library, whose merging of freed blocks then showed in profiles), and a bound on what a
// thread holds once its work is done.
constexpr std::size_t kGrain = 16;
constexpr std::size_t kSmall = 512;
constexpr std::size_t kLargest = std::size_t{512} << 10;
constexpr std::size_t kSmallClasses = kSmall / kGrain;
constexpr std::size_t kClasses = kSmallClasses + 4 * (std::bit_width(kLargest) - std::bit_width(kSmall));
constexpr std::size_t kKeptBytes = std::size_t{8} << 20;

struct Node {
  Node* next;
};

enum class State : std::uint8_t { Unused, Active, Gone };

// Trivial, so that reaching it costs no initialisation check.
struct Lists {
  Node* head[kClasses];
  std::size_t kept;  // bytes in the lists
  State state;
};

constinit thread_local Lists t_lists{};

// Frees the thread's lists when the thread ends; blocks released after that go to the C library.
struct Drain {
  ~Drain() {
    for (Node*& head : t_lists.head)
      while (Node* node = head) {
        head = node->next;
        std::free(node);
      }
    t_lists.kept = 0;
    t_lists.state = State::Gone;
  }
};

struct SizeClass {
  std::size_t index;
  std::size_t bytes;  // the size of its blocks
};

// The class of a block of `bytes` (at most kLargest).
SizeClass size_class(std::size_t bytes) noexcept {
  const std::size_t b = bytes == 0 ? 0 : bytes - 1;
  if (bytes <= kSmall) return {b / kGrain, (b / kGrain + 1) * kGrain};
  const int shift = std::bit_width(b) - 3;  // keeps the top three bits: 1 and the step
  const std::size_t step = (b >> shift) & 3;
  return {kSmallClasses + 4 * static_cast<std::size_t>(shift + 3 - std::bit_width(kSmall)) + step,
          (5 + step) << shift};
}

}  // namespace

void* allocate(std::size_t bytes) {
  if (kRecycle && bytes <= kLargest) {
    const SizeClass c = size_class(bytes);
    if (Node* node = t_lists.head[c.index]) {
      t_lists.head[c.index] = node->next;
      t_lists.kept -= c.bytes;
      return node;
    }
    bytes = c.bytes;  // so that the block serves its whole class later
  }
  if (void* block = std::malloc(bytes == 0 ? 1 : bytes)) return block;
  throw std::bad_alloc();
}

void release(void* block, std::size_t bytes) noexcept {
  if (!block) return;
  if (kRecycle && bytes <= kLargest) {
    if (t_lists.state == State::Unused) {
      thread_local Drain drain;
      t_lists.state = State::Active;
    }
    const SizeClass c = size_class(bytes);
    if (t_lists.state == State::Active && t_lists.kept + c.bytes <= kKeptBytes) {
      Node* node = static_cast<Node*>(block);
      node->next = t_lists.head[c.index];
      t_lists.head[c.index] = node;
      t_lists.kept += c.bytes;
      return;
    }
  }
  std::free(block);
}

}  // namespace zarnu_core::pool
