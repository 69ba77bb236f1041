// The syntax tree: kind and operator names, attribute access.
#include "syntax/ast.hpp"

namespace zarnu_core::ast {

std::string_view type_name(NodeKind kind) noexcept {
  switch (kind) {
    case NodeKind::Path:
      return "path";
    case NodeKind::Binary:
      return "binary";
    case NodeKind::Negate:
    case NodeKind::Array:
    case NodeKind::Object:
      return "unary";
    case NodeKind::Name:
      return "name";
    case NodeKind::Variable:
      return "variable";
    case NodeKind::String:
      return "string";
    case NodeKind::Number:
      return "number";
    case NodeKind::Bool:
    case NodeKind::Null:
      return "value";
    case NodeKind::Regex:
      return "regex";
    case NodeKind::Wildcard:
      return "wildcard";
    case NodeKind::Descendant:
      return "descendant";
    case NodeKind::Parent:
      return "parent";
    case NodeKind::Condition:
    case NodeKind::Default:
      return "condition";
    case NodeKind::Block:
      return "block";
    case NodeKind::Bind:
      return "bind";
    case NodeKind::Apply:
      return "apply";
    case NodeKind::Call:
      return "function";
    case NodeKind::Partial:
      return "partial";
    case NodeKind::Placeholder:
      return "operator";
    case NodeKind::Lambda:
      return "lambda";
    case NodeKind::Transform:
      return "transform";
    case NodeKind::Sort:
      return "sort";
    case NodeKind::Error:
      return "error";
  }
  return "error";
}

std::string_view op_text(BinOp op) noexcept {
  static constexpr std::string_view kTexts[] = {"+",  "-", "*",  "/", "%",   "=",  "!=", "<",
                                                "<=", ">", ">=", "&", "and", "or", "in", ".."};
  return kTexts[static_cast<int>(op)];
}

Node::~Node() {
  // A deep tree is released through its members' destructors, one level per node; when the stack runs
  // short, the rest of the subtree moves onto a fresh segment and is released there.
  const bool owns_nodes = !children.empty() || attrs || lambda || transform;
  if (owns_nodes && stack::remaining() < stack::kRedZone) [[unlikely]]
    stack::grow([this] { Node rest(std::move(*this)); });
}

// Constant: a reader never waits for it.
constinit const Attrs kNoAttrs;

const Attrs& Node::a() const noexcept {
  return attrs ? *attrs : kNoAttrs;
}

Attrs& Node::a_mut() {
  if (!attrs) attrs = std::make_unique<Attrs>();
  return *attrs;
}

bool Node::has_stages() const noexcept {
  return attrs && !attrs->stages.empty();
}
bool Node::has_predicates() const noexcept {
  return attrs && !attrs->predicates.empty();
}
const Group* Node::group() const noexcept {
  return attrs ? attrs->group.get() : nullptr;
}

}  // namespace zarnu_core::ast
