// The built-in table (order, names, arities, lookups, first use from several threads) and what the
// language cases cannot see of the aggregation, cast and string built-ins: signs of zero, the details of
// their errors, which lazily read items they convert, and text that is not well-formed Unicode.
#include <gtest/gtest.h>

#include <cmath>
#include <set>
#include <string>
#include <thread>

#include "eval/expression.hpp"
#include "eval/native.hpp"
#include "functions/strings.hpp"
#include "helpers.hpp"
#include "support/casing.hpp"

using namespace zarnu_core;
using zarnu_test::Json;
using zarnu_test::TestSource;
using zarnu_test::Value;

namespace {

// Evaluates against an input value (none: undefined).
Result<Value> eval(std::string_view expr, Value input = Value(), eval::Limits limits = {}) {
  auto e = Expression::compile(expr);
  if (!e) return fail(std::move(e).error());
  Expression::Run r{limits, value::Shared::create(), nullptr};
  return e->run(std::move(input), Bindings{}, r);
}

// A lazily converted value over JSON data, as an input parsed in memory arrives.
Value from_text(const std::string& text) {
  return value::lazy(std::make_shared<const Json>(Json::parse(text)), value::Shared::create());
}

bool converted(const Value& array) {
  return !array.as_array().lazy || array.as_array().lazy->cell.has_value();
}

// ---------------------------------------------------------------------------------------------------------
// The table

TEST(BuiltinTable, RegistryOrderAndArities) {
  const auto t = functions::table();
  ASSERT_EQ(t.size(), 65u);
  EXPECT_EQ(t.front().name, "sum");
  EXPECT_EQ(t[5].name, "string");
  EXPECT_EQ(t[13].name, "pad");
  EXPECT_EQ(t[34].name, "map");
  EXPECT_EQ(t.back().name, "toMillis");
  std::set<std::string_view> names;
  for (const functions::Native& n : t) {
    EXPECT_TRUE(names.insert(n.name).second) << n.name;
    EXPECT_TRUE(n.signature) << n.name;
    EXPECT_NE(n.implementation, nullptr) << n.name;
    EXPECT_FALSE(n.description.empty()) << n.name;
    // $string declares one parameter fewer than it names, so callbacks never pass it an index.
    EXPECT_EQ(n.arity, n.name == "string" ? 1u : n.params.size()) << n.name;
  }
  for (std::string_view none : {"random", "zip", "millis"}) EXPECT_EQ(functions::lookup(none)->arity, 0u);
  EXPECT_EQ(functions::lookup("zip")->signature->text(), "<a+>");
}

TEST(BuiltinTable, LookupIsByExactName) {
  EXPECT_EQ(functions::lookup("sum"), &functions::table()[0]);
  EXPECT_EQ(functions::lookup("toMillis"), &functions::table()[64]);
  for (std::string_view miss : {"Sum", "$sum", "su", "sumx", "", "substringbefore"})
    EXPECT_EQ(functions::lookup(miss), nullptr) << miss;
}

Result<Value> fake_sum(eval::Evaluator&, value::Items, const functions::Call&) {
  return Value::number(-1);
}

TEST(BuiltinTable, TheTableComesBeforeTestRecords) {
  static const bool added = [] {
    functions::testing::add(functions::Native{std::nullopt, "sum", {"array"}, "a stand-in", &fake_sum, 1});
    functions::testing::add(functions::Native{std::nullopt, "negOne", {}, "only here", &fake_sum, 0});
    return true;
  }();
  ASSERT_TRUE(added);
  EXPECT_EQ(functions::lookup("sum"), &functions::table()[0]);
  EXPECT_EQ(zarnu_test::S(*eval("$sum([1, 2])")), "3");
  EXPECT_EQ(zarnu_test::S(*eval("$negOne()")), "-1");
}

TEST(BuiltinTable, FirstUseFromSeveralThreads) {
  // In a child process the table is still unbuilt, so the threads race to build it.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        const functions::Native* seen[4] = {};
        std::size_t sizes[4] = {};
        {
          std::vector<std::jthread> threads;
          for (int i = 0; i < 4; ++i)
            threads.emplace_back([&, i] {
              seen[i] = functions::lookup("toMillis");
              sizes[i] = functions::table().size();
            });
        }
        bool ok = true;
        for (int i = 0; i < 4; ++i) ok = ok && seen[i] == seen[0] && seen[i] && sizes[i] == 65;
        std::exit(ok ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

// ---------------------------------------------------------------------------------------------------------
// Aggregates

TEST(Aggregate, SumsStartFromNegativeZero) {
  auto empty = eval("$sum([])");
  ASSERT_TRUE(empty);
  EXPECT_TRUE(std::signbit(empty->as_number()));
  // A sum that cancels out is an ordinary zero.
  EXPECT_FALSE(std::signbit(eval("$sum([1, -1])")->as_number()));
  EXPECT_TRUE(std::signbit(eval("$sum([-0])")->as_number()));
}

TEST(Aggregate, OverflowReportsNull) {
  auto r = eval("$sum([1e308, 1e308])");
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().code(), "D1001");
  EXPECT_TRUE(r.error().detail("value")->is_null());
  // A NaN total is no overflow: it is the result.
  auto nan = eval("$sum([1, $number('0x1' & $pad('', -16, '0'))])");
  ASSERT_TRUE(nan);
  EXPECT_TRUE(std::isnan(nan->as_number()));
}

TEST(Aggregate, CountTakesTheLengthOfUnreadJsonData) {
  Value input = from_text(R"([{"a": 1}, [2, 3], "x"])");
  EXPECT_EQ(zarnu_test::S(*eval("$count($)", input)), "3");
  EXPECT_FALSE(converted(input));
  // The average's n comes the same way, but its items must be read to be added.
  Value numbers = from_text(R"([1, 2, 6])");
  EXPECT_EQ(zarnu_test::S(*eval("$count($)", numbers)), "3");
  EXPECT_FALSE(converted(numbers));
  EXPECT_EQ(zarnu_test::S(*eval("$average($)", numbers)), "3");
  EXPECT_TRUE(converted(numbers));
  // Through a path step the field's own array reaches $count.
  Value doc = from_text(R"({"items": [[1], [2], [3], [4]]})");
  EXPECT_EQ(zarnu_test::S(*eval("$count(items)", doc)), "4");
  EXPECT_FALSE(converted(value::read_field(doc.as_object(), "items")));
}

TEST(Aggregate, HostArraysAreReadToBeCounted) {
  auto source = value::Rc<TestSource>::make(Json::parse(R"({"list": [1, 2, 3]})"));
  Value input = source->top(value::Shared::create());
  EXPECT_EQ(zarnu_test::S(*eval("$count(list)", input)), "3");
  EXPECT_EQ(source->reads, 1);
}

TEST(Aggregate, AFailedLazyReadIsTheEvaluationsError) {
  for (std::string_view expr : {"$sum(list)", "$average(list)", "$max(list)", "$count(list)"}) {
    auto source = value::Rc<TestSource>::make(Json::parse(R"({"list": [1, 2, 3]})"));
    source->fail_index = 1;  // the list: it delivers one item, then fails
    auto e = Expression::compile(expr);
    ASSERT_TRUE(e);
    value::JsonBuilder b;
    auto feed = [&](value::Sink& sink) -> std::optional<std::string> {
      sink.push(source->top(sink.shared()));
      return std::nullopt;
    };
    auto out = e->evaluate_source_to(feed, Bindings{}, Options{}, b);
    ASSERT_FALSE(out) << expr;
    EXPECT_EQ(out.error().code(), "U1004") << expr;
  }
}

// ---------------------------------------------------------------------------------------------------------
// Casts

TEST(Cast, NumberErrorsCarryTheValueAndIndex) {
  auto text = eval("$number('12px')");
  ASSERT_FALSE(text);
  EXPECT_EQ(text.error().code(), "D3030");
  EXPECT_EQ(zarnu_core::json::to_text(text.error().details()),
            R"({"value":"12px","index":1,"token":"number"})");
  // A value of another type is only reachable without validation, through partial application.
  auto object = eval("$number(?)({'a': [1]})");
  ASSERT_FALSE(object);
  EXPECT_EQ(zarnu_core::json::to_text(object.error().details()), R"({"index":1,"value":{"a":[1]}})");
  auto function = eval("$number(?)($sum)");
  ASSERT_FALSE(function);
  EXPECT_EQ(zarnu_core::json::to_text(function.error().details()), R"({"index":1})");
}

TEST(Cast, RadixLiteralsBeyondSixtyFourBitsAreNaN) {
  EXPECT_TRUE(std::isnan(eval("$number('0x1' & $pad('', -16, '0'))")->as_number()));
  EXPECT_EQ(eval("$number('0b' & $pad('', -64, '1'))")->as_number(), 18446744073709551615.0);
  EXPECT_TRUE(std::isnan(eval("$number('0b1' & $pad('', -64, '0'))")->as_number()));
  EXPECT_EQ(eval("$number('0o' & $pad('', -22, '0') & '1')")->as_number(), 1.0);
}

TEST(Cast, StringSharesAStringArgument) {
  Value input = Value::string("some text");
  auto r = eval("$string($)", input);
  ASSERT_TRUE(r);
  EXPECT_TRUE(r->same_payload(input));
}

TEST(Cast, StringOfADeepValueIsAnError) {
  auto r = eval("$string($)", zarnu_test::nested_arrays(5000));
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().code(), "U1001");
  EXPECT_EQ(r.error().message(), "A value is nested more than 1000 levels deep");
}

TEST(Cast, NegativeZeroReadsAsZero) {
  EXPECT_EQ(zarnu_test::S(*eval("$number('-0')")), "0");
  EXPECT_TRUE(std::signbit(eval("$number('-0')")->as_number()));
  EXPECT_TRUE(std::signbit(eval("$number('-1e-400')")->as_number()));
}

// ---------------------------------------------------------------------------------------------------------
// Strings

TEST(Strings, PadErrorsCarryTheNeededCountAsANumber) {
  auto r = eval("$pad('abc', -10000004)");
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().code(), "D2016");
  EXPECT_EQ(zarnu_core::json::to_text(*r.error().detail("value")), "10000001");
  // A width that is not finite needs an infinite fill, which has no JSON form.
  auto inf = eval("$pad('', $)", Value::number(INFINITY));
  ASSERT_FALSE(inf);
  EXPECT_EQ(inf.error().code(), "D2016");
  EXPECT_TRUE(inf.error().detail("value")->is_null());
  // A NaN width asks for nothing.
  EXPECT_EQ(zarnu_test::S(*eval("$pad('ab', $)", Value::number(NAN))), R"("ab")");
}

TEST(Strings, UnchangedResultsShareTheInput) {
  Value input = Value::string("h\xC3\xA9llo world");
  for (std::string_view expr : {"$substring($, 0)", "$substring($, -100, 100)", "$substringBefore($, 'z')",
                                "$substringAfter($, '')", "$trim($)", "$pad($, 3)"}) {
    auto r = eval(expr, input);
    ASSERT_TRUE(r) << expr;
    EXPECT_TRUE(r->same_payload(input)) << expr;
  }
}

TEST(Strings, LoneSurrogatesPassThrough) {
  // Text from a host may hold a surrogate code point on its own (three bytes, ED A0 80 for U+D800).
  const std::string lone = "a\xED\xA0\x80z";
  Value input = Value::string(lone);
  EXPECT_EQ(eval("$length($)", input)->as_number(), 3);
  EXPECT_EQ(eval("$uppercase($)", input)->as_string(), "A\xED\xA0\x80Z");
  EXPECT_EQ(eval("$substring($, 1, 1)", input)->as_string(), "\xED\xA0\x80");
  EXPECT_EQ(eval("$pad($, -5, $substring($, 1, 1))", input)->as_string(), "\xED\xA0\x80\xED\xA0\x80" + lone);
}

TEST(Strings, FinalSigmaLooksPastCaseIgnorableCharacters) {
  using casing::to_lower;
  // U+0301 (a combining acute accent) and the apostrophe are case-ignorable; "." is too.
  EXPECT_EQ(to_lower("\xCE\x91\xCE\xA3\xCC\x81"), "\xCE\xB1\xCF\x82\xCC\x81");  // ΑΣ́ -> ας́
  EXPECT_EQ(to_lower("\xCE\x91\xCC\x81\xCE\xA3"), "\xCE\xB1\xCC\x81\xCF\x82");  // ΆΣ -> ά ς
  EXPECT_EQ(to_lower("\xCE\x91\xCE\xA3\xCC\x81\xCE\x91"), "\xCE\xB1\xCF\x83\xCC\x81\xCE\xB1");
  EXPECT_EQ(to_lower("\xCC\x81\xCE\xA3"), "\xCC\x81\xCF\x83");  // nothing cased before it
  EXPECT_EQ(to_lower("1\xCE\xA3"), "1\xCF\x83");                // a digit is not cased
  // Many sigmas in a row: every one but the last is followed by a cased letter.
  std::string many, want;
  for (int i = 0; i < 1000; ++i) {
    many += "\xCE\xA3";
    want += i == 999 ? "\xCF\x82" : "\xCF\x83";
  }
  EXPECT_EQ(to_lower("\xCE\x91" + many), "\xCE\xB1" + want);
}

TEST(Strings, CaseMappingsMayLengthen) {
  using casing::to_upper;
  EXPECT_EQ(to_upper("\xC3\x9F"), "SS");                        // ß
  EXPECT_EQ(to_upper("\xEF\xAC\x83"), "FFI");                   // the ligature ffi
  EXPECT_EQ(to_upper("\xCE\x90"), "\xCE\x99\xCC\x88\xCC\x81");  // ΐ: three code points
  EXPECT_EQ(casing::to_lower("\xE1\xBA\x9E"), "\xC3\x9F");      // capital sharp s
  // Under the evaluator the longer result meets the string limit: 2 bytes in, 6 out.
  eval::Limits small;
  small.max_string_length = 5;
  EXPECT_TRUE(eval("$lowercase($)", Value::string("\xCE\x90"), small));
  auto r = eval("$uppercase($)", Value::string("\xCE\x90"), small);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().code(), "U1001");
}

}  // namespace
