// The term parser: disjunctions, alternatives, atoms, groups (capturing, named, non-capturing, modifier,
// lookaround), quantifiers and group names.
#include "parse.hpp"

#include <algorithm>
#include <cstdio>

#include "unicode.hpp"
#include "util.hpp"

namespace zarnu_regex::parse {

Error error(std::string_view message) {
  return Error{std::string(message)};
}

Error stopped() {
  return Error{"Compilation stopped", true};
}

std::string debug(const Error& e) {
  std::string out = "Error { text: \"";
  for (char c : e.text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default:
        out += c;
    }
  }
  return out + "\" }";
}

Node make_alt(std::vector<Node> nodes) {
  if (nodes.empty()) return Node::empty();
  Node result = std::move(nodes.back());
  for (std::size_t i = nodes.size() - 1; i-- > 0;) result = Node::alt(std::move(nodes[i]), std::move(result));
  return result;
}

Node make_cat(std::vector<Node> nodes) {
  if (nodes.empty()) return Node::empty();
  if (nodes.size() == 1) return std::move(nodes[0]);
  return Node::cat(std::move(nodes));
}

Parser::Parser(std::u32string_view pattern, types::Flags f) : flags(f), input_(pattern) {}

char32_t Parser::consume() {
  if (pos_ >= input_.size()) util::panic("Should have a character");
  return input_[pos_++];
}

bool Parser::try_consume(char32_t c) {
  if (peek() != c) return false;
  ++pos_;
  return true;
}

bool Parser::try_consume_str(std::u32string_view s) {
  if (input_.substr(pos_, s.size()) != s) return false;
  pos_ += s.size();
  return true;
}

Node Parser::char_node(bool icase, bool unicode, char32_t c) {
  if (!icase) return Node::character(c);
  const auto x = unicode::expand_code_point(c, true, unicode);
  if (x.size == 1) return Node::character(x.cps[0]);
  return Node::char_set(std::vector<char32_t>(x.cps, x.cps + x.size));
}

Result<Node> Parser::consume_disjunction() {
  if (++depth > kMaxDepth) return std::unexpected(error("Regular expression is too deeply nested"));
  std::vector<Node> alternatives;
  for (;;) {
    auto term = consume_term();
    if (!term) return term;
    alternatives.push_back(std::move(*term));
    if (!try_consume('|')) break;
  }
  --depth;
  return make_alt(std::move(alternatives));
}

Result<Node> Parser::consume_term() {
  // Only groups recurse; the other atoms and the quantifiers are read by functions of their own (in
  // parse_atom.cpp), so that the frames of the recursion stay small in every build.
  std::vector<Node> result;
  for (;;) {
    const std::uint16_t start_group = group_count;
    std::size_t start = result.size();
    if (must_stop()) return std::unexpected(stopped());
    const auto c = peek();
    if (!c || *c == ')' || *c == '|') break;
    bool quantifiable = true;
    if (*c == '(') {
      auto group = consume_group(quantifiable);
      if (!group) return group;
      result.push_back(std::move(*group));
    } else if (auto e = consume_plain_atom(result, start, quantifiable)) {
      return std::unexpected(std::move(*e));
    }
    if (auto e = apply_quantifier(result, start, start_group, quantifiable))
      return std::unexpected(std::move(*e));
  }
  return make_cat(std::move(result));
}

Result<std::optional<Parser::Quantifier>> Parser::try_consume_quantifier() {
  std::optional<Quantifier> q;
  const auto c = peek();
  if (c == '*') {
    consume();
    q = Quantifier{0, std::nullopt, true};
  } else if (c == '+') {
    consume();
    q = Quantifier{1, std::nullopt, true};
  } else if (c == '?') {
    consume();
    q = Quantifier{0, 1, true};
  } else if (c == '{') {
    q = try_consume_braced_quantifier();
    if (!q) {
      if (flags.unicode) return std::unexpected(error("Invalid quantifier"));
      return std::optional<Quantifier>();
    }
  } else {
    return std::optional<Quantifier>();
  }
  if (try_consume('?')) q->greedy = false;
  return q;
}

std::optional<Parser::Quantifier> Parser::try_consume_braced_quantifier() {
  const std::size_t saved = pos_;
  if (!try_consume('{')) return std::nullopt;
  auto min = try_consume_decimal_integer_literal();
  if (!min) {
    pos_ = saved;
    return std::nullopt;
  }
  Quantifier q{*min, *min, true};
  if (try_consume(',')) q.max = try_consume_decimal_integer_literal();
  if (!try_consume('}')) {
    pos_ = saved;
    return std::nullopt;
  }
  return q;
}

std::optional<std::uint64_t> Parser::try_consume_decimal_integer_literal() {
  auto digit = [&]() { return peek() && *peek() >= '0' && *peek() <= '9'; };
  if (!digit()) return std::nullopt;
  std::uint64_t value = 0;
  constexpr std::uint64_t kMax = ~std::uint64_t{0};
  while (digit()) {
    const std::uint64_t d = consume() - '0';
    value = value > kMax / 10 ? kMax : value * 10;
    value = value > kMax - d ? kMax : value + d;
  }
  return value;
}

std::optional<std::string> Parser::try_consume_named_capture_group_name() {
  if (!try_consume('<')) return std::nullopt;
  const std::size_t after = pos_;
  std::u32string name;
  auto read = [&](bool first) -> std::optional<char32_t> {
    char32_t c;
    if (peek() == '\\') {
      consume();
      if (!try_consume('u')) return std::nullopt;
      auto u = try_escape_unicode_sequence();
      if (!u || util::is_surrogate(*u)) return std::nullopt;
      c = *u;
    } else {
      c = consume();
    }
    const bool ok =
        c == '$' || c == '_' ||
        (first ? unicode::is_id_start(c) : (c == 0x200C || c == 0x200D || unicode::is_id_continue(c)));
    if (!ok) return std::nullopt;
    return c;
  };
  for (bool first = true;; first = false) {
    if (at_end()) break;
    if (!first && peek() == '>') {
      consume();
      std::string out;
      for (char32_t c : name) {
        std::uint8_t buf[4];
        const std::size_t n = util::utf8_encode(c, buf);
        out.append(reinterpret_cast<const char*>(buf), n);
      }
      return out;
    }
    auto c = read(first);
    if (!c) break;
    name.push_back(*c);
  }
  pos_ = after;
  return std::nullopt;
}

Result<Node> Parser::consume_group(bool& quantifiable) {
  // The opening and the closing are read by functions of their own (parse_atom.cpp), leaving this frame,
  // which the recursion repeats per nesting level, little more than the body.
  auto opening = consume_group_opening(quantifiable);
  if (!opening) return std::unexpected(std::move(opening).error());
  const std::uint16_t start = group_count;
  const types::Flags saved = flags;
  flags = opening->flags;
  auto body = consume_disjunction();
  flags = saved;
  if (!body) return body;
  if (at_end()) return std::unexpected(error("Unbalanced parenthesis"));
  consume();  // ")": the disjunction stops only there or at the end
  return close_group(std::move(*body), std::move(*opening), start);
}

}  // namespace zarnu_regex::parse
