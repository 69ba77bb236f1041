// The optimizer's seven passes, each run to its fixpoint in a fixed order.
#include "optimizer.hpp"

#include <utility>
#include <vector>

#include "util.hpp"

namespace zarnu_regex::optimizer {

using ir::Node;
using ir::NodeKind;

namespace {

// One pass: a post-order visitor that reports whether it changed anything.
using Visitor = bool (*)(Node&, bool in_lookbehind);

// `make` gives a fresh visitor for each walk. Once the poll says stop, the walk visits nothing more.
template <class Make>
void run_to_fixpoint(Node& root, interrupt::Poll* poll, Make make) {
  for (;;) {
    bool changed = false;
    auto visit = make();
    ir::MutWalker walker(
        [&](Node& n, bool in_lookbehind) {
          if (poll && (poll->tick() || poll->stopped())) return;
          changed |= visit(n, in_lookbehind);
        },
        true);
    walker.process(root);
    if (!changed || (poll && poll->stopped())) return;
  }
}

Node failing() {
  return Node::char_set({});
}

bool simplify_brackets(Node& n, bool) {
  if (n.kind != NodeKind::Bracket) return false;
  if (!n.invert && n.cps.empty()) {
    n = failing();
    return true;
  }
  if (!n.invert && n.cps.count() < 5) {
    std::vector<char32_t> members;
    for (const auto& iv : n.cps.intervals())
      for (std::uint32_t c = iv.first; c <= iv.last; ++c) members.push_back(c);
    n = Node::char_set(std::move(members));
    return true;
  }
  if (n.cps.empty()) return false;
  const auto ivs = n.cps.intervals();
  std::size_t complement = ivs.size() - 1;
  if (ivs.front().first > 0) ++complement;
  if (ivs.back().last < codepointset::kCodePointMax) ++complement;
  if (complement < ivs.size()) {
    n.cps = n.cps.inverted();
    n.invert = !n.invert;
    return true;
  }
  return false;
}

bool decat(Node& n, bool) {
  if (n.kind != NodeKind::Cat) return false;
  if (n.items.empty()) {
    n = Node::empty();
    return true;
  }
  if (n.items.size() == 1) {
    n = std::move(n.items[0]);
    return true;
  }
  bool any = false;
  for (const Node& item : n.items) any |= item.kind == NodeKind::Cat;
  if (!any) return false;
  std::vector<Node> flat;
  for (Node& item : n.items) {
    if (item.kind == NodeKind::Cat) {
      for (Node& inner : item.items) flat.push_back(std::move(inner));
    } else {
      flat.push_back(std::move(item));
    }
  }
  n.items = std::move(flat);
  return true;
}

bool unroll_loops(Node& n, bool) {
  if (n.kind != NodeKind::Loop || n.start_group < n.end_group || n.min < 1 || n.min > 5) return false;
  std::size_t budget = 256;
  if (!is_unrollable(*n.body, budget)) return false;
  std::vector<Node> copies;
  for (std::size_t i = 0; i < n.min; ++i) {
    auto copy = n.body->try_duplicate(0);
    if (!copy) return false;
    copies.push_back(std::move(*copy));
  }
  if (!(n.max && *n.max == n.min)) {
    std::optional<std::size_t> max;
    if (n.max) max = *n.max - n.min;
    copies.push_back(Node::loop(std::move(*n.body), 0, max, n.greedy, n.start_group, n.end_group));
  }
  n = Node::cat(std::move(copies));
  return true;
}

bool promote_1char_loops(Node& n, bool) {
  if (n.kind != NodeKind::Loop) return false;
  const Node& b = *n.body;
  bool single = false;
  switch (b.kind) {
    case NodeKind::Char:
    case NodeKind::MatchAny:
    case NodeKind::MatchAnyExceptLineTerminator:
      single = true;
      break;
    case NodeKind::CharSet:
      single = !b.chars.empty();
      break;
    case NodeKind::Bracket:
      single = b.invert ? !b.cps.is_full() : !b.cps.empty();
      break;
    default:
      break;
  }
  if (!single) return false;
  if (n.start_group < n.end_group) util::unreachable("Should have no enclosed groups");
  n.kind = NodeKind::Loop1CharBody;
  return true;
}

bool form_literal_bytes(Node& n, bool in_lookbehind) {
  switch (n.kind) {
    case NodeKind::Char: {
      if (!util::is_scalar_value(n.cp)) return false;
      std::uint8_t buf[4];
      const std::size_t len = util::utf8_encode(n.cp, buf);
      Node seq = Node::simple(NodeKind::ByteSeq);
      seq.bytes.assign(buf, buf + len);
      n = std::move(seq);
      return true;
    }
    case NodeKind::CharSet: {
      for (char32_t c : n.chars)
        if (c >= 0x80) return false;
      Node set = Node::simple(NodeKind::ByteSet);
      for (char32_t c : n.chars) set.bytes.push_back(static_cast<std::uint8_t>(c));
      n = std::move(set);
      return true;
    }
    case NodeKind::Cat: {
      bool changed = false;
      for (std::size_t i = 1; i < n.items.size(); ++i) {
        Node& prev = n.items[i - 1];
        Node& cur = n.items[i];
        if (prev.kind != NodeKind::ByteSeq || cur.kind != NodeKind::ByteSeq || prev.bytes.empty() ||
            cur.bytes.empty())
          continue;
        // Inside a lookbehind the items run in reverse text order.
        if (in_lookbehind) {
          cur.bytes.insert(cur.bytes.end(), prev.bytes.begin(), prev.bytes.end());
        } else {
          prev.bytes.insert(prev.bytes.end(), cur.bytes.begin(), cur.bytes.end());
          cur.bytes = std::move(prev.bytes);
        }
        prev.bytes.clear();
        changed = true;
      }
      return changed;
    }
    default:
      return false;
  }
}

bool remove_empties(Node& n, bool) {
  switch (n.kind) {
    case NodeKind::ByteSeq:
      if (!n.bytes.empty()) return false;
      n = Node::empty();
      return true;
    case NodeKind::Cat: {
      const std::size_t before = n.items.size();
      std::erase_if(n.items, [](const Node& item) { return item.kind == NodeKind::Empty; });
      if (n.items.size() == before) return false;
      if (n.items.empty())
        n = Node::empty();
      else if (n.items.size() == 1)
        n = std::move(n.items[0]);
      return true;
    }
    case NodeKind::Alt:
      if (n.left->kind != NodeKind::Empty || n.right->kind != NodeKind::Empty) return false;
      n = Node::empty();
      return true;
    case NodeKind::Lookaround:
      if (n.negate || n.body->kind != NodeKind::Empty) return false;
      n = Node::empty();
      return true;
    case NodeKind::Loop:
      if (n.body->kind == NodeKind::Empty || (n.max == 0 && n.start_group == n.end_group)) {
        n = Node::empty();
        return true;
      }
      return false;
    default:
      return false;
  }
}

// Failure propagation. A subtree holding a capture group is left alone, so that its groups keep taking
// part in matching. Whether a node holds one is answered from its children's answers, which the
// post-order walk leaves on a stack in the order it visited them: asking the question afresh at every
// branch of a long alternation would search the rest of the chain each time.
class PropagateEarlyFails {
 public:
  bool operator()(Node& n, bool) {
    const bool groups = holds_groups(n);
    answers_.push_back(groups);
    return !groups && rewrite(n);
  }

 private:
  // Takes the answers of the node's children off the stack; the node's own answer.
  bool holds_groups(const Node& n) {
    switch (n.kind) {
      case NodeKind::CaptureGroup:
        take(1);
        return true;
      case NodeKind::Cat:
        return take(n.items.size());
      case NodeKind::Alt:
        return take(2);
      case NodeKind::Lookaround:
      case NodeKind::Loop:
        return take(1);
      case NodeKind::Loop1CharBody:
        take(1);
        return false;
      default:
        return false;
    }
  }
  bool take(std::size_t children) {
    if (answers_.size() < children) util::unreachable("Walk visited fewer children than the node has");
    bool any = false;
    for (std::size_t i = 0; i < children; ++i) any |= answers_[answers_.size() - 1 - i];
    answers_.resize(answers_.size() - children);
    return any;
  }

  static bool rewrite(Node& n) {
    switch (n.kind) {
      case NodeKind::Cat:
        for (const Node& item : n.items)
          if (item.fails()) {
            n = failing();
            return true;
          }
        return false;
      case NodeKind::Alt:
        if (!n.left->fails() && !n.right->fails()) return false;
        if (n.left->fails()) {
          if (n.right->fails())
            n = failing();
          else
            n = std::move(*n.right);
        } else {
          n = std::move(*n.left);
        }
        return true;
      case NodeKind::Loop:
        if (n.start_group != n.end_group || n.min < 1 || !n.body->fails()) return false;
        n = failing();
        return true;
      default:
        return false;
    }
  }

  std::vector<bool> answers_;
};

}  // namespace

bool is_unrollable(const Node& node, std::size_t& budget) {
  const Node* n = &node;
  for (;;) {
    if (budget == 0) return false;
    --budget;
    switch (n->kind) {
      case NodeKind::Cat:
        for (const Node& item : n->items)
          if (!is_unrollable(item, budget)) return false;
        return true;
      case NodeKind::Alt:
        if (!is_unrollable(*n->left, budget)) return false;
        n = n->right.get();
        continue;
      case NodeKind::CaptureGroup:
      case NodeKind::Lookaround:
        n = n->body.get();
        continue;
      case NodeKind::Loop:
      case NodeKind::Loop1CharBody:
        return false;
      default:
        return true;
    }
  }
}

bool contains_capture_groups(const Node& node) {
  const Node* n = &node;
  for (;;) {
    switch (n->kind) {
      case NodeKind::CaptureGroup:
        return true;
      case NodeKind::Cat:
        for (const Node& item : n->items)
          if (contains_capture_groups(item)) return true;
        return false;
      case NodeKind::Alt:
        if (contains_capture_groups(*n->left)) return true;
        n = n->right.get();
        continue;
      case NodeKind::Lookaround:
      case NodeKind::Loop:
        n = n->body.get();
        continue;
      default:
        return false;
    }
  }
}

void optimize(Node& root, interrupt::Poll* poll) {
  for (Visitor pass :
       {simplify_brackets, decat, unroll_loops, promote_1char_loops, form_literal_bytes, remove_empties})
    run_to_fixpoint(root, poll, [pass] { return pass; });
  run_to_fixpoint(root, poll, [] { return PropagateEarlyFails(); });
}

}  // namespace zarnu_regex::optimizer
