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

// Where the named groups stand in the alternation structure, one trie per name: a group's path is its
// alternative index at each nesting level from the outside in. Two groups of one name clash when one
// path is a prefix of the other; the trie finds that in one walk of the new path, where comparing it
// with every earlier path of the name would grow with the square of their number.
class NamePaths {
 public:
  // Adds the path of a group named `name`; whether it clashes with one added before.
  bool add(const std::string& name, const std::map<std::uint32_t, std::uint32_t>& alternative,
           std::uint32_t level) {
    auto [root, fresh] = roots_.try_emplace(name, static_cast<std::uint32_t>(nodes_.size()));
    if (fresh) nodes_.emplace_back();
    std::uint32_t node = root->second;
    bool clash = false;
    for (std::uint32_t l = 0; l <= level; ++l) {
      clash |= nodes_[node].ends;
      auto it = alternative.find(l);
      const std::uint64_t key = (std::uint64_t{node} << 32) | (it == alternative.end() ? 0 : it->second);
      auto [child, added] = edges_.try_emplace(key, static_cast<std::uint32_t>(nodes_.size()));
      if (added) {
        nodes_[node].branches = true;
        nodes_.emplace_back();
      }
      node = child->second;
    }
    clash |= nodes_[node].ends || nodes_[node].branches;
    nodes_[node].ends = true;
    return clash;
  }

 private:
  struct Node {
    bool ends = false;      // a path ends here
    bool branches = false;  // a longer path goes on from here
  };
  std::vector<Node> nodes_;
  std::unordered_map<std::string, std::uint32_t> roots_;
  std::unordered_map<std::uint64_t, std::uint32_t> edges_;  // (node, alternative) -> child
};

// One pass over the pattern before parsing: counts the capture groups, maps names to their groups, and
// refuses a name defined twice on one path through the alternatives.
std::optional<parse::Error> prescan(parse::Parser& p, std::u32string_view pattern) {
  std::uint32_t level = 0;
  std::map<std::uint32_t, std::uint32_t> alternative{{0, 0}};
  std::uint32_t count = 0;
  NamePaths paths;
  bool clash = false;
  auto grow = [&] {
    if (count < parse::kMaxGroups) ++count;
  };
  while (!p.at_end()) {
    if (p.must_stop()) return parse::stopped();
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
            clash |= paths.add(*name, alternative, level);
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
  if (clash) return parse::error("Duplicate capture group name");
  (void)pattern;
  return std::nullopt;
}

}  // namespace

std::expected<ir::Node, parse::Error> tree(std::u32string_view pattern, std::string_view flag_text,
                                           TreeStage stage, interrupt::Poll* poll) {
  const Flags flags = Flags::from_text(flag_text);
  parse::Parser parser(pattern, flags);
  parser.poll = poll;
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
  if (stage == TreeStage::Optimized) optimizer::optimize(root, poll);
  if (poll && poll->stopped()) return std::unexpected(parse::stopped());
  return root;
}

std::expected<Regex, parse::Error> Regex::from_unicode(std::u32string_view pattern,
                                                       std::string_view flag_text, interrupt::Poll* poll) {
  auto root = tree(pattern, flag_text, TreeStage::Optimized, poll);
  if (!root) return std::unexpected(std::move(root).error());
  return Regex(emit::emit(*root, Flags::from_text(flag_text)));
}

std::expected<Regex, parse::Error> Regex::from_utf8(std::string_view pattern, std::string_view flags,
                                                    interrupt::Poll* poll) {
  const std::u32string cps = util::utf8_decode(pattern);
  return from_unicode(cps, flags, poll);
}

std::expected<Regex, parse::Error> Regex::compile(std::string_view pattern) {
  return from_utf8(pattern, "");
}

}  // namespace zarnu_regex::api
