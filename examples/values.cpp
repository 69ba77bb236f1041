// Builds a few values with the core library and prints their JSON text, compact and pretty.
#include <cstdio>

#include "value/equality.hpp"
#include "value/stringify.hpp"
#include "value/value.hpp"

using namespace zarnu_core::value;

int main() {
  Value order = Value::object();
  {
    auto fields = order.as_object().borrow_mut();
    fields->try_emplace(Str::make("id"), Value::number(1042));
    fields->try_emplace(Str::make("customer"), Value::string("Ada Lovelace"));
    Items lines;
    for (double price : {9.99, 0.1 + 0.2, 1e21}) lines.push_back(Value::number(price));
    fields->try_emplace(Str::make("prices"), Value::array_with(std::move(lines), 0));
    fields->try_emplace(Str::make("note"), Value());  // undefined fields are left out
  }
  auto compact = stringify(order, false, 1 << 20);
  auto pretty = stringify(order, true, 1 << 20);
  if (!compact || !pretty) return 1;
  std::printf("%s\n%s\n", compact->c_str(), pretty->c_str());
  auto same = deep_eq(order, Value(order));
  std::printf("equal to itself: %s\n", same && *same ? "true" : "false");
  return 0;
}
