// The higher-order built-ins. Every call of a function value goes through the evaluator's callback, which
// counts a level of depth and checks the limits first; the first error ends the built-in and drops what
// it had collected.
#include "functions/higher.hpp"

#include <optional>
#include <utility>

#include "eval/eval.hpp"
#include "eval/truth.hpp"

namespace zarnu_core::functions {

using value::Items;
using value::Value;

std::size_t callee_arity(const Value& func) noexcept {
  return func.is_function() ? eval::arity(func.as_function()) : 1;
}

Items hof_args(const Value& func, Value v, Value second, Value third) {
  const std::size_t n = callee_arity(func);
  Items out;
  out.reserve(n < 2 ? 1 : n < 3 ? 2 : 3);
  out.push_back(std::move(v));
  if (n >= 2) out.push_back(std::move(second));
  if (n >= 3) out.push_back(std::move(third));
  return out;
}

}  // namespace zarnu_core::functions

namespace zarnu_core::functions::collections {

using value::Items;
using value::Value;

namespace {

Value index(std::size_t i) noexcept {
  return Value::number(static_cast<double>(i));
}

// The items of `v`, or `v` itself as the one item (put into `one`) when it is no array. By reference, not
// a copy: copying a long array would be a long loop without a poll. `v` must be held (by the call's
// arguments) while the items are used; nothing takes items out of an array that is held.
const Items& items_of(const Value& v, Items& one) {
  if (v.is_array()) return v.as_array().read();
  one.push_back(v);
  return one;
}

// Calls `func` for each item of `arr` with the item, its position and the array.
template <class Each>
Status for_each_item(eval::Evaluator& ev, const Value& arr, const Value& func, const Call& call,
                     Each&& each) {
  Items one;
  const Items& items = items_of(arr, one);
  for (std::size_t i = 0; i < items.size(); ++i) {
    Value item = items[i];
    ZR_TRY(Value r, ev.callback(func, hof_args(func, item, index(i), arr), call.frame));
    ZR_TRY(each(i, item, std::move(r)));
  }
  return {};
}

// Calls `func` for each pair of the object `obj` with the value, the key and the object.
template <class Each>
Status for_each_pair(eval::Evaluator& ev, const Value& obj, const Value& func, const Call& call,
                     Each&& each) {
  for (value::Entry& pair : entries(obj)) {
    ZR_TRY(Value r,
           ev.callback(func, hof_args(func, pair.second, Value::string(pair.first), obj), call.frame));
    ZR_TRY(each(std::move(pair), std::move(r)));
  }
  return {};
}

error::Error single_none() {
  return error::Error("D3139");
}

error::Error single_more(std::size_t at) {
  return error::Error("D3138").with("index", at);
}

}  // namespace

std::vector<value::Entry> entries(const Value& v) {
  std::vector<value::Entry> out;
  if (!v.is_object()) return out;
  const value::FieldsRef fields = v.as_object().borrow();
  out.reserve(fields->size());
  for (const value::Entry& e : *fields) out.push_back(e);
  return out;
}

Result<Value> map(eval::Evaluator& ev, Items args, const Call& call) {
  const Value& arr = arg_at(args, 0);
  if (arr.is_undefined()) return Value();
  Items out;
  // At most one result per item: no reallocation (an unpolled move of everything so far) as it grows.
  out.reserve(arr.is_array() ? arr.as_array().read().size() : 1);
  ZR_TRY(for_each_item(ev, arr, arg_at(args, 1), call, [&](std::size_t, const Value&, Value r) -> Status {
    if (!r.is_undefined()) out.push_back(std::move(r));
    return ev.check_items(out.size());
  }));
  return Value::sequence(std::move(out));
}

Result<Value> filter(eval::Evaluator& ev, Items args, const Call& call) {
  const Value& arr = arg_at(args, 0);
  if (arr.is_undefined()) return Value();
  Items out;
  ZR_TRY(
      for_each_item(ev, arr, arg_at(args, 1), call, [&](std::size_t, const Value& item, Value r) -> Status {
        ZR_TRY(auto keep, boolean(r));
        if (keep.value_or(false)) out.push_back(item);
        return ev.check_items(out.size());
      }));
  return Value::sequence(std::move(out));
}

Result<Value> single(eval::Evaluator& ev, Items args, const Call& call) {
  const Value& arr = arg_at(args, 0);
  if (arr.is_undefined()) return Value();
  const Value& func = arg_at(args, 1);
  if (func.is_undefined()) {
    Items one;
    const Items& items = items_of(arr, one);
    if (items.empty()) return fail(single_none());
    if (items.size() > 1) return fail(single_more(1));
    return items.front();
  }
  std::optional<Value> match;
  ZR_TRY(for_each_item(ev, arr, func, call, [&](std::size_t i, const Value& item, Value r) -> Status {
    ZR_TRY(auto hit, boolean(r));
    if (!hit.value_or(false)) return {};
    if (match) return fail(single_more(i));
    match = item;
    return {};
  }));
  if (!match) return fail(single_none());
  return std::move(*match);
}

Result<Value> reduce(eval::Evaluator& ev, Items args, const Call& call) {
  const Value& sequence = arg_at(args, 0);
  if (sequence.is_undefined()) return Value();
  const Value& func = arg_at(args, 1);
  const std::size_t arity = callee_arity(func);
  if (func.is_undefined() || arity < 2) return fail(error::Error("D3050").with_index(1));
  Items one;
  const Items& items = items_of(sequence, one);
  const Value& init = arg_at(args, 2);
  Value acc;
  std::size_t start = 0;
  if (!init.is_undefined()) {
    acc = init;
  } else if (!items.empty()) {
    acc = items.front();
    start = 1;
  }
  for (std::size_t i = start; i < items.size(); ++i) {
    Items call_args;
    call_args.reserve(arity < 4 ? arity : 4);
    call_args.push_back(std::move(acc));
    call_args.push_back(items[i]);
    if (arity >= 3) call_args.push_back(index(i));
    if (arity >= 4) call_args.push_back(sequence);
    ZR_TRY(acc, ev.callback(func, std::move(call_args), call.frame));
  }
  return acc;
}

Result<Value> sift(eval::Evaluator& ev, Items args, const Call& call) {
  Value out = Value::object();
  value::Fields& kept = out.as_object().fields;
  ZR_TRY(for_each_pair(ev, arg_at(args, 0), arg_at(args, 1), call, [&](value::Entry pair, Value r) -> Status {
    ZR_TRY(auto keep, boolean(r));
    if (keep.value_or(false)) kept.insert_or_assign(std::move(pair.first), std::move(pair.second));
    return {};
  }));
  if (kept.empty()) return Value();
  return out;
}

Result<Value> each(eval::Evaluator& ev, Items args, const Call& call) {
  Items out;
  ZR_TRY(for_each_pair(ev, arg_at(args, 0), arg_at(args, 1), call, [&](value::Entry, Value r) -> Status {
    if (!r.is_undefined()) out.push_back(std::move(r));
    return ev.check_items(out.size());
  }));
  return Value::sequence(std::move(out));
}

}  // namespace zarnu_core::functions::collections
