// Evaluator costs: per-node overhead (arithmetic, a 20-clause "and" chain), a filtered path over 10,000
// items, a group-by, and compiling a 200-character expression.
#include <benchmark/benchmark.h>

#include <string>

#include "eval/expression.hpp"
#include "value/from_json.hpp"

using namespace zarnu_core;

namespace {

Expression compile(const std::string& text) {
  auto e = Expression::compile(text);
  if (!e) throw std::runtime_error(e.error().message());
  return std::move(*e);
}

json::Json records(int n) {
  json::Json doc = json::Json::object();
  json::Json& items = doc["items"];
  items = json::Json::array();
  for (int i = 0; i < n; ++i)
    items.push_back(json::Json{{"id", i},
                               {"category", "c" + std::to_string(i % 10)},
                               {"price", (i % 97) * 1.5},
                               {"tags", json::Json::array({"a", "b"})}});
  return doc;
}

void run(benchmark::State& state, const Expression& e, const value::Value& input, int nodes) {
  for (auto _ : state) {
    value::JsonBuilder b;
    auto in = [&](value::Sink& sink) -> std::optional<std::string> {
      sink.push(input);
      return std::nullopt;
    };
    auto r = e.evaluate_source_to(in, Bindings{}, Options{}, b);
    if (!r) state.SkipWithError(r.error().message().c_str());
    benchmark::DoNotOptimize(r);
  }
  if (nodes)
    state.counters["ns/node"] = benchmark::Counter(static_cast<double>(nodes) * state.iterations(),
                                                   benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_Arithmetic(benchmark::State& state) {
  static const Expression e = compile("1 + 2 * 3 - 4");
  run(state, e, value::Value(), 7);
}
BENCHMARK(BM_Arithmetic);

void BM_AndChain(benchmark::State& state) {
  std::string text = "true";
  for (int i = 0; i < 19; ++i) text += " and true";
  static const Expression e = compile(text);
  run(state, e, value::Value(), 39);
}
BENCHMARK(BM_AndChain);

void BM_FilteredPath(benchmark::State& state) {
  static const Expression e = compile("items[price > 100].id");
  static const value::Value input = value::from_json(records(10000));
  run(state, e, input, 0);
  state.SetItemsProcessed(state.iterations() * 10000);
}
BENCHMARK(BM_FilteredPath);

void BM_GroupBy(benchmark::State& state) {
  static const Expression e = compile("items{category: price}");
  static const value::Value input = value::from_json(records(10000));
  run(state, e, input, 0);
  state.SetItemsProcessed(state.iterations() * 10000);
}
BENCHMARK(BM_GroupBy);

void BM_Compile200(benchmark::State& state) {
  const std::string text =
      "Account.Order[OrderID = 'order104' and Total > 10].Product{Name: {'price': Price * Quantity, 'tax': "
      "Price * 0.2}}.$filter($, function($v, $i){ $v.price > 100 and $i < 10 })^(>price)[[0..4]].{'n': Name}";
  for (auto _ : state) {
    auto e = Expression::compile(text);
    benchmark::DoNotOptimize(e);
  }
  state.counters["chars"] = static_cast<double>(text.size());
}
BENCHMARK(BM_Compile200);

// A long array of sums ending in an annotated item: the fitted complexity shows whether the parse time
// grows with the text alone.
void BM_CompileLong(benchmark::State& state) {
  std::string row;
  for (int i = 0; i < 200; ++i) row += "1+";
  std::string text = "[";
  while (text.size() < static_cast<std::size_t>(state.range(0))) text += row + "1,\n";
  text += "/** last */ x]";
  for (auto _ : state) {
    auto e = Expression::compile(text);
    benchmark::DoNotOptimize(e);
  }
  state.SetComplexityN(static_cast<std::int64_t>(text.size()));
}
BENCHMARK(BM_CompileLong)->RangeMultiplier(4)->Range(16 << 10, 256 << 10)->Complexity();

}  // namespace

BENCHMARK_MAIN();
