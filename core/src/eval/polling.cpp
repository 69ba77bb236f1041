// The slow part of a poll: asking the evaluator's limits.
#include "value/polling.hpp"

#include "eval/eval.hpp"

namespace zarnu_core::eval {

Poll::Poll(Evaluator& clock, std::uint32_t interval)
    : clock_(clock.polls() ? &clock : nullptr), interval_(interval), left_(interval) {}

bool Poll::stopped() {
  if (!failure_ && clock_) failure_ = clock_->interrupted();
  // Once stopped, every call asks again and is told so.
  left_ = failure_ ? 1 : interval_;
  return failure_.has_value();
}

}  // namespace zarnu_core::eval
