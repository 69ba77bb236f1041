// The processing pass: turns the parse tree into the syntax tree the evaluator runs (paths flattened into
// steps, predicates, bindings, group-by and order-by attached to them, parent references resolved to the
// steps they read), plus the small passes over the finished tree: tail calls, frame marks, constants.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>
#include <vector>

#include "syntax/ast.hpp"
#include "syntax/positions.hpp"
#include "syntax/raw.hpp"
#include "value/result.hpp"

namespace zarnu_core::process {

// Converts one expression's parse tree. One Processor per expression: the slots of its parent references
// accumulate in it and are handed to the Ast at the end.
class Processor {
 public:
  // `source` is the expression text, for error positions; it must outlive the processor. With `recover`
  // the errors are recorded and error nodes stand in for what failed.
  explicit Processor(std::string_view source, bool recover = false) noexcept
      : positions_(source), recover_(recover) {}

  // Converts a parse-tree node, consuming it. Without recover mode the first error ends the pass.
  Result<ast::Node> process(parser::Raw&& raw);

  const std::vector<ast::Slot>& slots() const noexcept { return slots_; }
  std::vector<ast::Slot> take_slots() noexcept { return std::move(slots_); }
  // Recover mode: the errors recorded, in the order found.
  std::vector<error::Error> take_errors() noexcept { return std::move(errors_); }
  // Recover mode: whether a failure of this slot to reach its step was recorded already.
  bool reported(std::size_t slot) const noexcept;

 private:
  Result<ast::Node> process_inner(parser::Raw& raw);
  // Processes `raw` into `out`.
  Status into(ast::Node& out, parser::Raw& raw);
  Result<ast::Node> build(parser::Raw& raw);
  ast::Node leaf(parser::Raw& raw);
  ast::Node name_path(parser::Raw& raw);
  Result<ast::Node> items(parser::Raw& raw, ast::NodeKind kind);
  Result<ast::Node> block(parser::Raw& raw);
  Result<ast::Node> object(parser::Raw& raw);
  Result<ast::Node> negate(parser::Raw& raw);
  Result<ast::Node> call(parser::Raw& raw);
  Result<ast::Node> lambda(parser::Raw& raw);
  Result<ast::Node> transform(parser::Raw& raw);
  Result<ast::Node> error_node(parser::Raw& raw);
  Result<ast::Node> binary(parser::Raw& raw);
  Result<ast::Node> operation(parser::Raw& raw);
  // Processes key then value of each pair into `out`; with a collector, their ancestry goes into its
  // `seeking`.
  Status pairs(std::span<parser::Raw> raws, std::vector<ast::Node>& out, ast::Node* collector);

  // Paths and what attaches to their steps.
  Result<ast::Node> path(parser::Raw& raw);
  Status extend_path(ast::Node& path, ast::Node right);
  Result<ast::Node> filter(parser::Raw& raw);
  Status attach_filter(ast::Node& result, ast::Node predicate, const parser::Raw& raw);
  Result<ast::Node> focus(parser::Raw& raw);
  Result<ast::Node> index(parser::Raw& raw);
  Result<ast::Node> group_by(parser::Raw& raw);
  Result<ast::Node> order_by(parser::Raw& raw);

  // Parent references.
  ast::Node new_parent(const parser::Raw& raw);
  Status resolve_ancestry(ast::Node& path);
  Status seek_parent(ast::Node& step, std::size_t slot, std::size_t depth);

  error::Error error(std::string_view code, ast::Span span, std::size_t position);
  // Without recover mode, the error; with it, the error recorded and an error node in the failing node's
  // place.
  Result<ast::Node> failing(error::Error e);

  lexer::Positions positions_;
  std::vector<ast::Slot> slots_;
  std::size_t depth_ = 0;
  bool recover_ = false;
  std::vector<error::Error> errors_;
  std::vector<std::size_t> reported_;  // slots whose S0217 was recorded
};

// The node that stands for a recorded error: its span (0..0 when it has none), positioned at the span's
// end.
ast::Node make_error_node(error::Error e);

// The slots a node hands up to its parent: its `seeking`, then its own slot when it is a "%".
void append_ancestry(const ast::Node& node, std::vector<std::size_t>& out);

// Rewrites the calls in tail position of a lambda body into thunks (parameterless lambdas around the
// call) so that a chain of tail calls runs in a loop. A node whose value the evaluator post-processes
// (stages, predicates, group-by, "[]") is not a tail position.
ast::Node tail_call_optimize(ast::Node node);

namespace mark_frame {
// Whether evaluating the subtree can bind a variable in the enclosing scope. With `eval`, any call may
// (through $eval). A block or lambda body is its own scope, but its stages, predicates and group-by run
// in the enclosing one.
bool binds(const ast::Node& node, bool eval);
}  // namespace mark_frame

// Whether the subtree is a literal constant (used for constant predicates).
bool is_constant(const ast::Node& node);

// Root passes, run once the whole tree is processed.
// Whether any node is the variable $eval (which can bind in the caller's scope through any call).
bool mentions_eval(const ast::Node& root);
// For each byte offset of `text` (and one past its end), the UTF-16 offset of the character holding it.
std::vector<std::size_t> utf16_table(std::string_view text);
// Numbers the nodes in pre-order, sets their UTF-16 positions, copies slot labels into parent references
// and ancestor steps, and sets each block's needs-frame flag.
void finish(ast::Node& root, std::span<const ast::Slot> slots, std::span<const std::size_t> utf16, bool eval);
// Recomputes only the blocks' needs-frame flags (for a tree parsed by $eval).
void mark_frames(ast::Node& root, bool eval);

// Helpers shared by the files of the pass.
namespace detail {

// Appends the ancestry of `from` to the `seeking` of `to` (creating attributes only when there is some).
void pass_up(ast::Node& to, const ast::Node& from);
// Makes `span` cover `by` as well.
void widen(ast::Span& span, ast::Span by) noexcept;
// The span from a bracketing token (one byte before `position`, the offset just after it) to the end of
// `outer`.
ast::Span from_token(std::size_t position, ast::Span outer) noexcept;
// The last step of a path, or the node itself when it is not a path.
ast::Node& last_step(ast::Node& node) noexcept;
// Wraps a node that is not a path into a path of one step taking the node's span and position.
ast::Node wrap_in_path(ast::Node node);

}  // namespace detail

}  // namespace zarnu_core::process
