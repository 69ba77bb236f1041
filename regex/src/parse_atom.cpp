// The atoms of an alternative that hold no group (characters, anchors, the dot, classes and escapes) and
// the quantifier after an atom. They live apart from the recursive descent through groups so that the
// recursion's frames hold none of their temporaries, whatever the compiler inlines.
#include "parse.hpp"

namespace zarnu_regex::parse {

std::optional<Error> Parser::consume_plain_atom(std::vector<Node>& result, std::size_t& start,
                                                bool& quantifiable) {
  const char32_t c = *peek();
  switch (c) {
    case '*':
    case '+':
    case '?':
      return error("Invalid atom character");
    case ']':
    case '}':
      if (flags.unicode) return error("Invalid atom character");
      result.push_back(char_node(flags.icase, flags.unicode, consume()));
      break;
    case '{':
      if (flags.unicode) return error("Invalid atom character");
      if (try_consume_braced_quantifier()) return error("Invalid braced quantifier");
      result.push_back(char_node(flags.icase, flags.unicode, consume()));
      break;
    case '^':
    case '$':
      consume();
      result.push_back(Node::anchor_node(c == '^' ? ir::AnchorType::StartOfLine : ir::AnchorType::EndOfLine,
                                         flags.multiline));
      quantifiable = false;
      break;
    case '.':
      consume();
      result.push_back(
          Node::simple(flags.dot_all ? ir::NodeKind::MatchAny : ir::NodeKind::MatchAnyExceptLineTerminator));
      break;
    case '[': {
      consume();
      if (flags.unicode_sets) {
        const bool negated = try_consume('^');
        auto set = consume_class_set_expression(negated);
        if (!set) return std::move(set).error();
        result.push_back(std::move(*set).node(flags.icase, negated));
      } else {
        auto bracket = consume_bracket();
        if (!bracket) return std::move(bracket).error();
        result.push_back(std::move(*bracket));
      }
      break;
    }
    case '\\': {
      consume();
      auto nodes = consume_atom_escape();
      if (!nodes) return std::move(nodes).error();
      // "\c" before a non-letter gives the two literals "\" and "c"; a quantifier applies to the "c".
      for (Node& n : *nodes) result.push_back(std::move(n));
      start = result.size() - 1;
      break;
    }
    default:
      result.push_back(char_node(flags.icase, flags.unicode, consume()));
      break;
  }
  return std::nullopt;
}

std::optional<Error> Parser::apply_quantifier(std::vector<Node>& result, std::size_t start,
                                              std::uint16_t start_group, bool quantifiable) {
  auto q = try_consume_quantifier();
  if (!q) return std::move(q).error();
  if (!*q) return std::nullopt;
  const Quantifier quant = **q;
  if (!quantifiable) return error("Quantifier not allowed here");
  if (quant.max && quant.min > *quant.max) return error("Invalid quantifier");
  if (loop_count >= kMaxLoops) return error("Loop count limit exceeded");
  ++loop_count;
  std::vector<Node> body_items;
  for (std::size_t i = start; i < result.size(); ++i) body_items.push_back(std::move(result[i]));
  result.erase(result.begin() + static_cast<std::ptrdiff_t>(start), result.end());
  std::optional<std::size_t> max;
  if (quant.max) max = static_cast<std::size_t>(*quant.max);
  result.push_back(Node::loop(make_cat(std::move(body_items)), static_cast<std::size_t>(quant.min), max,
                              quant.greedy, start_group, group_count));
  return std::nullopt;
}

Result<Parser::GroupOpening> Parser::consume_group_opening(bool& quantifiable) {
  GroupOpening g;
  g.flags = flags;
  if (try_consume_str(U"(?=") || try_consume_str(U"(?!")) {
    quantifiable = !flags.unicode;
    g.kind = GroupOpening::Kind::Lookaround;
    g.negate = input_[pos_ - 1] == '!';
    return g;
  }
  if (try_consume_str(U"(?<=") || try_consume_str(U"(?<!")) {
    quantifiable = false;
    has_lookbehind = true;
    g.kind = GroupOpening::Kind::Lookaround;
    g.negate = input_[pos_ - 1] == '!';
    g.backwards = true;
    return g;
  }
  quantifiable = true;
  if (try_consume_str(U"(?:")) return g;
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
    if (settings[0]) g.flags.icase = *settings[0];
    if (settings[1]) g.flags.multiline = *settings[1];
    if (settings[2]) g.flags.dot_all = *settings[2];
    return g;
  }
  consume();  // "("
  if (group_count >= kMaxGroups) return std::unexpected(error("Capture group count limit exceeded"));
  g.kind = GroupOpening::Kind::Capture;
  g.index = group_count++;
  if (try_consume('?')) {
    g.name = try_consume_named_capture_group_name();
    if (!g.name) return std::unexpected(error("Invalid token at named capture group identifier"));
  }
  return g;
}

Result<Node> Parser::close_group(Node body, GroupOpening opening, std::uint16_t start_group) {
  switch (opening.kind) {
    case GroupOpening::Kind::Lookaround:
      return Node::lookaround(std::move(body), opening.negate, opening.backwards, start_group, group_count);
    case GroupOpening::Kind::Capture:
      return Node::capture_group(std::move(body), std::move(opening.name), opening.index);
    case GroupOpening::Kind::Plain:
      break;
  }
  return body;
}

}  // namespace zarnu_regex::parse
