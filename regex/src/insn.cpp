// Debug forms of instructions, as they appear in internal error messages and tests.
#include "insn.hpp"

#include <cstring>

namespace zarnu_regex::insn {

namespace {

std::string boolean(bool b) {
  return b ? "true" : "false";
}

std::string byte_list(const std::uint8_t* bytes, std::size_t n) {
  std::string out = "[";
  for (std::size_t i = 0; i < n; ++i) out += (i ? ", " : "") + std::to_string(bytes[i]);
  return out + "]";
}

}  // namespace

std::string debug(const Insn& in) {
  switch (in.op) {
    case Op::Goal:
      return "Goal";
    case Op::Char:
      return "Char(" + std::to_string(in.cp) + ")";
    case Op::StartOfLine:
      return "StartOfLine { multiline: " + boolean(in.flag) + " }";
    case Op::EndOfLine:
      return "EndOfLine { multiline: " + boolean(in.flag) + " }";
    case Op::MatchAny:
      return "MatchAny";
    case Op::MatchAnyExceptLineTerminator:
      return "MatchAnyExceptLineTerminator";
    case Op::EnterLoop:
      return "EnterLoop(LoopFields { loop_id: " + std::to_string(in.loop.loop_id) +
             ", min_iters: " + std::to_string(in.loop.min_iters) +
             ", max_iters: " + std::to_string(in.loop.max_iters) + ", greedy: " + boolean(in.loop.greedy) +
             ", exit: " + std::to_string(in.loop.exit) + " })";
    case Op::LoopAgain:
      return "LoopAgain { begin: " + std::to_string(in.target) + " }";
    case Op::Loop1CharBody:
      return "Loop1CharBody { min_iters: " + std::to_string(in.scm.min_iters) +
             ", max_iters: " + std::to_string(in.scm.max_iters) + ", greedy: " + boolean(in.scm.greedy) +
             " }";
    case Op::Jump:
      return "Jump { target: " + std::to_string(in.target) + " }";
    case Op::Alt:
      return "Alt { secondary: " + std::to_string(in.target) + " }";
    case Op::BeginCaptureGroup:
      return "BeginCaptureGroup(" + std::to_string(in.group) + ")";
    case Op::EndCaptureGroup:
      return "EndCaptureGroup(" + std::to_string(in.group) + ")";
    case Op::ResetCaptureGroup:
      return "ResetCaptureGroup(" + std::to_string(in.group) + ")";
    case Op::BackRef:
      return "BackRef { group: " + std::to_string(in.backref.group) +
             ", icase: " + boolean(in.backref.icase) + " }";
    case Op::Bracket:
      return "Bracket(" + std::to_string(in.bracket) + ")";
    case Op::AsciiBracket:
      return "AsciiBracket(" + in.ascii.debug() + ")";
    case Op::Lookahead:
    case Op::Lookbehind:
      return std::string(in.op == Op::Lookahead ? "Lookahead" : "Lookbehind") +
             " { negate: " + boolean(in.look.negate) +
             ", start_group: " + std::to_string(in.look.start_group) +
             ", end_group: " + std::to_string(in.look.end_group) +
             ", continuation: " + std::to_string(in.look.continuation) + " }";
    case Op::WordBoundary:
      return "WordBoundary { invert: " + boolean(in.flag) + " }";
    case Op::WordBoundaryUnicodeICase:
      return "WordBoundaryUnicodeICase { invert: " + boolean(in.flag) + " }";
    case Op::CharSet: {
      std::string out = "CharSet([";
      for (int i = 0; i < 4; ++i) out += (i ? ", " : "") + std::to_string(in.chars[i]);
      return out + "])";
    }
    case Op::ByteSet2:
    case Op::ByteSet3:
    case Op::ByteSet4: {
      const std::size_t n = static_cast<std::size_t>(in.op) - static_cast<std::size_t>(Op::ByteSet2) + 2;
      return "ByteSet" + std::to_string(n) + "(ByteArraySet(" + byte_list(in.bytes, n) + "))";
    }
    case Op::ByteSeq1:
    case Op::ByteSeq2:
    case Op::ByteSeq3:
    case Op::ByteSeq4:
    case Op::ByteSeq5:
    case Op::ByteSeq6:
    case Op::ByteSeq7:
    case Op::ByteSeq8:
    case Op::ByteSeq9:
    case Op::ByteSeq10:
    case Op::ByteSeq11:
    case Op::ByteSeq12:
    case Op::ByteSeq13:
    case Op::ByteSeq14:
    case Op::ByteSeq15:
    case Op::ByteSeq16: {
      const std::size_t n = byte_seq_length(in.op);
      return "ByteSeq" + std::to_string(n) + "(" + byte_list(in.bytes, n) + ")";
    }
    case Op::JustFail:
      return "JustFail";
  }
  return "?";
}

bool is_single_character(Op op) {
  switch (op) {
    case Op::Char:
    case Op::CharSet:
    case Op::Bracket:
    case Op::AsciiBracket:
    case Op::MatchAny:
    case Op::MatchAnyExceptLineTerminator:
    case Op::ByteSet2:
    case Op::ByteSet3:
    case Op::ByteSet4:
    case Op::ByteSeq1:
    case Op::ByteSeq2:
    case Op::ByteSeq3:
    case Op::ByteSeq4:
    case Op::ByteSeq5:
    case Op::ByteSeq6:
      return true;
    default:
      return false;
  }
}

std::optional<std::uint32_t> find_leading_run(const CompiledRegex& re) {
  auto greedy_unbounded = [&](std::size_t at) {
    return at + 1 < re.insns.size() && re.insns[at].op == Op::Loop1CharBody && re.insns[at].scm.greedy &&
           re.insns[at].scm.max_iters == kUnbounded && is_single_character(re.insns[at + 1].op);
  };
  if (greedy_unbounded(0)) return 1;
  // X followed by X*: the form X+ takes once the optimizer has unrolled its first iteration.
  if (re.insns.size() > 2 && is_single_character(re.insns[0].op) && greedy_unbounded(1) &&
      re.insns[0].op == re.insns[2].op && std::memcmp(re.insns[0].bytes, re.insns[2].bytes, 16) == 0)
    return 0;
  return std::nullopt;
}

}  // namespace zarnu_regex::insn
