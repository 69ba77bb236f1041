// The processing pass, node by node: which syntax-tree kind each parse-tree kind becomes, operator codes,
// folded negative literals, slots handed upwards; and the root passes over the finished tree.
#include "process.hpp"

#include <algorithm>
#include <utility>

#include "panic.hpp"
#include "utf.hpp"

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

void discard(Raw& raw, std::size_t depth) {
  std::vector<Raw> kids = std::move(raw.children);
  for (Raw& kid : kids)
    if (!kid.children.empty()) stack::nest(depth + 1, [&] { discard(kid, depth + 1); });
}

Kids::~Kids() {
  for (Raw& kid : items)
    if (!kid.children.empty()) discard(kid, depth);
}

}  // namespace detail

using detail::Kids;
using detail::pass_up;

Result<Node> Processor::process(Raw&& raw) {
  ++depth_;
  auto result = stack::nest(depth_, [&] { return process_inner(raw); });
  --depth_;
  return result;
}

error::Error Processor::error(std::string_view code, ast::Span span, std::size_t position) const {
  return error::Error(code).located(source_, span, position);
}

Result<Node> Processor::process_inner(Raw& raw) {
  ZR_TRY(Node node, build(raw));
  if (raw.keep_array) node.keep_array = true;
  if (raw.annotation) {
    // A bare name is wrapped in a path; the annotation belongs to the name itself.
    Node& to = raw.kind == RawKind::Name ? node.children.front() : node;
    to.annotation = std::move(raw.annotation);
  }
  return node;
}

Result<Node> Processor::build(Raw& raw) {
  switch (raw.kind) {
    case RawKind::Name: {
      Node step(NodeKind::Name, raw.span, raw.position);
      step.text = std::move(raw.text);
      step.keep_array = raw.keep_array;
      Node path(NodeKind::Path, raw.span, raw.position);
      path.keep_singleton = raw.keep_array;
      path.children.push_back(std::move(step));
      return path;
    }
    case RawKind::Variable:
    case RawKind::String: {
      Node node(raw.kind == RawKind::Variable ? NodeKind::Variable : NodeKind::String, raw.span,
                raw.position);
      node.text = std::move(raw.text);
      return node;
    }
    case RawKind::Number: {
      Node node(NodeKind::Number, raw.span, raw.position);
      node.number = raw.number;
      return node;
    }
    case RawKind::Literal: {
      Node node(raw.literal == 2 ? NodeKind::Null : NodeKind::Bool, raw.span, raw.position);
      node.flag = raw.literal == 1;
      return node;
    }
    case RawKind::Regex: {
      Node node(NodeKind::Regex, raw.span, raw.position);
      node.text = std::move(raw.text);
      node.regex_flags = std::make_unique<std::string>(std::move(raw.flags));
      return node;
    }
    case RawKind::Wildcard:
      return Node(NodeKind::Wildcard, raw.span, raw.position);
    case RawKind::Descendant:
      return Node(NodeKind::Descendant, raw.span, raw.position);
    case RawKind::Placeholder:
      return Node(NodeKind::Placeholder, raw.span, raw.position);
    case RawKind::Parent:
      return new_parent(raw);
    case RawKind::Binary:
      return binary(raw);
    case RawKind::Sort:
      return order_by(raw);
    case RawKind::Group:
      return group_by(raw);
    case RawKind::Array: {
      Kids kids(raw, depth_);
      Node node(NodeKind::Array, raw.span, raw.position);
      node.children.reserve(kids.items.size());
      for (Raw& item : kids.items) {
        ZR_TRY(Node n, process(std::move(item)));
        pass_up(node, n);
        node.children.push_back(std::move(n));
      }
      return node;
    }
    case RawKind::Object:
      return pairs_node(raw);
    case RawKind::Negate:
      return negate(raw);
    case RawKind::Call:
      return call(raw);
    case RawKind::Lambda: {
      Kids kids(raw, depth_);
      ZR_TRY(Node body, process(std::move(kids.items.at(0))));
      auto def = std::make_shared<ast::LambdaDef>();
      def->body = tail_call_optimize(std::move(body));
      def->params = std::move(raw.params);
      def->signature = std::move(raw.signature);
      Node node(NodeKind::Lambda, raw.span, raw.position);
      node.lambda = std::move(def);
      return node;
    }
    case RawKind::Condition: {
      Kids kids(raw, depth_);
      Node node(NodeKind::Condition, raw.span, raw.position);
      node.children.reserve(kids.items.size());
      for (Raw& part : kids.items) {
        ZR_TRY(Node n, process(std::move(part)));
        pass_up(node, n);
        node.children.push_back(std::move(n));
      }
      return node;
    }
    case RawKind::Transform: {
      Kids kids(raw, depth_);
      auto def = std::make_shared<ast::TransformDef>();
      ZR_TRY(def->pattern, process(std::move(kids.items.at(0))));
      ZR_TRY(def->update, process(std::move(kids.items.at(1))));
      if (kids.items.size() > 2) {
        ZR_TRY(Node remove, process(std::move(kids.items[2])));
        def->remove.emplace(std::move(remove));
      }
      Node node(NodeKind::Transform, raw.span, raw.position);
      node.transform = std::move(def);
      return node;
    }
    case RawKind::Block:
      return block(raw);
    case RawKind::End:
      return fail(error("S0207", raw.span, raw.position).with_token("(end)"));
    case RawKind::Error: {
      Kids kids(raw, depth_);
      if (!kids.items.empty()) return process(std::move(kids.items.front()));
      if (raw.error) return fail(std::move(*raw.error));
      return fail(error("S0201", raw.span, raw.position));
    }
  }
  panic("unknown parse-tree kind");
}

Result<Node> Processor::negate(Raw& raw) {
  Kids kids(raw, depth_);
  ZR_TRY(Node operand, process(std::move(kids.items.at(0))));
  if (operand.kind == NodeKind::Number) {
    // A negative literal is one number; it keeps whatever the operand carries.
    operand.number = -operand.number;
    operand.span = raw.span;
    return operand;
  }
  Node node(NodeKind::Negate, raw.span, raw.position);
  pass_up(node, operand);
  node.children.push_back(std::move(operand));
  return node;
}

Result<Node> Processor::call(Raw& raw) {
  Kids kids(raw, depth_);
  Node node(raw.partial ? NodeKind::Partial : NodeKind::Call, raw.span, raw.position);
  // The arguments are processed before the callee (so their slots are numbered first), but the callee
  // comes first among the children.
  node.children.resize(kids.items.size());
  for (std::size_t i = 1; i < kids.items.size(); ++i) {
    ZR_TRY(node.children[i], process(std::move(kids.items[i])));
    pass_up(node, node.children[i]);
  }
  ZR_TRY(node.children[0], process(std::move(kids.items.at(0))));
  return node;
}

Result<Node> Processor::block(Raw& raw) {
  Kids kids(raw, depth_);
  Node node(NodeKind::Block, raw.span, raw.position);
  node.flag = true;  // needs a frame until the root pass knows better
  node.children.reserve(kids.items.size());
  for (Raw& item : kids.items) {
    ZR_TRY(Node n, process(std::move(item)));
    pass_up(node, n);
    if (n.cons_array || (n.kind == NodeKind::Path && n.children.front().cons_array)) node.cons_array = true;
    node.children.push_back(std::move(n));
  }
  return node;
}

Result<std::vector<Node>> Processor::pairs(std::span<Raw> raws, Node* collector) {
  std::vector<Node> out;
  out.reserve(raws.size());
  for (Raw& raw : raws) {
    ZR_TRY(Node n, process(std::move(raw)));
    if (collector) pass_up(*collector, n);
    out.push_back(std::move(n));
  }
  return out;
}

Result<Node> Processor::pairs_node(Raw& raw) {
  Kids kids(raw, depth_);
  Node node(NodeKind::Object, raw.span, raw.position);
  ZR_TRY(node.children, pairs(kids.items, &node));
  return node;
}

namespace {

// The operators that become a Binary node, by their text.
std::optional<ast::BinOp> bin_op(std::string_view text) {
  using ast::BinOp;
  if (text.size() == 1) {
    switch (text[0]) {
      case '+':
        return BinOp::Add;
      case '-':
        return BinOp::Sub;
      case '*':
        return BinOp::Mul;
      case '/':
        return BinOp::Div;
      case '%':
        return BinOp::Mod;
      case '=':
        return BinOp::Eq;
      case '<':
        return BinOp::Lt;
      case '>':
        return BinOp::Gt;
      case '&':
        return BinOp::Concat;
      default:
        return std::nullopt;
    }
  }
  if (text == "!=") return BinOp::Ne;
  if (text == "<=") return BinOp::Le;
  if (text == ">=") return BinOp::Ge;
  if (text == "or") return BinOp::Or;
  if (text == "in") return BinOp::In;
  if (text == "..") return BinOp::Range;
  if (text == "and") return BinOp::And;
  return std::nullopt;
}

}  // namespace

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
  NodeKind kind = NodeKind::Binary;
  std::optional<ast::BinOp> code;
  if (op == ":=")
    kind = NodeKind::Bind;
  else if (op == "??" || op == "?:")
    kind = NodeKind::Default;
  else if (op == "~>")
    kind = NodeKind::Apply;
  else if (!(code = bin_op(op)))
    panic("unknown operator in the parse tree");

  Kids kids(raw, depth_);
  Node node(kind, raw.span, raw.position);
  node.children.resize(2);
  if (kind == NodeKind::Bind) {
    // The variable is not evaluated; only the value hands slots up.
    ZR_TRY(node.children[0], process(std::move(kids.items.at(0))));
    ZR_TRY(node.children[1], process(std::move(kids.items.at(1))));
    pass_up(node, node.children[1]);
    return node;
  }
  ZR_TRY(node.children[0], process(std::move(kids.items.at(0))));
  ZR_TRY(node.children[1], process(std::move(kids.items.at(1))));
  if (kind == NodeKind::Apply) {
    // A "~>" chain hands nothing up; "[]" on either side keeps the result an array.
    node.keep_array = node.children[0].keep_array || node.children[1].keep_array;
    return node;
  }
  if (kind == NodeKind::Default)
    node.flag = op == "?:";
  else
    node.op = *code;
  pass_up(node, node.children[0]);
  pass_up(node, node.children[1]);
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
