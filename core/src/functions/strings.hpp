// The string built-ins that need no pattern: slicing, searching, case conversion, length, trimming,
// padding and joining. Positions, lengths and widths count Unicode code points.
#pragma once

#include <string>
#include <string_view>

#include "functions/native.hpp"

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

// Full Unicode case conversion of UTF-8 text; lower case applies the final-sigma rule.
std::string to_lower(std::string_view text);
std::string to_upper(std::string_view text);

}  // namespace zarnu_core::functions::strings
