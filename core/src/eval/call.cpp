// The nodes that produce function applications: calls "$f(a, b)", partial applications "$f(?, b)" and the
// apply operator "a ~> $f(b)", with the order in which they evaluate their parts and the errors they
// locate.
#include <algorithm>
#include <atomic>
#include <memory>
#include <utility>

#include "eval/eval.hpp"
#include "support/once.hpp"
#include "support/panic.hpp"
#include "syntax/parse.hpp"
#include "value/output.hpp"

namespace zarnu_core::eval {

using ast::Node;
using ast::NodeKind;
using value::Function;
using value::LambdaFn;

namespace {

// The truthiness of the "did you mean" checks: unlike conditions, every array, object and function
// counts as true, empty ones included.
bool names_something(const Value& v) noexcept {
  switch (v.tag()) {
    case value::Tag::Undefined:
    case value::Tag::Null:
      return false;
    case value::Tag::Bool:
      return v.as_boolean();
    case value::Tag::Number:
      return v.as_number() != 0 && v.as_number() == v.as_number();
    case value::Tag::String:
      return !v.as_string().empty();
    case value::Tag::Array:
    case value::Tag::Object:
    case value::Tag::Function:
      return true;
  }
  return false;
}

// A procedure written as a bare field name that found nothing in the input, while a variable of that
// name exists: the name, for the "did you mean $name" errors.
std::optional<std::string_view> missing_dollar(const Node& procedure, const Value& value,
                                               const Frame& frame) {
  if (!value.is_undefined() || procedure.kind != NodeKind::Path || procedure.children.empty())
    return std::nullopt;
  const Node& first = procedure.children.front();
  if (first.kind != NodeKind::Name || !names_something(frame.lookup(first.text))) return std::nullopt;
  return std::string_view(first.text);
}

error::Error named(error::Error e, const Node& procedure) {
  if (auto name = procedure_name(procedure); name && !e.detail("token"))
    return std::move(e).with_token(*name);
  return e;
}

// The composition of two functions, parsed once per process: the left one applied first.
struct Chain {
  std::shared_ptr<const ast::Ast> tree;
  std::vector<const Node*> nodes;
};

std::atomic<const Chain*> g_chain{nullptr};

const ast::Ast& chain() {
  static constinit once::Once<Chain> chain;
  const Chain& c = chain.get([] {
    auto parsed = parse("function($f, $g) { function($x){ $g($f($x)) } }");
    if (!parsed) panic("valid chain");
    Chain made{std::make_shared<const ast::Ast>(std::move(*parsed)), {}};
    made.tree->root.walk([&](const Node& n) { made.nodes.push_back(&n); });
    return made;
  });
  g_chain.store(&c, std::memory_order_release);
  return *c.tree;
}

}  // namespace

bool in_composition(const Node& node) noexcept {
  const Chain* c = g_chain.load(std::memory_order_acquire);
  return c && std::find(c->nodes.begin(), c->nodes.end(), &node) != c->nodes.end();
}

Result<Value> Evaluator::call(const Node& node, const Value& input, const FrameRef& frame,
                              std::optional<Value> first) {
  const Node& procedure_node = node.children.front();
  ZR_TRY(Value procedure, eval(procedure_node, input, frame));
  if (auto name = missing_dollar(procedure_node, procedure, *frame))
    return fail(locate(error::Error("T1005").with_token(*name), node));
  Items args;
  args.reserve(node.children.size() - 1 + (first ? 1 : 0));
  if (first) args.push_back(std::move(*first));
  for (std::size_t i = 1; i < node.children.size(); ++i) {
    ZR_TRY(Value arg, eval(node.children[i], input, frame));
    args.push_back(std::move(arg));
  }
  auto out = apply(procedure, std::move(args), input, frame);
  if (!out && !in_composition(node)) return fail(named(locate(std::move(out).error(), node), procedure_node));
  return out;
}

Result<Value> Evaluator::partial(const Node& node, const Value& input, const FrameRef& frame) {
  std::vector<std::optional<Value>> slots;
  slots.reserve(node.children.size() - 1);
  for (std::size_t i = 1; i < node.children.size(); ++i) {
    if (node.children[i].kind == NodeKind::Placeholder) {
      slots.emplace_back();
    } else {
      ZR_TRY(Value arg, eval(node.children[i], input, frame));
      slots.emplace_back(std::move(arg));
    }
  }
  const Node& procedure_node = node.children.front();
  ZR_TRY(Value procedure, eval(procedure_node, input, frame));
  if (!procedure.is_function()) {
    if (auto name = missing_dollar(procedure_node, procedure, *frame))
      return fail(locate(error::Error("T1007").with_token(*name), node));
    return fail(named(locate(error::Error("T1008"), node), procedure_node));
  }

  const Function& fn = procedure.as_function();
  if (const auto* l = fn.as<LambdaFn>()) {
    // A lambda made by an earlier partial application keeps its fixed arguments in a scope of their own
    // under the lambda's scope. That scope is copied rather than chained, so that applying partially in a
    // loop does not build a chain of scopes as long as the loop.
    FrameRef scope;
    if (l->params && l->frame->parent) {
      scope = child(l->frame->parent);
      for (const std::string& name : l->def->params)
        if (const Value* fixed = l->frame->find_here(name)) bind(scope, name, *fixed);
    } else {
      scope = child(l->frame);
    }
    auto remaining = std::make_shared<std::vector<std::string_view>>();
    auto fill = [&](const auto& params) {
      for (std::size_t i = 0; i < params.size(); ++i) {
        const std::string_view name = params[i];
        if (i >= slots.size())
          bind(scope, name, Value());
        else if (!slots[i])
          remaining->push_back(name);
        else
          bind(scope, name, std::move(*slots[i]));
      }
    };
    if (l->params)
      fill(*l->params);
    else
      fill(l->def->params);
    return value::make_function(LambdaFn{l->input, l->def, std::move(scope), std::move(remaining), false});
  }
  if (fn.as<value::NativeFn>() || fn.as<value::HostFn>()) {
    const auto* native = fn.as<value::NativeFn>();
    const std::size_t declared = native ? native->native->params.size() : fn.as<value::HostFn>()->host.arity;
    std::vector<std::optional<Value>> args(declared);
    for (std::size_t i = 0; i < declared; ++i) {
      if (i >= slots.size())
        args[i] = Value();
      else
        args[i] = std::move(slots[i]);
    }
    return value::make_function(value::PartialFn{std::move(args), std::move(procedure)});
  }
  if (const auto* p = fn.as<value::PartialFn>()) {
    std::vector<std::optional<Value>> args;
    args.reserve(p->args.size());
    std::size_t next = 0;
    for (const auto& slot : p->args) {
      if (slot)
        args.push_back(slot);
      else if (next < slots.size())
        args.push_back(std::move(slots[next++]));
      else
        args.emplace_back(Value());
    }
    return value::make_function(value::PartialFn{std::move(args), p->function});
  }
  // Transforms and regular-expression functions take no placeholders.
  return fail(named(locate(error::Error("T1008"), node), procedure_node));
}

Result<Value> Evaluator::apply_expression(const Node& node, const Value& input, const FrameRef& frame) {
  ZR_TRY(Value left, eval(node.lhs(), input, frame));
  const Node& right_node = node.rhs();
  if (right_node.kind == NodeKind::Call) return call(right_node, input, frame, std::move(left));
  ZR_TRY(Value right, eval(right_node, input, frame));
  if (!right.is_function()) return fail(locate(with_value(error::Error("T2006"), right), node));
  if (!left.is_function()) {
    Items one;
    one.push_back(std::move(left));
    return apply(right, std::move(one), static_undefined(), frame);
  }
  ZR_TRY(Value compose, eval(chain().root, static_undefined(), frame));
  Items both;
  both.reserve(2);
  both.push_back(std::move(left));
  both.push_back(std::move(right));
  return apply(compose, std::move(both), static_undefined(), frame);
}

}  // namespace zarnu_core::eval
