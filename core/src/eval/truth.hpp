// How any value becomes a boolean (conditions, "and", "or", predicates) and text ("&", $string).
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "value/result.hpp"
#include "value/stringify.hpp"
#include "value/value.hpp"

namespace zarnu_core::functions {

Result<std::optional<bool>> boolean_slow(const value::Value& v);

// The effective boolean value: none for undefined. Arrays are judged by their leaves.
inline Result<std::optional<bool>> boolean(const value::Value& v) {
  if (v.is_bool()) [[likely]]
    return std::optional<bool>(v.as_boolean());
  return boolean_slow(v);
}

// The text of a value: strings as themselves, others as JSON text; none for undefined.
Result<std::optional<std::string>> to_string(const value::Value& v, bool pretty, std::size_t limit,
                                             const value::Step* step = nullptr);

}  // namespace zarnu_core::functions
