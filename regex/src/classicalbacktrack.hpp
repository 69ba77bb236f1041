// The backtracking interpreter: runs a compiled program from one position with an explicit backtrack
// stack (no recursion except for lookaround bodies, whose nesting the pattern bounds), in either
// direction and with either poll policy; and the executor that drives it over one text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "cursor.hpp"
#include "insn.hpp"
#include "interrupt.hpp"
#include "types.hpp"

namespace zarnu_regex::api {
struct Match;
class Regex;
}  // namespace zarnu_regex::api

namespace zarnu_regex::classicalbacktrack {

using cursor::Utf8Input;
using position::RefPosition;

struct LoopData {
  RefPosition entry = 0;  // where the current iteration began
  std::size_t iters = 0;
};

// The backtrack stack holds records of one to four machine words, the kind's header word on top, so that a
// choice point costs what its kind needs and a loop iteration as little as two words. Below the header,
// from the top down:
//   Exhausted           (nothing)                        the bottom record; the attempt has no match
//   SetPosition         position                         resume at `ip`
//   RestoreLoop         iterations, entry                put loop `id` back
//   RestoreIteration    entry                            undo one iteration of loop `id`
//   LeaveLoop           entry                            undo one iteration of loop `id`, then resume at the
//                                                        loop's exit `ip`, where the iteration began
//   RestoreGroup        end, start                       put group `id` back
//   RestoreGroupStart   start                            put back the start of group `id`
//   RestoreGroupEnd     end                              put back the end of group `id`
//   EnterNonGreedyLoop  iterations, position, entry      the deferred iteration of the loop entered at `ip`
//   GreedyLoop1Char     current, minimum                 step back and resume at `ip`
//   NonGreedyLoop1Char  farthest, current                step forward and resume at `ip`
// RestoreIteration and LeaveLoop keep no count and no position: when a record is reached again every change
// made after it has been undone, so the loop stands as the iteration left it (entry = where it began,
// count one more than before).
struct Record {
  using Word = std::uint64_t;
  static_assert(sizeof(std::size_t) <= sizeof(Word));
  enum class Kind : std::uint8_t {
    Exhausted,
    SetPosition,
    RestoreLoop,
    RestoreIteration,
    LeaveLoop,
    RestoreGroup,
    RestoreGroupStart,
    RestoreGroupEnd,
    EnterNonGreedyLoop,
    GreedyLoop1Char,
    NonGreedyLoop1Char,
  };
  static constexpr Word header(Kind kind, std::uint16_t id, std::uint32_t ip) noexcept {
    return static_cast<Word>(kind) | static_cast<Word>(id) << 8 | static_cast<Word>(ip) << 32;
  }
  static constexpr Kind kind(Word h) noexcept { return static_cast<Kind>(h & 0xFF); }
  static constexpr std::uint16_t id(Word h) noexcept { return static_cast<std::uint16_t>(h >> 8); }
  static constexpr std::uint32_t ip(Word h) noexcept { return static_cast<std::uint32_t>(h >> 32); }
};

// Thrown when a search needs more backtrack stack than its budget allows; the search entries turn it
// into their result.
struct BacktrackLimit {};

// The backtrack stack: pushes are the interpreter's most frequent operation, so the common case (room
// left) is a few stores, and growing is kept out of line. Growing draws on a budget of words shared by all
// the stacks of one search, past a first block of kFreeWords that every stack may have (so that a bottom
// record always fits); a failed allocation is std::bad_alloc.
class BacktrackStack {
 public:
  using Word = Record::Word;
  static constexpr std::size_t kFreeWords = 64;

  BacktrackStack() = default;
  BacktrackStack(BacktrackStack&& o) noexcept
      : data_(std::move(o.data_)),
        size_(std::exchange(o.size_, 0)),
        capacity_(std::exchange(o.capacity_, 0)) {}
  BacktrackStack& operator=(BacktrackStack&& o) noexcept {
    data_ = std::move(o.data_);
    size_ = std::exchange(o.size_, 0);
    capacity_ = std::exchange(o.capacity_, 0);
    return *this;
  }

  // Pushes a record: its words from the bottom up, the header last.
  template <class... W>
  void push(std::size_t& budget, W... words) {
    constexpr std::size_t n = sizeof...(W);
    if (capacity_ - size_ < n) [[unlikely]]
      grow(n, budget);
    Word* p = data_.get() + size_;
    ((*p++ = static_cast<Word>(words)), ...);
    size_ += n;
  }
  // The word `k` places below the top (0: the header of the top record).
  Word& at(std::size_t k) noexcept { return data_.get()[size_ - 1 - k]; }
  Word top() const noexcept { return data_.get()[size_ - 1]; }
  void pop(std::size_t words) noexcept { size_ -= words; }
  bool empty() const noexcept { return size_ == 0; }
  std::size_t size() const noexcept { return size_; }
  // Cuts the stack back to `n` words.
  void truncate(std::size_t n) noexcept { size_ = n; }

 private:
  // Makes room for `n` more words, at least doubling the capacity within the budget; throws BacktrackLimit
  // when the budget cannot pay for them.
  void grow(std::size_t n, std::size_t& budget);
  struct Free {
    void operator()(void* p) const noexcept { std::free(p); }
  };
  // Words are trivially copyable: growing reallocates in place where it can.
  std::unique_ptr<Word, Free> data_;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

// The interpreter state, reused for every start position of a search. `Poll` is interrupt::NoPoll or
// interrupt::Poll.
template <class Poll>
class MatchAttempter {
 public:
  // `backtrack_bytes` bounds the memory of the backtrack stacks (past each stack's first block): a search
  // that needs more ends with BacktrackLimit.
  MatchAttempter(const insn::CompiledRegex& re, Poll poll,
                 std::size_t backtrack_bytes = types::kNoBacktrackLimit);

  // Runs the whole program from `pos`; the end of the match, or nothing. On a match the group data holds
  // the captures; otherwise it is as before. The stack is back to its bottom entry either way.
  std::optional<RefPosition> try_at_pos(const Utf8Input& input, RefPosition pos);

  // The interpreter in one direction, from instruction `ip`.
  template <class Dir>
  std::optional<RefPosition> run(const Utf8Input& input, std::uint32_t ip, RefPosition pos);
  // A lookaround assertion whose body starts at `ip`; whether it holds.
  template <class Dir>
  bool run_lookaround(const Utf8Input& input, std::uint32_t ip, RefPosition pos, std::uint16_t start_group,
                      std::uint16_t end_group, bool negate);

  // A single-character loop's scan: the position after `min` iterations (nothing when they cannot all
  // match) and after at most `max` in all.
  template <class Dir>
  static std::optional<std::pair<RefPosition, RefPosition>> with_scm_loop_impl(
      const insn::CompiledRegex& re, const Utf8Input& input, RefPosition pos, std::size_t min,
      std::size_t max, std::uint32_t ip);

  std::vector<types::GroupData>& groups() noexcept { return groups_; }
  const Poll& poll() const noexcept { return poll_; }
  std::size_t stack_size() const noexcept { return stack_.size(); }

 private:
  template <class... W>
  void push(W... words) {
    stack_.push(budget_, words...);
  }

  const insn::CompiledRegex* re_;
  BacktrackStack stack_;
  std::vector<LoopData> loops_;
  std::vector<types::GroupData> groups_;
  // Stacks for lookaround bodies, kept for reuse, and the saved captures of the running assertions.
  std::vector<BacktrackStack> spare_stacks_;
  std::vector<types::GroupData> saved_groups_;
  Poll poll_;
  std::size_t budget_;  // backtrack stack words that may still be allocated
};

extern template class MatchAttempter<interrupt::NoPoll>;
extern template class MatchAttempter<interrupt::Poll>;

// The matcher for one text with the plain (never interrupted) policy.
class BacktrackExecutor {
 public:
  BacktrackExecutor(const api::Regex& re, std::string_view text);

  std::optional<RefPosition> try_at_pos(RefPosition pos) { return attempter_.try_at_pos(input_, pos); }
  // The match of a successful attempt; clears the group data.
  api::Match successful_match(RefPosition start, RefPosition end);

  const api::Regex& regex() const noexcept { return *re_; }
  const Utf8Input& input() const noexcept { return input_; }
  MatchAttempter<interrupt::NoPoll>& attempter() noexcept { return attempter_; }

 private:
  const api::Regex* re_;
  Utf8Input input_;
  MatchAttempter<interrupt::NoPoll> attempter_;
};

// Builds a match from an attempt's positions and clears the captures.
api::Match make_match(const insn::CompiledRegex& re, std::vector<types::GroupData>& groups, RefPosition start,
                      RefPosition end);

}  // namespace zarnu_regex::classicalbacktrack
