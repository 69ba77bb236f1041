// Interruptible searches, and the bridge to the language: match objects, UTF-16 offsets, the "next"
// continuation, compile errors, and the time limit and cancellation reaching a running search.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "eval/expression.hpp"
#include "eval/regex.hpp"
#include "regex_helpers.hpp"
#include "value/json.hpp"

namespace {

using zarnu_regex::api::Regex;

TEST(RegexInterrupt, TheCallbackIsAskedEvery1024StepsAndCanStop) {
  auto re = Regex::from_utf8("(a+)+b", "");
  ASSERT_TRUE(re);
  const std::string text(22, 'a');
  int asked = 0;
  auto never = [&] {
    ++asked;
    return false;
  };
  auto found = re->find_from_interruptible(text, 0, zarnu_regex::interrupt::Callback::of(never));
  EXPECT_FALSE(found.stopped);
  EXPECT_FALSE(found.match);
  EXPECT_GT(asked, 1000);  // millions of backtracks

  int stop_at = 0;
  auto third = [&] { return ++stop_at == 3; };
  found = re->find_from_interruptible(text, 0, zarnu_regex::interrupt::Callback::of(third));
  EXPECT_TRUE(found.stopped);
  EXPECT_EQ(stop_at, 3);  // never asked again once stopped

  // A search needing fewer than 1024 steps never asks.
  asked = 0;
  found = Regex::from_utf8("(a|b)*c", "")
              ->find_from_interruptible("ababc", 0, zarnu_regex::interrupt::Callback::of(never));
  ASSERT_TRUE(found.match);
  EXPECT_EQ(found.match->end(), 5u);
  EXPECT_EQ(asked, 0);
  // Past the end: no match on either path.
  EXPECT_FALSE(re->find_from("ab", 3));
  EXPECT_FALSE(re->find_from_interruptible("ab", 3, zarnu_regex::interrupt::Callback::of(never)).match);
}

TEST(RegexInterrupt, AStopInsideALookbehindEndsTheWholeSearch) {
  auto re = Regex::from_utf8("(?<=b(a+)+)c|x", "");
  const std::string text = std::string(22, 'a') + "cx";
  auto stop = [] { return true; };
  auto found = re->find_from_interruptible(text, 0, zarnu_regex::interrupt::Callback::of(stop));
  EXPECT_TRUE(found.stopped);
  EXPECT_FALSE(found.match);  // the "x" further on is never reached
}

TEST(RegexInterrupt, TheBacktrackStackKeepsToItsBudget) {
  auto re = Regex::from_utf8("(a|b)*$", "");
  std::string text;
  for (int i = 0; i < 5000; ++i) text += "ab";
  auto found = re->find_bounded(text, 0, 64 * 1024);
  EXPECT_TRUE(found.over_limit);
  EXPECT_FALSE(found.match);
  auto never = [] { return false; };
  found = re->find_from_interruptible(text, 0, zarnu_regex::interrupt::Callback::of(never), 64 * 1024);
  EXPECT_TRUE(found.over_limit);
  // Lookaround bodies run on stacks of their own, drawn from the same budget.
  found = Regex::from_utf8("x|(?=(a|b)*$)", "")->find_bounded(text, 0, 64 * 1024);
  EXPECT_TRUE(found.over_limit);
  found = re->find_bounded(text, 0, 64 * 1024 * 1024);
  EXPECT_FALSE(found.over_limit);
  ASSERT_TRUE(found.match);
  EXPECT_EQ(found.match->end(), text.size());
  // A search that needs little stays within a small budget; the bottom record of a stack costs nothing.
  found = re->find_bounded("abab", 0, 4096);
  ASSERT_TRUE(found.match);
  EXPECT_EQ(found.match->end(), 4u);
  for (std::size_t budget : {0, 31}) {
    found = Regex::from_utf8("b", "")->find_bounded("abc", 0, budget);
    EXPECT_FALSE(found.over_limit) << budget;
    ASSERT_TRUE(found.match) << budget;
    EXPECT_EQ(found.match->start(), 1u);
  }
}

TEST(RegexInterrupt, LoopIterationsTakeAFewWordsOfStack) {
  // Per character: a loop iteration (two words), the group's reset (three) and, after an alternative
  // was taken, the choice point and the group's end (two each): at most 72 bytes.
  std::string text;
  for (int i = 0; i < 10000; ++i) text += "ab";
  for (const char* pattern : {"(a|b)*$", "(?:a|b)*$", "(\\w)*$"}) {
    auto re = Regex::from_utf8(pattern, "");
    auto found = re->find_bounded(text, 0, 72 * text.size());
    EXPECT_FALSE(found.over_limit) << pattern;
    ASSERT_TRUE(found.match) << pattern;
    EXPECT_EQ(found.match->end(), text.size());
  }
  // Lazy loops replay their deferred iterations with the same records.
  auto found = Regex::from_utf8("(?:a|(b))*?$", "")->find_bounded(text, 0, 72 * text.size());
  ASSERT_TRUE(found.match);
  ASSERT_TRUE(found.match->captures[0]);
  EXPECT_EQ(found.match->captures[0]->first, text.size() - 1);
}

TEST(RegexInterrupt, CompilationAsksThePollAndStops) {
  std::string alternation = "x";
  for (int i = 0; i < 5000; ++i) alternation += "|a" + std::to_string(i);
  int asked = 0;
  auto stop = [&] { return ++asked > 0; };
  zarnu_regex::interrupt::Poll poll(zarnu_regex::interrupt::Callback::of(stop));
  auto r = Regex::from_utf8(alternation, "", &poll);
  ASSERT_FALSE(r);
  EXPECT_TRUE(r.error().stopped);
  EXPECT_EQ(asked, 1);
  // A poll that never stops changes nothing.
  auto never = [&] { return false; };
  zarnu_regex::interrupt::Poll calm(zarnu_regex::interrupt::Callback::of(never));
  r = Regex::from_utf8(alternation, "", &calm);
  ASSERT_TRUE(r);
  EXPECT_EQ(r->find_from("-a4999")->start(), 1u);
}

// Evaluates an expression; the result as JSON text, "undefined", or "!CODE".
struct Outcome {
  std::string text;
  std::optional<zarnu_core::error::Error> error;
};

Outcome run(std::string_view expr, zarnu_core::Options options = {}) {
  auto e = zarnu_core::Expression::compile(expr);
  if (!e) return {"!" + std::string(e.error().code()), std::move(e).error()};
  auto r = e->evaluate_with(zarnu_core::Bindings{}, options);
  if (!r) return {"!" + std::string(r.error().code()), std::move(r).error()};
  return {r->second ? zarnu_core::json::to_text(*r->second) : std::string("undefined"), std::nullopt};
}

std::string detail(const zarnu_core::error::Error& e, std::string_view key) {
  auto d = e.detail(key);
  return d ? zarnu_core::json::to_text(*d) : std::string("(none)");
}

TEST(RegexBridge, MatchObjects) {
  EXPECT_EQ(run("/b(c)?/('abd')").text, R"({"match":"b","start":1,"end":2,"groups":[null]})");
  EXPECT_EQ(run("/b(c)?/('abd').next()").text, "undefined");
  EXPECT_EQ(run("/a/('\U0001F600ab')").text, R"({"match":"a","start":2,"end":3,"groups":[]})");
  EXPECT_EQ(run("/a/('bab', 2)").text, "undefined");
  EXPECT_EQ(run("/a/('bab', 1).start").text, "1");
  EXPECT_EQ(run("/a/('bab', 1.9).start").text, "1");
  EXPECT_EQ(run("/a/('bab', -1).start").text, "1");
  EXPECT_EQ(run("/a/('bab', 'x').start").text, "1");
  EXPECT_EQ(run("/c/('abc').end").text, "3");
  EXPECT_EQ(run("/c/('abc').next()").text, "undefined");
  EXPECT_EQ(run("/a/('aXa').next().start").text, "2");
  EXPECT_EQ(run("/(?<y>\\d+)-(\\d+)/('x 12-345').groups").text, R"(["12","345"])");
  EXPECT_EQ(run("/\U0001F600(.)/('\U0001F600\U0001F601').groups[0]").text, "\"\U0001F601\"");
  EXPECT_EQ(run("/é/i('xÉ').start").text, "1");
  EXPECT_EQ(run("/^b/m('a\nb').start").text, "2");
  EXPECT_EQ(run("/a.c/('a\nc')").text, "undefined");
  // An empty first match is returned; its continuation raises D1004.
  EXPECT_EQ(run("/x?/('abc')").text, R"({"match":"","start":0,"end":0,"groups":[]})");
  Outcome empty = run("/x?/('abc').next()");
  ASSERT_TRUE(empty.error);
  EXPECT_EQ(empty.error->code(), "D1004");
  EXPECT_EQ(detail(*empty.error, "value"), "\"x?\"");
}

TEST(RegexBridge, CompileErrors) {
  Outcome r = run("/a**/");
  ASSERT_TRUE(r.error);
  EXPECT_EQ(r.error->code(), "S0302");
  EXPECT_EQ(detail(*r.error, "value"), "\"a**\"");
  EXPECT_EQ(detail(*r.error, "message"), "\"Invalid atom character\"");
  EXPECT_TRUE(r.error->position().has_value());
  r = run("/a{2,1}/");
  ASSERT_TRUE(r.error);
  EXPECT_EQ(detail(*r.error, "message"), "\"Invalid quantifier\"");
}

TEST(RegexBridge, ByteOffsets) {
  using zarnu_core::regex::byte_offset;
  EXPECT_EQ(byte_offset("\xf0\x9f\x98\x80"
                        "a",
                        1),
            4u);
  EXPECT_EQ(byte_offset("\xf0\x9f\x98\x80"
                        "a",
                        2),
            4u);
  EXPECT_EQ(byte_offset("\xf0\x9f\x98\x80"
                        "a",
                        3),
            5u);
  EXPECT_EQ(byte_offset("abc", 10), 3u);
  EXPECT_EQ(byte_offset("", 7), 0u);
  EXPECT_EQ(byte_offset("a\xc3\xa9z", 2), 3u);
  EXPECT_EQ(zarnu_core::regex::utf16_units("a\xc3\xa9\xf0\x9f\x98\x80"), 4u);
}

TEST(RegexBridge, TheTimeLimitStopsACatastrophicSearch) {
  zarnu_core::Options o;
  o.timeout = std::chrono::milliseconds(100);
  const auto started = std::chrono::steady_clock::now();
  Outcome r = run("/(a+)+b/('" + std::string(40, 'a') + "')", o);
  ASSERT_TRUE(r.error);
  EXPECT_EQ(r.error->code(), "D1012");
  EXPECT_EQ(detail(*r.error, "value"), "100");
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
  // A timeout that does not fire leaves the results alone.
  o.timeout = std::chrono::seconds(60);
  EXPECT_EQ(run("/(a+)+b/('aaab').groups", o).text, R"(["aaa"])");
}

TEST(RegexBridge, ASmallResultSizeNeverFailsASearch) {
  // The backtracking of a search may take memory in proportion to its subject, whatever size a result may
  // have; a result within its budget is given.
  zarnu_core::Options o;
  o.max_result_size = 40;
  std::string text;
  for (int i = 0; i < 5000; ++i) text += "ab";
  EXPECT_EQ(run("/(a|b)*$/('" + text + "').end", o).text, "10000");
  EXPECT_EQ(run(R"($match("20", /\d+/))", o).text, R"({"match":"20","index":0,"groups":[]})");
  for (std::size_t size : {4, 31}) {
    o.max_result_size = size;
    EXPECT_EQ(run(R"($contains("abc", /b/))", o).text, "true") << size;
  }
}

TEST(RegexBridge, CancellationFromAnotherThreadStopsASearch) {
  auto flag = std::make_shared<std::atomic<bool>>(false);
  zarnu_core::Options o;
  o.cancel = flag;
  std::thread setter([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    flag->store(true);
  });
  Outcome r = run("/(a+)+b/('" + std::string(40, 'a') + "')", o);
  setter.join();
  ASSERT_TRUE(r.error);
  EXPECT_EQ(r.error->code(), "U1003");
}

TEST(RegexBridge, PatternBuiltinsReadMatchesAsTheirNextFunctionsGiveThem) {
  // The built-ins read a regular expression's matches directly; a function around it takes the general
  // road through match objects and their "next" functions. Both give the same results and errors.
  const char* patterns[] = {"a", "(a)|(b)", "x?", "\\d+", "(\\w)(\\d)?", "$", "\\b", "é|😀", "(?<=a)b?"};
  const char* texts[] = {"", "abcab", "a1b22c", "é😀aé", "aaa", "b a b"};
  const char* calls[] = {
      "$match($t, P)",    "$match($t, P, 2)",           "$contains($t, P)",         "$split($t, P)",
      "$split($t, P, 1)", "$replace($t, P, '<$0|$1>')", "$replace($t, P, '$2', 2)", "$count($match($t, P))"};
  for (const char* p : patterns)
    for (const char* t : texts)
      for (std::string call : calls) {
        const std::string text = std::string("$t := '") + t + "'; ";
        const std::size_t at = call.find('P');
        std::string direct = call, wrapped = call;
        direct.replace(at, 1, std::string("/") + p + "/");
        wrapped.replace(at, 1, std::string("function($s){ /") + p + "/($s) }");
        EXPECT_EQ(run("(" + text + direct + ")").text, run("(" + text + wrapped + ")").text)
            << direct << " on " << t;
      }
}

TEST(RegexBridge, TheBuiltinEngineBehindTheGenericInterface) {
  const auto& engine = zarnu_core::regex::engine();
  auto compiled = engine.compile("(\\d+)|x", "");
  ASSERT_TRUE(compiled);
  EXPECT_EQ(engine.compile("(", "").error(), "Unbalanced parenthesis");
}

}  // namespace
