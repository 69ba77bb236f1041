// The pattern parser: tree shapes, flags and modifiers, escapes, classes, class sets, property escapes,
// limits and every error text.
#include <gtest/gtest.h>
#include <pthread.h>

#include "regex_helpers.hpp"
#include "util.hpp"

namespace {

using zarnu_regex_test::compile_error;

std::string parsed(std::string_view pattern, std::string_view flags = "") {
  auto t = zarnu_regex::api::tree(zarnu_regex::util::utf8_decode(pattern), flags,
                                  zarnu_regex::api::TreeStage::Parsed);
  return t ? t->debug() : "error: " + t.error().text;
}

TEST(RegexParse, AlternativesAndSequences) {
  EXPECT_EQ(parsed(""), "Empty");
  EXPECT_EQ(parsed("|"), "Alt(Empty, Empty)");
  EXPECT_EQ(parsed("a|"), "Alt(Char(a), Empty)");
  EXPECT_EQ(parsed("a|b|c"), "Alt(Char(a), Alt(Char(b), Char(c)))");
  EXPECT_EQ(parsed("ab"), "Cat(Char(a), Char(b))");
  EXPECT_EQ(parsed("^a$", "m"), "Cat(Anchor(^,m), Char(a), Anchor($,m))");
  EXPECT_EQ(parsed("."), "MatchAnyExceptLineTerminator");
  EXPECT_EQ(parsed(".", "s"), "MatchAny");
  EXPECT_EQ(parsed("(?s:.)."), "Cat(MatchAny, MatchAnyExceptLineTerminator)");
}

TEST(RegexParse, GroupsAndTheirRanges) {
  EXPECT_EQ(parsed("(a)|(b)"), "Alt(CaptureGroup0(Char(a)), CaptureGroup1(Char(b)))");
  EXPECT_EQ(parsed("((a)(b))*"),
            "Loop{0,}[0,3)(CaptureGroup0(Cat(CaptureGroup1(Char(a)), CaptureGroup2(Char(b)))))");
  EXPECT_EQ(parsed("(?=(a))b"), "Cat(Lookaround=[0,1)(CaptureGroup0(Char(a))), Char(b))");
  EXPECT_EQ(parsed("(?<name>a)"), "CaptureGroup0<name>(Char(a))");
  EXPECT_EQ(parsed("(?<$_\\u0062>x)"), "CaptureGroup0<$_b>(Char(x))");
  EXPECT_EQ(parsed("(?<\\u{1d4d0}>x)"), "CaptureGroup0<\xf0\x9d\x93\x90>(Char(x))");
  EXPECT_EQ(parsed("(?:ab)"), "Cat(Char(a), Char(b))");
  EXPECT_EQ(parsed("(?<!a)"), "Lookaround<![0,0)(Char(a))");
  for (const char* bad : {"(?<>a)", "(?<a b>c)", "(?<", "(?<1a>x)", "(?<a", "(?"})
    EXPECT_EQ(compile_error(bad), "error: Invalid token at named capture group identifier") << bad;
  EXPECT_EQ(compile_error("(a"), "error: Unbalanced parenthesis");
  EXPECT_EQ(compile_error("(?:a"), "error: Unbalanced parenthesis");
  EXPECT_EQ(compile_error("a)"), "error: Unbalanced parenthesis");
}

TEST(RegexParse, Quantifiers) {
  EXPECT_EQ(parsed("a{2}?"), "Loop{2,2}?[0,0)(Char(a))");
  EXPECT_EQ(parsed("a??"), "Loop{0,1}?[0,0)(Char(a))");
  EXPECT_EQ(parsed("a{99999999999999999999}"),
            "Loop{18446744073709551615,18446744073709551615}[0,0)(Char(a))");
  EXPECT_EQ(parsed("a{007,}"), "Loop{7,}[0,0)(Char(a))");
  EXPECT_EQ(compile_error("a{2,2}"), "compiles");
  EXPECT_EQ(compile_error("a{0}"), "compiles");
  EXPECT_EQ(compile_error("a{2,1}"), "error: Invalid quantifier");
  for (const char* bad : {"*a", "a|*", "(*)", "a**", "a+*", "a???"})
    EXPECT_EQ(compile_error(bad), "error: Invalid atom character") << bad;
  for (const char* bad : {"^*", "$+", "(?<=a)?", "(?<!a){2}", "(?<=a){2,1}"})
    EXPECT_EQ(compile_error(bad), "error: Quantifier not allowed here") << bad;
  EXPECT_EQ(compile_error("(?=a)*"), "compiles");
  EXPECT_EQ(compile_error("(?=a)*", "u"), "error: Quantifier not allowed here");
  EXPECT_EQ(compile_error("\\b+"), "compiles");
  EXPECT_EQ(compile_error("\\B{2}"), "compiles");
  EXPECT_EQ(compile_error("^{", "u"), "error: Invalid quantifier");
}

TEST(RegexParse, BracesOutsideAndInsideUnicodeMode) {
  for (const char* literal : {"]", "}", "{", "a{", "a{x}", "a{1", "a{1,2", "x{,3}"}) {
    auto p = parsed(literal);
    EXPECT_EQ(p.find("Loop"), std::string::npos) << literal << " " << p;
    EXPECT_EQ(p.find("error"), std::string::npos) << literal << " " << p;
  }
  EXPECT_EQ(parsed("a{1"), "Cat(Char(a), Char({), Char(1))");
  for (const char* bad : {"]", "}", "{"})
    EXPECT_EQ(compile_error(bad, "u"), "error: Invalid atom character") << bad;
  for (const char* bad : {"a{", "a{x}", "a{1", "a{1,2", "x{,3}"})
    EXPECT_EQ(compile_error(bad, "u"), "error: Invalid quantifier") << bad;
  EXPECT_EQ(compile_error("{2}"), "error: Invalid braced quantifier");
  EXPECT_EQ(compile_error("a|{2}"), "error: Invalid braced quantifier");
  EXPECT_EQ(compile_error("a{2}{3}"), "error: Invalid braced quantifier");
}

TEST(RegexParse, Modifiers) {
  for (const char* ok : {"(?i:a)", "(?-i:a)", "(?i-ms:a)", "(?i-:a)"})
    EXPECT_EQ(compile_error(ok), "compiles") << ok;
  for (const char* bad : {"(?-:a)", "(?ii:a)", "(?i-i:a)", "(?--i:a)", "(?x:a)", "(?i)", "(?)", "(?P<n>a)"})
    EXPECT_EQ(compile_error(bad), "error: Invalid group modifier") << bad;
  EXPECT_EQ(parsed("(?i:a)b"), "Cat(CharSet(Aa), Char(b))");
  EXPECT_EQ(parsed("(?-i:a)b", "i"), "Cat(Char(a), CharSet(Bb))");
  EXPECT_EQ(parsed("(?m:^)^"), "Cat(Anchor(^,m), Anchor(^))");
}

TEST(RegexParse, NestingAndCountLimits) {
  auto nested = [](int n, const char* open) {
    std::string p;
    for (int i = 0; i < n; ++i) p += open;
    for (int i = 0; i < n; ++i) p += ")";
    return p;
  };
  EXPECT_EQ(compile_error(nested(255, "(")), "compiles");
  EXPECT_EQ(compile_error(nested(256, "(")), "error: Regular expression is too deeply nested");
  EXPECT_EQ(compile_error(nested(256, "(?:")), "error: Regular expression is too deeply nested");
  EXPECT_EQ(compile_error(nested(256, "(?=")), "error: Regular expression is too deeply nested");
  EXPECT_EQ(compile_error(nested(255, "(?i:")), "compiles");
  std::string groups;
  for (int i = 0; i < 65535; ++i) groups += "()";
  EXPECT_EQ(compile_error(groups), "compiles");
  EXPECT_EQ(compile_error(groups + "()"), "error: Capture group count limit exceeded");
  std::string loops;
  for (int i = 0; i < 65535; ++i) loops += "a*";
  EXPECT_EQ(compile_error(loops), "compiles");
  EXPECT_EQ(compile_error(loops + "(?=b?)"), "error: Loop count limit exceeded");
}

// Runs `f` on a thread with a stack of `bytes`.
void on_small_stack(std::size_t bytes, void (*f)()) {
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, bytes);
  pthread_t thread;
  ASSERT_EQ(pthread_create(
                &thread, &attr,
                [](void* p) -> void* {
                  reinterpret_cast<void (*)()>(p)();
                  return nullptr;
                },
                reinterpret_cast<void*>(f)),
            0);
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attr);
}

TEST(RegexParse, DepthNeedsBoundedStack) {
  // The deepest nesting the parser accepts compiles and matches within the stack it promises.
  on_small_stack(zarnu_regex::parse::kParseStackBytes, [] {
    std::string p;
    for (int i = 0; i < 127; ++i) p += "(?=(?:a|";
    for (int i = 0; i < 127; ++i) p += "))";
    auto r = zarnu_regex::api::Regex::from_utf8(p + "a", "");
    EXPECT_TRUE(r);
    if (r) {
      EXPECT_TRUE(r->find_from("a"));
    }
  });
  // A long alternation is parsed, walked, optimized, emitted and released without recursing per branch.
  on_small_stack(256 * 1024, [] {
    std::string alternation = "x";
    for (int i = 0; i < 20000; ++i) alternation += "|a" + std::to_string(i);
    auto r = zarnu_regex::api::Regex::from_utf8(alternation, "");
    ASSERT_TRUE(r);
    auto m = r->find_from("--a19999");
    ASSERT_TRUE(m);
    EXPECT_EQ(m->start(), 2u);
  });
}

TEST(RegexParse, DuplicateNamesAndThePrescan) {
  EXPECT_EQ(compile_error("\\(?<a>x\\)(?<a>y)"), "compiles");
  EXPECT_EQ(compile_error("[(?<a>x)](?<a>y)"), "compiles");
  EXPECT_EQ(compile_error("(?<a>x)|(?<a>y)"), "compiles");
  EXPECT_EQ(compile_error("((?<a>x)|(?<a>y))"), "compiles");
  EXPECT_EQ(compile_error("(?:(?<a>x)|y)(?:z|(?<a>w))"), "compiles");
  EXPECT_EQ(compile_error("(?<a>x)(?<a>y)"), "error: Duplicate capture group name");
  EXPECT_EQ(compile_error("(?:(?<a>x)|z)(?<a>y)"), "error: Duplicate capture group name");
  EXPECT_EQ(compile_error("(?<a>y)(?:(?<a>x)|z)"), "error: Duplicate capture group name");
  EXPECT_EQ(compile_error("(?<a>x)|(?<b>y)(?<c>w)|(?<a>z)|(?:(?<a>v)|(?<b>u))"), "compiles");
  // The duplicate check runs before parsing.
  EXPECT_EQ(compile_error("(?<a>x)(?<a>y)(?x)"), "error: Duplicate capture group name");
  // With flag v classes nest, so the first group is inside a class (where the parser then refuses it).
  EXPECT_EQ(compile_error("[[a](?<a>x)](?<a>y)"), "error: Duplicate capture group name");
  EXPECT_EQ(compile_error("[[a](?<a>x)](?<a>y)", "v"), "error: Invalid class set character");
  EXPECT_EQ(parsed("(?<a>x)|(?<a>y)\\k<a>"),
            "Alt(CaptureGroup0<a>(Char(x)), Cat(CaptureGroup1<a>(Char(y)), Alt(BackRef(1), BackRef(2))))");
}

TEST(RegexParse, AtomEscapes) {
  EXPECT_EQ(compile_error("a\\"), "error: Incomplete escape");
  EXPECT_EQ(parsed("a\\k"), "Cat(Char(a), Char(k))");
  EXPECT_EQ(compile_error("(?<a>x)\\k"), "error: Invalid named backreference syntax");
  EXPECT_EQ(compile_error("\\k<a>", "u"), "error: Backreference to invalid named capture group: a");
  EXPECT_EQ(parsed("\\1(a)"), "Cat(BackRef(1), CaptureGroup0(Char(a)))");
  EXPECT_EQ(parsed("(a\\1)"), "CaptureGroup0(Cat(Char(a), BackRef(1)))");
  EXPECT_EQ(compile_error("(a)\\2", "u"), "error: Invalid character escape");
  EXPECT_EQ(parsed("(a)\\2"), "Cat(CaptureGroup0(Char(a)), Char(\\u{2}))");
  EXPECT_EQ(parsed("(a)\\8"), "Cat(CaptureGroup0(Char(a)), Char(8))");
  EXPECT_EQ(parsed("(a)\\18"), "Cat(CaptureGroup0(Char(a)), Char(\\u{1}), Char(8))");
  EXPECT_EQ(parsed("\\0"), "Char(\\u{0})");
  EXPECT_EQ(parsed("\\0", "u"), "Char(\\u{0})");
  for (const char* bad : {"\\00", "\\01", "\\08"})
    EXPECT_EQ(compile_error(bad, "u"), "error: Invalid character escape");
  EXPECT_EQ(parsed("\\00"), "Char(\\u{0})");
  EXPECT_EQ(parsed("\\01"), "Char(\\u{1})");
  EXPECT_EQ(parsed("\\08"), "Cat(Char(\\u{0}), Char(8))");
  EXPECT_EQ(parsed("\\012"), "Char(\\u{A})");
  EXPECT_EQ(parsed("\\377"), "Char(\\u{FF})");
  EXPECT_EQ(parsed("\\400"), "Cat(Char( ), Char(0))");
  EXPECT_EQ(parsed("\\x41"), "Char(A)");
  EXPECT_EQ(compile_error("\\x4", "u"), "error: Invalid character escape");
  EXPECT_EQ(compile_error("\\xg1", "u"), "error: Invalid character escape");
  EXPECT_EQ(parsed("\\x4"), "Cat(Char(x), Char(4))");
  for (const char* a : {"\\u0041", "\\u{41}", "\\u{000041}"}) {
    EXPECT_EQ(parsed(a), "Char(A)") << a;
    EXPECT_EQ(parsed(a, "u"), "Char(A)") << a;
  }
  EXPECT_EQ(compile_error("\\u{}", "u"), "error: Invalid unicode escape");
  EXPECT_EQ(compile_error("\\u{110000}", "u"), "error: Invalid unicode escape");
  EXPECT_EQ(parsed("\\u{110000}"), "Loop{110000,110000}[0,0)(Char(u))");
  EXPECT_EQ(parsed("\\uD83D\\uDE00"), "Char(\\u{1F600})");
  EXPECT_EQ(parsed("\\uD83D"), "Char(\\u{D83D})");
  EXPECT_EQ(parsed("\\uD83D\\u0041"), "Cat(Char(\\u{D83D}), Char(A))");
  EXPECT_EQ(parsed("\\cA"), "Char(\\u{1})");
  EXPECT_EQ(parsed("\\ca"), "Char(\\u{1})");
  EXPECT_EQ(parsed("\\c1"), "Cat(Char(\\), Char(c), Char(1))");
  EXPECT_EQ(parsed("\\c*"), "Cat(Char(\\), Loop{0,}[0,0)(Char(c)))");
  EXPECT_EQ(compile_error("\\c1", "u"), "error: Invalid character escape");
  EXPECT_EQ(parsed("\\/", "u"), "Char(/)");
  EXPECT_EQ(compile_error("\\-", "u"), "error: Invalid character escape");
  EXPECT_EQ(compile_error("\\_", "u"), "error: Invalid character escape");
  EXPECT_EQ(parsed("\\-\\_"), "Cat(Char(-), Char(_))");
  EXPECT_EQ(parsed("\\p{L}"), "Cat(Char(p), Char({), Char(L), Char(}))");
  EXPECT_EQ(parsed("\\b\\B", "iu"), "Cat(WordBoundary(b), WordBoundary(B))");
  auto t = zarnu_regex::api::tree(U"\\b", "iu", zarnu_regex::api::TreeStage::Parsed);
  EXPECT_TRUE(t->unicode_icase);
  t = zarnu_regex::api::tree(U"\\b", "i", zarnu_regex::api::TreeStage::Parsed);
  EXPECT_FALSE(t->unicode_icase);
}

TEST(RegexParse, BracketClasses) {
  EXPECT_EQ(parsed("[]"), "Bracket()");
  EXPECT_EQ(parsed("[^]"), "Bracket^()");
  EXPECT_EQ(parsed("[a-]"), "Bracket(- a)");
  EXPECT_EQ(parsed("[-a]"), "Bracket(- a)");
  EXPECT_EQ(parsed("[a-z-0]"), "Bracket(- 0 a-z)");
  EXPECT_EQ(parsed("[\\d-z]"), "Bracket(- 0-9 z)");
  EXPECT_EQ(compile_error("[\\d-z]", "u"), "error: Invalid character range");
  EXPECT_EQ(compile_error("[z-a]"),
            "error: Range values reversed, start char code is greater than end char code.");
  EXPECT_EQ(parsed("[a-a]"), "Bracket(a)");
  EXPECT_EQ(parsed("[\\b]"), "Bracket(\\u{8})");
  EXPECT_EQ(parsed("[\\c1]"), "Bracket(\\u{11})");
  EXPECT_EQ(parsed("[\\c_]"), "Bracket(\\u{1F})");
  EXPECT_EQ(parsed("[\\cJ]"), "Bracket(\\u{A})");
  EXPECT_EQ(parsed("[\\c*]"), "Bracket(* \\ c)");
  EXPECT_EQ(parsed("[\\-]", "u"), "Bracket(-)");
  EXPECT_EQ(compile_error("["), "error: Unbalanced bracket");
  EXPECT_EQ(compile_error("[abc"), "error: Unbalanced bracket");
  EXPECT_EQ(compile_error("[a\\"), "error: Unterminated escape");
  EXPECT_EQ(parsed("[k]", "i"), "Bracket(K k \\u{212A})");
  EXPECT_EQ(parsed("[^a]", "i"), "Bracket^(A a)");
  EXPECT_EQ(parsed("\\w", "i").find("\\u{17F}") != std::string::npos, true);
}

TEST(RegexParse, PropertyEscapes) {
  EXPECT_EQ(parsed("\\p{L}", "u"), parsed("\\p{Letter}", "u"));
  EXPECT_EQ(parsed("\\p{L}", "u"), parsed("\\p{gc=L}", "u"));
  EXPECT_EQ(parsed("\\p{L}", "u"), parsed("\\p{General_Category=Letter}", "u"));
  EXPECT_EQ(parsed("\\p{sc=Grek}", "u"), parsed("\\p{Script=Greek}", "u"));
  EXPECT_EQ(parsed("\\p{Script_Extensions=Latn}", "u"), parsed("\\p{scx=Latin}", "u"));
  for (const char* bad : {"\\p{letter}", "\\p{ L}", "\\p{Greek}", "\\p{gc=Lu=x}", "\\p{gc=}", "\\p{}",
                          "\\p{Lu", "\\p{Emoji_Presentation=Yes}", "\\p{RGI_Emoji}", "\\p{foo=L}"})
    EXPECT_EQ(compile_error(bad, "u"), "error: Invalid property name") << bad;
  EXPECT_EQ(compile_error("\\pL", "u"), "error: Invalid character at property escape start");
  EXPECT_EQ(compile_error("\\P{RGI_Emoji}", "v"), "error: Invalid character escape");
  EXPECT_EQ(compile_error("\\p{RGI_Emoji}", "v"), "compiles");
  EXPECT_EQ(compile_error("[\\p{L}-z]", "u"), "error: Invalid character range");
  EXPECT_EQ(parsed("\\P{Any}", "u"), "Bracket^(\\u{0}-\\u{10FFFF})");
}

TEST(RegexParse, ClassSets) {
  EXPECT_EQ(parsed("[\\q{abc|d}x]", "v"), "Alt(StringAlternation(abc|d), Bracket(x))");
  EXPECT_EQ(parsed("[\\q{a|bc|def}]", "v"), "StringAlternation(def|bc|a)");
  EXPECT_EQ(parsed("[\\q{}]", "v"), "Bracket()");
  EXPECT_EQ(parsed("[\\q{a||}]", "v"), "StringAlternation(a)");
  EXPECT_EQ(parsed("[\\q{a||b|}]", "v"), "StringAlternation(a|b)");
  EXPECT_EQ(parsed("[[a-z]--[aeiou]]", "v"), "Bracket(b-d f-h j-n p-t v-z)");
  EXPECT_EQ(parsed("[\\w&&\\d]", "v"), "Bracket(0-9)");
  EXPECT_EQ(compile_error("[a-z&&[^aeiou]]", "v"), "error: Invalid class set character");
  EXPECT_EQ(compile_error("[[a-z]&&[^aeiou]]", "v"), "compiles");
  EXPECT_EQ(parsed("[a&b]", "v"), "Bracket(& a-b)");
  EXPECT_EQ(compile_error("[a&&&b]", "v"), "error: Unexpected character in class set intersection");
  EXPECT_EQ(compile_error("[a--b&&c]", "v"), "error: Unexpected character in class set subtraction");
  EXPECT_EQ(compile_error("[ab--c]", "v"), "error: Invalid class set character");
  EXPECT_EQ(compile_error("[a-]", "v"), "error: Invalid class set range");
  EXPECT_EQ(compile_error("[!-]", "v"), "error: Unbalanced class set bracket");
  EXPECT_EQ(parsed("[\\q{a}--a]", "v"), "Bracket()");
  EXPECT_EQ(parsed("[a--\\q{a}]", "v"), "Bracket()");
  EXPECT_EQ(parsed("[\\q{a}&&a]", "v"), "StringAlternation(a)");
  EXPECT_EQ(compile_error("[z-a]", "v"), "error: Invalid class set range");
  EXPECT_EQ(compile_error("[\\d-z]", "v"), "error: Invalid class set range");
  EXPECT_EQ(compile_error("[!#]", "v"), "error: Invalid class set character");
  EXPECT_EQ(parsed("[!]", "v"), "Bracket(!)");
  EXPECT_EQ(parsed("[\\!\\#]", "v"), "Bracket(! #)");
  EXPECT_EQ(parsed("[\\b]", "v"), "Bracket(\\u{8})");
  EXPECT_EQ(parsed("[(]", "v").substr(0, 6), "error:");
  EXPECT_EQ(compile_error("[^\\p{RGI_Emoji}]", "v"), "error: Invalid character escape");
  EXPECT_EQ(compile_error("[a", "v"), "error: Unbalanced class set bracket");
  EXPECT_EQ(compile_error("[a&&", "v"), "error: Empty class set operand");
  EXPECT_EQ(compile_error("[a&&b&]", "v"), "error: Unbalanced class set bracket");
  EXPECT_EQ(compile_error("[\\", "v"), "error: Incomplete class set escape");
  EXPECT_EQ(compile_error("[\\q]", "v"), "error: Invalid class set escape: expected {");
  EXPECT_EQ(compile_error("[\\q{ab", "v"), "error: Unbalanced class set string disjunction");
  std::string deep = "";
  for (int i = 0; i < 257; ++i) deep += "[";
  EXPECT_EQ(compile_error(deep, "v"), "error: Regular expression is too deeply nested");
  // The closure under i is taken after the subtraction.
  EXPECT_EQ(parsed("[\\w--k]", "vi"), "Bracket(0-9 A-Z _ a-z \\u{17F} \\u{212A})");
}

TEST(RegexParse, ErrorDebugForm) {
  EXPECT_EQ(zarnu_regex::parse::debug(zarnu_regex::parse::error("a \"b\"\\")),
            "Error { text: \"a \\\"b\\\"\\\\\" }");
}

}  // namespace
