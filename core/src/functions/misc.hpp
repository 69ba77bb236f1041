// The built-ins that stand apart from the data functions: $error and $assert raise errors of the
// caller's choosing, $type names a value's type, $eval evaluates expression text in the caller's scope
// and $clone deep-copies a value through its JSON text.
#pragma once

#include "eval/native.hpp"

namespace zarnu_core::functions::collections {

Result<value::Value> error_(eval::Evaluator& ev, value::Items args, const Call& call);
Result<value::Value> assert_(eval::Evaluator& ev, value::Items args, const Call& call);
Result<value::Value> type_(eval::Evaluator& ev, value::Items args, const Call& call);
Result<value::Value> eval_(eval::Evaluator& ev, value::Items args, const Call& call);
Result<value::Value> clone(eval::Evaluator& ev, value::Items args, const Call& call);

}  // namespace zarnu_core::functions::collections
