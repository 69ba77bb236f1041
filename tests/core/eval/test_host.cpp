// Host functions written as C++ callables: what they receive (arguments as JSON within one shared budget,
// the context when asked for), what they may do with the function values among their arguments (tell
// their arity, apply them, but not while an application of theirs is running), and how their errors and
// results come back.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "eval/expression.hpp"
#include "helpers.hpp"
#include "value/lazy.hpp"

using namespace zarnu_core;
using zarnu_test::Json;
using zarnu_test::Value;

namespace {

using Args = host::Args;
using Reply = Result<std::optional<Json>>;

host::HostFunction host_fn(host::Callable f, std::size_t arity, bool context = false,
                           std::string_view sig = {}) {
  host::HostFunction h;
  h.function = std::make_shared<const host::Callable>(std::move(f));
  h.arity = arity;
  h.context = context;
  if (!sig.empty()) {
    auto parsed = signature::Signature::parse(sig);
    EXPECT_TRUE(parsed);
    h.signature = std::make_shared<const signature::Signature>(std::move(*parsed));
  }
  return h;
}

struct Session {
  Bindings bindings;
  Options options;
  std::optional<Json> input;
  value::Rc<value::Sources> source;  // a lazily read input, instead of `input`

  Session& fn(std::string name, host::HostFunction f) {
    bindings.function(std::move(name), std::move(f));
    return *this;
  }

  // The result as compact JSON text, "undefined", or "!CODE message".
  std::string operator()(std::string_view expr) {
    auto compiled = Expression::compile(expr);
    if (!compiled) return "!" + std::string(compiled.error().code());
    value::JsonBuilder b;
    auto feed = [&](value::Sink& sink) -> std::optional<std::string> {
      if (source)
        sink.push(value::lazy_object(value::Pending{sink.shared(), source, nullptr}, 0));
      else if (input)
        sink.push(value::lazy(std::make_shared<const Json>(*input), sink.shared()));
      return std::nullopt;
    };
    auto out = compiled->evaluate_source_to(feed, bindings, options, b);
    if (!out) {
      last_error.emplace(out.error().clone());
      return "!" + std::string(out.error().code()) + " " + out.error().message();
    }
    return out->second ? json::to_text(*out->second) : "undefined";
  }
  std::optional<error::Error> last_error;
};

std::string args_text(Args args) {
  std::string out = "<";
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (i) out += ",";
    out += args[i] ? json::to_text(*args[i]) : "absent";
  }
  return out + ">";
}

// Echoes its arguments as text.
host::HostFunction echo() {
  return host_fn([](Args args, host::HostCall&) -> Reply { return Json(args_text(args)); }, 3);
}

TEST(Host, ArgumentsArriveAsJsonAndUndefinedAsAbsent) {
  Session run;
  run.fn("echo", echo());
  EXPECT_EQ(run("$echo(1, 'a', {'k': [true, null]})"), R"("<1,\"a\",{\"k\":[true,null]}>")");
  EXPECT_EQ(run("$echo(1, nothing, 3)"), R"("<1,absent,3>")");
  // A function argument converts to nothing: the host reaches it through its caller.
  EXPECT_EQ(run("$echo(function(){ 1 }, [function(){ 2 }])"), R"("<absent,[null]>")");
  EXPECT_EQ(run("$echo()"), R"("<>")");
}

TEST(Host, ArgumentsShareOneBudget) {
  Session run;
  run.fn("echo", host_fn([](Args, host::HostCall&) -> Reply { return Json(1); }, 2));
  run.options.max_result_size = 100;
  const std::string sixty = "'" + std::string(58, 'x') + "'";  // 60 bytes of JSON text
  EXPECT_EQ(run("$echo(" + sixty + ")"), "1");
  EXPECT_EQ(run("$echo(" + sixty + ", " + sixty + ")"),
            "!U1001 The arguments of a host function would exceed the size limit of 100 bytes");
}

TEST(Host, ArgumentsNestedTooDeeplyAreRefused) {
  Json deep = Json::array();
  for (int i = 0; i < 1000; ++i) deep = Json::array({deep});
  Session run;
  run.fn("echo", echo());
  run.input = Json::object({{"deep", deep}, {"ok", Json::array({Json::array({1})})}});
  EXPECT_EQ(run("$echo(ok)"), R"("<[[1]]>")");
  EXPECT_EQ(run("$echo(deep)"), "!U1001 A value is nested more than 1000 levels deep");
}

TEST(Host, TheContextIsHandedOnlyWhenAskedFor) {
  auto context_of = [](bool wanted) {
    return host_fn(
        [](Args, host::HostCall& call) -> Reply {
          auto j = call.value.to_json();
          return Json(j ? json::to_text(*j) : "undefined");
        },
        0, wanted);
  };
  Session run;
  run.fn("ctx", context_of(true)).fn("none", context_of(false));
  // An array input is handed as itself, not inside the one-item wrapper the evaluation puts around it.
  run.input = Json::parse("[5, 6]");
  EXPECT_EQ(run("$ctx()"), R"("[5,6]")");
  EXPECT_EQ(run("$none()"), R"("undefined")");
  run.input = Json::parse(R"({"a": {"b": 1}})");
  EXPECT_EQ(run("$ctx()"), R"("{\"a\":{\"b\":1}}")");
  EXPECT_EQ(run("a.$ctx()"), R"("{\"b\":1}")");
  // Partially applied, a host function has no context; called back by a built-in, null.
  EXPECT_EQ(run("$ctx(?)()"), R"("undefined")");
}

TEST(Host, ResultsComeBackAsValues) {
  Session run;
  run.fn("obj",
         host_fn([](Args, host::HostCall&) -> Reply { return Json::parse(R"({"a":[1,{"b":2}]})"); }, 0));
  run.fn("nothing", host_fn([](Args, host::HostCall&) -> Reply { return std::optional<Json>(); }, 0));
  EXPECT_EQ(run("$obj().a[1].b"), "2");
  EXPECT_EQ(run("$nothing()"), "undefined");
  EXPECT_EQ(run("[$nothing(), 1]"), "[1]");
}

TEST(Host, ErrorsFromTheHostPassThrough) {
  Session run;
  run.fn("fails", host_fn([](Args, host::HostCall&)
                              -> Reply { return fail(error::Error("D3001").with("value", Json("kept"))); },
                          0));
  EXPECT_EQ(run("$fails()").substr(0, 6), "!D3001");
  ASSERT_TRUE(run.last_error);
  EXPECT_EQ(json::to_text(*run.last_error->detail("value")), R"("kept")");
  // The call locates it and names the function, as for any error of an application.
  EXPECT_EQ(run.last_error->token(), "fails");
  EXPECT_EQ(run.last_error->position(), 7u);
}

TEST(Host, AConversionOverflowRecordedByTheHostFailsTheCall) {
  Session run;
  run.fn("over", host_fn(
                     [](Args, host::HostCall& call) -> Reply {
                       call.overflow = value::TooLarge{false};
                       return Json("discarded");
                     },
                     0));
  run.options.max_result_size = 1000;
  EXPECT_EQ(run("$over()"),
            "!U1001 The arguments of a host function would exceed the size limit of 1000 bytes");
}

TEST(Host, SignaturesAreCheckedBeforeTheCall) {
  int calls = 0;
  Session run;
  run.fn("num", host_fn(
                    [&](Args args, host::HostCall&) -> Reply {
                      ++calls;
                      return Json(args_text(args));
                    },
                    1, false, "<n-:s>"));
  EXPECT_EQ(run("$num('x')").substr(0, 6), "!T0410");
  EXPECT_EQ(run.last_error->token(), "num");
  EXPECT_EQ(calls, 0);
  run.input = Json(3);
  EXPECT_EQ(run("$num()"), R"("<3>")");
  // Partial application fixes the arguments itself: no signature check.
  EXPECT_EQ(run("$num(?)('x')"), R"("<\"x\">")");
}

TEST(Host, ArityOfTheFunctionArguments) {
  Session run;
  run.fn("arity", host_fn(
                      [](Args args, host::HostCall& call) -> Reply {
                        Json out = Json::array();
                        for (std::size_t i = 0; i <= args.size(); ++i) {
                          auto n = call.caller.arity(i);
                          out.push_back(n ? Json(*n) : Json(nullptr));
                        }
                        return out;
                      },
                      5));
  run.fn("other", host_fn([](Args, host::HostCall&) -> Reply { return Json(1); }, 4));
  EXPECT_EQ(run("$arity(function($a, $b){ 1 }, 5, $substring, $substring(?, 1, ?), | a | {} |)"),
            "[2,null,3,2,1,null]");
  EXPECT_EQ(run("$arity(function($a, $b, $c){ 1 }(?, 1, ?), $other, $other(?, 1))"), "[2,4,1,null]");
}

// Applies argument 0 to the remaining arguments, through the caller.
host::HostFunction apply_first() {
  return host_fn(
      [](Args args, host::HostCall& call) -> Reply {
        std::vector<std::optional<Json>> rest(args.begin() + (args.empty() ? 0 : 1), args.end());
        return call.caller.apply(0, std::move(rest));
      },
      2);
}

TEST(Host, CallerAppliesFunctionsItReceived) {
  Session run;
  run.fn("call", apply_first());
  EXPECT_EQ(run("$call(function($x, $y){ $x * $y }, 6, 7)"), "42");
  EXPECT_EQ(run("($k := 10; $call(function($x){ $x + $k }, 1))"), "11");
  EXPECT_EQ(run("$call($substring, 'abcd', 1)"), R"("bcd")");
  // Applied with null as context: $string of nothing gives "null".
  EXPECT_EQ(run("$call($string)"), R"("null")");
  // Not a function, or nothing at that index: the application fails as any call of a non-function.
  EXPECT_EQ(run("$call(5)").substr(0, 6), "!T1006");
  EXPECT_EQ(run("$call()").substr(0, 6), "!T1006");
  // Errors inside come back to the host and, let through, out of the call.
  EXPECT_EQ(run("$call(function($x){ $x + 'a' }, 1)").substr(0, 6), "!T2002");
}

TEST(Host, CallerResultIsBounded) {
  Session run;
  run.fn("call", apply_first());
  run.options.max_result_size = 50;
  EXPECT_EQ(run("$call(function(){ [1, 2, 3] })"), "[1,2,3]");
  EXPECT_EQ(run("$call(function(){ $nothing })"), "undefined");
  EXPECT_EQ(
      run("$call(function(){ '" + std::string(60, 'x') + "' })"),
      "!U1001 The result of a function called by a host function would exceed the size limit of 50 bytes");
}

TEST(Host, NestedHostCallsEachGetTheirOwnCaller) {
  // "outer" applies its function argument; that function calls "inner", which uses its own caller to
  // apply its own argument, and then tries the outer caller while the outer application runs.
  host::Caller* outer_caller = nullptr;
  std::string seen;
  Session run;
  run.fn("outer", host_fn(
                      [&](Args, host::HostCall& call) -> Reply {
                        outer_caller = &call.caller;
                        auto r = call.caller.apply(0, {});
                        outer_caller = nullptr;
                        return r;
                      },
                      1));
  run.fn("inner", host_fn(
                      [&](Args, host::HostCall& call) -> Reply {
                        ZR_TRY(auto mine, call.caller.apply(0, {Json(2)}));
                        auto again = outer_caller->apply(0, {});
                        auto failure = outer_caller->read_failure();
                        seen = again ? "applied" : std::string(again.error().message());
                        seen += failure ? " / " + failure->message() : " / no failure";
                        return mine;
                      },
                      1));
  EXPECT_EQ(run("$outer(function(){ $inner(function($x){ $x * 21 }) })"), "42");
  EXPECT_EQ(seen,
            "A host function called a function it received while the evaluation was busy / A host function "
            "called a "
            "function it received while the evaluation was busy");
  // After the application returned, the caller answers again.
  run.fn("twice", host_fn(
                      [](Args, host::HostCall& call) -> Reply {
                        ZR_TRY(auto a, call.caller.apply(0, {Json(1)}));
                        ZR_TRY(auto b, call.caller.apply(0, {*a}));
                        if (auto f = call.caller.read_failure()) return fail(std::move(*f));
                        return b;
                      },
                      1));
  EXPECT_EQ(run("$twice(function($x){ $x + 1 })"), "3");
}

// An input whose containers cannot be read.
class Failing : public value::Sources {
 public:
  std::optional<std::string> read(std::uint32_t, value::Sink&) override { return "the source is gone"; }
  value::FieldOutcome read_field(std::uint32_t, std::string_view, value::Sink&, std::string&) override {
    return value::FieldOutcome::NotSupported;
  }
};

TEST(Host, AFailedReadOfTheInputStopsTheCallBeforeTheHostRuns) {
  int calls = 0;
  Session run;
  run.fn("echo", host_fn(
                     [&](Args args, host::HostCall&) -> Reply {
                       ++calls;
                       return Json(args_text(args));
                     },
                     1));
  run.source = value::Rc<value::Sources>(value::Rc<Failing>::make());
  // Converting the argument reads the object, which fails.
  EXPECT_EQ(run("$echo($)"), "!U1004 The input could not be read: the source is gone");
  EXPECT_EQ(calls, 0);
}

}  // namespace
