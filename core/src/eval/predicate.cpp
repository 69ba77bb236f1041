// Predicates "[...]": selection by position (numbers, negative from the end, arrays of numbers) or by
// truthiness, over plain sequences and tuple streams.
#include <algorithm>
#include <cmath>

#include "eval/eval.hpp"
#include "eval/lookup.hpp"
#include "eval/truth.hpp"
#include "value/lazy.hpp"

namespace zarnu_core::eval {

using ast::Node;
using ast::NodeKind;

namespace {

error::Error out_of_range() {
  return error::Error("D1001").with("value", json::Json(nullptr));
}

// The position a number selects among n items, or none.
std::optional<std::size_t> position(double k, std::size_t n) {
  double i = std::floor(k);
  if (i < 0) i += static_cast<double>(n);
  if (i < 0 || i >= static_cast<double>(n)) return std::nullopt;
  return static_cast<std::size_t>(i);
}

// An array whose items are all numbers, none NaN (an empty array counts).
bool number_array(const Value& v) {
  if (!v.is_array()) return false;
  for (const Value& x : v.as_array().read())
    if (!x.is_number() || std::isnan(x.as_number())) return false;
  return true;
}

// The field of a predicate «field op number» (op a comparison), or nullptr for any other predicate.
const Node* field_against_number(const Node& predicate) noexcept {
  if (predicate.kind != NodeKind::Binary || predicate.attrs || predicate.keep_array) return nullptr;
  switch (predicate.op) {
    case ast::BinOp::Lt:
    case ast::BinOp::Le:
    case ast::BinOp::Gt:
    case ast::BinOp::Ge:
    case ast::BinOp::Eq:
    case ast::BinOp::Ne:
      break;
    default:
      return nullptr;
  }
  auto plain = [](const Node& n) {
    return !n.attrs && !n.keep_array && !n.keep_singleton && !n.cons_array && !n.tuple;
  };
  const Node* l = &predicate.lhs();
  const Node& r = predicate.rhs();
  // A name alone is a path of one step.
  if (l->kind == NodeKind::Path && plain(*l) && l->children.size() == 1) l = &l->children[0];
  if (l->kind != NodeKind::Name || !plain(*l)) return nullptr;
  if (r.kind != NodeKind::Number || !plain(r)) return nullptr;
  return l;
}

bool compare(ast::BinOp op, double a, double b) noexcept {
  switch (op) {
    case ast::BinOp::Lt:
      return a < b;
    case ast::BinOp::Le:
      return a <= b;
    case ast::BinOp::Gt:
      return a > b;
    case ast::BinOp::Ge:
      return a >= b;
    case ast::BinOp::Eq:
      return a == b;
    default:
      return a != b;
  }
}

// A position in a host array not read yet, as a sequence of the item taken.
std::optional<Value> host_item(const Value& input, double k) {
  auto item = host_pick(input, k);
  if (!item) return std::nullopt;
  Items out;
  if (!item->is_undefined()) out.push_back(std::move(*item));
  return Value::array_with(std::move(out), value::kSequence);
}

}  // namespace

// Only the item taken is read, once every item is known to read without failing.
std::optional<Value> host_pick(const Value& input, double k) {
  value::LazyItems* lazy = value::unread_host_array(input);
  if (!lazy) return std::nullopt;
  auto n = lazy->pending.source->plain_items(lazy->index);
  if (!n) return std::nullopt;
  auto p = position(k, *n);
  if (!p) return Value();
  return value::read_item(*lazy, *p);
}

Result<Value> Evaluator::filter(const Node& predicate, bool constant, Value input, const FrameRef& frame) {
  if (predicate.kind == NodeKind::Number && !predicate.attrs)
    if (auto picked = host_item(input, predicate.number)) return std::move(*picked);
  const bool tuples = input.is_array() && (input.as_array().flags & value::kTupleStream);
  const std::uint8_t flags = tuples ? (value::kSequence | value::kTupleStream) : value::kSequence;
  Items out;

  // The general judgement of item p of n.
  const auto judge = [&](const Value& item, std::size_t p, std::size_t n) -> Status {
    Result<Value> r = tuples ? eval(predicate, tuple_get(item), frame_from_tuple(frame, item))
                             : eval(predicate, item, frame);
    if (!r) return fail(std::move(r).error());
    const std::size_t before = out.size();
    if (r->is_number() && !std::isnan(r->as_number())) {
      if (std::isinf(r->as_number())) return fail(out_of_range());
      if (position(r->as_number(), n) == p) out.push_back(item);
    } else if (number_array(*r)) {
      for (const Value& x : r->as_array().read()) {
        if (std::isinf(x.as_number())) return fail(out_of_range());
        if (position(x.as_number(), n) == p) out.push_back(item);
      }
    } else {
      ZR_TRY(auto truth, functions::boolean(*r));
      if (truth.value_or(false)) out.push_back(item);
    }
    if (tracer_) tracer_->filter_item(predicate, p, value::Inspect(item), out.size() > before);
    return {};
  };

  // «field op number» is decided here, with the checks evaluating its three nodes makes (depth, polls); a
  // field that is neither a number nor missing takes the general way, and so does every field when an item
  // limit of zero refuses the one-item sequence its path makes.
  const Node* field = !tuples && !tracer_ && depth_ + 3 <= limits_.max_depth && limits_.max_array_length > 0
                          ? field_against_number(predicate)
                          : nullptr;
  const auto decided = [&](const Value& v) -> std::optional<bool> {
    if (v.is_undefined()) return false;
    if (v.is_number()) return compare(predicate.op, v.as_number(), predicate.rhs().number);
    return std::nullopt;
  };

  // Records of a host array not read yet: their fields are read in order straight from the source, up to
  // the first that is not a number, and only the records kept (or judged the general way) are read.
  value::LazyItems* host = field ? value::unread_host_array(input) : nullptr;
  std::optional<std::size_t> count;
  // Records kept already must be judged as they were kept: the general way.
  if (host && host->taken.empty()) count = host->pending.source->plain_items(host->index);
  if (count) {
    value::Pending& pending = host->pending;
    // The source gives the records it tested: the one kept is the one whose field was read.
    const auto take = [&](std::size_t p) { return value::read_item(*host, p).value_or(Value()); };
    Items fields;
    for (std::size_t p = 0; p < *count;) {
      const std::size_t start = p;
      fields.clear();
      value::Sink sink(fields, pending.shared);
      std::string failure;
      const auto outcome = pending.source->read_numbers(host->index, p, field->text, sink, failure);
      for (std::size_t j = 0; j < fields.size(); ++j) {
        if (polls_)
          if (auto e = poll()) return fail(std::move(*e));
        if (auto keep = decided(fields[j])) {
          if (!*keep) continue;
          Value item = take(start + j);
          if (!item.is_undefined()) out.push_back(std::move(item));
        } else {
          ZR_TRY(judge(take(start + j), start + j, *count));
        }
      }
      if (outcome == value::FieldOutcome::Failed) {
        pending.shared->record(std::move(failure));
        break;
      }
      if (outcome == value::FieldOutcome::NotSupported || p == start) break;
    }
    return Value::array_with(std::move(out), flags);
  }

  // Filtering nothing gives nothing: an undefined value is no item to keep (kept, it would flatten into a
  // path's result as null).
  Items items = input.is_undefined() ? Items{} : input.items_or_self();
  const std::size_t n = items.size();

  if (predicate.kind == NodeKind::Number && !predicate.attrs) {
    if (auto p = position(predicate.number, n)) out.push_back(std::move(items[*p]));
    return Value::array_with(std::move(out), flags);
  }

  if (constant && !tracer_) {
    if (n == 0) return Value::array_with(std::move(out), flags);
    ZR_TRY(Value r, eval(predicate, items[0], frame));
    if (r.is_number() && !std::isnan(r.as_number())) {
      if (std::isinf(r.as_number())) return fail(out_of_range());
      if (auto p = position(r.as_number(), n)) out.push_back(std::move(items[*p]));
      return Value::array_with(std::move(out), flags);
    }
    if (number_array(r)) {
      std::vector<std::size_t> positions;
      for (const Value& x : r.as_array().read()) {
        if (std::isinf(x.as_number())) return fail(out_of_range());
        if (auto p = position(x.as_number(), n)) positions.push_back(*p);
      }
      std::sort(positions.begin(), positions.end());
      for (std::size_t p : positions) out.push_back(items[p]);
      return Value::array_with(std::move(out), flags);
    }
    ZR_TRY(auto truth, functions::boolean(r));
    if (truth.value_or(false)) return Value::array_with(std::move(items), flags);
    return Value::array_with(std::move(out), flags);
  }

  if (tracer_) tracer_->filter_begin(predicate);
  struct End {
    audit::Tracer* t;
    const Node& p;
    ~End() {
      if (t) t->filter_end(p);
    }
  } end{tracer_, predicate};

  for (std::size_t p = 0; p < n; ++p) {
    const Value& item = items[p];
    if (field && item.is_object()) {
      if (polls_)
        if (auto e = poll()) return fail(std::move(*e));
      const Value v = functions::lookup(item, field->text);
      if (polls_)
        if (auto e = poll()) return fail(std::move(*e));
      if (auto keep = decided(v)) {
        if (*keep) out.push_back(item);
        continue;
      }
    }
    ZR_TRY(judge(item, p, n));
  }
  return Value::array_with(std::move(out), flags);
}

}  // namespace zarnu_core::eval
