// UTF-8 text helpers: decoding, encoding, character counts and UTF-16 positions. The language counts
// positions and orders strings in UTF-16 code units while all text is held as UTF-8.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace zarnu_core::utf {

// The length of the UTF-8 sequence that starts with `lead` (1 for a continuation or invalid byte).
inline std::size_t sequence_length(unsigned char lead) noexcept {
  if (lead < 0xC0) return 1;
  if (lead < 0xE0) return 2;
  if (lead < 0xF0) return 3;
  return 4;
}

inline bool is_continuation(unsigned char byte) noexcept {
  return (byte & 0xC0) == 0x80;
}

// The length of the well-formed UTF-8 sequence of a character at `pos` (1 for ASCII), 0 when the bytes there
// are not one. With `surrogates`, the three-byte forms of U+D800..U+DFFF count as well formed too (a host
// string may hold lone surrogates, and the core writes them in that form).
inline std::size_t valid_sequence(std::string_view text, std::size_t pos, bool surrogates) noexcept {
  const auto byte = [&](std::size_t i) -> unsigned {
    return pos + i < text.size() ? static_cast<unsigned char>(text[pos + i]) : 0;
  };
  const unsigned lead = byte(0);
  if (lead < 0x80) return pos < text.size() ? 1 : 0;
  std::size_t n = 0;
  unsigned lo = 0x80, hi = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    n = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    n = 3;
    if (lead == 0xE0) lo = 0xA0;
    if (lead == 0xED && !surrogates) hi = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    n = 4;
    if (lead == 0xF0) lo = 0x90;
    if (lead == 0xF4) hi = 0x8F;
  } else {
    return 0;
  }
  if (byte(1) < lo || byte(1) > hi) return 0;
  for (std::size_t i = 2; i < n; ++i)
    if (!is_continuation(static_cast<unsigned char>(byte(i)))) return 0;
  return n;
}

// Decodes the character at `pos` of well-formed UTF-8 text and advances `pos` past it.
inline char32_t decode(std::string_view text, std::size_t& pos) noexcept {
  auto at = [&](std::size_t i) -> char32_t {
    return i < text.size() ? static_cast<unsigned char>(text[i]) & 0x3F : 0;
  };
  const unsigned char lead = static_cast<unsigned char>(text[pos]);
  if (lead < 0x80) {
    pos += 1;
    return lead;
  }
  if (lead < 0xE0) {
    char32_t c = ((lead & 0x1F) << 6) | at(pos + 1);
    pos += 2;
    return c;
  }
  if (lead < 0xF0) {
    char32_t c = ((lead & 0x0F) << 12) | (at(pos + 1) << 6) | at(pos + 2);
    pos += 3;
    return c;
  }
  char32_t c = ((lead & 0x07) << 18) | (at(pos + 1) << 12) | (at(pos + 2) << 6) | at(pos + 3);
  pos += 4;
  return c;
}

// Appends the UTF-8 form of a code point (surrogates included, as the caller gives them).
void append(std::string& out, char32_t c);

// The number of characters (Unicode scalar values) of UTF-8 text.
std::size_t char_count(std::string_view text) noexcept;

// The number of UTF-16 code units of UTF-8 text: a character above U+FFFF counts 2.
std::size_t utf16_length(std::string_view text) noexcept;

// The UTF-16 code units before a byte offset: the offset is clamped to the text and moved back to the
// start of the character it points into.
std::size_t utf16_position(std::string_view text, std::size_t offset) noexcept;

// Moves a byte offset back to the start of the character it points into (clamped to the text).
std::size_t char_boundary(std::string_view text, std::size_t offset) noexcept;

}  // namespace zarnu_core::utf
