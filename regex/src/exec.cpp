// Successive matches, and the searches of the compiled regex.
#include "exec.hpp"

namespace zarnu_regex::exec {

Matches::Matches(const api::Regex& re, std::string_view text, RefPosition start) : executor_(re, text) {
  if (start <= text.size()) next_start_ = start;
}

std::optional<api::Match> Matches::next() {
  if (!next_start_) return std::nullopt;
  const auto& input = executor_.input();
  auto found = scan(executor_.regex().compiled(), input, *next_start_, executor_.attempter());
  if (!found) return std::nullopt;
  const auto [start, end] = *found;
  if (end != start)
    next_start_ = end;
  else if (start >= input.len)
    next_start_.reset();
  else
    next_start_ = start + util::utf8_sequence_length(input.data[start]);
  return executor_.successful_match(start, end);
}

namespace {

using Attempters = std::variant<classicalbacktrack::MatchAttempter<interrupt::NoPoll>,
                                classicalbacktrack::MatchAttempter<interrupt::Poll>>;

Attempters make_attempter(const insn::CompiledRegex& re, std::size_t backtrack_bytes,
                          const interrupt::Callback* callback) {
  if (callback) return Attempters(std::in_place_index<1>, re, interrupt::Poll(*callback), backtrack_bytes);
  return Attempters(std::in_place_index<0>, re, interrupt::NoPoll{}, backtrack_bytes);
}

}  // namespace

Searcher::Searcher(const api::Regex& re, std::string_view text, std::size_t backtrack_bytes,
                   const interrupt::Callback* callback)
    : re_(&re.compiled()),
      input_(text, re.compiled().flags.unicode),
      attempter_(make_attempter(re.compiled(), backtrack_bytes, callback)) {
  captures_.resize(re_->groups);
}

Searcher::Status Searcher::find(RefPosition from) {
  if (failed_ != Status::None) return failed_;
  if (from > input_.len) return Status::None;
  try {
    return std::visit([&](auto& attempter) { return find_with(attempter, from); }, attempter_);
  } catch (const classicalbacktrack::BacktrackLimit&) {
    failed_ = Status::OverLimit;
    return failed_;
  }
}

template <class Attempter>
Searcher::Status Searcher::find_with(Attempter& attempter, RefPosition from) {
  auto found = scan(*re_, input_, from, attempter);
  if (attempter.poll().stopped()) {
    failed_ = Status::Stopped;
    return failed_;
  }
  if (!found) return Status::None;
  std::tie(start_, end_) = *found;
  auto& groups = attempter.groups();
  for (std::size_t g = 0; g < groups.size(); ++g) {
    captures_[g] = groups[g].complete() ? Capture(std::pair(groups[g].start, groups[g].end)) : std::nullopt;
    groups[g].reset();
  }
  return Status::Match;
}

}  // namespace zarnu_regex::exec

namespace zarnu_regex::api {

std::optional<Match> Regex::find_from(std::string_view text, std::size_t start) const {
  exec::Matches m(*this, text, start);
  return m.next();
}

namespace {

template <class Poll>
Found bounded_search(const insn::CompiledRegex& re, std::string_view text, std::size_t start, Poll poll,
                     std::size_t backtrack_bytes) {
  Found out;
  if (start > text.size()) return out;
  const cursor::Utf8Input input(text, re.flags.unicode);
  try {
    classicalbacktrack::MatchAttempter<Poll> attempter(re, poll, backtrack_bytes);
    auto found = exec::scan(re, input, start, attempter);
    if (attempter.poll().stopped()) {
      out.stopped = true;
      return out;
    }
    if (found)
      out.match = classicalbacktrack::make_match(re, attempter.groups(), found->first, found->second);
  } catch (const classicalbacktrack::BacktrackLimit&) {
    out.over_limit = true;
  }
  return out;
}

}  // namespace

Found Regex::find_bounded(std::string_view text, std::size_t start, std::size_t backtrack_bytes) const {
  return bounded_search(re_, text, start, interrupt::NoPoll{}, backtrack_bytes);
}

Found Regex::find_from_interruptible(std::string_view text, std::size_t start, interrupt::Callback callback,
                                     std::size_t backtrack_bytes) const {
  return bounded_search(re_, text, start, interrupt::Poll(callback), backtrack_bytes);
}

}  // namespace zarnu_regex::api
