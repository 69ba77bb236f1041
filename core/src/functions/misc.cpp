// $error, $assert, $type, $eval and $clone.
#include "functions/misc.hpp"

#include <algorithm>
#include <cmath>
#include <memory>
#include <string>
#include <utility>

#include "document.hpp"
#include "eval.hpp"
#include "functions/higher.hpp"
#include "functions/truth.hpp"
#include "json.hpp"
#include "parse.hpp"
#include "process.hpp"

namespace zarnu_core::functions::collections {

using value::Items;
using value::Value;

namespace {

// The message argument when it is a non-empty string, else the default text.
std::string message_or(const Value& v, std::string_view fallback) {
  return std::string(v.is_string() && !v.as_string().empty() ? v.as_string() : fallback);
}

// How many of the most recent trees $eval compiled are checked for the same text before compiling
// again: an $eval inside a loop usually evaluates one text many times.
constexpr std::size_t kRecentTrees = 8;

// The tree of an expression text, compiled now or found among the evaluation's recent ones. Every tree
// stays with the evaluation's keeper until it ends: function values made from the text, names it binds in
// the caller's scope and a tracer's records all refer into it.
Result<std::shared_ptr<const ast::Ast>> tree_of(eval::Evaluator& ev, std::string_view text) {
  auto& kept = ev.keeper()->more;
  const std::size_t from = kept.size() - std::min(kept.size(), kRecentTrees);
  for (std::size_t i = kept.size(); i > from; --i)
    if (kept[i - 1]->source == text) return kept[i - 1];
  auto parsed = zarnu_core::parse(text);
  if (!parsed) return fail(error::Error("D3120").with("value", parsed.error().message()));
  // The text may call $eval under another name (a variable of the caller's scope bound to it), which
  // the text alone cannot show: every block that makes a call gets a scope of its own, so that nothing
  // the text binds leaks into the caller's scope.
  process::mark_frames(parsed->root, true);
  kept.push_back(std::make_shared<const ast::Ast>(std::move(*parsed)));
  return kept.back();
}

}  // namespace

Result<Value> error_(eval::Evaluator&, Items args, const Call&) {
  return fail(error::Error("D3137").with_message(message_or(arg_at(args, 0), "$error() function evaluated")));
}

Result<Value> assert_(eval::Evaluator&, Items args, const Call&) {
  const Value& condition = arg_at(args, 0);
  if (condition.is_bool() && condition.as_boolean()) return Value();
  return fail(error::Error("D3141").with_message(message_or(arg_at(args, 1), "$assert() statement failed")));
}

Result<Value> type_(eval::Evaluator&, Items args, const Call&) {
  const Value& a = arg_at(args, 0);
  switch (a.tag()) {
    case value::Tag::Undefined:
      return Value();
    case value::Tag::Null:
      return Value::string("null");
    case value::Tag::Bool:
      return Value::string("boolean");
    case value::Tag::Number:
      if (std::isinf(a.as_number())) return fail(error::Error("D1001").with("value", json::Json(nullptr)));
      // NaN is not a number a document can hold.
      return Value::string(std::isnan(a.as_number()) ? "object" : "number");
    case value::Tag::String:
      return Value::string("string");
    case value::Tag::Array:
      return Value::string("array");
    case value::Tag::Object:
      return Value::string("object");
    case value::Tag::Function:
      return Value::string("function");
  }
  return Value();
}

Result<Value> eval_(eval::Evaluator& ev, Items args, const Call& call) {
  const Value& text = arg_at(args, 0);
  if (!text.is_string()) return Value();
  Value focus = arg_at(args, 1);
  if (focus.is_undefined()) {
    focus = call.context;
  } else if (focus.is_array() && !(focus.as_array().flags & value::kSequence)) {
    // Paths in the text see the whole array as their input, as they see an array input.
    Items one;
    one.push_back(std::move(focus));
    focus = Value::array(std::move(one));
  }
  ZR_TRY(std::shared_ptr<const ast::Ast> tree, tree_of(ev, text.as_string()));
  auto result = ev.eval(tree->root, focus, call.frame);
  if (result) return std::move(*result);
  // An error of a nested $eval keeps the message it already has: wrapping it again at every level would
  // escape the text once more each time, doubling its backslashes.
  if (result.error().code() == "D3121")
    if (const json::Json* inner = result.error().detail("value"))
      return fail(error::Error("D3121").with("value", json::copy(*inner)));
  return fail(error::Error("D3121").with("value", result.error().message()));
}

Result<Value> clone(eval::Evaluator& ev, Items args, const Call&) {
  ZR_TRY(auto text, functions::to_string(arg_at(args, 0), false, ev.max_string_length()));
  if (!text) return Value();
  auto copy = document::Document::parse(*text);
  if (!copy) return fail(error::Error("D3141").with_message(copy.error().text()));
  return std::move(copy->value);
}

}  // namespace zarnu_core::functions::collections
