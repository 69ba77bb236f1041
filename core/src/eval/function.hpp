// Function values: the seven kinds of callable the language knows, in this order: lambdas, built-ins,
// host functions, partial applications, transforms, regular-expression matchers and match continuations.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string_view>
#include <variant>
#include <vector>

#include "eval/frame.hpp"
#include "eval/host.hpp"
#include "eval/native.hpp"
#include "eval/regex.hpp"
#include "syntax/ast.hpp"
#include "value/value.hpp"

namespace zarnu_core::value {

// A lambda with the scope and context value it was written in. Its definition lives in a syntax tree
// that the scope's root keeps alive.
struct LambdaFn {
  Value input;
  const ast::LambdaDef* def = nullptr;
  Rc<eval::Frame> frame;
  std::shared_ptr<const std::vector<std::string_view>> params;  // replaces the definition's, when set
  bool enforce_signature = true;
};

struct NativeFn {
  const functions::Native* native = nullptr;
};

struct HostFn {
  host::HostFunction host;
};

// A built-in or host function with some arguments fixed; an empty slot is an open placeholder.
struct PartialFn {
  std::vector<std::optional<Value>> args;
  Value function;
};

struct TransformFn {
  const ast::TransformDef* def = nullptr;
  Rc<eval::Frame> frame;
  ast::Span span;
  std::size_t position = 0;
};

struct MatcherFn {
  Rc<regex::Regex> regex;
};

// The continuation of a match: the next search of the same pattern in the same text.
struct NextFn {
  Rc<regex::Regex> regex;
  Str text;
  std::size_t length = 0;
  std::size_t start = 0;
  std::size_t start_units = regex::kUnknownUnits;  // `start` in UTF-16 code units
};

struct Function : Counted, pool::Pooled {
  std::variant<LambdaFn, NativeFn, HostFn, PartialFn, TransformFn, MatcherFn, NextFn> kind;

  template <class K>
  explicit Function(K k) : kind(std::move(k)) {}

  template <class K>
  const K* as() const noexcept {
    return std::get_if<K>(&kind);
  }
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
