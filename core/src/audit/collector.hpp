// The audit collector: the tracer of an audited evaluation. It turns the evaluator's reports into a tree
// of audit nodes, kept whole at level "full" and reduced to the decisions at level "decisions", within
// the capture limits.
// The audit stage (audit/) hands the module the audit tree and its explanation.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <boost/container_hash/hash.hpp>
#include <boost/unordered/unordered_flat_map.hpp>

#include "audit/capture.hpp"
#include "eval/tracer.hpp"
#include "support/span.hpp"
#include "value/json.hpp"

namespace zarnu_core::audit {

enum class Level : std::uint8_t { Off, Decisions, Full };

// "off", "decisions", "full"; parsing is case-sensitive.
std::string_view level_name(Level level) noexcept;
std::optional<Level> parse_level(std::string_view text) noexcept;

// What a node gave. (The tracer's `Outcome` is the report the evaluator hands over; this is what the
// audit keeps of it.)
enum class NodeOutcome : std::uint8_t { True, False, Value, Undefined, Error };
std::string_view outcome_name(NodeOutcome outcome) noexcept;

// The branch a condition took: its first part, its else part, or none (false test, no else part).
enum class Branch : std::uint8_t { Then, Else, None };
std::string_view branch_name(Branch branch) noexcept;

struct AuditError {
  std::string code;
  std::string message;  // rendered

  static AuditError of(const error::Error& error);
};

// What one predicate did to the items of the sequences it filtered.
struct FilterAudit {
  std::string source;
  std::vector<value::Value> rejected;  // snapshots of the first rejected items
  std::optional<std::string> label;
  std::uint64_t tested = 0;
  std::uint64_t passed = 0;
  std::uint32_t node = 0;
};

// The captured operands of a comparison, left and right (undefined: no capture).
using Operands = std::pair<value::Value, value::Value>;

struct AuditNode {
  std::uint32_t node = 0;  // the syntax node's id
  std::string_view kind;   // the kind's type name (static text)
  std::optional<std::string> op;
  ast::Span span;
  std::string source;
  std::optional<std::string> label;
  std::optional<std::string> message;
  std::optional<std::string> check_id;
  // Captures are snapshots (see `snapshot`), undefined when there is none. Nodes entered one after the
  // other often have the same context (the steps and operands of a predicate all see the item), whose
  // snapshot is then taken once.
  value::Value input;
  value::Value output;
  NodeOutcome outcome = NodeOutcome::Undefined;
  std::optional<AuditError> error;
  std::optional<Operands> operands;
  bool short_circuited = false;
  std::optional<Branch> branch;
  std::optional<std::string> binding;
  std::vector<FilterAudit> filters;
  std::vector<AuditNode> children;  // in the order they finished

  AuditNode() = default;
  AuditNode(AuditNode&&) noexcept = default;
  AuditNode& operator=(AuditNode&&) noexcept = default;
  // Releases the subtree without recursion: an audit tree can be as deep as the evaluation was.
  ~AuditNode();
};

namespace collector {

// A node entered and not yet exited. Nodes entered inside a predicate at level "decisions" are dropped
// with their subtrees; they get no frame, only a count (see `skipped_`).
struct Frame {
  AuditNode node;
  bool decision = false;  // kept at level "decisions" whatever its value
};

class AuditCollector final : public Tracer {
 public:
  AuditCollector(Level level, Limits limits, std::string input_hash);

  void begin(std::string_view source, double start_millis) override;
  void enter(const ast::Node& node, const value::Inspect& context) override;
  void exit(const ast::Node& node, Outcome outcome) override;
  void operands(const ast::Node& node, const value::Inspect& left, const value::Inspect& right) override;
  void short_circuit(const ast::Node& node) override;
  void branch(const ast::Node& node, std::uint32_t code) override;
  void bind(const ast::Node& node, std::string_view name, const value::Inspect& value) override;
  void filter_begin(const ast::Node& predicate) override;
  void filter_item(const ast::Node& predicate, std::size_t index, const value::Inspect& item,
                   bool passed) override;
  void filter_end(const ast::Node& predicate) override;
  void end(Outcome outcome) override;
  bool records(const ast::Node& node) override;
  // The evaluation's input, which nothing changes: when the audit may keep many nodes, captures share its
  // objects instead of copying them.
  void input(const value::Value& input);
  // `end` with a result that the evaluation already wrote as JSON (none for undefined).
  void end_with(std::optional<json::Json> result);

  Level level() const noexcept { return level_; }
  const Limits& limits() const noexcept { return limits_; }
  const std::string& source() const noexcept { return source_; }
  const std::string& input_hash() const noexcept { return input_hash_; }
  double start_time() const noexcept { return start_time_; }
  const std::optional<std::chrono::steady_clock::time_point>& start_instant() const noexcept {
    return start_instant_;
  }
  const std::optional<AuditNode>& root() const noexcept { return root_; }
  const std::optional<json::Json>& result() const noexcept { return result_; }
  const std::optional<AuditError>& error() const noexcept { return error_; }
  std::uint64_t node_count() const noexcept { return node_count_; }
  // How many values were captured: the work and memory of the audit grow with it.
  std::uint64_t captured() const noexcept { return captured_; }
  bool truncated() const noexcept { return truncated_; }

  // Hand the finished parts over (to the audit tree).
  std::optional<AuditNode> take_root() noexcept { return std::exchange(root_, std::nullopt); }
  std::optional<json::Json> take_result() noexcept { return std::exchange(result_, std::nullopt); }
  std::optional<AuditError> take_error() noexcept { return std::exchange(error_, std::nullopt); }

 private:
  // The top frame when there is one that still records; null otherwise.
  Frame* recording() noexcept;
  void describe(AuditNode& n, const ast::Node& node);
  value::Value capture(const value::Inspect& value);
  // The capture of a node's context, shared with the node entered before when its context was the same.
  value::Value capture_context(const value::Inspect& context);
  // The tree holds as many nodes as it may.
  bool full() const noexcept;
  // The top frame is below the root of a full tree: it will be discarded or dissolve, so nothing it
  // records can remain.
  bool doomed() const noexcept;

  std::string source_;
  std::string input_hash_;
  std::vector<Frame> frames_;
  std::optional<AuditNode> root_;
  std::optional<AuditError> error_;
  std::optional<json::Json> result_;
  // The last context captured (held, so that its payload stays the same one) and its capture.
  value::Value last_context_;
  value::Value last_input_;
  // The objects of the input are found by walking it, which costs about a tenth of its conversion: done
  // when the audit may keep `kShareFrom` nodes or more, for which sharing them pays.
  static constexpr std::uint64_t kShareFrom = 64;
  std::optional<Unchanging> unchanging_;
  value::Value input_;  // held, so that the addresses of its objects stay theirs
  // The snippets of the spans met so far.
  boost::unordered_flat_map<std::pair<std::size_t, std::size_t>, std::string,
                            boost::hash<std::pair<std::size_t, std::size_t>>>
      snippets_;
  std::optional<std::chrono::steady_clock::time_point> start_instant_;
  Limits limits_;
  Level level_;
  double start_time_ = 0;
  std::uint64_t node_count_ = 0;
  std::uint64_t captured_ = 0;
  std::uint64_t filter_depth_ = 0;
  // Skipped nodes entered and not yet exited. They nest, so while any is open the top of the stack is a
  // skipped node and every report goes to nothing; building a frame for each would cost more than the
  // predicate's own evaluation.
  std::uint64_t skipped_ = 0;
  bool truncated_ = false;
};

}  // namespace collector

}  // namespace zarnu_core::audit
