// The processing pass and the parse entry: the shapes of processed trees (paths, stages, bindings, parent
// slots, group-by, order-by), tail calls, frame marks, constants, node numbering and positions, and deep
// expressions on a small stack.
#include <gtest/gtest.h>
#include <pthread.h>

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "ast_dump.hpp"
#include "syntax/parse.hpp"
#include "syntax/parser.hpp"
#include "syntax/process.hpp"

namespace zarnu_core::process {
namespace {

using ast::Node;
using ast::NodeKind;
using zarnu_test::dump;

// The dump of the processed tree of `text`, or "!CODE" when it does not parse.
std::string D(std::string_view text) {
  auto tree = parse(text);
  if (!tree) return "!" + std::string(tree.error().code());
  return dump(tree->root);
}

// The error of a text that must fail.
error::Error E(std::string_view text) {
  auto tree = parse(text);
  if (tree) {
    ADD_FAILURE() << "parsed: " << text << "\n" << dump(tree->root);
    return error::Error("X0000");
  }
  return std::move(tree).error();
}

ast::Ast A(std::string_view text) {
  auto tree = parse(text);
  if (!tree) throw std::runtime_error(std::string(text) + ": " + tree.error().debug());
  return std::move(*tree);
}

TEST(ProcessPath, FlattensChainsAndTurnsStringStepsIntoNames) {
  EXPECT_EQ(D(R"(a."b".c)"), "path\n  name a\n  name b\n  name c\n");
  EXPECT_EQ(D(R"("a".b)"), "path\n  name a\n  name b\n");
}

TEST(ProcessPath, LiteralStepIsReportedWithItsValue) {
  auto e = E("a.5");
  EXPECT_EQ(e.code(), "S0213");
  ASSERT_NE(e.detail("value"), nullptr);
  EXPECT_TRUE(e.detail("value")->is_number_integer());  // renders as 5, not 5.0
  EXPECT_EQ(*e.detail("value"), 5);
  EXPECT_EQ(e.position(), 3u);
  EXPECT_EQ(e.span(), (ast::Span{2, 3}));
  EXPECT_EQ(*E("a.true").detail("value"), true);
  EXPECT_TRUE(E("a.null").detail("value")->is_null());
  EXPECT_EQ(*E("1.5.a").detail("value"), 1.5);
  EXPECT_EQ(*E("a.-2").detail("value"), -2);
  // Only the first literal step is reported.
  auto first = E("a.1.b.2");
  EXPECT_EQ(*first.detail("value"), 1);
  EXPECT_EQ(first.position(), 3u);
  // A literal wrapped into a path by "#" is caught when the path grows.
  EXPECT_EQ(E("5#$i.a").code(), "S0213");
}

TEST(ProcessPath, PredicatesOfNonStepsMoveIntoStagesOnBecomingSteps) {
  EXPECT_EQ(D("$x[0]"), "variable $x\n  [pred const]\n    number 0\n");
  EXPECT_EQ(D("a.$x[0]"), "path\n  name a\n  variable $x\n    [filter const]\n      number 0\n");
  // The first step of a path is not re-filed: its predicates stay with it.
  EXPECT_EQ(D("$x[0].a"), "path\n  variable $x\n    [pred const]\n      number 0\n  name a\n");
  EXPECT_EQ(D("a.b[c][-(1 + 2)]"),
            "path\n  name a\n  name b\n    [filter]\n      path\n        name c\n    [filter const]\n"
            "      negate\n        block\n          binary +\n            number 1\n            number 2\n");
}

TEST(ProcessPath, FilterSpans) {
  auto tree = A("a.b[0]");
  const Node& b = tree.root.children[1];
  EXPECT_EQ(b.span, (ast::Span{2, 6}));
  EXPECT_EQ(b.a().stages[0].span, (ast::Span{3, 6}));
  auto top = A("[0][0]");
  EXPECT_EQ(top.root.a().predicates[0].span, (ast::Span{3, 6}));
  EXPECT_EQ(top.root.span, (ast::Span{0, 6}));
}

TEST(ProcessPath, FocusBindings) {
  EXPECT_EQ(D("a@$v[0]"), "path\n  name a tuple focus=$v\n    [filter const]\n      number 0\n");
  auto stages = E("a[0]@$v");
  EXPECT_EQ(stages.code(), "S0215");
  EXPECT_EQ(stages.position(), 5u);
  EXPECT_EQ(stages.span(), (ast::Span{0, 7}));
  EXPECT_EQ(E("$x[0]@$v").code(), "S0215");
  EXPECT_EQ(E("a^(b)@$v").code(), "S0216");
  // "[]" written after the binding keeps the bound step's result an array.
  EXPECT_EQ(D("a@$v[]"), "path keep_array\n  name a keep_array tuple focus=$v\n");
}

TEST(ProcessPath, IndexBindings) {
  EXPECT_EQ(D("a#$i"), "path\n  name a tuple index=$i\n");
  EXPECT_EQ(D("a[0]#$i"), "path\n  name a tuple\n    [filter const]\n      number 0\n    [index $i]\n");
  EXPECT_EQ(D("$x#$i"), "path\n  variable $x tuple index=$i\n");
  EXPECT_EQ(D("$x[0]#$i"), "path\n  variable $x tuple\n    [filter const]\n      number 0\n    [index $i]\n");
  auto tree = A("a[0]#$i");
  EXPECT_EQ(tree.root.children[0].a().stages[1].span, (ast::Span{4, 7}));
  EXPECT_EQ(tree.root.span, (ast::Span{0, 7}));
}

TEST(ProcessPath, GroupByAttachesToTheWholeNode) {
  EXPECT_EQ(D(R"(a{"k": b}[0])"),
            "path\n  name a\n    [filter const]\n      number 0\n  {group}\n    string \"k\"\n    path\n"
            "      name b\n");
  auto after = E(R"($x{"k": 1}[0])");
  EXPECT_EQ(after.code(), "S0209");
  EXPECT_EQ(after.position(), 11u);
  auto twice = E(R"(a{"k": 1}{"j": 2})");
  EXPECT_EQ(twice.code(), "S0210");
  EXPECT_EQ(twice.position(), 10u);
  auto tree = A(R"(a{"k": 1})");
  EXPECT_EQ(tree.root.group()->span, (ast::Span{1, 9}));
  EXPECT_EQ(tree.root.span, (ast::Span{0, 9}));
}

TEST(ProcessPath, OrderByIsAStep) {
  EXPECT_EQ(D("a^(>b, c)"), "path\n  name a\n  sort > <\n    path\n      name b\n    path\n      name c\n");
  EXPECT_EQ(D("$x^(b)"), "path\n  variable $x\n  sort <\n    path\n      name b\n");
  EXPECT_EQ(D("a.b^(%.x)"),
            "path\n  name a\n  name b tuple ancestor=0 label=!0\n  sort < seeking=[0]\n    path seeking=[0]\n"
            "      parent slot=0 label=!0\n      name x\n");
}

TEST(ProcessPath, ArrayConstructorSteps) {
  EXPECT_EQ(D("[1,2].a"), "path\n  array cons_array\n    number 1\n    number 2\n  name a\n");
  EXPECT_EQ(D("a.[1,2]"), "path\n  name a\n  array cons_array\n    number 1\n    number 2\n");
  // A step that was last when the shorter path a.[1] was built keeps its flag.
  EXPECT_EQ(D("a.[1].b"), "path\n  name a\n  array cons_array\n    number 1\n  name b\n");
  EXPECT_EQ(D("[1]"), "array\n  number 1\n");
  EXPECT_EQ(D("([1].a)"), "block cons_array\n  path\n    array cons_array\n      number 1\n    name a\n");
}

TEST(ProcessPath, KeepArray) {
  EXPECT_EQ(D("a[]"), "path keep_array keep_singleton\n  name a keep_array\n");
  EXPECT_EQ(D("a.b[]"), "path keep_singleton\n  name a\n  name b keep_array\n");
  EXPECT_EQ(
      D("a[0][].b"),
      "path keep_array keep_singleton\n  name a keep_array\n    [filter const]\n      number 0\n  name b\n");
  EXPECT_EQ(D("$x ~> $f[]"), "apply keep_array\n  variable $x\n  variable $f keep_array\n");
}

TEST(ProcessParent, ResolvesToTheStepWhoseInputItNames) {
  EXPECT_EQ(D("a.b.%"), "path\n  name a\n  name b tuple ancestor=0 label=!0\n  parent slot=0 label=!0\n");
  // A "%" one level down in a predicate names the input of the filtered step.
  EXPECT_EQ(D("a.b.c[%.x]"),
            "path\n  name a\n  name b\n  name c tuple ancestor=0 label=!0 seeking=[0]\n    [filter]\n"
            "      path seeking=[0]\n        parent slot=0 label=!0\n        name x\n");
  // The second "%" climbs over the first.
  EXPECT_EQ(D("a.b.c.%.%"),
            "path\n  name a\n  name b tuple ancestor=1 label=!1\n  name c tuple ancestor=0 label=!0\n"
            "  parent slot=0 label=!0\n  parent slot=1 label=!1\n");
  EXPECT_EQ(
      D("(a; b).%"),
      "path\n  block tuple\n    path\n      name a\n    path tuple\n      name b tuple ancestor=0 label=!0\n"
      "  parent slot=0 label=!0\n");
  EXPECT_EQ(D("a.*.%"), "path\n  name a\n  wildcard tuple ancestor=0 label=!0\n  parent slot=0 label=!0\n");
}

TEST(ProcessParent, ClimbsThroughNestedPaths) {
  // The outer "%" enters the block's path, climbs over its "%" step and its b step, then reaches a.
  EXPECT_EQ(
      D("a.(b.%).%"),
      "path\n  name a tuple ancestor=1 label=!1\n  block tuple\n    path tuple\n"
      "      name b tuple ancestor=0 label=!0\n      parent slot=0 label=!0\n  parent slot=1 label=!1\n");
}

TEST(ProcessParent, NeighbouringFocusStepsCountAsOne) {
  EXPECT_EQ(D("a@$x.b@$y.%"),
            "path\n  name a tuple focus=$x ancestor=0 label=!0\n  name b tuple focus=$y\n"
            "  parent slot=0 label=!0\n");
  EXPECT_EQ(D("a.b@$y.%"),
            "path\n  name a\n  name b tuple focus=$y ancestor=0 label=!0\n  parent slot=0 label=!0\n");
}

TEST(ProcessParent, ReferencesResolvedAtOneStepShareItsLabel) {
  EXPECT_EQ(
      D("a.b[%.x = %.y]"),
      "path\n  name a\n  name b tuple ancestor=1 label=!0 seeking=[0,1]\n    [filter]\n"
      "      binary = seeking=[0,1]\n        path seeking=[0]\n          parent slot=0 label=!0\n"
      "          name x\n        path seeking=[1]\n          parent slot=1 label=!0\n          name y\n");
  auto tree = A("a.b[%.x = %.y]");
  ASSERT_EQ(tree.slots.size(), 2u);
  EXPECT_EQ(tree.slots[0].label, "!0");
  EXPECT_EQ(tree.slots[1].label, "!0");
  EXPECT_EQ(tree.slots[1].level, 0u);
}

TEST(ProcessParent, UnresolvableReferences) {
  struct Case {
    const char* text;
    const char* token;
    std::size_t position;
  };
  for (const Case& c :
       {Case{"%.%.x", "path", 1}, Case{"$.%", "variable", 1}, Case{"%", "parent", 1},
        Case{"1 + %", "binary", 3}, Case{"$a := %.b", "bind", 5}, Case{"a.$f().%", "function", 5},
        Case{"a.\"s\"[%.x]", "string", 5}, Case{"$x[%.y]", "variable", 2}}) {
    auto e = E(c.text);
    EXPECT_EQ(e.code(), "S0217") << c.text;
    EXPECT_EQ(e.token(), c.token) << c.text;
    EXPECT_EQ(e.position(), c.position) << c.text;
  }
  EXPECT_EQ(E("%").span(), (ast::Span{0, 1}));
}

TEST(ProcessParent, NothingIsSoughtThroughLambdasTransformsApplyOrGroupBy) {
  EXPECT_EQ(D("function(){ % }"), "lambda ()\n  parent slot=0 label=!0\n");
  EXPECT_EQ(D("$x ~> %"), "apply\n  variable $x\n  parent slot=0 label=!0\n");
  EXPECT_EQ(D("a{%: 1}"), "path\n  name a\n  {group}\n    parent slot=0 label=!0\n    number 1\n");
}

TEST(ProcessNodes, KindsAndOperators) {
  EXPECT_EQ(D("-5"), "number -5\n");
  EXPECT_EQ(A("-5").root.span, (ast::Span{0, 2}));
  EXPECT_EQ(D("-(5)"), "negate\n  block\n    number 5\n");
  EXPECT_EQ(D(R"(-"a")"), "negate\n  string \"a\"\n");
  EXPECT_EQ(D("$f(?, 2)"), "partial\n  variable $f\n  placeholder\n  number 2\n");
  EXPECT_EQ(D("1 and 2"), "binary and\n  number 1\n  number 2\n");
  EXPECT_EQ(D("[1..3]"), "array\n  binary ..\n    number 1\n    number 3\n");
  EXPECT_EQ(D("$a ?: $b"), "default ?:\n  variable $a\n  variable $b\n");
  EXPECT_EQ(D("$a ?? $b"), "default ??\n  variable $a\n  variable $b\n");
  EXPECT_EQ(D("/x+/i"), "regex /x+/i\n");
  EXPECT_EQ(D("{'a': true, 'b': null}"), "object\n  string \"a\"\n  bool true\n  string \"b\"\n  null\n");
  EXPECT_EQ(D("|a|{'b': 1}, 'c'|"),
            "transform\n  path\n    name a\n  object\n    string \"b\"\n    number 1\n  string \"c\"\n");
}

TEST(ProcessNodes, AnnotationOfABareNameGoesToTheStep) {
  auto tree = A(R"(/** @label "x" */ a)");
  EXPECT_EQ(tree.root.annotation, nullptr);
  ASSERT_NE(tree.root.children[0].annotation, nullptr);
  EXPECT_EQ(tree.root.children[0].annotation->label, "x");
  auto call = A(R"(/** Total @label "sum" */ $sum(x))");
  ASSERT_NE(call.root.annotation, nullptr);
  EXPECT_EQ(call.root.annotation->description, "Total");
}

TEST(ProcessErrors, EndAndErrorNodes) {
  for (const char* text : {"", "1 +", "  "}) {
    auto e = E(text);
    EXPECT_EQ(e.code(), "S0207") << text;
    EXPECT_EQ(e.token(), "(end)") << text;
  }
  // Error nodes only come from a recovering parser; without recovery the pass reports them.
  Processor bare("x");
  parser::Raw raw;
  raw.kind = parser::RawKind::Error;
  raw.span = {0, 1};
  raw.position = 1;
  EXPECT_EQ(bare.process(std::move(raw)).error().code(), "S0201");
  parser::Raw held;
  held.kind = parser::RawKind::Error;
  held.error = std::make_unique<error::Error>("S0202");
  EXPECT_EQ(bare.process(std::move(held)).error().code(), "S0202");
  parser::Raw wrapped;
  wrapped.kind = parser::RawKind::Error;
  wrapped.children.emplace_back();
  wrapped.children.back().kind = parser::RawKind::Variable;
  wrapped.children.back().text = "v";
  auto node = bare.process(std::move(wrapped));
  ASSERT_TRUE(node);
  EXPECT_EQ(dump(*node), "variable $v\n");
}

TEST(ProcessTailCalls, CallsInTailPositionBecomeThunks) {
  EXPECT_EQ(D("function($n){ $n = 0 ? 1 : $f($n - 1) }"),
            "lambda ($n)\n  condition\n    binary =\n      variable $n\n      number 0\n    number 1\n"
            "    lambda () thunk\n      call\n        variable $f\n        binary -\n          variable $n\n"
            "          number 1\n");
  EXPECT_EQ(D("function($x){ ($a := 1; $g($x)) }"),
            "lambda ($x)\n  block frame\n    bind\n      variable $a\n      number 1\n    lambda () thunk\n"
            "      call\n        variable $g\n        variable $x\n");
  EXPECT_EQ(
      D("function($x){ $x ?: $g($x) }"),
      "lambda ($x)\n  default ?:\n    variable $x\n    lambda () thunk\n      call\n        variable $g\n"
      "        variable $x\n");
  EXPECT_EQ(
      D("function($x){ $x ? $g($x) }"),
      "lambda ($x)\n  condition\n    variable $x\n    lambda () thunk\n      call\n        variable $g\n"
      "        variable $x\n");
  auto tree = A("function($x){ $g($x) }");
  const Node& thunk = tree.root.lambda->body;
  EXPECT_EQ(thunk.position, thunk.lambda->body.position);
  EXPECT_EQ(thunk.span, thunk.lambda->body.span);
  EXPECT_TRUE(thunk.lambda->params.empty());
  EXPECT_FALSE(thunk.lambda->signature);
  EXPECT_EQ(thunk.attrs, nullptr);
}

TEST(ProcessTailCalls, NotATailPosition) {
  EXPECT_EQ(D("function($x){ $g($x)[0] }"),
            "lambda ($x)\n  call\n    variable $g\n    variable $x\n    [pred const]\n      number 0\n");
  EXPECT_EQ(D("function($x){ $g($x) + 1 }"),
            "lambda ($x)\n  binary +\n    call\n      variable $g\n      variable $x\n    number 1\n");
  EXPECT_EQ(D("function($x){ $g ~> $h() }"),
            "lambda ($x)\n  apply\n    variable $g\n    call\n      variable $h\n");
  // The evaluator applies predicates, group-by and "[]" to the node's value after evaluating it; a tail
  // call handed to the trampoline would skip them.
  EXPECT_EQ(D("function($x){ ($g($x))[1] }"),
            "lambda ($x)\n  block\n    call\n      variable $g\n      variable $x\n    [pred const]\n"
            "      number 1\n");
  EXPECT_EQ(D("function($x){ $g($x)[] }"),
            "lambda ($x)\n  call keep_array\n    variable $g\n    variable $x\n");
  EXPECT_EQ(D("function($x){ $g($x){'a': 1} }"),
            "lambda ($x)\n  call\n    variable $g\n    variable $x\n    {group}\n      string \"a\"\n"
            "      number 1\n");
  EXPECT_EQ(
      D("function($x){ ($x ? $g($x))[] }"),
      "lambda ($x)\n  block keep_array\n    condition\n      variable $x\n      call\n        variable $g\n"
      "        variable $x\n");
}

TEST(ProcessFrames, BlocksThatBindNeedAFrame) {
  EXPECT_EQ(D("($a := 1; $a)"), "block frame\n  bind\n    variable $a\n    number 1\n  variable $a\n");
  EXPECT_EQ(D("(1; 2)"), "block\n  number 1\n  number 2\n");
  EXPECT_EQ(D("(($a := 1))"), "block\n  block frame\n    bind\n      variable $a\n      number 1\n");
  EXPECT_EQ(D("($f(1))"), "block\n  call\n    variable $f\n    number 1\n");
  EXPECT_EQ(D("(a[$b := 1])"),
            "block frame\n  path\n    name a\n      [filter]\n        bind\n          variable $b\n          "
            "number 1\n");
  EXPECT_EQ(D("(function(){ $b := 1 })"),
            "block\n  lambda ()\n    bind\n      variable $b\n      number 1\n");
}

TEST(ProcessFrames, PredicatesAndGroupOfABlockRunInTheEnclosingScope) {
  EXPECT_EQ(
      D("[((1)[$b := 1]; 2), $b]"),
      "array\n  block frame\n    block\n      number 1\n      [pred]\n        bind\n          variable $b\n"
      "          number 1\n    number 2\n  variable $b\n");
  EXPECT_EQ(
      D("((1){'k': $b := 1})"),
      "block frame\n  block\n    number 1\n    {group}\n      string \"k\"\n      bind\n        variable $b\n"
      "        number 1\n");
  EXPECT_EQ(D("(function(){ 1 }[$b := 1])"),
            "block frame\n  lambda ()\n    number 1\n    [pred]\n      bind\n        variable $b\n        "
            "number 1\n");
}

TEST(ProcessFrames, EvalMakesEveryCallBind) {
  EXPECT_EQ(D("[$eval, ($f(1))]"),
            "array\n  variable $eval\n  block frame\n    call\n      variable $f\n      number 1\n");
  EXPECT_EQ(D("[$evaluate, ($f(1))]"),
            "array\n  variable $evaluate\n  block\n    call\n      variable $f\n      number 1\n");
  EXPECT_EQ(D("($x ~> $f)"), "block\n  apply\n    variable $x\n    variable $f\n");
  EXPECT_EQ(D("($x ~> $f; $eval)"),
            "block frame\n  apply\n    variable $x\n    variable $f\n  variable $eval\n");
  // $eval redoes only the frame marks, with every call taken as binding.
  auto tree = A("($f(1))");
  mark_frames(tree.root, true);
  EXPECT_TRUE(tree.root.needs_frame());
  mark_frames(tree.root, false);
  EXPECT_FALSE(tree.root.needs_frame());
}

TEST(ProcessPasses, Constants) {
  for (const char* text : {"-(1 + 2)", "[1, [2], 'x']", "[]", "()", "true", "null", "'a' & 'b'", "[1..3]"})
    EXPECT_TRUE(is_constant(A(text).root)) << text;
  for (const char* text :
       {"{'a': 1}", "$x", "a", "(1)[0]", "[1][0]", "(1){'a': 2}", "$f()", "1 ? 2 : 3", "/x/"})
    EXPECT_FALSE(is_constant(A(text).root)) << text;
}

// The ids and kinds of a tree in walk order.
std::vector<std::pair<std::uint32_t, NodeKind>> ids(const Node& root) {
  std::vector<std::pair<std::uint32_t, NodeKind>> out;
  root.walk([&](const Node& n) { out.emplace_back(n.id, n.kind); });
  return out;
}

TEST(ParseEntry, NodesAreNumberedInPreOrder) {
  using K = NodeKind;
  using V = std::vector<std::pair<std::uint32_t, NodeKind>>;
  EXPECT_EQ(ids(A("a + b").root),
            (V{{0, K::Binary}, {1, K::Path}, {2, K::Name}, {3, K::Path}, {4, K::Name}}));
  EXPECT_EQ(ids(A("$f(1, 2)").root), (V{{0, K::Call}, {1, K::Variable}, {2, K::Number}, {3, K::Number}}));
  // Stages and group pairs come after the node's own children; a thunk's call after the thunk.
  EXPECT_EQ(ids(A("a[0]{'k': 1}").root),
            (V{{0, K::Path}, {1, K::Name}, {2, K::Number}, {3, K::String}, {4, K::Number}}));
  EXPECT_EQ(ids(A("function($x){ $g($x) }").root),
            (V{{0, K::Lambda}, {1, K::Lambda}, {2, K::Call}, {3, K::Variable}, {4, K::Variable}}));
}

TEST(ParseEntry, PositionsInUtf16) {
  // "😀" is four bytes, one character and two UTF-16 code units.
  auto tree = A("😀 + x");
  const Node& x = tree.root.children[1].children[0];
  EXPECT_EQ(x.position, 8u);
  EXPECT_EQ(x.position_utf16, 6u);
  EXPECT_EQ(tree.root.position_utf16, 4u);
  EXPECT_EQ(tree.root.children[0].position_utf16, 2u);
  auto e = E("😀.5");
  EXPECT_EQ(e.position(), 4u);
  EXPECT_EQ(e.span(), (ast::Span{5, 6}));
  auto table = utf16_table("é😀x");
  EXPECT_EQ(table, (std::vector<std::size_t>{0, 0, 1, 1, 1, 1, 3, 4}));
}

TEST(ParseEntry, KeepsSourceSlotsAndWarnings) {
  auto tree = A("a /** doc */");
  EXPECT_EQ(tree.source, "a /** doc */");
  ASSERT_EQ(tree.diagnostics.size(), 1u);
  EXPECT_EQ(tree.diagnostics[0].code, "W0101");
  EXPECT_EQ(tree.diagnostics[0].start, 2u);
  EXPECT_EQ(tree.diagnostics[0].end, 12u);
  EXPECT_EQ(A("a.%.b[%.c]").slots.size(), 2u);
  auto rest = E("a b");
  EXPECT_EQ(rest.code(), "S0201");
  EXPECT_EQ(rest.token(), "b");
}

// A thread with a small stack, joined on destruction.
class SmallStackThread {
 public:
  explicit SmallStackThread(std::function<void()> body) : body_(std::move(body)) {
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) throw std::runtime_error("pthread_attr_init");
    int rc = pthread_attr_setstacksize(&attr, 256 * 1024);
    if (rc == 0) rc = pthread_create(&thread_, &attr, &SmallStackThread::start, this);
    pthread_attr_destroy(&attr);
    if (rc != 0) throw std::runtime_error("pthread_create");
  }
  ~SmallStackThread() { pthread_join(thread_, nullptr); }
  SmallStackThread(const SmallStackThread&) = delete;
  SmallStackThread& operator=(const SmallStackThread&) = delete;

 private:
  static void* start(void* self) {
    try {
      static_cast<SmallStackThread*>(self)->body_();
    } catch (const std::exception& e) {
      ADD_FAILURE() << "escaped the thread: " << e.what();
    }
    return nullptr;
  }
  std::function<void()> body_;
  pthread_t thread_;
};

std::string repeat(std::string_view s, std::size_t n) {
  std::string out;
  for (std::size_t i = 0; i < n; ++i) out += s;
  return out;
}

// The depth of the deepest node.
std::size_t depth_of(const Node& root) {
  std::size_t deepest = 0;
  std::vector<std::pair<const Node*, std::size_t>> work{{&root, 1}};
  while (!work.empty()) {
    auto [n, d] = work.back();
    work.pop_back();
    deepest = std::max(deepest, d);
    n->for_each_child([&](const Node& c) { work.emplace_back(&c, d + 1); });
  }
  return deepest;
}

TEST(ParseEntry, NestingBeyondTheLimitIsAnErrorNotACrash) {
  SmallStackThread thread([] {
    for (auto [open, close] : {std::pair{"[", "]"}, std::pair{"(", ")"}, std::pair{"-(", ")"}}) {
      auto e = E(repeat(open, 1001) + "1" + repeat(close, 1001));
      EXPECT_EQ(e.code(), "U1001") << open;
      EXPECT_NE(e.message().find("1000"), std::string::npos);
    }
  });
}

TEST(ParseEntry, DeepExpressionsProcessOnASmallStack) {
  // Brackets and parentheses cost the parser one level each; calls, predicates and lambdas two.
  const std::size_t n = 900;
  const std::size_t m = 450;
  std::vector<std::pair<std::string, std::size_t>> cases = {
      {repeat("[", n) + "1" + repeat("]", n), n + 1},
      {"a." + repeat("(", n) + "%" + repeat(")", n), n + 2},
      {repeat("(", n) + "a.b" + repeat(")", n) + ".%", n + 3},
      {repeat("$f(", m) + "1" + repeat(")", m), m + 1},
      {repeat("a[", m) + "%.b" + repeat("]", m), 2 * m + 2},
      {repeat("function(){", m) + "$g()" + repeat("}", m), m + 3},
      {"x" + repeat(".a", n), 2},
      {repeat("(", n - 1) + "1" + repeat(")", n - 1) + " + 2 = 3 ? (" + repeat("-(", n / 2) + "$x" +
           repeat(")", n / 2 + 1),
       n + 3},
  };
  SmallStackThread thread([&] {
    for (auto& [text, depth] : cases) {
      auto tree = parse(text);
      ASSERT_TRUE(tree) << text.substr(0, 20) << ": " << tree.error().debug();
      EXPECT_EQ(depth_of(tree->root), depth) << text.substr(0, 20);
      EXPECT_EQ(is_constant(tree->root), text.front() == '[') << text.substr(0, 20);
    }
  });
}

TEST(ParseEntry, AnErrorDeepInsideReleasesWhatWasBuiltOnASmallStack) {
  // Deep inside, a built left operand and an unprocessed deep sibling are released when the middle item
  // fails.
  const std::string text = repeat("[", 300) + repeat("(", 300) + "1" + repeat(")", 300) + ", a.5, " +
                           repeat("(", 380) + "1" + repeat(")", 380) + repeat("]", 300);
  auto parsed = parser::parse_text(text);
  ASSERT_TRUE(parsed) << parsed.error().debug();
  SmallStackThread thread([&] {
    Processor processor(text);
    auto root = processor.process(std::move(parsed->root));
    ASSERT_FALSE(root);
    EXPECT_EQ(root.error().code(), "S0213");
  });
}

}  // namespace
}  // namespace zarnu_core::process
