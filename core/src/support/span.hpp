// A byte range of the expression's source text.
#pragma once

#include <cstddef>

namespace zarnu_core::ast {

struct Span {
  std::size_t start = 0;
  std::size_t end = 0;
  friend bool operator==(const Span&, const Span&) = default;
};

}  // namespace zarnu_core::ast
