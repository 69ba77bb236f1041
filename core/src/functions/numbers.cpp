// Rounding, the evaluation's random generator and the boolean built-ins.
#include "functions/numbers.hpp"
#include "functions/numeric.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>

#include "eval/eval.hpp"
#include "eval/truth.hpp"
#include "functions/higher.hpp"
#include "value/json.hpp"

namespace zarnu_core::functions::numbers {

using value::Items;
using value::Value;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

error::Error out_of_range() {
  return error::Error("D1001").with("value", json::Json(nullptr));
}

template <double (*F)(double)>
Result<Value> on_number(const Items& args) {
  const Value& a = arg_at(args, 0);
  if (!a.is_number()) return Value();
  return Value::number(F(a.as_number()));
}

double floor_of(double x) noexcept {
  return std::floor(x);
}
double ceil_of(double x) noexcept {
  return std::ceil(x);
}
double abs_of(double x) noexcept {
  return std::fabs(x);
}

}  // namespace

double draw(eval::Evaluator& ev) {
  std::uint64_t& state = ev.rng();
  if (state == 0) state = static_cast<std::uint64_t>(ev.timestamp().count()) | 1;
  std::uint64_t x = state;
  x ^= x >> 12;
  x ^= x << 25;
  x ^= x >> 27;
  state = x;
  return static_cast<double>((x * 0x2545F4914F6CDD1Dull) >> 11) * 0x1.0p-53;
}

Result<Value> floor(eval::Evaluator&, Items args, const Call&) {
  return on_number<floor_of>(args);
}

Result<Value> ceil(eval::Evaluator&, Items args, const Call&) {
  return on_number<ceil_of>(args);
}

Result<Value> abs(eval::Evaluator&, Items args, const Call&) {
  return on_number<abs_of>(args);
}

Result<Value> round(eval::Evaluator&, Items args, const Call&) {
  const Value& a = arg_at(args, 0);
  if (!a.is_number()) return Value();
  const double x = a.as_number();
  if (std::isnan(x)) return a;
  if (std::isinf(x)) return fail(out_of_range());
  const Value& precision = arg_at(args, 1);
  const double p = precision.is_number() && !std::isnan(precision.as_number()) ? precision.as_number() : 0;
  const double y = p == 0 ? x : numeric::shift(x, p);
  // The shift overflowed: x has no digits at that many places to round away.
  if (std::isinf(y)) return a;
  const double f = std::floor(y);
  double r = y - f < 0.5 ? f : f + 1;
  // Half to even.
  if (std::fabs(r - y) == 0.5 && std::fabs(r - 2 * std::trunc(r / 2)) == 1) r -= 1;
  if (p != 0) r = numeric::shift(r, -p);
  if (r == 0) r = 0;  // no negative zero
  if (std::isinf(r)) return fail(out_of_range());
  return Value::number(r);
}

Result<Value> random(eval::Evaluator& ev, Items, const Call&) {
  return Value::number(draw(ev));
}

Result<Value> boolean(eval::Evaluator&, Items args, const Call&) {
  ZR_TRY(auto b, functions::boolean(arg_at(args, 0)));
  return b ? Value::boolean(*b) : Value();
}

Result<Value> not_(eval::Evaluator&, Items args, const Call&) {
  ZR_TRY(auto b, functions::boolean(arg_at(args, 0)));
  return b ? Value::boolean(!*b) : Value();
}

Result<Value> exists(eval::Evaluator&, Items args, const Call&) {
  return Value::boolean(!arg_at(args, 0).is_undefined());
}

}  // namespace zarnu_core::functions::numbers
