// The machine stack that Python code gets when the core calls back into the interpreter (reading the lazy
// input, building the result): about as much as the thread had when it called the evaluation, up to what a
// fresh stack segment offers.
#pragma once

#include <algorithm>
#include <cstddef>

#include "support/stack.hpp"

namespace zarnu_py::headroom {

// The interpreters this module supports (3.11 to 3.13) guard against deep recursion by counting calls, not
// by looking at the stack pointer, so Python code runs on one of the core's segments as well as on the
// thread's own stack. What it cannot survive is too little room: 3.13 lets C code recurse 10,000 levels
// deep, some 2 to 3 MiB, while the core only promises that 128 KiB are left when it calls us. A callback
// made with less room than the evaluation started with therefore runs on a fresh segment.
// From 3.14 on, the interpreter compares the stack pointer with the bounds of the thread's own stack, which
// a segment lies outside of: supporting those versions means announcing each segment to the interpreter
// around the calls made on it.
inline constexpr std::size_t kMostRoom = zarnu_core::stack::kSegmentSize - 512 * 1024;

// What the evaluation's own frames may take below the entry before a callback counts as short of room.
inline constexpr std::size_t kEntrySlack = 64 * 1024;

namespace detail {
// The room promised to callbacks of the evaluation running on this thread; 0 outside evaluations.
inline thread_local constinit std::size_t t_room = 0;
}  // namespace detail

// Marks the span of one evaluation on this thread. Evaluations nest (Python code run by one may start
// another), so the previous promise comes back at the end.
class Evaluation {
 public:
  Evaluation() noexcept : saved_(detail::t_room) {
    const std::size_t room = std::min(zarnu_core::stack::remaining(), kMostRoom);
    detail::t_room = room > kEntrySlack ? room - kEntrySlack : 0;
  }
  Evaluation(const Evaluation&) = delete;
  Evaluation& operator=(const Evaluation&) = delete;
  ~Evaluation() { detail::t_room = saved_; }

 private:
  std::size_t saved_;
};

// Runs `f`, which calls into the interpreter, where it has the promised room: here, or on a new segment.
template <class F>
auto call(F&& f) {
  if (zarnu_core::stack::remaining() >= detail::t_room) [[likely]]
    return std::forward<F>(f)();
  return zarnu_core::stack::grow(std::forward<F>(f));
}

}  // namespace zarnu_py::headroom
