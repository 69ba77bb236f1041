// The syntax tree the evaluator runs: one Node per expression part, paths flattened into steps with their
// stages (predicates, index bindings), focus and index bindings, parent slots and group-by. Immutable once
// built and shared between threads; nothing in it holds a Value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "support/span.hpp"
#include "support/stack.hpp"
#include "syntax/annotation.hpp"
#include "syntax/signature.hpp"
#include "value/error.hpp"

namespace zarnu_core::ast {

enum class NodeKind : std::uint8_t {
  Path,
  Binary,
  Negate,
  Array,
  Object,
  Name,
  Variable,
  String,
  Number,
  Bool,
  Null,
  Regex,
  Wildcard,
  Descendant,
  Parent,
  Condition,
  Default,
  Block,
  Bind,
  Apply,
  Call,
  Partial,
  Placeholder,
  Lambda,
  Transform,
  Sort,
  Error,
};

inline constexpr std::size_t kNodeKinds = 27;

// The name of a kind in error details and audit output ("path", "binary", "unary", ...).
std::string_view type_name(NodeKind kind) noexcept;

enum class BinOp : std::uint8_t {
  Add,
  Sub,
  Mul,
  Div,
  Mod,
  Eq,
  Ne,
  Lt,
  Le,
  Gt,
  Ge,
  Concat,
  And,
  Or,
  In,
  Range
};

// The operator's text ("+", "!=", "and", "..").
std::string_view op_text(BinOp op) noexcept;

struct Node;
struct Attrs;

// A predicate "[...]" or an index binding "#$i" that follows one, in source order on a step.
struct Stage {
  enum class Kind : std::uint8_t { Filter, Index };
  Kind kind = Kind::Filter;
  bool constant = false;            // Filter: the predicate is a constant
  std::unique_ptr<Node> predicate;  // Filter
  std::string name;                 // Index: the variable name without "$"
  Span span;

  bool is_filter() const noexcept { return kind == Kind::Filter; }
};

// A group-by "{key: value, ...}" written after an expression.
struct Group {
  std::vector<std::pair<Node, Node>> pairs;
  Span span;
};

// A parent reference's slot: its label and the steps still to climb before its ancestor is reached.
struct Slot {
  std::string label;
  std::uint32_t level = 1;
};

struct LambdaDef;
struct TransformDef;

// The rarer step attributes; a node without any has none allocated.
struct Attrs {
  std::optional<std::size_t> ancestor;  // the slot whose "%" reads this step's input
  std::vector<Stage> stages;            // of a path step
  std::vector<Stage> predicates;        // of a node that is not a path step (filters only)
  std::vector<std::size_t> seeking;     // slots handed up to this node
  std::optional<std::string> focus;     // "@$name"
  std::optional<std::string> index;     // "#$name" on a step without stages
  std::optional<std::string> ancestor_label;
  std::unique_ptr<Group> group;
};

struct Node {
  NodeKind kind = NodeKind::Null;
  BinOp op = BinOp::Add;        // Binary
  bool keep_array = false;      // "[]" written on this node
  bool cons_array = false;      // an array constructor that is the first or last step of its path
  bool tuple = false;           // the step binds something per item: the path runs as a tuple stream
  bool keep_singleton = false;  // Path: some step has keep_array
  bool flag = false;            // Bool: the value; Default: "?:" (else "??"); Block: needs a frame
  std::uint32_t id = 0;         // pre-order number, root 0
  Span span;
  std::size_t position = 0;        // byte offset of the node's principal token end
  std::size_t position_utf16 = 0;  // the same in UTF-16 code units

  // Children in walk order: Path steps; Binary, Default, Bind, Apply: lhs, rhs; Negate: operand;
  // Array, Block: items; Object: key, value of each pair; Condition: condition, then [, else];
  // Call, Partial: procedure, then arguments; Sort: the terms' expressions.
  std::vector<Node> children;
  std::string text;      // Name, Variable (without "$"), String, Regex pattern, Parent label
  double number = 0;     // Number
  std::size_t slot = 0;  // Parent: the slot index

  std::unique_ptr<Attrs> attrs;  // null while every attribute is empty
  std::unique_ptr<annotation::Annotation> annotation;
  std::shared_ptr<const LambdaDef> lambda;        // Lambda
  std::shared_ptr<const TransformDef> transform;  // Transform
  std::unique_ptr<std::string> regex_flags;       // Regex
  std::vector<bool> descending;                   // Sort: one flag per term
  std::unique_ptr<error::Error> error;            // Error

  Node() = default;
  Node(NodeKind k, Span s, std::size_t pos) : kind(k), span(s), position(pos) {}
  Node(Node&&) noexcept = default;
  Node& operator=(Node&&) noexcept = default;
  ~Node();

  // Attributes, read-only (shared empty attributes when none) or created on demand.
  const Attrs& a() const noexcept;
  Attrs& a_mut();
  bool has_stages() const noexcept;
  bool has_predicates() const noexcept;
  const Group* group() const noexcept;

  const Node& lhs() const noexcept { return children[0]; }
  const Node& rhs() const noexcept { return children[1]; }
  bool elvis() const noexcept { return flag; }
  bool needs_frame() const noexcept { return flag; }

  // Direct children in walk order: own children (and a lambda's body, a transform's parts), then stage
  // and predicate filters, then group pairs.
  template <class F>
  void for_each_child(F&& f) const;
  // Pre-order walks. The mutable one enters a lambda or transform definition only when nothing else
  // holds it.
  template <class F>
  void walk(F&& f) const;
  template <class F>
  void walk_mut(F&& f);

 private:
  template <class F>
  void walk_at(F& f, std::size_t depth) const;
  template <class F>
  void walk_mut_at(F& f, std::size_t depth);
};

struct LambdaDef {
  Node body;
  std::vector<std::string> params;
  std::optional<signature::Signature> signature;
  bool thunk = false;  // a parameterless lambda wrapping a tail call
};

struct TransformDef {
  Node pattern;
  Node update;
  std::optional<Node> remove;
};

// The processed tree of one expression.
struct Ast {
  Node root;
  std::vector<Slot> slots;
  std::vector<error::Diagnostic> diagnostics;
  std::string source;
};

template <class F>
void Node::for_each_child(F&& f) const {
  for (const Node& c : children) f(c);
  if (lambda) f(lambda->body);
  if (transform) {
    f(transform->pattern);
    f(transform->update);
    if (transform->remove) f(*transform->remove);
  }
  if (!attrs) return;
  for (const Stage& s : attrs->stages)
    if (s.is_filter()) f(*s.predicate);
  for (const Stage& s : attrs->predicates)
    if (s.is_filter()) f(*s.predicate);
  if (attrs->group)
    for (const auto& [k, v] : attrs->group->pairs) {
      f(k);
      f(v);
    }
}

template <class F>
void Node::walk(F&& f) const {
  walk_at(f, 0);
}

template <class F>
void Node::walk_at(F& f, std::size_t depth) const {
  f(*this);
  for_each_child([&](const Node& c) { stack::nest(depth + 1, [&] { c.walk_at(f, depth + 1); }); });
}

template <class F>
void Node::walk_mut(F&& f) {
  walk_mut_at(f, 0);
}

template <class F>
void Node::walk_mut_at(F& f, std::size_t depth) {
  f(*this);
  auto visit = [&](Node& c) { stack::nest(depth + 1, [&] { c.walk_mut_at(f, depth + 1); }); };
  for (Node& c : children) visit(c);
  // A definition held elsewhere (by a function value) is left alone.
  if (lambda && lambda.use_count() == 1) visit(const_cast<LambdaDef&>(*lambda).body);
  if (transform && transform.use_count() == 1) {
    auto& t = const_cast<TransformDef&>(*transform);
    visit(t.pattern);
    visit(t.update);
    if (t.remove) visit(*t.remove);
  }
  if (!attrs) return;
  for (Stage& s : attrs->stages)
    if (s.is_filter()) visit(*s.predicate);
  for (Stage& s : attrs->predicates)
    if (s.is_filter()) visit(*s.predicate);
  if (attrs->group)
    for (auto& [k, v] : attrs->group->pairs) {
      visit(k);
      visit(v);
    }
}

}  // namespace zarnu_core::ast
