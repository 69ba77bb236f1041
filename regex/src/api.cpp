// The compilation pipeline: flags, the group-name prescan with its duplicate check, parse, the root with
// Goal, reversal inside lookbehinds, optimizer and emitter.
#include "api.hpp"

#include <map>
#include <unordered_map>

#include "emit.hpp"
#include "optimizer.hpp"
#include "util.hpp"

namespace zarnu_regex::api {

namespace {

// Where a named group stands in the alternation structure: (nesting level, alternative index) per level.
using AlternativePath = std::vector<std::pair<std::uint32_t, std::uint32_t>>;

// One pass over the pattern before parsing: counts the capture groups, maps names to their groups, and
// refuses a name defined twice on one path through the alternatives.
std::optional<parse::Error> prescan(parse::Parser& p, std::u32string_view pattern) {
  std::uint32_t level = 0;
  std::map<std::uint32_t, std::uint32_t> alternative{{0, 0}};
  std::uint32_t count = 0;
  std::unordered_map<std::string, std::vector<AlternativePath>> paths;
  auto grow = [&] {
    if (count < parse::kMaxGroups) ++count;
  };
  while (!p.at_end()) {
    const char32_t c = p.consume();
    switch (c) {
      case '\\':
        if (!p.at_end()) p.consume();
        break;
      case '[':
        if (p.flags.unicode_sets) {
          for (std::uint32_t depth = 1; depth > 0 && !p.at_end();) {
            const char32_t k = p.consume();
            if (k == '\\') {
              if (!p.at_end()) p.consume();
            } else if (k == '[') {
              ++depth;
            } else if (k == ']') {
              --depth;
            }
          }
        } else {
          while (!p.at_end()) {
            const char32_t k = p.consume();
            if (k == '\\') {
              if (!p.at_end()) p.consume();
            } else if (k == ']') {
              break;
            }
          }
        }
        break;
      case '(':
        if (p.try_consume('?')) {
          if (auto name = p.try_consume_named_capture_group_name()) {
            AlternativePath path;
            for (std::uint32_t l = 0; l <= level; ++l) {
              auto it = alternative.find(l);
              path.emplace_back(l, it == alternative.end() ? 0 : it->second);
            }
            paths[*name].push_back(std::move(path));
            p.named_groups[*name].push_back(count);
            grow();
          }
        } else {
          grow();
        }
        ++level;
        alternative[level] = 0;
        break;
      case ')':
        if (level > 0) {
          alternative.erase(level);
          --level;
        }
        break;
      case '|':
        ++alternative[level];
        break;
      default:
        break;
    }
  }
  p.total_groups = count;
  for (const auto& [name, list] : paths)
    for (std::size_t i = 0; i < list.size(); ++i)
      for (std::size_t j = i + 1; j < list.size(); ++j) {
        const std::size_t common = std::min(list[i].size(), list[j].size());
        if (std::equal(list[i].begin(), list[i].begin() + static_cast<std::ptrdiff_t>(common),
                       list[j].begin()))
          return parse::error("Duplicate capture group name");
      }
  (void)pattern;
  return std::nullopt;
}

}  // namespace

std::expected<ir::Node, parse::Error> tree(std::u32string_view pattern, std::string_view flag_text,
                                           TreeStage stage) {
  const Flags flags = Flags::from_text(flag_text);
  parse::Parser parser(pattern, flags);
  if (auto e = prescan(parser, pattern)) return std::unexpected(std::move(*e));
  parser.reset(0);
  auto parsed = parser.consume_disjunction();
  if (!parsed) return std::unexpected(std::move(parsed).error());
  if (!parser.at_end()) return std::unexpected(parse::error("Unbalanced parenthesis"));
  if (stage == TreeStage::Parsed) return std::move(*parsed);
  std::vector<ir::Node> root_items;
  root_items.push_back(std::move(*parsed));
  root_items.push_back(ir::Node::goal());
  ir::Node root = parse::make_cat(std::move(root_items));
  if (parser.has_lookbehind) root.reverse_cats();
  if (stage == TreeStage::Optimized) optimizer::optimize(root);
  return root;
}

std::expected<Regex, parse::Error> Regex::from_unicode(std::u32string_view pattern,
                                                       std::string_view flag_text) {
  auto root = tree(pattern, flag_text, TreeStage::Optimized);
  if (!root) return std::unexpected(std::move(root).error());
  return Regex(emit::emit(*root, Flags::from_text(flag_text)));
}

std::expected<Regex, parse::Error> Regex::from_utf8(std::string_view pattern, std::string_view flags) {
  const std::u32string cps = util::utf8_decode(pattern);
  return from_unicode(cps, flags);
}

std::expected<Regex, parse::Error> Regex::compile(std::string_view pattern) {
  return from_utf8(pattern, "");
}

}  // namespace zarnu_regex::api
