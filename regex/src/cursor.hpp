// The two directions of matching. Forward reads the text after a position and moves right; Backward
// (lookbehind bodies) reads the text before it and moves left. The interpreter is instantiated once per
// direction, so nothing is tested per instruction.
#pragma once

#include <cstddef>
#include <optional>

#include "indexing.hpp"

namespace zarnu_regex::cursor {

using indexing::Decoded;
using indexing::Utf8Input;
using position::RefPosition;

struct Forward {
  static constexpr bool kForward = true;

  // The next character in the direction of matching, or nothing at the edge of the text.
  static std::optional<Decoded> peek(const Utf8Input& in, RefPosition pos) {
    if (pos >= in.len) return std::nullopt;
    return in.decode_after(pos);
  }
  static void move(RefPosition& pos, std::size_t n) noexcept { pos += n; }
  // The next byte in the direction of matching; advances over it.
  static bool next_byte(const Utf8Input& in, RefPosition& pos, std::uint8_t& b) noexcept {
    if (pos >= in.len) return false;
    b = in.data[pos++];
    return true;
  }
  // Matches `n` bytes (in text order) next in the direction of matching; advances over them.
  static bool match_bytes(const Utf8Input& in, RefPosition& pos, const std::uint8_t* bytes,
                          std::size_t n) noexcept {
    if (in.len - pos < n || !util::bytes_equal(in.data + pos, bytes, n)) return false;
    pos += n;
    return true;
  }
  // One character further in the direction of matching (the lazy loop takes one more).
  static RefPosition step(const Utf8Input& in, RefPosition pos) {
    if (pos >= in.len) util::unreachable("Should always be able to advance since min != max");
    return pos + util::utf8_sequence_length(in.data[pos]);
  }
  // One character back against the direction of matching (the greedy loop gives one back).
  static RefPosition unstep(const Utf8Input& in, RefPosition pos) {
    if (pos == 0) util::unreachable("Should always be able to advance since min != max");
    return pos - in.decode_before(pos).len;
  }
};

struct Backward {
  static constexpr bool kForward = false;

  static std::optional<Decoded> peek(const Utf8Input& in, RefPosition pos) {
    if (pos == 0) return std::nullopt;
    return in.decode_before(pos);
  }
  static void move(RefPosition& pos, std::size_t n) noexcept { pos -= n; }
  static bool next_byte(const Utf8Input& in, RefPosition& pos, std::uint8_t& b) noexcept {
    if (pos == 0) return false;
    b = in.data[--pos];
    return true;
  }
  static bool match_bytes(const Utf8Input& in, RefPosition& pos, const std::uint8_t* bytes,
                          std::size_t n) noexcept {
    if (pos < n || !util::bytes_equal(in.data + pos - n, bytes, n)) return false;
    pos -= n;
    return true;
  }
  static RefPosition step(const Utf8Input& in, RefPosition pos) {
    if (pos == 0) util::unreachable("Should always be able to advance since min != max");
    return pos - in.decode_before(pos).len;
  }
  static RefPosition unstep(const Utf8Input& in, RefPosition pos) {
    if (pos >= in.len) util::unreachable("Should always be able to advance since min != max");
    return pos + util::utf8_sequence_length(in.data[pos]);
  }
};

}  // namespace zarnu_regex::cursor
