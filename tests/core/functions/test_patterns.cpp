// The pattern built-ins: their registration for the language cases, and the UTF-16 slicing and "$"
// expansion that the cases reach only indirectly.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "functions/patterns.hpp"
#include "helpers.hpp"

using namespace zarnu_core;
using zarnu_core::value::Value;

namespace {

signature::Signature sig(std::string_view text) {
  auto s = signature::Signature::parse(text);
  if (!s) throw std::logic_error("bad test signature");
  return std::move(*s);
}

const bool kRegistered = [] {
  using functions::Native;
  namespace s = functions::strings;
  functions::testing::add(
      Native{sig("<s-f<s:o>n?:a<o>>"), "match", {"str", "regex", "limit"}, "", &s::match_, 3});
  functions::testing::add(Native{sig("<s-(sf):b>"), "contains", {"str", "token"}, "", &s::contains, 2});
  functions::testing::add(Native{
      sig("<s-(sf)(sf)n?:s>"), "replace", {"str", "pattern", "replacement", "limit"}, "", &s::replace, 4});
  functions::testing::add(
      Native{sig("<s-(sf)n?:a<s>>"), "split", {"str", "separator", "limit"}, "", &s::split, 3});
  return true;
}();

TEST(Patterns, Registered) {
  EXPECT_TRUE(kRegistered);
}

TEST(Patterns, Utf16Substring) {
  using functions::strings::utf16_substring;
  const std::string face = "\xF0\x9F\x98\x80";  // U+1F600, two code units
  const std::string fffd = "\xEF\xBF\xBD";
  EXPECT_EQ(utf16_substring("abcdef", 5, 2), "cde");
  EXPECT_EQ(utf16_substring("abcdef", 9), "");
  EXPECT_EQ(utf16_substring("abcdef", 2, 99), "cdef");
  EXPECT_EQ(utf16_substring("a" + face + "b", 0, 2), "a" + fffd);
  EXPECT_EQ(utf16_substring("a" + face + "b", 2), fffd + "b");
  EXPECT_EQ(utf16_substring("a" + face + "b", 1, 3), face);
  EXPECT_EQ(utf16_substring("a" + face + "b", 2, 2), "");
  EXPECT_EQ(utf16_substring(face, 1, 2), fffd);
  EXPECT_EQ(utf16_substring("\xC3\xA9t\xC3\xA9", 1, 3), "t\xC3\xA9");
}

TEST(Patterns, ReadDigits) {
  using functions::strings::read_digits;
  EXPECT_EQ(read_digits("$123x", 1, 2), 12u);
  EXPECT_EQ(read_digits("$1x", 1, 3), 1u);
  EXPECT_EQ(read_digits("$x", 1, 3), std::nullopt);
  EXPECT_EQ(read_digits("$", 1, 3), std::nullopt);
  EXPECT_EQ(read_digits("99999999999999999999999", 0, 30), std::nullopt);
}

TEST(Patterns, SubstituteReferences) {
  using functions::strings::substitute;
  using zarnu_test::J;
  const Value three = J(R"({"match": "M", "groups": ["a", "b", null]})");
  EXPECT_EQ(substitute("$12", three), "a2");
  EXPECT_EQ(substitute("[$7]", three), "[]");
  EXPECT_EQ(substitute("$3$2", three), "b");
  EXPECT_EQ(substitute("$00", three), "M0");
  EXPECT_EQ(substitute("$$1 $x $", three), "$1 $x $");
  const Value twelve =
      J(R"({"match": "M", "groups": ["g1","g2","g3","g4","g5","g6","g7","g8","g9","g10","g11","g12"]})");
  EXPECT_EQ(substitute("$12|$13|$10|$1x", twelve), "g12|g13|g10|g1x");
  const Value none = J(R"({"match": 5})");
  EXPECT_EQ(substitute("<$1$12$0>", none), "<2>");
}

}  // namespace
