// The parse tree: what the parser builds and the processing pass turns into the syntax tree.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/span.hpp"
#include "syntax/annotation.hpp"
#include "syntax/signature.hpp"
#include "value/error.hpp"

namespace zarnu_core::parser {

enum class RawKind : std::uint8_t {
  Name,
  Variable,
  String,
  Number,
  Literal,
  Regex,
  Wildcard,
  Descendant,
  Parent,
  Binary,
  Sort,
  Group,
  Array,
  Object,
  Negate,
  Call,
  Placeholder,
  Lambda,
  Condition,
  Transform,
  Block,
  End,
  Error,
};

// One parse-tree node. Children, by kind:
//   Binary: left, right (`text` is the operator)          Sort: left, then the terms (see `descending`)
//   Group: left, then key, value of each pair              Array, Block: the items
//   Object: key, value of each pair                         Negate: the operand
//   Call: the callee, then the arguments                    Lambda: the body
//   Condition: condition, then [, else]                     Transform: pattern, update [, delete]
//   Error: the left operand, when it holds one
struct Raw {
  RawKind kind = RawKind::End;
  ast::Span span;
  std::size_t position = 0;  // byte offset just after the node's principal token
  bool keep_array = false;
  std::unique_ptr<annotation::Annotation> annotation;

  std::string text;          // name, variable (without "$"), string value, regex pattern, operator text
  std::string flags;         // regex flags
  double number = 0;         // number
  std::uint8_t literal = 0;  // 0 false, 1 true, 2 null
  bool partial = false;      // a call with a placeholder argument
  std::vector<Raw> children;
  std::vector<bool> descending;                   // sort: one flag per term
  std::vector<std::string> params;                // lambda parameters, without "$"
  std::optional<signature::Signature> signature;  // lambda
  std::unique_ptr<error::Error> error;            // an error node's recorded error

  Raw() = default;
  Raw(Raw&&) noexcept = default;
  Raw& operator=(Raw&&) noexcept = default;
  ~Raw();
};

}  // namespace zarnu_core::parser
