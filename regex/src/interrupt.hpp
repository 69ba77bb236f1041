// Poll policies of the matcher. The plain policy never polls; the interruptible one counts backtracks
// and loop turns and asks a callback every 1024 of them whether the search must stop. The callback is
// how a time limit or a cancellation reaches the engine, which knows nothing of who asks.
#pragma once

#include <cstdint>

namespace zarnu_regex::interrupt {

inline constexpr std::uint32_t kPollInterval = 1024;

// A type-erased "must we stop?" question.
struct Callback {
  void* context = nullptr;
  bool (*ask)(void*) = nullptr;

  bool operator()() const { return ask(context); }
  // A callback over any callable, which must outlive the search.
  template <class F>
  static Callback of(F& f) noexcept {
    return Callback{&f, [](void* p) { return static_cast<bool>((*static_cast<F*>(p))()); }};
  }
};

struct NoPoll {
  static constexpr bool kPolls = false;
  bool tick() noexcept { return false; }
  bool stopped() const noexcept { return false; }
};

class Poll {
 public:
  static constexpr bool kPolls = true;
  explicit Poll(Callback callback) noexcept : callback_(callback) {}

  // Counts one step; true when matching must stop.
  bool tick() {
    if (--countdown_ == 0) return check();
    return false;
  }
  // Asks the callback (once stopped, never again); true when matching must stop.
  bool check() {
    countdown_ = kPollInterval;
    if (stopped_) return true;
    stopped_ = callback_();
    return stopped_;
  }
  bool stopped() const noexcept { return stopped_; }

 private:
  Callback callback_;
  std::uint32_t countdown_ = kPollInterval;
  bool stopped_ = false;
};

}  // namespace zarnu_regex::interrupt
