// The explanation of an audit tree: one indented line per node a reader cares about (an annotated check,
// a comparison, a binding, a failure, a branch, a boolean call, a filter), as data and as plain text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "audit/poll.hpp"
#include "audit/tree.hpp"
#include "value/json.hpp"

namespace zarnu_core::audit::explain {

struct ExplanationLine {
  std::size_t depth = 0;
  std::optional<bool> passed;
  std::string text;
  std::optional<std::string> message;
  std::uint32_t node = 0;

  json::Json to_json() const;
};

struct Explanation {
  std::string result;
  std::vector<ExplanationLine> lines;

  // "result: ..." and then each line indented two spaces per level behind its verdict mark.
  // With a poll, stops early (with fewer lines) once it says so.
  std::string to_string(Poll* poll = nullptr) const;
  json::Json to_json() const;
};

// The explanation's result: the error, the result's compact JSON text, or "undefined". With a poll, stops
// early (with the text cut short) once it says so.
std::string result_text(const AuditHeader& header, Poll* poll = nullptr);

// With a poll, stops early (with fewer lines, or the result cut short) once it says so.
Explanation explain(const AuditTree& tree, Poll* poll = nullptr);

// Appends the lines of a node and its subtree, starting at `depth`.
void explain_node(const AuditNode& node, std::size_t depth, std::vector<ExplanationLine>& lines,
                  Poll* poll = nullptr);

// The compact JSON text of a capture, "undefined" when there is none.
std::string value_text(const std::optional<json::Json>& value);
// The same of a capture held as a snapshot (see `snapshot`).
std::string value_text(const value::Value& snapshot);

}  // namespace zarnu_core::audit::explain
