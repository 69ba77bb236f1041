// The slow paths behind pool.hpp: carving pages out of segments mapped from the system, collecting blocks
// released on other threads, each thread's block made on its first allocation and left behind when it ends.
#include "support/pool.hpp"

#include <pthread.h>
#include <sys/mman.h>

#include <cstdlib>
#include <ctime>
#include <mutex>

namespace zarnu_core::pool {

namespace {

// An empty page each class points to before its first page: its list is empty, so the fast path falls
// through to the slow one.
constinit Page g_empty{};

struct Standin : Thread {
  constexpr Standin() : Thread{} {
    for (Page*& p : page) p = &g_empty;
    for (Node*& h : head) h = nullptr;
    kept = kKeptBytes;
  }
};

// The shared stand-ins before a thread's block exists and after it is gone.
constinit Standin g_unmade;
constinit Standin g_gone;

// Blocks wanted where a thread has no block of its own (after it ended, or when making one failed) come
// from this shared one, under a lock; every release into it goes through its pages' remote lists.
constinit Standin g_orphan;
std::mutex g_orphan_lock;

// Blocks of ended threads, taken again by new ones: other threads may still set `remote_pending` in them.
std::mutex g_spare_lock;
Thread* g_spare = nullptr;

// A fork copies the locks as they are, and one held by a thread that was starting or ending, or taking
// blocks after it ended, would stay held in the child, where that thread does not exist. The forking thread
// takes both for the moment of the fork, and each process lets them go. (The other threads' blocks and
// segments stay in the child, left to nobody.)
void lock_for_fork() noexcept {
  g_spare_lock.lock();
  g_orphan_lock.lock();
}
void unlock_after_fork() noexcept {
  g_orphan_lock.unlock();
  g_spare_lock.unlock();
}
// Registered when the library is loaded, before any thread can take the locks: registering at first use
// would put the registration behind a static's guard, which a fork leaves taken for good in the child.
[[maybe_unused]] const bool g_fork_safe =
    pthread_atfork(lock_for_fork, unlock_after_fork, unlock_after_fork) == 0;

std::atomic<std::size_t> g_paged{0};
std::atomic<std::size_t> g_mapped{0};

constexpr std::uint32_t kAllPages = static_cast<std::uint32_t>((std::uint64_t{1} << kPagesPerSegment) - 1);

// Wholly unused segments stay mapped this long, so that an evaluation's peak is not given back and faulted
// in again on the next call.
constexpr std::int64_t kKeepNanoseconds = 1'000'000'000;

std::int64_t now() noexcept {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
  return std::int64_t{ts.tv_sec} * 1'000'000'000 + ts.tv_nsec;
}

Segment* map_segment(Thread* owner) noexcept {
  void* at = mmap(nullptr, 2 * kSegmentBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (at == MAP_FAILED) return nullptr;
  const auto raw = reinterpret_cast<std::uintptr_t>(at);
  const std::uintptr_t aligned = (raw + kSegmentBytes - 1) & ~(kSegmentBytes - 1);
  if (aligned > raw) munmap(at, aligned - raw);
  if (raw + 2 * kSegmentBytes > aligned + kSegmentBytes)
    munmap(reinterpret_cast<void*>(aligned + kSegmentBytes),
           raw + 2 * kSegmentBytes - aligned - kSegmentBytes);
  g_mapped.fetch_add(kSegmentBytes, std::memory_order_relaxed);
  auto* s = ::new (reinterpret_cast<void*>(aligned)) Segment{};
  s->owner = owner;
  return s;
}

void unmap_segment(Segment* s) noexcept {
  g_mapped.fetch_sub(kSegmentBytes, std::memory_order_relaxed);
  munmap(s, kSegmentBytes);
}

// Unmaps a segment its ended owner left once its last block came back, and stops counting its pages.
void unmap_abandoned(Segment* s) noexcept {
  g_paged.fetch_sub(static_cast<std::size_t>(std::popcount(~s->unused & kAllPages)) * kPageBytes,
                    std::memory_order_relaxed);
  unmap_segment(s);
}

// Intrusive doubly linked lists: of pages (a class's partial or full ones) and of segments.
template <class T, T* T::*Prev, T* T::*Next>
void push(T*& head, T* x) noexcept {
  x->*Prev = nullptr;
  x->*Next = head;
  if (head) head->*Prev = x;
  head = x;
}
template <class T, T* T::*Prev, T* T::*Next>
void unlink(T*& head, T* x) noexcept {
  if (x->*Prev)
    (x->*Prev)->*Next = x->*Next;
  else
    head = x->*Next;
  if (x->*Next) (x->*Next)->*Prev = x->*Prev;
  x->*Prev = x->*Next = nullptr;
}
constexpr auto push_page = push<Page, &Page::prev, &Page::next>;
constexpr auto unlink_page = unlink<Page, &Page::prev, &Page::next>;
constexpr auto push_open = push<Segment, &Segment::prev, &Segment::next>;
constexpr auto unlink_open = unlink<Segment, &Segment::prev, &Segment::next>;
constexpr auto push_all = push<Segment, &Segment::prev_all, &Segment::next_all>;
constexpr auto unlink_all = unlink<Segment, &Segment::prev_all, &Segment::next_all>;

unsigned char* page_start(Segment* s, std::size_t i) noexcept {
  return reinterpret_cast<unsigned char*>(s) + (i == 0 ? kSegmentHeader : i * kPageBytes);
}

// Moves the blocks other threads released into the page's local list; the count of those taken back.
std::uint32_t collect(Page* p) noexcept {
  if (p->remote.load(std::memory_order_relaxed) == 0) return 0;
  auto* node = reinterpret_cast<Node*>(p->remote.exchange(0, std::memory_order_acquire));
  std::uint32_t n = 0;
  while (node) {
    Node* next = node->next;
    node->next = p->local;
    p->local = node;
    node = next;
    ++n;
  }
  p->used -= n;
  return n;
}

// Unmaps the cached segments left at or before `limit`. The cache is in the order they were left, the
// latest first, and `cached_since` is when its last one was, so that nothing is walked until one is due.
void trim_cache(Thread* t, std::int64_t limit) noexcept {
  if (!t->cached || t->cached_since > limit) return;
  Segment* s = t->cached;
  while (s->freed_at > limit) s = s->next;
  if (Segment* kept = s->prev) {
    kept->next = nullptr;
    t->cached_since = kept->freed_at;
  } else {
    t->cached = nullptr;
  }
  while (s) {
    Segment* next = s->next;
    unmap_segment(s);
    s = next;
  }
}

// Unmaps the cached segments kept longer than kKeepNanoseconds; a load and a branch while there are none.
void tidy_thread(Thread* t) noexcept {
  if (t->cached) trim_cache(t, now() - kKeepNanoseconds);
}

// A page no block of which is out goes back to its segment, and a segment with no page carved to the cache.
void retire(Thread* t, Page* p) noexcept {
  p->state = kUnused;
  p->free = p->local = nullptr;
  g_paged.fetch_sub(kPageBytes, std::memory_order_relaxed);
  Segment* s = segment_of(p);
  const std::uint32_t was = s->unused;
  s->unused |= std::uint32_t{1} << (p - s->pages);
  if (s->unused != kAllPages) {
    if (was == 0) push_open(t->open, s);
    return;
  }
  if (was != 0) unlink_open(t->open, s);
  unlink_all(t->all, s);
  const std::int64_t at = now();
  trim_cache(t, at - kKeepNanoseconds);
  s->freed_at = at;
  if (!t->cached) t->cached_since = at;
  push_open(t->cached, s);
}

Page* carve(Thread* t, std::size_t index) {
  Segment* s = t->open;
  if (!s) {
    s = t->cached;
    if (s) {
      unlink_open(t->cached, s);
    } else {
      s = map_segment(t);
      if (!s) throw std::bad_alloc();
    }
    s->unused = kAllPages;
    push_open(t->open, s);
    push_all(t->all, s);
  }
  const int i = std::countr_zero(s->unused);
  s->unused &= s->unused - 1;
  if (s->unused == 0) unlink_open(t->open, s);
  Page* p = &s->pages[i];
  p->stride = 0;
  p->index = static_cast<std::uint16_t>(index);
  p->used = 0;
  p->local = nullptr;
  p->remote.store(0, std::memory_order_relaxed);
  p->owner.store(t, std::memory_order_relaxed);
  g_paged.fetch_add(kPageBytes, std::memory_order_relaxed);
  return p;
}

// Builds the page's list of blocks of `stride` bytes.
void fill(Segment* s, Page* p, std::size_t stride) noexcept {
  p->stride = static_cast<std::uint32_t>(stride);
  const std::size_t i = static_cast<std::size_t>(p - s->pages);
  unsigned char* begin = page_start(s, i);
  unsigned char* end = reinterpret_cast<unsigned char*>(s) + (i + 1) * kPageBytes;
  const std::size_t n = static_cast<std::size_t>(end - begin) / stride;
  Node* head = nullptr;
  for (std::size_t k = n; k-- > 0;) {
    auto* node = reinterpret_cast<Node*>(begin + k * stride);
    node->next = head;
    head = node;
  }
  p->free = head;
}

// Collects the remote lists of full pages; those with blocks again become partial (or go back to their
// segment).
void rescue(Thread* t) noexcept {
  for (std::size_t c = 0; c < kPagedClasses; ++c)
    for (Page* p = t->full[c]; p;) {
      Page* next = p->next;
      if (collect(p) != 0) {
        unlink_page(t->full[c], p);
        if (p->used == 0) {
          retire(t, p);
        } else {
          p->state = kPartial;
          push_page(t->partial[c], p);
        }
      }
      p = next;
    }
}

void* paged_allocate(Thread* t, std::size_t index, std::size_t bytes) {
  Page* p = t->page[index];
  if (p != &g_empty) {
    if (!p->local) collect(p);
    if (!p->free) {
      p->free = p->local;
      p->local = nullptr;
    }
    if (!p->free) {
      p->state = kFull;
      push_page(t->full[index], p);
      t->page[index] = &g_empty;
      tidy_thread(t);  // a thread working on after its peak, outside evaluations, gives it back here
      if (t->remote_pending.load(std::memory_order_relaxed) &&
          t->remote_pending.exchange(false, std::memory_order_acquire))
        rescue(t);
      p = t->partial[index];
      if (p) {
        unlink_page(t->partial[index], p);
        if (!p->free) {
          p->free = p->local;
          p->local = nullptr;
        }
      } else {
        p = carve(t, index);
        fill(segment_of(p), p, (bytes + kGrain - 1) / kGrain * kGrain);
      }
      p->state = kCurrent;
      t->page[index] = p;
    }
  } else {
    p = carve(t, index);
    fill(segment_of(p), p, (bytes + kGrain - 1) / kGrain * kGrain);
    p->state = kCurrent;
    t->page[index] = p;
  }
  Node* node = p->free;
  p->free = node->next;
  ++p->used;
  return node;
}

// A block released on a thread other than its page's owner (or after the owner ended).
void release_remote(Page* p, Node* node) noexcept {
  Thread* owner = p->owner.load(std::memory_order_relaxed);
  std::uintptr_t head = p->remote.load(std::memory_order_acquire);
  for (;;) {
    if (head & 1) {
      Segment* s = segment_of(p);
      if (s->live.fetch_sub(1, std::memory_order_acq_rel) == 1) unmap_abandoned(s);
      return;
    }
    node->next = reinterpret_cast<Node*>(head);
    if (p->remote.compare_exchange_weak(head, reinterpret_cast<std::uintptr_t>(node),
                                        std::memory_order_acq_rel, std::memory_order_acquire))
      break;
  }
  // Thread blocks are never freed, only taken again, so the flag may be set on a later thread: harmless.
  if (owner) owner->remote_pending.store(true, std::memory_order_release);
}

// Leaves the thread's segments to the blocks still out: each counts them down when released, and the last
// one unmaps its segment. The count holds one more for this walk, dropped once it is done with the segment:
// a block released the moment its page is marked may bring the count down meanwhile, but not to nothing.
void abandon(Thread* t) noexcept {
  while (Segment* s = t->all) {
    unlink_all(t->all, s);
    std::size_t live = 1;
    for (Page& p : s->pages) {
      p.owner.store(nullptr, std::memory_order_relaxed);
      if (p.state != kUnused) live += p.used;
    }
    s->live.store(live, std::memory_order_relaxed);
    std::size_t back = 1;
    for (Page& p : s->pages)
      for (auto* node = reinterpret_cast<Node*>(p.remote.exchange(1, std::memory_order_acq_rel)); node;
           node = node->next)
        ++back;
    if (s->live.fetch_sub(back, std::memory_order_acq_rel) == back) unmap_abandoned(s);
  }
  trim_cache(t, INT64_MAX);
}

// Frees the thread's lists and leaves its pages when the thread ends; later blocks come from the orphan.
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
    abandon(t);
    std::lock_guard lock(g_spare_lock);
    t->spare = g_spare;
    g_spare = t;
  }
};

// Makes the calling thread's block; the unmade stand-in stays in place if that fails, or once it is gone.
Thread* make_thread() noexcept {
  Thread* t = detail::t_thread;
  if (t != &g_unmade) return t;
  Thread* mem = nullptr;
  {
    std::lock_guard lock(g_spare_lock);
    if ((mem = g_spare)) g_spare = mem->spare;
  }
  if (!mem) {
    if (!(mem = static_cast<Thread*>(std::malloc(sizeof(Thread))))) return t;
    ::new (mem) Thread{};
  }
  thread_local Drain drain;
  // A block taken again is not made anew: threads that released blocks of its earlier thread may still set
  // its flag, which stays one atomic object all along while the other fields start again.
  t = mem;
  for (Page*& p : t->page) p = &g_empty;
  for (Node*& h : t->head) h = nullptr;
  t->kept = 0;
  t->host = nullptr;
  t->remote_pending.store(false, std::memory_order_relaxed);
  for (Page*& p : t->partial) p = nullptr;
  for (Page*& p : t->full) p = nullptr;
  t->open = t->all = t->cached = nullptr;
  t->spare = nullptr;
  t->cached_since = 0;
  detail::t_thread = t;
  return t;
}

}  // namespace

namespace detail {

constinit thread_local Thread* t_thread = &g_unmade;

void* allocate_slow(std::size_t bytes) {
  if (kRecycle && bytes <= kPagedLargest) {
    const SizeClass c = size_class(bytes);
    Thread* t = t_thread;
    if (t == &g_unmade) t = make_thread();
    if (t != &g_unmade && t != &g_gone) return paged_allocate(t, c.index, c.bytes);
    std::lock_guard lock(g_orphan_lock);
    return paged_allocate(&g_orphan, c.index, c.bytes);
  }
  if (void* block = std::malloc(bytes == 0 ? 1 : bytes)) return block;
  throw std::bad_alloc();
}

void release_slow(void* block, std::size_t bytes) noexcept {
  if (kRecycle && block && bytes <= kPagedLargest) {
    Thread* t = t_thread;
    Page* p = page_of(block);
    if (p->owner.load(std::memory_order_relaxed) != t) {
      release_remote(p, static_cast<Node*>(block));
      return;
    }
    // Already on the page's local list: its page emptied or was full.
    if (p->state == kFull) {
      unlink_page(t->full[p->index], p);
      p->state = kPartial;
      push_page(t->partial[p->index], p);
    }
    if (p->used == 0 && p->state == kPartial) {
      unlink_page(t->partial[p->index], p);
      retire(t, p);
    }
    return;
  }
  if (kRecycle && block && bytes <= kLargest && t_thread == &g_unmade && make_thread() != &g_unmade) {
    release(block, bytes);
    return;
  }
  std::free(block);
}

void tidy_slow() noexcept {
  tidy_thread(t_thread);
}

}  // namespace detail

Thread& this_thread() {
  Thread* t = make_thread();
  if (t == &g_unmade || t == &g_gone) throw std::bad_alloc();
  return *t;
}

std::size_t paged_bytes() noexcept {
  return g_paged.load(std::memory_order_relaxed);
}

std::size_t mapped_bytes() noexcept {
  return g_mapped.load(std::memory_order_relaxed);
}

}  // namespace zarnu_core::pool
