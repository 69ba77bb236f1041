// Bounded snapshots of values for the audit (long strings cut, containers cut to their first items,
// nesting cut at a depth) and one-line excerpts of the expression's source.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <boost/unordered/unordered_flat_set.hpp>

#include "value/json.hpp"
#include "value/value.hpp"

namespace zarnu_core::audit {

// The capture limits of an audited evaluation.
struct Limits {
  std::uint64_t max_items = 10;
  std::uint64_t max_string = 200;
  std::uint64_t max_depth = 4;
  std::uint64_t max_rejected = 5;
  std::uint64_t max_nodes = 10000;
  std::uint64_t max_source = 200;
};

// The snapshot of a value at a depth (0 at the top); none for undefined. Never fails.
std::optional<json::Json> capture(const value::Value& value, const Limits& limits, std::size_t depth);

// Addresses of the module's own data (values, texts of the program, Python objects it made) are not
// chosen by any input: one multiplication and two shifts spread them over a table.
struct AddressHash {
  using is_avalanching = void;
  std::size_t operator()(const void* address) const noexcept {
    auto bits = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(address));
    bits = (bits ^ (bits >> 33)) * 0xFF51AFD7ED558CCDULL;
    return static_cast<std::size_t>(bits ^ (bits >> 33));
  }
};

// Objects that nothing changes in place (those of the evaluation's input), by address. Others may change
// after they were captured: a transform changes the objects of its copy once its pattern ran over them.
using Unchanging = boost::unordered_flat_set<const void*, AddressHash>;

// The objects of a value (walked without recursion).
Unchanging objects_of(const value::Value& value);

// The same snapshot as a value: undefined for undefined; strings, numbers, arrays and unchanging objects
// (when given) shared where they are within the limits, so that capturing them copies nothing; other
// objects copied, and what the limits cut made anew.
value::Value snapshot(const value::Value& value, const Limits& limits, std::size_t depth,
                      const Unchanging* unchanging = nullptr);

// The JSON form of a snapshot; none for undefined.
std::optional<json::Json> snapshot_json(const value::Value& snapshot);

// The source between two byte offsets on one line: comments removed, runs of white space made one space,
// cut to `max_source` characters (then ending in an ellipsis). Empty for a span that is not a valid
// range of character boundaries of the source.
std::string snippet(std::string_view source, std::size_t start, std::size_t end, std::uint64_t max_source);

}  // namespace zarnu_core::audit
