// Walks the leaves of nested arrays (every item that is not an array, in order, at any depth) with a
// stack of positions instead of recursion, reading lazy arrays as they are reached.
#pragma once

#include <utility>
#include <vector>

#include "value/result.hpp"
#include "value/value.hpp"

namespace zarnu_core::value {

// Calls `f` on each leaf of an array, and `step` before each item at any depth (arrays included); the first
// failure either returns ends the walk.
template <class F, class S>
Status for_each_leaf(const Value& array, F&& f, S&& step) {
  std::vector<std::pair<Value, std::size_t>> stack;
  stack.emplace_back(array, 0);
  while (!stack.empty()) {
    auto& [a, pos] = stack.back();
    const Items& items = a.as_array().read();
    if (pos == items.size()) {
      stack.pop_back();
      continue;
    }
    ZR_TRY(step());
    Value item = items[pos++];
    if (item.is_array()) {
      stack.emplace_back(std::move(item), 0);
      continue;
    }
    ZR_TRY(f(item));
  }
  return {};
}

template <class F>
Status for_each_leaf(const Value& array, F&& f) {
  return for_each_leaf(array, std::forward<F>(f), []() -> Status { return {}; });
}

}  // namespace zarnu_core::value
