// Character tests shared by the interpreters: line terminators, word characters, the single-character
// instructions in either direction, and case-insensitive backreferences.
#pragma once

#include <cstddef>
#include <optional>

#include "cursor.hpp"
#include "insn.hpp"
#include "unicode.hpp"

namespace zarnu_regex::matchers {

using cursor::Utf8Input;
using position::RefPosition;

inline bool is_line_terminator(char32_t c) noexcept {
  return c == '\n' || c == '\r' || c == 0x2028 || c == 0x2029;
}

inline bool is_word_char(char32_t c) noexcept {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

inline bool is_word_char_unicode_icase(char32_t c) noexcept {
  return is_word_char(c) || c == 0x017F || c == 0x212A;
}

// Whether the character before (after) a position exists and passes a test.
template <class Test>
bool before_is(const Utf8Input& in, RefPosition pos, Test test) {
  return pos > 0 && test(in.decode_before(pos).cp);
}
template <class Test>
bool after_is(const Utf8Input& in, RefPosition pos, Test test) {
  return pos < in.len && test(in.decode_after(pos).cp);
}

// Applies a single-character instruction (the bodies a single-character loop accepts) once in the
// direction `Dir`; on success the position has moved over what it matched.
template <class Dir>
bool match_one(const insn::Insn& in, const insn::CompiledRegex& re, const Utf8Input& input,
               RefPosition& pos) {
  using insn::Op;
  switch (in.op) {
    case Op::Char: {
      auto d = Dir::peek(input, pos);
      if (!d || d->cp != in.cp) return false;
      Dir::move(pos, d->len);
      return true;
    }
    case Op::CharSet: {
      auto d = Dir::peek(input, pos);
      if (!d ||
          (d->cp != in.chars[0] && d->cp != in.chars[1] && d->cp != in.chars[2] && d->cp != in.chars[3]))
        return false;
      Dir::move(pos, d->len);
      return true;
    }
    case Op::MatchAny: {
      auto d = Dir::peek(input, pos);
      if (!d) return false;
      Dir::move(pos, d->len);
      return true;
    }
    case Op::MatchAnyExceptLineTerminator: {
      auto d = Dir::peek(input, pos);
      if (!d || is_line_terminator(d->cp)) return false;
      Dir::move(pos, d->len);
      return true;
    }
    case Op::Bracket: {
      auto d = Dir::peek(input, pos);
      if (!d || !re.brackets[in.bracket].matches(d->cp)) return false;
      Dir::move(pos, d->len);
      return true;
    }
    case Op::AsciiBracket: {
      RefPosition p = pos;
      std::uint8_t b;
      if (!Dir::next_byte(input, p, b) || !in.ascii.contains(b)) return false;
      pos = p;
      return true;
    }
    case Op::ByteSet2:
    case Op::ByteSet3:
    case Op::ByteSet4: {
      const std::size_t n = static_cast<std::size_t>(in.op) - static_cast<std::size_t>(Op::ByteSet2) + 2;
      RefPosition p = pos;
      std::uint8_t b;
      if (!Dir::next_byte(input, p, b)) return false;
      bool hit = false;
      for (std::size_t i = 0; i < n; ++i) hit |= in.bytes[i] == b;
      if (!hit) return false;
      pos = p;
      return true;
    }
    default:
      if (insn::is_byte_seq(in.op))
        return Dir::match_bytes(input, pos, in.bytes, insn::byte_seq_length(in.op));
      return false;
  }
}

// Compares the captured text [start, end) case-insensitively with the text next to the position in the
// direction `Dir` (from its far end when matching backward); on success the position has moved over what
// matched, which may differ in bytes from the capture.
template <class Dir>
bool backref_icase(const Utf8Input& input, RefPosition start, RefPosition end, RefPosition& pos) {
  auto same = [&](char32_t a, char32_t b) {
    if (a == b) return true;
    return input.unicode ? unicode::fold(a) == unicode::fold(b)
                         : unicode::uppercase(a) == unicode::uppercase(b);
  };
  if constexpr (Dir::kForward) {
    RefPosition at = start;
    while (at < end) {
      const auto a = input.decode_after(at);
      at += a.len;
      auto b = Dir::peek(input, pos);
      if (!b || !same(a.cp, b->cp)) return false;
      Dir::move(pos, b->len);
    }
  } else {
    RefPosition at = end;
    while (at > start) {
      const auto a = input.decode_before(at);
      at -= a.len;
      auto b = Dir::peek(input, pos);
      if (!b || !same(a.cp, b->cp)) return false;
      Dir::move(pos, b->len);
    }
  }
  return true;
}

}  // namespace zarnu_regex::matchers
