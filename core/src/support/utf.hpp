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
