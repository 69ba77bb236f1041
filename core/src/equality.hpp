// Deep equality of values and the order of strings by UTF-16 code units.
#pragma once

#include <compare>
#include <cstddef>
#include <string_view>

#include "result.hpp"
#include "value.hpp"

namespace zarnu_core::value {

// Compares two UTF-8 texts as sequences of UTF-16 code units.
std::strong_ordering js_string_cmp(std::string_view a, std::string_view b) noexcept;

// Deep equality; array flags play no part. Fails (U1001) past 1000 levels of nesting.
Result<bool> deep_eq_at(const Value& a, const Value& b, std::size_t depth);
inline Result<bool> deep_eq(const Value& a, const Value& b) {
  return deep_eq_at(a, b, 0);
}

}  // namespace zarnu_core::value
