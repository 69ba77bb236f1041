// The evaluator's traced path: a filter over 2,000 orders evaluated plainly and with the audit collector at
// each level, on the same converted input (no Python, no audit tree). Compare the levels' times with the
// plain run of the same execution.
#include <benchmark/benchmark.h>

#include <optional>
#include <string>

#include "audit/collector.hpp"
#include "eval/expression.hpp"
#include "value/from_json.hpp"

using namespace zarnu_core;

namespace {

const value::Value& orders() {
  static const value::Value doc = [] {
    json::Json order = json::Json::array();
    for (int k = 0; k < 2000; ++k) {
      json::Json products = json::Json::array();
      for (int j = 0; j < 1 + k % 4; ++j)
        products.push_back(json::Json{{"Product Name", "Item " + std::to_string(j)},
                                      {"ProductID", 1000 * k + j},
                                      {"SKU", std::to_string(7919 * k + j)},
                                      {"Description", {{"Colour", "Red"}, {"Weight", 0.5 + j}}},
                                      {"Price", 5 + (k * 37 + j * 11) % 56 + 0.25},
                                      {"Quantity", 1 + j}});
      order.push_back(json::Json{{"OrderID", "order" + std::to_string(k)}, {"Product", std::move(products)}});
    }
    return value::from_json(json::Json{{"Account", {{"Order", std::move(order)}}}});
  }();
  return doc;
}

// level -1: no tracer.
void BM_AuditFilter(benchmark::State& state) {
  static const Expression e = *Expression::compile("Account.Order.Product[Price > 30].SKU");
  const value::Value& input = orders();
  for (auto _ : state) {
    std::optional<audit::collector::AuditCollector> collector;
    if (state.range(0) >= 0)
      collector.emplace(static_cast<audit::Level>(state.range(0)), audit::Limits{}, "");
    Expression::Run run{eval::Limits{}, value::Shared::create(), collector ? &*collector : nullptr};
    auto r = e.run(input, Bindings{}, run);
    if (!r) state.SkipWithError(r.error().message().c_str());
    benchmark::DoNotOptimize(r);
  }
}
BENCHMARK(BM_AuditFilter)->ArgName("level")->Arg(-1)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
