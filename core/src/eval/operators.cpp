// Binary operators (arithmetic, comparison, concatenation, logic, membership, ranges) with the language's
// type rules, and the array constructor.
#include <cmath>

#include "eval/eval.hpp"
#include "eval/truth.hpp"
#include "support/saturate.hpp"
#include "value/equality.hpp"
#include "value/limits.hpp"
#include "value/output.hpp"

namespace zarnu_core::eval {

using ast::BinOp;
using ast::Node;
using ast::NodeKind;

namespace {

// Errors raised by an operator get its position and its token, each only when missing.
error::Error finish_error(error::Error e, const Node& node) {
  e = locate(std::move(e), node);
  if (!e.detail("token")) e = std::move(e).with_token(ast::op_text(node.op));
  return e;
}

error::Error out_of_range() {
  return error::Error("D1001").with("value", json::Json(nullptr));
}

// A string literal that can be compared without being evaluated as a node.
bool plain_string_literal(const Node& n) noexcept {
  return n.kind == NodeKind::String && !n.attrs && !n.cons_array && !n.tuple;
}

bool same_instance(const Value& a, const Value& b) noexcept {
  if (a.tag() != b.tag()) return false;
  switch (a.tag()) {
    case value::Tag::Null:
      return true;
    case value::Tag::Bool:
      return a.as_boolean() == b.as_boolean();
    case value::Tag::Number:
      return a.as_number() == b.as_number();
    case value::Tag::String:
      return a.as_string() == b.as_string();
    case value::Tag::Array:
    case value::Tag::Object:
    case value::Tag::Function:
      return a.same_payload(b);
    case value::Tag::Undefined:
      return false;
  }
  return false;
}

Result<Value> arithmetic(BinOp op, const Value& left, const Value& right) {
  if (!left.is_undefined()) {
    if (!left.is_number() || std::isnan(left.as_number()))
      return fail(with_value(error::Error("T2001"), left));
    if (std::isinf(left.as_number())) return fail(out_of_range());
  }
  if (right.is_undefined()) return Value();
  if (!right.is_number() || std::isnan(right.as_number()))
    return fail(with_value(error::Error("T2002"), right));
  if (std::isinf(right.as_number())) return fail(out_of_range());
  if (left.is_undefined()) return Value();
  const double a = left.as_number(), b = right.as_number();
  double r = 0;
  switch (op) {
    case BinOp::Add:
      r = a + b;
      break;
    case BinOp::Sub:
      r = a - b;
      break;
    case BinOp::Mul:
      r = a * b;
      break;
    case BinOp::Div:
      r = a / b;
      break;
    default:
      r = std::fmod(a, b);
      break;
  }
  if (std::isinf(r)) return fail(out_of_range());
  return Value::number(r);
}

Result<Value> ordering(BinOp op, const Value& left, const Value& right) {
  auto comparable = [](const Value& v) { return v.is_undefined() || v.is_number() || v.is_string(); };
  if (!comparable(left) || !comparable(right)) {
    const Value& shown = (left.is_number() || left.is_string()) ? right : left;
    return fail(with_value(error::Error("T2010"), shown));
  }
  if (left.is_undefined() || right.is_undefined()) return Value();
  if (left.is_number() && right.is_number()) {
    const double a = left.as_number(), b = right.as_number();
    switch (op) {
      case BinOp::Lt:
        return Value::boolean(a < b);
      case BinOp::Le:
        return Value::boolean(a <= b);
      case BinOp::Gt:
        return Value::boolean(a > b);
      default:
        return Value::boolean(a >= b);
    }
  }
  if (left.is_string() && right.is_string()) {
    auto o = value::js_string_cmp(left.as_string(), right.as_string());
    const int c = o < 0 ? -1 : (o > 0 ? 1 : 0);
    switch (op) {
      case BinOp::Lt:
        return Value::boolean(c < 0);
      case BinOp::Le:
        return Value::boolean(c <= 0);
      case BinOp::Gt:
        return Value::boolean(c > 0);
      default:
        return Value::boolean(c >= 0);
    }
  }
  error::Error e = with_value(error::Error("T2009"), left);
  if (auto detail = value::to_json_detail(right)) e = std::move(e).with("value2", std::move(*detail));
  return fail(std::move(e));
}

bool member(const Value& left, const Value& right) {
  if (left.is_undefined() || right.is_undefined()) return false;
  if (!right.is_array()) return same_instance(left, right);
  Value keep = right;
  for (const Value& candidate : keep.as_array().read())
    if (same_instance(left, candidate)) return true;
  return false;
}

}  // namespace

Result<Value> range(const Value& left, const Value& right, std::size_t most_items, Evaluator* ev) {
  auto integral = [](const Value& v) {
    return v.is_number() && std::isfinite(v.as_number()) && v.as_number() == std::trunc(v.as_number());
  };
  if (!left.is_undefined() && !integral(left)) return fail(with_value(error::Error("T2003"), left));
  if (right.is_undefined()) return Value();
  if (!integral(right)) return fail(with_value(error::Error("T2004"), right));
  if (left.is_undefined()) return Value();
  const double a = left.as_number(), b = right.as_number();
  if (a > b) return Value();
  const double count = b - a + 1;
  if (count > 1e7) return fail(error::Error("D2014").with("value", value::json_number(count)));
  const auto from = saturate_cast<std::int64_t>(a);
  const auto n = saturate_cast<std::size_t>(count);
  if (n > most_items) return fail(array_too_long(most_items));
  Items items;
  items.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    if (ev) ZR_TRY(ev->step());
    items.push_back(Value::number(static_cast<double>(from + static_cast<std::int64_t>(i))));
  }
  return Value::sequence(std::move(items));
}

Result<Value> Evaluator::binary(const Node& node, const Value& input, const FrameRef& frame) {
  const BinOp op = node.op;
  const Node& l = node.lhs();
  const Node& r = node.rhs();

  if (op == BinOp::And || op == BinOp::Or) {
    ZR_TRY(Value left, eval(l, input, frame));
    auto lt = functions::boolean(left);
    if (!lt) return fail(finish_error(std::move(lt).error(), node));
    const bool lv = lt->value_or(false);
    if ((op == BinOp::And && !lv) || (op == BinOp::Or && lv)) {
      if (tracer_) tracer_->short_circuit(node);
      return Value::boolean(lv);
    }
    auto right = eval(r, input, frame);
    if (!right) return fail(finish_error(std::move(right).error(), node));
    auto rt = functions::boolean(*right);
    if (!rt) return fail(finish_error(std::move(rt).error(), node));
    return Value::boolean(rt->value_or(false));
  }

  if ((op == BinOp::Eq || op == BinOp::Ne) && !tracer_ &&
      (plain_string_literal(l) || plain_string_literal(r))) {
    // «field = "text"»: the literal is compared as text, without being evaluated as a node.
    const bool literal_right = plain_string_literal(r);
    const Node& literal = literal_right ? r : l;
    const Node& other = literal_right ? l : r;
    auto literal_checks = [&]() -> std::optional<error::Error> {
      if (depth_ >= limits_.max_depth) return error::Error("D1011").with("value", limits_.max_depth);
      return poll();
    };
    if (!literal_right)
      if (auto e = literal_checks()) return fail(std::move(*e));
    ZR_TRY(Value v, eval(other, input, frame));
    if (literal_right)
      if (auto e = literal_checks()) return fail(std::move(*e));
    if (v.is_undefined()) return Value::boolean(false);
    const bool same = v.is_string() && v.as_string() == literal.text;
    return Value::boolean(op == BinOp::Eq ? same : !same);
  }

  ZR_TRY(Value left, eval(l, input, frame));
  ZR_TRY(Value right, eval(r, input, frame));

  switch (op) {
    case BinOp::Add:
    case BinOp::Sub:
    case BinOp::Mul:
    case BinOp::Div:
    case BinOp::Mod: {
      auto out = arithmetic(op, left, right);
      if (!out) return fail(finish_error(std::move(out).error(), node));
      return out;
    }
    case BinOp::Eq:
    case BinOp::Ne: {
      if (tracer_) tracer_->operands(node, value::Inspect(left), value::Inspect(right));
      if (left.is_undefined() || right.is_undefined()) return Value::boolean(false);
      ZR_TRY(bool same, value::deep_eq(left, right));
      return Value::boolean(op == BinOp::Eq ? same : !same);
    }
    case BinOp::Lt:
    case BinOp::Le:
    case BinOp::Gt:
    case BinOp::Ge: {
      if (tracer_) tracer_->operands(node, value::Inspect(left), value::Inspect(right));
      auto out = ordering(op, left, right);
      if (!out) return fail(finish_error(std::move(out).error(), node));
      return out;
    }
    case BinOp::Concat: {
      ZR_TRY(auto a, functions::to_string(left, false, limits_.max_string_length));
      ZR_TRY(auto b, functions::to_string(right, false, limits_.max_string_length));
      const std::size_t na = a ? a->size() : 0, nb = b ? b->size() : 0;
      if (auto e = check_string(limits_.max_string_length, na + nb))
        return fail(finish_error(std::move(*e), node));
      std::string text;
      text.reserve(na + nb);
      if (a) text += *a;
      if (b) text += *b;
      return Value::string(text);
    }
    case BinOp::In:
      if (tracer_) tracer_->operands(node, value::Inspect(left), value::Inspect(right));
      return Value::boolean(member(left, right));
    case BinOp::Range: {
      auto out = range(left, right, limits_.max_array_length, this);
      if (!out) return fail(finish_error(std::move(out).error(), node));
      auto checked = check_size(std::move(*out));
      if (!checked) return fail(finish_error(std::move(checked).error(), node));
      return checked;
    }
    case BinOp::And:
    case BinOp::Or:
      break;
  }
  return Value();
}

Result<Value> Evaluator::array_constructor(const Node& node, const Value& input, const FrameRef& frame) {
  const std::size_t limit = limits_.max_array_length;
  Items items;
  for (const Node& item : node.children) {
    ZR_TRY(Value v, eval(item, input, frame));
    if (v.is_undefined()) continue;
    if (item.kind != NodeKind::Array && v.is_array()) {
      const Items& more = v.as_array().read();
      if (items.size() + more.size() > limit) return fail(array_too_long(limit));
      // A sequence nothing else holds (a range, a path's result) gives its items up: a long one would
      // otherwise be copied, and released afterwards, without a poll.
      if (items.empty() && v.use_count() == 1 && !v.as_array().lazy) {
        items = std::move(v.as_array().mut_items());
        continue;
      }
      items.reserve(items.size() + more.size());
      for (const Value& one : more) {
        ZR_TRY(step());
        items.push_back(one);
      }
      continue;
    }
    if (items.size() >= limit) return fail(array_too_long(limit));
    items.push_back(std::move(v));
  }
  return Value::array_with(std::move(items), node.cons_array ? value::kCons : 0);
}

}  // namespace zarnu_core::eval
