// The JSON text of a value: what `$string` gives for arrays and objects and the debugging text of values.
// Non-integers are rounded to 15 significant digits; nesting and the text's size are limited.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

#include "value/result.hpp"
#include "value/value.hpp"

namespace zarnu_core::value {

// Called before each item of an array or object while writing: a failure (the evaluation's time limit)
// ends the walk.
using Step = std::function<Status()>;

// The JSON text of a value; an outer-wrapper array holding items is written as its first item.
Result<std::string> stringify(const Value& value, bool pretty, std::size_t limit, const Step* step = nullptr);

// Appends the JSON text of a value at a depth; fails past 1000 levels, on an infinite number, or once the
// text exceeds `limit` bytes (what was appended stays in `out`).
Status write_json(std::string& out, const Value& value, bool pretty, std::size_t depth, std::size_t limit,
                  const Step* step = nullptr);

}  // namespace zarnu_core::value
