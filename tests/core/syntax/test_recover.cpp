// Recover mode: each failure kind is recorded with its code and place while parsing goes on, error nodes
// stand where the failures were, the first error recorded is the one the plain parse fails with, the
// nesting limit still ends the parse, and a tree holding errors never evaluates.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ast_dump.hpp"
#include "eval/expression.hpp"
#include "small_stack.hpp"
#include "support/utf.hpp"
#include "syntax/parse.hpp"
#include "syntax/parser.hpp"
#include "syntax/process.hpp"

namespace zarnu_core {
namespace {

using ast::Node;
using ast::NodeKind;

Result<ast::Ast> recovered(std::string_view text) {
  return parse(text, ParseOptions{.recover = true});
}

// The diagnostics of the recovered tree ("CODE@start-end", a "w" after warnings), a line break, then the
// dump of the tree.
std::string R(std::string_view text) {
  auto tree = recovered(text);
  if (!tree) return "!" + std::string(tree.error().code());
  std::string out;
  for (const auto& d : tree->diagnostics) {
    if (!out.empty()) out += ' ';
    out += d.code + "@" + std::to_string(d.start) + "-" + std::to_string(d.end) + (d.kind == 1 ? "w" : "");
  }
  return out + "\n" + zarnu_test::dump(tree->root);
}

// Every error a recovering parse records, located: the parser's, then the processing pass's (the entry's
// check of the root is left out). A parse that the nesting limit ends gives that error alone.
std::vector<error::Error> recorded(std::string_view text) {
  std::vector<error::Error> out;
  auto parsed = parser::parse_text(text, true);
  if (!parsed) {
    out.push_back(std::move(parsed).error());
    return out;
  }
  out = std::move(parsed->errors);
  process::Processor processor(text, true);
  auto root = processor.process(std::move(parsed->root));
  if (!root) out.push_back(std::move(root).error());
  for (error::Error& e : processor.take_errors()) out.push_back(std::move(e));
  return out;
}

// "CODE@position", the span and the message of an error.
std::string described(const error::Error& e) {
  const ast::Span span = e.span().value_or(ast::Span{});
  return std::string(e.code()) + "@" + std::to_string(e.position().value_or(0)) + " " +
         std::to_string(span.start) + "-" + std::to_string(span.end) + " " + e.message();
}

// The first error node of a tree, in walk order.
const Node* first_error(const Node& root) {
  const Node* found = nullptr;
  root.walk([&](const Node& n) {
    if (!found && n.kind == NodeKind::Error) found = &n;
  });
  return found;
}

TEST(RecoverPlacement, EachFailureKind) {
  struct Case {
    const char* text;
    const char* expected;
  };
  const Case cases[] = {
      // A token the lexer cannot read is an error node where it stands.
      {R"("ab\q" & x)", "S0103@0-4\nbinary &\n  error S0103\n  path\n    name x\n"},
      // A missing closing symbol: the construct stands as if it were closed.
      {"(1", "S0203@2-2\nblock\n  number 1\n"},
      // An unexpected symbol is dropped and parsing goes on after it.
      {"a.(b;c}.d",
       "S0202@6-7\npath\n  name a\n  block\n    path\n      name b\n    path\n      name c\n  name d\n"},
      {"a b", "S0201@2-3\npath\n  name a\n"},
      // An operand that cannot start: an error node in its place; a closing symbol is left to its
      // construct.
      {"[1, +, 3]", "S0211@4-5\narray\n  number 1\n  error S0211\n  number 3\n"},
      {"f(1,)", "S0211@4-5\ncall\n  path\n    name f\n  number 1\n  error S0211\n"},
      // A binding or definition that cannot be built becomes an error node.
      {"function($x, y){ $x }", "S0208@13-14\nerror S0208\n"},
      {"function($x)<n<n>:n>{ $x }", "S0401@15-15\nerror S0401\n"},
      {"a := 1", "S0212@0-1\nerror S0212\n"},
      {"a@b", "S0214@2-3\nerror S0214\n"},
      // Processing errors: the error node takes the failing node's place.
      {"1 +", "S0207@3-3\nbinary +\n  number 1\n  error S0207\n"},
      {"a.5", "S0213@2-3\npath\n  name a\n  error S0213\n"},
      {"$x{'k': 1}[0]", "S0209@0-13\nerror S0209\n"},
      {"a{'k': 1}{'j': 2}", "S0210@0-17\nerror S0210\n"},
      {"a[0]@$v", "S0215@0-7\nerror S0215\n"},
      {"a^(b)@$v", "S0216@0-8\nerror S0216\n"},
      // A parent reference that reaches no step is recorded once, and no node changes.
      {"$.%", "S0217@0-1\npath seeking=[0]\n  variable $\n  parent slot=0 label=!0\n"},
      {"%", "S0217@0-1\nparent slot=0 label=!0\n"},
  };
  for (const Case& c : cases) EXPECT_EQ(R(c.text), c.expected) << c.text;
}

TEST(RecoverPlacement, ErrorNodesCarryTheirErrorAndItsPlace) {
  // Positions count UTF-16 code units: the emoji counts 2.
  auto tree = recovered("[\"😀\", +]");
  ASSERT_TRUE(tree);
  const Node* node = first_error(tree->root);
  ASSERT_NE(node, nullptr);
  EXPECT_EQ(node->error->code(), "S0211");
  EXPECT_EQ(node->error->token(), "+");
  EXPECT_EQ(node->span, (ast::Span{9, 10}));
  EXPECT_EQ(node->position, 10u);
  EXPECT_EQ(node->error->position(), 8u);
  EXPECT_EQ(node->position_utf16, 8u);
  ASSERT_EQ(tree->diagnostics.size(), 1u);
  EXPECT_EQ(tree->diagnostics[0].kind, 0);
  EXPECT_EQ(tree->diagnostics[0].message, "The symbol \"+\" cannot be used as a unary operator");

  // The error symbol has no value: an error raised at it leaves the detail "token" out.
  auto missing = recovered("(1");
  ASSERT_TRUE(missing);
  EXPECT_EQ(missing->diagnostics[0].message, "Expected \")\" before end of expression");
}

TEST(RecoverPlacement, SeveralErrorsAreAllRecordedInOrder) {
  EXPECT_EQ(R("[1, +, 3].(b;c}.$f(1,,2)"),
            "S0211@4-5 S0202@14-15 S0211@21-22\n"
            "path\n  array cons_array\n    number 1\n    error S0211\n    number 3\n"
            "  block\n    path\n      name b\n    path\n      name c\n"
            "  call\n    variable $f\n    number 1\n    error S0211\n    number 2\n");
  // Two unreadable strings in a row: each is read past as a whole.
  EXPECT_EQ(
      R(R"("a\q" & "b\u12" & x)"),
      "S0103@0-3 S0104@8-11\nbinary &\n  binary &\n    error S0103\n    error S0104\n  path\n    name x\n");
  // The parser's errors come first, then the processing pass's, each in the order found; the warnings
  // stay before them.
  EXPECT_EQ(R("a.5 + (1} /** d */"),
            "W0101@10-18w S0202@8-9 S0213@2-3\nbinary +\n  path\n    name a\n    error "
            "S0213\n  block\n    number 1\n");
  // A closing symbol that an enclosing construct waits for is left to it, and reported once.
  EXPECT_EQ(R("{'a': (1}"), "S0202@8-9\nobject\n  string \"a\"\n  block\n    number 1\n");
  EXPECT_EQ(R("[(a, b]"), "S0202@3-4\narray\n  block\n    path\n      name a\n  path\n    name b\n");
  EXPECT_EQ(R(")"), "S0211@0-1\nerror S0211\n");
}

TEST(RecoverAgreement, TokenThatCannotBeReadAfterAStuckSymbolComesFirst) {
  // Without recovery the closing symbol is consumed before it is found unable to start an operand, and
  // the token read after it fails first; recovering, that error is recorded first as well, and once.
  EXPECT_EQ(R(")!"), "S0204@1-2 S0211@0-1\nerror S0211\n");
  EXPECT_EQ(R("[1, ]\""), "S0101@5-6 S0211@4-5\narray\n  number 1\n  error S0211\n");
  EXPECT_EQ(R("f(1, ) ~ 2"),
            "S0204@7-8 S0211@5-6 S0201@9-10\ncall\n  path\n    name f\n  number 1\n  error S0211\n");
  EXPECT_EQ(R("{'a': }`b"), "S0105@7-9 S0211@6-7\nobject\n  string \"a\"\n  error S0211\n");
  // A token that reads in operator position is left to be read where the construct goes on.
  EXPECT_EQ(R("[1, ]/"),
            "S0211@4-5 S0207@6-6\nbinary /\n  array\n    number 1\n    error S0211\n  error S0207\n");
}

// Short broken texts of one to four tokens, mixing closing and separating symbols with tokens the lexer
// cannot read: the first error a recovering parse records is the one the plain parse fails with, in code,
// position, span and message; a text the plain parse accepts records nothing.
TEST(RecoverAgreement, FirstRecordedErrorIsThePlainParsesError) {
  const std::vector<std::string> tokens = {")", "]",  "}", ",",  ";",  ":",       "..",       "!",
                                           "~", "\"", "'", "`",  "1",  "a",       "[",        "{",
                                           "(", "+",  "/", "/*", "//", "\"\\q\"", "\"\\u1\"", "1e999"};
  // Four-token texts take their tokens from a smaller set.
  const std::vector<std::string> few = {")", "]", ",", ";", "!", "\"", "1", "a", "[", "("};
  std::vector<std::string> mismatches;
  std::size_t texts = 0;
  auto check = [&](const std::string& text) {
    ++texts;
    auto plain = parse(text);
    const std::vector<error::Error> errors = recorded(text);
    std::string got;
    if (plain) {
      if (!errors.empty()) got = "accepted but recorded " + described(errors[0]);
    } else if (errors.empty()) {
      // Only the entry's check of the root fails after a clean parse and processing.
      if (plain.error().code() != "S0217") got = "nothing recorded for " + described(plain.error());
    } else if (described(errors[0]) != described(plain.error())) {
      got = described(plain.error()) + " but first recorded " + described(errors[0]);
    }
    if (!got.empty()) mismatches.push_back("«" + text + "»: " + got);
  };
  // Every sequence of `length` tokens of `set`, written together and (with `spaced`) apart.
  auto each = [&](const std::vector<std::string>& set, std::size_t length, bool spaced) {
    std::vector<std::size_t> at(length, 0);
    for (;;) {
      std::string together, apart;
      for (std::size_t i = 0; i < length; ++i) {
        together += set[at[i]];
        apart += (i ? " " : "") + set[at[i]];
      }
      check(together);
      if (spaced) check(apart);
      std::size_t i = length;
      while (i > 0 && ++at[i - 1] == set.size()) at[--i] = 0;
      if (i == 0) return;
    }
  };
  for (std::size_t length = 1; length <= 3; ++length) each(tokens, length, true);
  each(few, 4, false);
  EXPECT_GT(texts, 30000u);
  if (mismatches.size() > 10) mismatches.resize(10);
  for (const std::string& m : mismatches) ADD_FAILURE() << m;
}

using zarnu_test::on_small_stack;

std::string repeated(std::size_t n, std::string_view part) {
  std::string out;
  for (std::size_t i = 0; i < n; ++i) out += part;
  return out;
}

TEST(RecoverLimits, NestingStillEndsTheParse) {
  on_small_stack([] {
    auto deep = recovered(repeated(1000, "(") + "1" + repeated(1000, ")"));
    ASSERT_FALSE(deep);
    EXPECT_EQ(deep.error().code(), "U1001");
    EXPECT_EQ(recovered(repeated(5000, "[")).error().code(), "U1001");
    // Every dropped symbol is an infix step of its level, so a long run of them meets the limit too.
    EXPECT_EQ(recovered("a" + repeated(2000, ")")).error().code(), "U1001");

    // Deep input with an error at every level parses, recording them all.
    auto broken = recovered(repeated(999, "(") + "1" + repeated(999, "}"));
    ASSERT_TRUE(broken);
    EXPECT_EQ(broken->diagnostics.size(), 999u);
    auto operands = recovered(repeated(999, "[+,") + "1" + repeated(999, "]"));
    ASSERT_TRUE(operands);
    EXPECT_EQ(operands->diagnostics.size(), 999u);
  });
}

// Error positions count the UTF-16 code units before each error's place: characters of two and three
// bytes count 1 and astral ones 2, before and between the errors, also where an error is recorded after
// one further on and where the processing pass begins again at the start.
TEST(RecoverPositions, CountUtf16UnitsBeforeEveryError) {
  const std::string text = "[\"😀\", é, +, €, (😀ü := !), 😀.5, \"é\\q\", x.5, ]~";
  std::string codes;
  std::vector<std::size_t> positions;
  for (const error::Error& e : recorded(text)) {
    codes += std::string(e.code()) + " ";
    positions.push_back(e.position().value_or(0));
    EXPECT_EQ(e.position(), utf::utf16_position(text, e.span()->end)) << described(e);
  }
  EXPECT_EQ(codes, "S0211 S0204 S0212 S0103 S0204 S0211 S0213 S0213 ");
  EXPECT_EQ(positions, (std::vector<std::size_t>{11, 25, 20, 37, 48, 47, 32, 44}));

  // An error placed well before the one recorded last: the call's place, after its "(".
  std::vector<std::string> back;
  for (const error::Error& e : recorded("😀(é+1) := !")) back.push_back(described(e));
  EXPECT_EQ(back, (std::vector<std::string>{
                      "S0204@12 14-15 Unknown operator: \"!\"",
                      "S0212@3 0-10 The left side of := must be a variable name (start with $)"}));
}

TEST(RecoverPositions, ManyErrorsInALongText) {
  // Each error is counted on from the one before, so a long text with an error every few characters
  // parses in time that grows with its length.
  const std::size_t n = 100000;
  const std::vector<error::Error> errors = recorded("[" + repeated(n, "+,") + "1]");
  ASSERT_EQ(errors.size(), n);
  std::size_t wrong = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const error::Error& e = errors[i];
    wrong += e.code() != "S0211" || e.span() != ast::Span{1 + 2 * i, 2 + 2 * i} || e.position() != 2 + 2 * i;
  }
  EXPECT_EQ(wrong, 0u);

  // Characters of every length between the errors, each position against a count from the start.
  std::string mixed = "[";
  for (std::size_t i = 0; i < 3000; ++i)
    mixed += std::string(i % 3 == 0 ? "😀" : i % 3 == 1 ? "é" : "€") + " + ,";
  mixed += "1]";
  const std::vector<error::Error> found = recorded(mixed);
  ASSERT_EQ(found.size(), 3000u);
  wrong = 0;
  for (const error::Error& e : found)
    wrong += e.code() != "S0211" || e.position() != utf::utf16_position(mixed, e.span()->end);
  EXPECT_EQ(wrong, 0u);
}

TEST(RecoverEvaluation, ErrorDiagnosticsRefuseEveryEntry) {
  auto tree = recovered("1 + )");
  ASSERT_TRUE(tree);
  const Expression expression = Expression::from_tree(std::move(*tree));
  auto expect_s0500 = [](const error::Error& e) {
    EXPECT_EQ(e.code(), "S0500");
    EXPECT_EQ(e.position(), 0u);
    EXPECT_EQ(e.span(), (ast::Span{0, 0}));
  };
  auto with = expression.evaluate_with({}, {});
  ASSERT_FALSE(with);
  expect_s0500(with.error());

  int calls = 0;
  value::JsonBuilder builder;
  auto input = [&](value::Sink& sink) -> std::optional<std::string> {
    ++calls;
    sink.push(value::Value::number(1));
    return std::nullopt;
  };
  auto sourced = expression.evaluate_source_to(input, {}, {}, builder);
  ASSERT_FALSE(sourced);
  expect_s0500(sourced.error());
  EXPECT_EQ(calls, 1);  // the input is still read first
  auto unreadable = [](value::Sink&) -> std::optional<std::string> { return "no input"; };
  EXPECT_EQ(expression.evaluate_source_to(unreadable, {}, {}, builder).error().code(), "U1004");

  Expression::Run run{Options{}.limits(), {}, nullptr};
  auto ran = expression.run(value::Value(), {}, run);
  ASSERT_FALSE(ran);
  expect_s0500(ran.error());

  // Warnings alone do not stop an evaluation.
  auto warned = recovered("1 /** d */");
  ASSERT_TRUE(warned);
  EXPECT_TRUE(Expression::from_tree(std::move(*warned)).evaluate_with({}, {}));
}

TEST(RecoverEvaluation, ErrorNodeReachedFailsWithItsSpan) {
  for (auto [text, span] :
       {std::pair{"[1, +, 3]", ast::Span{4, 5}}, std::pair{"{'a': 1}.5", ast::Span{9, 10}},
        std::pair{"true ? (1 +)", ast::Span{11, 12}}}) {
    auto tree = recovered(text);
    ASSERT_TRUE(tree) << text;
    tree->diagnostics.clear();
    auto result = Expression::from_tree(std::move(*tree)).evaluate_with({}, {});
    ASSERT_FALSE(result) << text;
    EXPECT_EQ(result.error().code(), "S0500") << text;
    EXPECT_EQ(result.error().position(), 0u) << text;
    EXPECT_EQ(result.error().span(), span) << text;
  }
}

TEST(RecoverEvaluation, RecoverOffStillEndsAtTheFirstError) {
  for (const char* text : {"[1, +, 3]", "a.(b;c}.d", "$.%", "a.5", "\"a\\q\" & x"}) {
    auto plain = parse(text);
    ASSERT_FALSE(plain) << text;
    EXPECT_FALSE(Expression::compile(text)) << text;
  }
}

}  // namespace
}  // namespace zarnu_core
