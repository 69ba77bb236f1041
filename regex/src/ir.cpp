// Node construction, destruction without deep recursion along alternation chains, the in-place walker,
// the reversal of concatenations inside lookbehinds, and the bounded deep copy.
#include "ir.hpp"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "util.hpp"

namespace zarnu_regex::ir {

Node::~Node() {
  // A long alternation is a chain of Alt nodes to the right; unlink it link by link.
  std::unique_ptr<Node> next = std::move(right);
  while (next) {
    std::unique_ptr<Node> after = std::move(next->right);
    next.reset();
    next = std::move(after);
  }
}

Node& Node::operator=(Node&& other) noexcept {
  if (this == &other) return *this;
  NodeFields taken(std::move(other));
  // Our old fields (which may have owned `other`) are released only now.
  NodeFields old(std::move(static_cast<NodeFields&>(*this)));
  static_cast<NodeFields&>(*this) = std::move(taken);
  // Release `old` through a Node, so that an alternation chain in it unlinks iteratively.
  Node sink;
  static_cast<NodeFields&>(sink) = std::move(old);
  return *this;
}

Node Node::character(char32_t c) {
  Node n(NodeKind::Char);
  n.cp = c;
  return n;
}

Node Node::char_set(std::vector<char32_t> cps) {
  Node n(NodeKind::CharSet);
  n.chars = std::move(cps);
  return n;
}

Node Node::cat(std::vector<Node> items) {
  Node n(NodeKind::Cat);
  n.items = std::move(items);
  return n;
}

Node Node::alt(Node left, Node right) {
  Node n(NodeKind::Alt);
  n.left = std::make_unique<Node>(std::move(left));
  n.right = std::make_unique<Node>(std::move(right));
  return n;
}

Node Node::anchor_node(AnchorType which, bool multiline) {
  Node n(NodeKind::Anchor);
  n.anchor = which;
  n.multiline = multiline;
  return n;
}

Node Node::word_boundary(bool invert, bool unicode_icase) {
  Node n(NodeKind::WordBoundary);
  n.invert = invert;
  n.unicode_icase = unicode_icase;
  return n;
}

Node Node::capture_group(Node body, std::optional<std::string> name, std::uint16_t index) {
  Node n(NodeKind::CaptureGroup);
  n.body = std::make_unique<Node>(std::move(body));
  n.name = std::move(name);
  n.group = index;
  return n;
}

Node Node::back_ref(std::uint32_t group, bool icase) {
  Node n(NodeKind::BackRef);
  n.backref = group;
  n.icase = icase;
  return n;
}

Node Node::bracket(codepointset::CodePointSet cps, bool invert) {
  Node n(NodeKind::Bracket);
  n.cps = std::move(cps);
  n.invert = invert;
  return n;
}

Node Node::string_alternation(std::vector<CodePointString> strings, bool icase) {
  Node n(NodeKind::StringAlternation);
  n.strings = std::move(strings);
  n.icase = icase;
  return n;
}

Node Node::lookaround(Node body, bool negate, bool backwards, std::uint16_t start_group,
                      std::uint16_t end_group) {
  Node n(NodeKind::Lookaround);
  n.body = std::make_unique<Node>(std::move(body));
  n.negate = negate;
  n.backwards = backwards;
  n.start_group = start_group;
  n.end_group = end_group;
  return n;
}

Node Node::loop(Node body, std::size_t min, std::optional<std::size_t> max, bool greedy,
                std::uint16_t start_group, std::uint16_t end_group) {
  Node n(NodeKind::Loop);
  n.body = std::make_unique<Node>(std::move(body));
  n.min = min;
  n.max = max;
  n.greedy = greedy;
  n.start_group = start_group;
  n.end_group = end_group;
  return n;
}

bool Node::fails() const noexcept {
  switch (kind) {
    case NodeKind::CharSet:
      return chars.empty();
    case NodeKind::ByteSet:
      return bytes.empty();
    case NodeKind::Bracket:
      return invert ? cps.is_full() : cps.empty();
    default:
      return false;
  }
}

void MutWalker::process(Node& root) {
  // The right spine of an alternation chain is walked in a loop: the chain can be as long as the
  // pattern has alternatives, while every other kind of nesting is bounded by the parser's depth limit.
  std::vector<Node*> spine;
  Node* n = &root;
  for (;;) {
    if (!postorder_) visitor_(*n, in_lookbehind_);
    if (n->kind != NodeKind::Alt) break;
    spine.push_back(n);
    process(*n->left);
    n = n->right.get();
  }
  switch (n->kind) {
    case NodeKind::Cat:
      for (Node& item : n->items) process(item);
      break;
    case NodeKind::CaptureGroup:
    case NodeKind::Loop:
    case NodeKind::Loop1CharBody:
      process(*n->body);
      break;
    case NodeKind::Lookaround: {
      const bool saved = in_lookbehind_;
      in_lookbehind_ = n->backwards;
      process(*n->body);
      in_lookbehind_ = saved;
      break;
    }
    default:
      break;
  }
  if (postorder_) {
    visitor_(*n, in_lookbehind_);
    for (auto it = spine.rbegin(); it != spine.rend(); ++it) visitor_(**it, in_lookbehind_);
  }
}

void Node::reverse_cats() {
  MutWalker walker(
      [](Node& n, bool in_lookbehind) {
        if (n.kind == NodeKind::ByteSeq) util::unreachable("Should not be reversing literal bytes");
        if (n.kind == NodeKind::Cat && in_lookbehind) std::reverse(n.items.begin(), n.items.end());
      },
      false);
  walker.process(*this);
}

std::optional<Node> Node::try_duplicate(std::size_t depth) const {
  if (depth > 100) return std::nullopt;
  Node out(kind);
  switch (kind) {
    case NodeKind::Empty:
    case NodeKind::Goal:
    case NodeKind::MatchAny:
    case NodeKind::MatchAnyExceptLineTerminator:
      break;
    case NodeKind::Char:
      out.cp = cp;
      break;
    case NodeKind::Anchor:
      out.anchor = anchor;
      out.multiline = multiline;
      break;
    case NodeKind::WordBoundary:
      out.invert = invert;
      out.unicode_icase = unicode_icase;
      break;
    case NodeKind::BackRef:
      out.backref = backref;
      out.icase = icase;
      break;
    case NodeKind::ByteSeq:
    case NodeKind::ByteSet:
      out.bytes = bytes;
      break;
    case NodeKind::CharSet:
      out.chars = chars;
      break;
    case NodeKind::Bracket:
      out.cps = cps;
      out.invert = invert;
      break;
    case NodeKind::Cat:
      out.items.reserve(items.size());
      for (const Node& item : items) {
        auto copy = item.try_duplicate(depth + 1);
        if (!copy) return std::nullopt;
        out.items.push_back(std::move(*copy));
      }
      break;
    case NodeKind::Alt: {
      auto l = left->try_duplicate(depth + 1);
      if (!l) return std::nullopt;
      auto r = right->try_duplicate(depth + 1);
      if (!r) return std::nullopt;
      out.left = std::make_unique<Node>(std::move(*l));
      out.right = std::make_unique<Node>(std::move(*r));
      break;
    }
    case NodeKind::StringAlternation:
      return std::nullopt;
    case NodeKind::Lookaround:
    case NodeKind::Loop:
    case NodeKind::Loop1CharBody: {
      if (kind == NodeKind::Lookaround && start_group < end_group)
        util::unreachable("Cannot duplicate an assertion with enclosed groups");
      if (kind == NodeKind::Loop && start_group < end_group)
        util::unreachable("Cannot duplicate a loop with enclosed groups");
      auto b = body->try_duplicate(depth + 1);
      if (!b) return std::nullopt;
      out.body = std::make_unique<Node>(std::move(*b));
      out.negate = negate;
      out.backwards = backwards;
      out.start_group = start_group;
      out.end_group = end_group;
      out.min = min;
      out.max = max;
      out.greedy = greedy;
      break;
    }
    case NodeKind::CaptureGroup:
      util::unreachable("Refusing to duplicate a capture group");
  }
  return out;
}

namespace {

void append_cp(std::string& out, char32_t c) {
  if (c >= 0x20 && c < 0x7F) {
    out += static_cast<char>(c);
  } else {
    char buf[16];
    std::snprintf(buf, sizeof buf, "\\u{%X}", static_cast<unsigned>(c));
    out += buf;
  }
}

}  // namespace

std::string Node::debug() const {
  std::string out;
  switch (kind) {
    case NodeKind::Empty:
      return "Empty";
    case NodeKind::Goal:
      return "Goal";
    case NodeKind::Char:
      out = "Char(";
      append_cp(out, cp);
      return out + ")";
    case NodeKind::ByteSeq:
    case NodeKind::ByteSet:
      out = kind == NodeKind::ByteSeq ? "ByteSeq(" : "ByteSet(";
      for (std::uint8_t b : bytes) append_cp(out, b);
      return out + ")";
    case NodeKind::CharSet:
      out = "CharSet(";
      for (char32_t c : chars) append_cp(out, c);
      return out + ")";
    case NodeKind::Cat:
      out = "Cat(";
      for (std::size_t i = 0; i < items.size(); ++i) out += (i ? ", " : "") + items[i].debug();
      return out + ")";
    case NodeKind::Alt: {
      // Along the chain of alternatives in a loop.
      std::size_t open = 0;
      const Node* n = this;
      for (; n->kind == NodeKind::Alt; n = n->right.get(), ++open) out += "Alt(" + n->left->debug() + ", ";
      return out + n->debug() + std::string(open, ')');
    }
    case NodeKind::MatchAny:
      return "MatchAny";
    case NodeKind::MatchAnyExceptLineTerminator:
      return "MatchAnyExceptLineTerminator";
    case NodeKind::Anchor:
      return std::string(anchor == AnchorType::StartOfLine ? "Anchor(^" : "Anchor($") +
             (multiline ? ",m)" : ")");
    case NodeKind::WordBoundary:
      return invert ? "WordBoundary(B)" : "WordBoundary(b)";
    case NodeKind::CaptureGroup:
      return "CaptureGroup" + std::to_string(group) + (name ? "<" + *name + ">" : "") + "(" + body->debug() +
             ")";
    case NodeKind::BackRef:
      return "BackRef(" + std::to_string(backref) + (icase ? ",i)" : ")");
    case NodeKind::Bracket: {
      out = invert ? "Bracket^(" : "Bracket(";
      bool first = true;
      for (const auto& iv : cps.intervals()) {
        if (!first) out += " ";
        first = false;
        append_cp(out, iv.first);
        if (iv.last != iv.first) {
          out += "-";
          append_cp(out, iv.last);
        }
      }
      return out + ")";
    }
    case NodeKind::StringAlternation:
      out = "StringAlternation(";
      for (std::size_t i = 0; i < strings.size(); ++i) {
        if (i) out += "|";
        for (char32_t c : strings[i]) append_cp(out, c);
      }
      return out + ")";
    case NodeKind::Lookaround:
      return std::string("Lookaround") + (backwards ? "<" : "") + (negate ? "!" : "=") + "[" +
             std::to_string(start_group) + "," + std::to_string(end_group) + ")(" + body->debug() + ")";
    case NodeKind::Loop:
    case NodeKind::Loop1CharBody:
      out = kind == NodeKind::Loop ? "Loop{" : "Loop1CharBody{";
      out += std::to_string(min) + "," + (max ? std::to_string(*max) : std::string()) + "}";
      if (!greedy) out += "?";
      if (kind == NodeKind::Loop)
        out += "[" + std::to_string(start_group) + "," + std::to_string(end_group) + ")";
      return out + "(" + body->debug() + ")";
  }
  return out;
}

}  // namespace zarnu_regex::ir
