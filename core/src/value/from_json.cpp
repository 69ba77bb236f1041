// Values rebuilt from JSON values.
#include "value/from_json.hpp"

#include "support/stack.hpp"

namespace zarnu_core::value {

Value from_json(const json::Json& data, const StringMaker* strings) {
  Keys keys;
  return from_json_with(data, keys, 0, strings);
}

Value from_json_with(const json::Json& data, Keys& keys, std::size_t depth, const StringMaker* strings) {
  using json::Json;
  switch (data.type()) {
    case Json::value_t::null:
      return Value::null();
    case Json::value_t::boolean:
      return Value::boolean(data.get<bool>());
    case Json::value_t::number_integer:
      return Value::number(static_cast<double>(data.get<std::int64_t>()));
    case Json::value_t::number_unsigned:
      return Value::number(static_cast<double>(data.get<std::uint64_t>()));
    case Json::value_t::number_float:
      return Value::number(data.get<double>());
    case Json::value_t::string: {
      const std::string& text = data.get_ref<const std::string&>();
      return strings ? Value::string(strings->make(strings->context, text)) : Value::string(text);
    }
    case Json::value_t::array: {
      Items items;
      items.reserve(data.size());
      for (const Json& item : data)
        items.push_back(
            stack::nest(depth + 1, [&] { return from_json_with(item, keys, depth + 1, strings); }));
      return Value::array_with(std::move(items), 0);
    }
    case Json::value_t::object: {
      Fields fields = make_fields(data.size());
      for (auto it = data.begin(); it != data.end(); ++it) {
        Value v =
            stack::nest(depth + 1, [&] { return from_json_with(it.value(), keys, depth + 1, strings); });
        auto [slot, inserted] = fields.try_emplace(keys.get(it.key()), Value());
        slot.value() = std::move(v);
      }
      return Value::adopt_object(new Object(std::move(fields)));
    }
    default:
      return Value::null();
  }
}

}  // namespace zarnu_core::value
