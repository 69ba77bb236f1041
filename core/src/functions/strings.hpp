// The string built-ins that need no pattern: slicing, searching, case conversion, length, trimming,
// padding and joining. Positions, lengths and widths count Unicode code points.
#pragma once

#include <string>
#include <string_view>

#include "eval/native.hpp"

namespace zarnu_core::functions::strings {

Result<value::Value> substring(eval::Evaluator& ev, value::Items args, const Call& call);
Result<value::Value> substring_before(eval::Evaluator& ev, value::Items args, const Call& call);
Result<value::Value> substring_after(eval::Evaluator& ev, value::Items args, const Call& call);
Result<value::Value> lowercase(eval::Evaluator& ev, value::Items args, const Call& call);
Result<value::Value> uppercase(eval::Evaluator& ev, value::Items args, const Call& call);
Result<value::Value> length(eval::Evaluator& ev, value::Items args, const Call& call);
Result<value::Value> trim(eval::Evaluator& ev, value::Items args, const Call& call);
Result<value::Value> pad(eval::Evaluator& ev, value::Items args, const Call& call);
Result<value::Value> join(eval::Evaluator& ev, value::Items args, const Call& call);

}  // namespace zarnu_core::functions::strings
