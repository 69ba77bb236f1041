// The nesting and size limits shared by the value walks, and the errors that report them.
#pragma once

#include <cstddef>
#include <string>

#include "error.hpp"

namespace zarnu_core {

// Writing, comparing and converting values stops at this many nested arrays and objects.
inline constexpr std::size_t kNestingLimit = 1000;

// Default byte budget for error details and values shown to the tracer.
inline constexpr std::size_t kDetailBudget = 268435456;

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
