// Byte-level searching and small byte sets: the sets that literal instructions test, the first-byte
// bitmap of start predicates, and the searches that skip to candidate positions (memchr and memmem from
// the C library, SSE2 for two and three bytes).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace zarnu_regex::bytesearch {

// Matches any one of N bytes (N = 2, 3 or 4).
template <std::size_t N>
struct ByteArraySet {
  std::array<std::uint8_t, N> bytes{};

  bool contains(std::uint8_t b) const noexcept {
    bool hit = false;
    for (std::uint8_t x : bytes) hit |= x == b;
    return hit;
  }
};

// 128 bits, one per ASCII value: bit v % 8 of byte v / 8.
struct AsciiBitmap {
  std::uint8_t bits[16] = {};

  void set(std::uint8_t v) noexcept { bits[v >> 3] |= static_cast<std::uint8_t>(1u << (v & 7)); }
  bool contains(std::uint8_t v) const noexcept { return v < 128 && (bits[v >> 3] >> (v & 7)) & 1; }
  // "AsciiBitmap [a-b c]": the members in decimal, runs written as first-last.
  std::string debug() const;
};

// 256 bits as 16 words of 16 bits: byte b is bit b % 16 of word b / 16.
struct ByteBitmap {
  std::uint16_t words[16] = {};

  void set(std::uint8_t b) noexcept { words[b >> 4] |= static_cast<std::uint16_t>(1u << (b & 15)); }
  bool contains(std::uint8_t b) const noexcept { return (words[b >> 4] >> (b & 15)) & 1; }
  void add(const ByteBitmap& o) noexcept {
    for (int i = 0; i < 16; ++i) words[i] |= o.words[i];
  }
  std::size_t count() const noexcept;
  // The members in ascending order.
  std::vector<std::uint8_t> members() const;
};

// The first position at or after `from` whose byte is one of the given ones, or `len` when there is
// none.
std::size_t find_byte(const std::uint8_t* hay, std::size_t len, std::size_t from, std::uint8_t a) noexcept;
std::size_t find_byte2(const std::uint8_t* hay, std::size_t len, std::size_t from, std::uint8_t a,
                       std::uint8_t b) noexcept;
std::size_t find_byte3(const std::uint8_t* hay, std::size_t len, std::size_t from, std::uint8_t a,
                       std::uint8_t b, std::uint8_t c) noexcept;
std::size_t find_in_bitmap(const std::uint8_t* hay, std::size_t len, std::size_t from,
                           const ByteBitmap& set) noexcept;

// A substring searcher owning its needle (two bytes or more).
class PrefixSearcher {
 public:
  explicit PrefixSearcher(std::vector<std::uint8_t> needle) : needle_(std::move(needle)) {}
  // The first occurrence at or after `from`, or `len`.
  std::size_t find(const std::uint8_t* hay, std::size_t len, std::size_t from) const noexcept;
  const std::vector<std::uint8_t>& needle() const noexcept { return needle_; }

 private:
  std::vector<std::uint8_t> needle_;
};

}  // namespace zarnu_regex::bytesearch
