// Compiling and evaluating expressions.
#include "eval/expression.hpp"

#include "eval/function.hpp"
#include "syntax/parse.hpp"

namespace zarnu_core {

using value::Value;

eval::Limits Options::limits() const {
  eval::Limits l;
  if (max_depth) l.max_depth = *max_depth;
  if (max_string_length) l.max_string_length = *max_string_length;
  if (max_array_length) l.max_array_length = *max_array_length;
  if (max_result_size) l.max_result_size = *max_result_size;
  l.timeout = timeout;
  l.cancel = cancel;
  l.hook = hook;
  l.now = now;
  l.seed = seed;
  return l;
}

void Bindings::function(std::string name, host::HostFunction f) {
  values.erase(name);
  functions.insert_or_assign(std::move(name), std::move(f));
}

Expression::Expression(std::shared_ptr<const ast::Ast> ast) : ast_(std::move(ast)) {}

Result<Expression> Expression::compile(std::string_view source) {
  ZR_TRY(ast::Ast tree, parse(source));
  return from_tree(std::move(tree));
}

Expression Expression::from_tree(ast::Ast tree) {
  return Expression(std::make_shared<const ast::Ast>(std::move(tree)));
}

Result<Value> Expression::run(Value input, const Bindings& bindings, Run& r) const {
  pool::tidy();  // what the thread kept of an earlier peak goes back once past its grace
  for (const auto& d : ast_->diagnostics)
    if (d.kind == 0) return fail(error::Error("S0500").located_at(0, ast::Span{0, 0}));
  auto keeper = value::Rc<eval::Keeper>::make();
  keeper->ast = ast_;
  eval::Evaluator& ev = r.evaluator.emplace(r.limits, keeper);
  if (r.shared) ev.set_shared(r.shared);
  ev.set_tracer(r.tracer);
  eval::FrameRef root = ev.root(input);
  value::Rc<value::Shared> shared = r.shared ? r.shared : value::Shared::create();
  for (const auto& [name, json] : bindings.values) {
    if (name == "$") continue;  // "$$" always reads the input
    std::string_view kept = keeper->keep_name(name);
    ev.bind(root, kept, value::lazy(json, shared));
  }
  for (const auto& [name, host] : bindings.functions) {
    std::string_view kept = keeper->keep_name(name);
    ev.bind(root, kept, value::make_function(value::HostFn{host}));
  }
  Value context = input;
  if (input.is_array() && !(input.as_array().flags & value::kSequence)) {
    value::Items one;
    one.push_back(input);
    context = Value::array(std::move(one));
  }
  return ev.eval(ast_->root, context, root);
}

Result<std::pair<Value, std::optional<json::Json>>> Expression::evaluate_with(const Bindings& bindings,
                                                                              const Options& options) const {
  Run r{options.limits(), {}, nullptr};
  ZR_TRY(Value v, run(Value(), bindings, r));
  eval::Poll poll(*r.evaluator);
  ZR_TRY(auto json, to_json(output::Output{v, r.limits.max_result_size, nullptr, &poll}));
  return std::pair(std::move(v), std::move(json));
}

}  // namespace zarnu_core
