// Records shared by the compiler and the matcher: the pattern flags, a bracket class's contents and a
// capture group's recorded span.
#pragma once

#include <cstddef>
#include <limits>
#include <string_view>

#include "codepointset.hpp"

namespace zarnu_regex::types {

// A search whose backtrack stack has no bound.
inline constexpr std::size_t kNoBacktrackLimit = static_cast<std::size_t>(-1);

// The flag letters of a pattern: i, m, s, u and v.
struct Flags {
  bool icase = false;
  bool multiline = false;
  bool dot_all = false;
  bool unicode = false;
  bool unicode_sets = false;

  // Reads a flag text; letters other than i, m, s, u and v are ignored.
  static Flags from_text(std::string_view text) noexcept {
    Flags f;
    for (char c : text) {
      if (c == 'i') f.icase = true;
      if (c == 'm') f.multiline = true;
      if (c == 's') f.dot_all = true;
      if (c == 'u') f.unicode = true;
      if (c == 'v') f.unicode_sets = true;
    }
    return f;
  }
  friend bool operator==(const Flags&, const Flags&) = default;
};

// One entry of the bracket table: a set and whether the class is negated (membership is tested first,
// then inverted).
struct BracketContents {
  codepointset::CodePointSet cps;
  bool invert = false;

  bool matches(char32_t c) const noexcept { return cps.contains(c) != invert; }
};

inline constexpr std::size_t kUnset = std::numeric_limits<std::size_t>::max();

// A capture group's span in bytes; kUnset where it has not been recorded.
struct GroupData {
  std::size_t start = kUnset;
  std::size_t end = kUnset;

  bool complete() const noexcept { return start != kUnset && end != kUnset; }
  void reset() noexcept { start = end = kUnset; }
};

}  // namespace zarnu_regex::types
