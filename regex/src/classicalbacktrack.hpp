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

// One entry of the backtrack stack. The fields used depend on the kind:
//   SetPosition         ip, a = position
//   SetLoopData         id = loop, a = entry, b = iterations
//   SetCaptureGroup     id = group, a = start, b = end
//   EnterNonGreedyLoop  ip = its EnterLoop, a = previous entry, b = position at the lazy exit, c = iterations
//   GreedyLoop1Char     ip = continuation, a = minimum position, b = current position
//   NonGreedyLoop1Char  ip = continuation, a = current position, b = farthest position
struct BacktrackInsn {
  enum class Kind : std::uint8_t {
    Exhausted,
    SetPosition,
    SetLoopData,
    SetCaptureGroup,
    EnterNonGreedyLoop,
    GreedyLoop1Char,
    NonGreedyLoop1Char,
  };
  Kind kind = Kind::Exhausted;
  std::uint16_t id = 0;
  std::uint32_t ip = 0;
  std::size_t a = 0, b = 0, c = 0;
};

// Thrown when a search needs more backtrack stack than its budget allows; the search entries turn it
// into their result.
struct BacktrackLimit {};

// The backtrack stack: pushes are the interpreter's most frequent operation, so the common case (room
// left) is a store and an increment, and growing is kept out of line. Growing draws on a budget of
// entries shared by all the stacks of one search; a failed allocation is std::bad_alloc.
class BacktrackStack {
 public:
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

  void push(const BacktrackInsn& e, std::size_t& budget) {
    if (size_ == capacity_) [[unlikely]]
      grow(budget);
    data_.get()[size_++] = e;
  }
  BacktrackInsn& back() noexcept { return data_.get()[size_ - 1]; }
  void pop_back() noexcept { --size_; }
  bool empty() const noexcept { return size_ == 0; }
  std::size_t size() const noexcept { return size_; }
  // Cuts the stack back to `n` entries.
  void truncate(std::size_t n) noexcept { size_ = n; }

 private:
  // Doubles the capacity, within the budget (entries); throws BacktrackLimit when no entry is left.
  void grow(std::size_t& budget);
  struct Free {
    void operator()(void* p) const noexcept { std::free(p); }
  };
  // Entries are trivially copyable: growing reallocates in place where it can.
  std::unique_ptr<BacktrackInsn, Free> data_;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

// The interpreter state, reused for every start position of a search. `Poll` is interrupt::NoPoll or
// interrupt::Poll.
template <class Poll>
class MatchAttempter {
 public:
  // `backtrack_bytes` bounds the memory of the backtrack stacks: a search that needs more ends with
  // BacktrackLimit.
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
  // The loop decision of EnterLoop and LoopAgain: the next instruction, or nothing to fail.
  std::optional<std::uint32_t> run_loop(const insn::LoopFields& fields, RefPosition pos, std::uint32_t ip);
  void push(const BacktrackInsn& e) { stack_.push(e, budget_); }

  const insn::CompiledRegex* re_;
  BacktrackStack stack_;
  std::vector<LoopData> loops_;
  std::vector<types::GroupData> groups_;
  // Stacks for lookaround bodies, kept for reuse, and the saved captures of the running assertions.
  std::vector<BacktrackStack> spare_stacks_;
  std::vector<types::GroupData> saved_groups_;
  Poll poll_;
  std::size_t budget_;  // backtrack entries that may still be allocated
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
