// The aggregation and cast built-ins: $sum, $count, $max, $min and $average fold an array of numbers into
// one number; $string and $number cast a value to a string or a number.
#pragma once

#include "eval/native.hpp"

namespace zarnu_core::functions {

Result<value::Value> sum(eval::Evaluator& ev, value::Items args, const Call& call);
Result<value::Value> count(eval::Evaluator& ev, value::Items args, const Call& call);
Result<value::Value> max(eval::Evaluator& ev, value::Items args, const Call& call);
Result<value::Value> min(eval::Evaluator& ev, value::Items args, const Call& call);
Result<value::Value> average(eval::Evaluator& ev, value::Items args, const Call& call);
Result<value::Value> string(eval::Evaluator& ev, value::Items args, const Call& call);

}  // namespace zarnu_core::functions

namespace zarnu_core::functions::numeric {

Result<value::Value> number(eval::Evaluator& ev, value::Items args, const Call& call);

}  // namespace zarnu_core::functions::numeric
