// Truthiness and string conversion.
#include "eval/truth.hpp"

#include <cmath>
#include <vector>

#include "value/json.hpp"
#include "value/lazy.hpp"
#include "value/leaves.hpp"
#include "value/stringify.hpp"

namespace zarnu_core::functions {

using value::Items;
using value::Tag;
using value::Value;

namespace {

error::Error out_of_range() {
  return error::Error("D1001").with("value", json::Json(nullptr));
}

// A value that is not an array of zero or of several items.
Result<std::optional<bool>> scalar(const Value& v) {
  switch (v.tag()) {
    case Tag::Undefined:
      return std::optional<bool>();
    case Tag::Null:
      return std::optional<bool>(false);
    case Tag::Bool:
      return std::optional<bool>(v.as_boolean());
    case Tag::Number: {
      double x = v.as_number();
      if (std::isinf(x)) return fail(out_of_range());
      return std::optional<bool>(!std::isnan(x) && x != 0);
    }
    case Tag::String:
      return std::optional<bool>(!v.as_string().empty());
    case Tag::Object: {
      Value keep = v;
      return std::optional<bool>(!keep.as_object().borrow()->empty());
    }
    case Tag::Function:
      return std::optional<bool>(false);
    case Tag::Array:
      break;
  }
  return std::optional<bool>(false);
}

}  // namespace

Result<std::optional<bool>> boolean_slow(const Value& v) {
  Value cur = v;
  while (cur.is_array()) {
    const Items& items = cur.as_array().read();
    if (items.size() != 1) break;
    cur = Value(items.front());
  }
  if (!cur.is_array()) return scalar(cur);
  // Every leaf is judged, so that an infinite number anywhere is reported; nested arrays are walked with
  // a work list.
  bool any = false;
  ZR_TRY(value::for_each_leaf(cur, [&](const Value& leaf) -> Status {
    ZR_TRY(auto judged, scalar(leaf));
    any = any || judged.value_or(false);
    return {};
  }));
  return std::optional<bool>(any);
}

Result<std::optional<std::string>> to_string(const Value& v, bool pretty, std::size_t limit,
                                             const value::Step* step) {
  switch (v.tag()) {
    case Tag::Undefined:
      return std::optional<std::string>();
    case Tag::Number:
      if (!std::isfinite(v.as_number()))
        return fail(error::Error("D3001").with("value", json::Json(nullptr)));
      break;
    case Tag::String:
      return std::optional<std::string>(std::string(v.as_string()));
    case Tag::Function:
      return std::optional<std::string>(std::string());
    default:
      break;
  }
  ZR_TRY(std::string text, value::stringify(v, pretty, limit, step));
  return std::optional<std::string>(std::move(text));
}

}  // namespace zarnu_core::functions
