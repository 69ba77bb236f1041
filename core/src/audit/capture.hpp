// Bounded snapshots of values for the audit (long strings cut, containers cut to their first items,
// nesting cut at a depth) and one-line excerpts of the expression's source.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

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

// The same snapshot as a value: undefined for undefined, and otherwise the value itself wherever it is
// within the limits (a container whose items all are, a short string, a number), so that capturing it
// copies nothing; only what the limits cut is made anew. Values are never changed once made, so the
// parts shared stay what they were when captured.
value::Value snapshot(const value::Value& value, const Limits& limits, std::size_t depth);

// The JSON form of a snapshot; none for undefined.
std::optional<json::Json> snapshot_json(const value::Value& snapshot);

// The source between two byte offsets on one line: comments removed, runs of white space made one space,
// cut to `max_source` characters (then ending in an ellipsis). Empty for a span that is not a valid
// range of character boundaries of the source.
std::string snippet(std::string_view source, std::size_t start, std::size_t end, std::uint64_t max_source);

}  // namespace zarnu_core::audit
