// The processing pass, node by node: which syntax-tree kind each parse-tree kind becomes, operator codes,
// folded negative literals, slots handed upwards; and the root passes over the finished tree.
#include "syntax/process.hpp"

#include <algorithm>
#include <utility>

#include "support/panic.hpp"
#include "support/utf.hpp"

namespace zarnu_core::process {

using ast::Node;
using ast::NodeKind;
using parser::Raw;
using parser::RawKind;

void append_ancestry(const Node& node, std::vector<std::size_t>& out) {
  const auto& seeking = node.a().seeking;
  out.insert(out.end(), seeking.begin(), seeking.end());
  if (node.kind == NodeKind::Parent) out.push_back(node.slot);
}

namespace detail {

void pass_up(Node& to, const Node& from) {
  if (from.kind != NodeKind::Parent && (!from.attrs || from.attrs->seeking.empty())) return;
  append_ancestry(from, to.a_mut().seeking);
}

void widen(ast::Span& span, ast::Span by) noexcept {
  span.start = std::min(span.start, by.start);
  span.end = std::max(span.end, by.end);
}

ast::Span from_token(std::size_t position, ast::Span outer) noexcept {
  return {position > 0 ? position - 1 : 0, outer.end};
}

}  // namespace detail

using detail::pass_up;

Result<Node> Processor::process(Raw&& raw) {
  // The root is at depth 0, so the stack is checked before anything else runs.
  const std::size_t depth = depth_++;
  auto result = stack::nest(depth, [&] { return process_inner(raw); });
  --depth_;
  return result;
}

// The functions on the recursion's path keep few nodes of their own: in unoptimised builds every
// temporary has its own stack slot, and the stack is only checked every few levels.
Status Processor::into(Node& out, Raw& raw) {
  Result<Node> node = process(std::move(raw));
  if (!node) return fail(std::move(node).error());
  out = std::move(*node);
  return {};
}

error::Error Processor::error(std::string_view code, ast::Span span, std::size_t position) {
  return positions_.locate(error::Error(code), span, position);
}

Node make_error_node(error::Error e) {
  const ast::Span span = e.span().value_or(ast::Span{0, 0});
  Node node(NodeKind::Error, span, span.end);
  node.error = std::make_unique<error::Error>(std::move(e));
  return node;
}

Result<Node> Processor::failing(error::Error e) {
  if (!recover_) return fail(std::move(e));
  errors_.push_back(e.clone());
  return make_error_node(std::move(e));
}

Result<Node> Processor::process_inner(Raw& raw) {
  Result<Node> node = build(raw);
  if (!node) return node;
  if (raw.keep_array) node->keep_array = true;
  if (raw.annotation) {
    // A bare name is wrapped in a path; the annotation belongs to the name itself.
    Node& to = raw.kind == RawKind::Name ? node->children.front() : *node;
    to.annotation = std::move(raw.annotation);
  }
  return node;
}

Result<Node> Processor::build(Raw& raw) {
  switch (raw.kind) {
    case RawKind::Name:
      return name_path(raw);
    case RawKind::Variable:
    case RawKind::String:
    case RawKind::Number:
    case RawKind::Literal:
    case RawKind::Regex:
    case RawKind::Wildcard:
    case RawKind::Descendant:
    case RawKind::Placeholder:
      return leaf(raw);
    case RawKind::Parent:
      return new_parent(raw);
    case RawKind::Binary:
      return binary(raw);
    case RawKind::Sort:
      return order_by(raw);
    case RawKind::Group:
      return group_by(raw);
    case RawKind::Array:
      return items(raw, NodeKind::Array);
    case RawKind::Object:
      return object(raw);
    case RawKind::Negate:
      return negate(raw);
    case RawKind::Call:
      return call(raw);
    case RawKind::Lambda:
      return lambda(raw);
    case RawKind::Condition:
      return items(raw, NodeKind::Condition);
    case RawKind::Transform:
      return transform(raw);
    case RawKind::Block:
      return block(raw);
    case RawKind::End:
      return failing(error("S0207", raw.span, raw.position).with_token("(end)"));
    case RawKind::Error:
      return error_node(raw);
  }
  panic("unknown parse-tree kind");
}

Node Processor::leaf(Raw& raw) {
  Node node(NodeKind::Null, raw.span, raw.position);
  switch (raw.kind) {
    case RawKind::Variable:
      node.kind = NodeKind::Variable;
      node.text = std::move(raw.text);
      break;
    case RawKind::String:
      node.kind = NodeKind::String;
      node.text = std::move(raw.text);
      break;
    case RawKind::Number:
      node.kind = NodeKind::Number;
      node.number = raw.number;
      break;
    case RawKind::Literal:
      node.kind = raw.literal == 2 ? NodeKind::Null : NodeKind::Bool;
      node.flag = raw.literal == 1;
      break;
    case RawKind::Regex:
      node.kind = NodeKind::Regex;
      node.text = std::move(raw.text);
      node.regex_flags = std::make_unique<std::string>(std::move(raw.flags));
      break;
    case RawKind::Wildcard:
      node.kind = NodeKind::Wildcard;
      break;
    case RawKind::Descendant:
      node.kind = NodeKind::Descendant;
      break;
    case RawKind::Placeholder:
      node.kind = NodeKind::Placeholder;
      break;
    default:
      panic("not a leaf of the parse tree");
  }
  return node;
}

Node Processor::name_path(Raw& raw) {
  Node path(NodeKind::Path, raw.span, raw.position);
  path.keep_singleton = raw.keep_array;
  Node& step = path.children.emplace_back(NodeKind::Name, raw.span, raw.position);
  step.text = std::move(raw.text);
  step.keep_array = raw.keep_array;
  return path;
}

Result<Node> Processor::items(Raw& raw, NodeKind kind) {
  std::vector<Raw> kids = std::move(raw.children);
  Node node(kind, raw.span, raw.position);
  node.children.reserve(kids.size());
  for (Raw& item : kids) {
    ZR_TRY(into(node.children.emplace_back(), item));
    pass_up(node, node.children.back());
  }
  return node;
}

Result<Node> Processor::block(Raw& raw) {
  std::vector<Raw> kids = std::move(raw.children);
  Node node(NodeKind::Block, raw.span, raw.position);
  node.flag = true;  // needs a frame until the root pass knows better
  node.children.reserve(kids.size());
  for (Raw& item : kids) {
    ZR_TRY(into(node.children.emplace_back(), item));
    const Node& n = node.children.back();
    pass_up(node, n);
    if (n.cons_array || (n.kind == NodeKind::Path && n.children.front().cons_array)) node.cons_array = true;
  }
  return node;
}

Status Processor::pairs(std::span<Raw> raws, std::vector<Node>& out, Node* collector) {
  out.reserve(out.size() + raws.size());
  for (Raw& raw : raws) {
    ZR_TRY(into(out.emplace_back(), raw));
    if (collector) pass_up(*collector, out.back());
  }
  return {};
}

Result<Node> Processor::object(Raw& raw) {
  std::vector<Raw> kids = std::move(raw.children);
  Node node(NodeKind::Object, raw.span, raw.position);
  ZR_TRY(pairs(kids, node.children, &node));
  return node;
}

Result<Node> Processor::negate(Raw& raw) {
  std::vector<Raw> kids = std::move(raw.children);
  Node node(NodeKind::Negate, raw.span, raw.position);
  ZR_TRY(into(node.children.emplace_back(), kids.at(0)));
  Node& operand = node.children.back();
  if (operand.kind == NodeKind::Number) {
    // A negative literal is one number; it keeps whatever the operand carries.
    operand.number = -operand.number;
    operand.span = raw.span;
    return std::move(operand);
  }
  pass_up(node, operand);
  return node;
}

Result<Node> Processor::call(Raw& raw) {
  std::vector<Raw> kids = std::move(raw.children);
  Node node(raw.partial ? NodeKind::Partial : NodeKind::Call, raw.span, raw.position);
  // The arguments are processed before the callee (so their slots are numbered first), but the callee
  // comes first among the children.
  node.children.resize(kids.size());
  for (std::size_t i = 1; i < kids.size(); ++i) {
    ZR_TRY(into(node.children[i], kids[i]));
    pass_up(node, node.children[i]);
  }
  ZR_TRY(into(node.children[0], kids.at(0)));
  return node;
}

Result<Node> Processor::lambda(Raw& raw) {
  std::vector<Raw> kids = std::move(raw.children);
  auto def = std::make_shared<ast::LambdaDef>();
  ZR_TRY(into(def->body, kids.at(0)));
  def->body = tail_call_optimize(std::move(def->body));
  def->params = std::move(raw.params);
  def->signature = std::move(raw.signature);
  Node node(NodeKind::Lambda, raw.span, raw.position);
  node.lambda = std::move(def);
  return node;
}

Result<Node> Processor::transform(Raw& raw) {
  std::vector<Raw> kids = std::move(raw.children);
  auto def = std::make_shared<ast::TransformDef>();
  ZR_TRY(into(def->pattern, kids.at(0)));
  ZR_TRY(into(def->update, kids.at(1)));
  if (kids.size() > 2) ZR_TRY(into(def->remove.emplace(), kids[2]));
  Node node(NodeKind::Transform, raw.span, raw.position);
  node.transform = std::move(def);
  return node;
}

Result<Node> Processor::error_node(Raw& raw) {
  std::vector<Raw> kids = std::move(raw.children);
  if (!kids.empty()) return process(std::move(kids.front()));
  // The parser recorded this error already.
  if (raw.error)
    return recover_ ? Result<Node>(make_error_node(std::move(*raw.error))) : fail(std::move(*raw.error));
  return failing(error("S0201", raw.span, raw.position));
}

Result<Node> Processor::binary(Raw& raw) {
  const std::string_view op = raw.text;
  if (op.size() == 1) {
    switch (op[0]) {
      case '.':
        return path(raw);
      case '[':
        return filter(raw);
      case '@':
        return focus(raw);
      case '#':
        return index(raw);
      default:
        break;
    }
  }
  return operation(raw);
}

namespace {

// The node of an operator that is not about paths, by its text.
Node operator_node(const Raw& raw) {
  using ast::BinOp;
  Node node(NodeKind::Binary, raw.span, raw.position);
  const std::string_view op = raw.text;
  if (op == ":=") {
    node.kind = NodeKind::Bind;
    return node;
  }
  if (op == "??" || op == "?:") {
    node.kind = NodeKind::Default;
    node.flag = op == "?:";
    return node;
  }
  if (op == "~>") {
    node.kind = NodeKind::Apply;
    return node;
  }
  for (int code = 0; code <= static_cast<int>(BinOp::Range); ++code) {
    if (ast::op_text(static_cast<BinOp>(code)) == op) {
      node.op = static_cast<BinOp>(code);
      return node;
    }
  }
  panic("unknown operator in the parse tree: " + std::string(op));
}

}  // namespace

Result<Node> Processor::operation(Raw& raw) {
  Node node = operator_node(raw);
  std::vector<Raw> kids = std::move(raw.children);
  node.children.resize(2);
  ZR_TRY(into(node.children[0], kids.at(0)));
  ZR_TRY(into(node.children[1], kids.at(1)));
  switch (node.kind) {
    case NodeKind::Bind:
      // The variable is not evaluated; only the value hands slots up.
      pass_up(node, node.children[1]);
      break;
    case NodeKind::Apply:
      // A "~>" chain hands nothing up; "[]" on either side keeps the result an array.
      node.keep_array = node.children[0].keep_array || node.children[1].keep_array;
      break;
    default:
      pass_up(node, node.children[0]);
      pass_up(node, node.children[1]);
      break;
  }
  return node;
}

// Root passes.

bool mentions_eval(const Node& root) {
  bool found = false;
  root.walk([&](const Node& n) {
    if (n.kind == NodeKind::Variable && n.text == "eval") found = true;
  });
  return found;
}

std::vector<std::size_t> utf16_table(std::string_view text) {
  std::vector<std::size_t> table(text.size() + 1);
  std::size_t units = 0;
  std::size_t i = 0;
  while (i < text.size()) {
    const std::size_t len =
        std::min(utf::sequence_length(static_cast<unsigned char>(text[i])), text.size() - i);
    for (std::size_t k = 0; k < len; ++k) table[i + k] = units;
    units += len == 4 ? 2 : 1;
    i += len;
  }
  table[text.size()] = units;
  return table;
}

namespace {

bool block_needs_frame(const Node& block, bool eval) {
  return std::any_of(block.children.begin(), block.children.end(),
                     [&](const Node& item) { return mark_frame::binds(item, eval); });
}

}  // namespace

void finish(Node& root, std::span<const ast::Slot> slots, std::span<const std::size_t> utf16, bool eval) {
  std::uint32_t next_id = 0;
  root.walk_mut([&](Node& n) {
    n.id = next_id++;
    n.position_utf16 = utf16[std::min(n.position, utf16.size() - 1)];
    if (n.kind == NodeKind::Parent) n.text = slots[n.slot].label;
    if (n.attrs) {
      if (n.attrs->ancestor)
        n.attrs->ancestor_label = slots[*n.attrs->ancestor].label;
      else
        n.attrs->ancestor_label.reset();
    }
    if (n.kind == NodeKind::Block) n.flag = block_needs_frame(n, eval);
  });
}

void mark_frames(Node& root, bool eval) {
  root.walk_mut([&](Node& n) {
    if (n.kind == NodeKind::Block) n.flag = block_needs_frame(n, eval);
  });
}

}  // namespace zarnu_core::process
