// A stable merge sort with a fallible comparator, shared by order-by and $sort.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

#include "value/result.hpp"

namespace zarnu_core::functions {

namespace detail {

// Sorts v[lo, hi) using scratch; the comparator answers whether b (from the right part) must come before
// a (from the left part).
template <class T, class Before>
Status merge_sort_range(std::vector<T>& v, std::vector<T>& scratch, std::size_t lo, std::size_t hi,
                        Before& before) {
  const std::size_t n = hi - lo;
  if (n < 2) return {};
  const std::size_t mid = lo + n / 2;
  ZR_TRY(merge_sort_range(v, scratch, lo, mid, before));
  ZR_TRY(merge_sort_range(v, scratch, mid, hi, before));
  scratch.clear();
  std::size_t i = lo, j = mid;
  while (i < mid && j < hi) {
    ZR_TRY(bool b_first, before(v[i], v[j]));
    if (b_first)
      scratch.push_back(std::move(v[j++]));
    else
      scratch.push_back(std::move(v[i++]));
  }
  while (i < mid) scratch.push_back(std::move(v[i++]));
  while (j < hi) scratch.push_back(std::move(v[j++]));
  for (std::size_t k = 0; k < n; ++k) v[lo + k] = std::move(scratch[k]);
  return {};
}

}  // namespace detail

// Sorts a list (left part first, floor(n/2) elements); the first comparator error ends the sort.
template <class T, class Before>
Result<std::vector<T>> merge_sort(std::vector<T> v, Before before) {
  std::vector<T> scratch;
  scratch.reserve(v.size());
  ZR_TRY(detail::merge_sort_range(v, scratch, 0, v.size(), before));
  return v;
}

}  // namespace zarnu_core::functions
