// The budgeted output walk into builders, and the bounded captures of the audit.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include <double-conversion/double-conversion.h>

#include "audit/capture.hpp"
#include "eval/eval.hpp"
#include "eval/function.hpp"
#include "helpers.hpp"
#include "value/from_json.hpp"
#include "value/output.hpp"

using namespace zarnu_core;
using namespace zarnu_core::value;
using namespace zarnu_test;

namespace {

// Runs the walk with a budget and reports what was spent, or -1 (budget) / -2 (nesting) on failure.
long long spent(const Value& v, std::uint64_t budget = 1 << 30) {
  JsonBuilder b;
  std::uint64_t left = budget;
  auto r = write_spending(v, b, left, 0);
  if (!r) return std::get<TooLarge>(r.error()).nested ? -2 : -1;
  return static_cast<long long>(budget - left);
}

std::string out_text(const Value& v, std::uint64_t budget = 1 << 30, const Shared* shared = nullptr) {
  auto r = to_json(output::Output{v, budget, shared});
  if (!r) return "!" + r.error().message();
  return *r ? json::to_text(**r) : "none";
}

}  // namespace

TEST(Output, ChargesTheCompactTextLength) {
  for (const char* text : {"[0,1,2,3,4,5,6,7,8,9]", "null", "true", "false", "-12", "0.5", "[]", "{}",
                           R"({"ab":[1,{"c":"d"}],"e":false})", "[[],[[]],{}]"})
    EXPECT_EQ(spent(J(text)), static_cast<long long>(std::string(text).size())) << text;
  EXPECT_EQ(spent(Value::number(-0.0)), 1);
  EXPECT_EQ(spent(Value::number(NAN)), 4);
  EXPECT_EQ(spent(Value::number(1e21)), 5);
  // Escapes are not counted: five two-byte characters cost 12.
  EXPECT_EQ(spent(Value::string("\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9")), 12);
  EXPECT_EQ(spent(Value::string("\n")), 3);
}

// Number lengths are counted without formatting: they must match the shortest text on every kind of
// double, at the decimal/exponent switches and where the shortest text is long.
TEST(Output, NumberLengthsMatchTheWrittenText) {
  std::vector<double> xs = {0.1 + 0.2,
                            1e-6,
                            9.999999999999999e-7,
                            1.5e-6,
                            0.000123,
                            123456789012.5,
                            4503599627370495.5,
                            9007199254740991.0,
                            9007199254740992.0,
                            1e21,
                            9.99e20,
                            2.5,
                            1 / 3.0,
                            5e-324,
                            1.7976931348623157e308,
                            0.30000000000000004,
                            -1.2345678901234567e-6};
  std::uint64_t state = 0x9E3779B97F4A7C15ull;
  const auto next = [&] {
    state ^= state >> 12;
    state ^= state << 25;
    state ^= state >> 27;
    return state * 0x2545F4914F6CDD1Dull;
  };
  for (int i = 0; i < 20000; ++i) {
    std::uint64_t bits = next();
    double any;
    std::memcpy(&any, &bits, sizeof any);
    xs.push_back(any);
    // Decimals with few fraction digits, as prices and measures are, at many magnitudes.
    const double scale = std::pow(10.0, static_cast<int>(next() % 12));
    const double magnitude = std::pow(10.0, static_cast<int>(next() % 30) - 12);
    xs.push_back(static_cast<double>(next() % 1000000) / scale * magnitude);
    xs.push_back(-static_cast<double>(next() % 100000) / scale);
    // Neighbours of short decimals, whose shortest text is long.
    xs.push_back(std::nextafter(static_cast<double>(next() % 10000) / 100, 1e300));
    xs.push_back(std::ldexp(1.0, static_cast<int>(next() % 120) - 60) * (1 + 1e-9 * (next() % 7)));
  }
  std::uint64_t longest = 0;
  for (double x : xs) {
    if (!std::isfinite(x)) continue;
    char buffer[64];
    double_conversion::StringBuilder text(buffer, sizeof buffer);
    double_conversion::DoubleToStringConverter::EcmaScriptConverter().ToShortest(x, &text);
    const auto length = static_cast<long long>(text.position());
    ASSERT_EQ(spent(Value::number(x)), length) << text.Finalize();
    // The charge without finding the text never falls short of it.
    ASSERT_GE(spend::number_charge(x, false), static_cast<std::uint64_t>(length)) << text.Finalize();
    longest = std::max(longest, static_cast<std::uint64_t>(length));
  }
  EXPECT_EQ(longest, spend::kLongestNumber);  // "-0.0000012345678901234567": the bound is reached
}

TEST(Output, UndefinedAndFunctions) {
  EXPECT_EQ(out_text(Value()), "none");
  EXPECT_EQ(out_text(make_function(LambdaFn{})), "none");
  Items items;
  items.push_back(Value());
  items.push_back(make_function(LambdaFn{}));
  items.push_back(Value::number(INFINITY));
  Value seq = Value::sequence(std::move(items));
  EXPECT_EQ(out_text(seq), "[null,null,null]");
  EXPECT_EQ(spent(seq), 16);
  Value o = Value::object();
  o.as_object().fields.try_emplace(Str::make("a"), Value());
  o.as_object().fields.try_emplace(Str::make("b"), make_function(LambdaFn{}));
  EXPECT_EQ(out_text(o), "{}");
  EXPECT_EQ(spent(o), 1);
}

TEST(Output, BudgetBoundary) {
  Value v = J(R"({"list":[1,22,333],"s":"text"})");
  const auto cost = static_cast<std::uint64_t>(spent(v));
  EXPECT_EQ(out_text(v, cost), R"({"list":[1,22,333],"s":"text"})");
  EXPECT_EQ(out_text(v, cost - 1),
            "!The result would exceed the size limit of " + std::to_string(cost - 1) + " bytes");
  // Budget exhausted in the middle of an array.
  EXPECT_EQ(spent(J("[1,2,3,4,5,6,7,8,9]"), 10), -1);

  // Many non-integral numbers, whose text is far shorter than the longest a number can have: a result of
  // exactly the limit, one byte over and one under, built by the evaluator and straight from JSON data.
  std::string many = R"({"n":[)";
  for (int i = 0; i < 300; ++i)
    many += (i ? "," : "") + std::to_string(i % 7) + "." + std::to_string(i % 9 + 1);
  many += R"(],"m":{"x":-0.25,"y":[1e-7,12.5]}})";
  auto shared = Shared::create();
  for (const Value& m : {J(many), lazy(std::make_shared<const Json>(Json::parse(many)), shared)}) {
    const auto size = static_cast<std::uint64_t>(spent(m));
    EXPECT_EQ(size, many.size());
    EXPECT_EQ(out_text(m, size), many);
    EXPECT_EQ(out_text(m, size + 1), many);
    EXPECT_EQ(out_text(m, size - 1),
              "!The result would exceed the size limit of " + std::to_string(size - 1) + " bytes");
  }
  // Past those numbers, a value nested too deep is still found when the numbers fit only exactly.
  Items parts;
  parts.push_back(J(many));
  parts.push_back(nested_arrays(1001));
  EXPECT_EQ(out_text(Value::sequence(std::move(parts)), many.size() + 2100),
            "!A value is nested more than 1000 levels deep");
}

TEST(Output, NestingLimit) {
  EXPECT_GT(spent(nested_arrays(1000)), 0);
  EXPECT_EQ(spent(nested_arrays(1001)), -2);
  EXPECT_EQ(out_text(nested_arrays(1001)), "!A value is nested more than 1000 levels deep");
  EXPECT_EQ(TooLarge{false}
                .error(10, "The arguments of a host function would exceed the size limit of {} bytes")
                .message(),
            "The arguments of a host function would exceed the size limit of 10 bytes");
}

TEST(Output, JsonNumberRule) {
  EXPECT_EQ(out_text(Value::number(9007199254740991.0)), "9007199254740991");
  auto big = to_json(output::Output{Value::number(9007199254740992.0)});
  ASSERT_TRUE(big && *big);
  EXPECT_TRUE((*big)->is_number_float());
  EXPECT_EQ(json::to_text(**big), "9007199254740992");
}

TEST(Output, FailedLazyReadBecomesU1004) {
  auto shared = Shared::create();
  shared->record("first");
  shared->record("second");
  EXPECT_EQ(out_text(J("[1]"), 1 << 20, shared.get()), "!The input could not be read: first");
  // A size failure of the same write takes precedence.
  EXPECT_EQ(out_text(J("[1]"), 1, shared.get()), "!The result would exceed the size limit of 1 bytes");
}

TEST(Output, UnreadJsonIsWrittenStraightFromTheData) {
  auto shared = Shared::create();
  Value v = lazy(std::make_shared<const Json>(Json::parse(R"({"a":[1,2,{"b":null}],"c":"d"})")), shared);
  EXPECT_EQ(spent(v), 30);
  EXPECT_EQ(v.as_object().read_state, 0);  // not read by the walk
  EXPECT_EQ(out_text(v), R"({"a":[1,2,{"b":null}],"c":"d"})");
  EXPECT_EQ(json::to_text(*to_json_at(v, 0)), R"({"a":[1,2,{"b":null}],"c":"d"})");
  EXPECT_EQ(spent(lazy(std::make_shared<const Json>(Json::parse("[18446744073709551615]")), shared)), 22);
}

TEST(Output, RepeatedKeysKeepTheirFirstPositionAndTakeTheLaterValue) {
  for (int n : {3, 40}) {
    JsonBuilder b;
    Json o = b.object(0);
    for (int i = 0; i < n; ++i) b.insert(o, "k" + std::to_string(i), Json(i));
    b.insert(o, "k1", Json("again"));
    b.insert(o, "k" + std::to_string(n - 1), Json("last"));
    b.insert(o, "new", Json(nullptr));
    ASSERT_EQ(o.size(), static_cast<std::size_t>(n + 1)) << n;
    auto at = [&](int i) { return o.get_ref<Json::object_t&>().begin()[i]; };
    EXPECT_EQ(at(1).first, "k1");
    EXPECT_EQ(at(1).second, Json("again"));
    EXPECT_EQ(at(n - 1).second, Json("last"));
    EXPECT_EQ(at(n).first, "new");
    EXPECT_EQ(at(0).second, Json(0));
  }
  // Objects built one after the other, each released before the next, share nothing.
  JsonBuilder b;
  for (int round = 0; round < 3; ++round) {
    Json o = b.object(0);
    for (int i = 0; i < 20; ++i)
      b.insert(o, "r" + std::to_string(round) + "k" + std::to_string(i % 15), Json(i));
    EXPECT_EQ(o.size(), 15u);
    EXPECT_EQ(o["r" + std::to_string(round) + "k2"], Json(17));
  }
}

TEST(Output, StopsWhenItsPollSaysSo) {
  // The walk asks its poll at every item and member, the poll asks the evaluation's limits every
  // kPollTicks calls: the third answer that the evaluation must stop ends the write with that error, for
  // values and for JSON data behind an unread container alike.
  Json data = Json::array();
  for (int i = 0; i < 100000; ++i) data.push_back(Json{{"a", i}});
  auto shared = Shared::create();
  for (const Value& v : {from_json(data), lazy(std::make_shared<const Json>(data), shared)}) {
    int calls = 0;
    int stop_at = 3;
    eval::Limits limits;
    limits.hook = [&]() -> std::optional<error::Error> {
      if (++calls < stop_at) return std::nullopt;
      return error::Error("U1003");
    };
    eval::Evaluator clock(limits, {});
    eval::Poll poll(clock);
    JsonBuilder b;
    auto stopped = output::Output{v, 1 << 30, nullptr, &poll}.write(b);
    ASSERT_FALSE(stopped);
    EXPECT_EQ(stopped.error().code(), "U1003");
    EXPECT_EQ(calls, 3);
    // A size failure found before the poll stops is still reported as such.
    calls = 0;
    eval::Poll again(clock);
    EXPECT_EQ((output::Output{v, 1000, nullptr, &again}.write(b).error().code()), "U1001");
    // Unstopped, the poll changes nothing.
    calls = 0;
    stop_at = 1000000;
    eval::Poll quiet(clock);
    auto whole = output::Output{v, 1 << 30, nullptr, &quiet}.write(b);
    ASSERT_TRUE(whole && *whole);
    EXPECT_EQ(**whole, data);
    EXPECT_GT(calls, 100);
  }
}

TEST(Output, DetailsDropWhatCannotBeConverted) {
  EXPECT_FALSE(to_json_detail(Value()).has_value());
  EXPECT_FALSE(to_json_detail(nested_arrays(1001)).has_value());
  EXPECT_EQ(json::to_text(*to_json_detail(J("[1,\"x\"]"))), "[1,\"x\"]");
}

TEST(Capture, Limits) {
  audit::Limits limits;
  auto cap = [&](const Value& v) {
    auto c = audit::capture(v, limits, 0);
    return c ? json::to_text(*c) : std::string("absent");
  };
  EXPECT_EQ(cap(Value()), "absent");
  EXPECT_EQ(cap(make_function(LambdaFn{})), "\"<function>\"");
  limits.max_string = 0;
  EXPECT_EQ(cap(Value::string("abc")), "\"\xE2\x80\xA6\"");
  EXPECT_EQ(cap(Value::string("")), "\"\"");
  limits.max_string = 2;
  EXPECT_EQ(cap(Value::string("\xC3\xA9\xC3\xA9\xC3\xA9")), "\"\xC3\xA9\xC3\xA9\xE2\x80\xA6\"");
  limits.max_items = 0;
  EXPECT_EQ(cap(J("[1,2,3]")), "[\"\xE2\x80\xA6 3 more\"]");
  EXPECT_EQ(cap(J(R"({"a":1,"b":2})")), "{\"\xE2\x80\xA6\":\"2 more\"}");
  EXPECT_EQ(cap(J("[]")), "[]");
  limits = audit::Limits{};
  limits.max_depth = 0;
  EXPECT_EQ(cap(J("[1]")), "\"\xE2\x80\xA6\"");
  limits = audit::Limits{};
  EXPECT_EQ(cap(J("[[[[[1]]]]]")), "[[[[\"\xE2\x80\xA6\"]]]]");
  EXPECT_EQ(cap(J("[[[[1]]]]")), "[[[[1]]]]");
  limits.max_items = 2;
  Value o = Value::object();
  o.as_object().fields.try_emplace(Str::make("u"), Value());
  o.as_object().fields.try_emplace(Str::make("a"), Value::number(1));
  o.as_object().fields.try_emplace(Str::make("b"), Value::number(2));
  EXPECT_EQ(cap(o), "{\"a\":1,\"\xE2\x80\xA6\":\"1 more\"}");
  Items items;
  items.push_back(Value());
  EXPECT_EQ(cap(Value::sequence(std::move(items))), "[null]");
  limits.max_depth = 100000;
  EXPECT_EQ(cap(nested_arrays(1001)).find("\xE2\x80\xA6"), 1001u);
}
