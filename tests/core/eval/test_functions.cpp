// Function values and their application seen from the expression interface: tail calls in constant
// stack, the depth limit on small stacks, the release of long chains of closures, callbacks from
// built-ins, and transforms that must not change what they did not copy.
#include <gtest/gtest.h>
#include <pthread.h>

#include <functional>
#include <stdexcept>
#include <string>

#include "eval/expression.hpp"
#include "eval/function.hpp"
#include "eval/regex.hpp"
#include "eval/truth.hpp"
#include "helpers.hpp"
#include "small_stack.hpp"
#include "support/stack.hpp"
#include "value/output.hpp"

using namespace zarnu_core;
using value::Items;
using zarnu_test::Json;
using zarnu_test::on_small_stack;
using zarnu_test::Value;

namespace {

// ---------------------------------------------------------------------------------------------------------
// Built-ins for the tests. The library's own table comes first in lookups, so once it has these names
// the cases run against the real ones.

signature::Signature sig(std::string_view text) {
  auto s = signature::Signature::parse(text);
  if (!s) throw std::logic_error("bad test signature");
  return std::move(*s);
}

Result<Value> clone(eval::Evaluator&, Items args, const functions::Call&) {
  if (args.empty() || args[0].is_undefined()) return Value();
  auto json = value::to_json_at(args[0], 0);
  return json ? value::from_json(*json) : Value();
}

template <char (*F)(char)>
Result<Value> map_chars(eval::Evaluator&, Items args, const functions::Call&) {
  if (args.empty() || !args[0].is_string()) return Value();
  std::string s(args[0].as_string());
  for (char& c : s) c = F(c);
  return Value::string(s);
}
char upper(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c;
}
char lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c;
}

// ASCII substring with a negative start counting from the end.
Result<Value> substring(eval::Evaluator&, Items args, const functions::Call&) {
  if (args.empty() || !args[0].is_string()) return Value();
  const std::string_view s = args[0].as_string();
  const auto n = static_cast<long>(s.size());
  long start = args.size() > 1 ? static_cast<long>(args[1].as_number()) : 0;
  if (start < 0) start = std::max(0L, n + start);
  start = std::min(start, n);
  long length = n - start;
  if (args.size() > 2 && args[2].is_number())
    length = std::clamp(static_cast<long>(args[2].as_number()), 0L, n - start);
  return Value::string(s.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(length)));
}

Result<Value> string(eval::Evaluator&, Items args, const functions::Call&) {
  if (args.empty()) return Value();
  ZR_TRY(auto text, functions::to_string(args[0], false, 268435456));
  return text ? Value::string(*text) : Value();
}

Result<Value> sum(eval::Evaluator&, Items args, const functions::Call&) {
  if (args.empty() || args[0].is_undefined()) return Value();
  double total = 0;
  for (const Value& v : args[0].as_array().read()) total += v.as_number();
  return Value::number(total);
}

// $map, fitting the arguments to the callee's arity (item; item, index; item, index, array).
Result<Value> map(eval::Evaluator& ev, Items args, const functions::Call& call) {
  Items out;
  if (args.empty() || args[0].is_undefined()) return Value();
  const Items items = args[0].items_or_self();
  const std::size_t want = args[1].is_function() ? eval::arity(args[1].as_function()) : 1;
  for (std::size_t i = 0; i < items.size(); ++i) {
    Items one;
    one.push_back(items[i]);
    if (want >= 2) one.push_back(Value::number(static_cast<double>(i)));
    if (want >= 3) one.push_back(args[0]);
    ZR_TRY(Value r, ev.callback(args[1], std::move(one), call.frame));
    if (!r.is_undefined()) out.push_back(std::move(r));
  }
  return Value::sequence(std::move(out));
}

// probe(f): calls f back and reports whether the depth after is the depth before, the error code if
// any, and the result.
Result<Value> probe(eval::Evaluator& ev, Items args, const functions::Call& call) {
  const std::size_t before = ev.depth();
  auto r = ev.callback(args.empty() ? Value() : args[0], {}, call.frame);
  Value out = Value::object();
  auto& fields = out.as_object().fields;
  fields.insert_or_assign(value::Str::make("same"), Value::boolean(ev.depth() == before));
  fields.insert_or_assign(value::Str::make("code"), r ? Value() : Value::string(r.error().code()));
  fields.insert_or_assign(value::Str::make("result"), r ? *r : Value());
  return out;
}

const bool kRegistered = [] {
  using functions::Native;
  functions::testing::add(Native{std::nullopt, "clone", {"arg"}, "", &clone, 1});
  functions::testing::add(Native{sig("<s-:s>"), "uppercase", {"str"}, "", &map_chars<upper>, 1});
  functions::testing::add(Native{sig("<s-:s>"), "lowercase", {"str"}, "", &map_chars<lower>, 1});
  functions::testing::add(
      Native{sig("<s-nn?:s>"), "substring", {"str", "start", "length"}, "", &substring, 3});
  functions::testing::add(Native{sig("<x-b?:s>"), "string", {"arg", "prettify"}, "", &string, 1});
  functions::testing::add(Native{sig("<a<n>:n>"), "sum", {"arr"}, "", &sum, 1});
  functions::testing::add(Native{sig("<af>"), "map", {"arr", "func"}, "", &map, 2});
  functions::testing::add(Native{std::nullopt, "probe", {"func"}, "", &probe, 1});
  return true;
}();

// ---------------------------------------------------------------------------------------------------------
// Running expressions

struct Outcome {
  std::optional<Json> json;
  std::optional<error::Error> error;
};

Outcome run(std::string_view expr, const std::optional<Json>& input = std::nullopt, Options options = {}) {
  Outcome o;
  auto compiled = Expression::compile(expr);
  if (!compiled) {
    o.error = std::move(compiled).error();
    return o;
  }
  value::JsonBuilder b;
  auto feed = [&](value::Sink& sink) -> std::optional<std::string> {
    if (input) sink.push(value::lazy(std::make_shared<const Json>(*input), sink.shared()));
    return std::nullopt;
  };
  auto out = compiled->evaluate_source_to(feed, Bindings{}, options, b);
  if (out)
    o.json = std::move(out->second);
  else
    o.error = std::move(out).error();
  return o;
}

std::string text(const Outcome& o) {
  if (o.error) return "!" + std::string(o.error->code());
  return o.json ? json::to_text(*o.json) : "undefined";
}

// ---------------------------------------------------------------------------------------------------------
// Recursion and the stack

TEST(Recursion, TailCallsRunInConstantStack) {
  on_small_stack(
      [] {
        const auto before = stack::detail::segment_counts().created;
        Outcome o = run("($f := function($n){ $n = 0 ? 'done' : $f($n - 1) }; $f(100000))");
        EXPECT_EQ(text(o), "\"done\"");
        // The whole loop ran on the thread's own 256 KiB: no segment was ever mapped.
        EXPECT_EQ(stack::detail::segment_counts().created, before);
      },
      256 * 1024);
}

TEST(Recursion, NonTailRecursionStopsAtTheDepthLimitOnASmallStack) {
  on_small_stack(
      [] {
        Outcome o = run("($f := function($n){ $n = 0 ? 0 : 1 + $f($n - 1) }; $f(1000000))");
        ASSERT_TRUE(o.error);
        EXPECT_EQ(o.error->code(), "D1011");
        EXPECT_EQ(json::to_text(*o.error->detail("value")), "50000");
        // Below the limit the same recursion completes, on grown segments.
        EXPECT_EQ(text(run("($f := function($n){ $n = 0 ? 0 : 1 + $f($n - 1) }; $f(2000))")), "2000");
      },
      256 * 1024);
}

// A closure capturing a closure capturing ... a million deep, built by a tail-recursive loop: its release
// at the end of the evaluation must not recurse once per level. Run in a child process so that a stack
// overflow is a failed test rather than a crashed run.
TEST(Recursion, MillionNestedClosuresReleaseOnASmallStack) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        bool ok = false;
        on_small_stack(
            [&] {
              Outcome o =
                  run("($wrap := function($n, $g){ $n = 0 ? $g : $wrap($n - 1, function(){ $g() + 1 }) };"
                      " $h := $wrap(1000000, function(){ 0 }); 1)");
              ok = text(o) == "1";
            },
            256 * 1024);
        std::exit(ok ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(Recursion, PartialApplicationInALoopDoesNotChainScopes) {
  on_small_stack(
      [] {
        Outcome o =
            run("($add := function($a, $b, $c){ $a + $b + $c };"
                " $loop := function($n, $g){ $n = 0 ? $g : $loop($n - 1, $g(?, 1)) };"
                " $f := $loop(200000, $add(?, 1, ?)); $f(5))");
        EXPECT_EQ(text(o), "7");
      },
      256 * 1024);
}

// ---------------------------------------------------------------------------------------------------------
// Callbacks

TEST(Callback, DepthIsRestoredOnEveryExit) {
  EXPECT_EQ(text(run("$probe(function(){ 1 })")), R"({"same":true,"result":1})");
  EXPECT_EQ(text(run("$probe(function(){ $undefined() })")), R"({"same":true,"code":"T1006"})");
  EXPECT_EQ(text(run("$probe(5)")), R"({"same":true,"code":"T1006"})");
  // With a limit of 2 the outer callback runs at depth 2 and the inner one fails its own depth check.
  Options tight;
  tight.max_depth = 2;
  EXPECT_EQ(text(run("$probe($probe)", std::nullopt, tight)),
            R"({"same":true,"result":{"same":true,"code":"D1011"}})");
}

TEST(Callback, CancellationIsCheckedBeforeEveryCallback) {
  // The flag is set by the last node evaluated before $map runs; calling a built-in back evaluates no
  // node, so only the callback's own check can stop it.
  auto flag = std::make_shared<std::atomic<bool>>(false);
  Bindings bindings;
  host::HostFunction cancel;
  cancel.function = std::make_shared<const host::Callable>([flag](host::Args args, host::HostCall&) {
    flag->store(true);
    return Result<std::optional<Json>>(args[0]);
  });
  cancel.arity = 1;
  bindings.function("cancel", cancel);
  Options options;
  options.cancel = flag;
  auto e = Expression::compile("($f := $map(?, $string); $f($cancel([1, 2, 3])))");
  ASSERT_TRUE(e);
  auto out = e->evaluate_with(bindings, options);
  ASSERT_FALSE(out);
  EXPECT_EQ(out.error().code(), "U1003");
}

// ---------------------------------------------------------------------------------------------------------
// Transforms

TEST(Transform, StoredFunctionsDoNotKeepTheirObjectsAlive) {
  // The lambda's context value is the object it is stored in: a cycle no count breaks. The evaluation
  // takes such functions out when it ends; LeakSanitizer checks that nothing is left.
  auto compiled =
      Expression::compile("{'a': {'n': 1}} ~> | a | {'f': function(){ $.n }, 'g': [function(){ $ }]} |");
  ASSERT_TRUE(compiled);
  auto out = compiled->evaluate_with(Bindings{}, Options{});
  ASSERT_TRUE(out);
  EXPECT_EQ(json::to_text(*out->second), R"({"a":{"n":1,"g":[null]}})");
  const Value& result = out->first;
  Value a = value::read_field(result.as_object(), "a");
  EXPECT_EQ(a.use_count(), 2u);  // the result and `a`: no function holds it any more
  // Functions that do not reach back work while the evaluation runs.
  EXPECT_EQ(text(run("({'a': {'n': 1}} ~> | a | {'f': function(){ $.n + 1 }} |).a.f()")), "2");
}

// A transform copies its argument with the $clone its scope sees. When that is the transform itself, or
// leads back to it through another transform or a tail call (whose nodes are done before the copy is asked
// for again), the loop evaluates no node that nests: it must still end at the depth limit, on a small
// stack too, rather than overflow the stack. Each runs in a child process, where a crash fails the test.
TEST(Transform, ACloneThatLeadsBackEndsAtTheDepthLimit) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const char* const loops[] = {
      "($clone := | a | {} |; $clone({}))",
      "($clone := | a | {} |; {} ~> $clone)",
      "($t := | a | {} |; $clone := ($clone := $t; | b | {} |); $clone({}))",
      "($t := | a | {} |; $clone := function($x){ $t($x) }; {} ~> $t)",
  };
  for (const char* expr : loops) {
    for (std::size_t limit : {std::size_t{40}, std::size_t{50000}}) {
      SCOPED_TRACE(std::string(expr) + " at a depth limit of " + std::to_string(limit));
      EXPECT_EXIT(
          {
            std::string got;
            on_small_stack(
                [&] {
                  Options options;
                  options.max_depth = limit;
                  Outcome o = run(expr, std::nullopt, options);
                  got = text(o);
                  if (o.error && o.error->detail("value"))
                    got += " " + json::to_text(*o.error->detail("value"));
                },
                256 * 1024);
            std::exit(got == "!D1011 " + std::to_string(limit) ? 0 : 1);
          },
          ::testing::ExitedWithCode(0), "");
    }
  }
}

// ---------------------------------------------------------------------------------------------------------
// Regular-expression functions, over a tiny engine: literal characters, each optionally followed by "*"
// (greedy, no backtracking).

class TinyEngine final : public regex::Engine {
 public:
  std::expected<std::shared_ptr<const void>, std::string> compile(std::string_view pattern,
                                                                  std::string_view) const override {
    return std::make_shared<const std::string>(pattern);
  }
  Result<std::optional<regex::Match>> search(const void* compiled, std::string_view text, std::size_t start,
                                             eval::Evaluator&) const override {
    const auto& p = *static_cast<const std::string*>(compiled);
    for (std::size_t at = start; at <= text.size(); ++at) {
      std::size_t i = 0, t = at;
      bool ok = true;
      while (ok && i < p.size()) {
        const bool star = i + 1 < p.size() && p[i + 1] == '*';
        if (star) {
          while (t < text.size() && text[t] == p[i]) ++t;
          i += 2;
        } else if (t < text.size() && text[t] == p[i]) {
          ++t;
          ++i;
        } else {
          ok = false;
        }
      }
      if (ok) return std::optional<regex::Match>(regex::Match{at, t, {}});
    }
    return std::optional<regex::Match>();
  }
};

class WithTinyEngine : public ::testing::Test {
 protected:
  WithTinyEngine() { regex::set_engine(&engine_); }
  ~WithTinyEngine() override { regex::set_engine(nullptr); }
  TinyEngine engine_;
};

TEST_F(WithTinyEngine, MatchersSearchFromAUtf16Offset) {
  EXPECT_EQ(text(run("/b/('abc')")), R"({"match":"b","start":1,"end":2,"groups":[]})");
  // The offset counts UTF-16 units and is truncated: 0.7 starts at 0, 1.7 at 1.
  EXPECT_EQ(text(run("/a/('aab', 0.7).start")), "0");
  EXPECT_EQ(text(run("/a/('aab', 1.7).start")), "1");
  EXPECT_EQ(text(run("/b/('\U0001F600b', 2).start")), "2");
  EXPECT_EQ(text(run("/a/('abca', -4).start")), "0");
  EXPECT_EQ(text(run("/a/(5)")), "undefined");
  EXPECT_EQ(text(run("/a/()")), "undefined");
  EXPECT_EQ(text(run("/a/('xyz')")), "undefined");
}

TEST_F(WithTinyEngine, TheNextMatchContinuesWhereTheLastEnded) {
  EXPECT_EQ(text(run("/a/('aba').next().start")), "2");
  EXPECT_EQ(text(run("/a/('aba').next().next()")), "undefined");
  EXPECT_EQ(text(run("/a/('a').next()")), "undefined");
  // An empty match would be found again at the same place for ever.
  Outcome o = run("/a*/('b').next()");
  ASSERT_TRUE(o.error);
  EXPECT_EQ(o.error->code(), "D1004");
  EXPECT_EQ(json::to_text(*o.error->detail("value")), R"("a*")");
}

TEST_F(WithTinyEngine, MatchersTakeNoPlaceholders) {
  Outcome o = run("/a/(?)");
  ASSERT_TRUE(o.error);
  EXPECT_EQ(o.error->code(), "T1008");
  EXPECT_EQ(text(run("($m := /a/; $n := $m('ba').next; $m(?))")), "!T1008");
  EXPECT_EQ(text(run("($n := /a/('aa').next; $n(?))")), "!T1008");
}

}  // namespace
