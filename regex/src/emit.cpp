// Emission: one layout per node kind, deferred patches of jump targets, loop exits and lookaround
// continuations, literal chunking (from the end of a run inside a lookbehind), and the group names.
#include "emit.hpp"

#include <algorithm>
#include <cstring>

#include "util.hpp"

namespace zarnu_regex::emit {

using insn::Insn;
using insn::Op;
using ir::Node;
using ir::NodeKind;

Emitter::Emitter(types::Flags flags) {
  re_.flags = flags;
}

Insn& Emitter::append(Op op) {
  return re_.insns.emplace_back(op);
}

Insn& Emitter::patch(std::uint32_t at, Op expected, const char* message) {
  Insn& in = re_.insns.at(at);
  if (in.op != expected && !(expected == Op::Lookahead && in.op == Op::Lookbehind))
    util::unreachable(message);
  return in;
}

void Emitter::emit_byte_sequence_insn(std::span<const std::uint8_t> bytes) {
  if (bytes.empty() || bytes.size() > 16) util::unreachable("Unexpected chunk size");
  Insn& in = append(static_cast<Op>(static_cast<std::size_t>(Op::ByteSeq1) + bytes.size() - 1));
  std::memcpy(in.bytes, bytes.data(), bytes.size());
}

void Emitter::emit_bytes(std::span<const std::uint8_t> bytes) {
  if (!backwards_) {
    for (std::size_t at = 0; at < bytes.size(); at += 16)
      emit_byte_sequence_insn(bytes.subspan(at, std::min<std::size_t>(16, bytes.size() - at)));
    return;
  }
  // Matched right to left: the chunk met first is the rightmost one.
  std::size_t end = bytes.size();
  while (end > 0) {
    const std::size_t len = end == bytes.size() && end % 16 != 0 ? end % 16 : 16;
    emit_byte_sequence_insn(bytes.subspan(end - len, len));
    end -= len;
  }
}

void Emitter::emit_byte_set(std::span<const std::uint8_t> bytes) {
  switch (bytes.size()) {
    case 0:
      append(Op::JustFail);
      return;
    case 1:
      emit_byte_sequence_insn(bytes);
      return;
    case 2:
    case 3:
    case 4: {
      Insn& in = append(static_cast<Op>(static_cast<std::size_t>(Op::ByteSet2) + bytes.size() - 2));
      std::memcpy(in.bytes, bytes.data(), bytes.size());
      return;
    }
    default:
      util::unreachable("Byte set is too long");
  }
}

void Emitter::emit_char_set(std::span<const char32_t> cps) {
  if (cps.empty()) {
    append(Op::JustFail);
    return;
  }
  if (cps.size() > 4) util::unreachable("Unicode case fold exceeded maximum expansion");
  Insn& in = append(Op::CharSet);
  for (std::size_t i = 0; i < 4; ++i) in.chars[i] = i < cps.size() ? cps[i] : cps[0];
}

void Emitter::emit_piece(const literal::Piece& piece) {
  switch (piece.kind) {
    case literal::Piece::Kind::CodePoint:
      append(Op::Char).cp = piece.cps[0];
      break;
    case literal::Piece::Kind::Bytes:
      emit_bytes(piece.bytes);
      break;
    case literal::Piece::Kind::ByteSet:
      emit_byte_set(piece.bytes);
      break;
    case literal::Piece::Kind::CodePointSet:
      emit_char_set(piece.cps);
      break;
  }
}

void Emitter::emit_code_point_sequence(std::span<const char32_t> cps, bool icase) {
  const auto pieces = literal::pieces_for(cps, icase, re_.flags.unicode);
  // Inside a lookbehind the pieces run right to left, the last piece first.
  if (backwards_)
    for (auto it = pieces.rbegin(); it != pieces.rend(); ++it) emit_piece(*it);
  else
    for (const auto& p : pieces) emit_piece(p);
}

void Emitter::emit_bracket(const Node& node) {
  const auto ivs = node.cps.intervals();
  if (!node.invert && (ivs.empty() || ivs.back().last < 0x80)) {
    Insn& in = append(Op::AsciiBracket);
    in.ascii = bytesearch::AsciiBitmap{};
    for (const auto& iv : ivs)
      for (std::uint32_t c = iv.first; c <= iv.last; ++c) in.ascii.set(static_cast<std::uint8_t>(c));
    return;
  }
  append(Op::Bracket).bracket = re_.brackets.size();
  re_.brackets.push_back(types::BracketContents{node.cps, node.invert});
}

void Emitter::emit_string_alternation(const Node& node) {
  if (node.strings.empty()) {
    append(Op::JustFail);
    return;
  }
  std::vector<std::uint32_t> jumps;
  for (std::size_t i = 0; i + 1 < node.strings.size(); ++i) {
    const std::uint32_t alt = here();
    append(Op::Alt);
    emit_code_point_sequence(node.strings[i], node.icase);
    jumps.push_back(here());
    append(Op::Jump);
    patch(alt, Op::Alt, "Should be an Alt instruction").target = here();
  }
  emit_code_point_sequence(node.strings.back(), node.icase);
  for (std::uint32_t j : jumps) patch(j, Op::Jump, "Should be a Jump instruction").target = here();
}

void Emitter::emit_node(const Node& root) {
  // Pending actions, the most recently added first.
  struct Action {
    enum class Kind : std::uint8_t { Emit, AltMiddle, AltEnd, GroupEnd, LookaroundEnd, LoopEnd } kind;
    const Node* node = nullptr;
    std::uint32_t at = 0;
    bool saved_backwards = false;
  };
  std::vector<Action> work;
  work.push_back({Action::Kind::Emit, &root});
  while (!work.empty()) {
    const Action a = work.back();
    work.pop_back();
    switch (a.kind) {
      case Action::Kind::AltMiddle: {
        const std::uint32_t jump = here();
        append(Op::Jump);
        patch(a.at, Op::Alt, "Should be an Alt instruction").target = jump + 1;
        work.push_back({Action::Kind::Emit, a.node});
        continue;
      }
      case Action::Kind::AltEnd: {
        const std::uint32_t jump = patch(a.at, Op::Alt, "Should be an Alt instruction").target - 1;
        patch(jump, Op::Jump, "Should be a Jump instruction").target = here();
        continue;
      }
      case Action::Kind::GroupEnd:
        append(Op::EndCaptureGroup).group = static_cast<std::uint16_t>(a.at);
        continue;
      case Action::Kind::LookaroundEnd:
        append(Op::Goal);
        patch(a.at, Op::Lookahead, "Should be a Lookaround instruction").look.continuation = here();
        backwards_ = a.saved_backwards;
        continue;
      case Action::Kind::LoopEnd:
        append(Op::LoopAgain).target = a.at;
        patch(a.at, Op::EnterLoop, "Should be an EnterLoop instruction").loop.exit = here();
        continue;
      case Action::Kind::Emit:
        break;
    }
    const Node& n = *a.node;
    switch (n.kind) {
      case NodeKind::Empty:
        break;
      case NodeKind::Goal:
        append(Op::Goal);
        break;
      case NodeKind::Char:
        append(Op::Char).cp = n.cp;
        break;
      case NodeKind::ByteSeq:
        emit_bytes(n.bytes);
        break;
      case NodeKind::ByteSet:
        emit_byte_set(n.bytes);
        break;
      case NodeKind::CharSet:
        emit_char_set(n.chars);
        break;
      case NodeKind::Cat:
        for (auto it = n.items.rbegin(); it != n.items.rend(); ++it)
          work.push_back({Action::Kind::Emit, &*it});
        break;
      case NodeKind::Alt: {
        const std::uint32_t alt = here();
        append(Op::Alt);
        work.push_back({Action::Kind::AltEnd, nullptr, alt});
        work.push_back({Action::Kind::AltMiddle, n.right.get(), alt});
        work.push_back({Action::Kind::Emit, n.left.get()});
        break;
      }
      case NodeKind::MatchAny:
        append(Op::MatchAny);
        break;
      case NodeKind::MatchAnyExceptLineTerminator:
        append(Op::MatchAnyExceptLineTerminator);
        break;
      case NodeKind::Anchor:
        append(n.anchor == ir::AnchorType::StartOfLine ? Op::StartOfLine : Op::EndOfLine).flag = n.multiline;
        break;
      case NodeKind::WordBoundary:
        append(n.unicode_icase ? Op::WordBoundaryUnicodeICase : Op::WordBoundary).flag = n.invert;
        break;
      case NodeKind::CaptureGroup:
        append(Op::BeginCaptureGroup).group = n.group;
        ++re_.groups;
        names_.push_back(n.name.value_or(std::string()));
        work.push_back({Action::Kind::GroupEnd, nullptr, n.group});
        work.push_back({Action::Kind::Emit, n.body.get()});
        break;
      case NodeKind::BackRef: {
        Insn& in = append(Op::BackRef);
        in.backref = insn::BackRefFields{n.backref - 1, n.icase};
        break;
      }
      case NodeKind::Bracket:
        emit_bracket(n);
        break;
      case NodeKind::StringAlternation:
        emit_string_alternation(n);
        break;
      case NodeKind::Lookaround: {
        const std::uint32_t at = here();
        Insn& in = append(n.backwards ? Op::Lookbehind : Op::Lookahead);
        in.look = insn::LookaroundFields{n.negate, n.start_group, n.end_group, 0};
        work.push_back({Action::Kind::LookaroundEnd, nullptr, at, backwards_});
        backwards_ = n.backwards;
        work.push_back({Action::Kind::Emit, n.body.get()});
        break;
      }
      case NodeKind::Loop: {
        const std::uint32_t at = here();
        Insn& in = append(Op::EnterLoop);
        in.loop = insn::LoopFields{next_loop_id_++, n.min, n.max.value_or(insn::kUnbounded), n.greedy, 0};
        ++re_.loops;
        for (std::uint16_t g = n.start_group; g < n.end_group; ++g) append(Op::ResetCaptureGroup).group = g;
        work.push_back({Action::Kind::LoopEnd, nullptr, at});
        work.push_back({Action::Kind::Emit, n.body.get()});
        break;
      }
      case NodeKind::Loop1CharBody: {
        Insn& in = append(Op::Loop1CharBody);
        in.scm = insn::ScmFields{n.min, n.max.value_or(insn::kUnbounded), n.greedy};
        work.push_back({Action::Kind::Emit, n.body.get()});
        break;
      }
    }
  }
}

insn::CompiledRegex Emitter::finish() && {
  const bool named =
      std::any_of(names_.begin(), names_.end(), [](const std::string& s) { return !s.empty(); });
  if (named) {
    names_.shrink_to_fit();
    re_.group_names = std::move(names_);
  }
  return std::move(re_);
}

insn::CompiledRegex emit(const Node& root, types::Flags flags) {
  Emitter e(flags);
  auto pred = startpredicate::StartPredicate::for_tree(root, flags.multiline);
  e.emit_node(root);
  insn::CompiledRegex re = std::move(e).finish();
  re.start_pred = std::move(pred);
  re.leading_run = insn::find_leading_run(re);
  return re;
}

}  // namespace zarnu_regex::emit
