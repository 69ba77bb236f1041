// Escapes: atom escapes (assertions, class and property escapes, backreferences, literals), character
// escapes shared with classes, \u sequences, and property names.
#include <algorithm>

#include "parse.hpp"
#include "unicode.hpp"
#include "util.hpp"

namespace zarnu_regex::parse {

namespace {

bool is_syntax_character(char32_t c) {
  return std::u32string_view(U"^$\\.*+?()[]{}|/").find(c) != std::u32string_view::npos;
}

bool is_ascii_letter(char32_t c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool is_octal(std::optional<char32_t> c) {
  return c && *c >= '0' && *c <= '7';
}

std::optional<std::uint32_t> hex_value(char32_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return std::nullopt;
}

// Strings of a property of strings, longest first, keeping the table's order among equal lengths.
std::vector<ir::CodePointString> property_strings(std::span<const unicodetables::Sequence> table) {
  std::vector<ir::CodePointString> out;
  out.reserve(table.size());
  for (const auto& seq : table)
    out.emplace_back(unicodetables::SEQUENCE_POOL.begin() + seq.offset,
                     unicodetables::SEQUENCE_POOL.begin() + seq.offset + seq.length);
  std::stable_sort(out.begin(), out.end(), [](const auto& a, const auto& b) { return a.size() > b.size(); });
  return out;
}

}  // namespace

Result<std::vector<Node>> Parser::consume_atom_escape() {
  auto one = [](Node n) {
    std::vector<Node> v;
    v.push_back(std::move(n));
    return v;
  };
  const auto c = peek();
  if (!c) return std::unexpected(error("Incomplete escape"));
  switch (*c) {
    case 'b':
    case 'B':
      consume();
      return one(Node::word_boundary(*c == 'B', flags.unicode && flags.icase));
    case 'd':
    case 'D':
    case 's':
    case 'S':
    case 'w':
    case 'W': {
      consume();
      const char32_t lower = *c | 0x20;
      const auto kind = lower == 'd'   ? ClassEscapeKind::Digit
                        : lower == 's' ? ClassEscapeKind::Space
                                       : ClassEscapeKind::Word;
      CodePointSet set = codepoints_from_class_positive(kind);
      if (flags.icase) set = unicode::add_icase_code_points(std::move(set));
      if (lower != *c) set = set.inverted();
      return one(Node::bracket(std::move(set), false));
    }
    case 'p':
    case 'P':
      if (!flags.unicode && !flags.unicode_sets) break;
      {
        consume();
        const bool negate = *c == 'P';
        auto prop = try_consume_unicode_property_escape();
        if (!prop) return std::unexpected(std::move(prop).error());
        if (auto* table = std::get_if<std::span<const codepointset::Interval>>(&*prop)) {
          CodePointSet set(*table);
          if (!flags.icase) return one(Node::bracket(std::move(set), negate));
          if (negate) set = set.inverted();
          return one(Node::bracket(unicode::add_icase_code_points(std::move(set)), false));
        }
        if (negate) return std::unexpected(error("Invalid character escape"));
        return one(Node::string_alternation(
            property_strings(std::get<std::span<const unicodetables::Sequence>>(*prop)), flags.icase));
      }
    case 'k': {
      if (!flags.unicode && named_groups.empty()) {
        consume();
        return one(char_node(flags.icase, flags.unicode, 'k'));
      }
      consume();
      auto name = try_consume_named_capture_group_name();
      if (!name) return std::unexpected(error("Invalid named backreference syntax"));
      auto it = named_groups.find(*name);
      if (it == named_groups.end())
        return std::unexpected(error("Backreference to invalid named capture group: " + *name));
      const auto& indices = it->second;
      if (indices.empty()) util::unreachable("Should not have empty indices for group name");
      std::vector<Node> refs;
      for (std::uint32_t i : indices) refs.push_back(Node::back_ref(i + 1, flags.icase));
      return one(make_alt(std::move(refs)));
    }
    case '1':
    case '2':
    case '3':
    case '4':
    case '5':
    case '6':
    case '7':
    case '8':
    case '9': {
      const std::size_t first = position();
      const std::uint64_t n = *try_consume_decimal_integer_literal();
      if (n <= total_groups) return one(Node::back_ref(static_cast<std::uint32_t>(n), flags.icase));
      if (flags.unicode) return std::unexpected(error("Invalid character escape"));
      reset(first);
      break;
    }
    case 'c':
      if (flags.unicode) break;
      {
        consume();
        const auto next = peek();
        if (next && is_ascii_letter(*next)) {
          consume();
          return one(char_node(flags.icase, false, *next % 32));
        }
        std::vector<Node> two;
        two.push_back(char_node(flags.icase, flags.unicode, '\\'));
        two.push_back(char_node(flags.icase, flags.unicode, 'c'));
        return two;
      }
    default:
      break;
  }
  auto cp = consume_character_escape();
  if (!cp) return std::unexpected(std::move(cp).error());
  return one(char_node(flags.icase, flags.unicode, *cp));
}

Result<char32_t> Parser::consume_character_escape() {
  const char32_t c = consume();
  switch (c) {
    case 't':
      return U'\t';
    case 'n':
      return U'\n';
    case 'v':
      return U'\v';
    case 'f':
      return U'\f';
    case 'r':
      return U'\r';
    case '0':
      if (!peek() || *peek() < '0' || *peek() > '9') return U'\0';
      if (flags.unicode) return std::unexpected(error("Invalid character escape"));
      return legacy_octal(c);
    case '1':
    case '2':
    case '3':
    case '4':
    case '5':
    case '6':
    case '7':
      if (flags.unicode) return std::unexpected(error("Invalid character escape"));
      return legacy_octal(c);
    case 'c':
      if (peek() && is_ascii_letter(*peek())) return consume() % 32;
      return std::unexpected(error("Invalid character escape"));
    case 'x': {
      const auto h1 = peek_at(0), h2 = peek_at(1);
      if (h1 && h2 && hex_value(*h1) && hex_value(*h2)) {
        pos_ += 2;
        return static_cast<char32_t>(*hex_value(*h1) * 16 + *hex_value(*h2));
      }
      if (flags.unicode) return std::unexpected(error("Invalid character escape"));
      return U'x';
    }
    case 'u':
      if (auto u = try_escape_unicode_sequence()) return *u;
      if (flags.unicode) return std::unexpected(error("Invalid unicode escape"));
      return U'u';
    default:
      if (is_syntax_character(c)) return c;
      if (flags.unicode) return std::unexpected(error("Invalid character escape"));
      return c;
  }
}

char32_t Parser::legacy_octal(char32_t first) {
  const std::uint32_t d1 = first - '0';
  if (d1 == 0 && (peek() == '8' || peek() == '9')) return 0;
  if (!is_octal(peek())) return d1;
  const std::uint32_t d2 = consume() - '0';
  if (d1 <= 3 && is_octal(peek())) {
    const std::uint32_t d3 = consume() - '0';
    return d1 * 64 + d2 * 8 + d3;
  }
  return d1 * 8 + d2;
}

std::optional<char32_t> Parser::try_escape_unicode_sequence() {
  const std::size_t start = pos_;
  auto four = [&]() -> std::optional<std::uint32_t> {
    if (pos_ + 4 > input_.size()) return std::nullopt;
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i) {
      auto h = hex_value(input_[pos_ + i]);
      if (!h) return std::nullopt;
      v = v * 16 + *h;
    }
    pos_ += 4;
    return v;
  };
  if (try_consume('{')) {
    // Everything up to the first "}" must be a hexadecimal number no larger than U+10FFFF.
    std::uint64_t v = 0;
    bool any = false;
    while (!at_end() && *peek() != '}') {
      auto h = hex_value(consume());
      if (!h) {
        pos_ = start;
        return std::nullopt;
      }
      any = true;
      v = std::min<std::uint64_t>(v * 16 + *h, 0x110000);
    }
    if (at_end() || !any || v > util::kMaxCodePoint) {
      pos_ = start;
      return std::nullopt;
    }
    consume();
    return static_cast<char32_t>(v);
  }
  auto v = four();
  if (!v) {
    pos_ = start;
    return std::nullopt;
  }
  if (*v >= 0xD800 && *v <= 0xDBFF) {
    const std::size_t before_second = pos_;
    if (try_consume_str(U"\\u")) {
      auto w = four();
      if (w && *w >= 0xDC00 && *w <= 0xDFFF) return 0x10000 + (*v - 0xD800) * 1024 + (*w - 0xDC00);
      // Not a trail surrogate: the lead stands alone and reading resumes at the second backslash.
      pos_ = before_second;
    }
  }
  return static_cast<char32_t>(*v);
}

Result<unicode::PropertyResult> Parser::try_consume_unicode_property_escape() {
  if (!try_consume('{')) return std::unexpected(error("Invalid character at property escape start"));
  std::string text;
  std::optional<unicode::PropertyKind> kind;
  for (;;) {
    if (at_end()) return std::unexpected(error("Invalid property name"));
    const char32_t c = consume();
    if (c == '}') break;
    if (c == '=') {
      if (kind) return std::unexpected(error("Invalid property name"));
      if (text == "General_Category" || text == "gc")
        kind = unicode::PropertyKind::GeneralCategory;
      else if (text == "Script" || text == "sc")
        kind = unicode::PropertyKind::Script;
      else if (text == "Script_Extensions" || text == "scx")
        kind = unicode::PropertyKind::ScriptExtensions;
      else
        return std::unexpected(error("Invalid property name"));
      text.clear();
      continue;
    }
    if (!(is_ascii_letter(c) || (c >= '0' && c <= '9') || c == '_'))
      return std::unexpected(error("Invalid property name"));
    text += static_cast<char>(c);
  }
  auto found = unicode::unicode_property_from_str(text, kind.value_or(unicode::PropertyKind::None),
                                                  flags.unicode_sets);
  if (!found) return std::unexpected(error("Invalid property name"));
  return *found;
}

}  // namespace zarnu_regex::parse
