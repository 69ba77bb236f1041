// The read analysis: what expressions read of their input and bindings, the JSON form of the answer and
// reading it back, the union of answers, and cut parses steered by an analysis giving the same results as
// whole parses.
#include <gtest/gtest.h>

#include <pthread.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "eval/expression.hpp"
#include "helpers.hpp"
#include "reads/reads_analysis.hpp"
#include "syntax/parse.hpp"
#include "value/document.hpp"

using namespace zarnu_core;
using reads::Read;
using reads::Reads;
using zarnu_test::Json;

namespace {

// The compact JSON form of what an expression reads.
std::string reads_of(std::string_view expr, const Bindings* bindings = nullptr) {
  auto tree = parse(expr);
  if (!tree) return "!" + std::string(tree.error().code());
  Reads r = bindings ? reads::analyse(tree->root, *bindings) : reads::analyse(tree->root);
  return json::to_text(r.serialize());
}

// The reads JSON with no binding read.
std::string input(std::string_view read) {
  return "{\"input\":" + std::string(read) + ",\"bindings\":{}}";
}

using Cases = std::vector<std::pair<std::string, std::string>>;

void expect_reads(const Cases& cases, const Bindings* bindings = nullptr) {
  for (const auto& [expr, expected] : cases) EXPECT_EQ(reads_of(expr, bindings), expected) << expr;
}

std::string read_back(const std::string& text) {
  auto r = Read::from_json(Json::parse(text));
  return r ? json::to_text(r->to_json()) : "!" + r.error();
}

std::string reads_back(const std::string& text) {
  auto r = Reads::from_json(Json::parse(text));
  return r ? json::to_text(r->serialize()) : "!" + r.error();
}

std::string nested(std::size_t levels, const std::string& leaf) {
  std::string s;
  for (std::size_t i = 0; i < levels; ++i) s += "{\"f\":";
  return s + leaf + std::string(levels, '}');
}

host::HostFunction host_fn(std::string_view sig = {}, bool context = false) {
  host::HostFunction h;
  h.function = std::make_shared<const host::Callable>(
      [](host::Args, host::HostCall&) -> Result<std::optional<Json>> { return std::nullopt; });
  h.context = context;
  if (!sig.empty())
    h.signature = std::make_shared<const signature::Signature>(*signature::Signature::parse(sig));
  return h;
}

}  // namespace

TEST(ReadsForm, WritesAndReadsBack) {
  EXPECT_EQ(reads_of("1"), "{\"bindings\":{}}");
  Reads r;
  r.input = Read::fields();
  r.bindings.emplace("b", Read::all());
  r.every_binding = true;
  EXPECT_EQ(json::to_text(r.serialize()), R"({"input":{},"bindings":{"b":true},"everyBinding":true})");
  EXPECT_EQ(Reads::from_json(r.serialize()), r);

  EXPECT_EQ(read_back("true"), "true");
  EXPECT_EQ(read_back("{}"), "{}");
  EXPECT_TRUE(Read::from_json(Json::parse("{}"))->field_count() == 0);
  // A name repeated in a value built member by member reads what each of its members reads.
  Json twice = Json::object();
  twice.get_ref<Json::object_t&>().emplace_back("a", Json::parse(R"({"x":{}})"));
  twice.get_ref<Json::object_t&>().emplace_back("a", Json::parse(R"({"y":true})"));
  EXPECT_EQ(json::to_text(Read::from_json(twice)->to_json()), R"({"a":{"x":{},"y":true}})");
  // Keys come out in byte order, not collation order.
  EXPECT_EQ(read_back(R"({"a":true,"_":{},"Z":true,"B":{"y":true,"x":{}}})"),
            R"({"B":{"x":{},"y":true},"Z":true,"_":{},"a":true})");
}

TEST(ReadsForm, RefusesWhatIsNotARead) {
  const std::string tail = ", expected true, or an object of the fields read";
  EXPECT_EQ(read_back("false"), "!invalid value: boolean `false`" + tail);
  EXPECT_EQ(read_back("null"), "!invalid type: null" + tail);
  EXPECT_EQ(read_back("\"x\""), "!invalid type: string \"x\"" + tail);
  EXPECT_EQ(read_back("5"), "!invalid type: integer `5`" + tail);
  EXPECT_EQ(read_back("[]"), "!invalid type: sequence" + tail);
  EXPECT_EQ(read_back(R"({"a":{"b":false}})"), "!invalid value: boolean `false`" + tail);

  // 100 nested names may end in anything; a 101st only in `true`.
  EXPECT_EQ(read_back(nested(100, "{}")), nested(100, "{}"));
  EXPECT_EQ(read_back(nested(101, "true")), nested(101, "true"));
  EXPECT_EQ(read_back(nested(101, "{}")), "!a read nests more than 100 field names");
  EXPECT_EQ(read_back(nested(101, "{\"g\":true}")), "!a read nests more than 100 field names");
}

TEST(ReadsForm, ReadsTheStructForm) {
  EXPECT_EQ(reads_back("{}"), R"({"bindings":{}})");
  EXPECT_EQ(reads_back(R"({"input":null,"everyBinding":false})"), R"({"bindings":{}})");
  EXPECT_EQ(reads_back(R"({"everyBinding":true,"bindings":{"z":{},"a":true},"input":{"x":true}})"),
            R"({"input":{"x":true},"bindings":{"a":true,"z":{}},"everyBinding":true})");
  // The positional form: input, bindings, everyBinding.
  EXPECT_EQ(reads_back(R"([{"x":true},{"b":true},true])"),
            R"({"input":{"x":true},"bindings":{"b":true},"everyBinding":true})");
  EXPECT_EQ(reads_back("[null]"), R"({"bindings":{}})");
  EXPECT_EQ(reads_back("[null,{},false,1]"), "!invalid length 4, expected fewer elements in array");

  EXPECT_EQ(reads_back("5"), "!invalid type: integer `5`, expected struct Reads");
  EXPECT_EQ(reads_back(R"("s")"), "!invalid type: string \"s\", expected struct Reads");
  EXPECT_EQ(reads_back(R"({"extra":1})"),
            "!unknown field `extra`, expected one of `input`, `bindings`, `everyBinding`");
  EXPECT_EQ(reads_back(R"({"everyBinding":null})"), "!invalid type: null, expected a boolean");
  EXPECT_EQ(reads_back(R"({"bindings":[]})"), "!invalid type: sequence, expected a map");
  EXPECT_EQ(reads_back(R"({"input":false})"),
            "!invalid value: boolean `false`, expected true, or an object of the fields read");
  EXPECT_EQ(reads_back(R"({"bindings":{"b":1.5}})"),
            "!invalid type: floating point `1.5`, expected true, or an object of the fields read");
}

TEST(ReadsUnion, AllAbsorbsAndFieldsMerge) {
  auto unite = [](const std::string& a, const std::string& b) {
    Read r = *Read::from_json(Json::parse(a));
    r.unite(*Read::from_json(Json::parse(b)));
    return json::to_text(r.to_json());
  };
  EXPECT_EQ(unite("true", R"({"a":{}})"), "true");
  EXPECT_EQ(unite(R"({"a":{}})", "true"), "true");
  EXPECT_EQ(unite(R"({"a":true})", R"({"a":{"b":true},"c":{}})"), R"({"a":true,"c":{}})");
  EXPECT_EQ(unite(R"({"a":{"b":true}})", R"({"a":{"c":true}})"), R"({"a":{"b":true,"c":true}})");
  EXPECT_EQ(unite("{}", "{}"), "{}");
  EXPECT_EQ(unite(nested(100, "{}"), nested(100, "true")), nested(100, "true"));

  Reads all = *Reads::from_json(Json::parse(R"({"bindings":{"x":{"a":true}}})"));
  all.unite(*Reads::from_json(Json::parse(R"({"input":{"a":{}},"bindings":{"x":{"b":{}},"y":true}})")));
  all.unite(*Reads::from_json(Json::parse(R"({"input":true,"everyBinding":true})")));
  EXPECT_EQ(json::to_text(all.serialize()),
            R"({"input":true,"bindings":{"x":{"a":true,"b":{}},"y":true},"everyBinding":true})");
}

TEST(ReadsAnalysis, Paths) {
  expect_reads({
      {"Account.Order.Product.Price", input(R"({"Account":{"Order":{"Product":{"Price":true}}}})")},
      {"a.b[0]", input(R"({"a":{"b":true}})")},
      {"a[c > 1].b", input(R"({"a":{"b":true,"c":true}})")},
      {"$", input("true")},
      {"$$.x", input(R"({"x":true})")},
      {"a.*", input(R"({"a":true})")},
      {"a.**.b", input(R"({"a":true})")},
      {"(1; a)", input(R"({"a":true})")},
      {"a.b > 1 and c", input(R"({"a":{"b":true},"c":true})")},
      {"[a, b].c", input(R"({"a":{"c":true},"b":{"c":true}})")},
      {"x.{\"k\": y}", input(R"({"x":{"y":true}})")},
      {"(a ?? b).c", input(R"({"a":{"c":true},"b":{"c":true}})")},
      {"(a ?: b).c", input(R"({"a":true,"b":{"c":true}})")},
      {"(p ? a : b).c", input(R"({"a":{"c":true},"b":{"c":true},"p":true})")},
      {"a{b: $sum(c)}", input(R"({"a":{"b":true,"c":true}})")},
      {"a^(>b).c", input(R"({"a":{"b":true,"c":true}})")},
      {"a.b.%.c", input(R"({"a":{"b":{},"c":true}})")},
      {"a.b[%.x = 1].c", input(R"({"a":{"b":{"c":true},"x":true}})")},
      {"a@$v.b.$v.c", input(R"({"a":{"c":true},"b":{}})")},
      {"a#$i[$i > 1].b", input(R"({"a":{"b":true}})")},
      {"(a)[x].b", input(R"({"a":{"b":true,"x":true}})")},
  });
}

TEST(ReadsAnalysis, LimitsReadWhole) {
  // Past 100 names the prefix is read whole.
  std::string deep = "f1";
  for (int i = 2; i <= 101; ++i) deep += ".f" + std::to_string(i);
  std::string expected = "true";
  for (int i = 100; i >= 1; --i) expected = "{\"f" + std::to_string(i) + "\":" + expected + "}";
  EXPECT_EQ(reads_of(deep), input(expected));
  EXPECT_EQ(reads_of(deep + ".g.h"), input(expected));

  // Past 256 places a value is read whole at each of them.
  auto items = [](int n) {
    std::string s = "[";
    for (int i = 0; i < n; ++i) s += (i ? ",f" : "f") + std::to_string(i);
    return s + "].x";
  };
  auto r256 = Json::parse(reads_of(items(256)));
  EXPECT_EQ(r256["input"]["f255"], Json::parse(R"({"x":true})"));
  auto r257 = Json::parse(reads_of(items(257)));
  EXPECT_EQ(r257["input"].size(), 257u);
  EXPECT_EQ(r257["input"]["f0"], Json(true));
  EXPECT_EQ(r257["input"]["f256"], Json(true));
}

TEST(ReadsAnalysis, VariablesAndScopes) {
  expect_reads({
      {"($x := a; $x.b)", input(R"({"a":{"b":true}})")},
      {"$y.b", R"({"bindings":{"y":{"b":true}}})"},
      {"$x[0]", R"({"bindings":{"x":true}})"},
      {"($x := a; $x := b; $x)", input(R"({"a":true,"b":true})")},
      {"($count := 5; $count)", R"({"bindings":{}})"},
      // The binding is decisive inside the lambda, which it names.
      {"($f := function($n){ $n = 0 ? 0 : $f($n - 1) }; $f(3))", R"({"bindings":{}})"},
      // Bound after the lambda's definition: the block's $v and a binding v may both be meant, and v may
      // be a function that reads the calls' contexts.
      {"($g := function(){ $v }; $v := a; $g())", R"({"input":true,"bindings":{"v":true}})"},
      // $q is bound somewhere, but not where the first body can see it.
      {"[function(){ $q }, function($q){ $q }]", R"({"input":true,"bindings":{}})"},
      {"($q := 1; $z.a) + [function(){ $q }]", R"({"input":true,"bindings":{"z":true}})"},
      // A lambda's body reads from the context where it was defined.
      {"a.(function($x){ b }) ", input(R"({"a":{"b":true}})")},
      {"($f := function($x){ $x.k }; $f(a))", input(R"({"a":true})")},
      {"a ~> |b|{\"c\": d}|", input(R"({"a":true})")},
      {"$eval(s)", R"({"input":true,"bindings":{},"everyBinding":true})"},
      {"($e := $eval; $x + $y.z)", R"({"input":true,"bindings":{"x":true,"y":true},"everyBinding":true})"},
  });
}

TEST(ReadsAnalysis, BuiltInCalls) {
  expect_reads({
      {"$count(a)", input(R"({"a":{}})")},
      {"$exists(a.b)", input(R"({"a":{"b":{}}})")},
      {"$sum(a.b)", input(R"({"a":{"b":true}})")},
      {"$append(a, b).c", input(R"({"a":{"c":true},"b":{"c":true}})")},
      {"$single(a).c", input(R"({"a":{"c":true}})")},
      {"$lookup(a, \"b\")", input(R"({"a":{"b":true}})")},
      {"$lookup(a, k)", input(R"({"a":true,"k":true})")},
      {"$map(items, function($v){ $v.price })", input(R"({"items":{"price":true}})")},
      {"$map(items, $string)", input(R"({"items":true})")},
      {"$filter(items, function($v){ $v.ok })", input(R"({"items":true})")},
      {"$filter(items, function($v){ $v.ok }).name", input(R"({"items":{"name":true,"ok":true}})")},
      {"$reduce(xs, function($a, $b){ $a + $b })", input(R"({"xs":true})")},
      {"$reduce(xs, function($a, $b){ $b.n }, 0)", input(R"({"xs":{"n":true}})")},
      {"$reduce(xs, function($a, $b){ $b.n }, {})", input(R"({"xs":{"n":true}})")},
      // An initial value that may be undefined when the call runs lets the first item start, and end.
      {"$reduce(xs, function($a, $b){ $a }, nothing)", input(R"({"nothing":true,"xs":true})")},
      {"$reduce(xs, function($a, $b){ $b.n }, i)", input(R"({"i":true,"xs":true})")},
      {"xs ~> $reduce(function($a, $b){ $a }, i.j)", input(R"({"i":{"j":true},"xs":true})")},
      {"$sort(items, function($l, $r){ $l.k > $r.k }).n", input(R"({"items":{"k":true,"n":true}})")},
      {"items ~> $map(function($v){ $v.x })", input(R"({"items":{"x":true}})")},
      {"name ~> $uppercase", input(R"({"name":true})")},
      {"($count := 1; $count(a))", input(R"({"a":true})")},
      // The context goes in place of a missing first argument.
      {"$uppercase()", input("{}")},
      {"$uppercase(name)", input(R"({"name":true})")},
      {"a.$uppercase()", input(R"({"a":{}})")},
      {"$string()", input("true")},
      {"$string(a)", input(R"({"a":true})")},
      {"$string(a, true)", input(R"({"a":true})")},
      {"$substring(\"abc\", 1)", input("{}")},
      {"$substring(\"abc\", 1, 2)", R"({"bindings":{}})"},
      {"o.$keys()", input(R"({"o":true})")},
      // A built-in that may read its context escaped as a value: held-back contexts are read whole.
      {"a.($g := function($x){ $x }; $g(b))", input(R"({"a":{"b":true}})")},
      {"a.($g := function($x){ $x }; $g(b)) & $map(c, $string)", input(R"({"a":true,"c":true})")},
      {"a.($g := $substring; $g(b))", input(R"({"a":true})")},
  });
}

TEST(ReadsAnalysis, UnknownAndHostCalls) {
  EXPECT_EQ(reads_of("$f(a)"), R"({"input":true,"bindings":{"f":true}})");
  EXPECT_EQ(reads_of("x.f(a)"), input(R"({"x":{"a":true,"f":true}})"));
  EXPECT_EQ(reads_of("$f(?, a)"), R"({"input":{"a":true},"bindings":{"f":true}})");

  Bindings b;
  b.function("f", host_fn());
  b.function("g", host_fn("<s-:s>"));
  b.function("ctx", host_fn({}, true));
  b.function("count", host_fn());
  b.function("string", host_fn({}, true));
  expect_reads(
      {
          {"$f(a)", R"({"input":{"a":true},"bindings":{"f":true}})"},
          {"$g()", R"({"input":{},"bindings":{"g":true}})"},
          {"$g(a)", R"({"input":{"a":true},"bindings":{"g":true}})"},
          // A function that wants its call's context counts as unknown.
          {"$ctx(a)", R"({"input":true,"bindings":{"ctx":true}})"},
          // Host functions hide the built-ins of their names.
          {"$count(a)", R"({"input":{"a":true},"bindings":{"count":true}})"},
          {"$string(a)", R"({"input":true,"bindings":{"string":true}})"},
          // A local variable hides the host function of its name.
          {"a.($f := function(){ 1 }; $f())", input(R"({"a":{}})")},
          // Host functions used as values: only one whose signature takes the context reads held-back
          // contexts.
          {"a.($k := function(){ 1 }; $k()) & $map(c, $f)",
           R"({"input":{"a":{},"c":true},"bindings":{"f":true}})"},
          {"a.($k := function(){ 1 }; $k()) & $map(c, $g)",
           R"({"input":{"a":true,"c":true},"bindings":{"g":true}})"},
      },
      &b);
}

TEST(ReadsAnalysis, DeepExpressionOnASmallStack) {
  std::string expr;
  for (int i = 0; i < 900; ++i) expr += "[";
  expr += "a";
  for (int i = 0; i < 900; ++i) expr += ".b]";
  auto tree = parse(expr);
  ASSERT_TRUE(tree);
  std::string out;
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, 256 * 1024);
  auto body = [](void* p) -> void* {
    auto* args = static_cast<std::pair<const ast::Node*, std::string*>*>(p);
    *args->second = json::to_text(reads::analyse(*args->first).serialize());
    return nullptr;
  };
  std::pair<const ast::Node*, std::string*> args{&tree->root, &out};
  pthread_t thread;
  ASSERT_EQ(pthread_create(&thread, &attr, body, &args), 0);
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attr);
  EXPECT_EQ(out.substr(0, 20), R"({"input":{"a":{"b":{)");
}

namespace {

constexpr const char* kOrders = R"({
  "Account": {"Name": "Firefly", "Order": [
    {"OrderID": "o1", "Product": [
      {"Name": "Hat", "Price": 34.45, "Quantity": 2, "Tags": ["a", "b"], "Desc": {"Colour": "Red", "Weight": 0.6}},
      {"Name": "Tie", "Price": 21.67, "Quantity": 1, "Tags": [], "Desc": {"Colour": "Blue", "Weight": 0.2}}]},
    {"OrderID": "o2", "Product": [
      {"Name": "Hat", "Price": 34.45, "Quantity": 4, "Tags": ["c"], "Desc": {"Colour": "Red"}}]}]},
  "noise": {"big": [1, 2, 3, {"x": "y"}], "Account": "not this one"},
  "rate": 1.5
})";

// The result of an expression against a document, as text.
std::string run(const Expression& e, const value::Value& input) {
  Expression::Run r{Options{}.limits(), value::Shared::create(), nullptr};
  auto v = e.run(input, Bindings{}, r);
  return v ? zarnu_test::S(*v) : "!" + std::string(v.error().code());
}

// Parses `text` cut by what `expr` reads and checks that the expression gives there what it gives on the
// whole parse; the cut document's text, for more checks.
std::string expect_cut_gives_whole(std::string_view text, const char* expr) {
  auto whole = document::Document::parse(text);
  auto tree = parse(expr);
  auto e = Expression::compile(expr);
  const Reads r = tree ? reads::analyse(tree->root) : Reads{};
  auto cut = r.input ? document::Document::parse_cut(text, *r.input) : document::Document::parse(text);
  if (!whole || !e || !r.input || !cut) {
    ADD_FAILURE() << expr;
    return {};
  }
  const std::string expected = run(*e, whole->value);
  EXPECT_NE(expected[0], '!') << expr << ": " << expected;
  EXPECT_EQ(run(*e, cut->value), expected) << expr;
  return zarnu_test::S(cut->value);
}

}  // namespace

// Built-ins whose behaviour depends on an argument's value (not on how many arguments are written): the cut
// parse must keep all that the evaluation uses.
TEST(ReadsCut, ValueDependentBuiltInsKeepWhatTheyUse) {
  for (const char* expr : {
           "$reduce(a, function($acc, $v){ $acc }, nothing)",
           "$reduce(a, function($acc, $v){ $acc.n }, nothing)",
           "$reduce(one, function($acc, $v){ $acc.n }, nothing)",
           "a ~> $reduce(function($acc, $v){ $v }, $$.nothing)",
           "$reduce(a, function($acc, $v){ $acc }, a[5])",
           "$single(one)",
           "$type(s) & $type(a) & $count(a) & $exists(one)",
           "$substring(s, 0, 1) & a.$string()",
       })
    expect_cut_gives_whole(R"({"a":[{"n":1,"m":2},{"n":3,"m":{"k":4}}],"s":"x","one":[{"n":5,"m":6}]})",
                           expr);
}

TEST(ReadsCut, CutParseGivesTheWholeParseResult) {
  for (const char* expr : {
           "Account.Order[OrderID = \"o2\"].Product.{\"n\": Name, \"t\": Price * Quantity}",
           "$sum(Account.Order.Product.(Price * Quantity)) * $$.rate",
           "Account.Order.Product{Name: $sum(Quantity)}",
           "Account.Order.Product^(>Price, Name).Desc.Colour",
           "Account.Order.Product.{\"id\": %.OrderID, \"name\": Name}",
           "($f := function($p){ $p.Price * $$.rate }; Account.Order.Product.$f($))",
           "Account.Order@$o.$o.Product[$o.OrderID = \"o1\"].$uppercase(Name)",
           "$count(Account.Order.Product[Desc.Weight > 0.5]) & \" of \" & $string(Account.Name)",
           "Account.Order#$i.Product.{\"i\": $i, \"tags\": $count(Tags)}",
           "Account.**.Colour",
       })
    EXPECT_EQ(expect_cut_gives_whole(kOrders, expr).find("noise"), std::string::npos) << expr;
}
