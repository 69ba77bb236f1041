// The core's public face: compile source text once into a shared, immutable tree, then evaluate it any
// number of times, from any thread, each time with its own bindings and options.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include <tsl/ordered_map.h>

#include "eval/eval.hpp"
#include "eval/host.hpp"
#include "syntax/ast.hpp"
#include "value/json.hpp"
#include "value/lazy.hpp"
#include "value/output.hpp"
#include "value/result.hpp"

namespace zarnu_core {

// The options of one evaluation; absent limits take their defaults.
struct Options {
  std::optional<std::size_t> max_depth;
  std::optional<std::int64_t> now;
  std::optional<std::uint64_t> seed;
  std::optional<std::size_t> max_string_length;
  std::optional<std::size_t> max_array_length;
  std::optional<std::size_t> max_result_size;
  std::optional<std::chrono::nanoseconds> timeout;
  std::shared_ptr<const std::atomic<bool>> cancel;
  PollHook hook;

  eval::Limits limits() const;
};

// Named values and host functions of one evaluation, each bound as the variable of its name.
struct Bindings {
  tsl::ordered_map<std::string, std::shared_ptr<const json::Json>>
      values;  // shared with the values made from them
  tsl::ordered_map<std::string, host::HostFunction> functions;

  // Adds a host function, removing a value of the same name.
  void function(std::string name, host::HostFunction f);
};

// What the input callback of an evaluation is given: a sink for the input value.
using InputFn = std::function<std::optional<std::string>(value::Sink&)>;

class Expression {
 public:
  static Result<Expression> compile(std::string_view source);
  // An expression over a tree parsed beforehand, such as one parsed in recover mode (whose error
  // diagnostics make every evaluation fail with S0500).
  static Expression from_tree(ast::Ast tree);

  const ast::Ast& ast() const noexcept { return *ast_; }
  const std::shared_ptr<const ast::Ast>& shared_ast() const noexcept { return ast_; }

  // Evaluates with an undefined input: the result value and its JSON form (none for undefined).
  Result<std::pair<value::Value, std::optional<json::Json>>> evaluate_with(const Bindings& bindings,
                                                                           const Options& options) const;

  // Evaluates against the input the callback pushes into its sink, writing the result into the builder.
  template <output::Builder B>
  Result<std::pair<value::Value, std::optional<typename B::Built>>> evaluate_source_to(
      const InputFn& input, const Bindings& bindings, const Options& options, B& builder) const;

  // Runs one evaluation against an input value with bindings; the hooks of the other entries.
  struct Run {
    eval::Limits limits;
    value::Rc<value::Shared> shared;
    audit::Tracer* tracer = nullptr;
    // The evaluator of the last run, kept for its limits, which still hold while the result is written.
    std::optional<eval::Evaluator> evaluator = std::nullopt;
  };
  Result<value::Value> run(value::Value input, const Bindings& bindings, Run& run) const;

 private:
  explicit Expression(std::shared_ptr<const ast::Ast> ast);
  std::shared_ptr<const ast::Ast> ast_;
};

template <output::Builder B>
Result<std::pair<value::Value, std::optional<typename B::Built>>> Expression::evaluate_source_to(
    const InputFn& input, const Bindings& bindings, const Options& options, B& builder) const {
  Run r{options.limits(), value::Shared::create(), nullptr};
  value::Items pushed;
  {
    value::Sink sink(pushed, r.shared);
    if (auto failure = input(sink)) return fail(error::Error("U1004").with_message(std::move(*failure)));
  }
  value::Value in = pushed.empty() ? value::Value() : std::move(pushed.front());
  pushed.clear();
  auto result = run(std::move(in), bindings, r);
  if (r.shared->failed) return fail(r.shared->failure());
  if (!result) return fail(std::move(result).error());
  eval::Poll poll(*r.evaluator);
  output::Output out{*result, r.limits.max_result_size, r.shared.get(), &poll};
  ZR_TRY(auto built, out.write(builder));
  return std::pair(std::move(*result), std::move(built));
}

}  // namespace zarnu_core
