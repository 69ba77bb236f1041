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
