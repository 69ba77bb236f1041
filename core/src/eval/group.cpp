// Object constructors and group-by: keys evaluated over every item, items gathered under the keys they
// produce, and each pair's value evaluated once per key over its gathered items.
#include <array>
#include <span>
#include <string>
#include <vector>

#include <tsl/ordered_map.h>

#include "eval/eval.hpp"
#include "value/output.hpp"

namespace zarnu_core::eval {

using ast::Node;
using ast::NodeKind;

namespace {

struct PairRef {
  const Node* key;
  const Node* value;
};

struct TextHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view s) const noexcept { return hash::bytes(s, hash::process_seed()); }
};

struct GroupRecord {
  Items members;
  std::size_t pair = 0;
};

using Table = tsl::ordered_map<std::string, GroupRecord, TextHash, std::equal_to<>>;

bool plain_string_literal(const Node& n) noexcept {
  return n.kind == NodeKind::String && !n.attrs && !n.cons_array && !n.tuple;
}

}  // namespace

Value join_group(Items members) {
  std::size_t defined = 0;
  Value* only = nullptr;
  for (Value& m : members)
    if (!m.is_undefined()) {
      ++defined;
      only = &m;
    }
  if (defined == 0) return Value();
  if (defined == 1) return std::move(*only);
  Items out;
  for (Value& m : members) {
    if (m.is_undefined()) continue;
    if (m.is_array()) {
      const Items& items = m.as_array().read();
      out.insert(out.end(), items.begin(), items.end());
    } else {
      out.push_back(std::move(m));
    }
  }
  return Value::array_with(std::move(out), 0);
}

namespace {

// The group-by over a list of pairs, shared by constructors and group-by attributes.
class Grouping {
  // The most keys compared pairwise for clashes.
  static constexpr std::size_t kLiteralKeys = 16;

 public:
  Grouping(Evaluator& ev, const Node& node, const FrameRef& frame, std::span<const PairRef> pairs)
      : ev_(ev), node_(node), frame_(frame), pairs_(pairs) {}

  Result<Value> run(Value input) {
    if (input.is_array() && (input.as_array().flags & value::kTupleStream))
      return general(input.items_or_self(), true);
    if (!input.is_array()) return single(input);
    const Items& items = input.as_array().read();
    if (items.size() <= 1) return single(items.empty() ? Value() : items.front());
    return general(items, false);
  }

 private:
  // The key a pair produces for a context: none for undefined; T1003 for anything but a string.
  Result<std::optional<std::string>> key(const PairRef& p, const Value& context, const FrameRef& frame) {
    const Node& k = *p.key;
    if (plain_string_literal(k) && !ev_.tracer() && ev_.depth() < ev_.limits().max_depth)
      return std::optional<std::string>(k.text);
    ZR_TRY(Value v, ev_.eval(k, context, frame));
    if (v.is_undefined()) return std::optional<std::string>();
    if (!v.is_string()) return fail(locate(with_value(error::Error("T1003"), v), node_));
    return std::optional<std::string>(std::string(v.as_string()));
  }

  error::Error duplicate(const std::string& k) const {
    return locate(error::Error("D1009").with("value", k), node_);
  }

  // Whether every key is a distinct plain string: then they take no evaluation and cannot clash.
  bool literal_keys() const {
    if (ev_.tracer() || ev_.depth() >= ev_.limits().max_depth || pairs_.size() > kLiteralKeys) return false;
    for (std::size_t i = 0; i < pairs_.size(); ++i) {
      if (!plain_string_literal(*pairs_[i].key)) return false;
      for (std::size_t j = 0; j < i; ++j)
        if (pairs_[j].key->text == pairs_[i].key->text) return false;
    }
    return true;
  }

  Result<Value> single(const Value& item) {
    if (literal_keys()) {
      Value result = Value::object(pairs_.size());
      value::Fields& out = result.as_object().fields;
      for (const PairRef& p : pairs_) {
        ZR_TRY(Value v, ev_.eval(*p.value, item, frame_));
        if (!v.is_undefined()) out.try_emplace(ev_.key(p.key->text), std::move(v));
      }
      return result;
    }
    Table keys;
    keys.reserve(pairs_.size());
    for (std::size_t i = 0; i < pairs_.size(); ++i) {
      ZR_TRY(auto k, key(pairs_[i], item, frame_));
      if (!k) continue;
      if (keys.find(*k) != keys.end()) return fail(duplicate(*k));
      keys.emplace(std::move(*k), GroupRecord{{}, i});
    }
    Value result = Value::object(keys.size());
    value::Fields& out = result.as_object().fields;
    for (const auto& [k, record] : keys) {
      ZR_TRY(Value v, ev_.eval(*pairs_[record.pair].value, item, frame_));
      if (!v.is_undefined()) out.try_emplace(value::Str::make(k), std::move(v));
    }
    return result;
  }

  Result<Value> general(const Items& items, bool tuples) {
    Table table;
    for (const Value& item : items) {
      FrameRef frame = tuples ? ev_.frame_from_tuple(frame_, item) : frame_;
      Value context = tuples ? tuple_get(item) : item;
      for (std::size_t i = 0; i < pairs_.size(); ++i) {
        ZR_TRY(auto k, key(pairs_[i], context, frame));
        if (!k) continue;
        auto it = table.find(*k);
        if (it == table.end()) {
          Items members;
          members.push_back(item);
          table.emplace(std::move(*k), GroupRecord{std::move(members), i});
        } else if (it->second.pair != i) {
          return fail(duplicate(*k));
        } else {
          it.value().members.push_back(item);
        }
      }
    }
    Value result = Value::object(table.size());
    for (auto it = table.begin(); it != table.end(); ++it) {
      Value joined = join_group(std::move(it.value().members));
      Value context = joined;
      FrameRef frame = frame_;
      if (tuples) {
        value::Fields merged = merge(joined);
        auto at = merged.find(std::string_view("@"));
        context = at != merged.end() ? at->second : Value();
        if (at != merged.end()) merged.erase(at);
        frame = ev_.frame_from_tuple(frame_, Value::adopt_object(new value::Object(std::move(merged))));
      }
      ZR_TRY(Value v, ev_.eval(*pairs_[it->second.pair].value, context, frame));
      if (!v.is_undefined()) result.as_object().fields.try_emplace(value::Str::make(it->first), std::move(v));
    }
    return result;
  }

  // The entries of the joined tuples, each key holding the joined values it had across them.
  static value::Fields merge(const Value& joined) {
    if (!joined.is_array()) return tuple_map(joined);
    tsl::ordered_map<value::Str, Items, value::KeyHash, value::KeyEq> lists(0,
                                                                            value::KeyHash{hash::map_seed()});
    for (const Value& t : joined.as_array().read()) {
      if (!t.is_object()) continue;
      value::FieldsRef fields = t.as_object().borrow();
      for (const auto& [k, v] : *fields) lists[k].push_back(v);
    }
    value::Fields out = value::make_fields(lists.size());
    for (auto it = lists.begin(); it != lists.end(); ++it)
      out.try_emplace(it->first, join_group(std::move(it.value())));
    return out;
  }

  Evaluator& ev_;
  const Node& node_;
  const FrameRef& frame_;
  std::span<const PairRef> pairs_;
};

}  // namespace

Result<Value> Evaluator::object_constructor(const Node& node, const Value& input, const FrameRef& frame) {
  // A constructor runs once per item of a path: its few pairs are listed without an allocation.
  constexpr std::size_t kListed = 8;
  const std::size_t n = node.children.size() / 2;
  std::array<PairRef, kListed> listed;
  std::vector<PairRef> more;
  if (n > kListed) more.resize(n);
  PairRef* pairs = n > kListed ? more.data() : listed.data();
  for (std::size_t i = 0; i < n; ++i) pairs[i] = {&node.children[2 * i], &node.children[2 * i + 1]};
  return Grouping(*this, node, frame, std::span<const PairRef>(pairs, n)).run(input);
}

Result<Value> Evaluator::group(const ast::Group& g, const Node& node, Value input, const FrameRef& frame) {
  std::vector<PairRef> pairs;
  pairs.reserve(g.pairs.size());
  for (const auto& [k, v] : g.pairs) pairs.push_back({&k, &v});
  return Grouping(*this, node, frame, pairs).run(std::move(input));
}

}  // namespace zarnu_core::eval
