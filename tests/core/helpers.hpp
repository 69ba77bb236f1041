// Shared helpers of the C++ tests: values written as JSON text, and values written back as text.
#pragma once

#include <string>

#include "from_json.hpp"
#include "json.hpp"
#include "stringify.hpp"
#include "value.hpp"

namespace zarnu_test {

using zarnu_core::json::Json;
using zarnu_core::value::Value;

// A value from JSON text (test data only).
inline Value J(const std::string& text) {
  return zarnu_core::value::from_json(Json::parse(text));
}

// The compact JSON text of a value, or "!CODE" when writing fails.
inline std::string S(const Value& v) {
  auto text = zarnu_core::value::stringify(v, false, 268435456);
  return text ? *text : "!" + std::string(text.error().code());
}

// A chain of `depth` arrays, each holding the next; the innermost holds `leaf`.
inline Value nested_arrays(std::size_t depth, Value leaf = Value::number(1)) {
  Value v = std::move(leaf);
  for (std::size_t i = 0; i < depth; ++i) {
    zarnu_core::value::Items items;
    items.push_back(std::move(v));
    v = Value::array_with(std::move(items), 0);
  }
  return v;
}

}  // namespace zarnu_test
