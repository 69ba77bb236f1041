// Literal text as pieces the emitter can match cheaply: UTF-8 byte runs, small byte sets for ASCII case
// variants, single code points (surrogates) and small code point sets for other case variants.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace zarnu_regex::literal {

struct Piece {
  enum class Kind : std::uint8_t { CodePoint, Bytes, ByteSet, CodePointSet } kind = Kind::Bytes;
  std::vector<std::uint8_t> bytes;  // Bytes, ByteSet
  std::vector<char32_t> cps;        // CodePoint (one), CodePointSet (2 to 4)
};

// The pieces of a code point sequence matched with or without case folding (`unicode` selects the rule).
std::vector<Piece> pieces_for(std::span<const char32_t> cps, bool icase, bool unicode);

}  // namespace zarnu_regex::literal
