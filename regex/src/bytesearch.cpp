// Byte searches for the start predicates: the C library's memchr and memmem, and SSE2 scans for two and
// three bytes (a plain loop where SSE2 is missing).
#include "bytesearch.hpp"

#include <bit>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace zarnu_regex::bytesearch {

std::string AsciiBitmap::debug() const {
  std::string out = "AsciiBitmap [";
  bool first = true;
  for (int v = 0; v < 128; ++v) {
    if (!contains(static_cast<std::uint8_t>(v))) continue;
    int end = v;
    while (end + 1 < 128 && contains(static_cast<std::uint8_t>(end + 1))) ++end;
    if (!first) out.push_back(' ');
    first = false;
    out.append(std::to_string(v));
    if (end > v) {
      out.push_back('-');
      out.append(std::to_string(end));
    }
    v = end;
  }
  return out + "]";
}

std::size_t ByteBitmap::count() const noexcept {
  std::size_t n = 0;
  for (std::uint16_t w : words) n += static_cast<std::size_t>(std::popcount(w));
  return n;
}

std::vector<std::uint8_t> ByteBitmap::members() const {
  std::vector<std::uint8_t> out;
  for (int b = 0; b < 256; ++b)
    if (contains(static_cast<std::uint8_t>(b))) out.push_back(static_cast<std::uint8_t>(b));
  return out;
}

std::size_t find_byte(const std::uint8_t* hay, std::size_t len, std::size_t from, std::uint8_t a) noexcept {
  if (from >= len) return len;
  const void* hit = std::memchr(hay + from, a, len - from);
  return hit ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - hay) : len;
}

namespace {

template <class Match>
std::size_t scan(const std::uint8_t* hay, std::size_t len, std::size_t from, Match match) noexcept {
  std::size_t i = from;
  for (; i < len; ++i)
    if (match(hay[i])) return i;
  return len;
}

}  // namespace

std::size_t find_byte2(const std::uint8_t* hay, std::size_t len, std::size_t from, std::uint8_t a,
                       std::uint8_t b) noexcept {
  std::size_t i = from;
#if defined(__SSE2__)
  const __m128i va = _mm_set1_epi8(static_cast<char>(a)), vb = _mm_set1_epi8(static_cast<char>(b));
  for (; i + 16 <= len; i += 16) {
    const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(hay + i));
    const int mask = _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(chunk, va), _mm_cmpeq_epi8(chunk, vb)));
    if (mask) return i + static_cast<std::size_t>(std::countr_zero(static_cast<unsigned>(mask)));
  }
#endif
  return scan(hay, len, i, [&](std::uint8_t x) { return x == a || x == b; });
}

std::size_t find_byte3(const std::uint8_t* hay, std::size_t len, std::size_t from, std::uint8_t a,
                       std::uint8_t b, std::uint8_t c) noexcept {
  std::size_t i = from;
#if defined(__SSE2__)
  const __m128i va = _mm_set1_epi8(static_cast<char>(a)), vb = _mm_set1_epi8(static_cast<char>(b)),
                vc = _mm_set1_epi8(static_cast<char>(c));
  for (; i + 16 <= len; i += 16) {
    const __m128i chunk = _mm_loadu_si128(reinterpret_cast<const __m128i*>(hay + i));
    const __m128i eq = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(chunk, va), _mm_cmpeq_epi8(chunk, vb)),
                                    _mm_cmpeq_epi8(chunk, vc));
    const int mask = _mm_movemask_epi8(eq);
    if (mask) return i + static_cast<std::size_t>(std::countr_zero(static_cast<unsigned>(mask)));
  }
#endif
  return scan(hay, len, i, [&](std::uint8_t x) { return x == a || x == b || x == c; });
}

std::size_t find_in_bitmap(const std::uint8_t* hay, std::size_t len, std::size_t from,
                           const ByteBitmap& set) noexcept {
  return scan(hay, len, from, [&](std::uint8_t x) { return set.contains(x); });
}

std::size_t PrefixSearcher::find(const std::uint8_t* hay, std::size_t len, std::size_t from) const noexcept {
  const std::size_t n = needle_.size();
  if (from > len || len - from < n) return len;
#if defined(__SSE2__)
  // Sixteen positions at a time: those where both the first and the last byte of the needle stand are
  // compared in full. Much faster than the C library on text where that pair is rare.
  if (n >= 2) {
    const __m128i first = _mm_set1_epi8(static_cast<char>(needle_.front()));
    const __m128i last = _mm_set1_epi8(static_cast<char>(needle_.back()));
    for (; from + n - 1 + 16 <= len; from += 16) {
      const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(hay + from));
      const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(hay + from + n - 1));
      auto mask = static_cast<unsigned>(
          _mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(a, first), _mm_cmpeq_epi8(b, last))));
      for (; mask != 0; mask &= mask - 1) {
        const std::size_t at = from + static_cast<std::size_t>(std::countr_zero(mask));
        if (std::memcmp(hay + at + 1, needle_.data() + 1, n - 2) == 0) return at;
      }
    }
    if (len - from < n) return len;
  }
#endif
  const void* hit = memmem(hay + from, len - from, needle_.data(), needle_.size());
  return hit ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - hay) : len;
}

}  // namespace zarnu_regex::bytesearch
