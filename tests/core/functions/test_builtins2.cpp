// What the language cases cannot see of the higher-order, collection, number, encoding and miscellaneous
// built-ins: error details, signs of zero, non-finite numbers, array flags and sharing, the generator's
// seeding from the clock, and the trees $eval keeps.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>

#include "eval/eval.hpp"
#include "eval/expression.hpp"
#include "functions/collections.hpp"
#include "functions/higher.hpp"
#include "functions/misc.hpp"
#include "functions/numbers.hpp"
#include "functions/numeric.hpp"
#include "helpers.hpp"

using namespace zarnu_core;
using value::Items;
using zarnu_test::J;
using zarnu_test::S;
using zarnu_test::Value;

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// One evaluation's state for calling built-ins directly.
struct Direct {
  eval::Evaluator ev{eval::Limits{}, value::Rc<eval::Keeper>::make()};
  eval::FrameRef frame = ev.root(Value());

  Result<Value> operator()(functions::Implementation f, Items args) {
    return f(ev, std::move(args), functions::Call{eval::static_undefined(), frame});
  }
};

Items items(std::initializer_list<Value> vs) {
  return Items(vs.begin(), vs.end());
}

Result<Value> run(std::string_view expr) {
  auto e = Expression::compile(expr);
  if (!e) return fail(std::move(e).error());
  Expression::Run r{eval::Limits{}, value::Shared::create(), nullptr};
  return e->run(Value(), Bindings{}, r);
}

std::string detail(const Result<Value>& r, std::string_view name) {
  if (r) return "no error";
  const auto* d = r.error().detail(name);
  return d ? json::to_text(*d) : "absent";
}

TEST(Builtins2, ErrorDetails) {
  EXPECT_EQ(detail(run("$single([1, 2])"), "index"), "1");
  EXPECT_EQ(detail(run("$single([1, 2, 3, 4], function($v){ $v > 1 })"), "index"), "2");
  EXPECT_EQ(detail(run("$reduce([1], function($a){ $a })"), "index"), "1");
  EXPECT_EQ(detail(run("$sort([1, 'a'])"), "index"), "1");
  auto url = run("$decodeUrl('a%zz')");
  EXPECT_EQ(detail(url, "value"), "\"a%zz\"");
  EXPECT_EQ(detail(url, "functionName"), "\"decodeUrl\"");
  // $eval keeps the rendered inner message only.
  auto inner = run("$eval('$single([])')");
  ASSERT_FALSE(inner);
  EXPECT_EQ(inner.error().code(), "D3121");
  EXPECT_EQ(detail(inner, "value"),
            "\"The $single() function expected exactly 1 matching result.  Instead it "
            "matched 0.\"");
  auto syntax = run("$eval('(')");
  ASSERT_FALSE(syntax);
  EXPECT_EQ(syntax.error().code(), "D3120");
  EXPECT_EQ(detail(syntax, "index"), "absent");
}

TEST(Builtins2, SignsOfZero) {
  Direct call;
  auto num = [&](functions::Implementation f, Items args) {
    auto r = call(f, std::move(args));
    return r && r->is_number() ? r->as_number() : kNaN;
  };
  EXPECT_FALSE(std::signbit(num(&functions::numbers::round, items({Value::number(-0.4)}))));
  EXPECT_FALSE(std::signbit(num(&functions::numbers::round, items({Value::number(-0.0)}))));
  EXPECT_FALSE(
      std::signbit(num(&functions::numbers::round, items({Value::number(-0.004), Value::number(2)}))));
  EXPECT_TRUE(std::signbit(num(&functions::numbers::ceil, items({Value::number(-0.5)}))));
  EXPECT_FALSE(std::signbit(num(&functions::numbers::abs, items({Value::number(-0.0)}))));
  // A precision that is not a number, or NaN, acts as 0.
  EXPECT_EQ(num(&functions::numbers::round, items({Value::number(2.5), Value::number(kNaN)})), 2);
  EXPECT_EQ(num(&functions::numbers::round, items({Value::number(3.5), Value::string("2")})), 4);
}

TEST(Builtins2, NonFiniteNumbers) {
  Direct call;
  auto code = [&](functions::Implementation f, Items args) {
    auto r = call(f, std::move(args));
    return r ? std::string("ok") : std::string(r.error().code());
  };
  using namespace functions;
  EXPECT_EQ(code(&numbers::round, items({Value::number(kInf)})), "D1001");
  EXPECT_EQ(code(&numbers::round, items({Value::number(-kInf), Value::number(2)})), "D1001");
  EXPECT_TRUE(std::isnan(call(&numbers::round, items({Value::number(kNaN), Value::number(1)}))->as_number()));
  EXPECT_EQ(code(&collections::type_, items({Value::number(kInf)})), "D1001");
  EXPECT_EQ(S(*call(&collections::type_, items({Value::number(kNaN)}))), "\"object\"");
  // The number test stops at the first non-number or NaN; an infinity before that is out of range.
  auto arr = [](std::initializer_list<Value> vs) { return Value::array_with(items(vs), 0); };
  EXPECT_EQ(code(&collections::sort, items({arr({Value::number(kInf), Value::string("a")})})), "D1001");
  EXPECT_EQ(code(&collections::sort, items({arr({Value::string("a"), Value::number(kInf)})})), "D3070");
  EXPECT_EQ(code(&collections::sort, items({arr({Value::number(kNaN), Value::number(kInf)})})), "D3070");
  EXPECT_EQ(code(&numbers::boolean, items({arr({Value::number(1), Value::number(kInf)})})), "D1001");
  EXPECT_TRUE(std::isnan(functions::numeric::shift(kInf, 1)));
  EXPECT_EQ(functions::numeric::shift(1.005, 2), 100.5);
  EXPECT_EQ(functions::numeric::shift(1e21, -2), 1e19);
  EXPECT_EQ(functions::numeric::shift(1e300, 10), kInf);
  EXPECT_EQ(functions::numeric::shift(-1e-300, -100), 0.0);
}

TEST(Builtins2, FlagsAndSharing) {
  Direct call;
  using namespace functions;
  const Value seq = Value::sequence(items({Value::number(1)}));
  const Value pair = J("[2, 1]");
  auto flags = [](const Result<Value>& r) { return r && r->is_array() ? int(r->as_array().flags) : -1; };
  // Arrays that need no change come back shared, flags included.
  EXPECT_TRUE(call(&collections::reverse, items({seq}))->same_payload(seq));
  EXPECT_TRUE(call(&collections::sort, items({seq}))->same_payload(seq));
  EXPECT_TRUE(call(&collections::shuffle, items({seq}))->same_payload(seq));
  EXPECT_TRUE(call(&collections::distinct, items({seq}))->same_payload(seq));
  EXPECT_TRUE(call(&collections::append, items({Value(), pair}))->same_payload(pair));
  EXPECT_TRUE(call(&collections::append, items({pair, Value()}))->same_payload(pair));
  EXPECT_EQ(flags(call(&collections::reverse, items({pair}))), 0);
  EXPECT_EQ(flags(call(&collections::sort, items({pair}))), 0);
  EXPECT_EQ(flags(call(&collections::append, items({pair, pair}))), 0);
  EXPECT_EQ(flags(call(&collections::zip, {})), 0);
  auto zipped = call(&collections::zip, items({pair, pair}));
  EXPECT_EQ(flags(zipped), 0);
  EXPECT_EQ(zipped->as_array().items[0].as_array().flags, 0);
  // $distinct keeps only the sequence flag.
  EXPECT_EQ(flags(call(&collections::distinct,
                       items({Value::array_with(items({Value::number(1), Value::number(1)}),
                                                value::kSequence | value::kKeepSingleton)}))),
            value::kSequence);
  EXPECT_EQ(flags(call(&collections::distinct, items({pair}))), 0);
  // $spread: a sequence only when nothing at the top level is defined.
  EXPECT_EQ(flags(call(&collections::spread, items({J("[{}]")}))), 0);
  EXPECT_EQ(flags(call(&collections::spread, items({J("[]")}))), value::kSequence);
  EXPECT_EQ(flags(call(&collections::spread, items({Value::array_with(items({Value()}), 0)}))),
            value::kSequence);
  // $keys, $map and $each answer sequences even when empty.
  EXPECT_EQ(flags(call(&collections::keys, items({Value::number(1)}))), value::kSequence);
  EXPECT_EQ(flags(call(&collections::each, items({Value::number(1), Value()}))), value::kSequence);
  // $sort without a comparator behaves as the one-argument form.
  EXPECT_EQ(S(*call(&collections::sort, items({pair, Value()}))), "[1,2]");
  // $zip counts a non-array argument as empty.
  EXPECT_EQ(S(*call(&collections::zip, items({pair, Value::number(1)}))), "[]");
}

TEST(Builtins2, DistinctOfValuesTooDeepToCompare) {
  Direct call;
  using zarnu_test::nested_arrays;
  auto distinct = [&](Items list) {
    return call(&functions::collections::distinct, items({Value::array(list)}));
  };
  const Value deep = nested_arrays(1001);
  // Such values are compared only with each other, and comparing two of them fails as equality does.
  auto kept = distinct(items({deep, J("[1]"), deep, nested_arrays(1000), J("[1]")}));
  ASSERT_TRUE(kept);
  EXPECT_EQ(kept->as_array().items.size(), 3u);
  auto failed = distinct(items({J("[2]"), deep, J("[1]"), nested_arrays(1001)}));
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error().code(), "U1001");
}

TEST(Builtins2, UnseededGeneratorTakesTheTimestamp) {
  Direct call;
  ASSERT_EQ(call.ev.rng(), 0u);
  const double first = functions::numbers::draw(call.ev);
  // The state was seeded from the timestamp the evaluation now keeps.
  std::uint64_t x = static_cast<std::uint64_t>(call.ev.timestamp().count()) | 1;
  x ^= x >> 12;
  x ^= x << 25;
  x ^= x >> 27;
  EXPECT_EQ(call.ev.rng(), x);
  EXPECT_EQ(first, static_cast<double>((x * 0x2545F4914F6CDD1Dull) >> 11) / 9007199254740992.0);
  EXPECT_GE(first, 0.0);
  EXPECT_LT(first, 1.0);
}

TEST(Builtins2, EvalKeepsItsTrees) {
  Direct call;
  auto eval_text = [&](std::string_view text) {
    return call(&functions::collections::eval_, items({Value::string(text)}));
  };
  auto f = eval_text("function($v){ $v & '!' }");
  ASSERT_TRUE(f && f->is_function());
  // The lambda's definition lives in the kept tree, however many other texts are compiled meanwhile.
  for (int i = 0; i < 20; ++i) ASSERT_TRUE(eval_text(std::to_string(i)));
  auto r = call.ev.callback(*f, items({Value::string("a")}), call.frame);
  ASSERT_TRUE(r);
  EXPECT_EQ(S(*r), "\"a!\"");
  // A tree nothing refers to goes with its evaluation; a text evaluated again soon after is not compiled
  // again.
  const std::size_t kept = call.ev.keeper()->more.size();
  EXPECT_EQ(kept, 1u);
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(eval_text("1 + 1"));
  EXPECT_EQ(call.ev.keeper()->more.size(), kept);
  const auto* recent = call.ev.recent_trees().back().tree.get();
  ASSERT_TRUE(eval_text("1 + 1"));
  EXPECT_EQ(call.ev.recent_trees().back().tree.get(), recent);
  // A name bound in the caller's scope is text of the tree, which stays; so does a tree whose lambda
  // stays only in a scope (captured by a function made by a nested text).
  ASSERT_TRUE(eval_text("$late := 7"));
  EXPECT_EQ(call.ev.keeper()->more.size(), kept + 1);
  for (int i = 0; i < 20; ++i) ASSERT_TRUE(eval_text(std::to_string(i) + " + 1"));
  auto late = eval_text("$late");
  ASSERT_TRUE(late);
  EXPECT_EQ(S(*late), "7");
  auto g = eval_text("($inner := 'deep'; $eval('function(){ $inner }'))");
  ASSERT_TRUE(g && g->is_function());
  EXPECT_EQ(call.ev.keeper()->more.size(), kept + 3);
  for (int i = 0; i < 20; ++i) ASSERT_TRUE(eval_text(std::to_string(i) + " * 2"));
  auto deep = call.ev.callback(*g, items({}), call.frame);
  ASSERT_TRUE(deep);
  EXPECT_EQ(S(*deep), "\"deep\"");
}

}  // namespace
