// Small helpers shared by the engine's stages: invariant failures, UTF-8 encoding and character steps.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>

namespace zarnu_regex::util {

// An internal invariant failure of the engine. It never stands for a problem of the pattern or the text;
// the embedding program decides how to report it.
class Panic : public std::logic_error {
 public:
  explicit Panic(const std::string& message) : std::logic_error(message) {}
};

// Stops with "internal error: entered unreachable code: " followed by `what`.
[[noreturn]] void unreachable(std::string_view what);
// Stops with a fixed message of its own.
[[noreturn]] void panic(std::string_view message);

inline constexpr char32_t kMaxCodePoint = 0x10FFFF;

inline constexpr bool is_surrogate(char32_t c) noexcept {
  return c >= 0xD800 && c <= 0xDFFF;
}
inline constexpr bool is_scalar_value(char32_t c) noexcept {
  return c <= kMaxCodePoint && !is_surrogate(c);
}

// The length of the UTF-8 sequence a lead byte starts (a stray continuation byte counts 2, which only
// invalid text could show).
inline constexpr std::size_t utf8_sequence_length(std::uint8_t lead) noexcept {
  if (lead < 0x80) return 1;
  if (lead >= 0xF0) return 4;
  if (lead >= 0xE0) return 3;
  return 2;
}

// Writes the UTF-8 encoding of a code point (surrogates encoded like any other value) and returns its
// length, 1 to 4.
inline std::size_t utf8_encode(char32_t c, std::uint8_t out[4]) noexcept {
  if (c < 0x80) {
    out[0] = static_cast<std::uint8_t>(c);
    return 1;
  }
  if (c < 0x800) {
    out[0] = static_cast<std::uint8_t>(0xC0 | (c >> 6));
    out[1] = static_cast<std::uint8_t>(0x80 | (c & 0x3F));
    return 2;
  }
  if (c < 0x10000) {
    out[0] = static_cast<std::uint8_t>(0xE0 | (c >> 12));
    out[1] = static_cast<std::uint8_t>(0x80 | ((c >> 6) & 0x3F));
    out[2] = static_cast<std::uint8_t>(0x80 | (c & 0x3F));
    return 3;
  }
  out[0] = static_cast<std::uint8_t>(0xF0 | ((c >> 18) & 0x07));
  out[1] = static_cast<std::uint8_t>(0x80 | ((c >> 12) & 0x3F));
  out[2] = static_cast<std::uint8_t>(0x80 | ((c >> 6) & 0x3F));
  out[3] = static_cast<std::uint8_t>(0x80 | (c & 0x3F));
  return 4;
}

// The first byte of a code point's UTF-8 encoding.
inline constexpr std::uint8_t utf8_first_byte(char32_t c) noexcept {
  if (c < 0x80) return static_cast<std::uint8_t>(c);
  if (c < 0x800) return static_cast<std::uint8_t>(0xC0 + (c >> 6));
  if (c < 0x10000) return static_cast<std::uint8_t>(0xE0 + (c >> 12));
  return static_cast<std::uint8_t>(0xF0 + ((c >> 18) & 7));
}

// Whether two byte runs of length n are equal. The runs the matcher compares are short (at most 16
// bytes for literals), where word loads beat a call into the C library.
inline bool bytes_equal(const std::uint8_t* a, const std::uint8_t* b, std::size_t n) noexcept {
  auto load64 = [](const std::uint8_t* p) {
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
  };
  auto load32 = [](const std::uint8_t* p) {
    std::uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
  };
  if (n >= 8) {
    for (std::size_t i = 0; i + 8 <= n; i += 8)
      if (load64(a + i) != load64(b + i)) return false;
    return load64(a + n - 8) == load64(b + n - 8);
  }
  if (n >= 4) return load32(a) == load32(b) && load32(a + n - 4) == load32(b + n - 4);
  for (std::size_t i = 0; i < n; ++i)
    if (a[i] != b[i]) return false;
  return true;
}

// Decodes a UTF-8 text into code points; the engine's own callers pass valid text.
std::u32string utf8_decode(std::string_view text);

}  // namespace zarnu_regex::util
