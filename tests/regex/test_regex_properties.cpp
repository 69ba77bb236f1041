// Properties over random patterns: backward matching agrees with forward matching, and the optimizer
// and start predicates change no result.
#include <gtest/gtest.h>

#include <random>

#include "emit.hpp"
#include "regex_helpers.hpp"
#include "util.hpp"

namespace {

using zarnu_regex::api::Regex;

// A random pattern over the letters a and b: literals, classes, groups, alternation and quantifiers.
std::string random_pattern(std::mt19937& rng, int depth) {
  auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
  std::string out;
  const int atoms = 1 + pick(3);
  for (int i = 0; i < atoms; ++i) {
    switch (depth > 2 ? pick(4) : pick(7)) {
      case 0:
        out += "a";
        break;
      case 1:
        out += "b";
        break;
      case 2:
        out += pick(2) ? "[ab]" : "[^a]";
        break;
      case 3:
        out += ".";
        break;
      case 4:
        out += "(?:" + random_pattern(rng, depth + 1) + "|" + random_pattern(rng, depth + 1) + ")";
        break;
      case 5:
        out += "(" + random_pattern(rng, depth + 1) + ")";
        break;
      default:
        out += "(?:" + random_pattern(rng, depth + 1) + ")";
        break;
    }
    static const char* quantifiers[] = {"",      "",   "",   "*",  "+",      "?",
                                        "{1,2}", "*?", "+?", "??", "{0,2}?", "{2}"};
    out += quantifiers[pick(12)];
  }
  return out;
}

TEST(RegexBackward, LookbehindAgreesWithForwardMatchesOfEverySuffix) {
  std::mt19937 rng(20260101);
  for (int round = 0; round < 250; ++round) {
    const std::string p = random_pattern(rng, 0);
    auto whole = Regex::from_utf8("^(?:" + p + ")$", "");
    auto behind = Regex::from_utf8("(?<=" + p + ")", "");
    ASSERT_TRUE(whole && behind) << p;
    std::string text;
    const int len = static_cast<int>(rng() % 7);
    for (int i = 0; i < len; ++i) text += "ab"[rng() % 2];
    for (std::size_t i = 0; i <= text.size(); ++i) {
      bool forward = false;
      for (std::size_t j = 0; j <= i && !forward; ++j)
        forward = whole->find_from(text.substr(j, i - j)).has_value();
      const auto m = behind->find_from(text, i);
      const bool backward = m && m->start() == i;
      EXPECT_EQ(backward, forward) << "pattern " << p << " text \"" << text << "\" at " << i;
    }
  }
}

// The first match of an unoptimized program (the tree emitted as parsed), described like the others.
std::string unoptimized(const std::string& pattern, const char* flags, std::string_view text) {
  using namespace zarnu_regex;
  auto tree = api::tree(util::utf8_decode(pattern), flags, api::TreeStage::Rooted);
  if (!tree) return "error";
  insn::CompiledRegex program = emit::emit(*tree, types::Flags::from_text(flags));
  program.start_pred = startpredicate::StartPredicate();  // every position a candidate
  classicalbacktrack::MatchAttempter<interrupt::NoPoll> attempter(program, interrupt::NoPoll{});
  const cursor::Utf8Input input(text, program.flags.unicode);
  auto found = exec::scan(program, input, 0, attempter);
  if (!found) return "none";
  return zarnu_regex_test::describe(
      classicalbacktrack::make_match(program, attempter.groups(), found->first, found->second), text);
}

// Patterns with captures, backreferences, anchors, boundaries and lookaround as well.
std::string random_rich_pattern(std::mt19937& rng, int depth) {
  auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
  static const char* atoms[] = {"a", "b",   "A",   "[ab]", "[^b]", ".",  "^",
                                "$", "\\b", "\\1", "ab",   "aab",  "\\w"};
  std::string out;
  const int count = 1 + pick(3);
  for (int i = 0; i < count; ++i) {
    const int kind = depth > 2 ? 0 : pick(8);
    if (kind == 1)
      out += "(" + random_rich_pattern(rng, depth + 1) + ")";
    else if (kind == 2)
      out += "(?:" + random_rich_pattern(rng, depth + 1) + "|" + random_rich_pattern(rng, depth + 1) + ")";
    else if (kind == 3)
      out += std::string(pick(2) ? "(?=" : "(?!") + random_rich_pattern(rng, depth + 1) + ")";
    else if (kind == 4)
      out += std::string(pick(2) ? "(?<=" : "(?<!") + random_rich_pattern(rng, depth + 1) + ")";
    else
      out += atoms[pick(13)];
    // Assertions take no quantifier in patterns that the parser accepts under every flag used here.
    if (out.back() == ')' && (kind == 3 || kind == 4)) continue;
    if (out.back() == '^' || out.back() == '$') continue;
    static const char* quantifiers[] = {"", "", "*", "+", "?", "{1,3}", "*?", "+?", "{0,2}?", "{2}", "{6,7}"};
    out += quantifiers[pick(11)];
  }
  return out;
}

TEST(RegexProperties, TheOptimizerAndStartPredicatesChangeNoResult) {
  std::mt19937 rng(7);
  // Some patterns begin with a run of one character test, which lets a failed attempt skip the run.
  static const char* runs[] = {"", "", "a+", "[ab]*", "\\w+", "a{2,}", ".*", "[^b]+"};
  for (int round = 0; round < 300; ++round) {
    const std::string p = runs[round % 8] + random_rich_pattern(rng, 0);
    const char* flags = round % 3 == 0 ? "i" : round % 3 == 1 ? "m" : "";
    std::string text;
    const int len = static_cast<int>(rng() % 9);
    for (int i = 0; i < len; ++i) text += "abA\n"[rng() % 4];
    const std::string expected = unoptimized(p, flags, text);
    if (expected == "error") continue;  // e.g. a quantified group the parser refuses
    EXPECT_EQ(zarnu_regex_test::first(p, flags, text), expected)
        << "pattern /" << p << "/" << flags << " text \"" << text << "\"";
  }
}

}  // namespace

// A group that refers to itself: the backreference never sees a finished span of its own group (not
// even a stale one left by an attempt that backtracked), so it matches the empty string, forward, inside
// lookbehinds and in quantified groups alike.
std::string self_referencing_body(std::mt19937& rng, int depth) {
  auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
  static const char* atoms[] = {"a", "b", ".", "[ab]", "\\1", "\\1", "a*", "b?"};
  std::string out;
  const int count = 1 + pick(4);
  for (int i = 0; i < count; ++i) {
    const int kind = depth > 1 ? 0 : pick(6);
    if (kind == 1)
      out +=
          "(?:" + self_referencing_body(rng, depth + 1) + "|" + self_referencing_body(rng, depth + 1) + ")";
    else if (kind == 2)
      out += "(" + self_referencing_body(rng, depth + 1) + ")";
    else
      out += atoms[pick(8)];
    static const char* quantifiers[] = {"", "", "", "*", "+", "?", "*?", "{1,2}"};
    out += quantifiers[pick(8)];
  }
  return out;
}

TEST(RegexProperties, ABackreferenceInsideItsOwnGroupMatchesEmpty) {
  std::mt19937 rng(12);
  auto without_backrefs = [](std::string p) {
    for (std::size_t at; (at = p.find("\\1")) != std::string::npos;) p.replace(at, 2, "(?:)");
    return p;
  };
  for (int round = 0; round < 300; ++round) {
    const std::string group = "(" + self_referencing_body(rng, 0) + ")" + (round % 4 == 0 ? "*" : "");
    const std::string prefix = round % 3 == 0 ? "a*" : "", suffix = round % 2 ? "b" : "$";
    std::string text;
    const int len = 1 + static_cast<int>(rng() % 6);
    for (int i = 0; i < len; ++i) text += "ab"[rng() % 2];
    const std::string p = prefix + group + suffix, behind = "(?<=" + prefix + group + ")" + suffix;
    EXPECT_EQ(zarnu_regex_test::all(p, "", text), zarnu_regex_test::all(without_backrefs(p), "", text))
        << "pattern /" << p << "/ text \"" << text << "\"";
    EXPECT_EQ(zarnu_regex_test::all(behind, "", text),
              zarnu_regex_test::all(without_backrefs(behind), "", text))
        << "pattern /" << behind << "/ text \"" << text << "\"";
  }
}
