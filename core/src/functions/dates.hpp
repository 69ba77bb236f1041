// The date-time built-ins: $now and $millis report the evaluation's current time, $fromMillis writes a
// millisecond count as a timestamp and $toMillis reads one back.
#pragma once

#include "eval/native.hpp"

namespace zarnu_core::functions::dates {

Result<value::Value> now(eval::Evaluator& ev, value::Items args, const Call& call);
Result<value::Value> millis(eval::Evaluator& ev, value::Items args, const Call& call);
Result<value::Value> from_millis(eval::Evaluator& ev, value::Items args, const Call& call);
Result<value::Value> to_millis(eval::Evaluator& ev, value::Items args, const Call& call);

}  // namespace zarnu_core::functions::dates
