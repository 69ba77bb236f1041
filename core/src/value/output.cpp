// Handing values out as data: the non-template parts of the budgeted walk and the unbudgeted conversion.
#include "value/output.hpp"

#include <bit>
#include <cmath>
#include <iterator>

#include <double-conversion/double-conversion.h>

namespace zarnu_core::value {

error::Error TooLarge::error(std::size_t limit, std::string_view wording) const {
  if (nested) return nested_too_deep();
  return limit_error(wording, limit);
}

error::Error spend::failure_error(const Failure& failure, const eval::Poll* poll, std::size_t limit,
                                  std::string_view wording) {
  if (const TooLarge* size = std::get_if<TooLarge>(&failure)) return size->error(limit, wording);
  return poll->failure()->clone();
}

namespace {

std::uint64_t integer_digits(std::uint64_t magnitude) noexcept {
  std::uint64_t digits = 1;
  while (magnitude >= 10) {
    magnitude /= 10;
    ++digits;
  }
  return digits;
}

constexpr double kPowersOfTen[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                   1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
constexpr double kExactIntegers = 9007199254740992.0;  // 2^53: every integer below is a double

// The number of fraction digits of the shortest text of a non-integral magnitude in [1e-6, 2^53), or 0
// when that takes more digits than this method can tell (the caller then formats the number).
//
// A text with k fraction digits is some integer m over 10^k. While m < 2^53 and k <= 22, m / 10^k is one
// correctly rounded division, so it reads back as the magnitude exactly when the division gives it. The
// only candidates for m are the integers next to the exact product magnitude * 10^k: when the rounded
// product t is not integral they are floor(t) and ceil(t) (no integer lies between a number and its
// rounding), when it is, t - 1, t and t + 1. The first k with a candidate that reads back is the shortest
// text's, which has no trailing zero and the integer part of the magnitude.
// A candidate reads back only within half a unit in the last place (ulp) of the magnitude, so within
// 1.5 * 10^k ulp of t (t is off by at most 10^k ulp): a t farther than 2 * 10^k ulp from every integer
// has none, which spares the divisions for most k.
unsigned fraction_digits(double magnitude) noexcept {
  // The ulp of a normal double: its exponent less the 52 bits of the fraction.
  const double ulp = std::bit_cast<double>(((std::bit_cast<std::uint64_t>(magnitude) >> 52) - 52) << 52);
  for (unsigned k = 1; k < std::size(kPowersOfTen); ++k) {
    const double p = kPowersOfTen[k];
    const double t = magnitude * p;
    if (!(t < kExactIntegers)) return 0;
    const double below = std::floor(t);
    if (t - below > 2 * p * ulp && below + 1 - t > 2 * p * ulp) continue;
    if (below == t) {
      if (t / p == magnitude || (t - 1) / p == magnitude || (t + 1) / p == magnitude) return k;
    } else if (below / p == magnitude || (below + 1) / p == magnitude) {
      return k;
    }
  }
  return 0;
}

}  // namespace

std::uint64_t spend::number_length(double x) {
  if (!std::isfinite(x)) return 4;
  const double magnitude = std::fabs(x);
  const std::uint64_t sign = std::signbit(x) && x != 0 ? 1 : 0;
  if (magnitude < kExactIntegers && x == std::trunc(x))
    return sign + integer_digits(static_cast<std::uint64_t>(magnitude));
  // Below 1e21 and from 1e-6 up the text is plain decimal ("0.000123", "34.45"), shorter than the
  // exponent form would be: its length follows from the count of fraction digits.
  if (magnitude >= 1e-6 && magnitude < kExactIntegers) {
    if (const unsigned k = fraction_digits(magnitude))
      return sign + integer_digits(static_cast<std::uint64_t>(magnitude)) + 1 + k;
  }
  char buffer[64];
  double_conversion::StringBuilder builder(buffer, sizeof buffer);
  double_conversion::DoubleToStringConverter::EcmaScriptConverter().ToShortest(x, &builder);
  return static_cast<std::uint64_t>(builder.position());
}

std::optional<json::Json> to_json_at(const Value& value, std::size_t depth) {
  switch (value.tag()) {
    case Tag::Undefined:
    case Tag::Function:
      return std::nullopt;
    case Tag::Null:
      return json::Json(nullptr);
    case Tag::Bool:
      return json::Json(value.as_boolean());
    case Tag::Number:
      return json_number(value.as_number());
    case Tag::String:
      return json::Json(std::string(value.as_string()));
    case Tag::Array:
    case Tag::Object:
      break;
  }
  if (const json::Json* data = unread_json(value)) return json::copy(*data);
  Value keep = value;
  if (keep.is_array()) {
    const Items& items = keep.as_array().read();
    json::Json out = json::Json::array();
    auto& arr = out.get_ref<json::Json::array_t&>();
    arr.reserve(items.size());
    for (const Value& item : items) {
      auto one = stack::nest(depth + 1, [&] { return to_json_at(item, depth + 1); });
      arr.push_back(one ? std::move(*one) : json::Json(nullptr));
    }
    return out;
  }
  FieldsRef fields = keep.as_object().borrow();
  json::Json out = json::Json::object();
  auto& members = out.get_ref<json::Json::object_t&>();
  members.reserve(fields->size());
  for (const auto& [key, v] : *fields) {
    auto one = stack::nest(depth + 1, [&] { return to_json_at(v, depth + 1); });
    if (one) members.emplace_back(std::string(key.view()), std::move(*one));
  }
  return out;
}

std::optional<json::Json> to_json_detail(const Value& value) {
  JsonBuilder b;
  auto built = write_within(value, b, kDetailBudget);
  if (!built) return std::nullopt;
  return std::move(*built);
}

}  // namespace zarnu_core::value

namespace zarnu_core {

Result<std::optional<json::Json>> to_json(const output::Output& out) {
  value::JsonBuilder b;
  return out.write(b);
}

}  // namespace zarnu_core
