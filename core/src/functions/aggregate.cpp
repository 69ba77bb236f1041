// The aggregation and cast built-ins. The folds make one pass over the items and allocate nothing; the
// count of an array still unread from in-memory JSON data comes from that data without converting it.
#include "functions/aggregate.hpp"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string_view>

#include <double-conversion/double-conversion.h>

#include "eval/eval.hpp"
#include "eval/truth.hpp"
#include "value/output.hpp"

namespace zarnu_core::functions {

using value::Items;
using value::Value;

namespace {

// D1001 for a total that has no JSON form.
error::Error out_of_range() {
  return error::Error("D1001").with("value", json::Json(nullptr));
}

// The number of items of an array, without converting the items of one still unread from JSON data.
std::size_t item_count(const Value& array) {
  if (const json::Json* data = value::unread_json(array)) return data->size();
  return array.as_array().read().size();
}

// -0.0 plus every number item divided by `scale`, in order: the sum of nothing is negative zero.
Result<double> total(eval::Evaluator& ev, const Items& items, double scale = 1) {
  double t = -0.0;
  for (const Value& item : items) {
    ZR_TRY(ev.step());
    if (item.is_number()) t += item.as_number() / scale;
  }
  return t;
}

template <double (*Pick)(double, double)>
Result<Value> fold(eval::Evaluator& ev, const Items& args) {
  const Value& a = arg_at(args, 0);
  if (!a.is_array()) return Value();
  const Items& items = a.as_array().read();
  if (items.empty()) return Value();
  // maxNum/minNum: a NaN on either side yields the other operand.
  double acc = std::numeric_limits<double>::quiet_NaN();
  for (const Value& item : items) {
    ZR_TRY(ev.step());
    if (item.is_number()) acc = Pick(acc, item.as_number());
  }
  return Value::number(acc);
}

double max_num(double a, double b) noexcept {
  return std::fmax(a, b);
}
double min_num(double a, double b) noexcept {
  return std::fmin(a, b);
}

}  // namespace

Result<Value> sum(eval::Evaluator& ev, Items args, const Call&) {
  const Value& a = arg_at(args, 0);
  if (!a.is_array()) return Value();
  ZR_TRY(const double t, total(ev, a.as_array().read()));
  if (std::isinf(t)) return fail(out_of_range());
  return Value::number(t);
}

Result<Value> count(eval::Evaluator&, Items args, const Call&) {
  const Value& a = arg_at(args, 0);
  if (a.is_undefined()) return Value::number(0);
  if (!a.is_array()) return Value::number(1);
  return Value::number(static_cast<double>(item_count(a)));
}

Result<Value> max(eval::Evaluator& ev, Items args, const Call&) {
  return fold<max_num>(ev, args);
}

Result<Value> min(eval::Evaluator& ev, Items args, const Call&) {
  return fold<min_num>(ev, args);
}

Result<Value> average(eval::Evaluator& ev, Items args, const Call&) {
  const Value& a = arg_at(args, 0);
  if (!a.is_array()) return Value();
  const std::size_t count = item_count(a);
  if (count == 0) return Value();
  const auto n = static_cast<double>(count);
  const Items& items = a.as_array().read();
  ZR_TRY(const double s, total(ev, items));
  if (!std::isinf(s)) return Value::number(s / n);
  // The plain total overflowed: add the items already divided by n, which stays in range whenever the
  // mean itself does.
  ZR_TRY(const double t, total(ev, items, n));
  if (std::isinf(t)) return fail(out_of_range());
  return Value::number(t);
}

Result<Value> string(eval::Evaluator& ev, Items args, const Call&) {
  const Value& a = arg_at(args, 0);
  // A string is its own string form: shared, never copied or quoted.
  if (a.is_string()) return a;
  const Value& prettify = arg_at(args, 1);
  const bool pretty = prettify.is_bool() && prettify.as_boolean();
  ZR_TRY(auto text, to_string(a, pretty, ev.max_string_length(), &ev.stepper()));
  if (!text) return Value();
  return Value::string(*text);
}

}  // namespace zarnu_core::functions

namespace zarnu_core::functions::numeric {

namespace {

using value::Value;

bool is_digit(char c) noexcept {
  return c >= '0' && c <= '9';
}

// Whether the whole text is a decimal number: -?digits(.digits)?([eE][+-]?digits)?
bool is_decimal(std::string_view s) noexcept {
  std::size_t i = 0;
  auto digits = [&] {
    const std::size_t from = i;
    while (i < s.size() && is_digit(s[i])) ++i;
    return i > from;
  };
  if (i < s.size() && s[i] == '-') ++i;
  if (!digits()) return false;
  if (i < s.size() && s[i] == '.') {
    ++i;
    if (!digits()) return false;
  }
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    if (!digits()) return false;
  }
  return i == s.size();
}

// The double nearest to a decimal text: an overflow is an infinity, an underflow a zero of its sign.
double read_decimal(std::string_view s) {
  double d = 0;
  auto r = std::from_chars(s.data(), s.data() + s.size(), d);
  if (r.ec == std::errc::result_out_of_range) {
    double_conversion::StringToDoubleConverter conv(0, 0.0, 0.0, nullptr, nullptr);
    int used = 0;
    d = conv.StringToDouble(s.data(), static_cast<int>(s.size()), &used);
  }
  return d;
}

int digit_value(char c) noexcept {
  if (is_digit(c)) return c - '0';
  if (c >= 'a' && c <= 'z') return c - 'a' + 10;
  if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
  return 99;
}

// A "0x", "0o" or "0b" literal (either case of the letter) with at least one digit of its radix: its value,
// NaN beyond 2^64 - 1; none when the text is no such literal.
std::optional<double> radix_literal(std::string_view s) noexcept {
  if (s.size() < 3 || s[0] != '0') return std::nullopt;
  unsigned radix = 0;
  switch (s[1]) {
    case 'x':
    case 'X':
      radix = 16;
      break;
    case 'o':
    case 'O':
      radix = 8;
      break;
    case 'b':
    case 'B':
      radix = 2;
      break;
    default:
      return std::nullopt;
  }
  std::uint64_t v = 0;
  bool overflow = false;
  for (char c : s.substr(2)) {
    const auto d = static_cast<unsigned>(digit_value(c));
    if (d >= radix) return std::nullopt;
    if (v > (std::numeric_limits<std::uint64_t>::max() - d) / radix) overflow = true;
    v = v * radix + d;
  }
  if (overflow) return std::numeric_limits<double>::quiet_NaN();
  return static_cast<double>(v);
}

}  // namespace

Result<Value> number(eval::Evaluator&, value::Items args, const Call&) {
  const Value& a = arg_at(args, 0);
  switch (a.tag()) {
    case value::Tag::Undefined:
      return Value();
    case value::Tag::Number:
      return a;
    case value::Tag::Bool:
      return Value::number(a.as_boolean() ? 1 : 0);
    case value::Tag::String: {
      const std::string_view s = a.as_string();
      if (is_decimal(s)) {
        const double d = read_decimal(s);
        if (std::isfinite(d)) return Value::number(d);
      } else if (auto literal = radix_literal(s)) {
        return Value::number(*literal);
      }
      return fail(error::Error("D3030").with("value", s).with("index", 1));
    }
    case value::Tag::Null:
    case value::Tag::Array:
    case value::Tag::Object:
    case value::Tag::Function:
      break;
  }
  return fail(eval::with_value(error::Error("D3030").with("index", 1), a));
}

}  // namespace zarnu_core::functions::numeric
