// Bounded snapshots of values for the audit: long strings cut, containers cut to their first items,
// nesting cut at a depth.
#pragma once

#include <cstddef>
#include <optional>

#include "json.hpp"
#include "value.hpp"

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

}  // namespace zarnu_core::audit
