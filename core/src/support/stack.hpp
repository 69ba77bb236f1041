// Stack growth for recursive walks: every 16 levels `nest` checks the machine stack, and when less than
// 128 KiB remain the step continues on a fresh 4 MiB segment, so depth is bounded by explicit limits
// rather than by the thread's stack.
// The support stage (support/): what every later stage stands on and nothing of the language: hashing,
// stack growth, panics, UTF-8, case conversion, spans, saturating casts and the per-thread block pool.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <optional>
#include <type_traits>
#include <utility>

namespace zarnu_core::stack {

inline constexpr std::size_t kRedZone = 128 * 1024;
inline constexpr std::size_t kSegmentSize = 4 * 1024 * 1024;

namespace detail {
// The lowest usable address of the stack this thread runs on now (0 until first asked). constinit
// spares every access the check for a dynamic initializer.
extern thread_local constinit std::uintptr_t t_limit;
// Reads the thread's stack bounds into t_limit and returns it. When they cannot be known the limit
// becomes the highest address, so remaining() says 0 and the next check moves onto a segment, whose
// bounds are known.
std::uintptr_t init_limit() noexcept;

// A type-erased call, so that the switching code is compiled once.
struct Thunk {
  void (*call)(void*);
  void* data;
};
// Runs `thunk` on a segment and returns when it has finished. Throws std::bad_alloc when no segment can
// be mapped; an exception escaping the thunk is carried back and rethrown here.
void run_on_new_segment(Thunk thunk);

// This thread's segments, for tests: how many are mapped now (in use or spare) and how many mappings it
// has ever made.
struct SegmentCounts {
  std::size_t mapped;
  std::size_t created;
};
SegmentCounts segment_counts() noexcept;
}  // namespace detail

// Bytes left between the current frame and the end of this thread's stack (0 when unknown).
inline std::size_t remaining() noexcept {
  std::uintptr_t limit = detail::t_limit;
  if (limit == 0) [[unlikely]]
    limit = detail::init_limit();
  auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
  return here > limit ? here - limit : 0;
}

// Runs `f` on a fresh stack segment; its result or exception comes back by value.
template <class F>
auto grow(F&& f) {
  using R = std::invoke_result_t<F&>;
  std::exception_ptr failure;
  if constexpr (std::is_void_v<R>) {
    struct Box {
      std::remove_reference_t<F>* f;
      std::exception_ptr* failure;
    } box{&f, &failure};
    detail::run_on_new_segment({[](void* p) {
                                  auto* b = static_cast<Box*>(p);
                                  try {
                                    (*b->f)();
                                  } catch (...) {
                                    *b->failure = std::current_exception();
                                  }
                                },
                                &box});
    if (failure) std::rethrow_exception(failure);
  } else {
    using V = std::remove_cvref_t<R>;
    std::optional<V> result;
    struct Box {
      std::remove_reference_t<F>* f;
      std::optional<V>* result;
      std::exception_ptr* failure;
    } box{&f, &result, &failure};
    detail::run_on_new_segment({[](void* p) {
                                  auto* b = static_cast<Box*>(p);
                                  try {
                                    b->result->emplace((*b->f)());
                                  } catch (...) {
                                    *b->failure = std::current_exception();
                                  }
                                },
                                &box});
    if (failure) std::rethrow_exception(failure);
    return V(std::move(*result));
  }
}

// Runs one step of a recursive walk at `depth`: directly, unless the depth is a multiple of 16 and the
// stack is running short, in which case the step runs on a new segment.
template <class F>
auto nest(std::size_t depth, F&& f) {
  if ((depth & 15) != 0 || remaining() >= kRedZone) [[likely]]
    return std::forward<F>(f)();
  return grow(std::forward<F>(f));
}

}  // namespace zarnu_core::stack
