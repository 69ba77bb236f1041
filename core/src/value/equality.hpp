// Deep equality of values and the order of strings by UTF-16 code units.
#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "value/result.hpp"
#include "value/value.hpp"

namespace zarnu_core::value {

// Compares two UTF-8 texts as sequences of UTF-16 code units.
std::strong_ordering js_string_cmp(std::string_view a, std::string_view b) noexcept;

// Deep equality; array flags play no part. Fails (U1001) past 1000 levels of nesting.
Result<bool> deep_eq_at(const Value& a, const Value& b, std::size_t depth);
inline Result<bool> deep_eq(const Value& a, const Value& b) {
  return deep_eq_at(a, b, 0);
}

// A hash consistent with deep equality: equal values hash alike (numbers by value, both zeros alike;
// objects whatever the order of their members; array flags play no part). Lazy containers are read.
// None when the value holds a container as deep as equality refuses to compare: such values can only be
// told apart by comparing them.
std::optional<std::uint64_t> deep_hash(const Value& v, std::uint64_t seed);

}  // namespace zarnu_core::value
