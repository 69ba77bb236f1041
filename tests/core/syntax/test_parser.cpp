// Parser tests: tree shapes (precedence, associativity, every construct), spans and positions, the syntax
// errors with their details and places, the nesting limit, long inputs and signatures.
#include <pthread.h>

#include <algorithm>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "small_stack.hpp"
#include "syntax/parser.hpp"
#include "value/json.hpp"

namespace zarnu_core::parser {
namespace {

// A compact form of a tree: leaves as written, arrays and objects in brackets (an object's keys and
// values in turn), every other node in prefix form; "[]" follows a node that keeps arrays.
std::string dump(const Raw& r) {
  static constexpr std::string_view kHeads[] = {"",  "",   "",  "",   "",  "",    "*",    "**",
                                                "%", "",   "^", "{}", "[", "{",   "neg",  "call",
                                                "?", "fn", "?", "|",  ";", "end", "error"};
  std::string out;
  switch (r.kind) {
    case RawKind::Name:
      return r.text + (r.keep_array ? "[]" : "");
    case RawKind::Variable:
      return "$" + r.text + (r.keep_array ? "[]" : "");
    case RawKind::String:
      return "'" + r.text + "'";
    case RawKind::Number:
      return value::js_number(r.number);
    case RawKind::Literal:
      return r.literal == 0 ? "false" : r.literal == 1 ? "true" : "null";
    case RawKind::Regex:
      return "/" + r.text + "/" + r.flags;
    case RawKind::Wildcard:
    case RawKind::Descendant:
    case RawKind::Parent:
    case RawKind::Placeholder:
      return std::string(kHeads[static_cast<int>(r.kind)]);
    case RawKind::Array:
    case RawKind::Object:
      out = kHeads[static_cast<int>(r.kind)];
      break;
    default:
      out = "(" + (r.kind == RawKind::Binary
                       ? r.text
                       : std::string(r.partial ? "partial" : kHeads[static_cast<int>(r.kind)]));
  }
  if (r.kind == RawKind::Lambda) {
    out += " [";
    for (std::size_t i = 0; i < r.params.size(); ++i) out += (i ? " " : "") + r.params[i];
    out += "]" + (r.signature ? " " + r.signature->text() : "");
  }
  for (std::size_t i = 0; i < r.children.size(); ++i) {
    if (out.size() > 1) out += ' ';
    if (r.kind == RawKind::Sort && i > 0) out += r.descending[i - 1] ? ">" : "<";
    out += dump(r.children[i]);
  }
  out += r.kind == RawKind::Array ? "]" : r.kind == RawKind::Object ? "}" : ")";
  return out + (r.keep_array ? "[]" : "");
}

std::string tree(std::string_view text) {
  auto parsed = parse_text(text);
  if (!parsed) return "!" + std::string(parsed.error().code());
  return dump(parsed->root);
}

Raw root(std::string_view text) {
  auto parsed = parse_text(text);
  if (!parsed) {
    ADD_FAILURE() << text << ": " << parsed.error().debug();
    return Raw{};
  }
  return std::move(parsed->root);
}

error::Error failure(std::string_view text) {
  auto parsed = parse_text(text);
  if (parsed) {
    ADD_FAILURE() << "no error for " << text << ", got " << dump(parsed->root);
    return error::Error("X0000");
  }
  return std::move(parsed).error();
}

std::string details(const error::Error& e) {
  return json::to_text(e.details());
}

TEST(ParserShapes, PrecedenceAndAssociativity) {
  EXPECT_EQ(tree("1 + 2 * 3"), "(+ 1 (* 2 3))");
  EXPECT_EQ(tree("1 - 2 - 3"), "(- (- 1 2) 3)");
  EXPECT_EQ(tree("a.b.c"), "(. (. a b) c)");
  EXPECT_EQ(tree("a & b = c"), "(= (& a b) c)");
  EXPECT_EQ(tree("a and b or c and d"), "(or (and a b) (and c d))");
  EXPECT_EQ(tree("a = 1 and b != 2"), "(and (= a 1) (!= b 2))");
  EXPECT_EQ(tree("a < b <= c > d >= e"), "(>= (> (<= (< a b) c) d) e)");
  EXPECT_EQ(tree("x in [1, 2]"), "(in x [1 2])");
  EXPECT_EQ(tree("a ~> $f ~> $g"), "(~> (~> a $f) $g)");
  EXPECT_EQ(tree("a % b * c / d"), "(/ (* (% a b) c) d)");
  EXPECT_EQ(tree("-a.b"), "(neg (. a b))");
  EXPECT_EQ(tree("-a * b"), "(* (neg a) b)");
  EXPECT_EQ(tree("- -1"), "(neg (neg 1))");
}

TEST(ParserShapes, RightSidesParsedAtPowerZero) {
  EXPECT_EQ(tree("a ?? b ?? c"), "(?? a (?? b c))");
  EXPECT_EQ(tree("a ?: b + c"), "(?: a (+ b c))");
  EXPECT_EQ(tree("a + b ?? c or d"), "(?? (+ a b) (or c d))");
  EXPECT_EQ(tree("$a := $b := 1"), "(:= $a (:= $b 1))");
  EXPECT_EQ(tree("$a := 1 ? 2 : 3"), "(:= $a (? 1 2 3))");
  EXPECT_EQ(tree("a ? b : c ? d : e"), "(? a b (? c d e))");
  EXPECT_EQ(tree("a ? b"), "(? a b)");
}

TEST(ParserShapes, BlocksArraysObjectsAndTransforms) {
  EXPECT_EQ(tree("(1; 2)"), "(; 1 2)");
  EXPECT_EQ(tree("(1;)"), "(; 1)");
  EXPECT_EQ(tree("()"), "(;)");
  EXPECT_EQ(tree("[]"), "[]");
  EXPECT_EQ(tree("{}"), "{}");
  EXPECT_EQ(tree("[1..3, 5]"), "[(.. 1 3) 5]");
  EXPECT_EQ(tree("{'a': 1, \"b\": [2]}"), "{'a' 1 'b' [2]}");
  EXPECT_EQ(tree("a{b: c.d}"), "({} a b (. c d))");
  EXPECT_EQ(tree("a.b{c: d}"), "({} (. a b) c d)");
  EXPECT_EQ(tree("|a|{'x': 1}|"), "(| a {'x' 1})");
  EXPECT_EQ(tree("|a|b, ['c']|"), "(| a b ['c'])");
  EXPECT_EQ(tree("and"), "and");
  EXPECT_EQ(tree("and and or"), "(and and or)");
  EXPECT_EQ(tree("in.or"), "(. in or)");
}

TEST(ParserShapes, PathsPredicatesAndBindings) {
  EXPECT_EQ(tree("a.b[0].c"), "(. (. a ([ b 0)) c)");
  EXPECT_EQ(tree("**.a"), "(. ** a)");
  EXPECT_EQ(tree("*.%.a"), "(. (. * %) a)");
  EXPECT_EQ(tree("a@$x.b#$i"), "(. (@ a $x) (# b $i))");
  EXPECT_EQ(tree("a^(>b, c, <d)"), "(^ a >b <c <d)");
  EXPECT_EQ(tree("a^(b).c"), "(. (^ a <b) c)");
  EXPECT_EQ(tree("a[]"), "a[]");
  EXPECT_EQ(tree("a[0][]"), "([ a[] 0)");
  EXPECT_EQ(tree("a.b[]"), "(. a b[])");
  EXPECT_EQ(tree("a[][0]"), "([ a[] 0)");
}

TEST(ParserShapes, CallsAndLambdas) {
  EXPECT_EQ(tree("$f()"), "(call $f)");
  EXPECT_EQ(tree("$f(?, 2)"), "(partial $f ? 2)");
  EXPECT_EQ(tree("$f(1)(2)"), "(call (call $f 1) 2)");
  EXPECT_EQ(tree("function($x, $y){ $x + $y }"), "(fn [x y] (+ $x $y))");
  EXPECT_EQ(tree("\u03bb(){ 1 }"), "(fn [] 1)");
  EXPECT_EQ(tree("function($x)<n:n>{ $x }(2)"), "(call (fn [x] <n:n> $x) 2)");
  EXPECT_EQ(tree("`function`($x){1}"), "(fn [x] 1)");
}

TEST(ParserShapes, RegexesWhereAnOperandIsExpected) {
  EXPECT_EQ(tree("a / 2"), "(/ a 2)");
  EXPECT_EQ(tree("/x/i"), "/x/i");
  EXPECT_EQ(tree("$match(s, /x/)"), "(call $match s /x/)");
  EXPECT_EQ(tree("x ~> /a/"), "(~> x /a/)");
  EXPECT_EQ(tree("x ? /a/ : /b/"), "(? x /a/ /b/)");
  EXPECT_EQ(tree("[1, /a/]"), "[1 /a/]");
  EXPECT_EQ(tree("(a) / (b) / c"), "(/ (/ (; a) (; b)) c)");
  EXPECT_EQ(tree("a[0] / b[1]"), "(/ ([ a 0) ([ b 1))");
  EXPECT_EQ(tree("a{b: c} / 2"), "(/ ({} a b c) 2)");
  // After "[]" and a sort's ")" the language reads in operand position: a slash opens a regex.
  EXPECT_EQ(failure("a[] / 2").code(), "S0302");
  EXPECT_EQ(failure("a^(b) / 2").code(), "S0302");
  EXPECT_EQ(failure("a[] /x/").code(), "S0201");
  // The driver reads the symbol after a prefix "(" or "[" in operator position.
  EXPECT_EQ(failure("(/x/)").token(), "/");
}

TEST(ParserShapes, EndInOperandPosition) {
  EXPECT_EQ(tree(""), "(end)");
  EXPECT_EQ(tree("1 +"), "(+ 1 (end))");
  EXPECT_EQ(tree("-"), "(neg (end))");
  EXPECT_EQ(tree("a ? "), "(? a (end))");
}

// A node's span runs from its first token to the last one consumed; its position is the byte offset after
// its principal token (the operator of an infix node).
TEST(ParserSpans, SpansAndPositions) {
  struct Case {
    std::string text;
    std::size_t start, end, position;
  };
  for (const Case& c : std::vector<Case>{
           {"a + bc", 0, 6, 3},
           {"$f(x, y) ", 0, 8, 3},
           {" ( 1 ) ", 1, 6, 2},
           {"a[0][]", 0, 4, 2},  // "[]" leaves the predicate's span as it was
           {"x ? y : z", 0, 9, 3},
           {"function($a)<n:n>{ $a }", 0, 23, 9},
           {"1 +", 0, 3, 3},
           {"\U0001F600 + x", 0, 8, 6},  // bytes: the emoji is four
       }) {
    Raw r = root(c.text);
    EXPECT_EQ(r.span, (ast::Span{c.start, c.end})) << c.text;
    EXPECT_EQ(r.position, c.position) << c.text;
  }
  Raw r = root("[1..2] + 1");
  EXPECT_EQ(r.children[0].children[0].span, (ast::Span{1, 5}));
  EXPECT_EQ(r.children[0].children[0].position, 4u);
  EXPECT_EQ(root("1 +").children[1].span, (ast::Span{3, 3}));
}

TEST(ParserErrors, ExpectedSymbolMissing) {
  error::Error e = failure("(1");
  EXPECT_EQ(e.code(), "S0203");
  EXPECT_EQ(details(e), R"j({"value":")","token":"(end)"})j");
  EXPECT_EQ(e.span(), (ast::Span{2, 2}));
  EXPECT_EQ(e.message(), "Expected \")\" before end of expression");

  e = failure("(1 2");
  EXPECT_EQ(e.code(), "S0202");
  EXPECT_EQ(details(e), R"j({"value":")","token":2})j");
  EXPECT_EQ(e.span(), (ast::Span{3, 4}));
  EXPECT_EQ(e.position(), 4u);

  e = failure("\U0001F600 {'a' 1}");
  EXPECT_EQ(e.code(), "S0202");
  EXPECT_EQ(details(e), R"j({"value":":","token":1})j");
  EXPECT_EQ(e.span(), (ast::Span{10, 11}));
  EXPECT_EQ(e.position(), 9u);

  EXPECT_EQ(details(failure("a[1 b")), R"j({"value":"]","token":"b"})j");
  EXPECT_EQ(details(failure("a^(b c)")), R"j({"value":")","token":"c"})j");
  EXPECT_EQ(details(failure("a^b")), R"j({"value":"(","token":"b"})j");
  EXPECT_EQ(details(failure("|a b")), R"j({"value":"|","token":"b"})j");
  EXPECT_EQ(details(failure("function($x) $x")), R"j({"value":"{","token":"x"})j");
  EXPECT_EQ(details(failure("[1 true]")), R"j({"value":"]","token":true})j");
  // A transform ends in operand position, so a slash after it opens a regex: the token is its pattern.
  EXPECT_EQ(details(failure("$f(|a|b| /re/)")), R"j({"value":")","token":"re"})j");
}

TEST(ParserErrors, SymbolsLeftOver) {
  error::Error e = failure("a b");
  EXPECT_EQ(e.code(), "S0201");
  EXPECT_EQ(e.token(), "b");
  EXPECT_EQ(e.span(), (ast::Span{2, 3}));
  EXPECT_EQ(e.position(), 3u);
  EXPECT_EQ(e.message(), "Syntax error: \"b\"");

  e = failure("1..3");
  EXPECT_EQ(e.code(), "S0201");
  EXPECT_EQ(e.token(), "..");
  EXPECT_EQ(failure("a)").token(), ")");
  EXPECT_EQ(failure("1 null").token(), "null");
}

TEST(ParserErrors, OperatorsWithoutPrefixMeaning) {
  for (const auto& [text, token] : std::vector<std::pair<std::string, std::string>>{
           {"+1", "+"},
           {"[1,]", "]"},
           {"f(1,)", ")"},
           {"{'a': 1,}", "}"},
           {"(/x/)", "/"},
           {"=", "="},
           {"a.(b;)(;", ";"},
       }) {
    error::Error e = failure(text);
    EXPECT_EQ(e.code(), "S0211") << text;
    EXPECT_EQ(e.token(), token) << text;
  }
  error::Error e = failure("1 + ]");
  EXPECT_EQ(e.span(), (ast::Span{4, 5}));
  EXPECT_EQ(e.position(), 5u);
}

TEST(ParserErrors, BindingsNeedVariables) {
  error::Error e = failure("a := 1");
  EXPECT_EQ(e.code(), "S0212");
  EXPECT_EQ(e.token(), "a");
  EXPECT_EQ(e.span(), (ast::Span{0, 1}));
  EXPECT_EQ(e.position(), 1u);

  e = failure("1 := 2");
  EXPECT_EQ(e.code(), "S0212");
  EXPECT_EQ(details(e), R"j({"token":1})j");
  EXPECT_EQ(details(failure("a.b := 2")), R"j({"token":null})j");

  e = failure("a@b");
  EXPECT_EQ(e.code(), "S0214");
  EXPECT_EQ(e.token(), "@");
  EXPECT_EQ(e.span(), (ast::Span{2, 3}));
  EXPECT_EQ(e.position(), 3u);
  EXPECT_EQ(failure("a#(1)").token(), "#");

  e = failure("function($x, y){ $x }");
  EXPECT_EQ(e.code(), "S0208");
  EXPECT_EQ(details(e), R"j({"token":"y","value":2})j");
  EXPECT_EQ(e.span(), (ast::Span{13, 14}));
  EXPECT_EQ(e.position(), 14u);
  EXPECT_EQ(details(failure("function(?){1}")), R"j({"token":null,"value":1})j");
}

TEST(ParserSignatures, WhitespaceBetweenSymbolsIsDropped) {
  Raw spaced = root("function($a, $b)< n - n : n >{ $a }");
  Raw tight = root("function($a, $b)<n-n:n>{ $a }");
  ASSERT_TRUE(spaced.signature && tight.signature);
  EXPECT_EQ(spaced.signature->text(), "<n-n:n>");
  ASSERT_EQ(spaced.signature->params().size(), tight.signature->params().size());
  for (std::size_t i = 0; i < spaced.signature->params().size(); ++i) {
    EXPECT_EQ(spaced.signature->params()[i].pattern, tight.signature->params()[i].pattern);
    EXPECT_EQ(spaced.signature->params()[i].use_context, tight.signature->params()[i].use_context);
  }
  EXPECT_EQ(root("function($f)<f<n:n>?:a<n>>{1}").signature->text(), "<f<n:n>?:a<n>>");
  EXPECT_EQ(root("function($s)<s-:s>{1}").signature->text(), "<s-:s>");
  EXPECT_FALSE(root("function($x){1}").signature);
}

TEST(ParserSignatures, ErrorsAreLocatedInsideTheSignature) {
  // The second "<" is at offset 2 of the signature; the signature starts at byte 12.
  error::Error e = failure("function($x)<n<n>:n>{ $x }");
  EXPECT_EQ(e.code(), "S0401");
  EXPECT_EQ(e.span(), (ast::Span{15, 15}));
  EXPECT_EQ(e.position(), 15u);
  EXPECT_EQ(failure("function($x)<(n<s>)>{ $x }").code(), "S0402");
  EXPECT_EQ(failure("function($x)<n:n{ $x }").code(), "S0202");
  EXPECT_EQ(failure("function($x)<n:n").code(), "S0203");
}

using zarnu_test::on_small_stack;

std::string nested(std::size_t levels, std::string_view open, std::string_view leaf, std::string_view close) {
  std::string text;
  for (std::size_t i = 0; i < levels; ++i) text += open;
  text += leaf;
  for (std::size_t i = 0; i < levels; ++i) text += close;
  return text;
}

TEST(ParserLimits, NestingIsLimitedToAThousandLevels) {
  for (auto [open, close] : {std::pair{"(", ")"}, std::pair{"[", "]"}, std::pair{"{'k':", "}"}}) {
    EXPECT_TRUE(parse_text(nested(999, open, "1", close))) << open;
    error::Error e = failure(nested(1000, open, "1", close));
    EXPECT_EQ(e.code(), "U1001") << open;
    EXPECT_EQ(e.message(), "The expression is nested too deeply (the limit is 1000 levels)");
    EXPECT_EQ(failure(nested(1001, open, "1", close)).code(), "U1001") << open;
  }
  // The error is located at the symbol where the limit was met.
  error::Error e = failure(nested(1000, "(", "1", ")"));
  EXPECT_EQ(e.span(), (ast::Span{1000, 1001}));
}

TEST(ParserLimits, InfixStepsOfOneLevelCountToo) {
  // A chain of operators builds a tree as deep as the chain is long.
  std::string chain = "1";
  for (int i = 0; i < 998; ++i) chain += "+1";
  EXPECT_TRUE(parse_text(chain));
  chain += "+1";
  EXPECT_EQ(failure(chain).code(), "U1001");
  // Each nested level restores the count of its own steps when it ends.
  std::string items;
  for (int i = 0; i < 100; ++i) items += (i ? ", " : "") + std::string("a.b.c.d.e.f.g.h.i.j");
  EXPECT_TRUE(parse_text("[" + items + "]"));
}

TEST(ParserLimits, DeepInputOnASmallStack) {
  // The trees come back to this thread: their release is not what is under test here.
  std::vector<Raw> trees;
  on_small_stack([&] {
    for (const std::string& text :
         {nested(999, "(", "1", ")"), nested(999, "[", "1", "]"), nested(499, "a[", "1", "]"),
          nested(499, "-(", "1", ")"), nested(330, "$f(1, ", "1", ")"), nested(330, "/**d*/(", "1", ")")}) {
      auto parsed = parse_text(text);
      ASSERT_TRUE(parsed) << text.substr(0, 10);
      trees.push_back(std::move(parsed->root));
    }
    EXPECT_EQ(failure(nested(5000, "(", "1", ")")).code(), "U1001");
  });
  EXPECT_EQ(trees.size(), 6u);
}

// Enable when a deep parse tree is released without recursing once per level.
TEST(ParserLimits, DeepTreeIsReleasedOnASmallStack) {
  on_small_stack([] {
    EXPECT_TRUE(parse_text(nested(999, "[", "1", "]")));
    EXPECT_EQ(failure(nested(999, "[", "1", "]") + " x").code(), "S0201");
  });
}

// A long text with a comment at its very end: the comment is still found and attached. How the parse
// time grows with the text is measured by the compile benchmark.
TEST(ParserLimits, LongInputWithAFinalAnnotation) {
  std::string row;
  for (int i = 0; i < 200; ++i) row += "1+";
  std::string text = "[";
  for (int i = 0; i < 256; ++i) text += row + "1,\n";
  auto parsed = parse_text(text + "/** last */ x]");
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->root.children.size(), 257u);
  ASSERT_TRUE(parsed->root.children.back().annotation);
  EXPECT_FALSE(parsed->root.children.front().annotation);
}

}  // namespace
}  // namespace zarnu_core::parser
