// The engine's one representation of a set of code points: sorted, disjoint, non-adjacent inclusive
// intervals, so that every set has exactly one form and equality is equality of the interval lists.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace zarnu_regex::codepointset {

struct Interval {
  std::uint32_t first = 0;
  std::uint32_t last = 0;  // inclusive

  friend constexpr bool operator==(const Interval&, const Interval&) = default;
};

inline constexpr std::uint32_t kCodePointMax = 0x10FFFF;

class CodePointSet {
 public:
  CodePointSet() = default;
  // A copy of a table that is already sorted, disjoint and non-adjacent.
  explicit CodePointSet(std::span<const Interval> intervals) : ivs_(intervals.begin(), intervals.end()) {}

  // Adds first..=last (first <= last), merging with touching or overlapping intervals.
  void add(Interval iv);
  void add(std::uint32_t first, std::uint32_t last) { add(Interval{first, last}); }
  void add_one(std::uint32_t cp) { add(Interval{cp, cp}); }
  // Adds every interval of another set (the larger of the two serves as the target).
  void add_set(CodePointSet other);

  bool contains(std::uint32_t cp) const noexcept;
  // Every code point of 0..=0x10FFFF not in this set.
  CodePointSet inverted() const;
  // Removes (keeps only) the code points of a sorted, disjoint interval list.
  void remove(std::span<const Interval> r);
  void intersect(std::span<const Interval> o);

  std::span<const Interval> intervals() const noexcept { return ivs_; }
  bool empty() const noexcept { return ivs_.empty(); }
  std::size_t interval_count() const noexcept { return ivs_.size(); }
  // The number of code points in the set.
  std::uint64_t count() const noexcept;
  bool is_full() const noexcept { return ivs_.size() == 1 && ivs_[0] == Interval{0, kCodePointMax}; }

  friend bool operator==(const CodePointSet&, const CodePointSet&) = default;

 private:
  std::vector<Interval> ivs_;
};

}  // namespace zarnu_regex::codepointset
