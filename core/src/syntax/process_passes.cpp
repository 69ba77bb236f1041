// Small passes over the processed tree: tail calls into thunks, whether a subtree binds variables (for the
// blocks' frames), and whether a subtree is a constant (for constant predicates).
#include <algorithm>
#include <utility>

#include "syntax/process.hpp"

namespace zarnu_core::process {

using ast::Node;
using ast::NodeKind;

namespace {

// The evaluator post-processes the value of such a node (predicates, group-by, "[]"), which a tail call
// returned to the trampoline would skip.
bool post_processed(const Node& n) noexcept {
  return n.keep_array ||
         (n.attrs && (!n.attrs->stages.empty() || !n.attrs->predicates.empty() || n.attrs->group));
}

Node thunk(Node call) {
  Node node(NodeKind::Lambda, call.span, call.position);
  auto def = std::make_shared<ast::LambdaDef>();
  def->body = std::move(call);
  def->thunk = true;
  node.lambda = std::move(def);
  return node;
}

void rewrite_tail(Node& node, std::size_t depth) {
  if (post_processed(node)) return;
  auto deeper = [&](Node& next) { stack::nest(depth + 1, [&] { rewrite_tail(next, depth + 1); }); };
  switch (node.kind) {
    case NodeKind::Condition:
      for (std::size_t i = 1; i < node.children.size(); ++i) deeper(node.children[i]);
      return;
    case NodeKind::Default:
      deeper(node.children[1]);
      return;
    case NodeKind::Block:
      if (!node.children.empty()) deeper(node.children.back());
      return;
    case NodeKind::Call:
      node = thunk(std::move(node));
      return;
    default:
      return;
  }
}

bool binds_at(const Node& node, bool eval, std::size_t depth);

// The stage and predicate filters and the group-by pairs: they run in the scope that evaluates the node.
bool attrs_bind(const Node& node, bool eval, std::size_t depth) {
  if (!node.attrs) return false;
  auto check = [&](const Node& c) {
    return stack::nest(depth + 1, [&] { return binds_at(c, eval, depth + 1); });
  };
  for (const auto* list : {&node.attrs->stages, &node.attrs->predicates})
    for (const ast::Stage& s : *list)
      if (s.is_filter() && check(*s.predicate)) return true;
  if (node.attrs->group)
    for (const auto& [k, v] : node.attrs->group->pairs)
      if (check(k) || check(v)) return true;
  return false;
}

bool children_bind(const Node& node, bool eval, std::size_t depth) {
  auto check = [&](const Node& c) {
    return stack::nest(depth + 1, [&] { return binds_at(c, eval, depth + 1); });
  };
  if (std::any_of(node.children.begin(), node.children.end(), check)) return true;
  if (node.transform) {
    const ast::TransformDef& t = *node.transform;
    if (check(t.pattern) || check(t.update) || (t.remove && check(*t.remove))) return true;
  }
  return attrs_bind(node, eval, depth);
}

bool binds_at(const Node& node, bool eval, std::size_t depth) {
  switch (node.kind) {
    case NodeKind::Bind:
      return true;
    case NodeKind::Block:
    case NodeKind::Lambda:
      return attrs_bind(node, eval, depth);
    case NodeKind::Call:
    case NodeKind::Partial:
    case NodeKind::Apply:
      return eval || children_bind(node, eval, depth);
    default:
      return children_bind(node, eval, depth);
  }
}

bool constant_at(const Node& node, std::size_t depth) {
  if (node.attrs && (!node.attrs->stages.empty() || !node.attrs->predicates.empty() || node.attrs->group))
    return false;
  auto check = [&](const Node& c) {
    return stack::nest(depth + 1, [&] { return constant_at(c, depth + 1); });
  };
  switch (node.kind) {
    case NodeKind::String:
    case NodeKind::Number:
    case NodeKind::Bool:
    case NodeKind::Null:
      return true;
    case NodeKind::Binary:
      return check(node.children[0]) && check(node.children[1]);
    case NodeKind::Negate:
      return check(node.children[0]);
    case NodeKind::Array:
    case NodeKind::Block:
      return std::all_of(node.children.begin(), node.children.end(), check);
    default:
      return false;
  }
}

}  // namespace

Node tail_call_optimize(Node node) {
  rewrite_tail(node, 0);
  return node;
}

bool mark_frame::binds(const Node& node, bool eval) {
  return binds_at(node, eval, 0);
}

bool is_constant(const Node& node) {
  return constant_at(node, 0);
}

}  // namespace zarnu_core::process
