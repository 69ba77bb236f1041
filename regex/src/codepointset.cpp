// Code point sets: adding with merging, membership, inversion, removal and intersection.
#include "codepointset.hpp"

#include <algorithm>
#include <utility>

namespace zarnu_regex::codepointset {

void CodePointSet::add(Interval iv) {
  // The first interval that is not wholly below the new one with a gap between them.
  auto begin = std::partition_point(ivs_.begin(), ivs_.end(),
                                    [&](const Interval& x) { return x.last + 1 < iv.first; });
  // Of those from there on, the ones that touch or overlap it (adjacency counts on both sides).
  auto end = std::partition_point(begin, ivs_.end(),
                                  [&](const Interval& x) { return x.first <= iv.last + std::uint64_t{1}; });
  if (begin == end) {
    ivs_.insert(begin, iv);
    return;
  }
  begin->first = std::min(begin->first, iv.first);
  begin->last = std::max((end - 1)->last, iv.last);
  ivs_.erase(begin + 1, end);
}

void CodePointSet::add_set(CodePointSet other) {
  if (other.ivs_.size() > ivs_.size()) std::swap(ivs_, other.ivs_);
  for (const Interval& iv : other.ivs_) add(iv);
}

bool CodePointSet::contains(std::uint32_t cp) const noexcept {
  auto it = std::upper_bound(ivs_.begin(), ivs_.end(), cp,
                             [](std::uint32_t v, const Interval& x) { return v < x.first; });
  if (it == ivs_.begin()) return false;
  return cp <= (it - 1)->last;
}

CodePointSet CodePointSet::inverted() const {
  CodePointSet out;
  std::uint32_t n = 0;
  for (const Interval& iv : ivs_) {
    if (n < iv.first) out.ivs_.push_back({n, iv.first - 1});
    n = iv.last + 1;
  }
  if (n <= kCodePointMax) out.ivs_.push_back({n, kCodePointMax});
  return out;
}

void CodePointSet::remove(std::span<const Interval> r) {
  std::vector<Interval> out;
  out.reserve(ivs_.size());
  std::size_t ri = 0;
  for (std::size_t si = 0; si < ivs_.size(); ++si) {
    const Interval s = ivs_[si];
    std::uint32_t cur = s.first;
    for (;;) {
      while (ri < r.size() && r[ri].last < cur) ++ri;
      if (ri == r.size()) {
        out.push_back({cur, s.last});
        out.insert(out.end(), ivs_.begin() + static_cast<std::ptrdiff_t>(si) + 1, ivs_.end());
        ivs_ = std::move(out);
        return;
      }
      const Interval& x = r[ri];
      if (x.first > s.last) {
        out.push_back({cur, s.last});
        break;
      }
      if (x.first > cur) out.push_back({cur, x.first - 1});
      if (x.last >= s.last) break;
      cur = x.last + 1;
      ++ri;
    }
  }
  ivs_ = std::move(out);
}

void CodePointSet::intersect(std::span<const Interval> o) {
  // Both lists are sorted and disjoint, so one merge pass finds every overlap in order.
  std::vector<Interval> out;
  std::size_t i = 0, j = 0;
  while (i < ivs_.size() && j < o.size()) {
    const std::uint32_t lo = std::max(ivs_[i].first, o[j].first);
    const std::uint32_t hi = std::min(ivs_[i].last, o[j].last);
    if (lo <= hi) out.push_back({lo, hi});
    if (ivs_[i].last < o[j].last)
      ++i;
    else
      ++j;
  }
  ivs_ = std::move(out);
}

std::uint64_t CodePointSet::count() const noexcept {
  std::uint64_t n = 0;
  for (const Interval& iv : ivs_) n += std::uint64_t{iv.last} - iv.first + 1;
  return n;
}

}  // namespace zarnu_regex::codepointset
