// From tree to program: the lookbehind reversal, the optimizer's rewrites, the emitted instructions and
// the start predicates.
#include <gtest/gtest.h>

#include "regex_helpers.hpp"
#include "util.hpp"

namespace {

using zarnu_regex::api::Regex;
using zarnu_regex::api::TreeStage;
using Kind = zarnu_regex::startpredicate::StartPredicate::Kind;

std::string tree(std::string_view pattern, TreeStage stage, std::string_view flags = "") {
  auto t = zarnu_regex::api::tree(zarnu_regex::util::utf8_decode(pattern), flags, stage);
  return t ? t->debug() : "error: " + t.error().text;
}

std::string optimized(std::string_view pattern, std::string_view flags = "") {
  return tree(pattern, TreeStage::Optimized, flags);
}

std::string program(std::string_view pattern, std::string_view flags = "") {
  auto r = Regex::from_utf8(pattern, flags);
  if (!r) return "error: " + r.error().text;
  std::string out;
  for (const auto& in : r->compiled().insns) out += (out.empty() ? "" : "; ") + zarnu_regex::insn::debug(in);
  return out;
}

const zarnu_regex::startpredicate::StartPredicate& predicate(const Regex& r) {
  return r.compiled().start_pred;
}

Regex compiled(std::string_view pattern, std::string_view flags = "") {
  return *Regex::from_utf8(pattern, flags);
}

std::vector<std::uint8_t> bytes(const Regex& r) {
  auto b = predicate(r).bytes();
  return {b.begin(), b.end()};
}

TEST(RegexCompile, LookbehindsAreReversed) {
  EXPECT_EQ(tree("(?<=ab)c", TreeStage::Rooted),
            "Cat(Cat(Lookaround<=[0,0)(Cat(Char(b), Char(a))), Char(c)), Goal)");
  EXPECT_EQ(tree("(?<=a(?=bc)d)", TreeStage::Rooted),
            "Cat(Lookaround<=[0,0)(Cat(Char(d), Lookaround=[0,0)(Cat(Char(b), Char(c))), Char(a))), Goal)");
  EXPECT_EQ(tree("ab", TreeStage::Rooted), "Cat(Cat(Char(a), Char(b)), Goal)");
  // The bytes of a literal inside a lookbehind stay in text order.
  EXPECT_EQ(optimized("(?<=abc)"), "Cat(Lookaround<=[0,0)(ByteSeq(abc)), Goal)");
}

TEST(RegexCompile, OptimizerRewrites) {
  EXPECT_EQ(optimized("abc"), "Cat(ByteSeq(abc), Goal)");
  EXPECT_EQ(optimized("a(?:)b"), "Cat(ByteSeq(a), ByteSeq(b), Goal)");
  EXPECT_EQ(optimized("a{3}"), "Cat(ByteSeq(aaa), Goal)");
  EXPECT_EQ(optimized("a{2,5}"), "Cat(Cat(ByteSeq(aa), Loop1CharBody{0,3}(ByteSeq(a))), Goal)");
  EXPECT_EQ(optimized("a{2,}"), "Cat(Cat(ByteSeq(aa), Loop1CharBody{0,}(ByteSeq(a))), Goal)");
  EXPECT_EQ(optimized("a{1}"), "Cat(Cat(ByteSeq(a)), Goal)");
  EXPECT_EQ(optimized("a{6}"), "Cat(Loop1CharBody{6,6}(ByteSeq(a)), Goal)");
  EXPECT_EQ(optimized("(a){2}"), "Cat(Loop{2,2}[0,1)(CaptureGroup0(ByteSeq(a))), Goal)");
  EXPECT_EQ(optimized("(?:a*){2}"), "Cat(Loop{2,2}[0,0)(Loop1CharBody{0,}(ByteSeq(a))), Goal)");
  EXPECT_EQ(optimized("(?:ab){0}"), "Goal");
  EXPECT_EQ(optimized("x{0}"), "Cat(Loop1CharBody{0,0}(ByteSeq(x)), Goal)");
  EXPECT_EQ(optimized("[abc]"), "Cat(ByteSet(abc), Goal)");
  EXPECT_EQ(optimized("[a-e]"), "Cat(Bracket(a-e), Goal)");
  EXPECT_EQ(optimized("[^\\0-`b-\\u{10FFFF}]", "u"), "Cat(ByteSet(a), Goal)");
  EXPECT_EQ(optimized("[^a]"), "Cat(Bracket^(a), Goal)");
  EXPECT_EQ(optimized("[]"), "CharSet()");
  EXPECT_EQ(optimized("a[]|b"), "Cat(ByteSeq(b), Goal)");
  EXPECT_EQ(optimized("(a[])|b"), "Cat(Alt(CaptureGroup0(CharSet()), ByteSeq(b)), Goal)");
  EXPECT_EQ(optimized("(?=)x"), "Cat(ByteSeq(x), Goal)");
  EXPECT_EQ(optimized("(?!)x"), "Cat(Lookaround![0,0)(Empty), ByteSeq(x), Goal)");
  EXPECT_EQ(optimized("[^\\0-\\u{10FFFF}]x", "u"), "CharSet()");
  EXPECT_EQ(optimized("(?:a|b)+"),
            "Cat(Cat(Alt(ByteSeq(a), ByteSeq(b)), Loop{0,}[0,0)(Alt(ByteSeq(a), ByteSeq(b)))), Goal)");
  EXPECT_EQ(optimized("(?:[]b)+c|d"), "Cat(ByteSeq(d), Goal)");
}

TEST(RegexCompile, EmittedPrograms) {
  EXPECT_EQ(program("a|b|c"),
            "Alt { secondary: 3 }; ByteSeq1([97]); Jump { target: 7 }; Alt { secondary: 6 }; ByteSeq1([98]); "
            "Jump { target: 7 }; ByteSeq1([99]); Goal");
  EXPECT_EQ(program("abcdefghijklmnopqrst"),
            "ByteSeq16([97, 98, 99, 100, 101, 102, 103, 104, 105, 106, 107, 108, 109, 110, 111, 112]); "
            "ByteSeq4([113, 114, 115, 116]); Goal");
  EXPECT_EQ(
      program("(?<=abcdefghijklmnopqrst)"),
      "Lookbehind { negate: false, start_group: 0, end_group: 0, continuation: 4 }; "
      "ByteSeq4([113, 114, 115, 116]); "
      "ByteSeq16([97, 98, 99, 100, 101, 102, 103, 104, 105, 106, 107, 108, 109, 110, 111, 112]); Goal; Goal");
  const std::string thirty_two(32, 'x');
  auto lb = compiled("(?<=" + thirty_two + "y)");
  EXPECT_EQ(lb.compiled().insns[1].op, zarnu_regex::insn::Op::ByteSeq1);
  EXPECT_EQ(program("(?:ab)*(?:cd)*"),
            "EnterLoop(LoopFields { loop_id: 0, min_iters: 0, max_iters: 18446744073709551615, greedy: true, "
            "exit: 3 }); "
            "ByteSeq2([97, 98]); LoopAgain { begin: 0 }; "
            "EnterLoop(LoopFields { loop_id: 1, min_iters: 0, max_iters: 18446744073709551615, greedy: true, "
            "exit: 6 }); "
            "ByteSeq2([99, 100]); LoopAgain { begin: 3 }; Goal");
  EXPECT_EQ(program("(a)*"),
            "EnterLoop(LoopFields { loop_id: 0, min_iters: 0, max_iters: 18446744073709551615, greedy: true, "
            "exit: 6 }); "
            "ResetCaptureGroup(0); BeginCaptureGroup(0); ByteSeq1([97]); EndCaptureGroup(0); LoopAgain { "
            "begin: 0 }; Goal");
  EXPECT_EQ(program("[a-z]"), "AsciiBracket(AsciiBitmap [97-122]); Goal");
  EXPECT_EQ(program("[^a-z]"), "Bracket(0); Goal");
  EXPECT_EQ(program("[a-zÃ©]"), "Bracket(0); Goal");
  EXPECT_EQ(program("(a)(b)\\2"),
            "BeginCaptureGroup(0); ByteSeq1([97]); EndCaptureGroup(0); BeginCaptureGroup(1); ByteSeq1([98]); "
            "EndCaptureGroup(1); BackRef { group: 1, icase: false }; Goal");
  EXPECT_EQ(program("k", "iu"), "CharSet([75, 107, 8490, 75]); Goal");
  EXPECT_EQ(program("k", "i"), "ByteSet2(ByteArraySet([75, 107])); Goal");
  EXPECT_EQ(program("[]"), "JustFail");
  EXPECT_EQ(program("a*?"),
            "Loop1CharBody { min_iters: 0, max_iters: 18446744073709551615, greedy: false }; "
            "ByteSeq1([97]); Goal");
  EXPECT_EQ(program("[\\q{ab|c}]", "v"),
            "Alt { secondary: 3 }; ByteSeq2([97, 98]); Jump { target: 4 }; ByteSeq1([99]); Goal");
  // Case-insensitive pieces of a string inside a lookbehind run right to left.
  EXPECT_EQ(program("(?<=[\\q{ab}])", "vi"),
            "Lookbehind { negate: false, start_group: 0, end_group: 0, continuation: 4 }; "
            "ByteSet2(ByteArraySet([66, 98])); ByteSet2(ByteArraySet([65, 97])); Goal; Goal");
}

TEST(RegexCompile, GroupNames) {
  EXPECT_TRUE(compiled("(a)(b)").compiled().group_names.empty());
  EXPECT_EQ(compiled("(a)(?<n>b)(c)").compiled().group_names, (std::vector<std::string>{"", "n", ""}));
  auto m = compiled("(?<n>b)").find_from("ab");
  ASSERT_TRUE(m);
  ASSERT_EQ(m->group_names.size(), 1u);
  EXPECT_EQ(m->group_names[0], "n");
  EXPECT_EQ(compiled("(a)(b)").group_count(), 2u);
}

TEST(RegexCompile, StartPredicates) {
  EXPECT_EQ(predicate(compiled("^abc")).kind(), Kind::StartAnchored);
  EXPECT_EQ(predicate(compiled("^abc", "m")).kind(), Kind::Arbitrary);
  EXPECT_EQ(predicate(compiled("^a|^b")).kind(), Kind::StartAnchored);
  EXPECT_EQ(predicate(compiled("(^a)|^b")).kind(), Kind::StartAnchored);
  EXPECT_EQ(predicate(compiled("^a|b")).kind(), Kind::Arbitrary);  // an anchor decides nothing
  EXPECT_EQ(predicate(compiled("abc")).kind(), Kind::Prefix);
  EXPECT_EQ(bytes(compiled("abc")), (std::vector<std::uint8_t>{'a', 'b', 'c'}));
  EXPECT_EQ(bytes(compiled("abc|abd")), (std::vector<std::uint8_t>{'a', 'b'}));
  EXPECT_EQ(predicate(compiled("abc|xyz")).kind(), Kind::FirstByte2);
  EXPECT_EQ(bytes(compiled("abc|xyz")), (std::vector<std::uint8_t>{'a', 'x'}));
  EXPECT_EQ(predicate(compiled("[abc]x")).kind(), Kind::FirstByte3);
  EXPECT_EQ(bytes(compiled("[abc]x")), (std::vector<std::uint8_t>{'a', 'b', 'c'}));
  EXPECT_EQ(predicate(compiled("[a-e]x")).kind(), Kind::FirstByteBitmap);
  EXPECT_EQ(predicate(compiled("[a-e]x")).bitmap().count(), 5u);
  EXPECT_EQ(predicate(compiled("(?=a)b")).kind(), Kind::FirstByte);
  EXPECT_EQ(bytes(compiled("(?=a)b")), (std::vector<std::uint8_t>{'b'}));
  EXPECT_EQ(bytes(compiled("\\bq\\w*z\\b")), (std::vector<std::uint8_t>{'q'}));
  EXPECT_EQ(predicate(compiled("\\b")).kind(), Kind::Arbitrary);
  EXPECT_EQ(predicate(compiled("\\b|a")).kind(), Kind::Arbitrary);
  EXPECT_EQ(predicate(compiled("a*b")).kind(), Kind::Arbitrary);
  EXPECT_EQ(bytes(compiled("a+b")), (std::vector<std::uint8_t>{'a'}));
  EXPECT_EQ(predicate(compiled("")).kind(), Kind::Arbitrary);
  EXPECT_EQ(bytes(compiled("ab|a")), (std::vector<std::uint8_t>{'a'}));
  EXPECT_EQ(bytes(compiled("(?:ab|cd)|ae")), (std::vector<std::uint8_t>{'a', 'c'}));
  const Regex not_a_regex = compiled("[^a]");
  const auto& not_a = predicate(not_a_regex);
  EXPECT_EQ(not_a.kind(), Kind::FirstByteBitmap);
  for (int b = 0; b < 256; ++b) {
    const bool expected = (b < 0x80 && b != 'a') || (b >= 0xC2 && b <= 0xF4);
    EXPECT_EQ(not_a.bitmap().contains(static_cast<std::uint8_t>(b)), expected) << b;
  }
  // Under i and u the first bytes of K, k and the Kelvin sign.
  EXPECT_EQ(bytes(compiled("k", "iu")), (std::vector<std::uint8_t>{'K', 'k', 0xE2}));
}

TEST(RegexCompile, FirstByteBitmapOfCodePointRanges) {
  using zarnu_regex::codepointset::Interval;
  const std::vector<Interval> ranges{
      {0x41, 0x41}, {0x7F, 0x80}, {0x7FF, 0x800}, {0xFFFF, 0x10000}, {0x10FFFF, 0x10FFFF}};
  auto bm = zarnu_regex::startpredicate::cps_to_first_byte_bitmap(ranges);
  EXPECT_EQ(bm.members(), (std::vector<std::uint8_t>{0x41, 0x7F, 0xC2, 0xDF, 0xE0, 0xEF, 0xF0, 0xF4}));
}

}  // namespace
