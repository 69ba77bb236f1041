// The emitter: turns the optimised tree into the flat instruction program, with an explicit work list
// instead of recursion.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "insn.hpp"
#include "ir.hpp"
#include "literal.hpp"
#include "types.hpp"

namespace zarnu_regex::emit {

insn::CompiledRegex emit(const ir::Node& root, types::Flags flags);

class Emitter {
 public:
  explicit Emitter(types::Flags flags);

  void emit_node(const ir::Node& node);
  // The instructions of a literal code point sequence (case-insensitive with `icase`).
  void emit_code_point_sequence(std::span<const char32_t> cps, bool icase);
  // One ByteSeq instruction of 1 to 16 bytes.
  void emit_byte_sequence_insn(std::span<const std::uint8_t> bytes);

  insn::CompiledRegex finish() &&;

 private:
  insn::Insn& append(insn::Op op);
  std::uint32_t here() const noexcept { return static_cast<std::uint32_t>(re_.insns.size()); }
  void emit_bytes(std::span<const std::uint8_t> bytes);
  void emit_byte_set(std::span<const std::uint8_t> bytes);
  void emit_char_set(std::span<const char32_t> cps);
  void emit_piece(const literal::Piece& piece);
  void emit_bracket(const ir::Node& node);
  void emit_string_alternation(const ir::Node& node);
  insn::Insn& patch(std::uint32_t at, insn::Op expected, const char* message);

  insn::CompiledRegex re_;
  std::vector<std::string> names_;
  std::uint16_t next_loop_id_ = 0;
  bool backwards_ = false;
};

}  // namespace zarnu_regex::emit
