// The intermediate form: the tree of nodes the parser builds, the optimizer rewrites in place and the
// emitter turns into instructions; with the in-place walker, the reversal of concatenations inside
// lookbehinds, and the bounded deep copy that loop unrolling uses.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "codepointset.hpp"

namespace zarnu_regex::ir {

enum class NodeKind : std::uint8_t {
  Empty,
  Goal,
  Char,
  ByteSeq,
  ByteSet,
  CharSet,
  Cat,
  Alt,
  MatchAny,
  MatchAnyExceptLineTerminator,
  Anchor,
  WordBoundary,
  CaptureGroup,
  BackRef,
  Bracket,
  StringAlternation,
  Lookaround,
  Loop,
  Loop1CharBody,
};

enum class AnchorType : std::uint8_t { StartOfLine = 0, EndOfLine = 1 };

using CodePointString = std::vector<char32_t>;

struct Node;

// The fields of a node; only those of the node's kind are meaningful.
struct NodeFields {
  NodeKind kind = NodeKind::Empty;

  char32_t cp = 0;                    // Char
  std::vector<std::uint8_t> bytes;    // ByteSeq, ByteSet
  std::vector<char32_t> chars;        // CharSet
  std::vector<Node> items;            // Cat
  std::unique_ptr<Node> left, right;  // Alt
  std::unique_ptr<Node> body;         // CaptureGroup, Lookaround, Loop, Loop1CharBody
  AnchorType anchor = AnchorType::StartOfLine;
  bool multiline = false;                        // Anchor
  bool invert = false;                           // WordBoundary, Bracket
  bool unicode_icase = false;                    // WordBoundary
  std::optional<std::string> name;               // CaptureGroup
  std::uint16_t group = 0;                       // CaptureGroup (from 0)
  std::uint32_t backref = 0;                     // BackRef (from 1)
  bool icase = false;                            // BackRef, StringAlternation
  codepointset::CodePointSet cps;                // Bracket
  std::vector<CodePointString> strings;          // StringAlternation
  std::uint16_t start_group = 0, end_group = 0;  // Lookaround, Loop: enclosed groups [start, end)
  bool negate = false, backwards = false;        // Lookaround
  std::size_t min = 0;                           // Loop, Loop1CharBody
  std::optional<std::size_t> max;                // Loop, Loop1CharBody (absent: unbounded)
  bool greedy = true;                            // Loop, Loop1CharBody
};

// One node. Children are owned exclusively (boxed or in the item vector). Alternations of many branches
// chain to the right, so destruction and the walks follow that chain in a loop rather than by recursion.
struct Node : NodeFields {
  Node() = default;
  Node(Node&&) noexcept = default;
  // Safe also when `other` is owned by this node.
  Node& operator=(Node&& other) noexcept;
  Node(const Node&) = delete;
  Node& operator=(const Node&) = delete;
  ~Node();

  static Node empty() { return Node(NodeKind::Empty); }
  static Node goal() { return Node(NodeKind::Goal); }
  static Node character(char32_t c);
  static Node char_set(std::vector<char32_t> cps);
  static Node cat(std::vector<Node> items);
  static Node alt(Node left, Node right);
  static Node anchor_node(AnchorType which, bool multiline);
  static Node word_boundary(bool invert, bool unicode_icase);
  static Node capture_group(Node body, std::optional<std::string> name, std::uint16_t index);
  static Node back_ref(std::uint32_t group, bool icase);
  static Node bracket(codepointset::CodePointSet cps, bool invert);
  static Node string_alternation(std::vector<CodePointString> strings, bool icase);
  static Node lookaround(Node body, bool negate, bool backwards, std::uint16_t start_group,
                         std::uint16_t end_group);
  static Node loop(Node body, std::size_t min, std::optional<std::size_t> max, bool greedy,
                   std::uint16_t start_group, std::uint16_t end_group);
  static Node simple(NodeKind kind) { return Node(kind); }

  bool is(NodeKind k) const noexcept { return kind == k; }
  // A node that can never match: an empty CharSet or ByteSet, an empty plain bracket, or an inverted
  // bracket of every code point.
  bool fails() const noexcept;
  bool is_empty_charset() const noexcept { return kind == NodeKind::CharSet && chars.empty(); }

  // Runs a pre-order walk that reverses every Cat met inside a lookbehind.
  void reverse_cats();
  // An independent deep copy, or nothing when the node may not be copied (a StringAlternation, or a
  // nesting deeper than 100 levels below the starting depth).
  std::optional<Node> try_duplicate(std::size_t depth) const;

  std::string debug() const;

 private:
  explicit Node(NodeKind k) { kind = k; }
};

// A walk that calls a visitor on every node, before (pre-order) or after (post-order) its children, and
// lets it change nodes in place. The visitor learns whether the innermost enclosing lookaround runs
// backwards.
class MutWalker {
 public:
  using Visitor = std::function<void(Node&, bool in_lookbehind)>;
  MutWalker(Visitor visitor, bool postorder) : visitor_(std::move(visitor)), postorder_(postorder) {}
  void process(Node& n);

 private:
  Visitor visitor_;
  bool postorder_;
  bool in_lookbehind_ = false;
};

}  // namespace zarnu_regex::ir
