// The slow paths behind pool.hpp: the C library's blocks, each thread's block of lists made on its first
// release, and its release when the thread ends.
#include "pool.hpp"

#include <cstdlib>

namespace zarnu_core::pool {

namespace {

// The shared stand-ins before a thread's block exists and after it is gone: empty lists, a full count.
constinit Thread g_unmade{{}, kKeptBytes, nullptr};
constinit Thread g_gone{{}, kKeptBytes, nullptr};

// Frees the thread's lists and block when the thread ends; blocks released after that go to the C library.
struct Drain {
  ~Drain() {
    Thread* t = detail::t_thread;
    detail::t_thread = &g_gone;
    if (t == &g_unmade || t == &g_gone) return;
    for (Node*& head : t->head)
      while (Node* node = head) {
        head = node->next;
        std::free(node);
      }
    t->~Thread();
    std::free(t);
  }
};

// Makes the calling thread's block; the unmade stand-in stays in place if that fails, or once it is gone.
Thread* make_thread() noexcept {
  Thread* t = detail::t_thread;
  if (t != &g_unmade) return t;
  void* mem = std::malloc(sizeof(Thread));
  if (!mem) return t;
  thread_local Drain drain;
  t = ::new (mem) Thread{{}, 0, nullptr};
  detail::t_thread = t;
  return t;
}

}  // namespace

namespace detail {

constinit thread_local Thread* t_thread = &g_unmade;

void* allocate_slow(std::size_t bytes) {
  if (void* block = std::malloc(bytes == 0 ? 1 : bytes)) return block;
  throw std::bad_alloc();
}

void release_slow(void* block, std::size_t bytes) noexcept {
  if (kRecycle && block && bytes <= kLargest && t_thread == &g_unmade && make_thread() != &g_unmade) {
    release(block, bytes);
    return;
  }
  std::free(block);
}

}  // namespace detail

Thread& this_thread() {
  Thread* t = make_thread();
  if (t == &g_unmade || t == &g_gone) throw std::bad_alloc();
  return *t;
}

}  // namespace zarnu_core::pool
