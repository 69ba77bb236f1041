// The audit tree of one audited evaluation (a header describing the run, the collector's root node, the
// node count and the truncation flag) and its JSON form.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "audit/collector.hpp"
#include "json.hpp"

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
    for (unsigned char c : text) {
      h_ ^= c;
      h_ *= 0x100000001b3ULL;
    }
  }
  std::string hex() const;

 private:
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

// The parts of the JSON form for writers that take the tree apart (into Python objects, node by node):
// the header, leaving out the result when asked (it is the header's last member but the error, and only
// one of the two is ever set); and one node without its children (its last member), its captured values
// moved out of it.
json::Json header_json(const AuditHeader& header, bool with_result);
json::Json take_head(AuditNode& node);

}  // namespace zarnu_core::audit
