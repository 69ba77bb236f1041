// Function signatures: parsing into parameters and pieces, the greedy matcher, and argument validation
// with context insertion, array wrapping, subtypes and the T041x error details.
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "eval/function.hpp"
#include "helpers.hpp"
#include "syntax/signature.hpp"
#include "value/lazy.hpp"

using namespace zarnu_core;
using namespace zarnu_core::signature;
using namespace zarnu_test;
using value::Items;

namespace {

// The parameters in one line: "symbol pattern", then " -context" and " <subtype>" where present.
std::string describe(std::string_view text) {
  auto sig = Signature::parse(text);
  if (!sig) return "!" + std::string(sig.error().code());
  std::string out;
  for (const Param& p : sig->params()) {
    out += (out.empty() ? "" : "; ") + p.symbol + " " + p.pattern;
    if (p.use_context) out += " -" + p.context_pattern.value_or("?");
    if (p.subtype) out += " <" + *p.subtype + ">";
  }
  return out;
}

Items args_of(const std::string& json_array) {
  Items out;
  for (const Json& item : Json::parse(json_array)) out.push_back(zarnu_core::value::from_json(item));
  return out;
}

Result<Items> validate(std::string_view text, Items args, const Value& context = Value()) {
  auto sig = Signature::parse(text);
  if (!sig) return fail(std::move(sig).error());
  return sig->validate(std::move(args), context);
}

// Checks a validation: `expect` is the normalised arguments as JSON texts ("-" for undefined), or
// "!CODE" followed by the error's details as a JSON object (their order counts).
void check(std::string_view sig, Items args, const Value& context, std::string_view expect) {
  SCOPED_TRACE(std::string(sig));
  auto out = validate(sig, std::move(args), context);
  if (!out) {
    ASSERT_EQ(expect.substr(0, 1), "!") << out.error().debug();
    EXPECT_EQ(out.error().code(), expect.substr(1, 5));
    EXPECT_EQ(out.error().details(), Json::parse(expect.substr(7)));
    EXPECT_FALSE(out.error().is_located());
    return;
  }
  std::string text;
  for (const Value& v : *out) text += (text.empty() ? "" : " ") + (v.is_undefined() ? "-" : S(v));
  EXPECT_EQ(text, expect);
}

}  // namespace

TEST(SignatureParse, Parameters) {
  const std::pair<const char*, const char*> cases[] = {
      {"<s-nn?:s>", "s [sm]? -[sm]; n [nm]; n [nm]?"},
      {"<abfjlnosx(sn)>",
       "a [asnblfom]; b [bm]; f f; j [asnblom]; l [lm]; n [nm]; o [om]; s [sm]; x [asnblfom]; (sn) [snm]"},
      {"<a<n>:n>", "a [asnblfom] <n>"},
      {"<f<s:o>n>", "f f <s:o>; n [nm]"},  // the ":" inside a subtype does not end reading
      {"<a<a<n>>s>", "a [asnblfom] <a<n>>; s [sm]"},
      {"<a<n><s>>", "a [asnblfom] <s>"},  // a later subtype replaces the earlier
      {"<a<n", "a [asnblfom] <n>"},       // unclosed groups run to the end
      {"<(sn>", "(sn>) [sn>m]"},
      {"<s+n+->", "s [sm]+; n [nm]+? -[nm]+"},
      {"<?-+ s u >", "s [sm]"},  // unknown characters and modifiers before any parameter are ignored
      {"<:nnn>", ""},
      {"<", ""},
      {"", ""},
      {"s", ""},                // the first character is skipped, whatever it is
      {"\xC3\xA9n", "n [nm]"},  // ... also when it takes two bytes
  };
  for (const auto& [text, params] : cases) EXPECT_EQ(describe(text), params) << text;
  auto sig = Signature::parse("<s-nn?:s>");
  EXPECT_EQ(sig->text(), "<s-nn?:s>");
  ASSERT_EQ(sig->pieces().size(), 3u);
  EXPECT_EQ(sig->pieces()[0].min, 0u);
}

TEST(SignatureParse, ErrorsGiveValueAndCharacterOffset) {
  struct Case {
    const char* text;
    const char* code;
    Json value;
    int offset;
  };
  const Case cases[] = {
      {"<x<s>>", "S0401", "x", 2},
      {"<<s>>", "S0401", nullptr, 1},
      {"<(sn)<n>>", "S0401", "(sn)", 5},
      {"<(s<n>)>", "S0402", "s<n>", 1},
      {"<s(n<)>", "S0402", "n<", 2},
      // Offsets count characters, also across skipped groups.
      {"<\xC3\xA9\xC3\xA9x<n>>", "S0401", "x", 4},
      {"<(s\xC3\xA9)(sn)x<n>>", "S0401", "x", 10},
      {"<a<\xC3\xA9>n<s>>", "S0401", "n", 6},
  };
  for (const Case& c : cases) {
    auto sig = Signature::parse(c.text);
    ASSERT_FALSE(sig) << c.text;
    EXPECT_EQ(sig.error().code(), c.code) << c.text;
    EXPECT_EQ(sig.error().details(), (Json{{"value", c.value}, {"offset", c.offset}})) << c.text;
  }
}

TEST(SignatureMatch, PiecesAndGreedyBacktracking) {
  struct PieceCase {
    const char* pattern;
    const char* letters;
    std::size_t min, max;
  };
  const PieceCase pieces_cases[] = {
      {"[sm]?", "sm", 0, 1},         {"[asnblfom]+", "asnblfom", 1, SIZE_MAX},
      {"[nm]+?", "nm", 1, SIZE_MAX}, {"f?", "f", 0, 1},
      {"[sm", "sm", 1, 1},           {"", "", 1, 1},
  };
  for (const auto& c : pieces_cases) {
    Piece p = piece(c.pattern);
    EXPECT_EQ(p.letters, c.letters) << c.pattern;
    EXPECT_EQ(std::make_pair(p.min, p.max), std::make_pair(c.min, c.max)) << c.pattern;
  }
  Piece odd = piece("[xs(m]");  // characters no value has as its letter never match
  EXPECT_TRUE(odd.contains('s') && odd.contains('m'));
  EXPECT_FALSE(odd.contains('x') || odd.contains('(') || odd.contains('n'));

  std::vector<Piece> two{piece("[nm]+"), piece("[nm]")};
  std::vector<LetterSpan> spans(4);
  ASSERT_TRUE(match_pieces(two, "nnn", 0, spans, true));
  EXPECT_EQ(spans[0], LetterSpan(0, 2));  // the longest count that lets the rest match
  EXPECT_FALSE(match_pieces(two, "nnns", 0, spans, true));
  ASSERT_TRUE(match_pieces(two, "nnns", 0, spans, false));
  EXPECT_EQ(spans[1], LetterSpan(2, 3));
  ASSERT_TRUE(match_pieces(two, "snn", 1, spans, true));
  EXPECT_EQ(spans[0], LetterSpan(1, 2));
  EXPECT_FALSE(match_pieces({}, "n", 0, spans, true));
  EXPECT_TRUE(match_pieces({}, "n", 0, spans, false));

  // A backtrack several pieces deep.
  std::vector<Piece> four{piece("[sm]?"), piece("[sm]+"), piece("[sm]?"), piece("[sm]")};
  ASSERT_TRUE(match_pieces(four, "ss", 0, spans, true));
  EXPECT_EQ(spans, (std::vector<LetterSpan>{{0, 0}, {0, 1}, {1, 1}, {1, 2}}));
}

TEST(SignatureMatch, AdversarialSignaturesStayCheap) {
  // Without remembering failed states this would try every split of 80 letters into 40 runs.
  std::string text = "<";
  for (int i = 0; i < 40; ++i) text += "x+";
  text += "f>";
  Items args;
  for (int i = 0; i < 80; ++i) args.push_back(Value::number(i));
  const auto start = std::chrono::steady_clock::now();
  check(text, std::move(args), Value(), R"(!T0410 {"index":81})");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));

  // Many parameters must not recurse once per parameter.
  const std::size_t n = 100000;
  Items many(n, Value::number(1));
  auto out = validate("<" + std::string(n, 'n') + ">", std::move(many));
  ASSERT_TRUE(out);
  EXPECT_EQ(out->size(), n);
}

TEST(SignatureValidate, Cases) {
  struct Case {
    const char* sig;
    const char* args;
    const char* context;  // JSON text, or null for undefined
    const char* expect;
  };
  const Case cases[] = {
      // Array subtypes: items must have the subtype's letter, a single value must spell it.
      {"<a<n>:n>", "[[1,2]]", nullptr, "[1,2]"},
      {"<a<n>:n>", "[5]", nullptr, "[5]"},
      {"<a<n>:n>", "[[]]", nullptr, "[]"},
      {"<a<>>", R"([["x"]])", nullptr, R"(["x"])"},
      {"<a<n>:n>", R"([["x"]])", nullptr, R"(!T0412 {"index":1,"type":"numbers","value":["x"]})"},
      {"<a<n>:n>", R"(["x"])", nullptr, R"(!T0412 {"index":1,"type":"numbers","value":"x"})"},
      {"<sa<n>>", R"(["s",[1,"x"]])", nullptr, R"(!T0412 {"index":2,"type":"numbers","value":[1,"x"]})"},
      {"<a<s>>", "[[3]]", nullptr, R"(!T0412 {"index":1,"type":"strings","value":[3]})"},
      {"<a<a<n>>>", "[[3]]", nullptr, R"(!T0412 {"index":1,"type":"values","value":[3]})"},
      {"<a<l>>", "[3]", nullptr, R"(!T0412 {"index":1,"type":"values","value":3})"},
      {"<a<n>>", "[null]", nullptr, R"(!T0412 {"index":1,"type":"numbers","value":null})"},
      // Only "a" wraps single values.
      {"<a+>", "[1,[2]]", nullptr, "[1] [2]"},
      {"<x(an)>", "[1,2]", nullptr, "1 2"},
      // Context insertion, for the first or the last parameter.
      {"<s-:s>", "[]", R"("c")", R"("c")"},
      {"<s-:s>", R"(["a"])", R"("c")", R"("a")"},
      {"<s-:s>", "[]", nullptr, "-"},
      {"<s-:s>", "[]", "5", R"(!T0411 {"index":1,"value":5})"},
      {"<s-n:s>", "[5]", R"("c")", R"("c" 5)"},
      {"<s-n:s>", R"(["a",5])", R"("c")", R"("a" 5)"},
      {"<s-n:s>", "[5]", "1", R"(!T0411 {"index":1,"value":1})"},
      {"<ns-:s>", "[1]", R"("c")", R"(1 "c")"},
      {"<ns-:s>", "[1]", "true", R"(!T0411 {"index":2,"value":true})"},
      // An optional parameter that takes no letter still takes the argument at the cursor.
      {"<n?s>", R"(["x"])", nullptr, R"("x" -)"},
      {"<n?s>", R"([1,"x"])", nullptr, R"(1 "x")"},
      {"<s-n?>", "[]", R"("c")", R"("c" -)"},
      // The failing argument is where the longest matching prefix of parameters stops.
      {"<n:n>", R"(["x"])", nullptr, R"(!T0410 {"index":1,"value":"x"})"},
      {"<n:n>", "[1,2]", nullptr, R"(!T0410 {"index":2,"value":2})"},
      {"<:n>", "[1]", nullptr, R"(!T0410 {"index":1,"value":1})"},
      {"<nsb>", R"([1,"x",2])", nullptr, R"(!T0410 {"index":3,"value":2})"},
      {"<nn:n>", "[1]", nullptr, R"(!T0410 {"index":2})"},  // a missing required argument
      {"<f>", "[]", nullptr, R"(!T0410 {"index":1})"},
      // Choices and the JSON type.
      {"<(sn)(sn)>", R"(["a",1])", nullptr, R"("a" 1)"},
      {"<(sn)>", "[true]", nullptr, R"(!T0410 {"index":1,"value":true})"},
      {"<jjjjjj>", R"([null,true,1,"s",[1],{"a":1}])", nullptr, R"(null true 1 "s" [1] {"a":1})"},
  };
  for (const Case& c : cases) check(c.sig, args_of(c.args), c.context ? J(c.context) : Value(), c.expect);
}

TEST(SignatureValidate, UndefinedMatchesEveryClassButFunctions) {
  for (const char* sig : {"<s>", "<n>", "<b>", "<l>", "<o>", "<a>", "<a<n>>", "<j>", "<x>", "<(sn)>"})
    check(sig, Items(1), Value(), "-");
  check("<f>", Items(1), Value(), R"(!T0410 {"index":1})");
}

TEST(SignatureValidate, ArgumentsArePassedOnNotCopied) {
  Items args = args_of("[[1,2],3]");
  Value given = args[0];
  auto out = validate("<a+>", std::move(args));
  ASSERT_TRUE(out);
  EXPECT_TRUE((*out)[0].same_payload(given));
  EXPECT_EQ((*out)[1].as_array().flags, 0);  // the wrapper is a plain array, not a sequence
}

TEST(SignatureValidate, LazyArraysAreReadForTheSubtype) {
  auto shared = value::Shared::create();
  Items ok, bad;
  ok.push_back(value::lazy(std::make_shared<const Json>(Json::parse("[1,2]")), shared));
  bad.push_back(value::lazy(std::make_shared<const Json>(Json::parse(R"(["x"])")), shared));
  check("<a<n>>", std::move(ok), Value(), "[1,2]");
  check("<a<n>>", std::move(bad), Value(), R"(!T0412 {"index":1,"type":"numbers","value":["x"]})");
}

TEST(SignatureValidate, Functions) {
  const Value fn = value::make_function(value::NativeFn{});
  // "x" takes a function, "j" does not; a function's subtype does not restrict the function passed.
  for (const char* sig : {"<x>", "<f<s:o>>", "<(fs)>"}) {
    auto out = validate(sig, Items{fn});
    ASSERT_TRUE(out) << sig;
    EXPECT_TRUE((*out)[0].same_payload(fn)) << sig;
  }
  check("<j>", Items{fn}, Value(), R"(!T0410 {"index":1})");  // no JSON form: no "value"
  check("<f<s:o>>", args_of(R"(["x"])"), Value(), R"(!T0410 {"index":1,"value":"x"})");
  check("<s-:s>", {}, fn, R"(!T0411 {"index":1})");
}
