// The instruction set of the backtracking matcher and the compiled program: instructions in one flat
// vector with jump targets as indices, the bracket table, the start predicate, group names and counts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "bytesearch.hpp"
#include "startpredicate.hpp"
#include "types.hpp"

namespace zarnu_regex::insn {

enum class Op : std::uint8_t {
  Goal,
  Char,
  StartOfLine,
  EndOfLine,
  MatchAny,
  MatchAnyExceptLineTerminator,
  EnterLoop,
  LoopAgain,
  Loop1CharBody,
  Jump,
  Alt,
  BeginCaptureGroup,
  EndCaptureGroup,
  ResetCaptureGroup,
  BackRef,
  Bracket,
  AsciiBracket,
  Lookahead,
  Lookbehind,
  WordBoundary,
  WordBoundaryUnicodeICase,
  CharSet,
  ByteSet2,
  ByteSet3,
  ByteSet4,
  ByteSeq1,
  ByteSeq2,
  ByteSeq3,
  ByteSeq4,
  ByteSeq5,
  ByteSeq6,
  ByteSeq7,
  ByteSeq8,
  ByteSeq9,
  ByteSeq10,
  ByteSeq11,
  ByteSeq12,
  ByteSeq13,
  ByteSeq14,
  ByteSeq15,
  ByteSeq16,
  JustFail,
};

inline constexpr std::size_t kUnbounded = std::numeric_limits<std::size_t>::max();

// The length of a ByteSeq instruction's run.
constexpr std::size_t byte_seq_length(Op op) noexcept {
  return static_cast<std::size_t>(op) - static_cast<std::size_t>(Op::ByteSeq1) + 1;
}
constexpr bool is_byte_seq(Op op) noexcept {
  return op >= Op::ByteSeq1 && op <= Op::ByteSeq16;
}

struct LoopFields {
  std::uint16_t loop_id = 0;
  std::size_t min_iters = 0;
  std::size_t max_iters = kUnbounded;
  bool greedy = true;
  std::uint32_t exit = 0;  // the index just after the loop's LoopAgain
};

struct LookaroundFields {
  bool negate = false;
  std::uint16_t start_group = 0;
  std::uint16_t end_group = 0;
  std::uint32_t continuation = 0;  // the index after the body's Goal
};

struct ScmFields {
  std::size_t min_iters = 0;
  std::size_t max_iters = kUnbounded;
  bool greedy = true;
};

struct BackRefFields {
  std::uint32_t group = 0;  // from 0
  bool icase = false;
};

// One instruction: an opcode and the operands of its kind, in one fixed-size slot (no heap memory).
struct Insn {
  Op op = Op::JustFail;
  union {
    char32_t cp;                    // Char
    bool flag;                      // StartOfLine, EndOfLine (multiline); WordBoundary* (invert)
    LoopFields loop;                // EnterLoop
    std::uint32_t target;           // LoopAgain (begin), Jump (target), Alt (secondary)
    std::uint16_t group;            // Begin/End/ResetCaptureGroup
    BackRefFields backref;          // BackRef
    std::size_t bracket;            // Bracket: index into the bracket table
    bytesearch::AsciiBitmap ascii;  // AsciiBracket
    LookaroundFields look;          // Lookahead, Lookbehind
    ScmFields scm;                  // Loop1CharBody
    char32_t chars[4];              // CharSet
    std::uint8_t bytes[16];         // ByteSet2..4, ByteSeq1..16
  };

  Insn() : bytes{} {}
  explicit Insn(Op o) : op(o), bytes{} {}
};

std::string debug(const Insn& insn);

struct CompiledRegex {
  std::vector<Insn> insns;
  std::vector<types::BracketContents> brackets;
  startpredicate::StartPredicate start_pred;
  std::vector<std::string> group_names;  // empty, or one per group ("" for an unnamed one)
  std::uint32_t loops = 0;
  std::uint32_t groups = 0;
  types::Flags flags;
  // When the program begins with a greedy unbounded run of one single-character instruction (X* or
  // X+), that instruction's index: an attempt that failed at p fails at every later start inside the
  // same run, since it would try a subset of the same continuation positions.
  std::optional<std::uint32_t> leading_run;
};

// Whether an instruction tests one character (the bodies a single-character loop takes).
bool is_single_character(Op op);

// The leading_run of a program (see CompiledRegex).
std::optional<std::uint32_t> find_leading_run(const CompiledRegex& re);

}  // namespace zarnu_regex::insn
