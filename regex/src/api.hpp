// The engine's front door: compiling a pattern and its flag letters into an immutable program (flags,
// group-name prescan, parse, reversal inside lookbehinds, optimizer, emitter), and searching text.
#pragma once

#include <cstddef>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "insn.hpp"
#include "interrupt.hpp"
#include "parse.hpp"
#include "types.hpp"

namespace zarnu_regex::api {

using types::Flags;
using types::kNoBacktrackLimit;

// One match: byte offsets from the start of the whole text, one capture per group (empty when the group
// did not take part), and the regex's group names (empty when no group is named, else one per group).
struct Match {
  std::pair<std::size_t, std::size_t> range;
  std::vector<std::optional<std::pair<std::size_t, std::size_t>>> captures;
  std::vector<std::string> group_names;

  std::size_t start() const noexcept { return range.first; }
  std::size_t end() const noexcept { return range.second; }
};

// The outcome of a bounded or interruptible search: a match or none, or stopped by the poll callback, or
// ended because the backtrack stack would pass its bound.
struct Found {
  std::optional<Match> match;
  bool stopped = false;
  bool over_limit = false;
};

// The intermediate tree of a pattern at one stage of compilation: as parsed, as handed to the optimizer
// (closed with Goal, reversed inside lookbehinds), or optimized.
enum class TreeStage { Parsed, Rooted, Optimized };
// `poll`, when given, is asked during compilation; a compilation it stops fails with parse::stopped().
std::expected<ir::Node, parse::Error> tree(std::u32string_view pattern, std::string_view flags,
                                           TreeStage stage, interrupt::Poll* poll = nullptr);

class Regex {
 public:
  // Compiles a UTF-8 pattern with no flags (fixed patterns of the system itself).
  static std::expected<Regex, parse::Error> compile(std::string_view pattern);
  // Compiles a pattern given as code points, with a flag text (letters other than imsuv are ignored).
  // `poll`, when given, is asked during compilation (see tree()).
  static std::expected<Regex, parse::Error> from_unicode(std::u32string_view pattern, std::string_view flags,
                                                         interrupt::Poll* poll = nullptr);
  // The same over a UTF-8 pattern.
  static std::expected<Regex, parse::Error> from_utf8(std::string_view pattern, std::string_view flags,
                                                      interrupt::Poll* poll = nullptr);

  const insn::CompiledRegex& compiled() const noexcept { return re_; }
  const Flags& flags() const noexcept { return re_.flags; }
  std::size_t group_count() const noexcept { return re_.groups; }

  // The first match at or after byte offset `start` (a character boundary), never interrupted.
  std::optional<Match> find_from(std::string_view text, std::size_t start = 0) const;
  // The same with the backtrack stack bounded to `backtrack_bytes`.
  Found find_bounded(std::string_view text, std::size_t start, std::size_t backtrack_bytes) const;
  // The same, asking `callback` every 1024 backtracks or loop turns whether to stop.
  Found find_from_interruptible(std::string_view text, std::size_t start, interrupt::Callback callback,
                                std::size_t backtrack_bytes = kNoBacktrackLimit) const;

 private:
  explicit Regex(insn::CompiledRegex re) : re_(std::move(re)) {}
  insn::CompiledRegex re_;
};

}  // namespace zarnu_regex::api
