// Parsing JSON text into values, whole and cut to a read tree.
#include <gtest/gtest.h>

#include "helpers.hpp"
#include "value/document.hpp"
#include "value/from_json.hpp"

using namespace zarnu_core;
using namespace zarnu_core::document;
using namespace zarnu_test;
using reads::Read;

namespace {

std::string parse(std::string_view text) {
  auto d = Document::parse(text);
  return d ? S(d->value) : "!" + d.error().text();
}

std::string cut(std::string_view text, const Read& read) {
  auto d = Document::parse_cut(text, read);
  return d ? S(d->value) : "!" + d.error().text();
}

Read fields(std::initializer_list<std::pair<const char*, Read>> members) {
  Read r = Read::fields();
  for (auto& [name, sub] : members) r.at(name) = sub;
  return r;
}

}  // namespace

TEST(JsonParse, Values) {
  EXPECT_EQ(parse(R"( {"a": [1, -2.5, 1e2, true, false, null, "x"], "b": {}} )"),
            R"({"a":[1,-2.5,100,true,false,null,"x"],"b":{}})");
  EXPECT_EQ(parse("9007199254740993"), "9007199254740992");
  EXPECT_EQ(parse("18446744073709551616"), "18446744073709552000");
  EXPECT_EQ(parse("-0"), "0");
  EXPECT_EQ(parse("1e-400"), "0");
  EXPECT_EQ(parse("0.1"), "0.1");
  EXPECT_EQ(parse("123456789012345678"), "123456789012345680");
  EXPECT_EQ(parse(R"("a\"b\\c\/d\b\f\n\r\t\u00e9\ud83d\ude00")"), R"("a\"b\\c/d\b\f\n\r\té😀")");
}

TEST(JsonParse, RepeatedKeyKeepsFirstPlaceAndLastValue) {
  EXPECT_EQ(parse(R"({"a":1,"b":2,"a":3})"), R"({"a":3,"b":2})");
}

TEST(JsonParse, KeysAreInternedPerDocument) {
  auto d = Document::parse(R"([{"name":1},{"name":2}])");
  ASSERT_TRUE(d);
  const auto& items = d->value.as_array().read();
  auto key = [](const value::Value& o) { return o.as_object().fields.begin()->first.rep(); };
  EXPECT_EQ(key(items[0]), key(items[1]));
  EXPECT_EQ(d->value.as_array().flags, 0);
  EXPECT_EQ(items[0].as_object().read_state, 2);
}

TEST(JsonParse, Errors) {
  EXPECT_EQ(parse(""), "!EOF while parsing a value at line 1 column 0");
  EXPECT_EQ(parse("[1,"), "!EOF while parsing a value at line 1 column 3");
  EXPECT_EQ(parse("[1"), "!EOF while parsing a list at line 1 column 2");
  EXPECT_EQ(parse("{\"a\":1"), "!EOF while parsing an object at line 1 column 6");
  EXPECT_EQ(parse("[1,]"), "!trailing comma at line 1 column 4");
  EXPECT_EQ(parse("{\n  \"a\" 1}"), "!expected `:` at line 2 column 7");
  EXPECT_EQ(parse("[1 2]"), "!expected `,` or `]` at line 1 column 4");
  EXPECT_EQ(parse("{1:2}"), "!key must be a string at line 1 column 2");
  EXPECT_EQ(parse("?"), "!expected value at line 1 column 1");
  EXPECT_EQ(parse("nul"), "!EOF while parsing a value at line 1 column 3");
  EXPECT_EQ(parse("nulL"), "!expected ident at line 1 column 4");
  EXPECT_EQ(parse("01"), "!invalid number at line 1 column 2");
  EXPECT_EQ(parse("-"), "!EOF while parsing a value at line 1 column 1");
  EXPECT_EQ(parse("1.e3"), "!invalid number at line 1 column 3");
  EXPECT_EQ(parse("1e999"), "!number out of range at line 1 column 1");
  EXPECT_EQ(parse("\"a\\x\""), "!invalid escape at line 1 column 4");
  EXPECT_EQ(parse("\"\\ud800\""), "!lone leading surrogate in hex escape at line 1 column 8");
  EXPECT_EQ(parse("\"\\udc00\""), "!invalid unicode code point at line 1 column 8");
  EXPECT_EQ(parse("\"a\nb\""),
            "!control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3");
  EXPECT_EQ(parse("\"\xC3\""), "!invalid UTF-8 in string at line 1 column 2");
  // Encoded surrogates, overlong forms and code points past U+10FFFF are not UTF-8; the edges around them are.
  EXPECT_EQ(parse("\"\xED\xA0\x80\""), "!invalid UTF-8 in string at line 1 column 2");
  EXPECT_EQ(parse("\"\xE0\x9F\xBF\""), "!invalid UTF-8 in string at line 1 column 2");
  EXPECT_EQ(parse("\"\xF0\x8F\xBF\xBF\""), "!invalid UTF-8 in string at line 1 column 2");
  EXPECT_EQ(parse("\"\xF4\x90\x80\x80\""), "!invalid UTF-8 in string at line 1 column 2");
  EXPECT_EQ(parse("\"\xC1\xBF\""), "!invalid UTF-8 in string at line 1 column 2");
  EXPECT_EQ(parse("\"\xED\x9F\xBF\xEE\x80\x80\xF4\x8F\xBF\xBF\""),
            "\"\xED\x9F\xBF\xEE\x80\x80\xF4\x8F\xBF\xBF\"");
  EXPECT_EQ(parse("\"abc"), "!EOF while parsing a string at line 1 column 4");
  EXPECT_EQ(parse("1 2"), "!trailing characters at line 1 column 3");
  EXPECT_EQ(parse("[1] \n\t "), "[1]");
}

TEST(JsonParse, NestingAllowance) {
  std::string ok = std::string(127, '[') + std::string(127, ']');
  EXPECT_EQ(parse(ok).substr(0, 3), "[[[");
  std::string deep = std::string(128, '[') + std::string(128, ']');
  EXPECT_EQ(parse(deep), "!recursion limit exceeded at line 1 column 128");
}

TEST(JsonCut, KeepsOnlyWhatIsRead) {
  Read a = fields({{"a", Read::all()}});
  EXPECT_EQ(cut(R"({"a": {"x": 1}, "b": [1, 2, {"c": 3}]})", a), R"({"a":{"x":1}})");
  EXPECT_EQ(cut(R"({"a": {"x": 1}})", fields({{"a", Read::fields()}})), R"({"a":{}})");
  EXPECT_EQ(cut(R"([{"a": 1, "b": 2}, {"b": 3}])", a), R"([{"a":1},{}])");
  EXPECT_EQ(cut(R"("text")", a), R"("text")");
  EXPECT_EQ(cut("42", a), "42");
  Read nested = fields({{"a", fields({{"b", Read::all()}})}});
  EXPECT_EQ(cut(R"({"z":0,"a":{"b":[1],"c":2},"a2":1})", nested), R"({"a":{"b":[1]}})");
  EXPECT_EQ(cut(R"({"a":1,"a":2})", a), R"({"a":2})");
}

TEST(JsonCut, SkippedMembersAreCheckedAsSyntax) {
  Read a = fields({{"a", Read::all()}});
  EXPECT_EQ(cut(R"({"a":1,"b":[1 2]})", a), "!expected `,` or `]` at line 1 column 15");
  EXPECT_EQ(cut(R"({"a":1,"b":{"c" 1}})", a), "!expected `:` at line 1 column 17");
  EXPECT_EQ(cut(R"({"b":"\q","a":1})", a), "!invalid escape at line 1 column 8");
  EXPECT_EQ(cut(R"({"b":tru,"a":1})", a), "!expected ident at line 1 column 9");
  EXPECT_EQ(cut(R"({"b":[1,],"a":1})", a), "!trailing comma at line 1 column 9");
  EXPECT_EQ(cut(R"({"b":{"x":1,}})", a), "!trailing comma at line 1 column 13");
  EXPECT_EQ(cut(R"({"b":[{}],"a":1} x)", a), "!trailing characters at line 1 column 18");
  EXPECT_EQ(cut(R"({"b":[[[[)", a), "!EOF while parsing a value at line 1 column 9");
  EXPECT_EQ(cut(R"({"b":{"k":-})", a), "!invalid number at line 1 column 12");
  EXPECT_EQ(cut(R"({"b":"\ud800\u12"})", a), "!invalid escape at line 1 column 17");
}

// Unpaired surrogate escapes are a fault of the text only where it is read.
TEST(JsonCut, UnpairedSurrogatesInSkippedMembers) {
  Read a = fields({{"a", Read::all()}});
  EXPECT_EQ(cut(R"({"a":1,"b":"\ud800"})", a), R"({"a":1})");
  EXPECT_EQ(cut(R"({"b":["x\udc00\ud800\u0041", {"\ud800": 2}],"a":"\ud83d\ude00"})", a), R"({"a":"😀"})");
  EXPECT_EQ(cut(R"({"\ud800":1,"\ud800\u0061":2,"a":3})", a), R"({"a":3})");
  EXPECT_EQ(cut(R"({"a":"\ud800"})", a), "!lone leading surrogate in hex escape at line 1 column 13");
  EXPECT_EQ(cut(R"({"a":{"\udc00":1}})", a), "!invalid unicode code point at line 1 column 14");
  EXPECT_EQ(parse(R"({"\ud800\u0061":1})"), "!invalid unicode code point at line 1 column 15");
}

TEST(JsonCut, SkippedDepthIsFree) {
  std::string skipped = std::string(500, '[') + "{\"q\":1}" + std::string(500, ']');
  std::string text = "{\"skip\":" + skipped + ",\"a\":true}";
  EXPECT_EQ(cut(text, fields({{"a", Read::all()}})), R"({"a":true})");
  auto whole = cut(text, fields({{"skip", Read::all()}}));
  EXPECT_EQ(whole.rfind("!recursion limit exceeded", 0), 0u) << whole;
  std::string very = std::string(100000, '[') + std::string(100000, ']');
  EXPECT_EQ(cut("{\"s\":" + very + "}", fields({{"a", Read::all()}})), "{}");
}

TEST(JsonParse, PollsStopLongTexts) {
  // Every road of the parse (built arrays and objects, skipped members) asks the poll as it goes; its
  // error stops the parse and is handed back as such, not as a syntax error.
  std::string items = "[";
  for (int i = 0; i < 5000; ++i) items += "{\"a\":[1,2],\"b\":{\"c\":3}},";
  items += "0]";
  const std::string member = "{\"x\":1,\"skip\":" + items + "}";
  int asked = 0;
  const PollHook stop_third = [&]() -> std::optional<error::Error> {
    if (++asked < 3) return std::nullopt;
    return error::Error("U1003");
  };
  const PollHook never = [] { return std::optional<error::Error>(); };
  for (const std::string& text : {items, member}) {
    asked = 0;
    auto whole = Document::parse(text, &stop_third);
    ASSERT_FALSE(whole);
    ASSERT_TRUE(whole.error().stopped);
    EXPECT_EQ(whole.error().stopped->code(), "U1003");
    EXPECT_EQ(asked, 3);
    EXPECT_TRUE(Document::parse(text, &never));
  }
  asked = 0;
  auto skipped = Document::parse_cut(member, fields({{"x", Read::all()}}), &stop_third);
  ASSERT_FALSE(skipped);
  EXPECT_TRUE(skipped.error().stopped);
  auto kept = Document::parse_cut(member, fields({{"x", Read::all()}}), &never);
  ASSERT_TRUE(kept);
  EXPECT_EQ(S(kept->value), R"({"x":1})");
}

// A caller numbers a document's strings by the order the conversion makes them in: string values only (keys
// and skipped members are not made), decoded, in document order, the same for text and converted JSON.
TEST(JsonParse, StringMakerMakesEachStringValueInOrder) {
  std::vector<std::string> made;
  const value::StringMaker maker{&made, [](void* context, std::string_view text) {
                                   static_cast<std::vector<std::string>*>(context)->emplace_back(text);
                                   return value::Str::make(std::string(text) + "!");
                                 }};
  const std::string text = R"({"k": ["a", {"b": "c\u00e9"}], "z": "d", "s": {"skipped": "e"}})";
  auto whole = Document::parse(text, nullptr, &maker);
  ASSERT_TRUE(whole);
  EXPECT_EQ(S(whole->value), R"({"k":["a!",{"b":"cé!"}],"z":"d!","s":{"skipped":"e!"}})");
  EXPECT_EQ(made, (std::vector<std::string>{"a", "cé", "d", "e"}));
  made.clear();
  auto kept = Document::parse_cut(text, fields({{"k", Read::all()}, {"z", Read::all()}}), nullptr, &maker);
  ASSERT_TRUE(kept);
  EXPECT_EQ(made, (std::vector<std::string>{"a", "cé", "d"}));
  made.clear();
  const json::Json data = json::Json::parse(text);
  EXPECT_EQ(S(value::from_json(data, &maker)), S(whole->value));
  EXPECT_EQ(made, (std::vector<std::string>{"a", "cé", "d", "e"}));
}
