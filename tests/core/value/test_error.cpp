// Errors: the code table, message rendering from templates and details, source positions, warnings and
// deep copies.
#include <cmath>
#include <limits>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "value/error.hpp"
#include "value/json.hpp"
#include "value/result.hpp"

namespace zarnu_core::error {
namespace {

static_assert(sizeof(Error) == sizeof(void*), "moving an error or a result holding one must stay cheap");

TEST(ErrorTable, CodesAreUniqueWellFormedAndOrdered) {
  auto table = code_table();
  ASSERT_EQ(table.size(), 116u);
  std::set<std::string_view> seen;
  for (const CodeEntry& entry : table) {
    ASSERT_EQ(entry.code.size(), 5u) << entry.code;
    EXPECT_TRUE(entry.code[0] >= 'A' && entry.code[0] <= 'Z') << entry.code;
    for (char c : entry.code.substr(1)) EXPECT_TRUE(c >= '0' && c <= '9') << entry.code;
    EXPECT_TRUE(seen.insert(entry.code).second) << "duplicate " << entry.code;
    EXPECT_EQ(template_for(entry.code), entry.text);
  }
  EXPECT_EQ(table.front().code, "S0101");
  EXPECT_EQ(table.back().code, "W0205");
  EXPECT_EQ(table[25].code, "S0402");
  EXPECT_EQ(table[26].code, "S0401");
  EXPECT_FALSE(template_for("X9999").has_value());
  EXPECT_FALSE(template_for("S010").has_value());
  EXPECT_FALSE(template_for("").has_value());
}

TEST(ErrorTable, EveryCodeRendersWithAndWithoutDetails) {
  for (const CodeEntry& entry : code_table()) {
    std::string bare = Error(entry.code).message();
    EXPECT_EQ(bare.find("{{"), std::string::npos) << entry.code << ": " << bare;
    Error full = Error(entry.code);
    for (const char* name : {"token", "value", "value2", "index", "type", "exp", "functionName", "message",
                             "tag", "hint", "expected", "count", "signature"})
      full = std::move(full).with(name, "<d>");
    std::string text = full.message();
    EXPECT_EQ(text.find("{{"), std::string::npos) << entry.code << ": " << text;
    EXPECT_EQ(text.find("undefined"), std::string::npos) << entry.code << ": " << text;
    EXPECT_FALSE(text.empty()) << entry.code;
  }
}

TEST(ErrorMessage, TemplatesQuoteOrInsertDetails) {
  EXPECT_EQ(Error("T0410").with_index(2).with_token("sum").message(),
            "Argument 2 of function \"sum\" does not match function signature");
  // Raw placeholders put strings in as they are, double braces always write JSON text.
  EXPECT_EQ(Error("T1005").with_token("sum").message(),
            "Attempted to invoke a non-function. Did you mean $sum?");
  EXPECT_EQ(Error("S0201").with_token("a\"b\n").message(), "Syntax error: \"a\\\"b\\n\"");
  EXPECT_EQ(Error("U1001").with("message", 5).message(), "5");
  EXPECT_EQ(Error("U1001").with("message", Json::array({1, "x"})).message(), "[1,\"x\"]");
  EXPECT_EQ(Error("S0103").with_token("q").message(), "Unsupported escape sequence: \\\"q\"");
  EXPECT_EQ(Error("S0104").message(), "The escape sequence \\u must be followed by 4 hex digits");
  EXPECT_EQ(Error("U1005").with_token("map").message(),
            "A function passed to $map was called after $map returned");
  EXPECT_EQ(
      Error("D3061").with("value", 10.0).with("exp", 400.5).message(),
      "The power function has resulted in a value that cannot be represented as a JSON number: base=10, "
      "exponent=400.5");
  EXPECT_EQ(Error("D1012").with("value", std::uint64_t{5000}).message(),
            "Evaluation timeout after 5000 milliseconds. Check for infinite loop");
  EXPECT_EQ(Error("D3137").with_message("boom").message(), "boom");
  EXPECT_EQ(Error("D3137").message(), "undefined");
  EXPECT_EQ(Error("T2009").with("value", 1).with_token("<").message(),
            "The values 1 and undefined either side of operator \"<\" must be of the same data type");
}

TEST(ErrorMessage, UnknownCodes) {
  EXPECT_EQ(Error("X9999").message(), "Unknown error");
  EXPECT_EQ(Error("X9999").with_message("oops").message(), "oops");
  EXPECT_EQ(Error("X9999").with("message", 5).message(), "Unknown error");
  // Host errors may bring codes that are not five characters long.
  Error host = Error("ZeroDivisionError").with_message("division by zero");
  EXPECT_EQ(host.code(), "ZeroDivisionError");
  EXPECT_EQ(host.message(), "division by zero");
}

TEST(ErrorMessage, PopulateEdges) {
  Json d = {{"a", 1}, {"s", "x"}};
  EXPECT_EQ(populate("a {{b", d), "a {{b");
  EXPECT_EQ(populate("{{a}} then {{s", d), "1 then {{s");
  // A raw opening needs a raw closing.
  EXPECT_EQ(populate("<{{{s}}>", d), "<{{{s}}>");
  EXPECT_EQ(populate("{{{s}}}{{s}}{{{a}}}", d), "x\"x\"1");
  EXPECT_EQ(populate("{{}}{{missing}}", d), "undefinedundefined");
  EXPECT_EQ(populate("", d), "");
  EXPECT_EQ(populate("no placeholders } { }}", d), "no placeholders } { }}");
  EXPECT_EQ(populate("{{a}}", Json()), "undefined");
}

TEST(ErrorDetails, WithReplacesInPlaceAndConverts) {
  Error e = Error("T2001").with("a", 1).with("b", "two").with("a", 3.5);
  const Json& d = e.details();
  ASSERT_TRUE(d.is_object());
  ASSERT_EQ(d.size(), 2u);
  EXPECT_EQ(d.begin().key(), "a");
  EXPECT_EQ(json::to_text(d), "{\"a\":3.5,\"b\":\"two\"}");

  Error n = Error("D1001")
                .with("nan", std::numeric_limits<double>::quiet_NaN())
                .with("inf", -std::numeric_limits<double>::infinity())
                .with("size", std::size_t{7})
                .with("neg", -4)
                .with("flag", true)
                .with("f", 2.0);
  EXPECT_TRUE(n.detail("nan")->is_null());
  EXPECT_TRUE(n.detail("inf")->is_null());
  EXPECT_TRUE(n.detail("size")->is_number_unsigned());
  EXPECT_EQ(n.detail("neg")->get<std::int64_t>(), -4);
  EXPECT_TRUE(n.detail("flag")->is_boolean());
  EXPECT_TRUE(n.detail("f")->is_number_float());
  EXPECT_EQ(n.detail("absent"), nullptr);
  EXPECT_EQ(Error("D1001").with("value", std::nan("")).message(), "Number out of range: null");
  EXPECT_TRUE(Error("D1001").details().is_object());
  EXPECT_TRUE(Error("D1001").details().empty());
}

TEST(ErrorDetails, TokenAsText) {
  EXPECT_FALSE(Error("S0201").token().has_value());
  EXPECT_EQ(Error("S0201").with_token("and").token(), "and");
  EXPECT_EQ(Error("S0201").with("token", 3).token(), "3");
  EXPECT_EQ(Error("S0201").with("token", Json::array({1, "a", nullptr})).token(), "[1,\"a\",null]");
}

TEST(ErrorLocation, Utf16Positions) {
  const std::string emoji_x = "\xF0\x9F\x98\x80x";
  Error e = Error("S0201").located(emoji_x, {4, 5}, 4);
  EXPECT_EQ(e.position(), 2u);
  EXPECT_EQ(e.span(), (ast::Span{4, 5}));
  EXPECT_TRUE(e.is_located());
  // Inside the emoji: only what comes before that character counts.
  EXPECT_EQ(Error("S0201").located(emoji_x, {}, 2).position(), 0u);
  EXPECT_EQ(Error("S0201").located(emoji_x, {}, 100).position(), 3u);
  const std::string accent = "a\xC3\xA9\xE2\x82\xAC!";  // a, e-acute, euro sign, !
  EXPECT_EQ(Error("S0201").located(accent, {}, 2).position(), 1u);
  EXPECT_EQ(Error("S0201").located(accent, {}, 4).position(), 2u);
  EXPECT_EQ(Error("S0201").located(accent, {}, 6).position(), 3u);
  EXPECT_EQ(Error("S0201").located("", {}, 5).position(), 0u);
  // Locating again replaces the earlier place.
  Error twice = Error("S0201").located("abc", {0, 1}, 1).located("abc", {2, 3}, 3);
  EXPECT_EQ(twice.position(), 3u);
  EXPECT_EQ(twice.span(), (ast::Span{2, 3}));
  EXPECT_FALSE(Error("S0201").is_located());
  EXPECT_FALSE(Error("S0201").span().has_value());
}

TEST(ErrorCopy, CloneIsDeep) {
  Error original =
      Error("T2009").with("value", Json::array({Json::object({{"k", 1}})})).located("a < b", {2, 3}, 2);
  Error copy = original.clone();
  original = std::move(original).with("value", "changed").with("extra", 1);
  EXPECT_EQ(copy.code(), "T2009");
  EXPECT_EQ(copy.position(), 2u);
  EXPECT_EQ(copy.span(), (ast::Span{2, 3}));
  EXPECT_EQ(json::to_text(copy.details()), "{\"value\":[{\"k\":1}]}");
  EXPECT_EQ(json::to_text(original.details()), "{\"value\":\"changed\",\"extra\":1}");
}

TEST(ErrorCopy, MovesThroughResults) {
  auto inner = []() -> Result<int> { return fail(Error("D3030").with("value", "x")); };
  auto outer = [&]() -> Result<int> {
    ZR_TRY(int v, inner());
    return v + 1;
  };
  Result<int> r = outer();
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().message(), "Unable to cast value to a number: \"x\"");
}

TEST(ErrorDebug, ShowsTheWholeRecord) {
  EXPECT_EQ(Error("T2001").with_token("+").located("1 + x", {2, 3}, 2).debug(),
            "Error(ErrorInner{code: T2001, position: 2, span: 2..3, details: {\"token\":\"+\"}})");
  EXPECT_EQ(Error("S0207").debug(),
            "Error(ErrorInner{code: S0207, position: none, span: none, details: {}})");
}

TEST(Diagnostics, WarningsRenderTheirTemplate) {
  Diagnostic w =
      Diagnostic::warning("W0102", 3, 9, std::pair{std::string_view("tag"), std::string_view("foo")});
  EXPECT_EQ(w.code, "W0102");
  EXPECT_EQ(w.message, "Unknown annotation tag @foo; expected @label, @message or @id");
  EXPECT_EQ(w.start, 3u);
  EXPECT_EQ(w.end, 9u);
  EXPECT_EQ(w.kind, 1);
  EXPECT_EQ(Diagnostic::warning("W0101", 0, 1, std::nullopt).message,
            "This annotation is not attached to an expression and will be ignored");
  EXPECT_EQ(
      Diagnostic::warning("W0201", 0, 1, std::pair{std::string_view("token"), std::string_view("x")}).message,
      "Field \"x\" is not in the schemaundefined");
  // A code outside the table shows its "message" detail.
  EXPECT_EQ(Diagnostic::warning("W9999", 0, 0, std::pair{std::string_view("message"), std::string_view("m")})
                .message,
            "m");
  EXPECT_EQ(Diagnostic::warning("W9999", 0, 0, std::nullopt).message, "undefined");
}

}  // namespace
}  // namespace zarnu_core::error
