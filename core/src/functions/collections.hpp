// The array and object built-ins that rearrange without calling a function ($zip, $keys, $lookup, $spread,
// $merge, $append, $reverse, $shuffle, $distinct) and $sort, which may call a comparator.
#pragma once

#include <vector>

#include "eval/native.hpp"

namespace zarnu_core::functions::collections {

// One new single-key object per field of an object, in the object's order (its host source read first).
std::vector<value::Value> field_objects(const value::Value& object);

Result<value::Value> zip(eval::Evaluator& ev, value::Items args, const Call& call);
Result<value::Value> keys(eval::Evaluator& ev, value::Items args, const Call& call);
Result<value::Value> lookup(eval::Evaluator& ev, value::Items args, const Call& call);
Result<value::Value> spread(eval::Evaluator& ev, value::Items args, const Call& call);
Result<value::Value> merge(eval::Evaluator& ev, value::Items args, const Call& call);
Result<value::Value> append(eval::Evaluator& ev, value::Items args, const Call& call);
Result<value::Value> reverse(eval::Evaluator& ev, value::Items args, const Call& call);
Result<value::Value> shuffle(eval::Evaluator& ev, value::Items args, const Call& call);
Result<value::Value> distinct(eval::Evaluator& ev, value::Items args, const Call& call);
Result<value::Value> sort(eval::Evaluator& ev, value::Items args, const Call& call);

}  // namespace zarnu_core::functions::collections
