// The rounding built-ins ($floor, $ceil, $round, $abs), $random with the evaluation's generator (shared
// with $shuffle), and the boolean built-ins ($boolean, $not, $exists).
#pragma once

#include "eval/native.hpp"

namespace zarnu_core::functions::numbers {

// One draw of the evaluation's xorshift64* generator: a double in [0, 1) with 53 random bits. An
// unseeded generator is seeded first from the evaluation's timestamp.
double draw(eval::Evaluator& ev);

Result<value::Value> floor(eval::Evaluator& ev, value::Items args, const Call& call);
Result<value::Value> ceil(eval::Evaluator& ev, value::Items args, const Call& call);
Result<value::Value> round(eval::Evaluator& ev, value::Items args, const Call& call);
Result<value::Value> abs(eval::Evaluator& ev, value::Items args, const Call& call);
Result<value::Value> random(eval::Evaluator& ev, value::Items args, const Call& call);
Result<value::Value> boolean(eval::Evaluator& ev, value::Items args, const Call& call);
Result<value::Value> not_(eval::Evaluator& ev, value::Items args, const Call& call);
Result<value::Value> exists(eval::Evaluator& ev, value::Items args, const Call& call);

}  // namespace zarnu_core::functions::numbers
