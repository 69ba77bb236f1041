// Function application: a recursive lambda (fib 20), a tail-recursive loop, and callbacks from a built-in
// over 10,000 items against the same walk without callbacks. Figures are per lambda call.
#include <benchmark/benchmark.h>

#include <stdexcept>
#include <string>

#include "eval/expression.hpp"
#include "eval/function.hpp"

using namespace zarnu_core;
using value::Items;
using value::Value;

namespace {

// bench_map(array, f): f applied to each item through the evaluator's callback entry.
Result<Value> bench_map(eval::Evaluator& ev, Items args, const functions::Call& call) {
  Items out;
  const Items items = args[0].items_or_self();
  out.reserve(items.size());
  for (const Value& item : items) {
    Items one;
    one.push_back(item);
    ZR_TRY(Value r, ev.callback(args[1], std::move(one), call.frame));
    out.push_back(std::move(r));
  }
  return Value::sequence(std::move(out));
}

// bench_walk(array, f): the same walk and result without calling f, the baseline of bench_map.
Result<Value> bench_walk(eval::Evaluator&, Items args, const functions::Call&) {
  Items out;
  const Items items = args[0].items_or_self();
  out.reserve(items.size());
  for (const Value& item : items) out.push_back(Value::number(item.as_number() + 1));
  return Value::sequence(std::move(out));
}

const bool kRegistered = [] {
  auto sig = signature::Signature::parse("<af>");
  if (!sig) throw std::logic_error("signature");
  functions::testing::add(functions::Native{*sig, "bench_map", {"arr", "func"}, "", &bench_map, 2});
  functions::testing::add(functions::Native{*sig, "bench_walk", {"arr", "func"}, "", &bench_walk, 2});
  return true;
}();

Expression compile(const char* text) {
  auto e = Expression::compile(text);
  if (!e) throw std::runtime_error("does not compile: " + std::string(text));
  return std::move(*e);
}

void evaluate(benchmark::State& state, const Expression& e, double calls) {
  for (auto _ : state) {
    auto r = e.evaluate_with(Bindings{}, Options{});
    if (!r) state.SkipWithError(std::string(r.error().message()).c_str());
    benchmark::DoNotOptimize(r);
  }
  // Time per lambda call.
  state.counters["per_call"] = benchmark::Counter(calls * static_cast<double>(state.iterations()),
                                                  benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_RecursiveFib20(benchmark::State& state) {
  static const Expression e =
      compile("($fib := function($n){ $n < 2 ? $n : $fib($n - 1) + $fib($n - 2) }; $fib(20))");
  evaluate(state, e, 21891);  // calls of $fib for n = 20
}
BENCHMARK(BM_RecursiveFib20)->Unit(benchmark::kMillisecond);

void BM_TailLoop100k(benchmark::State& state) {
  static const Expression e = compile("($f := function($n){ $n = 0 ? 0 : $f($n - 1) }; $f(100000))");
  evaluate(state, e, 100001);
}
BENCHMARK(BM_TailLoop100k)->Unit(benchmark::kMillisecond);

void BM_CallbackMap10k(benchmark::State& state) {
  static const Expression e = compile("$bench_map([1..10000], function($v){ $v + 1 })");
  evaluate(state, e, 10000);
}
BENCHMARK(BM_CallbackMap10k)->Unit(benchmark::kMicrosecond);

void BM_CallbackMap10kBaseline(benchmark::State& state) {
  static const Expression e = compile("$bench_walk([1..10000], function($v){ $v + 1 })");
  evaluate(state, e, 10000);
}
BENCHMARK(BM_CallbackMap10kBaseline)->Unit(benchmark::kMicrosecond);

void BM_CallbackBuiltin10k(benchmark::State& state) {
  static const Expression e = compile("$bench_map([1..10000], $bench_walk(?, function(){0}))");
  evaluate(state, e, 10000);
}
BENCHMARK(BM_CallbackBuiltin10k)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
