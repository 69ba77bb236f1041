// The searched text as the matcher reads it: UTF-8 bytes with bounds-checked decoding of the code point
// after and before a position.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "position.hpp"
#include "util.hpp"

namespace zarnu_regex::indexing {

using position::RefPosition;

// A decoded character and the number of bytes it spans.
struct Decoded {
  char32_t cp;
  std::size_t len;
};

struct Utf8Input {
  const std::uint8_t* data = nullptr;
  std::size_t len = 0;
  bool unicode = false;  // selects the case mapping of case-insensitive backreferences

  Utf8Input() = default;
  Utf8Input(std::string_view text, bool uni) noexcept
      : data(reinterpret_cast<const std::uint8_t*>(text.data())), len(text.size()), unicode(uni) {}

  std::uint8_t byte(std::size_t i) const {
    if (i >= len) [[unlikely]]
      util::unreachable("index out of bounds");
    return data[i];
  }

  // The character that starts at `pos` (pos < len).
  Decoded decode_after(RefPosition pos) const {
    const std::uint8_t lead = data[pos];
    if (lead < 0x80) return {lead, 1};
    const std::size_t n = util::utf8_sequence_length(lead);
    if (pos + n > len) [[unlikely]]
      util::unreachable("index out of bounds");
    char32_t c;
    if (n == 2)
      c = ((lead & 0x1Fu) << 6) | (data[pos + 1] & 0x3Fu);
    else if (n == 3)
      c = ((lead & 0x0Fu) << 12) | ((data[pos + 1] & 0x3Fu) << 6) | (data[pos + 2] & 0x3Fu);
    else
      c = ((lead & 0x07u) << 18) | ((data[pos + 1] & 0x3Fu) << 12) | ((data[pos + 2] & 0x3Fu) << 6) |
          (data[pos + 3] & 0x3Fu);
    if (!util::is_scalar_value(c)) [[unlikely]]
      util::unreachable("Should have decoded a valid char from utf8 sequence");
    return {c, n};
  }

  // The character that ends at `pos` (pos > 0).
  Decoded decode_before(RefPosition pos) const {
    const std::uint8_t last = data[pos - 1];
    if (last < 0x80) return {last, 1};
    std::size_t n = 2;
    while (n < 4 && (pos < n || data[pos - n] < 0xC0)) ++n;
    if (pos < n) [[unlikely]]
      util::unreachable("index out of bounds");
    return {decode_after(pos - n).cp, n};
  }
};

}  // namespace zarnu_regex::indexing
