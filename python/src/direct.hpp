// Simple queries run straight over Python objects: a plan compiled once per expression for a narrow shape
// (field paths, position and comparison filters, a final object constructor with literal keys), which gives
// up whenever the input holds anything it is not sure to treat as the general evaluation would.
#pragma once

#include "compat.hpp"

#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "pyutil.hpp"
#include "syntax/ast.hpp"

namespace zarnu_py::direct {

using pyutil::Ref;

enum class Op : std::uint8_t { Eq, Ne, Lt, Le, Gt, Ge };

// A predicate of a step: a position (`[0]`, `[-1]`), or a field of the item against a literal.
struct Stage {
  bool position = false;
  double number = 0;  // the position, or the literal when it is a number
  Op op = Op::Eq;     // written with the field on the left
  Ref field;          // interned str
  Ref text;           // the literal when it is a string
  bool wide = false;  // the literal holds characters beyond the Basic Multilingual Plane
  // The texts of the field and of a string literal in the syntax tree, while the plan is compiled: the
  // strings above are made only once the whole tree is known to fit.
  const std::string* field_text = nullptr;
  const std::string* literal_text = nullptr;
};

struct Step {
  Ref name;  // interned str
  std::vector<Stage> stages;
  const std::string* text = nullptr;  // the name in the syntax tree, while compiling
};

struct Path;

// A pair of the final object constructor: its key and the path giving its value, relative to each item.
struct Pair {
  Ref key;
  std::unique_ptr<Path> value;
  const std::string* text = nullptr;  // the key in the syntax tree, while compiling
};

struct Path {
  std::vector<Step> steps;
  bool constructs = false;  // ends with an object constructor of `pairs`
  std::vector<Pair> pairs;
};

struct Plan {
  Path path;
  bool rows = false;  // serves a list given as the input too
};

// The plan of an expression whose processed tree lies in the shape, none for any other. Called attached
// (it makes the key strings), once per expression.
std::unique_ptr<const Plan> compile(const zarnu_core::ast::Ast& ast);

// Runs the plan for a call of `evaluate` given these arguments (input, bindings, then the keyword options):
// none when the call is not one the plan serves, or when it gave up (having made nothing visible); else the
// result, or nullptr with the exception set when the evaluation was stopped (Ctrl-C).
std::optional<PyObject*> run(const Plan& plan, std::span<PyObject* const> arguments);

}  // namespace zarnu_py::direct
