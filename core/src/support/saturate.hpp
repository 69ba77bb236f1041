// Saturating conversion of a double to an integer: out-of-range values clamp to the type's bounds and
// NaN becomes 0. Every place where a double becomes an index, count, length, offset or duration uses it.
#pragma once

#include <concepts>
#include <limits>

namespace zarnu_core {

template <std::integral I>
constexpr I saturate_cast(double x) noexcept {
  if (x != x) return 0;
  // The bounds as doubles: the maximum of a 64-bit type rounds up to 2^64 (or 2^63), so compare with >=.
  constexpr double lo = static_cast<double>(std::numeric_limits<I>::min());
  constexpr double hi = static_cast<double>(std::numeric_limits<I>::max());
  if (x <= lo) return std::numeric_limits<I>::min();
  if (x >= hi) return std::numeric_limits<I>::max();
  return static_cast<I>(x);
}

}  // namespace zarnu_core
