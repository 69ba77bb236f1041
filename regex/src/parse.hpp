// The pattern parser: recursive descent over the pattern's code points into the intermediate form, with
// escapes, bracket classes, class-set expressions (flag v) and property escapes, within the nesting,
// loop and capture-group limits. Errors carry a plain English text and no code.
//
// Recursion happens only through groups and nested class sets, and both are bounded by the nesting limit
// (kMaxDepth): a pattern nested deeper is refused with "Regular expression is too deeply nested", so the
// parser needs a bounded amount of machine stack (see kParseStackBytes) whatever the pattern.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "codepointset.hpp"
#include "interrupt.hpp"
#include "ir.hpp"
#include "types.hpp"
#include "unicode.hpp"

namespace zarnu_regex::parse {

using codepointset::CodePointSet;
using ir::Node;

// The one error of compilation: a message; or a compilation stopped by its poll callback.
struct Error {
  std::string text;
  bool stopped = false;
  friend bool operator==(const Error&, const Error&) = default;
};
Error stopped();
Error error(std::string_view message);
// "Error { text: \"...\" }", the text escaped as a string literal.
std::string debug(const Error& e);

template <class T>
using Result = std::expected<T, Error>;

inline constexpr std::uint32_t kMaxDepth = 256;
inline constexpr std::uint32_t kMaxLoops = 65535;
inline constexpr std::uint32_t kMaxGroups = 65535;
// An upper bound of the machine stack a parse can take at the deepest nesting, with room for sanitizer
// builds; a caller on a small stack runs the compilation on a larger one.
inline constexpr std::size_t kParseStackBytes = 3 * 1024 * 1024;

enum class ClassEscapeKind : std::uint8_t { Digit, Space, Word };

// The sets of \d, \s and \w, and their inversions for \D, \S and \W.
CodePointSet codepoints_from_class_positive(ClassEscapeKind kind);
CodePointSet codepoints_from_class(ClassEscapeKind kind, bool positive);

// One member read inside a bracket class (without flag v).
struct ClassAtom {
  enum class Kind : std::uint8_t { CodePoint, ClassEscape, Property } kind = Kind::CodePoint;
  char32_t cp = 0;
  ClassEscapeKind escape = ClassEscapeKind::Digit;
  bool positive = true;  // a class escape's lower-case form; a property escape's \p
  CodePointSet set;      // a property escape's members
};
void add_class_atom(CodePointSet& set, ClassAtom atom);

// The strings of a class-set expression, in insertion order (duplicates kept).
struct ClassSetAlternativeStrings {
  std::vector<ir::CodePointString> strings;
  // Keeps the strings not equal to any of `other`.
  void remove(const std::vector<ir::CodePointString>& other);
  // Keeps the strings equal to one of `other`.
  void intersect(const std::vector<ir::CodePointString>& other);
  // A StringAlternation of the strings, longest first (a stable sort).
  Node into_node(bool icase) &&;
};

// One operand of a class-set expression.
struct ClassSetOperand;

// The value of a class-set expression: code points plus strings.
struct ClassSet {
  CodePointSet cps;
  ClassSetAlternativeStrings strings;

  void union_operand(ClassSetOperand op);
  void subtract_operand(ClassSetOperand op);
  void intersect_operand(ClassSetOperand op);
  Node node(bool icase, bool negated) &&;
};

struct ClassSetOperand {
  enum class Kind : std::uint8_t { CodePoint, Set, Class, Strings } kind = Kind::CodePoint;
  char32_t cp = 0;
  CodePointSet set;
  ClassSet nested;
  std::vector<ir::CodePointString> strings;
};

class Parser {
 public:
  Parser(std::u32string_view pattern, types::Flags flags);

  // Alternatives up to the end of the pattern or an unread ")".
  Result<Node> consume_disjunction();
  // One alternative up to the end of the pattern, an unread "|" or an unread ")".
  Result<Node> consume_term();

  // "<name>" (with \u escapes) as UTF-8; nothing (and the input just after "<") when it is malformed.
  std::optional<std::string> try_consume_named_capture_group_name();
  struct Quantifier {
    std::uint64_t min = 0;
    std::optional<std::uint64_t> max;
    bool greedy = true;
  };
  std::optional<Quantifier> try_consume_braced_quantifier();
  std::optional<std::uint64_t> try_consume_decimal_integer_literal();
  bool try_consume_str(std::u32string_view s);
  bool try_consume(char32_t c);
  char32_t consume();
  std::optional<char32_t> peek() const noexcept {
    return pos_ < input_.size() ? std::optional<char32_t>(input_[pos_]) : std::nullopt;
  }
  std::optional<char32_t> peek_at(std::size_t ahead) const noexcept {
    return pos_ + ahead < input_.size() ? std::optional<char32_t>(input_[pos_ + ahead]) : std::nullopt;
  }
  bool at_end() const noexcept { return pos_ >= input_.size(); }

  // The node of one literal code point under the given flags.
  static Node char_node(bool icase, bool unicode, char32_t c);

  // Escapes (after the backslash).
  Result<std::vector<Node>> consume_atom_escape();
  Result<char32_t> consume_character_escape();
  std::optional<char32_t> try_escape_unicode_sequence();
  // After \p or \P: "{name}" or "{name=value}".
  Result<unicode::PropertyResult> try_consume_unicode_property_escape();

  // Bracket classes (without flag v), after "[".
  Result<Node> consume_bracket();
  Result<std::optional<ClassAtom>> try_consume_bracket_class_atom();
  // Class-set expressions (flag v), after "[" and an optional "^".
  Result<ClassSet> consume_class_set_expression(bool negated);
  Result<ClassSetOperand> consume_class_set_operand(bool negated);
  Result<char32_t> consume_class_set_character();

  // Prescan results and parse state (read by the compilation interface).
  std::unordered_map<std::string, std::vector<std::uint32_t>> named_groups;
  std::uint32_t total_groups = 0;
  std::uint32_t loop_count = 0;
  std::uint32_t depth = 0;
  std::uint16_t group_count = 0;
  bool has_lookbehind = false;
  types::Flags flags;
  // Asked while the pattern is read, when set: a long pattern can take longer than its caller allows.
  interrupt::Poll* poll = nullptr;
  // Counts one step of reading; true when the compilation must stop.
  bool must_stop() { return poll && (poll->tick() || poll->stopped()); }

  std::size_t position() const noexcept { return pos_; }
  void reset(std::size_t pos) noexcept { pos_ = pos; }

 private:
  Result<Node> consume_group(bool& quantifiable);
  // What a group's opening (up to its body) says: its kind, the flags of its body, its index and name.
  struct GroupOpening {
    enum class Kind : std::uint8_t { Plain, Lookaround, Capture } kind = Kind::Plain;
    bool negate = false, backwards = false;  // a lookaround's
    types::Flags flags;
    std::uint16_t index = 0;
    std::optional<std::string> name;
  };
  Result<GroupOpening> consume_group_opening(bool& quantifiable);
  // The group's node around its body; `start_group` is the group count before the body.
  Result<Node> close_group(Node body, GroupOpening opening, std::uint16_t start_group);
  // An atom other than a group, appended to `result`; `start` becomes the index a quantifier applies from.
  std::optional<Error> consume_plain_atom(std::vector<Node>& result, std::size_t& start, bool& quantifiable);
  // The quantifier after the atom at result[start...], if any: those items become a loop.
  std::optional<Error> apply_quantifier(std::vector<Node>& result, std::size_t start,
                                        std::uint16_t start_group, bool quantifiable);
  Result<std::optional<Quantifier>> try_consume_quantifier();
  char32_t legacy_octal(char32_t first);

  std::u32string_view input_;
  std::size_t pos_ = 0;
};

Node make_alt(std::vector<Node> nodes);
Node make_cat(std::vector<Node> nodes);

}  // namespace zarnu_regex::parse
