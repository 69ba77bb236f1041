// The array and object built-ins and $sort. Arrays that need no change are handed back shared; every new
// array is plain unless a built-in's rule makes it a sequence.
#include "functions/collections.hpp"

#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>
#include <utility>

#include <boost/unordered/unordered_flat_map.hpp>
#include <boost/unordered/unordered_flat_set.hpp>

#include "eval/eval.hpp"
#include "eval/lookup.hpp"
#include "eval/merge_sort.hpp"
#include "functions/higher.hpp"
#include "functions/numbers.hpp"
#include "support/saturate.hpp"
#include "value/equality.hpp"
#include "value/leaves.hpp"

namespace zarnu_core::functions::collections {

using value::Items;
using value::Str;
using value::Value;

namespace {

Value plain(Items items) {
  return Value::array_with(std::move(items), 0);
}

// Collected keys in first-seen order. Few keys are checked by a scan; past a handful an index takes over,
// so an array of many objects with many distinct keys stays linear.
class KeyList {
 public:
  // Adds every key of an object that is not listed yet; any other value adds nothing.
  void keys_of(const Value& v) {
    if (!v.is_object()) return;
    const value::FieldsRef fields = v.as_object().borrow();
    for (const value::Entry& e : *fields) add(e.first);
  }

  Items take() {
    Items out;
    out.reserve(keys_.size());
    for (Str& k : keys_) out.push_back(Value::string(std::move(k)));
    keys_.clear();
    return out;
  }

 private:
  static constexpr std::size_t kScan = 16;

  void add(const Str& key) {
    if (keys_.size() < kScan) {
      for (const Str& k : keys_)
        if (k == key) return;
      keys_.push_back(key);
      if (keys_.size() == kScan)
        for (const Str& k : keys_) index_.insert(k.view());
      return;
    }
    // The views point into the shared texts the list holds, which never move.
    if (!index_.insert(key.view()).second) return;
    keys_.push_back(key);
  }

  std::vector<Str> keys_;
  boost::unordered_flat_set<std::string_view, value::KeyHash, std::equal_to<>> index_{
      0, value::KeyHash{hash::map_seed()}};
};

// The items kept by $distinct. Only values of one kind can be equal, so scalars are found through sets
// (numbers by value, with both zeros one key and NaN equal to nothing, functions by identity). Containers
// and undefined are compared only with the kept values of the same deep hash; values too deeply nested to
// hash are compared with every other such value, in the order kept, as equality may fail on them.
class Kept {
 public:
  Result<bool> add(eval::Evaluator& ev, const Value& v) {
    switch (v.tag()) {
      case value::Tag::Null:
        return std::exchange(null_, true) ? false : keep(v);
      case value::Tag::Bool:
        return std::exchange(bools_[v.as_boolean()], true) ? false : keep(v);
      case value::Tag::Number: {
        const double x = v.as_number();
        if (std::isnan(x)) return keep(v);
        if (!numbers_.insert(std::bit_cast<std::uint64_t>(x == 0 ? 0.0 : x)).second) return false;
        return keep(v);
      }
      case value::Tag::String:
        if (!strings_.insert(v.as_string()).second) return false;
        return keep(v);
      case value::Tag::Function:  // equal only to itself
        if (!functions_.insert(&v.as_function()).second) return false;
        return keep(v);
      default:
        break;
    }
    const std::optional<std::uint64_t> h = value::deep_hash(v, seed_);
    if (!h) {
      for (const Value& other : deep_) {
        ZR_TRY(ev.step());
        ZR_TRY(bool same, value::deep_eq(other, v));
        if (same) return false;
      }
      deep_.push_back(v);
      return keep(v);
    }
    // Each hash leads to the last kept value that has it, and each kept value to the previous one.
    auto [it, inserted] = by_hash_.try_emplace(*h, kNone);
    for (std::size_t i = it->second; i != kNone; i = others_[i].previous) {
      ZR_TRY(ev.step());
      ZR_TRY(bool same, value::deep_eq(others_[i].value, v));
      if (same) return false;
    }
    others_.push_back({v, it->second});
    it->second = others_.size() - 1;
    return keep(v);
  }

  Items take() noexcept { return std::move(out_); }

 private:
  static constexpr std::size_t kNone = static_cast<std::size_t>(-1);
  struct Other {
    Value value;
    std::size_t previous;
  };

  bool keep(const Value& v) {
    out_.push_back(v);
    return true;
  }

  Items out_;
  std::vector<Other> others_;
  Items deep_;
  const std::uint64_t seed_ = hash::map_seed();
  boost::unordered_flat_map<std::uint64_t, std::size_t> by_hash_;
  bool null_ = false;
  bool bools_[2] = {false, false};
  boost::unordered_flat_set<std::uint64_t> numbers_;
  boost::unordered_flat_set<const value::Function*> functions_;
  // Views of strings held by `out_`.
  boost::unordered_flat_set<std::string_view, value::KeyHash, std::equal_to<>> strings_{
      0, value::KeyHash{hash::map_seed()}};
};

error::Error out_of_range() {
  return error::Error("D1001").with("value", json::Json(nullptr));
}

// Whether a comparator's answer asks for a swap. Not the effective boolean value: any container or
// function counts as true, even when empty, and an infinite number is simply non-zero.
bool comparator_true(const Value& r) noexcept {
  switch (r.tag()) {
    case value::Tag::Undefined:
    case value::Tag::Null:
      return false;
    case value::Tag::Bool:
      return r.as_boolean();
    case value::Tag::Number:
      return r.as_number() != 0 && !std::isnan(r.as_number());
    case value::Tag::String:
      return !r.as_string().empty();
    default:
      return true;
  }
}

// Checks that the items can be sorted without a comparator: all numbers (none NaN) or all strings.
Status check_default_sortable(const Items& items) {
  bool numbers = true;
  for (const Value& item : items) {
    if (!item.is_number() || std::isnan(item.as_number())) {
      numbers = false;
      break;
    }
    if (std::isinf(item.as_number())) return fail(out_of_range());
  }
  if (numbers) return {};
  for (const Value& item : items)
    if (!item.is_string()) return fail(error::Error("D3070").with_index(1));
  return {};
}

bool default_after(const Value& a, const Value& b) noexcept {
  if (a.is_number() && b.is_number()) return a.as_number() > b.as_number();
  if (a.is_string() && b.is_string()) return value::js_string_cmp(a.as_string(), b.as_string()) > 0;
  return false;
}

}  // namespace

std::vector<Value> field_objects(const Value& object) {
  std::vector<Value> out;
  for (value::Entry& pair : entries(object)) {
    Value one = Value::object(1);
    one.as_object().fields.insert_or_assign(std::move(pair.first), std::move(pair.second));
    out.push_back(std::move(one));
  }
  return out;
}

Result<Value> zip(eval::Evaluator&, Items args, const Call&) {
  std::size_t rows = args.empty() ? 0 : SIZE_MAX;
  for (const Value& a : args) rows = std::min(rows, a.is_array() ? a.as_array().read().size() : 0);
  Items out;
  out.reserve(rows);
  for (std::size_t i = 0; i < rows; ++i) {
    Items row;
    row.reserve(args.size());
    for (const Value& a : args) row.push_back(a.as_array().read()[i]);
    out.push_back(plain(std::move(row)));
  }
  return plain(std::move(out));
}

Result<Value> keys(eval::Evaluator& ev, Items args, const Call&) {
  const Value& a = arg_at(args, 0);
  KeyList list;
  if (a.is_array()) {
    ZR_TRY(value::for_each_leaf(
        a,
        [&](const Value& item) -> Status {
          list.keys_of(item);
          return {};
        },
        [&] { return ev.step(); }));
  } else {
    list.keys_of(a);
  }
  return Value::sequence(list.take());
}

Result<Value> lookup(eval::Evaluator&, Items args, const Call&) {
  const Value& key = arg_at(args, 1);
  return functions::lookup(arg_at(args, 0), key.is_string() ? key.as_string() : std::string_view());
}

Result<Value> spread(eval::Evaluator&, Items args, const Call&) {
  const Value& a = arg_at(args, 0);
  if (a.is_object()) {
    std::vector<Value> parts = field_objects(a);
    return Value::sequence(
        Items(std::make_move_iterator(parts.begin()), std::make_move_iterator(parts.end())));
  }
  if (!a.is_array()) return a;
  Items out;
  ZR_TRY(value::for_each_leaf(a, [&](const Value& item) -> Status {
    if (item.is_object()) {
      for (Value& part : field_objects(item)) out.push_back(std::move(part));
    } else if (!item.is_undefined()) {
      out.push_back(item);
    }
    return {};
  }));
  const Items& top = a.as_array().read();
  const bool nothing = std::all_of(top.begin(), top.end(), [](const Value& v) { return v.is_undefined(); });
  return Value::array_with(std::move(out), nothing ? value::kSequence : 0);
}

Result<Value> merge(eval::Evaluator&, Items args, const Call&) {
  const Value& a = arg_at(args, 0);
  if (a.is_undefined()) return Value();
  Value out = Value::object();
  value::Fields& fields = out.as_object().fields;
  for (const Value& item : a.items_or_self())
    for (value::Entry& pair : entries(item))
      fields.insert_or_assign(std::move(pair.first), std::move(pair.second));
  return out;
}

Result<Value> append(eval::Evaluator&, Items args, const Call&) {
  const Value& first = arg_at(args, 0);
  const Value& second = arg_at(args, 1);
  if (first.is_undefined()) return second;
  if (second.is_undefined()) return first;
  Items out = first.items_or_self();
  if (second.is_array()) {
    const Items& more = second.as_array().read();
    out.insert(out.end(), more.begin(), more.end());
  } else {
    out.push_back(second);
  }
  return plain(std::move(out));
}

Result<Value> reverse(eval::Evaluator&, Items args, const Call&) {
  const Value& a = arg_at(args, 0);
  if (!a.is_array() || a.as_array().read().size() < 2) return a;
  const Items& items = a.as_array().read();
  return plain(Items(items.rbegin(), items.rend()));
}

Result<Value> shuffle(eval::Evaluator& ev, Items args, const Call&) {
  const Value& a = arg_at(args, 0);
  if (!a.is_array() || a.as_array().read().size() < 2) return a;
  const Items& items = a.as_array().read();
  // Inside-out Fisher-Yates: one draw per item, the first included.
  Items out;
  out.reserve(items.size());
  for (std::size_t i = 0; i < items.size(); ++i) {
    ZR_TRY(ev.step());
    const double r = numbers::draw(ev);
    const auto j = saturate_cast<std::size_t>(std::floor(r * static_cast<double>(i + 1)));
    if (j >= i) {
      out.push_back(items[i]);
    } else {
      out.push_back(out[j]);
      out[j] = items[i];
    }
  }
  return plain(std::move(out));
}

Result<Value> distinct(eval::Evaluator& ev, Items args, const Call&) {
  const Value& a = arg_at(args, 0);
  if (!a.is_array() || a.as_array().read().size() < 2) return a;
  Kept kept;
  for (const Value& item : a.as_array().read()) {
    ZR_TRY(ev.step());
    ZR_TRY(kept.add(ev, item));
  }
  return Value::array_with(kept.take(), a.as_array().flags & value::kSequence);
}

Result<Value> sort(eval::Evaluator& ev, Items args, const Call& call) {
  const Value& a = arg_at(args, 0);
  if (!a.is_array() || a.as_array().read().size() < 2) return a;
  // A copy of the item list: the comparator runs user code while the sort reads the items.
  const Items items = a.as_array().read();
  const Value& comparator = arg_at(args, 1);
  std::vector<std::size_t> order(items.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  Result<std::vector<std::size_t>> sorted;
  if (comparator.is_undefined()) {
    ZR_TRY(check_default_sortable(items));
    sorted = merge_sort(std::move(order), [&](std::size_t l, std::size_t r) -> Result<bool> {
      ZR_TRY(ev.step());
      return default_after(items[l], items[r]);
    });
  } else {
    sorted = merge_sort(std::move(order), [&](std::size_t l, std::size_t r) -> Result<bool> {
      Items pair;
      pair.reserve(2);
      pair.push_back(items[l]);
      pair.push_back(items[r]);
      ZR_TRY(Value answer, ev.callback(comparator, std::move(pair), call.frame));
      return comparator_true(answer);
    });
  }
  if (!sorted) return fail(std::move(sorted).error());
  Items out;
  out.reserve(sorted->size());
  for (std::size_t i : *sorted) out.push_back(items[i]);
  return plain(std::move(out));
}

}  // namespace zarnu_core::functions::collections
