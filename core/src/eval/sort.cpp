// The order-by step "^(...)": a stable sort by one or more ascending or descending terms, each term
// evaluated at most once per item.
#include <optional>

#include "eval/eval.hpp"
#include "eval/merge_sort.hpp"
#include "value/equality.hpp"

namespace zarnu_core::eval {

Result<Value> Evaluator::sort(const ast::Node& node, const Value& v, const FrameRef& frame) {
  if (!v.is_array()) return v;
  const Items& items = v.as_array().read();
  const std::size_t n = items.size();
  if (n < 2) return v;
  const bool tuples = v.as_array().flags & value::kTupleStream;
  const std::size_t terms = node.children.size();
  std::vector<std::optional<Value>> keys(n * terms);
  std::vector<FrameRef> scopes(tuples ? n : 0);

  auto key = [&](std::size_t i, std::size_t t) -> Result<Value> {
    std::optional<Value>& slot = keys[i * terms + t];
    if (slot) return *slot;
    if (tuples) {
      if (!scopes[i]) scopes[i] = frame_from_tuple(frame, items[i]);
      ZR_TRY(Value k, eval(node.children[t], tuple_get(items[i]), scopes[i]));
      slot = std::move(k);
    } else {
      ZR_TRY(Value k, eval(node.children[t], items[i], frame));
      slot = std::move(k);
    }
    return *slot;
  };

  auto before = [&](std::size_t a, std::size_t b) -> Result<bool> {
    int c = 0;
    for (std::size_t t = 0; t < terms && c == 0; ++t) {
      ZR_TRY(Value ka, key(a, t));
      ZR_TRY(Value kb, key(b, t));
      if (ka.is_undefined()) {
        c = kb.is_undefined() ? 0 : 1;
        continue;
      }
      if (kb.is_undefined()) {
        c = -1;
        continue;
      }
      auto sortable = [](const Value& x) { return x.is_number() || x.is_string(); };
      if (!sortable(ka) || !sortable(kb))
        return fail(locate(with_value(error::Error("T2008"), sortable(ka) ? kb : ka), node));
      if (ka.tag() != kb.tag()) {
        error::Error e = with_value(error::Error("T2007"), ka);
        if (auto d = value::to_json_detail(kb)) e = std::move(e).with("value2", std::move(*d));
        return fail(locate(std::move(e), node));
      }
      if (ka.is_number()) {
        c = kb.as_number() < ka.as_number() ? 1 : (ka.as_number() < kb.as_number() ? -1 : 0);
      } else {
        auto o = value::js_string_cmp(ka.as_string(), kb.as_string());
        c = o > 0 ? 1 : (o < 0 ? -1 : 0);
      }
      if (node.descending[t]) c = -c;
    }
    return c == 1;
  };

  std::vector<std::size_t> positions(n);
  for (std::size_t i = 0; i < n; ++i) positions[i] = i;
  ZR_TRY(auto sorted, functions::merge_sort(std::move(positions), before));
  Items out;
  out.reserve(n);
  for (std::size_t p : sorted) out.push_back(items[p]);
  return Value::array_with(std::move(out), 0);
}

}  // namespace zarnu_core::eval
