// Stack growth: finds where each thread's stack ends, and runs a step of a deep recursion on a fresh
// mmap'd segment through a Boost.Context fiber, keeping one spare segment per thread.
#include "support/stack.hpp"

#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <boost/context/fiber.hpp>
#include <boost/context/preallocated.hpp>
#include <boost/context/stack_context.hpp>
#include <limits>
#include <memory>
#include <new>

#if defined(__SANITIZE_ADDRESS__)
#define ZARNU_STACK_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ZARNU_STACK_ASAN 1
#endif
#endif
#ifdef ZARNU_STACK_ASAN
#include <sanitizer/asan_interface.h>
#include <sanitizer/common_interface_defs.h>
#endif

namespace zarnu_core::stack::detail {

thread_local constinit std::uintptr_t t_limit = 0;

namespace {

// Asked each time (the C library keeps it at hand): only segments being mapped or released need it.
std::size_t page_size() noexcept {
  const long page = sysconf(_SC_PAGESIZE);
  return page > 0 ? static_cast<std::size_t>(page) : std::size_t{4096};
}

// The PROT_NONE page at the low end of every segment: running past the end faults at once instead of
// writing into whatever is mapped below.
std::size_t guard_size() noexcept {
  return page_size();
}

class ThreadAttr {
 public:
  ThreadAttr() noexcept : ok_(pthread_getattr_np(pthread_self(), &attr_) == 0) {}
  ~ThreadAttr() {
    if (ok_) pthread_attr_destroy(&attr_);
  }
  ThreadAttr(const ThreadAttr&) = delete;
  ThreadAttr& operator=(const ThreadAttr&) = delete;

  // The lowest address of the stack and its guard size; false when the thread's bounds are unknown.
  bool bounds(std::uintptr_t& lowest, std::size_t& guard) const noexcept {
    void* addr = nullptr;
    std::size_t size = 0;
    if (!ok_ || pthread_attr_getstack(&attr_, &addr, &size) != 0 || addr == nullptr || size == 0)
      return false;
    if (pthread_attr_getguardsize(&attr_, &guard) != 0) guard = 0;
    lowest = reinterpret_cast<std::uintptr_t>(addr);
    return true;
  }

 private:
  pthread_attr_t attr_;
  bool ok_;
};

// Tells AddressSanitizer which stack runs. Without this, a throw on a segment makes it give up clearing
// the stack's poison ("false positive error reports may follow"), and a frame that never returns leaves
// poison behind. Both do nothing in other builds.
void leave_stack([[maybe_unused]] void** fake_stack, [[maybe_unused]] std::uintptr_t bottom,
                 [[maybe_unused]] std::size_t size) noexcept {
#ifdef ZARNU_STACK_ASAN
  __sanitizer_start_switch_fiber(fake_stack, reinterpret_cast<const void*>(bottom), size);
#endif
}

void enter_stack([[maybe_unused]] void* fake_stack, [[maybe_unused]] const void** from_bottom,
                 [[maybe_unused]] std::size_t* from_size) noexcept {
#ifdef ZARNU_STACK_ASAN
  __sanitizer_finish_switch_fiber(fake_stack, from_bottom, from_size);
#endif
}

// This thread's segments. One spare stays mapped, so that a recursion hovering at a segment's end does
// not map and unmap on every step; a segment released while the spare is taken is unmapped at once.
struct Segments {
  std::uintptr_t spare = 0;
  std::size_t mapped = 0;
  std::size_t created = 0;

  Segments() = default;
  Segments(const Segments&) = delete;
  Segments& operator=(const Segments&) = delete;
  ~Segments() {
    if (spare != 0) munmap(reinterpret_cast<void*>(spare), kSegmentSize);
  }
};

thread_local Segments t_segments;

// The base (lowest mapped address, the guard page) of a segment: the spare or a new mapping.
std::uintptr_t take_segment() {
  Segments& segments = t_segments;
  if (segments.spare != 0) return std::exchange(segments.spare, 0);
  void* base = mmap(nullptr, kSegmentSize, PROT_READ | PROT_WRITE,
                    MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_STACK, -1, 0);
  if (base == MAP_FAILED) throw std::bad_alloc();
  if (mprotect(base, guard_size(), PROT_NONE) != 0) {
    munmap(base, kSegmentSize);
    throw std::bad_alloc();
  }
  ++segments.mapped;
  ++segments.created;
  return reinterpret_cast<std::uintptr_t>(base);
}

void give_back(std::uintptr_t base) noexcept {
#ifdef ZARNU_STACK_ASAN
  // Frames that left by a switch instead of a return keep their redzones poisoned; the next step on
  // this memory must start clean.
  ASAN_UNPOISON_MEMORY_REGION(reinterpret_cast<void*>(base + guard_size()), kSegmentSize - guard_size());
#endif
  Segments& segments = t_segments;
  if (segments.spare == 0) {
    segments.spare = base;
    return;
  }
  munmap(reinterpret_cast<void*>(base), kSegmentSize);
  --segments.mapped;
}

// Owns a segment until the fiber that runs on it takes it over.
class Segment {
 public:
  Segment() : base_(take_segment()) {}
  ~Segment() {
    if (base_ != 0) give_back(base_);
  }
  Segment(const Segment&) = delete;
  Segment& operator=(const Segment&) = delete;

  std::uintptr_t lowest() const noexcept { return base_ + guard_size(); }
  std::uintptr_t top() const noexcept { return base_ + kSegmentSize; }
  void hand_over() noexcept { base_ = 0; }

 private:
  std::uintptr_t base_;
};

// The fiber's stack allocator. Its stack is handed over already mapped, so only deallocate is called,
// when the fiber has ended; the segment goes back to this thread's spare.
struct SegmentStack {
  void deallocate(boost::context::stack_context& context) noexcept {
    give_back(reinterpret_cast<std::uintptr_t>(context.sp) - kSegmentSize);
  }
};

}  // namespace

std::uintptr_t init_limit() noexcept {
  std::uintptr_t limit = std::numeric_limits<std::uintptr_t>::max();
  std::uintptr_t lowest = 0;
  std::size_t guard = 0;
  if (ThreadAttr attr; attr.bounds(lowest, guard)) {
    // A margin of one guard above the reported end: some C libraries count the guard as stack.
    limit = lowest + std::max(guard, page_size());
  }
  t_limit = limit;
  return limit;
}

void run_on_new_segment(Thunk thunk) {
  namespace ctx = boost::context;
  Segment segment;
  const std::uintptr_t lowest = segment.lowest();
  const std::size_t usable = segment.top() - lowest;
  ctx::stack_context context;
  context.sp = reinterpret_cast<void*>(segment.top());
  context.size = usable;

  std::exception_ptr escaped;
  ctx::fiber step(std::allocator_arg, ctx::preallocated(context.sp, context.size, context), SegmentStack{},
                  [thunk, lowest, &escaped](ctx::fiber&& caller) {
                    const void* caller_bottom = nullptr;
                    std::size_t caller_size = 0;
                    enter_stack(nullptr, &caller_bottom, &caller_size);
                    t_limit = lowest;
                    // Nothing may unwind through the switch: an escaping exception is carried back.
                    try {
                      thunk.call(thunk.data);
                    } catch (...) {
                      escaped = std::current_exception();
                    }
                    // A null fake stack: this stack is finished for good.
                    leave_stack(nullptr, reinterpret_cast<std::uintptr_t>(caller_bottom), caller_size);
                    return std::move(caller);
                  });
  segment.hand_over();

  const std::uintptr_t saved = t_limit;
  void* fake_stack = nullptr;
  leave_stack(&fake_stack, lowest, usable);
  // Returns once the step has ended; by then the fiber has given the segment back.
  step = std::move(step).resume();
  enter_stack(fake_stack, nullptr, nullptr);
  t_limit = saved;
  if (escaped) std::rethrow_exception(escaped);
}

SegmentCounts segment_counts() noexcept {
  const Segments& segments = t_segments;
  return {segments.mapped, segments.created};
}

}  // namespace zarnu_core::stack::detail
