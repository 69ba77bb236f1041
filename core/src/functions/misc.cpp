// $error, $assert, $type, $eval and $clone.
#include "functions/misc.hpp"

#include <algorithm>
#include <cmath>
#include <memory>
#include <string>
#include <utility>

#include "eval/eval.hpp"
#include "eval/truth.hpp"
#include "functions/higher.hpp"
#include "syntax/parse.hpp"
#include "syntax/process.hpp"
#include "value/document.hpp"
#include "value/json.hpp"

namespace zarnu_core::functions::collections {

using value::Items;
using value::Value;

namespace {

// The message argument when it is a non-empty string, else the default text.
std::string message_or(const Value& v, std::string_view fallback) {
  return std::string(v.is_string() && !v.as_string().empty() ? v.as_string() : fallback);
}

// How many of the trees $eval compiled last are checked for the same text before compiling again: an
// $eval inside a loop usually evaluates one text many times.
constexpr std::size_t kRecentTrees = 8;
// Beyond this much text together, only the last tree stays among the recent ones: a tree takes a few
// hundred bytes per node of its text.
constexpr std::size_t kRecentText = 65536;

// The tree of an expression text, compiled now or found among the evaluation's recent ones.
Result<eval::Evaluator::RecentTree*> tree_of(eval::Evaluator& ev, std::string_view text) {
  auto& recent = ev.recent_trees();
  for (std::size_t i = recent.size(); i > 0; --i)
    if (recent[i - 1].tree->source == text) return &recent[i - 1];
  auto parsed = zarnu_core::parse(text);
  if (!parsed) return fail(error::Error("D3120").with("value", parsed.error().message()));
  // The text may call $eval under another name (a variable of the caller's scope bound to it), which
  // the text alone cannot show: every block that makes a call gets a scope of its own, so that nothing
  // the text binds leaks into the caller's scope.
  process::mark_frames(parsed->root, true);
  recent.push_back({std::make_shared<const ast::Ast>(std::move(*parsed)), false});
  std::size_t text_size = 0;
  for (const auto& one : recent) text_size += one.tree->source.size();
  while (recent.size() > 1 && (recent.size() > kRecentTrees || text_size > kRecentText)) {
    text_size -= recent.front().tree->source.size();
    recent.erase(recent.begin());
  }
  return &recent.back();
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
  ZR_TRY(eval::Evaluator::RecentTree * recent, tree_of(ev, text.as_string()));
  // Held here: a nested $eval may push the tree out of the recent ones.
  const std::shared_ptr<const ast::Ast> tree = recent->tree;
  Result<Value> result;
  bool escaped = false;
  {
    // A tree goes with its evaluation unless something made from it outlives the call: function values
    // and bindings in the caller's scope refer into it, and so do a tracer's records.
    eval::Evaluator::Escapes escapes(ev, call.frame.get());
    result = ev.eval(tree->root, focus, call.frame);
    escaped = escapes.any() || ev.tracer();
  }
  if (escaped) {
    auto& recent_trees = ev.recent_trees();
    auto it = std::find_if(recent_trees.begin(), recent_trees.end(),
                           [&](const eval::Evaluator::RecentTree& r) { return r.tree == tree; });
    if (it == recent_trees.end() || !it->kept) ev.keeper()->more.push_back(tree);
    if (it != recent_trees.end()) it->kept = true;
  }
  if (result) return std::move(*result);
  // An error of a nested $eval keeps the message it already has: wrapping it again at every level would
  // escape the text once more each time, doubling its backslashes.
  if (result.error().code() == "D3121")
    if (const json::Json* inner = result.error().detail("value"))
      return fail(error::Error("D3121").with("value", json::copy(*inner)));
  return fail(error::Error("D3121").with("value", result.error().message()));
}

Result<Value> clone(eval::Evaluator& ev, Items args, const Call&) {
  ZR_TRY(auto text, functions::to_string(arg_at(args, 0), false, ev.max_string_length(), &ev.stepper()));
  if (!text) return Value();
  const PollHook poll = [&ev] { return ev.interrupted(); };
  auto copy = document::Document::parse(*text, ev.polls() ? &poll : nullptr);
  if (!copy && copy.error().stopped) return fail(std::move(*copy.error().stopped));
  if (!copy) return fail(error::Error("D3141").with_message(copy.error().text()));
  return std::move(copy->value);
}

}  // namespace zarnu_core::functions::collections
