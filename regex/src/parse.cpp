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
  std::vector<Node> result;
  for (;;) {
    const std::uint16_t start_group = group_count;
    std::size_t start = result.size();
    const auto c = peek();
    if (!c || *c == ')' || *c == '|') break;
    bool quantifiable = true;
    switch (*c) {
      case '*':
      case '+':
      case '?':
        return std::unexpected(error("Invalid atom character"));
      case ']':
      case '}':
        if (flags.unicode) return std::unexpected(error("Invalid atom character"));
        result.push_back(char_node(flags.icase, flags.unicode, consume()));
        break;
      case '{':
        if (flags.unicode) return std::unexpected(error("Invalid atom character"));
        if (try_consume_braced_quantifier()) return std::unexpected(error("Invalid braced quantifier"));
        result.push_back(char_node(flags.icase, flags.unicode, consume()));
        break;
      case '^':
      case '$':
        consume();
        result.push_back(Node::anchor_node(
            *c == '^' ? ir::AnchorType::StartOfLine : ir::AnchorType::EndOfLine, flags.multiline));
        quantifiable = false;
        break;
      case '.':
        consume();
        result.push_back(Node::simple(flags.dot_all ? ir::NodeKind::MatchAny
                                                    : ir::NodeKind::MatchAnyExceptLineTerminator));
        break;
      case '(': {
        auto group = consume_group(quantifiable);
        if (!group) return group;
        result.push_back(std::move(*group));
        break;
      }
      case '[': {
        consume();
        if (flags.unicode_sets) {
          const bool negated = try_consume('^');
          auto set = consume_class_set_expression(negated);
          if (!set) return std::unexpected(std::move(set).error());
          result.push_back(std::move(*set).node(flags.icase, negated));
        } else {
          auto bracket = consume_bracket();
          if (!bracket) return bracket;
          result.push_back(std::move(*bracket));
        }
        break;
      }
      case '\\': {
        consume();
        auto nodes = consume_atom_escape();
        if (!nodes) return std::unexpected(std::move(nodes).error());
        // "\c" before a non-letter gives the two literals "\" and "c"; a quantifier applies to the "c".
        for (Node& n : *nodes) result.push_back(std::move(n));
        start = result.size() - 1;
        break;
      }
      default:
        result.push_back(char_node(flags.icase, flags.unicode, consume()));
        break;
    }

    auto q = try_consume_quantifier();
    if (!q) return std::unexpected(std::move(q).error());
    if (!*q) continue;
    const Quantifier quant = **q;
    if (!quantifiable) return std::unexpected(error("Quantifier not allowed here"));
    if (quant.max && quant.min > *quant.max) return std::unexpected(error("Invalid quantifier"));
    if (loop_count >= kMaxLoops) return std::unexpected(error("Loop count limit exceeded"));
    ++loop_count;
    std::vector<Node> body_items;
    for (std::size_t i = start; i < result.size(); ++i) body_items.push_back(std::move(result[i]));
    result.erase(result.begin() + static_cast<std::ptrdiff_t>(start), result.end());
    std::optional<std::size_t> max;
    if (quant.max) max = static_cast<std::size_t>(*quant.max);
    result.push_back(Node::loop(make_cat(std::move(body_items)), static_cast<std::size_t>(quant.min), max,
                                quant.greedy, start_group, group_count));
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
  auto finish = [&](Result<Node> body) -> Result<Node> {
    if (!body) return body;
    if (at_end()) return std::unexpected(error("Unbalanced parenthesis"));
    consume();  // ")": the disjunction stops only there or at the end
    return body;
  };
  const auto lookaround = [&](bool negate, bool backwards) -> Result<Node> {
    const std::uint16_t start = group_count;
    auto body = finish(consume_disjunction());
    if (!body) return body;
    return Node::lookaround(std::move(*body), negate, backwards, start, group_count);
  };
  if (try_consume_str(U"(?=") || try_consume_str(U"(?!")) {
    quantifiable = !flags.unicode;
    return lookaround(input_[pos_ - 1] == '!', false);
  }
  if (try_consume_str(U"(?<=") || try_consume_str(U"(?<!")) {
    quantifiable = false;
    has_lookbehind = true;
    return lookaround(input_[pos_ - 1] == '!', true);
  }
  quantifiable = true;
  if (try_consume_str(U"(?:")) return finish(consume_disjunction());
  if (peek_at(1) == '?' && peek_at(2) && *peek_at(2) != '<') {
    // A modifier group "(?ims-ims:...)", read on a copy of the position committed only on success.
    std::size_t at = pos_ + 2;
    std::optional<bool> settings[3];
    bool dash = false, letter = false;
    for (;;) {
      if (at >= input_.size()) return std::unexpected(error("Invalid group modifier"));
      const char32_t c = input_[at++];
      if (c == 'i' || c == 'm' || c == 's') {
        auto& setting = settings[c == 'i' ? 0 : c == 'm' ? 1 : 2];
        if (setting) return std::unexpected(error("Invalid group modifier"));
        setting = !dash;
        letter = true;
      } else if (c == '-') {
        if (dash) return std::unexpected(error("Invalid group modifier"));
        dash = true;
      } else if (c == ':') {
        if (!letter) return std::unexpected(error("Invalid group modifier"));
        break;
      } else {
        return std::unexpected(error("Invalid group modifier"));
      }
    }
    pos_ = at;
    const types::Flags saved = flags;
    if (settings[0]) flags.icase = *settings[0];
    if (settings[1]) flags.multiline = *settings[1];
    if (settings[2]) flags.dot_all = *settings[2];
    auto body = consume_disjunction();
    flags = saved;
    return finish(std::move(body));
  }
  consume();  // "("
  if (group_count >= kMaxGroups) return std::unexpected(error("Capture group count limit exceeded"));
  const std::uint16_t index = group_count++;
  std::optional<std::string> name;
  if (try_consume('?')) {
    name = try_consume_named_capture_group_name();
    if (!name) return std::unexpected(error("Invalid token at named capture group identifier"));
  }
  auto body = finish(consume_disjunction());
  if (!body) return body;
  return Node::capture_group(std::move(*body), std::move(name), index);
}

}  // namespace zarnu_regex::parse
