// The match driver: walks the candidate positions the start predicate allows, asks the interpreter at
// each, and strings searches together into successive matches with a fixed rule for empty matches.
#pragma once

#include <algorithm>
#include <cstddef>
#include <optional>
#include <utility>
#include <variant>
#include <vector>

#include "api.hpp"
#include "classicalbacktrack.hpp"
#include "matchers.hpp"

namespace zarnu_regex::exec {

using position::RefPosition;

// Scans candidates from `from` with any attempter; the first (start, end), or nothing. Stops early when
// the attempter's poll has stopped.
template <class Attempter>
std::optional<std::pair<RefPosition, RefPosition>> scan(const insn::CompiledRegex& re,
                                                        const cursor::Utf8Input& input, RefPosition from,
                                                        Attempter& attempter) {
  const auto& pred = re.start_pred;
  RefPosition p = from;
  for (;;) {
    const auto candidate = pred.find(input.data, input.len, p);
    if (!candidate) return std::nullopt;
    if (auto end = attempter.try_at_pos(input, *candidate)) return std::pair(*candidate, *end);
    if (attempter.poll().stopped()) return std::nullopt;
    if (pred.kind() == startpredicate::StartPredicate::Kind::StartAnchored || *candidate >= input.len)
      return std::nullopt;
    p = *candidate + util::utf8_sequence_length(input.data[*candidate]);
    if (re.leading_run) {
      // Starts inside the leading run that just failed fail too: go on from its end.
      RefPosition end = *candidate;
      while (matchers::match_one<cursor::Forward>(re.insns[*re.leading_run], re, input, end)) {
      }
      p = std::max(p, end);
    }
  }
}

// Successive, non-overlapping matches over one text.
class Matches {
 public:
  Matches(const api::Regex& re, std::string_view text, RefPosition start);
  std::optional<api::Match> next();

 private:
  classicalbacktrack::BacktrackExecutor executor_;
  std::optional<RefPosition> next_start_;
};

// Successive searches of one program over one text that keep the matcher's state (stacks, loop and
// capture records) from one search to the next: what a caller walking all the matches of a text needs,
// without a new matcher and match per search.
class Searcher {
 public:
  enum class Status : std::uint8_t { Match, None, Stopped, OverLimit };
  using Capture = std::optional<std::pair<RefPosition, RefPosition>>;

  // `callback`, when given, is asked every 1024 backtracks or loop turns (the count runs on across
  // searches); `backtrack_bytes` bounds the stacks. Both must outlive the searcher.
  Searcher(const api::Regex& re, std::string_view text, std::size_t backtrack_bytes,
           const interrupt::Callback* callback);

  // The first match at or after byte offset `from` (a character boundary). Once stopped or over the
  // limit, every later search says so again.
  Status find(RefPosition from);
  RefPosition start() const noexcept { return start_; }
  RefPosition end() const noexcept { return end_; }
  // One per group, as of the last match.
  const std::vector<Capture>& captures() const noexcept { return captures_; }

 private:
  template <class Attempter>
  Status find_with(Attempter& attempter, RefPosition from);

  const insn::CompiledRegex* re_;
  cursor::Utf8Input input_;
  std::variant<classicalbacktrack::MatchAttempter<interrupt::NoPoll>,
               classicalbacktrack::MatchAttempter<interrupt::Poll>>
      attempter_;
  std::vector<Capture> captures_;
  RefPosition start_ = 0, end_ = 0;
  Status failed_ = Status::None;  // Stopped or OverLimit once either happened
};

}  // namespace zarnu_regex::exec
