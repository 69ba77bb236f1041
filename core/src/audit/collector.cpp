// The audit collector: node records built from the tracer's reports, reduced to the decisions at level
// "decisions", bounded by the capture limits.
#include "audit/collector.hpp"

#include <algorithm>
#include <iterator>

#include "syntax/ast.hpp"

namespace zarnu_core::audit {

std::string_view level_name(Level level) noexcept {
  switch (level) {
    case Level::Off:
      return "off";
    case Level::Decisions:
      return "decisions";
    case Level::Full:
      return "full";
  }
  return "off";
}

std::optional<Level> parse_level(std::string_view text) noexcept {
  if (text == "off") return Level::Off;
  if (text == "decisions") return Level::Decisions;
  if (text == "full") return Level::Full;
  return std::nullopt;
}

std::string_view outcome_name(NodeOutcome outcome) noexcept {
  switch (outcome) {
    case NodeOutcome::True:
      return "true";
    case NodeOutcome::False:
      return "false";
    case NodeOutcome::Value:
      return "value";
    case NodeOutcome::Undefined:
      return "undefined";
    case NodeOutcome::Error:
      return "error";
  }
  return "undefined";
}

std::string_view branch_name(Branch branch) noexcept {
  switch (branch) {
    case Branch::Then:
      return "then";
    case Branch::Else:
      return "else";
    case Branch::None:
      return "none";
  }
  return "none";
}

AuditError AuditError::of(const error::Error& error) {
  return AuditError{std::string(error.code()), error.message()};
}

AuditNode::~AuditNode() {
  if (children.empty()) return;
  // Take the descendants apart one list at a time: each list is destroyed once its nodes gave up their
  // own children, so no node is destroyed with children left (and none is moved).
  std::vector<std::vector<AuditNode>> pending;
  pending.push_back(std::move(children));
  while (!pending.empty()) {
    std::vector<AuditNode> list = std::move(pending.back());
    pending.pop_back();
    for (AuditNode& node : list)
      if (!node.children.empty()) pending.push_back(std::move(node.children));
  }
}

namespace collector {

namespace {

bool is_comparison(ast::BinOp op) noexcept {
  using ast::BinOp;
  return op == BinOp::Eq || op == BinOp::Ne || op == BinOp::Lt || op == BinOp::Le || op == BinOp::Gt ||
         op == BinOp::Ge || op == BinOp::In;
}

// The name a call is known by: "$f" for $f(x), "a" for a.b(x), none for a call through anything else.
std::optional<std::string> callee_name(const ast::Node& procedure) {
  const ast::Node* named = &procedure;
  if (procedure.kind == ast::NodeKind::Path) {
    if (procedure.children.empty()) return std::nullopt;
    named = &procedure.children.front();
    if (named->kind == ast::NodeKind::Name) return named->text;
  }
  if (named->kind == ast::NodeKind::Variable) return "$" + named->text;
  return std::nullopt;
}

std::optional<std::string> op_of(const ast::Node& node) {
  switch (node.kind) {
    case ast::NodeKind::Binary:
      return std::string(ast::op_text(node.op));
    case ast::NodeKind::Name:
      return node.text;
    case ast::NodeKind::Variable:
      return "$" + node.text;
    case ast::NodeKind::Bind:
      if (!node.children.empty() && node.lhs().kind == ast::NodeKind::Variable) return "$" + node.lhs().text;
      return std::nullopt;
    case ast::NodeKind::Call:
    case ast::NodeKind::Partial:
      if (node.children.empty()) return std::nullopt;
      return callee_name(node.children.front());
    default:
      return std::nullopt;
  }
}

// Conditions, bindings and the comparing and logical operators are decisions; any other node is one
// when its author annotated it.
bool is_decision(const ast::Node& node) noexcept {
  switch (node.kind) {
    case ast::NodeKind::Condition:
    case ast::NodeKind::Default:
    case ast::NodeKind::Bind:
      return true;
    case ast::NodeKind::Binary:
      if (is_comparison(node.op) || node.op == ast::BinOp::And || node.op == ast::BinOp::Or) return true;
      break;
    default:
      break;
  }
  return node.annotation != nullptr;
}

}  // namespace

AuditCollector::AuditCollector(Level level, Limits limits, std::string input_hash)
    : input_hash_(std::move(input_hash)), limits_(limits), level_(level) {}

Frame* AuditCollector::recording() noexcept {
  if (frames_.empty() || skipped_ != 0) return nullptr;
  return &frames_.back();
}

void AuditCollector::begin(std::string_view source, double start_millis) {
  source_.assign(source);
  start_time_ = start_millis;
  start_instant_ = std::chrono::steady_clock::now();
}

bool AuditCollector::records(const ast::Node&) {
  // Work inside a predicate is summed up by its filter record: at level "decisions" its nodes are never
  // built.
  if (level_ == Level::Off || skipped_ != 0 || (level_ == Level::Decisions && filter_depth_ != 0))
    return false;
  // Once the tree is full every node below the root is discarded at its exit, and at level "full" every
  // node would be kept: nothing of it or below it can remain.
  if (level_ == Level::Full && !frames_.empty() && full()) {
    truncated_ = true;
    return false;
  }
  return true;
}

void AuditCollector::enter(const ast::Node& node, const value::Inspect& context) {
  // A node that records nothing is only counted off against its exit.
  if (!records(node)) {
    ++skipped_;
    return;
  }
  Frame& frame = frames_.emplace_back();
  AuditNode& n = frame.node;
  n.node = node.id;
  n.kind = ast::type_name(node.kind);
  n.span = node.span;
  frame.decision = is_decision(node);
  if (level_ == Level::Full) n.input = capture_context(context);
}

// What a node shows of its syntax: made only for the nodes that are kept.
void AuditCollector::describe(AuditNode& n, const ast::Node& node) {
  n.op = op_of(node);
  // A snippet depends on its span alone, and the nodes kept are mostly the same few nodes over and over.
  auto [at, made] = snippets_.try_emplace(std::pair(node.span.start, node.span.end));
  if (made) at->second = snippet(source_, node.span.start, node.span.end, limits_.max_source);
  n.source = at->second;
  if (node.annotation) {
    n.label = node.annotation->label;
    n.message = node.annotation->message;
    n.check_id = node.annotation->id;
  }
}

void AuditCollector::input(const value::Value& input) {
  if (limits_.max_nodes < kShareFrom) return;
  unchanging_ = objects_of(input);
  input_ = input;
}

value::Value AuditCollector::capture(const value::Inspect& value) {
  ++captured_;
  return snapshot(value.value(), limits_, 0, unchanging_ ? &*unchanging_ : nullptr);
}

value::Value AuditCollector::capture_context(const value::Inspect& context) {
  if (!last_input_.is_undefined() && context.value().same_payload(last_context_)) return last_input_;
  value::Value captured = capture(context);
  // A capture that is the context itself holds nothing that changes: the next nodes with the same context
  // share it. One that copied objects is taken again, as the objects may have changed in between (those
  // of a transform's copy change between its update and its removal).
  const bool whole = captured.same_payload(context.value());
  last_context_ = whole ? context.value() : value::Value();
  last_input_ = whole ? captured : value::Value();
  return captured;
}

bool AuditCollector::full() const noexcept {
  return node_count_ + 1 >= limits_.max_nodes;
}

bool AuditCollector::doomed() const noexcept {
  return frames_.size() > 1 && full();
}

void AuditCollector::exit(const ast::Node& node, Outcome outcome) {
  if (skipped_ != 0) {
    --skipped_;
    return;
  }
  if (frames_.empty()) return;
  // The node is finished in place and its frame dropped on the way out: a node is large, and most move
  // nowhere (they dissolve, or the tree is full).
  struct Pop {
    std::vector<Frame>& frames;
    ~Pop() { frames.pop_back(); }
  } pop{frames_};
  Frame& frame = frames_.back();
  AuditNode& n = frame.node;
  if (outcome.value) {
    if (auto b = outcome.value->as_bool())
      n.outcome = *b ? NodeOutcome::True : NodeOutcome::False;
    else
      n.outcome = outcome.value->signature_symbol() == 'm' ? NodeOutcome::Undefined : NodeOutcome::Value;
  } else if (outcome.error) {
    n.outcome = NodeOutcome::Error;
  }
  // The parts that cost something are made only for a node that stays.
  auto keep = [&] {
    describe(n, node);
    if (outcome.value) n.output = capture(*outcome.value);
    if (outcome.error) n.error = AuditError::of(*outcome.error);
    ++node_count_;
  };

  if (frames_.size() == 1) {
    keep();
    root_ = std::move(n);
    return;
  }
  Frame& parent = frames_[frames_.size() - 2];
  const bool kept = level_ == Level::Full || n.outcome == NodeOutcome::True ||
                    n.outcome == NodeOutcome::False || frame.decision || n.outcome == NodeOutcome::Error ||
                    !n.filters.empty();
  if (!kept) {
    // An undecided node dissolves: what it recorded moves up to its parent in order.
    std::move(n.children.begin(), n.children.end(), std::back_inserter(parent.node.children));
    std::move(n.filters.begin(), n.filters.end(), std::back_inserter(parent.node.filters));
    return;
  }
  if (full()) {
    truncated_ = true;
    return;
  }
  keep();
  parent.node.children.push_back(std::move(n));
}

void AuditCollector::operands(const ast::Node&, const value::Inspect& left, const value::Inspect& right) {
  // A node below the root of a full tree goes, with whatever it recorded.
  if (Frame* f = recording(); f && !doomed()) f->node.operands.emplace(capture(left), capture(right));
}

void AuditCollector::short_circuit(const ast::Node&) {
  if (Frame* f = recording()) f->node.short_circuited = true;
}

void AuditCollector::branch(const ast::Node&, std::uint32_t code) {
  if (Frame* f = recording())
    f->node.branch = code == 0 ? Branch::Then : code == 1 ? Branch::Else : Branch::None;
}

void AuditCollector::bind(const ast::Node&, std::string_view name, const value::Inspect&) {
  if (Frame* f = recording()) {
    std::string binding("$");
    binding.append(name);
    f->node.binding = std::move(binding);
  }
}

void AuditCollector::filter_begin(const ast::Node& predicate) {
  ++filter_depth_;
  // Only the outermost predicate keeps a record; a predicate applied again (the same step over another
  // sequence) adds to the record it already has.
  if (filter_depth_ != 1 || level_ == Level::Off) return;
  Frame* f = recording();
  if (!f) return;
  auto& filters = f->node.filters;
  if (std::any_of(filters.begin(), filters.end(),
                  [&](const FilterAudit& r) { return r.node == predicate.id; }))
    return;
  // A record keeps its node in the tree, so it is made even when the node is doomed, but bare.
  FilterAudit& record = filters.emplace_back();
  if (!doomed())
    record.source = snippet(source_, predicate.span.start, predicate.span.end, limits_.max_source);
  if (predicate.annotation) record.label = predicate.annotation->label;
  record.node = predicate.id;
}

void AuditCollector::filter_item(const ast::Node& predicate, std::size_t, const value::Inspect& item,
                                 bool passed) {
  if (filter_depth_ != 1) return;
  Frame* f = recording();
  if (!f) return;
  auto& filters = f->node.filters;
  auto record = std::find_if(filters.begin(), filters.end(),
                             [&](const FilterAudit& r) { return r.node == predicate.id; });
  if (record == filters.end()) return;
  ++record->tested;
  if (passed) {
    ++record->passed;
  } else if (record->rejected.size() < limits_.max_rejected && !doomed()) {
    if (value::Value captured = capture(item); !captured.is_undefined())
      record->rejected.push_back(std::move(captured));
  }
}

void AuditCollector::filter_end(const ast::Node&) {
  if (filter_depth_ != 0) --filter_depth_;
}

void AuditCollector::end(Outcome outcome) {
  // A later report replaces an earlier one whole: the evaluation has one outcome.
  if (outcome.value) {
    end_with(outcome.value->to_json());
  } else if (outcome.error) {
    error_ = AuditError::of(*outcome.error);
    result_.reset();
  }
}

void AuditCollector::end_with(std::optional<json::Json> result) {
  result_ = std::move(result);
  error_.reset();
}

}  // namespace collector

}  // namespace zarnu_core::audit
