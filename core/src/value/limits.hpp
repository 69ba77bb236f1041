// The nesting and size limits shared by the value walks, and the errors that report them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "value/error.hpp"

namespace zarnu_core {

// Writing, comparing and converting values stops at this many nested arrays and objects.
inline constexpr std::size_t kNestingLimit = 1000;

// Default byte budget for error details and values shown to the tracer.
inline constexpr std::size_t kDetailBudget = 268435456;

// A check the embedding program makes while an evaluation runs (pending signals, letting other threads
// run): the evaluator calls it every kPollTicks polls and from long searches; an error ends the evaluation.
using PollHook = std::function<std::optional<error::Error>()>;

// The number of node evaluations and loop steps between two calls of the poll hook (and, in loops over
// data, between two reads of the clock): a few hundred microseconds at most.
inline constexpr std::uint32_t kPollTicks = 1024;

// U1001 with a message whose "{}" is replaced by `limit`.
error::Error limit_error(std::string_view message, std::size_t limit);

inline error::Error nested_too_deep() {
  return limit_error("A value is nested more than {} levels deep", kNestingLimit);
}
inline error::Error string_too_long(std::size_t limit) {
  return limit_error("A string would exceed the size limit of {} bytes", limit);
}
inline error::Error array_too_long(std::size_t limit) {
  return limit_error("An array would exceed the size limit of {} items", limit);
}

}  // namespace zarnu_core
