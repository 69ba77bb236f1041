// Start predicates from the tree, their choice for the compiled program, and candidate search.
#include "startpredicate.hpp"

#include <algorithm>

#include "util.hpp"

namespace zarnu_regex::startpredicate {

using ir::Node;
using ir::NodeKind;
using Abstract = AbstractStartPredicate;

bool is_start_anchored(const Node& node) {
  const Node* n = &node;
  for (;;) {
    switch (n->kind) {
      case NodeKind::Cat:
        if (n->items.empty()) return false;
        n = &n->items.front();
        continue;
      case NodeKind::Alt:
        if (!is_start_anchored(*n->left)) return false;
        n = n->right.get();
        continue;
      case NodeKind::CaptureGroup:
        n = n->body.get();
        continue;
      case NodeKind::Anchor:
        return n->anchor == ir::AnchorType::StartOfLine && !n->multiline;
      default:
        return false;
    }
  }
}

bytesearch::ByteBitmap cps_to_first_byte_bitmap(std::span<const codepointset::Interval> intervals) {
  bytesearch::ByteBitmap out;
  auto span = [&](std::uint32_t lo, std::uint32_t hi, std::uint32_t from, std::uint32_t to) {
    lo = std::max(lo, from);
    hi = std::min(hi, to);
    if (lo > hi) return;
    for (std::uint32_t b = util::utf8_first_byte(lo); b <= util::utf8_first_byte(hi); ++b)
      out.set(static_cast<std::uint8_t>(b));
  };
  for (const auto& iv : intervals) {
    span(iv.first, iv.last, 0, 0x7F);
    span(iv.first, iv.last, 0x80, 0x7FF);
    span(iv.first, iv.last, 0x800, 0xFFFF);
    span(iv.first, iv.last, 0x10000, 0x10FFFF);
  }
  return out;
}

namespace {

Abstract set_of(bytesearch::ByteBitmap bitmap) {
  Abstract a;
  a.kind = Abstract::Kind::Set;
  a.set = std::make_unique<bytesearch::ByteBitmap>(bitmap);
  return a;
}

std::optional<Abstract> merge(std::optional<Abstract> l, std::optional<Abstract> r) {
  if (!l || !r || l->kind == Abstract::Kind::Arbitrary || r->kind == Abstract::Kind::Arbitrary)
    return Abstract::arbitrary();
  if (l->kind == Abstract::Kind::Sequence && r->kind == Abstract::Kind::Sequence) {
    const auto& a = l->sequence;
    const auto& b = r->sequence;
    const std::size_t common = static_cast<std::size_t>(
        std::mismatch(a.begin(), a.begin() + std::min(a.size(), b.size()), b.begin()).first - a.begin());
    if (common > 0) {
      l->sequence.resize(common);
      return l;
    }
    bytesearch::ByteBitmap bm;
    bm.set(a.front());
    bm.set(b.front());
    return set_of(bm);
  }
  if (l->kind == Abstract::Kind::Sequence) std::swap(l, r);
  if (r->kind == Abstract::Kind::Sequence) {
    l->set->set(r->sequence.front());
    return l;
  }
  l->set->add(*r->set);
  return l;
}

}  // namespace

std::optional<Abstract> compute_start_predicate(const Node& node) {
  switch (node.kind) {
    case NodeKind::WordBoundary:
      // A boundary consumes nothing: what follows it starts at the same position.
      return std::nullopt;
    case NodeKind::Anchor:
    case NodeKind::Empty:
    case NodeKind::Goal:
    case NodeKind::Char:
    case NodeKind::MatchAny:
    case NodeKind::MatchAnyExceptLineTerminator:
    case NodeKind::BackRef:
    case NodeKind::StringAlternation:
      return Abstract::arbitrary();
    case NodeKind::ByteSeq: {
      Abstract a;
      a.kind = Abstract::Kind::Sequence;
      a.sequence = node.bytes;
      return a;
    }
    case NodeKind::ByteSet: {
      bytesearch::ByteBitmap bm;
      for (std::uint8_t b : node.bytes) bm.set(b);
      return set_of(bm);
    }
    case NodeKind::CharSet: {
      bytesearch::ByteBitmap bm;
      for (char32_t c : node.chars) bm.set(util::utf8_first_byte(c));
      return set_of(bm);
    }
    case NodeKind::Bracket:
      return set_of(
          cps_to_first_byte_bitmap(node.invert ? node.cps.inverted().intervals() : node.cps.intervals()));
    case NodeKind::Cat:
      for (const Node& item : node.items)
        if (auto p = compute_start_predicate(item)) return p;
      return std::nullopt;
    case NodeKind::Alt: {
      // Merge along the alternation chain in a loop, from the last branch back to the first.
      std::vector<const Node*> lefts;
      const Node* n = &node;
      while (n->kind == NodeKind::Alt) {
        lefts.push_back(n->left.get());
        n = n->right.get();
      }
      std::optional<Abstract> acc = compute_start_predicate(*n);
      for (auto it = lefts.rbegin(); it != lefts.rend(); ++it)
        acc = merge(compute_start_predicate(**it), std::move(acc));
      return acc;
    }
    case NodeKind::CaptureGroup:
      return compute_start_predicate(*node.body);
    case NodeKind::Lookaround:
      return std::nullopt;
    case NodeKind::Loop:
    case NodeKind::Loop1CharBody:
      if (node.min == 0) return Abstract::arbitrary();
      return compute_start_predicate(*node.body);
  }
  return Abstract::arbitrary();
}

StartPredicate StartPredicate::for_tree(const Node& root, bool multiline) {
  StartPredicate p;
  if (!multiline && is_start_anchored(root)) {
    p.kind_ = Kind::StartAnchored;
    return p;
  }
  auto a = compute_start_predicate(root);
  if (!a || a->kind == Abstract::Kind::Arbitrary) return p;
  if (a->kind == Abstract::Kind::Sequence) {
    if (a->sequence.empty()) return p;
    if (a->sequence.size() == 1) {
      p.kind_ = Kind::FirstByte;
      p.first_[0] = a->sequence[0];
    } else {
      p.kind_ = Kind::Prefix;
      p.prefix_ = std::make_shared<const bytesearch::PrefixSearcher>(std::move(a->sequence));
    }
    return p;
  }
  const auto members = a->set->members();
  switch (members.size()) {
    case 0:
      return p;
    case 1:
    case 2:
    case 3:
      p.kind_ = members.size() == 1   ? Kind::FirstByte
                : members.size() == 2 ? Kind::FirstByte2
                                      : Kind::FirstByte3;
      std::copy(members.begin(), members.end(), p.first_);
      return p;
    default:
      p.kind_ = Kind::FirstByteBitmap;
      p.bitmap_ = *a->set;
      return p;
  }
}

std::span<const std::uint8_t> StartPredicate::bytes() const noexcept {
  switch (kind_) {
    case Kind::FirstByte:
      return {first_, 1};
    case Kind::FirstByte2:
      return {first_, 2};
    case Kind::FirstByte3:
      return {first_, 3};
    case Kind::Prefix:
      return prefix_->needle();
    default:
      return {};
  }
}

std::optional<std::size_t> StartPredicate::find(const std::uint8_t* text, std::size_t len,
                                                std::size_t pos) const noexcept {
  std::size_t at = len;
  switch (kind_) {
    case Kind::Arbitrary:
    case Kind::StartAnchored:
      return pos;
    case Kind::FirstByte:
      at = bytesearch::find_byte(text, len, pos, first_[0]);
      break;
    case Kind::FirstByte2:
      at = bytesearch::find_byte2(text, len, pos, first_[0], first_[1]);
      break;
    case Kind::FirstByte3:
      at = bytesearch::find_byte3(text, len, pos, first_[0], first_[1], first_[2]);
      break;
    case Kind::Prefix:
      at = prefix_->find(text, len, pos);
      break;
    case Kind::FirstByteBitmap:
      at = bytesearch::find_in_bitmap(text, len, pos, bitmap_);
      break;
  }
  if (at >= len) return std::nullopt;
  return at;
}

}  // namespace zarnu_regex::startpredicate
