// The limits of an audited evaluation (time, cancellation, the poll hook), still in force while its audit is
// written: the tree, the explanation and their conversions grow with the evaluation and must stop with it.
#pragma once

#include <cstdint>
#include <optional>

#include "error.hpp"
#include "eval.hpp"

namespace zarnu_core::audit {

class Poll {
 public:
  // A poll that never stops.
  Poll() = default;
  // Polls the limits of an evaluator (which only keeps the time and the hook); it must outlive the poll.
  explicit Poll(eval::Evaluator& clock) : clock_(clock.polls() ? &clock : nullptr) {}

  // True once a limit is reached, and from then on; the clock is read every `kInterval` calls.
  bool stop() {
    if (failure_) return true;
    if (!clock_ || ++calls_ % kInterval != 0) return false;
    failure_ = clock_->interrupted();
    return failure_.has_value();
  }
  const std::optional<error::Error>& failure() const noexcept { return failure_; }

 private:
  static constexpr std::uint32_t kInterval = 64;
  eval::Evaluator* clock_ = nullptr;
  std::uint32_t calls_ = 0;
  std::optional<error::Error> failure_;
};

}  // namespace zarnu_core::audit
