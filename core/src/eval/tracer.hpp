// The interface an audited evaluation reports to: node entry and exit, comparison operands, short
// circuits, branches, bindings and filter decisions. No operation can fail or stop the evaluation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "value/error.hpp"
#include "value/value_view.hpp"

namespace zarnu_core::ast {
struct Node;
}

namespace zarnu_core::audit {

// The outcome of a node or of the whole evaluation: a value, or the error.
struct Outcome {
  const value::Inspect* value = nullptr;
  const error::Error* error = nullptr;
};

class Tracer {
 public:
  virtual ~Tracer() = default;
  virtual void begin(std::string_view source, double start_millis) = 0;
  virtual void enter(const ast::Node& node, const value::Inspect& context) = 0;
  virtual void exit(const ast::Node& node, Outcome outcome) = 0;
  virtual void operands(const ast::Node& node, const value::Inspect& left, const value::Inspect& right) = 0;
  virtual void short_circuit(const ast::Node& node) = 0;
  // code: 0 the first branch, 1 the second, 2 a condition without else whose test was false.
  virtual void branch(const ast::Node& node, std::uint32_t code) = 0;
  virtual void bind(const ast::Node& node, std::string_view name, const value::Inspect& value) = 0;
  virtual void filter_begin(const ast::Node& predicate) = 0;
  virtual void filter_item(const ast::Node& predicate, std::size_t index, const value::Inspect& item,
                           bool passed) = 0;
  virtual void filter_end(const ast::Node& predicate) = 0;
  virtual void end(Outcome outcome) = 0;

  // False when nothing of the node's evaluation would be recorded: the evaluator may then evaluate it
  // (and everything below it) without reporting, on its plain path. Asked before `enter`.
  virtual bool records(const ast::Node&) { return true; }
};

}  // namespace zarnu_core::audit
