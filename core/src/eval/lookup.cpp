// Field access.
#include "eval/lookup.hpp"

#include "value/lazy.hpp"
#include "value/leaves.hpp"

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
  (void)value::for_each_leaf(v, [&](const Value& item) -> Status {
    Value found = field(item, key);
    if (found.is_array()) {
      const Items& more = found.as_array().read();
      out.insert(out.end(), more.begin(), more.end());
    } else if (!found.is_undefined()) {
      out.push_back(std::move(found));
    }
    return {};
  });
  return Value::sequence(std::move(out));
}

}  // namespace zarnu_core::functions
