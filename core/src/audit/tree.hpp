// The audit tree of one audited evaluation (a header describing the run, the collector's root node, the
// node count and the truncation flag) and its JSON form.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "audit/collector.hpp"
#include "value/json.hpp"

namespace zarnu_core::audit {

inline constexpr std::string_view kEngine = "zarnu-core 0.19.0";

struct AuditHeader {
  std::string engine{kEngine};
  std::string expression_hash;  // 16 lower-case hexadecimal digits
  std::string input_hash;
  std::string timestamp;
  double duration_ms = 0;
  Level level = Level::Decisions;
  std::optional<json::Json> result;
  std::optional<AuditError> error;
};

struct AuditTree {
  AuditHeader header;
  std::optional<AuditNode> root;
  std::uint64_t node_count = 0;
  bool truncated = false;
};

// The FNV-1a 64-bit hash of text fed in pieces, and as 16 lower-case hexadecimal digits.
class Fnv1a {
 public:
  void update(std::string_view text) noexcept {
    // In a local: the bytes read could alias the state, which would then be stored at every byte.
    std::uint64_t h = h_;
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    const auto* end = p + text.size();
    const auto step = [&h](unsigned char c) { h = (h ^ c) * kPrime; };
    // Each byte waits for the one before whatever the loop does; eight a round, and the rest by four, two
    // and one, pay the loop's own counting and branching once for many bytes (most pieces are short).
    for (; end - p >= 8; p += 8) {
      step(p[0]), step(p[1]), step(p[2]), step(p[3]), step(p[4]), step(p[5]), step(p[6]), step(p[7]);
    }
    const auto rest = end - p;
    if (rest & 4) {
      step(p[0]), step(p[1]), step(p[2]), step(p[3]);
      p += 4;
    }
    if (rest & 2) {
      step(p[0]), step(p[1]);
      p += 2;
    }
    if (rest & 1) step(p[0]);
    h_ = h;
  }
  // One byte: what a piece of one character costs without the loop.
  void byte(unsigned char c) noexcept { h_ = (h_ ^ c) * kPrime; }
  std::string hex() const;

 private:
  static constexpr std::uint64_t kPrime = 0x100000001b3ULL;
  std::uint64_t h_ = 0xcbf29ce484222325ULL;
};

// The FNV-1a 64-bit hash of text as 16 lower-case hexadecimal digits.
std::string fnv1a_hex(std::string_view text);

// The tree of a finished collector: the expression hash of the source it saw, the time since its
// `begin` (0 without one), and the given timestamp text, which the caller formats from the collector's
// start time.
AuditTree assemble(collector::AuditCollector&& collector, std::string timestamp);

json::Json to_json(const AuditTree& tree);
json::Json to_json(const AuditNode& node);

json::Json to_json(const AuditError& error);
json::Json to_json(const FilterAudit& filter);

// The parts of the JSON form for writers that take the tree apart (into Python objects, node by node):
// the header, leaving out the result when asked (it is the header's last member but the error, and only
// one of the two is ever set); and the members of a node but its children (its last member), in their
// order, handed to `put(key, value)`: numbers as std::uint64_t, texts as std::string_view, flags as bool,
// the span, the error, the filter records, the captured values as the snapshots the node holds
// (value::Value, never undefined) and the operands as the node holds them.
json::Json header_json(const AuditHeader& header, bool with_result);

template <class Put>
void node_members(const AuditNode& node, Put&& put) {
  put("node", std::uint64_t{node.node});
  put("kind", node.kind);
  if (node.op) put("op", std::string_view(*node.op));
  put("span", node.span);
  put("source", std::string_view(node.source));
  if (node.label) put("label", std::string_view(*node.label));
  if (node.message) put("message", std::string_view(*node.message));
  if (node.check_id) put("checkId", std::string_view(*node.check_id));
  if (!node.input.is_undefined()) put("input", node.input);
  if (!node.output.is_undefined()) put("output", node.output);
  put("outcome", outcome_name(node.outcome));
  if (node.error) put("error", *node.error);
  if (node.operands) put("operands", *node.operands);
  if (node.short_circuited) put("shortCircuited", true);
  if (node.branch) put("branch", branch_name(*node.branch));
  if (node.binding) put("binding", std::string_view(*node.binding));
  if (!node.filters.empty()) put("filters", node.filters);
}

}  // namespace zarnu_core::audit
