// Lexer tests: tokens for the awkward spots (regex or division, numbers next to dots, names with odd bytes,
// comments, string escapes) and every lexical error with its byte span and UTF-16 position.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "syntax/lexer.hpp"
#include "value/json.hpp"

namespace zarnu_core::lexer {
namespace {

// The tokens of a text, read the way the parser would: operator position after a token that ends an
// operand. Each token is written as kind:value; an error ends the list as !CODE(start,end)@position.
std::string lex(std::string_view text) {
  Lexer lexer(text);
  Token token;
  std::string out;
  bool infix = false;
  for (;;) {
    auto status = lexer.next(token, infix);
    if (!out.empty()) out += ' ';
    if (!status) {
      const auto& e = status.error();
      out += "!" + std::string(e.code()) + "(" + std::to_string(e.span()->start) + "," +
             std::to_string(e.span()->end) + ")@" + std::to_string(*e.position());
      return out;
    }
    switch (token.kind) {
      case TokKind::Name:
        out += "name:" + token.text;
        break;
      case TokKind::Variable:
        out += "var:" + token.text;
        break;
      case TokKind::String:
        out += "str:" + token.text;
        break;
      case TokKind::Number:
        out += "num:" + value::js_number(token.number);
        break;
      case TokKind::Literal:
        out += "lit:" + std::to_string(token.literal);
        break;
      case TokKind::Regex:
        out += "re:" + token.text + "/" + token.flags;
        break;
      case TokKind::Operator:
        out += "op:" + std::string(token.op);
        break;
      case TokKind::End:
        out += "end";
        return out;
    }
    infix = token.kind != TokKind::Operator || token.op == ")" || token.op == "]" || token.op == "}";
  }
}

Token first(std::string_view text, bool infix = false) {
  Lexer lexer(text);
  Token token;
  EXPECT_TRUE(lexer.next(token, infix).has_value()) << text;
  return token;
}

error::Error failure(std::string_view text, bool infix = false) {
  Lexer lexer(text);
  Token token;
  for (;;) {
    auto status = lexer.next(token, infix);
    if (!status) return std::move(status).error();
    if (token.kind == TokKind::End) break;
    infix = token.kind != TokKind::Operator;
  }
  ADD_FAILURE() << "no error for " << text;
  return error::Error("X0000");
}

TEST(Lexer, SlashDividesAfterAnOperandAndOpensARegexElsewhere) {
  EXPECT_EQ(lex("a/b"), "name:a op:/ name:b end");
  EXPECT_EQ(lex("/ab/i"), "re:ab/i end");
  EXPECT_EQ(lex("1 + /ab/"), "num:1 op:+ re:ab/ end");
  EXPECT_EQ(lex("(a)/2"), "op:( name:a op:) op:/ num:2 end");
  // Comments are comments in either position.
  EXPECT_EQ(lex("a /* x */ / b"), "name:a op:/ name:b end");
  EXPECT_EQ(lex("/* x */ /y/"), "re:y/ end");
}

TEST(Lexer, RegexEndsAtAnUnescapedSlashOutsideBrackets) {
  EXPECT_EQ(lex("/a[/]b/"), "re:a[/]b/ end");
  EXPECT_EQ(lex("/(a/b)/"), "re:(a/b)/ end");
  EXPECT_EQ(lex("/a\\/b/"), "re:a\\/b/ end");
  EXPECT_EQ(lex("/a\\\\/"), "re:a\\\\/ end");
  EXPECT_EQ(lex("/a\\\\\\/b/"), "re:a\\\\\\/b/ end");
  // An escaped bracket does not count, so the slash after it ends the literal.
  EXPECT_EQ(lex("/\\[/"), "re:\\[/ end");
  EXPECT_EQ(lex("/a/g"), "re:a/ name:g end");
  EXPECT_EQ(lex("/a/mimx"), "re:a/mim name:x end");
  // The depth is signed: a stray closer keeps every later slash inside.
  EXPECT_EQ(lex("/)/"), "!S0302(0,3)@3");
  EXPECT_EQ(lex("/[a/"), "!S0302(0,4)@4");
  EXPECT_EQ(lex("//"), "!S0301(0,1)@1");
  EXPECT_EQ(lex("a//"), "name:a op:/ !S0302(2,3)@3");
}

TEST(Lexer, NumbersStopBeforeDotsAndIncompleteExponents) {
  EXPECT_EQ(lex("1..3"), "num:1 op:.. num:3 end");
  EXPECT_EQ(lex("1.e5"), "num:1 op:. name:e5 end");
  EXPECT_EQ(lex("1e"), "num:1 name:e end");
  EXPECT_EQ(lex("1e+"), "num:1 name:e op:+ end");
  EXPECT_EQ(lex("01"), "num:0 num:1 end");
  EXPECT_EQ(lex("2.50E+2 1e-2 0.5"), "num:250 num:0.01 num:0.5 end");
  EXPECT_EQ(lex("-1"), "op:- num:1 end");
  EXPECT_EQ(first("0.1").number, 0.1);
  EXPECT_EQ(first("1.7976931348623157e308").number, 1.7976931348623157e308);
  EXPECT_EQ(first("5e-324").number, 5e-324);
}

TEST(Lexer, TooSmallNumbersReadAsZeroAndTooLargeOnesFail) {
  EXPECT_EQ(first("1e-400").number, 0.0);
  EXPECT_EQ(first("0.0000001e-330").number, 0.0);
  EXPECT_EQ(first("1000e-400").number, 0.0);
  EXPECT_EQ(lex("1e400"), "!S0102(0,0)@0");
  EXPECT_EQ(failure("1e400").token(), "1e400");
  EXPECT_EQ(failure("x + 1.8e308").token(), "1.8e308");
  // Large digits with a negative exponent still overflow.
  EXPECT_EQ(failure(std::string(400, '9') + "e-5").code(), "S0102");
  EXPECT_EQ(lex(std::string(400, '9') + "e-300"), "num:1e+100 end");
}

TEST(Lexer, NamesVariablesAndKeywords) {
  EXPECT_EQ(lex("$"), "var: end");
  EXPECT_EQ(lex("$$"), "var:$ end");
  EXPECT_EQ(lex("$x.y"), "var:x op:. name:y end");
  EXPECT_EQ(lex("a\fb"), "name:a\fb end");
  EXPECT_EQ(lex("a\u00a0b c"), "name:a\u00a0b name:c end");
  EXPECT_EQ(lex("a\tb\vc\rd\ne"), "name:a name:b name:c name:d name:e end");
  EXPECT_EQ(lex("a$b'c\"d"), "name:a$b'c\"d end");
  EXPECT_EQ(lex("true false null"), "lit:1 lit:0 lit:2 end");
  EXPECT_EQ(lex("and or in andy"), "op:and op:or op:in name:andy end");
  EXPECT_EQ(lex("`a b.c`.d"), "name:a b.c op:. name:d end");
  EXPECT_EQ(lex("``"), "name: end");
}

TEST(Lexer, TwoCharacterOperatorsComeFirst) {
  EXPECT_EQ(lex("a<=b>=c!=d"), "name:a op:<= name:b op:>= name:c op:!= name:d end");
  EXPECT_EQ(lex("a...b"), "name:a op:.. op:. name:b end");
  EXPECT_EQ(lex("a?:b??c? :d"), "name:a op:?: name:b op:?? name:c op:? op:: name:d end");
  EXPECT_EQ(lex("$x:=a~>$f"), "var:x op::= name:a op:~> var:f end");
  EXPECT_EQ(lex("**.a***"), "op:** op:. name:a op:** op:* end");
  EXPECT_EQ(lex("a!"), "name:a !S0204(1,2)@2");
  EXPECT_EQ(lex("~ a"), "!S0204(0,1)@1");
  EXPECT_EQ(failure("a!").token(), "!");
}

TEST(Lexer, StringEscapes) {
  EXPECT_EQ(first(R"("a\"b")").text, "a\"b");
  EXPECT_EQ(first(R"('a"b')").text, "a\"b");
  EXPECT_EQ(first(R"("it's")").text, "it's");
  EXPECT_EQ(first(R"("\/\\\b\f\n\r\t")").text, "/\\\b\f\n\r\t");
  EXPECT_EQ(first(R"("\u0041\u00e9\u20AC")").text, "A\u00e9\u20ac");
  EXPECT_EQ(first(R"("\u+041")").text, "A");
  EXPECT_EQ(first("\"line\nbreak\"").text, "line\nbreak");
  EXPECT_EQ(first(R"("")").text, "");
}

TEST(Lexer, SurrogateEscapesPairOrBecomeReplacementCharacters) {
  EXPECT_EQ(first(R"("\uD83D\uDE00")").text, "\U0001F600");
  EXPECT_EQ(first(R"("\ud83d\ude00x")").text, "\U0001F600x");
  EXPECT_EQ(first(R"("\uD83D")").text, "\uFFFD");
  EXPECT_EQ(first(R"("\uDE00\uD83D")").text, "\uFFFD\uFFFD");
  EXPECT_EQ(first(R"("\uD83Dx")").text, "\uFFFDx");
  // The escape after an unpaired high surrogate is read on its own.
  EXPECT_EQ(first(R"("\uD83D\u0041")").text, "\uFFFDA");
  EXPECT_EQ(first(R"("\uD83D\uD83D\uDE00")").text, "\uFFFD\U0001F600");
}

TEST(Lexer, Hex4) {
  EXPECT_EQ(hex4("00e9"), u'\u00e9');
  EXPECT_EQ(hex4("FFFFzz"), u'\uffff');
  EXPECT_EQ(hex4("+041"), u'A');
  EXPECT_FALSE(hex4("041"));
  EXPECT_FALSE(hex4("0+41"));
  EXPECT_FALSE(hex4("-041"));
  EXPECT_FALSE(hex4("12g4"));
  EXPECT_FALSE(hex4("12\u00e9"));
}

TEST(Lexer, DocCommentsAreQueuedForTheNextToken) {
  Token token = first("/** text */ a");
  EXPECT_EQ(token.text, "a");
  ASSERT_EQ(token.docs.size(), 1u);
  EXPECT_EQ(token.docs[0].text, " text ");
  EXPECT_EQ(token.docs[0].start, 0u);
  EXPECT_EQ(token.docs[0].end, 11u);
  EXPECT_EQ(token.docs[0].inner_start, 3u);

  EXPECT_TRUE(first("/**/ a").docs.empty());
  EXPECT_TRUE(first("/* plain */ a").docs.empty());
  EXPECT_EQ(first("/***/ a").docs.size(), 1u);
  EXPECT_EQ(first("/**a*/ /**b*/ c").docs.size(), 2u);

  // Doc comments at the end stay queued; the end symbol takes none.
  Lexer lexer("a /** x */");
  ASSERT_TRUE(lexer.next(token, false));
  ASSERT_TRUE(lexer.next(token, true));
  EXPECT_EQ(token.kind, TokKind::End);
  EXPECT_EQ(token.span, (ast::Span{10, 10}));
  EXPECT_TRUE(token.docs.empty());
  ASSERT_EQ(lexer.pending().size(), 1u);
  EXPECT_EQ(lexer.pending()[0].text, " x ");
}

TEST(Lexer, TokenSpans) {
  Lexer lexer("  $ab <= 'x\\ty' /r/i");
  Token token;
  ASSERT_TRUE(lexer.next(token, false));
  EXPECT_EQ(token.span, (ast::Span{2, 5}));
  ASSERT_TRUE(lexer.next(token, true));
  EXPECT_EQ(token.span, (ast::Span{6, 8}));
  ASSERT_TRUE(lexer.next(token, false));
  EXPECT_EQ(token.span, (ast::Span{9, 15}));
  ASSERT_TRUE(lexer.next(token, false));
  EXPECT_EQ(token.span, (ast::Span{16, 20}));
}

// Every lexical error after a four-byte character: spans stay in bytes, positions count UTF-16 units (2
// for the emoji) up to the span's end.
TEST(Lexer, ErrorsHaveByteSpansAndUtf16Positions) {
  struct Case {
    std::string text;
    std::string code;
    std::size_t start, end, position;
  };
  const std::string e = "\U0001F600+";  // five bytes, three UTF-16 units; then operand position
  const std::vector<Case> cases = {
      {e + "'abc", "S0101", 5, 9, 7},      {e + "'ab\\", "S0101", 5, 9, 7},
      {e + "1e999 + 1", "S0102", 5, 5, 3}, {e + "'it\\'s'", "S0103", 5, 9, 7},
      {e + "'\\u12x4'", "S0104", 5, 7, 5}, {e + "'\\u12'", "S0104", 5, 7, 5},
      {e + "`ab", "S0105", 5, 8, 6},       {e + "/* ab", "S0106", 5, 5, 3},
      {e + "!", "S0204", 5, 6, 4},         {e + "//", "S0301", 5, 6, 4},
      {e + "/ab", "S0302", 5, 8, 6},       {e + "/a\\/", "S0302", 5, 9, 7},
  };
  for (const Case& c : cases) {
    error::Error err = failure(c.text);
    EXPECT_EQ(err.code(), c.code) << c.text;
    EXPECT_EQ(err.span(), (ast::Span{c.start, c.end})) << c.text;
    EXPECT_EQ(err.position(), c.position) << c.text;
  }
}

TEST(Lexer, EscapeErrorsNameTheCharacter) {
  EXPECT_EQ(failure("'it\\'s'").token(), "'");
  EXPECT_EQ(failure("\"a\\x\"").token(), "x");
  EXPECT_EQ(failure("\"a\\\u00e9\"").token(), "\u00e9");
  EXPECT_EQ(failure("\"\\u\"").code(), "S0104");
  EXPECT_EQ(failure("\"\\").code(), "S0101");
}

}  // namespace
}  // namespace zarnu_core::lexer
