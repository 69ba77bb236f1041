// Field access.
#include "functions/lookup.hpp"

#include <vector>

#include "lazy.hpp"

namespace zarnu_core::functions {

using value::Items;
using value::Value;

namespace {

Value field(const Value& v, std::string_view key) {
  if (!v.is_object()) return Value();
  value::Object& o = v.as_object();
  if (o.needs_read()) return value::read_field(o, key);
  value::FieldsRef fields = o.borrow();
  auto it = fields->find(key);
  return it != fields->end() ? it->second : Value();
}

}  // namespace

Value lookup(const Value& v, std::string_view key) {
  if (!v.is_array()) return field(v, key);
  Items out;
  // Nested arrays are walked in place with a stack of positions.
  std::vector<std::pair<Value, std::size_t>> stack;
  stack.emplace_back(v, 0);
  while (!stack.empty()) {
    auto& [array, pos] = stack.back();
    const Items& items = array.as_array().read();
    if (pos == items.size()) {
      stack.pop_back();
      continue;
    }
    const Value& item = items[pos++];
    if (item.is_array()) {
      stack.emplace_back(item, 0);
      continue;
    }
    Value found = field(item, key);
    if (found.is_undefined()) continue;
    if (found.is_array()) {
      const Items& more = found.as_array().read();
      out.insert(out.end(), more.begin(), more.end());
    } else {
      out.push_back(std::move(found));
    }
  }
  return Value::sequence(std::move(out));
}

}  // namespace zarnu_core::functions
