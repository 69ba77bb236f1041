// The interpreter's main loop, backtracking, the loop decision, single-character loops and lookaround
// assertions, instantiated for both directions and both poll policies.
#include "classicalbacktrack.hpp"

#include <algorithm>
#include <cstring>
#include <new>

#include "api.hpp"
#include "matchers.hpp"

namespace zarnu_regex::classicalbacktrack {

using Kind = Record::Kind;
using cursor::Backward;
using cursor::Forward;
using insn::Insn;
using insn::Op;
using matchers::is_line_terminator;

void BacktrackStack::grow(std::size_t n, std::size_t& budget) {
  std::size_t capacity = kFreeWords, charged = 0;
  if (capacity_ != 0) {
    charged = std::min(capacity_, budget);
    if (charged < n) throw BacktrackLimit{};
    capacity = capacity_ + charged;
  }
  void* data = std::realloc(data_.get(), capacity * sizeof(Word));
  if (!data) throw std::bad_alloc();
  (void)data_.release();
  data_.reset(static_cast<Word*>(data));
  capacity_ = capacity;
  budget -= charged;
}

template <class Poll>
MatchAttempter<Poll>::MatchAttempter(const insn::CompiledRegex& re, Poll poll, std::size_t backtrack_bytes)
    : re_(&re),
      loops_(re.loops),
      groups_(re.groups),
      poll_(poll),
      budget_(backtrack_bytes / sizeof(Record::Word)) {
  push(Record::header(Kind::Exhausted, 0, 0));
}

template <class Poll>
std::optional<RefPosition> MatchAttempter<Poll>::try_at_pos(const Utf8Input& input, RefPosition pos) {
  return run<Forward>(input, 0, pos);
}

namespace {

// Records the old value of a capture group's field before it changes, unless the top record already puts
// that field back: no choice point lies above it, so the older value it holds is the one to restore.
void save_group_field(BacktrackStack& stack, std::size_t& budget, std::uint16_t group, bool start,
                      const types::GroupData& g) {
  const Kind kind = start ? Kind::RestoreGroupStart : Kind::RestoreGroupEnd;
  const Record::Word top = stack.top();
  if (Record::id(top) == group && (Record::kind(top) == Kind::RestoreGroup || Record::kind(top) == kind))
    return;
  stack.push(budget, start ? g.start : g.end, Record::header(kind, group, 0));
}

// The scan of a single-character loop body from `pos`, at most `count` iterations; the position reached.
template <class Dir>
RefPosition scan_body(const Insn& body, const insn::CompiledRegex& re, const Utf8Input& input,
                      RefPosition pos, std::size_t count) {
  // Tight loops for the bodies that compare bytes; the character bodies share the general test.
  if constexpr (Dir::kForward) {
    if (body.op == Op::AsciiBracket) {
      const std::size_t end = count < input.len - pos ? pos + count : input.len;
      while (pos < end && body.ascii.contains(input.data[pos])) ++pos;
      return pos;
    }
  }
  if (body.op == Op::ByteSeq1 || body.op == Op::AsciiBracket) {
    for (std::size_t n = 0; n < count; ++n) {
      std::uint8_t b;
      RefPosition p = pos;
      if (!Dir::next_byte(input, p, b)) break;
      if (body.op == Op::ByteSeq1 ? b != body.bytes[0] : !body.ascii.contains(b)) break;
      pos = p;
    }
    return pos;
  }
  if constexpr (Dir::kForward) {
    if (body.op == Op::MatchAnyExceptLineTerminator) {
      for (std::size_t n = 0; n < count && pos < input.len; ++n) {
        const std::uint8_t b = input.data[pos];
        if (b < 0x80) {
          if (b == '\n' || b == '\r') break;
          ++pos;
          continue;
        }
        const auto d = input.decode_after(pos);
        if (is_line_terminator(d.cp)) break;
        pos += d.len;
      }
      return pos;
    }
  }
  for (std::size_t n = 0; n < count; ++n)
    if (!matchers::match_one<Dir>(body, re, input, pos)) break;
  return pos;
}

}  // namespace

template <class Poll>
template <class Dir>
std::optional<std::pair<RefPosition, RefPosition>> MatchAttempter<Poll>::with_scm_loop_impl(
    const insn::CompiledRegex& re, const Utf8Input& input, RefPosition pos, std::size_t min, std::size_t max,
    std::uint32_t ip) {
  const Insn& body = re.insns.at(ip + 1);
  if (!insn::is_single_character(body.op)) util::unreachable("Missing SCM: " + insn::debug(body));
  // A surrogate can match no character of valid text: the loop takes zero iterations (matching the
  // general loop), which satisfies only a minimum of zero.
  if (body.op == Op::Char && !util::is_scalar_value(body.cp)) {
    if (min > 0) return std::nullopt;
    return std::pair(pos, pos);
  }
  RefPosition p = pos;
  for (std::size_t n = 0; n < min; ++n)
    if (!matchers::match_one<Dir>(body, re, input, p)) return std::nullopt;
  const RefPosition p_min = p;
  return std::pair(p_min, scan_body<Dir>(body, re, input, p_min, max - min));
}

template <class Poll>
template <class Dir>
bool MatchAttempter<Poll>::run_lookaround(const Utf8Input& input, std::uint32_t ip, RefPosition pos,
                                          std::uint16_t start_group, std::uint16_t end_group, bool negate) {
  if (start_group > end_group || end_group > groups_.size())
    util::unreachable("Invalid lookaround group range");
  const std::size_t saved_at = saved_groups_.size();
  saved_groups_.insert(saved_groups_.end(), groups_.begin() + start_group, groups_.begin() + end_group);

  // The body runs on a stack of its own; the enclosing one is set aside.
  BacktrackStack own;
  if (!spare_stacks_.empty()) {
    own = std::move(spare_stacks_.back());
    spare_stacks_.pop_back();
  }
  own.truncate(0);
  own.push(budget_, Record::header(Kind::Exhausted, 0, 0));
  std::swap(stack_, own);
  const bool matched = run<Dir>(input, ip, pos).has_value();
  std::swap(stack_, own);
  spare_stacks_.push_back(std::move(own));

  if (!matched || negate) {
    std::copy(saved_groups_.begin() + static_cast<std::ptrdiff_t>(saved_at), saved_groups_.end(),
              groups_.begin() + start_group);
  } else {
    for (std::uint16_t g = start_group; g < end_group; ++g) {
      const types::GroupData& old = saved_groups_[saved_at + (g - start_group)];
      push(old.start, old.end, Record::header(Kind::RestoreGroup, g, 0));
    }
  }
  saved_groups_.resize(saved_at);
  return matched != negate;
}

template <class Poll>
template <class Dir>
std::optional<RefPosition> MatchAttempter<Poll>::run(const Utf8Input& input, std::uint32_t ip,
                                                     RefPosition pos) {
  const std::vector<Insn>& insns = re_->insns;
  for (;;) {
    bool ok = true;
    const Insn& in = insns[ip];
    switch (in.op) {
      case Op::Goal:
        stack_.truncate(1);
        return pos;
      case Op::Char: {
        auto d = Dir::peek(input, pos);
        ok = d && d->cp == in.cp;
        if (ok) Dir::move(pos, d->len);
        ++ip;
        break;
      }
      case Op::StartOfLine:
        ok = pos == 0 || (in.flag && matchers::before_is(input, pos, is_line_terminator));
        ++ip;
        break;
      case Op::EndOfLine:
        ok = pos == input.len || (in.flag && matchers::after_is(input, pos, is_line_terminator));
        ++ip;
        break;
      case Op::EnterLoop:
      case Op::LoopAgain: {
        // The loop decision, made when the loop is entered and after each iteration of its body.
        std::uint32_t enter_ip = ip;
        if (in.op == Op::LoopAgain) {
          if (poll_.tick()) {
            stack_.truncate(1);
            return std::nullopt;
          }
          enter_ip = in.target;
          if (insns.at(enter_ip).op != Op::EnterLoop)
            util::unreachable("EnterLoop should always refer to loop field");
        }
        const insn::LoopFields& f = insns[enter_ip].loop;
        LoopData& data = loops_[f.loop_id];
        if (in.op == Op::EnterLoop) {
          // A loop entered again (inside an outer loop) keeps a record of its old state: backtracking into
          // an earlier pass of the outer loop must find the count that pass had.
          if (data.iters != 0) push(data.entry, data.iters, Record::header(Kind::RestoreLoop, f.loop_id, 0));
          data.iters = 0;
        }
        if (data.iters > f.min_iters && data.entry == pos) {
          // An iteration beyond the minimum that consumed nothing is refused (the mandatory ones may be
          // empty).
          ok = false;
        } else if (data.iters >= f.max_iters) {
          ok = data.iters >= f.min_iters;
          ip = f.exit;
        } else if (data.iters < f.min_iters || f.greedy) {
          // A greedy iteration past the minimum is also the way out of the loop, at the position it begins.
          const Kind kind = data.iters >= f.min_iters ? Kind::LeaveLoop : Kind::RestoreIteration;
          push(data.entry, Record::header(kind, f.loop_id, f.exit));
          ++data.iters;
          data.entry = pos;
          ip = enter_ip + 1;
        } else {
          push(data.entry, pos, data.iters, Record::header(Kind::EnterNonGreedyLoop, 0, enter_ip));
          data.entry = pos;
          ip = f.exit;
        }
        break;
      }
      case Op::Loop1CharBody: {
        const insn::ScmFields& f = in.scm;
        const std::uint32_t cont = ip + 2;
        if (f.greedy) {
          auto r = with_scm_loop_impl<Dir>(*re_, input, pos, f.min_iters, f.max_iters, ip);
          ok = r.has_value();
          if (ok) {
            if (r->first != r->second)
              push(r->first, r->second, Record::header(Kind::GreedyLoop1Char, 0, cont));
            pos = r->second;
          }
        } else {
          auto r = with_scm_loop_impl<Dir>(*re_, input, pos, f.min_iters, f.min_iters, ip);
          ok = r.has_value();
          if (ok) {
            pos = r->first;
            if (f.max_iters > f.min_iters) {
              const RefPosition far =
                  scan_body<Dir>(insns[ip + 1], *re_, input, pos, f.max_iters - f.min_iters);
              if (far != pos) push(pos, far, Record::header(Kind::NonGreedyLoop1Char, 0, cont));
            }
          }
        }
        ip = cont;
        break;
      }
      case Op::Jump:
        ip = in.target;
        break;
      case Op::Alt:
        push(pos, Record::header(Kind::SetPosition, 0, in.target));
        ++ip;
        break;
      case Op::BeginCaptureGroup: {
        types::GroupData& g = groups_[in.group];
        save_group_field(stack_, budget_, in.group, Dir::kForward, g);
        (Dir::kForward ? g.start : g.end) = pos;
        ++ip;
        break;
      }
      case Op::EndCaptureGroup: {
        // The old span is restored on backtracking: a backreference inside the group, met again after
        // backtracking into it, must not see the end of an attempt that failed.
        types::GroupData& g = groups_[in.group];
        save_group_field(stack_, budget_, in.group, !Dir::kForward, g);
        (Dir::kForward ? g.end : g.start) = pos;
        ++ip;
        break;
      }
      case Op::ResetCaptureGroup: {
        types::GroupData& g = groups_[in.group];
        const Record::Word top = stack_.top();
        if (Record::kind(top) != Kind::RestoreGroup || Record::id(top) != in.group)
          push(g.start, g.end, Record::header(Kind::RestoreGroup, in.group, 0));
        g.reset();
        ++ip;
        break;
      }
      case Op::BackRef: {
        const types::GroupData& g = groups_[in.backref.group];
        ++ip;
        if (!g.complete()) break;
        if (in.backref.icase) {
          ok = matchers::backref_icase<Dir>(input, g.start, g.end, pos);
        } else {
          ok = Dir::match_bytes(input, pos, input.data + g.start, g.end - g.start);
        }
        break;
      }
      case Op::Lookahead:
      case Op::Lookbehind: {
        const insn::LookaroundFields& f = in.look;
        ok = in.op == Op::Lookahead
                 ? run_lookaround<Forward>(input, ip + 1, pos, f.start_group, f.end_group, f.negate)
                 : run_lookaround<Backward>(input, ip + 1, pos, f.start_group, f.end_group, f.negate);
        if (poll_.stopped()) {
          stack_.truncate(1);
          return std::nullopt;
        }
        ip = f.continuation;
        break;
      }
      case Op::WordBoundary:
      case Op::WordBoundaryUnicodeICase: {
        const auto word =
            in.op == Op::WordBoundary ? matchers::is_word_char : matchers::is_word_char_unicode_icase;
        const bool boundary = matchers::before_is(input, pos, word) != matchers::after_is(input, pos, word);
        ok = boundary != in.flag;
        ++ip;
        break;
      }
      case Op::JustFail:
        ok = false;
        break;
      default:
        // The single-character instructions: characters, classes, byte sets and byte runs.
        ok = matchers::match_one<Dir>(in, *re_, input, pos);
        ++ip;
        break;
    }
    if (ok) continue;

    // Backtrack: undo the records above the latest choice point, then resume there.
    if (poll_.tick()) {
      stack_.truncate(1);
      return std::nullopt;
    }
    for (bool resumed = false; !resumed;) {
      if (stack_.empty()) util::unreachable("BT stack should never be empty");
      const Record::Word h = stack_.top();
      switch (Record::kind(h)) {
        case Kind::Exhausted:
          return std::nullopt;
        case Kind::SetPosition:
          ip = Record::ip(h);
          pos = stack_.at(1);
          stack_.pop(2);
          resumed = true;
          break;
        case Kind::RestoreLoop:
          loops_[Record::id(h)] = LoopData{stack_.at(2), stack_.at(1)};
          stack_.pop(3);
          break;
        case Kind::RestoreIteration:
        case Kind::LeaveLoop: {
          LoopData& data = loops_[Record::id(h)];
          const RefPosition began = data.entry;
          data.entry = stack_.at(1);
          --data.iters;
          stack_.pop(2);
          if (Record::kind(h) == Kind::LeaveLoop) {
            ip = Record::ip(h);
            pos = began;
            resumed = true;
          }
          break;
        }
        case Kind::RestoreGroup:
          groups_[Record::id(h)] = types::GroupData{stack_.at(2), stack_.at(1)};
          stack_.pop(3);
          break;
        case Kind::RestoreGroupStart:
          groups_[Record::id(h)].start = stack_.at(1);
          stack_.pop(2);
          break;
        case Kind::RestoreGroupEnd:
          groups_[Record::id(h)].end = stack_.at(1);
          stack_.pop(2);
          break;
        case Kind::EnterNonGreedyLoop: {
          const std::uint32_t enter_ip = Record::ip(h);
          const Insn& enter = insns.at(enter_ip);
          if (enter.op != Op::EnterLoop)
            util::unreachable("EnterNonGreedyLoop must point at a loop instruction");
          const std::uint16_t id = enter.loop.loop_id;
          const RefPosition previous = stack_.at(3), at = stack_.at(2);
          const std::size_t iters = stack_.at(1);
          stack_.pop(4);
          // The loop as it was before the lazy exit, then the deferred iteration, entered as a forced one.
          push(previous, iters, Record::header(Kind::RestoreLoop, id, 0));
          push(at, Record::header(Kind::RestoreIteration, id, 0));
          loops_[id] = LoopData{at, iters + 1};
          ip = enter_ip + 1;
          pos = at;
          resumed = true;
          break;
        }
        case Kind::GreedyLoop1Char: {
          const RefPosition min = stack_.at(2);
          Record::Word& current = stack_.at(1);
          if (current == min) {
            stack_.pop(3);
            break;
          }
          ip = Record::ip(h);
          if constexpr (Dir::kForward) {
            // When a literal follows, only the positions where its first byte stands can succeed; that
            // byte starts a character, so the search cannot land inside one.
            if (const Insn& next = insns[ip]; insn::is_byte_seq(next.op)) {
              const void* hit = memrchr(input.data + min, next.bytes[0], current - min);
              if (!hit) {
                stack_.pop(3);
                break;
              }
              current = static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - input.data);
              pos = current;
              resumed = true;
              break;
            }
          }
          current = Dir::unstep(input, current);
          pos = current;
          resumed = true;
          break;
        }
        case Kind::NonGreedyLoop1Char: {
          Record::Word& current = stack_.at(2);
          const RefPosition far = stack_.at(1);
          if (current == far) {
            stack_.pop(3);
            break;
          }
          ip = Record::ip(h);
          if constexpr (Dir::kForward) {
            if (const Insn& next = insns[ip]; insn::is_byte_seq(next.op)) {
              const std::size_t from = Dir::step(input, current), to = std::min(far + 1, input.len);
              const void* hit =
                  from < to ? std::memchr(input.data + from, next.bytes[0], to - from) : nullptr;
              if (!hit) {
                stack_.pop(3);
                break;
              }
              current = static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - input.data);
              pos = current;
              resumed = true;
              break;
            }
          }
          current = Dir::step(input, current);
          pos = current;
          resumed = true;
          break;
        }
      }
    }
  }
}

template class MatchAttempter<interrupt::NoPoll>;
template class MatchAttempter<interrupt::Poll>;

api::Match make_match(const insn::CompiledRegex& re, std::vector<types::GroupData>& groups, RefPosition start,
                      RefPosition end) {
  api::Match m;
  m.range = {start, end};
  m.captures.reserve(groups.size());
  for (types::GroupData& g : groups) {
    if (g.complete())
      m.captures.emplace_back(std::pair(g.start, g.end));
    else
      m.captures.emplace_back(std::nullopt);
    g.reset();
  }
  m.group_names = re.group_names;
  return m;
}

BacktrackExecutor::BacktrackExecutor(const api::Regex& re, std::string_view text)
    : re_(&re), input_(text, re.compiled().flags.unicode), attempter_(re.compiled(), interrupt::NoPoll{}) {}

api::Match BacktrackExecutor::successful_match(RefPosition start, RefPosition end) {
  return make_match(re_->compiled(), attempter_.groups(), start, end);
}

}  // namespace zarnu_regex::classicalbacktrack
