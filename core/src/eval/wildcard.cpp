// The wildcard step "*" (the values of an object's fields) and the descendant step "**" (a value and
// everything nested inside it, depth first).
#include "eval/eval.hpp"
#include "value/leaves.hpp"
#include "value/limits.hpp"

namespace zarnu_core::eval {

namespace {

Status push_within(Items& list, Value v, std::size_t limit) {
  if (list.size() >= limit) return fail(array_too_long(limit));
  list.push_back(std::move(v));
  return {};
}

Status recurse_descendants(const Value& v, Items& list, std::size_t limit, std::size_t depth) {
  if ((v.is_array() || v.is_object()) && depth >= kNestingLimit) return fail(nested_too_deep());
  if (v.is_object()) {
    ZR_TRY(push_within(list, v, limit));
    Value keep = v;
    value::FieldsRef fields = keep.as_object().borrow();
    for (const auto& [k, x] : *fields) {
      ZR_TRY(stack::nest(depth + 1, [&] { return recurse_descendants(x, list, limit, depth + 1); }));
    }
    return {};
  }
  if (v.is_array()) {
    Value keep = v;
    for (const Value& x : keep.as_array().read()) {
      ZR_TRY(stack::nest(depth + 1, [&] { return recurse_descendants(x, list, limit, depth + 1); }));
    }
    return {};
  }
  return push_within(list, v, limit);
}

}  // namespace

Result<Value> Evaluator::wildcard(const Value& input) {
  const std::size_t limit = limits_.max_array_length;
  Value v = input;
  if (v.is_array() && (v.as_array().flags & value::kOuterWrapper) && !v.as_array().read().empty())
    v = Value(v.as_array().read().front());
  Items collected;
  if (v.is_object()) {
    value::FieldsRef fields = v.as_object().borrow();
    collected.reserve(fields->size());
    for (const auto& [k, x] : *fields) collected.push_back(x);
  } else if (v.is_array()) {
    collected = v.as_array().read();
  }
  Items out;
  bool flattened = false;
  for (Value& c : collected) {
    if (!c.is_array()) {
      out.push_back(std::move(c));
      continue;
    }
    flattened = true;
    ZR_TRY(value::for_each_leaf(c, [&](const Value& leaf) -> Status {
      if (out.size() >= limit) return fail(array_too_long(limit));
      out.push_back(leaf);
      return {};
    }));
  }
  return Value::array_with(std::move(out), flattened ? 0 : value::kSequence);
}

Result<Value> Evaluator::descendants(const Value& input) {
  if (input.is_undefined()) return Value();
  Items list;
  ZR_TRY(recurse_descendants(input, list, limits_.max_array_length, 0));
  if (list.size() == 1) return std::move(list.front());
  return Value::sequence(std::move(list));
}

}  // namespace zarnu_core::eval
