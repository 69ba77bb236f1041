// Polling an evaluation's limits (time, cancellation, the poll hook) from work that outlasts its steps: the
// writing of its result and of its audit grow with the evaluation and must stop with it.
#pragma once

#include <cstdint>
#include <optional>

#include "value/error.hpp"
#include "value/limits.hpp"

namespace zarnu_core::eval {

class Evaluator;

class Poll {
 public:
  // A poll that never stops.
  Poll() = default;
  // Polls the limits of an evaluator (which may be one kept for its time and hook alone) every `interval`
  // calls of stop(); the evaluator must outlive the poll.
  explicit Poll(Evaluator& clock, std::uint32_t interval = kPollTicks);

  // True once a limit is reached, and from then on.
  bool stop() {
    if (--left_ != 0) [[likely]]
      return false;
    return stopped();
  }
  const std::optional<error::Error>& failure() const noexcept { return failure_; }

 private:
  bool stopped();

  Evaluator* clock_ = nullptr;
  std::uint32_t interval_ = kPollTicks;
  std::uint32_t left_ = kPollTicks;  // calls until the limits are asked
  std::optional<error::Error> failure_;
};

}  // namespace zarnu_core::eval

namespace zarnu_core::value {

// While one lives, releasing an array or object of kPollTicks children or more on this thread calls `hook`
// every kPollTicks children, so that freeing a large value lets other threads run as evaluating it did. A
// release cannot stop half-way: the hook's answer is not acted on, so a hook that stops an evaluation must
// say so again at its next call. The newest of the thread's guards stands until it ends.
class Turns {
 public:
  explicit Turns(const PollHook* hook) noexcept;
  Turns(const Turns&) = delete;
  Turns& operator=(const Turns&) = delete;
  ~Turns();

 private:
  const PollHook* previous_;
};

}  // namespace zarnu_core::value
