// Deep equality and the UTF-16 order of strings.
#include <gtest/gtest.h>

#include <cmath>

#include "eval/function.hpp"
#include "helpers.hpp"
#include "value/equality.hpp"

using namespace zarnu_core;
using namespace zarnu_core::value;
using namespace zarnu_test;

namespace {

bool eq(const Value& a, const Value& b) {
  auto r = deep_eq(a, b);
  EXPECT_TRUE(r.has_value()) << (r ? "" : r.error().message());
  return r && *r;
}

}  // namespace

TEST(Equality, Scalars) {
  EXPECT_TRUE(eq(Value(), Value()));
  EXPECT_FALSE(eq(Value(), Value::null()));
  EXPECT_FALSE(eq(Value::null(), Value()));
  EXPECT_FALSE(eq(Value::number(NAN), Value::number(NAN)));
  EXPECT_TRUE(eq(Value::number(0.0), Value::number(-0.0)));
  EXPECT_FALSE(eq(Value::number(1), Value::string("1")));
  EXPECT_FALSE(eq(Value::boolean(true), Value::number(1)));
  EXPECT_TRUE(eq(Value::string("caf\xC3\xA9"), Value::string("caf\xC3\xA9")));
  EXPECT_FALSE(eq(Value::string("ab"), Value::string("abc")));
}

TEST(Equality, FunctionsByIdentity) {
  Value f = make_function(LambdaFn{});
  Value g = make_function(LambdaFn{});
  EXPECT_TRUE(eq(f, Value(f)));
  EXPECT_FALSE(eq(f, g));
}

TEST(Equality, ContainersIgnoreFlagsAndFieldOrder) {
  Items items;
  items.push_back(Value::number(1));
  items.push_back(Value::number(2));
  EXPECT_TRUE(eq(J("[1,2]"), Value::sequence(std::move(items))));
  EXPECT_FALSE(eq(J("[1,2]"), J("[2,1]")));
  EXPECT_FALSE(eq(J("[1,2]"), J("[1,2,3]")));
  EXPECT_TRUE(eq(J(R"({"a":1,"b":2})"), J(R"({"b":2,"a":1})")));
  EXPECT_FALSE(eq(J(R"({"a":1,"b":2})"), J(R"({"a":1,"c":2})")));
  EXPECT_FALSE(eq(J(R"({"a":1})"), J(R"({"a":1,"b":2})")));
  EXPECT_TRUE(eq(J(R"({"a":[{"x":null}]})"), J(R"({"a":[{"x":null}]})")));
  EXPECT_FALSE(eq(J("[]"), J("{}")));
}

TEST(Equality, NestingLimit) {
  Value a = nested_arrays(1001), b = nested_arrays(1001);
  auto r = deep_eq(a, b);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().code(), "U1001");
  EXPECT_EQ(r.error().message(), "A value is nested more than 1000 levels deep");
  // A shallower difference decides first; a shared array is equal at once.
  EXPECT_FALSE(eq(a, Value::number(1)));
  EXPECT_TRUE(eq(a, a));
  EXPECT_TRUE(eq(nested_arrays(1000), nested_arrays(1000)));
  EXPECT_FALSE(eq(nested_arrays(1001), nested_arrays(5)));
}

TEST(Equality, HashAgreesWithEquality) {
  const std::uint64_t seed = 12345;
  auto h = [&](const Value& v) { return deep_hash(v, seed).value(); };
  Items items;
  items.push_back(Value::number(1));
  items.push_back(J(R"({"b":[],"a":null})"));
  const std::pair<const char*, Value> equal[] = {
      {R"([1,{"a":null,"b":[]}])", Value::sequence(std::move(items))},
      {R"({"a":1,"b":{"c":[1,2],"d":"x"}})", J(R"({"b":{"d":"x","c":[1.0,2]},"a":1.0})")},
      {"[0]", J("[-0]")},
      {"[null,true,false]", J("[null,true,false]")},
  };
  for (const auto& [text, other] : equal) {
    EXPECT_TRUE(eq(J(text), other)) << text;
    EXPECT_EQ(h(J(text)), h(other)) << text;
  }
  // Values told apart only by order, placement or kind hash apart.
  const char* different[] = {"[1,2]",
                             "[2,1]",
                             R"({"a":1,"b":2})",
                             R"({"a":2,"b":1})",
                             R"({"a":[1]})",
                             R"({"a":1})",
                             R"(["1"])",
                             "[[]]",
                             "[{}]",
                             "[]",
                             "{}",
                             "[null]",
                             "[true]"};
  for (const char* a : different)
    for (const char* b : different)
      if (a != b) {
        EXPECT_NE(h(J(a)), h(J(b))) << a << " " << b;
      }
  EXPECT_NE(deep_hash(J("[1]"), seed), deep_hash(J("[1]"), seed + 1));
  // Too deep to compare, too deep to hash.
  EXPECT_TRUE(deep_hash(nested_arrays(1000), seed));
  EXPECT_FALSE(deep_hash(nested_arrays(1001), seed));
}

TEST(StringOrder, Utf16CodeUnits) {
  EXPECT_TRUE(js_string_cmp("a", "b") < 0);
  EXPECT_TRUE(js_string_cmp("a", "ab") < 0);
  EXPECT_TRUE(js_string_cmp("ab", "a") > 0);
  EXPECT_TRUE(js_string_cmp("", "") == 0);
  EXPECT_TRUE(js_string_cmp("same", "same") == 0);
  const char* emoji = "\xF0\x9F\x98\x80";    // U+1F600, high surrogate 0xD83D
  const char* replacement = "\xEF\xBF\xBD";  // U+FFFD
  const char* private_use = "\xEE\x80\x80";  // U+E000
  const char* cjk = "\xE4\xB8\x80";          // U+4E00, below the surrogates
  EXPECT_TRUE(js_string_cmp(emoji, replacement) < 0);
  EXPECT_TRUE(js_string_cmp(emoji, private_use) < 0);
  EXPECT_TRUE(js_string_cmp(emoji, cjk) > 0);
  EXPECT_TRUE(js_string_cmp(replacement, emoji) > 0);
  // Two supplementary characters with the same high surrogate differ in the low one.
  EXPECT_TRUE(js_string_cmp("\xF0\x9F\x98\x80", "\xF0\x9F\x98\x81") < 0);
  // The difference after a common multi-byte prefix is found at character level.
  EXPECT_TRUE(js_string_cmp("x\xC3\xA9\xF0\x9F\x98\x80", "x\xC3\xA9\xEE\x80\x80") < 0);
}
