// The evaluator: the per-node entry with its limits, the dispatch by node kind, and the small cases
// (literals, negation, conditions, blocks, bindings); the larger cases live in files of their own.
#include "eval/eval.hpp"
#include "support/once.hpp"

#include <cmath>
#include <utility>

#include "eval/lookup.hpp"
#include "eval/truth.hpp"
#include "value/limits.hpp"
#include "value/output.hpp"

namespace zarnu_core::eval {

using ast::Node;
using ast::NodeKind;

std::uint64_t seed_state(std::uint64_t seed) noexcept {
  std::uint64_t z = seed + 0x9E3779B97F4A7C15ull;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  z ^= z >> 31;
  return z | 1;
}

error::Error locate(error::Error e, const Node& node) {
  if (e.is_located()) return e;
  return std::move(e).located_at(node.position_utf16, node.span);
}

const Value& static_undefined() noexcept {
  static constinit once::Once<Value> v;
  return v.get([] { return Value(); });
}

const Value& static_null() noexcept {
  static constinit once::Once<Value> v;
  return v.get(&Value::null);
}

Evaluator::Evaluator(const Limits& limits, Rc<Keeper> keeper) : limits_(limits), keeper_(std::move(keeper)) {
  if (limits_.timeout) start_ = std::chrono::steady_clock::now();
  if (limits_.seed) rng_ = seed_state(*limits_.seed);
  timed_ = limits_.timeout.has_value() || limits_.cancel != nullptr;
  if (limits_.hook) hook_ = &limits_.hook;
  polls_ = timed_ || hook_;
}

Evaluator::~Evaluator() {
  registry_.clear_all();
}

void Evaluator::set_shared(Rc<value::Shared> s) {
  shared_ = std::move(s);
  polls_ = polls_ || shared_;
}

// ---------------------------------------------------------------------------------------------------------
// Limits

std::optional<error::Error> Evaluator::time_limits() const {
  if (limits_.timeout && start_) {
    auto elapsed = std::chrono::steady_clock::now() - *start_;
    if (elapsed > *limits_.timeout) {
      auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(*limits_.timeout).count();
      return error::Error("D1012").with("value", static_cast<std::uint64_t>(ms));
    }
  }
  if (limits_.cancel && limits_.cancel->load(std::memory_order_relaxed)) return error::Error("U1003");
  return std::nullopt;
}

std::optional<error::Error> Evaluator::interrupted() {
  if (timed_) {
    if (auto e = time_limits()) return e;
  }
  if (hook_) return (*hook_)();
  return std::nullopt;
}

Status Evaluator::stepped() {
  ticks_ = kPollTicks;
  if (shared_ && shared_->failed) return fail(shared_->failure());
  if (auto e = interrupted()) return fail(std::move(*e));
  return {};
}

std::optional<error::Error> Evaluator::check_depth() const {
  if (depth_ > limits_.max_depth) return error::Error("D1011").with("value", limits_.max_depth);
  return std::nullopt;
}

Result<Value> Evaluator::check_size(Value v) const {
  if (v.is_string()) {
    if (auto e = check_string(limits_.max_string_length, v.as_string().size())) return fail(std::move(*e));
  } else if (v.is_array()) {
    if (v.as_array().read().size() > limits_.max_array_length)
      return fail(array_too_long(limits_.max_array_length));
  }
  return v;
}

std::optional<error::Error> Evaluator::check_string(std::size_t limit, std::size_t length) const {
  if (length > limit) return string_too_long(limit);
  return std::nullopt;
}

std::chrono::nanoseconds Evaluator::timestamp() {
  if (!timestamp_) {
    auto since = std::chrono::system_clock::now().time_since_epoch();
    timestamp_ = since.count() < 0 ? std::chrono::nanoseconds(0)
                                   : std::chrono::duration_cast<std::chrono::nanoseconds>(since);
  }
  return *timestamp_;
}

double Evaluator::now_millis() {
  if (limits_.now) return static_cast<double>(*limits_.now);
  return static_cast<double>(std::chrono::duration_cast<std::chrono::milliseconds>(timestamp()).count());
}

// ---------------------------------------------------------------------------------------------------------
// Scopes

FrameRef Evaluator::root(Value input) {
  FrameRef f = FrameRef::make();
  f->input = std::move(input);
  f->keeper = keeper_;
  return f;
}

FrameRef Evaluator::child(const FrameRef& parent) {
  FrameRef f = FrameRef::make();
  f->parent = parent;
  return f;
}

void Evaluator::bind(const FrameRef& frame, std::string_view name, Value v, value::Str owner) {
  // Scopes holding containers or functions may take part in cycles: they are cleared at the end.
  if (v.is_array() || v.is_object() || v.is_function()) registry_.add(*frame);
  if (frame.get() == watched_) watched_bound_ = true;
  frame->set(name, std::move(v), std::move(owner));
}

value::Str Evaluator::key(std::string_view name) {
  auto it = keys_.find(name.data());
  if (it != keys_.end() && it->second.view() == name) return it->second;
  value::Str s = value::Str::make(name);
  keys_.insert_or_assign(name.data(), s);
  return s;
}

Value variable(std::string_view name, const Value& context, const Frame& frame) {
  if (name.empty()) {
    if (context.is_array() && (context.as_array().flags & value::kOuterWrapper)) {
      const Items& items = context.as_array().read();
      return items.empty() ? Value() : items.front();
    }
    return context;
  }
  return frame.lookup(name);
}

// ---------------------------------------------------------------------------------------------------------
// The entry

Result<Value> Evaluator::eval_traced(const Node& node, const Value& input, const FrameRef& frame) {
  if (!tracer_->records(node)) {
    // Nothing of this subtree would be recorded (the work inside a predicate, at the level of decisions):
    // it runs on the plain path, fast paths included.
    audit::Tracer* tracer = std::exchange(tracer_, nullptr);
    Result<Value> out = eval(node, input, frame);
    tracer_ = tracer;
    return out;
  }
  value::Inspect in(input);
  tracer_->enter(node, in);
  Result<Value> out = stack::remaining() >= stack::kRedZone
                          ? eval_inner(node, input, frame)
                          : stack::grow([&] { return eval_inner(node, input, frame); });
  if (out) {
    value::Inspect view(*out);
    tracer_->exit(node, audit::Outcome{&view, nullptr});
  } else {
    tracer_->exit(node, audit::Outcome{nullptr, &out.error()});
  }
  return out;
}

Result<Value> Evaluator::eval_inner(const Node& node, const Value& input, const FrameRef& frame) {
  DepthGuard guard(*this);
  if (depth_ > limits_.max_depth) [[unlikely]]
    return fail(*check_depth());
  if (polls_) [[unlikely]] {
    if (auto e = poll()) return fail(std::move(*e));
  }
  ZR_TRY(Value v, dispatch(node, input, frame));
  if (node.attrs || node.keep_array || (v.is_array() && v.as_array().flags & value::kSequence)) [[unlikely]]
    return finish(node, std::move(v), frame);
  return v;
}

// What every node may carry: predicates, a group-by, and the collapse of one-item sequences.
Result<Value> Evaluator::finish(const Node& node, Value v, const FrameRef& frame) {
  if (node.attrs) {
    for (const ast::Stage& stage : node.attrs->predicates) {
      if (!stage.is_filter()) continue;
      ZR_TRY(v, filter(*stage.predicate, stage.constant, std::move(v), frame));
    }
    if (node.kind != NodeKind::Path && node.attrs->group) {
      ZR_TRY(v, group(*node.attrs->group, node, std::move(v), frame));
    }
  }
  if (v.is_array()) {
    value::Array& a = v.as_array();
    if ((a.flags & value::kSequence) && !(a.flags & value::kTupleStream)) {
      if (node.keep_array) a.flags |= value::kKeepSingleton;
      const Items& items = a.read();
      if (items.empty()) return Value();
      if (items.size() == 1 && !(a.flags & value::kKeepSingleton)) return Value(items.front());
    }
  }
  return v;
}

Result<Value> Evaluator::dispatch(const Node& node, const Value& input, const FrameRef& frame) {
  switch (node.kind) {
    case NodeKind::Path:
      return path(node, input, frame);
    case NodeKind::Binary:
      return binary(node, input, frame);
    case NodeKind::Negate:
      return negate(node, input, frame);
    case NodeKind::Array:
      return array_constructor(node, input, frame);
    case NodeKind::Object:
      return object_constructor(node, input, frame);
    case NodeKind::Name:
      return functions::lookup(input, node.text);
    case NodeKind::Variable:
      return variable(node.text, input, *frame);
    case NodeKind::String:
      return Value::string(node.text);
    case NodeKind::Number:
      return Value::number(node.number);
    case NodeKind::Bool:
      return Value::boolean(node.flag);
    case NodeKind::Null:
      return Value::null();
    case NodeKind::Regex:
      return regex_literal(node);
    case NodeKind::Wildcard:
      return wildcard(input);
    case NodeKind::Descendant:
      return descendants(input);
    case NodeKind::Parent:
      return frame->lookup(node.text);
    case NodeKind::Condition:
      return condition(node, input, frame);
    case NodeKind::Default:
      return default_op(node, input, frame);
    case NodeKind::Block:
      return block(node, input, frame);
    case NodeKind::Bind:
      return bind_node(node, input, frame);
    case NodeKind::Apply:
      return apply_expression(node, input, frame);
    case NodeKind::Call:
      return call(node, input, frame);
    case NodeKind::Partial:
      return partial(node, input, frame);
    case NodeKind::Placeholder:
      return Value();
    case NodeKind::Lambda:
      ++functions_made_;
      return value::make_function(value::LambdaFn{input, node.lambda.get(), frame, nullptr, true});
    case NodeKind::Transform:
      ++functions_made_;
      return value::make_function(
          value::TransformFn{node.transform.get(), frame, node.span, node.position_utf16});
    case NodeKind::Sort:
      return Value();
    case NodeKind::Error:
      return fail(error::Error("S0500").located_at(0, node.span));
  }
  return Value();
}

// ---------------------------------------------------------------------------------------------------------
// Small cases

Result<Value> Evaluator::negate(const Node& node, const Value& input, const FrameRef& frame) {
  ZR_TRY(Value v, eval(node.children[0], input, frame));
  if (v.is_undefined()) return v;
  if (v.is_number()) {
    double x = v.as_number();
    if (std::isinf(x)) return fail(locate(error::Error("D1001").with("value", json::Json(nullptr)), node));
    if (!std::isnan(x)) return Value::number(-x);
  }
  return fail(locate(eval::with_value(error::Error("D1002").with_token("-"), v), node));
}

Result<Value> Evaluator::condition(const Node& node, const Value& input, const FrameRef& frame) {
  ZR_TRY(Value test, eval(node.children[0], input, frame));
  auto truth = functions::boolean(test);
  if (!truth) return fail(locate(std::move(truth).error(), node));
  const bool has_else = node.children.size() > 2;
  const bool yes = truth->value_or(false);
  if (tracer_) tracer_->branch(node, yes ? 0 : (has_else ? 1 : 2));
  if (yes) return eval(node.children[1], input, frame);
  if (has_else) return eval(node.children[2], input, frame);
  return Value();
}

Result<Value> Evaluator::default_op(const Node& node, const Value& input, const FrameRef& frame) {
  ZR_TRY(Value left, eval(node.children[0], input, frame));
  bool keep;
  if (node.elvis()) {
    auto truth = functions::boolean(left);
    if (!truth) return fail(locate(std::move(truth).error(), node));
    keep = truth->value_or(false);
  } else {
    keep = !left.is_undefined();
  }
  if (tracer_) tracer_->branch(node, keep ? 0 : 1);
  if (keep) return left;
  return eval(node.children[1], input, frame);
}

Result<Value> Evaluator::block(const Node& node, const Value& input, const FrameRef& frame) {
  FrameRef scope = node.needs_frame() ? child(frame) : frame;
  Value last;
  for (const Node& item : node.children) {
    ZR_TRY(last, eval(item, input, scope));
  }
  return last;
}

Result<Value> Evaluator::bind_node(const Node& node, const Value& input, const FrameRef& frame) {
  ZR_TRY(Value v, eval(node.children[1], input, frame));
  const std::string& name = node.children[0].text;
  if (tracer_) tracer_->bind(node, name, value::Inspect(v));
  bind(frame, name, v);
  return v;
}

}  // namespace zarnu_core::eval
