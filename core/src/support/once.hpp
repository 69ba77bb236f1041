// Process-wide values made at their first use without any thread ever waiting for another, so that a fork
// while one is being made cannot leave the child waiting for good.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <utility>

namespace zarnu_core::once {

// A value made by the first call of `get` and kept for the rest of the process (never destroyed: code may
// use it until the very end). Threads that come at the same moment each make one; the first to finish
// publishes its own, the others drop theirs, and every caller sees the published one. A function-local
// static instead makes latecomers wait on its guard, which a fork leaves taken for good when the thread
// that was making the value is not copied into the child. Declared `static constinit Once<T> x;`.
template <class T>
class Once {
 public:
  constexpr Once() noexcept = default;
  Once(const Once&) = delete;
  Once& operator=(const Once&) = delete;

  // The value; `make` returns it (a T, or what a T is made from) and runs only while none is published.
  template <class Make>
  const T& get(Make&& make) {
    if (const T* made = value_.load(std::memory_order_acquire)) [[likely]]
      return *made;
    return publish(std::make_unique<const T>(std::invoke(std::forward<Make>(make))));
  }

 private:
  const T& publish(std::unique_ptr<const T> made) noexcept {
    const T* first = nullptr;
    if (value_.compare_exchange_strong(first, made.get(), std::memory_order_acq_rel,
                                       std::memory_order_acquire))
      return *made.release();
    return *first;
  }

  std::atomic<const T*> value_{nullptr};
};

}  // namespace zarnu_core::once
