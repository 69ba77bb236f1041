// Matching: the driver's successive matches, the interpreter's instructions, loops, captures,
// backreferences, case-insensitive matching, lookaround and backward matching.
#include <gtest/gtest.h>

#include "regex_helpers.hpp"

namespace {

using zarnu_regex_test::all;
using zarnu_regex_test::first;

struct Case {
  const char* pattern;
  const char* flags;
  const char* text;
  const char* expected;  // zarnu_regex_test::describe of the first match, or "none"
};

void check(std::initializer_list<Case> cases) {
  for (const Case& c : cases)
    EXPECT_EQ(first(c.pattern, c.flags, c.text), c.expected)
        << "/" << c.pattern << "/" << c.flags << " on \"" << c.text << "\"";
}

TEST(RegexMatch, SuccessiveMatchesStepOverEmptyOnes) {
  EXPECT_EQ(all("a*", "", "baa"), "0: 1:aa 3:");
  EXPECT_EQ(all("", "", ""), "0:");
  EXPECT_EQ(all("", "", "\xc3\xa9"), "0: 2:");
  EXPECT_EQ(all("x", "", "abc"), "none");
  EXPECT_EQ(all("(a)|(b)", "", "b"), "0:b|~|b");
  EXPECT_EQ(all("^a", "", "aa"), "0:a");
  EXPECT_EQ(all("^a", "m",
                "a\na\ra\xe2\x80\xa8"
                "a"),
            "0:a 2:a 4:a 8:a");
  EXPECT_EQ(all("a|ab", "", "abab"), "0:a 2:a");
  EXPECT_EQ(first("x", "", "abc", 4), "none");
  EXPECT_EQ(first("b", "", "abcb", 2), "3:b");
  EXPECT_EQ(first("$", "", "abc", 3), "3:");
  // A prefix longer than what remains is never attempted.
  EXPECT_EQ(first("abcd", "", "abc"), "none");
}

TEST(RegexMatch, LiteralsClassesAndAnchors) {
  check({
      {"abc", "", "xxabcx", "2:abc"},
      {"abc|abd", "", "abxabd", "3:abd"},
      {"abc|xyz", "", "--xyz", "2:xyz"},
      {"[abc]x", "", "axbx", "0:ax"},
      {"[a-e]x", "", "zzex", "2:ex"},
      {"[^a]", "", "aaé", "2:é"},
      {"(?=a)b", "", "ab", "none"},
      {"a+b", "", "caab", "1:aab"},
      {"\\d+", "", "ab123c", "2:123"},
      {"\\s", "", "a\xef\xbb\xbf", "1:\xef\xbb\xbf"},
      {"\\s", "", "a\xc2\x85", "none"},
      {"\\W", "", "ab-", "2:-"},
      {".", "", "\n\r\xe2\x80\xa8\xe2\x80\xa9x", "8:x"},
      {".", "s", "\n", "0:\n"},
      {"^b", "", "a\nb", "none"},
      {"^b", "m", "a\nb", "2:b"},
      {"a$", "", "a\nb", "none"},
      {"a$", "m", "a\nb", "0:a"},
      {"$", "", "", "0:"},
      {"\\bfoo\\b", "", "afoo foo", "5:foo"},
      {"\\B", "", "", "0:"},
      {"\\b", "", "", "none"},
      {"\\b", "iu", " \xe2\x84\xaa", "1:"},
      {"\\b", "i", " \xe2\x84\xaa", "none"},
      {"\xf0\x9f\x98\x80+", "u", "x\xf0\x9f\x98\x80\xf0\x9f\x98\x80", "1:\xf0\x9f\x98\x80\xf0\x9f\x98\x80"},
      {"[\xf0\x9f\x98\x80-\xf0\x9f\x98\x82]", "", "\xf0\x9f\x98\x81", "0:\xf0\x9f\x98\x81"},
      {"\\uD83D", "", "\xf0\x9f\x98\x80", "none"},
      {"\\uD83D*x", "", "x", "0:x"},
      {"[]", "", "abc", "none"},
      {"a[]|b", "", "ab", "1:b"},
      {"(a[])|b", "", "ab", "1:b|~"},
      {"[^]", "", "\n", "0:\n"},
      {"\\p{Lu}+", "u", "abCD\xc3\x89z", "2:CD\xc3\x89"},
      {"\\p{Any}", "u", "\xf4\x8f\xbf\xbf", "0:\xf4\x8f\xbf\xbf"},
      {"\\P{Any}", "u", "abc", "none"},
      {"\\p{sc=Greek}+", "u", "a\xce\xb1\xce\xb2", "1:\xce\xb1\xce\xb2"},
  });
}

TEST(RegexMatch, FlagLetters) {
  using zarnu_regex::types::Flags;
  const Flags f = Flags::from_text("gimsuy");
  EXPECT_TRUE(f.icase && f.multiline && f.dot_all && f.unicode && !f.unicode_sets);
  EXPECT_EQ(Flags::from_text("I"), Flags{});
  EXPECT_EQ(Flags::from_text("vv").unicode_sets, true);
  EXPECT_EQ(Flags::from_text("v").unicode, false);
}

TEST(RegexMatch, CaseInsensitive) {
  check({
      {"(a)\\1", "i", "aA", "0:aA|a"},
      {"k", "iu", "\xe2\x84\xaa", "0:\xe2\x84\xaa"},
      {"k", "i", "\xe2\x84\xaa", "none"},
      {"[k]", "i", "\xe2\x84\xaa", "0:\xe2\x84\xaa"},
      {"[s]", "i", "\xc5\xbf", "0:\xc5\xbf"},
      {"\\w", "i", "\xc5\xbf", "0:\xc5\xbf"},
      {"\\W", "i", "\xc5\xbf-", "2:-"},
      {"[\\W]", "i", "s", "0:s"},
      {"\\W", "i", "sk", "none"},
      {"[^a]", "i", "Aab", "2:b"},
      {"\\P{Lu}", "iu", "A", "0:A"},
      {"(?i:a)b", "", "ABAb", "2:Ab"},
      {"\xc3\x9f", "iu", "\xe1\xba\x9e", "0:\xe1\xba\x9e"},
      {"\xce\xb8", "iu", "\xcf\x91", "0:\xcf\x91"},
      {"abc", "i", "xAbC", "1:AbC"},
      {"[\\w--k]", "vi", "kK", "0:k"},
      {"[\\q{ab}]", "vi", "AB", "0:AB"},
      {"(\xe2\x84\xaa)\\1", "iu", "\xe2\x84\xaak", "0:\xe2\x84\xaak|\xe2\x84\xaa"},
      {"(k)\\1", "i", "k\xe2\x84\xaa", "none"},
  });
}

TEST(RegexMatch, LoopsAndTheirLimits) {
  check({
      {"a{2,4}", "", "aaaaa", "0:aaaa"},
      {"a{2,4}b", "", "aaaaab", "1:aaaab"},
      {"a{3}", "", "aa", "none"},
      {"a{0}", "", "aaa", "0:"},
      {"x{0}y", "", "xy", "1:y"},
      {"(?:ab){0}c", "", "abc", "2:c"},
      {"a*?b", "", "aaab", "0:aaab"},
      {"a*?", "", "aaa", "0:"},
      {"a+?", "", "aaa", "0:a"},
      {"x{2,3}?y", "", "xxxy", "0:xxxy"},
      {"a{2}?", "", "aaa", "0:aa"},
      {".*", "", "ab\ncd", "0:ab"},
      {"[^x]*", "", "a\nb", "0:a\nb"},
      {"\xe2\x82\xac*\xe2\x82\xac", "", "\xe2\x82\xac\xe2\x82\xac\xe2\x82\xac",
       "0:\xe2\x82\xac\xe2\x82\xac\xe2\x82\xac"},
      {"(a*)*", "", "b", "0:|~"},
      {"(a*)+", "", "b", "0:|"},
      {"(?:a?){2}", "", "", "0:"},
      {"(?:ab)*?c", "", "ababc", "0:ababc"},
      {"(?:ab)*c", "", "ababc", "0:ababc"},
      {"(a|ab)(c|bcd)(d*)", "", "abcd", "0:abcd|a|bcd|"},
      {"((a)|b)+", "", "ab", "0:ab|b|~"},
      {"(z)((a+)?(b+)?(c))*", "", "zaacbbbcac", "0:zaacbbbcac|z|ac|a|~|c"},
      {"(?:(a)|b){2}", "", "ab", "0:ab|~"},
      {"(?:a{6}b)+", "", "aaaaaabaaaaaab", "0:aaaaaabaaaaaab"},
      {"(?:(?:a|ab){6}c)+d", "", "aaaaaabcaaaaaacd", "0:aaaaaabcaaaaaacd"},
      {"^(?:(?:x|xy){6}z)*$", "", "xxxxxxyzxxxxxxz", "0:xxxxxxyzxxxxxxz"},
      {"^(?:(?:x|xy){6}z)*$", "", "xxxxxyzxxxxxxz", "none"},
      {"^(?:(?:x|xy){6,7}?z)*$", "", "xxxxxxyzxxxxxxxz", "0:xxxxxxyzxxxxxxxz"},
      {"(?:a|b)*?c", "", "abbc", "0:abbc"},
      {"(a)*?b", "", "aab", "0:aab|a"},
      // Backtracking into an earlier pass of the outer loop, after a later pass entered the inner loop
      // again, finds the inner loop's count of that earlier pass.
      {"^(?:(?:xy|x){6}(?:z|yzz))*$", "", "xxxxxxyzz", "0:xxxxxxyzz"},
  });
}

TEST(RegexMatch, CapturesAndBackreferences) {
  check({
      {"b(c)?", "", "abd", "1:b|~"},
      {"(a)|\\1b", "", "b", "0:b|~"},
      {"(a)\\1", "", "aa", "0:aa|a"},
      {"\\1(a)", "", "aa", "0:a|a"},
      {"(a\\1)", "", "aa", "0:a|a"},
      {"(aa)\\1", "", "aaa", "none"},
      {"()\\1$", "", "x", "1:|"},
      {"(?<a>x)|(?<a>y)\\k<a>", "", "yy", "0:y|~|y"},
      {"(?<first>a)\\k<first>", "", "baa", "1:aa|a"},
      {"(\\w)(\\w)\\2\\1", "", "xabba", "1:abba|a|b"},
      // A backreference inside its own group, after backtracking into that group.
      {"(a*\\1.)b", "", "ab", "0:ab|a"},
      {"(a*\\1b)$", "", "abb", "2:b|b"},
      {"(?<=b(.\\1a*))$", "", "ba", "2:|a"},
  });
}

TEST(RegexMatch, Lookaround) {
  check({
      {"(?=(a+))a*b\\1", "", "baaabac", "3:aba|a"},
      {"(?!(a)c)(a)b", "", "ab", "0:ab|~|a"},
      {"(?:(?=(a))ac|ab)", "", "ab", "0:ab|~"},
      {"(?=a)a", "", "a", "0:a"},
      {"(?=ab)a", "", "ac", "none"},
      {"(?<=)x(?=)", "", "x", "0:x"},
      {"(?!)", "", "x", "none"},
      {"(?<!)", "", "x", "none"},
      {"(?<=(?=b)..)c", "", "abc", "none"},
      {"(?<=a(?=b).)c", "", "abc", "2:c"},
      {"(?<!a)b", "", "b", "0:b"},
      {"(?<=a)b", "", "b", "none"},
      {"(?<=\xc3\xa9)x", "", "\xc3\xa9x", "2:x"},
      {"(?<=ab)c", "", "abc", "2:c"},
      {"(?<=ab)c", "", "bac", "none"},
      {"(?<=(\\d+)(\\d+))$", "", "1053", "4:|1|053"},
      {"(?<=\\1(a))b", "", "aab", "2:b|a"},
      {"(?<=\\1(a))b", "", "ab", "none"},
      {"(?<=(a+?))b", "", "aab", "2:b|a"},
      {"(?<=(a+))b", "", "aab", "2:b|aa"},
      {"(?<=\\1(k))x", "iu", "\xe2\x84\xaakx", "4:x|k"},
      {"(?<=\\1(k))x", "i", "\xe2\x84\xaakx", "none"},
      {"(?<=abcdefghijklmnopqrstuvwxyz)!", "", "abcdefghijklmnopqrstuvwxyz!", "26:!"},
      {"(?<=[\\q{abc}])d", "vi", "xABCd", "4:d"},
      {"(?<=ab)c", "i", "ABc", "2:c"},
      {"(?<=^|,)\\w+", "", "a,bc", "0:a"},
      {"(?<=x*)y", "", "xxy", "2:y"},
      {"(?<=(?<!c)b)a", "", "cbaba", "4:a"},
      {"(?<=\\b)x", "", " x", "1:x"},
      {"(?<=.)$", "s", "\xe2\x82\xac", "3:"},
      {"(?<=a{2,3}?)b", "", "aaab", "3:b"},
      {"(?<=[a-c]{2})d", "", "xbcd", "3:d"},
      {"(?<=(a)(?:b|c)\\1)d", "", "abad", "none"},
      {"(?<=\\1(?:b|c)(a))d", "", "abad", "3:d|a"},
  });
  // A lookbehind sees the text before the search's start.
  EXPECT_EQ(first("(?<=a)b", "", "ab", 1), "1:b");
}

TEST(RegexMatch, ClassSetsWithStrings) {
  check({
      {"[\\q{abc|d}x]", "v", "abcd", "0:abc"},
      {"[\\q{a|bc|def}]", "v", "def", "0:def"},
      {"[\\q{}]", "v", "a", "none"},
      {"[[a-z]--[aeiou]]+", "v", "aebcd", "2:bcd"},
      {"[\\p{RGI_Emoji}]", "v", "\xf0\x9f\x91\x8d\xf0\x9f\x8f\xbd", "0:\xf0\x9f\x91\x8d\xf0\x9f\x8f\xbd"},
      {"\\p{RGI_Emoji}", "v", "\xf0\x9f\x91\x8d\xf0\x9f\x8f\xbd", "0:\xf0\x9f\x91\x8d\xf0\x9f\x8f\xbd"},
      {"[^\\q{ab}]", "v", "ab", "0:ab"},
  });
}

TEST(RegexMatch, CatastrophicPatternsStillFinish) {
  // A pattern that fails without backtracking into exponential work for short texts.
  EXPECT_EQ(first("(a+)+b", "", std::string(18, 'a')), "none");
  EXPECT_EQ(first("(x+x+)+y", "", std::string(12, 'x') + "y"),
            "0:" + std::string(12, 'x') + "y|" + std::string(12, 'x'));
}

}  // namespace
