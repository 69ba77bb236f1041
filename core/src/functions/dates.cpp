// The date-time built-ins. Every use of the current time within one evaluation sees the same instant: the
// fixed time of the options, or the evaluation timestamp taken at first need.
#include "functions/dates.hpp"

#include "datetime/datetime.hpp"
#include "eval/eval.hpp"

namespace zarnu_core::functions::dates {

using value::Items;
using value::Value;

namespace {

// An argument in a text position that is not a string counts as absent.
std::optional<std::string_view> text(const Items& args, std::size_t i) {
  const Value& v = arg_at(args, i);
  if (!v.is_string()) return std::nullopt;
  return v.as_string();
}

Result<Value> written(double millis, const Items& args, std::size_t first, std::size_t limit) {
  ZR_TRY(std::string out, datetime::from_millis(millis, text(args, first), text(args, first + 1), limit));
  return Value::string(out);
}

}  // namespace

Result<Value> now(eval::Evaluator& ev, Items args, const Call&) {
  return written(ev.now_millis(), args, 0, ev.max_string_length());
}

Result<Value> millis(eval::Evaluator& ev, Items, const Call&) {
  return Value::number(ev.now_millis());
}

Result<Value> from_millis(eval::Evaluator& ev, Items args, const Call&) {
  const Value& v = arg_at(args, 0);
  if (!v.is_number()) return Value();
  return written(v.as_number(), args, 1, ev.max_string_length());
}

Result<Value> to_millis(eval::Evaluator& ev, Items args, const Call&) {
  const auto timestamp = text(args, 0);
  if (!timestamp) return Value();
  // Taken whether or not a picture follows, so that the evaluation's instant is fixed by this call.
  const double current = ev.now_millis();
  if (const auto picture = text(args, 1)) {
    ZR_TRY(std::optional<double> ms, datetime::parse_datetime(*timestamp, *picture, ev, current));
    return ms ? Value::number(*ms) : Value();
  }
  ZR_TRY(double ms, datetime::parse_iso8601(*timestamp));
  return Value::number(ms);
}

}  // namespace zarnu_core::functions::dates
