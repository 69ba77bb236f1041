// Function values: the seven kinds of callable the language knows, in this order: lambdas, built-ins,
// host functions, partial applications, transforms, regular-expression matchers and match continuations.
#pragma once

#include <variant>

#include "value.hpp"

namespace zarnu_core::value {

struct LambdaFn {};
struct NativeFn {};
struct HostFn {};
struct PartialFn {};
struct TransformFn {};
struct MatcherFn {};
struct NextFn {};

struct Function : Counted {
  std::variant<LambdaFn, NativeFn, HostFn, PartialFn, TransformFn, MatcherFn, NextFn> kind;

  template <class K>
  explicit Function(K k) : kind(std::move(k)) {}

  static void* operator new(std::size_t n) { return mi_malloc(n); }
  static void operator delete(void* p) noexcept { mi_free(p); }
};

inline Value Value::adopt_function(Function* rep) noexcept {
  return adopt(Tag::Function, rep);
}
inline Function& Value::as_function() const noexcept {
  return *static_cast<Function*>(u_.p);
}

// A function value holding a new shared function.
template <class K>
Value make_function(K kind) {
  return Value::adopt_function(new Function(std::move(kind)));
}

}  // namespace zarnu_core::value
