// The higher-order built-ins ($map, $filter, $single, $reduce, $sift, $each), the fitting of a callback's
// argument list to the arity of the function it calls, and the walk over an object's key/value pairs.
#pragma once

#include <cstddef>
#include <vector>

#include "eval/native.hpp"

namespace zarnu_core::functions {

// The number of parameters a callback is handed: a function's own arity, 1 for any other value.
std::size_t callee_arity(const value::Value& func) noexcept;

// The argument list of one callback, trimmed to the callee's arity: the value alone for arity 0 or 1
// (a function of no parameters still receives it), then the second and the third value.
value::Items hof_args(const value::Value& func, value::Value v, value::Value second, value::Value third);

}  // namespace zarnu_core::functions

namespace zarnu_core::functions::collections {

// The key/value pairs of an object in insertion order (its host source read whole first); none for any
// other value. A snapshot: what a callback does to the object does not change the walk.
std::vector<value::Entry> entries(const value::Value& v);

Result<value::Value> map(eval::Evaluator& ev, value::Items args, const Call& call);
Result<value::Value> filter(eval::Evaluator& ev, value::Items args, const Call& call);
Result<value::Value> single(eval::Evaluator& ev, value::Items args, const Call& call);
Result<value::Value> reduce(eval::Evaluator& ev, value::Items args, const Call& call);
Result<value::Value> sift(eval::Evaluator& ev, value::Items args, const Call& call);
Result<value::Value> each(eval::Evaluator& ev, value::Items args, const Call& call);

}  // namespace zarnu_core::functions::collections
