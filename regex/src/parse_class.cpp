// Bracket classes ([...] without flag v), the class escape sets, and class-set expressions (flag v) with
// nesting, union, subtraction, intersection and string members.
#include <algorithm>

#include "parse.hpp"
#include "unicode.hpp"
#include "util.hpp"

namespace zarnu_regex::parse {

using codepointset::Interval;

CodePointSet codepoints_from_class_positive(ClassEscapeKind kind) {
  CodePointSet s;
  switch (kind) {
    case ClassEscapeKind::Digit:
      s.add('0', '9');
      break;
    case ClassEscapeKind::Space:
      for (Interval iv :
           {Interval{0x09, 0x0D}, Interval{0x20, 0x20}, Interval{0xA0, 0xA0}, Interval{0x1680, 0x1680},
            Interval{0x2000, 0x200A}, Interval{0x2028, 0x2029}, Interval{0x202F, 0x202F},
            Interval{0x205F, 0x205F}, Interval{0x3000, 0x3000}, Interval{0xFEFF, 0xFEFF}})
        s.add(iv);
      break;
    case ClassEscapeKind::Word:
      s.add('0', '9');
      s.add('A', 'Z');
      s.add('_', '_');
      s.add('a', 'z');
      break;
  }
  return s;
}

CodePointSet codepoints_from_class(ClassEscapeKind kind, bool positive) {
  CodePointSet s = codepoints_from_class_positive(kind);
  return positive ? s : s.inverted();
}

void add_class_atom(CodePointSet& set, ClassAtom atom) {
  switch (atom.kind) {
    case ClassAtom::Kind::CodePoint:
      set.add_one(atom.cp);
      break;
    case ClassAtom::Kind::ClassEscape:
      set.add_set(codepoints_from_class(atom.escape, atom.positive));
      break;
    case ClassAtom::Kind::Property:
      set.add_set(atom.positive ? std::move(atom.set) : atom.set.inverted());
      break;
  }
}

namespace {

ClassAtom code_point_atom(char32_t c) {
  ClassAtom a;
  a.cp = c;
  return a;
}

bool is_class_escape_letter(char32_t c) {
  return c == 'd' || c == 's' || c == 'w' || c == 'D' || c == 'S' || c == 'W';
}

ClassEscapeKind class_escape_kind(char32_t c) {
  const char32_t lower = c | 0x20;
  return lower == 'd'   ? ClassEscapeKind::Digit
         : lower == 's' ? ClassEscapeKind::Space
                        : ClassEscapeKind::Word;
}

}  // namespace

Result<std::optional<ClassAtom>> Parser::try_consume_bracket_class_atom() {
  const auto c = peek();
  if (!c || *c == ']') return std::optional<ClassAtom>();
  if (*c != '\\') return std::optional<ClassAtom>(code_point_atom(consume()));
  consume();
  const auto e = peek();
  if (!e) return std::unexpected(error("Unterminated escape"));
  if (is_class_escape_letter(*e)) {
    consume();
    ClassAtom a;
    a.kind = ClassAtom::Kind::ClassEscape;
    a.escape = class_escape_kind(*e);
    a.positive = (*e | 0x20) == *e;
    return std::optional<ClassAtom>(std::move(a));
  }
  if (*e == 'b') {
    consume();
    return std::optional<ClassAtom>(code_point_atom(0x08));
  }
  if (*e == '-' && flags.unicode) {
    consume();
    return std::optional<ClassAtom>(code_point_atom('-'));
  }
  if ((*e == 'p' || *e == 'P') && flags.unicode) {
    consume();
    auto prop = try_consume_unicode_property_escape();
    if (!prop) return std::unexpected(std::move(prop).error());
    auto* table = std::get_if<std::span<const Interval>>(&*prop);
    if (!table) util::unreachable("Properties of strings are only found with the unicode_sets flag");
    ClassAtom a;
    a.kind = ClassAtom::Kind::Property;
    a.set = CodePointSet(*table);
    a.positive = *e == 'p';
    return std::optional<ClassAtom>(std::move(a));
  }
  if (*e == 'c' && !flags.unicode) {
    const auto after = peek_at(1);
    if (after && ((*after >= 'a' && *after <= 'z') || (*after >= 'A' && *after <= 'Z') ||
                  (*after >= '0' && *after <= '9') || *after == '_')) {
      pos_ += 2;
      return std::optional<ClassAtom>(code_point_atom(*after % 32));
    }
    return std::optional<ClassAtom>(code_point_atom('\\'));
  }
  auto cp = consume_character_escape();
  if (!cp) return std::unexpected(std::move(cp).error());
  return std::optional<ClassAtom>(code_point_atom(*cp));
}

Result<Node> Parser::consume_bracket() {
  const bool invert = try_consume('^');
  CodePointSet set;
  for (;;) {
    if (at_end()) return std::unexpected(error("Unbalanced bracket"));
    if (try_consume(']')) break;
    auto a = try_consume_bracket_class_atom();
    if (!a) return std::unexpected(std::move(a).error());
    if (!*a) continue;  // only at the end, reported on the next turn
    if (!try_consume('-')) {
      add_class_atom(set, std::move(**a));
      continue;
    }
    auto b = try_consume_bracket_class_atom();
    if (!b) return std::unexpected(std::move(b).error());
    if (!*b) {
      add_class_atom(set, std::move(**a));
      set.add_one('-');
      continue;
    }
    if ((*a)->kind != ClassAtom::Kind::CodePoint || (*b)->kind != ClassAtom::Kind::CodePoint) {
      if (flags.unicode) return std::unexpected(error("Invalid character range"));
      add_class_atom(set, std::move(**a));
      set.add_one('-');
      add_class_atom(set, std::move(**b));
      continue;
    }
    if ((*a)->cp > (*b)->cp)
      return std::unexpected(error("Range values reversed, start char code is greater than end char code."));
    set.add((*a)->cp, (*b)->cp);
  }
  if (flags.icase) set = unicode::add_icase_code_points(std::move(set));
  return Node::bracket(std::move(set), invert);
}

// Class-set expressions ---------------------------------------------------------------------------------

namespace {

bool same_string(const ir::CodePointString& a, const ir::CodePointString& b) {
  return a == b;
}

bool is_reserved_punctuator(char32_t c) {
  return std::u32string_view(U"!#%&,-:;<=>@`~").find(c) != std::u32string_view::npos;
}

bool is_double_punctuator(char32_t c) {
  return std::u32string_view(U"!#$%&*+,.:;<=>?@^`~").find(c) != std::u32string_view::npos;
}

bool is_class_set_syntax(char32_t c) {
  return std::u32string_view(U"()-/{|}").find(c) != std::u32string_view::npos;
}

// The code points of the one-code-point strings of a list.
CodePointSet single_code_points(const std::vector<ir::CodePointString>& strings) {
  CodePointSet s;
  for (const auto& str : strings)
    if (str.size() == 1) s.add_one(str[0]);
  return s;
}

}  // namespace

void ClassSetAlternativeStrings::remove(const std::vector<ir::CodePointString>& other) {
  std::erase_if(strings, [&](const ir::CodePointString& s) {
    return std::any_of(other.begin(), other.end(), [&](const auto& o) { return same_string(s, o); });
  });
}

void ClassSetAlternativeStrings::intersect(const std::vector<ir::CodePointString>& other) {
  std::erase_if(strings, [&](const ir::CodePointString& s) {
    return std::none_of(other.begin(), other.end(), [&](const auto& o) { return same_string(s, o); });
  });
}

Node ClassSetAlternativeStrings::into_node(bool icase) && {
  std::stable_sort(strings.begin(), strings.end(),
                   [](const auto& a, const auto& b) { return a.size() > b.size(); });
  return Node::string_alternation(std::move(strings), icase);
}

void ClassSet::union_operand(ClassSetOperand op) {
  switch (op.kind) {
    case ClassSetOperand::Kind::CodePoint:
      cps.add_one(op.cp);
      break;
    case ClassSetOperand::Kind::Set:
      cps.add_set(std::move(op.set));
      break;
    case ClassSetOperand::Kind::Class:
      cps.add_set(std::move(op.nested.cps));
      for (auto& s : op.nested.strings.strings) strings.strings.push_back(std::move(s));
      break;
    case ClassSetOperand::Kind::Strings:
      for (auto& s : op.strings) strings.strings.push_back(std::move(s));
      break;
  }
}

void ClassSet::subtract_operand(ClassSetOperand op) {
  switch (op.kind) {
    case ClassSetOperand::Kind::CodePoint: {
      const Interval iv{op.cp, op.cp};
      cps.remove(std::span(&iv, 1));
      strings.remove({ir::CodePointString{op.cp}});
      break;
    }
    case ClassSetOperand::Kind::Set:
      cps.remove(op.set.intervals());
      std::erase_if(strings.strings, [&](const auto& s) { return s.size() == 1 && op.set.contains(s[0]); });
      break;
    case ClassSetOperand::Kind::Strings:
      cps.remove(single_code_points(op.strings).intervals());
      strings.remove(op.strings);
      break;
    case ClassSetOperand::Kind::Class: {
      cps.remove(op.nested.cps.intervals());
      cps.remove(single_code_points(op.nested.strings.strings).intervals());
      strings.remove(op.nested.strings.strings);
      std::erase_if(strings.strings,
                    [&](const auto& s) { return s.size() == 1 && op.nested.cps.contains(s[0]); });
      break;
    }
  }
}

void ClassSet::intersect_operand(ClassSetOperand op) {
  // The operand's members as code points (one-code-point strings included) and as strings.
  CodePointSet other_cps;
  std::vector<ir::CodePointString> other_strings;
  switch (op.kind) {
    case ClassSetOperand::Kind::CodePoint:
      other_cps.add_one(op.cp);
      break;
    case ClassSetOperand::Kind::Set:
      other_cps = std::move(op.set);
      break;
    case ClassSetOperand::Kind::Strings:
      other_strings = std::move(op.strings);
      break;
    case ClassSetOperand::Kind::Class:
      other_cps = std::move(op.nested.cps);
      other_strings = std::move(op.nested.strings.strings);
      break;
  }
  CodePointSet as_points = other_cps;
  as_points.add_set(single_code_points(other_strings));
  cps.intersect(as_points.intervals());
  std::erase_if(strings.strings, [&](const ir::CodePointString& s) {
    if (s.size() == 1 && other_cps.contains(s[0])) return false;
    return std::none_of(other_strings.begin(), other_strings.end(),
                        [&](const auto& o) { return same_string(s, o); });
  });
}

Node ClassSet::node(bool icase, bool negated) && {
  if (icase) cps = unicode::add_icase_code_points(std::move(cps));
  Node bracket = Node::bracket(std::move(cps), negated);
  if (strings.strings.empty()) return bracket;
  const bool no_code_points = bracket.cps.empty();
  Node alternation = std::move(strings).into_node(icase);
  if (no_code_points) return alternation;
  return Node::alt(std::move(alternation), std::move(bracket));
}

Result<char32_t> Parser::consume_class_set_character() {
  const char32_t c = consume();
  if (c == '\\') {
    if (at_end()) return std::unexpected(error("Incomplete class set escape"));
    const char32_t e = *peek();
    if (is_reserved_punctuator(e)) return consume();
    if (e == 'b') {
      consume();
      return U'\b';
    }
    return consume_character_escape();
  }
  if (is_class_set_syntax(c)) return std::unexpected(error("Invalid class set character"));
  if (is_double_punctuator(c) && peek() && is_double_punctuator(*peek()))
    return std::unexpected(error("Invalid class set character"));
  return c;
}

Result<ClassSetOperand> Parser::consume_class_set_operand(bool negated) {
  ClassSetOperand op;
  const auto c = peek();
  if (!c) return std::unexpected(error("Empty class set operand"));
  if (*c == '[') {
    if (++depth > kMaxDepth) return std::unexpected(error("Regular expression is too deeply nested"));
    consume();
    const bool nested_negated = try_consume('^');
    auto nested = consume_class_set_expression(nested_negated);
    if (!nested) return std::unexpected(std::move(nested).error());
    if (nested_negated) nested->cps = nested->cps.inverted();
    --depth;
    op.kind = ClassSetOperand::Kind::Class;
    op.nested = std::move(*nested);
    return op;
  }
  if (*c != '\\') {
    auto cp = consume_class_set_character();
    if (!cp) return std::unexpected(std::move(cp).error());
    op.cp = *cp;
    return op;
  }
  const auto e = peek_at(1);
  if (!e) {
    consume();
    return std::unexpected(error("Incomplete class set escape"));
  }
  if (is_reserved_punctuator(*e) || *e == 'b' ||
      !(is_class_escape_letter(*e) || *e == 'p' || *e == 'P' || *e == 'q')) {
    auto cp = consume_class_set_character();
    if (!cp) return std::unexpected(std::move(cp).error());
    op.cp = *cp;
    return op;
  }
  pos_ += 2;
  if (is_class_escape_letter(*e)) {
    op.kind = ClassSetOperand::Kind::Set;
    op.set = codepoints_from_class(class_escape_kind(*e), (*e | 0x20) == *e);
    return op;
  }
  if (*e == 'p' || *e == 'P') {
    auto prop = try_consume_unicode_property_escape();
    if (!prop) return std::unexpected(std::move(prop).error());
    if (auto* table = std::get_if<std::span<const Interval>>(&*prop)) {
      op.kind = ClassSetOperand::Kind::Set;
      op.set = CodePointSet(*table);
      if (*e == 'P') op.set = op.set.inverted();
      return op;
    }
    if (*e == 'P' || negated) return std::unexpected(error("Invalid character escape"));
    const auto& table = std::get<std::span<const unicodetables::Sequence>>(*prop);
    op.kind = ClassSetOperand::Kind::Strings;
    for (const auto& seq : table)
      op.strings.emplace_back(unicodetables::SEQUENCE_POOL.begin() + seq.offset,
                              unicodetables::SEQUENCE_POOL.begin() + seq.offset + seq.length);
    return op;
  }
  // \q{...|...}
  if (!try_consume('{')) return std::unexpected(error("Invalid class set escape: expected {"));
  op.kind = ClassSetOperand::Kind::Strings;
  ir::CodePointString current;
  for (;;) {
    if (at_end()) return std::unexpected(error("Unbalanced class set string disjunction"));
    if (try_consume('}')) break;
    if (try_consume('|')) {
      if (!current.empty()) op.strings.push_back(std::move(current));
      current.clear();
      continue;
    }
    auto cp = consume_class_set_character();
    if (!cp) return std::unexpected(std::move(cp).error());
    current.push_back(*cp);
  }
  if (!current.empty()) op.strings.push_back(std::move(current));
  return op;
}

Result<ClassSet> Parser::consume_class_set_expression(bool negated) {
  ClassSet set;
  auto unbalanced = [] { return std::unexpected(error("Unbalanced class set bracket")); };
  if (at_end()) return unbalanced();
  if (try_consume(']')) return set;

  // A range from an operand already read; the end operand is read here.
  auto range = [&](ClassSetOperand start) -> Result<bool> {
    auto end = consume_class_set_operand(negated);
    if (!end) return std::unexpected(std::move(end).error());
    if (start.kind != ClassSetOperand::Kind::CodePoint || end->kind != ClassSetOperand::Kind::CodePoint ||
        start.cp > end->cp)
      return std::unexpected(error("Invalid class set range"));
    set.cps.add(start.cp, end->cp);
    return true;
  };

  auto first = consume_class_set_operand(negated);
  if (!first) return std::unexpected(std::move(first).error());
  enum class Mode { Union, Intersection, Subtraction } mode = Mode::Union;
  const auto c = peek();
  if (!c) return unbalanced();
  if (*c == ']') {
    consume();
    set.union_operand(std::move(*first));
    return set;
  }
  if (*c == '&' && peek_at(1) == '&') {
    pos_ += 2;
    set.union_operand(std::move(*first));
    mode = Mode::Intersection;
  } else if (*c == '&') {
    consume();
    set.union_operand(std::move(*first));
    set.cps.add_one('&');
  } else if (*c == '-' && peek_at(1) == '-') {
    pos_ += 2;
    set.union_operand(std::move(*first));
    mode = Mode::Subtraction;
  } else if (*c == '-') {
    consume();
    auto r = range(std::move(*first));
    if (!r) return std::unexpected(std::move(r).error());
  } else {
    set.union_operand(std::move(*first));
  }

  if (mode == Mode::Union) {
    for (;;) {
      if (at_end()) return unbalanced();
      if (try_consume(']')) return set;
      auto op = consume_class_set_operand(negated);
      if (!op) return std::unexpected(std::move(op).error());
      if (try_consume('-')) {
        auto r = range(std::move(*op));
        if (!r) return std::unexpected(std::move(r).error());
      } else {
        set.union_operand(std::move(*op));
      }
    }
  }
  const char32_t op_char = mode == Mode::Intersection ? '&' : '-';
  for (;;) {
    auto op = consume_class_set_operand(negated);
    if (!op) return std::unexpected(std::move(op).error());
    if (mode == Mode::Intersection)
      set.intersect_operand(std::move(*op));
    else
      set.subtract_operand(std::move(*op));
    if (at_end()) return unbalanced();
    const char32_t next = consume();
    if (next == ']') return set;
    if (next != op_char)
      return std::unexpected(error(mode == Mode::Intersection
                                       ? "Unexpected character in class set intersection"
                                       : "Unexpected character in class set subtraction"));
    if (at_end() || consume() != op_char) return unbalanced();
  }
}

}  // namespace zarnu_regex::parse
