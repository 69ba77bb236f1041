// The records of the built-in functions: name, signature, parameter names, description, implementation
// and arity, in one process-wide table built on first use.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "syntax/signature.hpp"
#include "value/result.hpp"
#include "value/value.hpp"

namespace zarnu_core::eval {
class Evaluator;
class Frame;
}  // namespace zarnu_core::eval

namespace zarnu_core::functions {

// What a built-in receives besides its arguments: the call's context value and the calling scope.
struct Call {
  const value::Value& context;
  const value::Rc<eval::Frame>& frame;
};

using Implementation = Result<value::Value> (*)(eval::Evaluator&, value::Items, const Call&);

struct Native {
  std::optional<signature::Signature> signature;
  std::string_view name;  // without "$"
  std::vector<std::string_view> params;
  std::string_view description;
  Implementation implementation = nullptr;
  std::size_t arity = 0;
};

// The argument at a position, or undefined past the end of the list (implementations read their arguments
// by position and treat a missing one as undefined).
// Made when the library is loaded (in functions/table.cpp), not under a guard at first use; a zeroed Value
// is undefined too, so it serves even before that.
extern const value::Value kMissingArgument;
inline const value::Value& arg_at(const value::Items& args, std::size_t i) noexcept {
  return i < args.size() ? args[i] : kMissingArgument;
}

// The table, in table order.
std::span<const Native> table();

// The record of a name, or null.
const Native* lookup(std::string_view name);

namespace testing {
// Adds a record that lookups find after the table's own; for tests only, before any evaluation runs.
void add(Native native);
}  // namespace testing

}  // namespace zarnu_core::functions
