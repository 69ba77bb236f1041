// JSON text of values, number text and string literals.
#include <gtest/gtest.h>

#include <cmath>

#include "eval/function.hpp"
#include "helpers.hpp"
#include "value/json.hpp"

using namespace zarnu_core;
using namespace zarnu_core::value;
using namespace zarnu_test;

namespace {

std::string num(double x) {
  return S(Value::number(x));
}

}  // namespace

TEST(NumberText, RoundsNonIntegersTo15Digits) {
  EXPECT_EQ(num(0.1 + 0.2), "0.3");
  EXPECT_EQ(num(1.0 / 3), "0.333333333333333");
  EXPECT_EQ(num(100), "100");
  EXPECT_EQ(num(-0.0), "0");
  EXPECT_EQ(num(1e21), "1e+21");
  EXPECT_EQ(num(123456789.12345678), "123456789.123457");
  EXPECT_EQ(num(9007199254740993.0), "9007199254740992");
  // An exact tie at the 15th digit goes to the larger magnitude.
  EXPECT_EQ(num(140737488355328.5), "140737488355329");
  EXPECT_EQ(num(-140737488355328.5), "-140737488355329");
  EXPECT_EQ(num(std::ldexp(1.0, -22)), "2.38418579101563e-7");
  EXPECT_EQ(num(NAN), "null");
  auto inf = stringify(Value::number(INFINITY), false, 100);
  ASSERT_FALSE(inf);
  EXPECT_EQ(inf.error().code(), "D1001");
  EXPECT_TRUE(inf.error().detail("value")->is_null());
}

TEST(NumberText, EcmaScriptLayout) {
  EXPECT_EQ(js_number(1e-7), "1e-7");
  EXPECT_EQ(js_number(0.000001), "0.000001");
  EXPECT_EQ(js_number(-1.5), "-1.5");
  EXPECT_EQ(js_number(123456789012345680000.0), "123456789012345680000");
  EXPECT_EQ(js_number(1.5e300), "1.5e+300");
  EXPECT_EQ(js_number(-0.0), "0");
  EXPECT_EQ(js_number(NAN), "NaN");
  EXPECT_EQ(js_number(-INFINITY), "-Infinity");
  EXPECT_EQ(js_number(5e-324), "5e-324");
}

TEST(NumberText, JsonNumbers) {
  EXPECT_TRUE(json_number(9007199254740992.0).is_number_float());
  EXPECT_TRUE(json_number(9007199254740991.0).is_number_unsigned());
  EXPECT_EQ(json_number(-3).get<std::int64_t>(), -3);
  EXPECT_TRUE(json_number(-3).is_number_integer());
  EXPECT_TRUE(json_number(-0.0).is_number_unsigned());
  EXPECT_TRUE(json_number(NAN).is_null());
  EXPECT_TRUE(json_number(INFINITY).is_null());
  EXPECT_EQ(json::to_text(json_number(2.5)), "2.5");
  EXPECT_EQ(json::to_text(json_number(1e300)), "1e+300");
}

TEST(JsonText, ValuesAndSkippedFields) {
  Value o = Value::object();
  o.as_object().fields.try_emplace(Str::make("a"), Value::number(1));
  o.as_object().fields.try_emplace(Str::make("gone"), Value());
  o.as_object().fields.try_emplace(Str::make("f"), make_function(LambdaFn{}));
  EXPECT_EQ(S(o), R"({"a":1,"f":""})");
  Value all_undefined = Value::object();
  all_undefined.as_object().fields.try_emplace(Str::make("x"), Value());
  EXPECT_EQ(S(all_undefined), "{}");
  Items items;
  items.push_back(Value::number(1));
  items.push_back(Value());
  EXPECT_EQ(S(Value::sequence(std::move(items))), "[1,null]");
  Items wrapped;
  wrapped.push_back(J("[1,2]"));
  EXPECT_EQ(S(Value::array(std::move(wrapped))), "[1,2]");
  EXPECT_EQ(S(Value::array({})), "[]");
  EXPECT_EQ(S(J(R"({"s":"a\"b\\c\n"})")), R"({"s":"a\"b\\c\n"})");
}

TEST(JsonText, StringEscapes) {
  std::string out;
  write_json_string(out, std::string("\x01\x1f\b\f\t\r\x7f", 7));
  EXPECT_EQ(out, "\"\\u0001\\u001f\\b\\f\\t\\r\x7f\"");
  out.clear();
  write_json_string(out, "\xE2\x80\xA8 \xF0\x9F\x98\x80");
  EXPECT_EQ(out, "\"\xE2\x80\xA8 \xF0\x9F\x98\x80\"");
}

TEST(JsonText, Pretty) {
  auto text = stringify(J(R"({"a":[1,2],"b":{}})"), true, 1000);
  ASSERT_TRUE(text);
  EXPECT_EQ(*text, "{\n  \"a\": [\n    1,\n    2\n  ],\n  \"b\": {}\n}");
  Json j = Json::parse(R"({"a":[1,2],"b":{},"c":[]})");
  std::string out;
  json::write(out, j, true);
  EXPECT_EQ(out, "{\n  \"a\": [\n    1,\n    2\n  ],\n  \"b\": {},\n  \"c\": []\n}");
}

TEST(JsonText, Limits) {
  auto small = stringify(J("[1,2,3]"), false, 5);
  ASSERT_FALSE(small);
  EXPECT_EQ(small.error().message(), "A string would exceed the size limit of 5 bytes");
  EXPECT_TRUE(stringify(J("[1,2,3]"), false, 7));
  // An empty array at the top is not checked by itself.
  EXPECT_TRUE(stringify(J("[]"), false, 1));
  auto deep = stringify(nested_arrays(1001), false, SIZE_MAX);
  ASSERT_FALSE(deep);
  EXPECT_EQ(deep.error().message(), "A value is nested more than 1000 levels deep");
  EXPECT_TRUE(stringify(nested_arrays(1000), false, SIZE_MAX));
  Items inf;
  inf.push_back(Value::number(1));
  inf.push_back(Value::number(-INFINITY));
  EXPECT_EQ(S(Value::sequence(std::move(inf))), "!D1001");
}

TEST(JsonText, JsonValuesKeepIntegersExact) {
  Json j = Json::parse(R"([18446744073709551615,-9223372036854775808,0.5,"x",null,true])");
  EXPECT_EQ(json::to_text(j), R"([18446744073709551615,-9223372036854775808,0.5,"x",null,true])");
}
