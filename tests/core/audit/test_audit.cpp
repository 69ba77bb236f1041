// Audited evaluations end to end: real expressions run with the audit collector as the tracer, the
// audit tree's JSON form, the explanation, and the source snippets of the nodes.
#include <gtest/gtest.h>
#include <pthread.h>

#include <functional>
#include <string>

#include "audit/collector.hpp"
#include "audit/explain.hpp"
#include "audit/tree.hpp"
#include "eval/expression.hpp"
#include "helpers.hpp"
#include "small_stack.hpp"

using namespace zarnu_core;
using namespace zarnu_test;
using audit::Level;
using audit::Limits;

namespace {

const std::string kEllipsis = "\xE2\x80\xA6";

struct Audited {
  audit::AuditTree tree;
  audit::explain::Explanation explanation;
  std::uint64_t captured = 0;  // values the collector captured

  std::string json() const { return json::to_text(audit::to_json(tree)); }
  std::string root() const { return tree.root ? json::to_text(audit::to_json(*tree.root)) : "none"; }
  std::string text() const { return explanation.to_string(); }
};

// Runs an expression as an audited evaluation does: begin, the evaluation with the collector installed,
// end with its outcome, then the tree and its explanation. An empty input text means no input.
Audited audit_of(std::string_view expr, std::string_view input = "", Level level = Level::Decisions,
                 Limits limits = {}, const Bindings& bindings = {}) {
  auto e = Expression::compile(expr);
  EXPECT_TRUE(e) << expr;
  audit::collector::AuditCollector c(level, limits, audit::fnv1a_hex(input));
  c.begin(e->ast().source, 0);
  Expression::Run run{eval::Limits{}, Shared::create(), &c};
  const Value given = input.empty() ? Value() : J(std::string(input));
  // As the module does: a whole audit shares the input's objects.
  if (level == Level::Full) c.input(given);
  auto v = e->run(given, bindings, run);
  if (v) {
    Inspect view(*v);
    c.end({&view, nullptr});
  } else {
    c.end({nullptr, &v.error()});
  }
  const std::uint64_t captured = c.captured();
  Audited out{audit::assemble(std::move(c), "2026-01-31T12:00:00.000Z"), {}, captured};
  out.explanation = audit::explain::explain(out.tree);
  return out;
}

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

const char* kItems = R"({"items":[{"n":"a","p":5},{"n":"b","p":20},{"n":"c","p":1},{"n":"d","p":2}]})";

}  // namespace

TEST(AuditSnippet, CommentsWhiteSpaceAndCuts) {
  using audit::snippet;
  auto whole = [](std::string_view s, std::uint64_t max = 200) { return snippet(s, 0, s.size(), max); };
  EXPECT_EQ(whole("a /* note */ + b"), "a + b");
  EXPECT_EQ(whole("a/**/b"), "ab");
  EXPECT_EQ(whole("a /* open"), "a");
  EXPECT_EQ(whole("a /*/ b */ c"), "a c");
  EXPECT_EQ(whole("'x /* y */ z'"), "'x z'");  // quoted text is not looked at
  EXPECT_EQ(whole("x\n\t  y"), "x y");
  EXPECT_EQ(whole("\xC2\xA0 x\xE3\x80\x80y \xE2\x80\xA8"), "x y");  // U+00A0, U+3000, U+2028
  EXPECT_EQ(whole("  "), "");
  // The cut counts characters: four two-byte characters, then the ellipsis.
  EXPECT_EQ(whole("\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9", 4),
            "\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9" + kEllipsis);
  EXPECT_EQ(whole("abcd", 4), "abcd");
  EXPECT_EQ(whole("ab  cd", 3), "ab " + kEllipsis);
  EXPECT_EQ(whole("ab /* x */", 2), "ab");  // nothing kept follows the cut
  EXPECT_EQ(whole("a", 0), kEllipsis);
  // Spans that are not ranges of character boundaries give nothing.
  EXPECT_EQ(snippet("a + b", 2, 6, 200), "");
  EXPECT_EQ(snippet("a + b", 3, 2, 200), "");
  EXPECT_EQ(snippet("\xC3\xA9x", 1, 3, 200), "");
  EXPECT_EQ(snippet("\xC3\xA9x", 0, 1, 200), "");
  EXPECT_EQ(snippet("a + b", 4, 5, 200), "b");
}

TEST(AuditCollector, FilterRecordsCountItemsAndKeepTheFirstRejected) {
  Limits limits;
  limits.max_rejected = 2;
  limits.max_items = 1;
  Audited a = audit_of("items[p > 4].n", kItems, Level::Decisions, limits);
  // The predicate's own nodes are summed up by the record and left out of the tree.
  EXPECT_EQ(a.root(),
            R"({"node":0,"kind":"path","span":{"start":0,"end":12},"source":"items[p > 4]","output":["a",")" +
                kEllipsis +
                R"( 1 more"],"outcome":"value","filters":[{"node":2,"source":"p > 4","tested":4,)"
                R"("passed":2,"rejected":[{"n":"c","…":"1 more"},{"n":"d","…":"1 more"}]}]})");
  EXPECT_EQ(a.tree.node_count, 1u);
  EXPECT_EQ(a.text(),
            "result: [\"a\",\"b\"]\n"
            "\xE2\x80\xA2 [p > 4]: 2 of 4 items passed; rejected: {\"n\":\"c\",\"\xE2\x80\xA6\":\"1 "
            "more\"}, {\"n\":\"d\",\"\xE2\x80\xA6\":\"1 more\"}\n");

  // At level "full" the predicate's nodes are there, and so is every context.
  Audited full = audit_of("items[p > 4].n", kItems, Level::Full);
  EXPECT_TRUE(contains(full.root(), R"("kind":"binary","op":">")"));
  EXPECT_TRUE(contains(full.root(), R"("input":{"items":)"));
  EXPECT_TRUE(contains(full.root(), R"("filters":[{"node":2,"source":"p > 4","tested":4,"passed":2,)"));
}

TEST(AuditCollector, OneRecordPerPredicateAndNoneForNestedOnes) {
  // The step y is filtered once per item of x: one record adds both sequences up.
  Audited twice = audit_of("x.y[z > 1]", R"({"x":[{"y":[{"z":1},{"z":2}]},{"y":[{"z":3}]}]})");
  EXPECT_TRUE(contains(twice.root(), R"("filters":[{"node":3,"source":"z > 1","tested":3,"passed":2,)"));
  EXPECT_EQ(twice.root().find("\"filters\""), twice.root().rfind("\"filters\""));

  const char* nested = R"({"x":[{"y":[{"z":1},{"z":2}]},{"y":[{"z":0}]}]})";
  for (Level level : {Level::Decisions, Level::Full}) {
    Audited a = audit_of("x[y[z > 1]]", nested, level);
    std::string root = a.root();
    EXPECT_EQ(root.find("\"filters\""), root.rfind("\"filters\"")) << root;
    EXPECT_TRUE(contains(root, R"("source":"y[z > 1]","tested":2,"passed":1)")) << root;
    // Inside the outer predicate nothing is recorded at level "decisions", not even the comparison.
    EXPECT_EQ(contains(root, R"("op":">")"), level == Level::Full);
  }
}

TEST(AuditCollector, ConditionsRecordTheirBranch) {
  auto branch_of = [](std::string_view expr) {
    std::string root = audit_of(expr, R"({"a":0,"n":null})").root();
    auto at = root.find("\"branch\":\"");
    return at == std::string::npos ? "none recorded"
                                   : root.substr(at + 10, root.find('"', at + 10) - at - 10);
  };
  EXPECT_EQ(branch_of("a = 0 ? 1 : 2"), "then");
  EXPECT_EQ(branch_of("a = 1 ? 1 : 2"), "else");
  EXPECT_EQ(branch_of("a = 1 ? 1"), "none");
  EXPECT_EQ(branch_of("a ?: 5"), "else");
  EXPECT_EQ(branch_of("n ?? 5"), "then");
  EXPECT_EQ(branch_of("missing ?? 5"), "else");

  Audited a = audit_of("a = 1 ? 'one' : a = 0 ? 'zero'", R"({"a":0})");
  EXPECT_EQ(a.text(),
            "result: \"zero\"\n"
            "\xE2\x80\xA2 a = 1 ? 'one' : a = 0 ? 'zero' \xE2\x86\x92 \"zero\" [else]\n"
            "  \xE2\x9C\x98 a = 1 \xE2\x86\x92 false (0 = 1)\n"
            "  \xE2\x80\xA2 a = 0 ? 'zero' \xE2\x86\x92 \"zero\" [then]\n"
            "    \xE2\x9C\x94 a = 0 \xE2\x86\x92 true (0 = 0)\n");
}

TEST(AuditCollector, ShortCircuitsKeepOnlyTheDecidingOperands) {
  Audited a = audit_of("a > 1 or b = 2", R"({"a":5,"b":2})");
  EXPECT_TRUE(contains(a.root(), R"("op":"or","span":{"start":0,"end":14},"source":"a > 1 or b = 2",)"
                                 R"("output":true,"outcome":"true","shortCircuited":true,"children":[)"));
  // "or" reports no operands, so it has no line of its own; its right side never ran.
  EXPECT_EQ(a.text(), "result: true\n\xE2\x9C\x94 a > 1 \xE2\x86\x92 true (5 > 1)\n");

  // A label in front of a parenthesised "and" lands on the block; below it the "and" (no line of its
  // own) passes on only the operand that decided.
  Audited b = audit_of(R"(/** @label "both" */ (a < 1 and b = 2))", R"({"a":5,"b":2})");
  EXPECT_EQ(b.text(),
            "result: false\n"
            "\xE2\x9C\x98 both \xE2\x80\x94 (a < 1 and b = 2) \xE2\x86\x92 false\n"
            "  \xE2\x9C\x98 a < 1 \xE2\x86\x92 false (5 < 1)\n");
  Audited c = audit_of("(a = 5 and b = 3) and true", R"({"a":5,"b":2})");
  EXPECT_TRUE(contains(c.root(), R"("op":"and","span":{"start":0,"end":26})"));
  EXPECT_TRUE(contains(c.root(), "\"shortCircuited\":true"));
  // Below the false outer "and" only the false inner one is followed, and below that only b = 3.
  EXPECT_EQ(c.text(), "result: false\n\xE2\x9C\x98 b = 3 \xE2\x86\x92 false (2 = 3)\n");
}

TEST(AuditCollector, BindingsAndCalls) {
  Audited a = audit_of("($x := a; $y := nothing; $f := function($v) { $v > 1 }; $f($x))", R"({"a":2})");
  EXPECT_TRUE(contains(a.root(), R"("kind":"bind","op":"$x",)"));
  EXPECT_TRUE(contains(a.root(), R"("kind":"function","op":"$f")"));
  EXPECT_EQ(a.text(),
            "result: true\n"
            "\xE2\x80\xA2 $x := a = 2\n"
            "\xE2\x80\xA2 $y := nothing = undefined\n"
            "\xE2\x80\xA2 $f := function($v) { $v > 1 } = \"<function>\"\n"
            "\xE2\x9C\x94 $f($x) \xE2\x86\x92 true\n"
            "  \xE2\x9C\x94 $v > 1 \xE2\x86\x92 true (2 > 1)\n");
  // A call through anything but a variable or a path has no op; a name is known by its path step.
  EXPECT_FALSE(
      contains(audit_of("(function($v) { $v })(1)", "", Level::Full).root(), R"("kind":"function","op")"));
  EXPECT_TRUE(contains(audit_of("a.$string(b)", R"({"a":{"b":1}})", Level::Full).root(),
                       R"("kind":"function","op":"$string")"));
}

TEST(AuditCollector, AnnotationsReachTheTreeAndTheExplanation) {
  const char* expr = R"(/** @label "adult" @message "must be 18 or over" @id "age-1" */ age >= 18)";
  Audited young = audit_of(expr, R"({"age":12})");
  EXPECT_EQ(young.root(),
            R"({"node":0,"kind":"binary","op":">=","span":{"start":64,"end":73},"source":"age >= 18",)"
            R"("label":"adult","message":"must be 18 or over","checkId":"age-1","output":false,)"
            R"("outcome":"false","operands":[12,18]})");
  EXPECT_EQ(young.text(),
            "result: false\n"
            "\xE2\x9C\x98 adult \xE2\x80\x94 age >= 18 \xE2\x86\x92 false (12 >= 18)\n"
            "    must be 18 or over\n");
  // The message is for failures only.
  Audited old = audit_of(expr, R"({"age":40})");
  EXPECT_EQ(old.text(),
            "result: true\n\xE2\x9C\x94 adult \xE2\x80\x94 age >= 18 \xE2\x86\x92 true (40 >= 18)\n");
  EXPECT_EQ(
      json::to_text(old.explanation.to_json()),
      R"x({"result":"true","lines":[{"depth":0,"passed":true,"text":"adult — age >= 18 → true (40 >= 18)","node":0}]})x");
  // An annotated node that decides nothing is kept; a labelled predicate labels its record.
  Audited kept = audit_of(R"(items[/** @label "cheap" */ p < 3].(/** @id "name" */ n))", kItems);
  EXPECT_TRUE(contains(kept.root(), R"("label":"cheap","tested":4,"passed":2,)"));
  EXPECT_TRUE(contains(kept.root(), R"("checkId":"name","output":"c")"));
  EXPECT_TRUE(
      contains(kept.text(), "\xE2\x80\xA2 cheap \xE2\x80\x94 [p < 3]: 2 of 4 items passed; rejected: "));
}

TEST(AuditCollector, FailuresAreRecorded) {
  Audited a = audit_of("[1, 2 + 'x', 3]");
  // The failing operator is kept at level "decisions" though it decides nothing.
  EXPECT_TRUE(contains(a.root(), R"("kind":"binary","op":"+","span":{"start":4,"end":11},"source":"2 + 'x'",)"
                                 R"("outcome":"error","error":{"code":"T2002",)"));
  EXPECT_TRUE(a.tree.header.error);
  EXPECT_FALSE(a.tree.header.result);
  EXPECT_TRUE(contains(a.json(), R"("level":"decisions","error":{"code":"T2002","message":")"));
  EXPECT_EQ(a.explanation.result, "error T2002: " + a.tree.header.error->message);
  EXPECT_TRUE(contains(a.text(), "\xE2\x80\xA2 2 + 'x' \xE2\x86\x92 error T2002: "));
}

TEST(AuditCollector, NodeLimitTruncates) {
  const char* input = R"({"a":1,"b":2,"c":3})";
  const char* expr = "a = 1 and b = 2 and c = 3";
  EXPECT_EQ(audit_of(expr, input).tree.node_count, 5u);
  for (std::uint64_t max : {0, 1}) {
    Limits limits;
    limits.max_nodes = max;
    Audited a = audit_of(expr, input, Level::Decisions, limits);
    EXPECT_EQ(a.tree.node_count, 1u);
    EXPECT_TRUE(a.tree.truncated);
    EXPECT_FALSE(contains(a.root(), "children"));
  }
  Limits limits;
  limits.max_nodes = 3;
  Audited a = audit_of(expr, input, Level::Decisions, limits);
  // Children are counted before their parents: "a = 1" and "b = 2" take the two places below the root,
  // then their parent "and" finds the tree full and goes with them, yet they stay counted.
  EXPECT_EQ(a.tree.node_count, 3u);
  EXPECT_TRUE(a.tree.truncated);
  EXPECT_FALSE(contains(a.root(), "children"));
  EXPECT_TRUE(contains(a.json(), R"("nodeCount":3,"truncated":true})"));
}

TEST(AuditCollector, AFullTreeCapturesNothingMore) {
  // Past the node limit nothing below the root can remain, so nothing is captured for it: the work of
  // the audit stays bounded by its limits however long the evaluation runs.
  Limits limits;
  limits.max_nodes = 10;
  for (Level level : {Level::Decisions, Level::Full}) {
    for (const char* expr : {"$map([1..4000], function($x){ $x > 5 ? {'v': $x} : -$x })",
                             "[1..4000].($x := $; $x % 7 = 0 or $x < 3)", "[[1..4000]][$ > 2][$ < 3]"}) {
      Audited a = audit_of(expr, "", level, limits);
      EXPECT_LE(a.tree.node_count, 10u) << expr;
      EXPECT_LE(a.captured, 64u) << expr;
      EXPECT_EQ(a.tree.truncated, a.tree.node_count == 10u) << expr;
    }
  }
  // Below the limit the audit is whole: the root, the range's four nodes, four nodes per item.
  Audited whole = audit_of("[1..30].($ > 5)", "", Level::Full);
  EXPECT_EQ(whole.tree.node_count, 1u + 4 + 30 * 4);
  EXPECT_FALSE(whole.tree.truncated);
}

TEST(AuditCollector, NodesWithTheSameContextShareItsCapture) {
  // The four nodes of each item's predicate see the item: one capture, written out for each of them.
  Audited a = audit_of("items[p > 4].n", kItems, Level::Full);
  const std::string root = a.root();
  for (const char* item : {R"({"n":"a","p":5})", R"({"n":"b","p":20})", R"({"n":"c","p":1})"}) {
    const std::string input = std::string(R"("input":)") + item;
    std::size_t count = 0;
    for (std::size_t at = root.find(input); at != std::string::npos; at = root.find(input, at + 1)) ++count;
    // The items kept are the context of their name's node too.
    EXPECT_EQ(count, std::string_view(item).find("\"c\"") != std::string_view::npos ? 4u : 5u) << item;
  }
  // Captured: seven contexts (the input, each item once, the two items whose names are read), one output
  // per node, both operands of the four comparisons and the two rejected items.
  EXPECT_EQ(a.tree.node_count, 20u);
  EXPECT_EQ(a.captured, 7u + 20 + 8 + 2);
}

TEST(AuditCollector, LevelOffRecordsOnlyTheOutcome) {
  Audited a = audit_of("items[p > 4].n", kItems, Level::Off);
  EXPECT_EQ(a.json(), R"({"header":{"engine":"zarnu-core 0.19.0","expressionHash":")" +
                          audit::fnv1a_hex("items[p > 4].n") + R"(","inputHash":")" +
                          audit::fnv1a_hex(kItems) +
                          R"(","timestamp":"2026-01-31T12:00:00.000Z","durationMs":)" +
                          json::to_text(Json(a.tree.header.duration_ms)) +
                          R"(,"level":"off","result":["a","b"]},"nodeCount":0,"truncated":false})");
  EXPECT_EQ(a.text(), "result: [\"a\",\"b\"]\n");
}

TEST(AuditTree, HeaderAndNodeShape) {
  EXPECT_EQ(audit::fnv1a_hex(""), "cbf29ce484222325");
  EXPECT_EQ(audit::fnv1a_hex("a"), "af63dc4c8601ec8c");
  Audited a = audit_of("x = 1", R"({"x":1})");
  EXPECT_EQ(a.tree.header.expression_hash, audit::fnv1a_hex("x = 1"));
  EXPECT_GE(a.tree.header.duration_ms, 0);
  // An undefined left operand is written as null; no other optional key appears.
  EXPECT_EQ(audit_of("y = 1", R"({"x":1})").root(),
            R"({"node":0,"kind":"binary","op":"=","span":{"start":0,"end":5},"source":"y = 1",)"
            R"("output":false,"outcome":"false","operands":[null,1]})");
  // An undefined result: neither result nor error in the header, and "undefined" explained.
  Audited none = audit_of("nothing");
  EXPECT_TRUE(contains(none.json(), R"("level":"decisions"},"root":)"));
  EXPECT_EQ(none.root(), R"({"node":0,"kind":"path","span":{"start":0,"end":7},"source":"nothing",)"
                         R"("outcome":"undefined"})");
  EXPECT_EQ(none.text(), "result: undefined\n");
  // A collector that never began: empty source, the empty text's hash, no root, zero duration.
  audit::AuditTree idle =
      audit::assemble(audit::collector::AuditCollector(Level::Full, {}, "cbf29ce484222325"), "epoch");
  EXPECT_EQ(json::to_text(audit::to_json(idle)),
            R"({"header":{"engine":"zarnu-core 0.19.0","expressionHash":"cbf29ce484222325",)"
            R"("inputHash":"cbf29ce484222325","timestamp":"epoch","durationMs":0,"level":"full"},)"
            R"("nodeCount":0,"truncated":false})");
  EXPECT_TRUE(audit::to_json(idle)["header"]["durationMs"].is_number_float());
}

TEST(AuditExplanation, ShortCircuitedOrLine) {
  // Doc comments never land on "and" or "or" nodes, so this line is only seen in a tree built by hand.
  audit::AuditNode any;
  any.kind = "binary";
  any.op = "or";
  any.label = "either";
  any.message = "shown for failures only";
  any.source = "a or b";
  any.output = value::Value::boolean(true);
  any.outcome = audit::NodeOutcome::True;
  any.short_circuited = true;
  for (bool truth : {false, true}) {
    audit::AuditNode& operand = any.children.emplace_back();
    operand.kind = "path";
    operand.label = truth ? "yes" : "no";
    operand.outcome = truth ? audit::NodeOutcome::True : audit::NodeOutcome::False;
  }
  audit::explain::Explanation e{"true", {}};
  audit::explain::explain_node(any, 0, e.lines);
  EXPECT_EQ(e.to_string(),
            "result: true\n"
            "\xE2\x9C\x94 either \xE2\x80\x94 a or b \xE2\x86\x92 true (right side not evaluated)\n"
            "  \xE2\x9C\x94 yes \xE2\x80\x94  \xE2\x86\x92 undefined\n");
}

TEST(AuditExplanation, DepthPassesThroughQuietNodes) {
  audit::AuditNode root;
  root.kind = "block";
  root.source = "(...)";
  audit::AuditNode& quiet = root.children.emplace_back();
  quiet.kind = "path";
  audit::AuditNode& check = quiet.children.emplace_back();
  check.kind = "binary";
  check.op = "=";
  check.node = 7;
  check.source = "a = 1";
  check.outcome = audit::NodeOutcome::True;
  check.operands.emplace(value::Value::number(1), value::Value());
  check.children.emplace_back().branch = audit::Branch::None;
  std::vector<audit::explain::ExplanationLine> lines;
  audit::explain::explain_node(root, 2, lines);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].depth, 2u);  // below two nodes without lines
  EXPECT_EQ(lines[0].text, "a = 1 \xE2\x86\x92 undefined (1 = undefined)");
  EXPECT_EQ(lines[1].depth, 3u);
  EXPECT_EQ(lines[1].text, " \xE2\x86\x92 undefined [no branch]");
  audit::explain::Explanation e{"1", std::move(lines)};
  EXPECT_EQ(e.to_string(),
            "result: 1\n    \xE2\x9C\x94 a = 1 \xE2\x86\x92 undefined (1 = undefined)\n"
            "      \xE2\x80\xA2  \xE2\x86\x92 undefined [no branch]\n");
}

TEST(AuditExplanation, StopsWithTheTimeLimit) {
  // The explanation of a large result and a large tree is written under the evaluation's time limit.
  Audited a = audit_of("[1..3000].($ > 5)");
  ASSERT_EQ(a.explanation.lines.size(), 3000u);
  eval::Limits limits;
  limits.timeout = std::chrono::nanoseconds(0);
  eval::Evaluator clock(limits, {});
  audit::Poll poll(clock, audit::kPollInterval);
  const audit::explain::Explanation cut = audit::explain::explain(a.tree, &poll);
  ASSERT_TRUE(poll.failure());
  EXPECT_EQ(poll.failure()->code(), "D1012");
  EXPECT_LT(cut.lines.size(), 100u);
  EXPECT_LT(cut.result.size(), 1000u);
  audit::Poll never;
  EXPECT_EQ(audit::explain::explain(a.tree, &never).to_string(), a.text());
}

TEST(AuditCollector, DeepTreesOnASmallStack) {
  // A recursion a few thousand calls deep at level "full" builds an audit tree nested as deep; building,
  // writing, explaining and releasing it must not depend on the thread's stack.
  on_small_stack(
      [] {
        Limits limits;
        limits.max_nodes = 1000000;
        Audited a = audit_of("($f := function($n) { $n = 0 ? 0 : 1 + $f($n - 1) }; $f(2000))", "",
                             Level::Full, limits);
        ASSERT_TRUE(a.tree.header.result);
        EXPECT_EQ(json::to_text(*a.tree.header.result), "2000");
        EXPECT_GT(a.tree.node_count, 10000u);
        EXPECT_GT(a.json().size(), 1000000u);
        EXPECT_EQ(a.explanation.lines.size(),
                  1 + 2 * 2001u);  // the binding, then a condition and a test per call
      },
      256 * 1024);
}

TEST(AuditSnapshot, SharesArraysAndStringsWithinTheLimitsAndCopiesObjects) {
  Limits limits;
  limits.max_string = 3;
  auto text = [&](const Value& v) {
    auto json = audit::snapshot_json(audit::snapshot(v, limits, 0));
    return json ? json::to_text(*json) : std::string("absent");
  };
  const Value scalars = J(R"([1,"ab",[true,null]])");
  EXPECT_TRUE(audit::snapshot(scalars, limits, 0).same_payload(scalars));
  // A string cut deep inside: the arrays on its way are made anew, their other items shared.
  const Value mixed = J(R"([["ab"],["abcdef"]])");
  const Value taken = audit::snapshot(mixed, limits, 0);
  ASSERT_TRUE(taken.is_array());
  EXPECT_FALSE(taken.same_payload(mixed));
  EXPECT_TRUE(taken.as_array().read()[0].same_payload(mixed.as_array().read()[0]));
  EXPECT_EQ(text(mixed), R"([["ab"],["abc)" + kEllipsis + R"("]])");
  // An object is copied, its strings and arrays shared; one known to be unchanging is shared.
  const Value object = J(R"({"n":"ab","p":[1,2],"o":{"q":"c"}})");
  const Value copied = audit::snapshot(object, limits, 0);
  ASSERT_TRUE(copied.is_object());
  EXPECT_FALSE(copied.same_payload(object));
  EXPECT_TRUE(
      copied.as_object().fields.find("p")->second.same_payload(object.as_object().fields.find("p")->second));
  EXPECT_EQ(text(copied), R"({"n":"ab","p":[1,2],"o":{"q":"c"}})");
  EXPECT_TRUE(audit::objects_of(J(R"([0,"a"])")).empty());
  const audit::Unchanging input = audit::objects_of(object);
  EXPECT_EQ(input.size(), 2u);
  EXPECT_TRUE(audit::snapshot(object, limits, 0, &input).same_payload(object));
  limits.max_depth = 1;
  const Value cut = audit::snapshot(object, limits, 0, &input);
  EXPECT_FALSE(cut.same_payload(object));
  EXPECT_EQ(text(cut), R"({"n":"ab","p":")" + kEllipsis + R"(","o":")" + kEllipsis + R"("})");
  limits.max_depth = 4;
  // Undefined items show as null and undefined members go, though they count against the items kept.
  Items items;
  items.push_back(Value());
  items.push_back(Value::number(1));
  EXPECT_EQ(text(Value::sequence(std::move(items))), "[null,1]");
  Value o = Value::object();
  o.as_object().fields.try_emplace(Str::make("u"), Value());
  o.as_object().fields.try_emplace(Str::make("a"), Value::number(1));
  EXPECT_EQ(text(o), R"({"a":1})");
  limits.max_items = 1;
  EXPECT_EQ(text(o), R"({")" + kEllipsis + R"(":"1 more"})");
  // A member already named like the count entry gives it its place, as a repeated key does.
  EXPECT_EQ(text(J(R"({")" + kEllipsis + R"(":1,"a":2})")), R"({")" + kEllipsis + R"(":"1 more"})");
  EXPECT_EQ(text(Value()), "absent");
}

TEST(AuditSnapshot, CapturesHeldByTheTreeStayWhatTheNodesGave) {
  // The range's result is captured as its node's output; the array built from it must not take its items
  // over while the capture holds them.
  Audited a = audit_of("[1..3, 7]", "", Level::Full);
  EXPECT_TRUE(contains(a.root(), R"("source":"1..3","output":[1,2,3])")) << a.root();
  EXPECT_TRUE(contains(a.root(), R"("output":[1,2,3,7])")) << a.root();
}

TEST(AuditSnapshot, ObjectsATransformChangesShowAsTheyWereWhenCaptured) {
  // The pattern's step gives the objects of the transform's copy, which the update then changes in place.
  Audited a = audit_of(R"($ ~> |items|{"added": true}|)", kItems, Level::Full);
  const std::string root = a.root();
  EXPECT_TRUE(contains(
      root,
      R"("source":"items","input":{"items":[{"n":"a","p":5},{"n":"b","p":20},{"n":"c","p":1},{"n":"d","p":2}]},"output":[{"n":"a","p":5},{"n":"b","p":20},)"))
      << root;
  // The update's context is the item before its change; the next item's, after the first one changed.
  EXPECT_TRUE(contains(root, R"("source":"{\"added\": true}","input":{"n":"b","p":20},)")) << root;
  EXPECT_TRUE(contains(json::to_text(*a.tree.header.result), R"({"n":"a","p":5,"added":true})"));
}

TEST(AuditSnapshot, ContextsAreTakenAgainWhenTheyMayHaveChanged) {
  // The removal runs on the item after the update added to it.
  Audited a = audit_of(R"($ ~> |items|{"added": true}, ["p"]|)", kItems, Level::Full);
  const std::string root = a.root();
  EXPECT_TRUE(contains(root, R"("source":"[\"p\"]","input":{"n":"a","p":5,"added":true},)")) << root;
  EXPECT_TRUE(contains(root, R"("source":"{\"added\": true}","input":{"n":"a","p":5},)")) << root;
}
