// The match driver: walks the candidate positions the start predicate allows, asks the interpreter at
// each, and strings searches together into successive matches with a fixed rule for empty matches.
#pragma once

#include <cstddef>
#include <optional>
#include <utility>

#include "api.hpp"
#include "classicalbacktrack.hpp"

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

}  // namespace zarnu_regex::exec
