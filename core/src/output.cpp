// Handing values out as data: the non-template parts of the budgeted walk and the unbudgeted conversion.
#include "output.hpp"

#include <cmath>

#include <double-conversion/double-conversion.h>

namespace zarnu_core::value {

error::Error TooLarge::error(std::size_t limit, std::string_view wording) const {
  if (nested) return nested_too_deep();
  return limit_error(wording, limit);
}

std::uint64_t spend::number_length(double x) {
  if (!std::isfinite(x)) return 4;
  if (std::fabs(x) < 9007199254740992.0 && x == std::trunc(x)) {
    auto magnitude = static_cast<std::uint64_t>(std::fabs(x));
    std::uint64_t digits = 1;
    while (magnitude >= 10) {
      magnitude /= 10;
      ++digits;
    }
    return digits + (x < 0 ? 1 : 0);
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
  std::uint64_t budget = kDetailBudget;
  auto built = write_spending(value, b, budget, 0);
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
