// The evaluator seen from the expression interface: lazy input read only as far as the expression
// reaches, the tracer's reports, options and the result's limits.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "eval/expression.hpp"
#include "helpers.hpp"

using namespace zarnu_core;
using namespace zarnu_core::value;
using namespace zarnu_test;

namespace {

Result<std::optional<Json>> run(const Expression& e, Rc<TestSource> source, const Options& options = {}) {
  JsonBuilder b;
  auto input = [&](Sink& sink) -> std::optional<std::string> {
    sink.push(source->top(sink.shared()));
    return std::nullopt;
  };
  ZR_TRY(auto out, e.evaluate_source_to(input, Bindings{}, options, b));
  return std::move(out.second);
}

std::string text(const Result<std::optional<Json>>& r) {
  if (!r) return "!" + std::string(r.error().code());
  return *r ? zarnu_core::json::to_text(**r) : "undefined";
}

}  // namespace

TEST(EvalLazy, PathsReadOnlyTheContainersTheyReach) {
  Json doc = Json::object();
  for (int i = 0; i < 1000; ++i) doc["k" + std::to_string(i)] = Json::parse(R"({"big":[1,2,3],"x":1})");
  doc["target"] = Json::parse(R"({"list":[{"v":1},{"v":2}],"other":{"deep":[1]}})");
  auto source = Rc<TestSource>::make(std::move(doc));
  auto e = Expression::compile("target.list.v");
  ASSERT_TRUE(e);
  EXPECT_EQ(text(run(*e, source)), "[1,2]");
  // The top object is never read whole: one member read, then the list and its two items.
  EXPECT_EQ(source->reads, 1);
  EXPECT_EQ(source->field_reads, 4);
}

TEST(EvalLazy, PredicatesReadTheItemsTheyTest) {
  auto source =
      Rc<TestSource>::make(Json::parse(R"({"a":[{"t":1,"d":{"x":[1]}},{"t":2,"d":{"x":[2]}}],"b":{"c":1}})"));
  auto e = Expression::compile("a[t=2].d.x");
  ASSERT_TRUE(e);
  EXPECT_EQ(text(run(*e, source)), "[2]");
  // The array "a" and the one list that reaches the result; objects are read field by field and the
  // first item's "d" is never touched.
  EXPECT_EQ(source->reads, 2);
}

namespace {

// A tracer that records what it is told, one line per report.
struct RecordingTracer : audit::Tracer {
  std::vector<std::string> log;
  void begin(std::string_view, double) override {}
  void enter(const ast::Node& n, const Inspect&) override {
    log.push_back("enter " + std::string(ast::type_name(n.kind)));
  }
  void exit(const ast::Node& n, audit::Outcome o) override {
    log.push_back("exit " + std::string(ast::type_name(n.kind)) + " " + (o.error ? "error" : o.value->fmt()));
  }
  void operands(const ast::Node&, const Inspect& l, const Inspect& r) override {
    log.push_back("operands " + l.fmt() + " " + r.fmt());
  }
  void short_circuit(const ast::Node&) override { log.push_back("short"); }
  void branch(const ast::Node&, std::uint32_t code) override {
    log.push_back("branch " + std::to_string(code));
  }
  void bind(const ast::Node&, std::string_view name, const Inspect& v) override {
    log.push_back("bind " + std::string(name) + " " + v.fmt());
  }
  void filter_begin(const ast::Node&) override { log.push_back("filter"); }
  void filter_item(const ast::Node&, std::size_t i, const Inspect& item, bool passed) override {
    log.push_back("item " + std::to_string(i) + " " + item.fmt() + (passed ? " kept" : " dropped"));
  }
  void filter_end(const ast::Node&) override { log.push_back("filter end"); }
  void end(audit::Outcome) override {}
};

std::vector<std::string> trace(std::string_view expr, Json input) {
  auto e = Expression::compile(expr);
  EXPECT_TRUE(e);
  RecordingTracer t;
  Expression::Run r{eval::Limits{}, Shared::create(), &t};
  auto v = e->run(from_json(input), Bindings{}, r);
  if (!v) t.log.push_back("failed " + std::string(v.error().code()));
  return t.log;
}

bool has(const std::vector<std::string>& log, const std::string& line) {
  return std::find(log.begin(), log.end(), line) != log.end();
}

}  // namespace

TEST(EvalTrace, ReportsDecisions) {
  auto log = trace("a > 1 ? 'big' : 'small'", Json::parse(R"({"a":2})"));
  EXPECT_TRUE(has(log, "operands 2 1"));
  EXPECT_TRUE(has(log, "branch 0"));
  EXPECT_EQ(log.front(), "enter condition");
  EXPECT_EQ(log.back(), "exit condition \"big\"");
  EXPECT_TRUE(has(trace("false and x", Json::object()), "short"));
  EXPECT_TRUE(has(trace("nothing ? 1", Json::object()), "branch 2"));
  EXPECT_TRUE(has(trace("nothing ?? 2", Json::object()), "branch 1"));
  EXPECT_TRUE(has(trace("$v := [1]", Json::object()), "bind v [1]"));
  // Under a tracer the string-literal shortcut is off: the comparison reports its operands.
  EXPECT_TRUE(has(trace("a = 'x'", Json::parse(R"({"a":"x"})")), "operands \"x\" \"x\""));
}

TEST(EvalTrace, FilterDecisions) {
  auto log = trace("a[b > 1]", Json::parse(R"({"a":[{"b":1},{"b":2}]})"));
  EXPECT_TRUE(has(log, "filter"));
  EXPECT_TRUE(has(log, "item 0 {\"b\":1} dropped"));
  EXPECT_TRUE(has(log, "item 1 {\"b\":2} kept"));
  EXPECT_TRUE(has(log, "filter end"));
  // A literal index makes no filter reports; a constant predicate is judged per item under a tracer.
  EXPECT_FALSE(has(trace("a[0]", Json::parse(R"({"a":[1,2]})")), "filter"));
  auto constant = trace("a[[1,0,0]]", Json::parse(R"({"a":[5,6]})"));
  EXPECT_TRUE(has(constant, "item 0 5 kept"));
  EXPECT_EQ(constant.back(), "exit path [5,5,6]");
  auto failing = trace("a[b + 'x']", Json::parse(R"({"a":[{"b":1}]})"));
  EXPECT_TRUE(has(failing, "filter end"));
  EXPECT_EQ(failing.back(), "failed T2002");
}

TEST(EvalLimits, DepthIsRestoredAndErrorsAreLocated) {
  auto e = Expression::compile("[1, 2, 3].($ * 2)");
  ASSERT_TRUE(e);
  Options o;
  o.max_depth = 6;
  auto r = e->evaluate_with(Bindings{}, o);
  ASSERT_TRUE(r) << r.error().message();
  EXPECT_EQ(zarnu_core::json::to_text(*r->second), "[2,4,6]");
}

TEST(EvalLimits, CancellationFromAnotherThread) {
  // The flag is set by another thread while the evaluation runs: $wait holds the evaluation until it is
  // set, and the loop after it must stop.
  auto flag = std::make_shared<std::atomic<bool>>(false);
  std::atomic<bool> waiting{false};
  host::HostFunction wait;
  wait.function = std::make_shared<const host::Callable>([&](host::Args, host::HostCall&) {
    waiting.store(true);
    while (!flag->load()) std::this_thread::yield();
    return Result<std::optional<Json>>(Json(1));
  });
  Bindings bindings;
  bindings.function("wait", wait);
  Options o;
  o.cancel = flag;
  std::thread setter([&] {
    while (!waiting.load()) std::this_thread::yield();
    flag->store(true);
  });
  auto e = Expression::compile("$wait() + $count([1..100000].($ + 1))");
  ASSERT_TRUE(e);
  auto r = e->evaluate_with(bindings, o);
  setter.join();
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().code(), "U1003");
}

// The hook is called at a bounded interval from every long step: node evaluations, loops inside
// built-ins and pattern searches; its error ends the evaluation.
TEST(EvalOptions, PollHookStopsLongSteps) {
  for (const char* text :
       {"($f := function($n){ $n = 0 ? 0 : $f($n - 1) }; $f(100000))", "$count($shuffle([1..2000000]))",
        "$length($string([1..2000000]))", "$count($split($pad('', 2000000, 'ab'), ''))",
        "$sort($reverse([1..2000000]))[0]", "$match($pad('', 40, 'a'), /(a+)+b/)"}) {
    auto e = Expression::compile(text);
    ASSERT_TRUE(e);
    int calls = 0;
    Options o;
    o.hook = [&]() -> std::optional<error::Error> {
      if (++calls < 20) return std::nullopt;
      return error::Error("U1003");
    };
    auto r = e->evaluate_with(Bindings{}, o);
    ASSERT_FALSE(r) << text;
    EXPECT_EQ(r.error().code(), "U1003") << text;
    EXPECT_EQ(calls, 20) << text;
  }
}

TEST(EvalOptions, SeedState) {
  // SplitMix64's finaliser of 0 with the lowest bit set, not 0.
  EXPECT_EQ(eval::seed_state(0), 0xE220A8397B1DCDAFull | 1);
  EXPECT_EQ(eval::seed_state(42), eval::seed_state(42));
}

TEST(EvalResult, OutlivesItsBindingsData) {
  auto e = Expression::compile("$v.a");
  ASSERT_TRUE(e);
  Value kept;
  {
    Bindings b;
    b.values.insert_or_assign("v",
                              std::make_shared<const Json>(Json::parse(R"({"a":{"deep":[{"x":"alive"}]}})")));
    auto r = e->evaluate_with(b, Options{});
    ASSERT_TRUE(r);
    kept = r->first;
  }
  EXPECT_EQ(S(kept), R"({"deep":[{"x":"alive"}]})");
}

TEST(EvalThreads, OneExpressionManyThreads) {
  auto e = Expression::compile("items[v > 2].{'k': k, 'double': v * 2}");
  ASSERT_TRUE(e);
  Json doc = Json::object();
  for (int i = 0; i < 200; ++i) doc["items"].push_back(Json{{"k", "key" + std::to_string(i)}, {"v", i % 5}});
  std::string expected;
  std::vector<std::string> got(8);
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([&, t] {
      for (int k = 0; k < 20; ++k) {
        JsonBuilder b;
        auto input = [&](Sink& sink) -> std::optional<std::string> {
          sink.push(from_json(doc));
          return std::nullopt;
        };
        auto r = e->evaluate_source_to(input, Bindings{}, Options{}, b);
        got[t] = r && r->second ? zarnu_core::json::to_text(*r->second) : "!";
      }
    });
  for (auto& t : threads) t.join();
  for (const auto& g : got) EXPECT_EQ(g, got[0]);
  EXPECT_NE(got[0], "!");
}
