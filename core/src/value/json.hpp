// JSON values of the JSON library (error details, host values, audit and reads output) and their text.
// The library's own parser and dump() are never used: our text rules differ.
#pragma once

#include <cstddef>
#include <string>

#include <nlohmann/json.hpp>

#include "value/error.hpp"

namespace zarnu_core::json {

// Appends the JSON text of a JSON value, compact or pretty (two spaces per level). Cannot fail.
void write(std::string& out, const Json& value, bool pretty, std::size_t depth = 0);

// The compact JSON text of a JSON value.
std::string to_text(const Json& value);

// A deep copy of a JSON value, safe for any nesting.
Json copy(const Json& value);

}  // namespace zarnu_core::json

namespace zarnu_core::value {

// ECMAScript Number-to-String: shortest round-trip digits, exponent form outside 1e-7 .. 1e21.
std::string js_number(double x);
void append_js_number(std::string& out, double x);

// Appends a JSON string literal: control characters escaped, everything else copied as UTF-8.
void write_json_string(std::string& out, std::string_view text);

// The JSON number of a double: an integer below 2^53 in magnitude, a float otherwise, null when not finite.
json::Json json_number(double x);

// Rounds a finite non-integer to 15 significant digits (the precision of numbers in JSON text).
double round15(double x) noexcept;

}  // namespace zarnu_core::value
