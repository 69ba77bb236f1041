// Code point sets, the case mappings and closures, and the Unicode property tables.
#include <gtest/gtest.h>

#include "codepointset.hpp"
#include "unicode.hpp"

namespace {

using zarnu_regex::codepointset::CodePointSet;
using zarnu_regex::codepointset::Interval;
namespace unicode = zarnu_regex::unicode;

CodePointSet set_of(std::initializer_list<Interval> ivs) {
  CodePointSet s;
  for (Interval iv : ivs) s.add(iv);
  return s;
}

std::vector<Interval> ivs(const CodePointSet& s) {
  return {s.intervals().begin(), s.intervals().end()};
}

TEST(RegexCodePointSet, AddingMergesTouchingAndOverlappingRanges) {
  EXPECT_EQ(ivs(set_of({{0, 9}, {10, 10}})), (std::vector<Interval>{{0, 10}}));
  EXPECT_EQ(ivs(set_of({{10, 20}, {9, 9}})), (std::vector<Interval>{{9, 20}}));
  EXPECT_EQ(ivs(set_of({{1, 4}, {8, 9}, {5, 7}})), (std::vector<Interval>{{1, 9}}));
  EXPECT_EQ(ivs(set_of({{1, 2}, {5, 6}, {9, 10}, {20, 30}, {0, 12}})),
            (std::vector<Interval>{{0, 12}, {20, 30}}));
  EXPECT_EQ(ivs(set_of({{1, 10}, {3, 4}})), (std::vector<Interval>{{1, 10}}));
  EXPECT_EQ(ivs(set_of({{5, 5}, {1, 1}, {3, 3}})), (std::vector<Interval>{{1, 1}, {3, 3}, {5, 5}}));
  // The top of the code space: no overflow of last + 1.
  EXPECT_EQ(ivs(set_of({{0x10FFFF, 0x10FFFF}, {0x10FFFE, 0x10FFFE}})),
            (std::vector<Interval>{{0x10FFFE, 0x10FFFF}}));
}

TEST(RegexCodePointSet, MembershipAndInversion) {
  EXPECT_FALSE(CodePointSet().contains(0));
  const CodePointSet full = set_of({{0, 0x10FFFF}});
  EXPECT_TRUE(full.contains(0));
  EXPECT_TRUE(full.contains(0x10FFFF));
  const CodePointSet s = set_of({{3, 5}, {10, 10}});
  for (std::uint32_t c : {2u, 6u, 9u, 11u}) EXPECT_FALSE(s.contains(c)) << c;
  for (std::uint32_t c : {3u, 5u, 10u}) EXPECT_TRUE(s.contains(c)) << c;
  EXPECT_TRUE(full.inverted().empty());
  EXPECT_EQ(ivs(CodePointSet().inverted()), (std::vector<Interval>{{0, 0x10FFFF}}));
  EXPECT_EQ(ivs(set_of({{0, 5}}).inverted()), (std::vector<Interval>{{6, 0x10FFFF}}));
  EXPECT_EQ(ivs(set_of({{3, 0x10FFFF}}).inverted()), (std::vector<Interval>{{0, 2}}));
  EXPECT_EQ(s.inverted().inverted(), s);
}

TEST(RegexCodePointSet, RemovingAndIntersecting) {
  CodePointSet s = set_of({{1, 9}});
  s.remove(set_of({{5, 6}}).intervals());
  EXPECT_EQ(ivs(s), (std::vector<Interval>{{1, 4}, {7, 9}}));
  s.remove(set_of({{1, 4}}).intervals());
  EXPECT_EQ(ivs(s), (std::vector<Interval>{{7, 9}}));
  CodePointSet e;
  e.remove(set_of({{1, 2}}).intervals());
  EXPECT_TRUE(e.empty());
  CodePointSet t = set_of({{1, 3}, {10, 20}, {30, 40}});
  t.remove({});
  EXPECT_EQ(ivs(t), (std::vector<Interval>{{1, 3}, {10, 20}, {30, 40}}));
  // One removal interval spanning several intervals of the set, and the cursor carried over.
  t.remove(set_of({{2, 12}, {15, 35}}).intervals());
  EXPECT_EQ(ivs(t), (std::vector<Interval>{{1, 1}, {13, 14}, {36, 40}}));

  CodePointSet u = set_of({{1, 10}, {20, 30}});
  u.intersect(set_of({{5, 25}, {28, 40}}).intervals());
  EXPECT_EQ(ivs(u), (std::vector<Interval>{{5, 10}, {20, 25}, {28, 30}}));
  u.intersect({});
  EXPECT_TRUE(u.empty());
}

TEST(RegexCaseFolding, SimpleMappings) {
  EXPECT_EQ(unicode::fold('A'), U'a');
  EXPECT_EQ(unicode::fold(0x212A), U'k');
  EXPECT_EQ(unicode::fold(0x017F), U's');
  EXPECT_EQ(unicode::fold(0x1E9E), 0xDFu);
  EXPECT_EQ(unicode::fold(0x03C2), 0x03C3u);
  EXPECT_EQ(unicode::fold(0x00B5), 0x03BCu);
  EXPECT_EQ(unicode::fold(0x0130), 0x0130u);
  EXPECT_EQ(unicode::fold(0x00DF), 0x00DFu);
  EXPECT_EQ(unicode::fold(0x0100), 0x0101u);  // a stride-2 block
  EXPECT_EQ(unicode::fold(0x0101), 0x0101u);
  EXPECT_EQ(unicode::uppercase('a'), U'A');
  EXPECT_EQ(unicode::uppercase(0x017F), U'S');
  EXPECT_EQ(unicode::uppercase(0x0131), U'I');
  EXPECT_EQ(unicode::uppercase(0x00DF), 0x00DFu);
  EXPECT_EQ(unicode::uppercase(0x212A), 0x212Au);
  EXPECT_EQ(unicode::uppercase(0x10FFFF), 0x10FFFFu);
  EXPECT_EQ(zarnu_regex::unicodetables::FOLDS.size(), 208u);
  EXPECT_EQ(zarnu_regex::unicodetables::UPPERCASES.size(), 202u);
}

std::vector<char32_t> expand(char32_t c, bool unicode_mode) {
  auto x = unicode::expand_code_point(c, true, unicode_mode);
  return {x.cps, x.cps + x.size};
}

TEST(RegexCaseFolding, CaseVariantsOfOneCodePoint) {
  EXPECT_EQ(expand('k', true), (std::vector<char32_t>{'K', 'k', 0x212A}));
  EXPECT_EQ(expand('s', true), (std::vector<char32_t>{'S', 's', 0x017F}));
  EXPECT_EQ(expand('k', false), (std::vector<char32_t>{'K', 'k'}));
  EXPECT_EQ(expand(0x212A, false), (std::vector<char32_t>{0x212A}));
  EXPECT_EQ(expand('s', false), (std::vector<char32_t>{'S', 's', 0x017F}));
  EXPECT_EQ(expand('i', false), (std::vector<char32_t>{'I', 'i', 0x0131}));
  EXPECT_EQ(expand(0x03B8, true).size(), 4u);  // theta's four variants
  auto plain = unicode::expand_code_point('k', false, true);
  EXPECT_EQ(plain.size, 1u);
  // No code point has more than four variants under either rule.
  for (char32_t c = 0; c < 0x20000; ++c) {
    ASSERT_LE(unicode::expand_code_point(c, true, true).size, 4u);
    ASSERT_LE(unicode::expand_code_point(c, true, false).size, 4u);
  }
}

TEST(RegexCaseFolding, ClosureOfSets) {
  EXPECT_EQ(ivs(unicode::add_icase_code_points(set_of({{'k', 'k'}}))),
            (std::vector<Interval>{{'K', 'K'}, {'k', 'k'}, {0x212A, 0x212A}}));
  EXPECT_EQ(unicode::add_icase_code_points(set_of({{0x212A, 0x212A}})),
            unicode::add_icase_code_points(set_of({{'k', 'k'}})));
  const CodePointSet lower = unicode::add_icase_code_points(set_of({{'a', 'z'}}));
  EXPECT_TRUE(lower.contains('A') && lower.contains('Z') && lower.contains(0x017F) && lower.contains(0x212A));
  EXPECT_TRUE(unicode::add_icase_code_points(CodePointSet()).empty());
  EXPECT_EQ(unicode::add_icase_code_points(lower), lower);
}

TEST(RegexUnicodeProperties, NamesAndTables) {
  using unicode::PropertyKind;
  auto table = [](std::string_view name, PropertyKind kind = PropertyKind::None, bool v = false) {
    auto r = unicode::unicode_property_from_str(name, kind, v);
    if (!r) return CodePointSet();
    auto* t = std::get_if<std::span<const Interval>>(&*r);
    return t ? CodePointSet(*t) : CodePointSet();
  };
  EXPECT_EQ(table("L"), table("Letter"));
  EXPECT_EQ(table("L"), table("L", PropertyKind::GeneralCategory));
  EXPECT_TRUE(table("Lu").contains('A') && !table("Lu").contains('a'));
  EXPECT_EQ(table("Grek", PropertyKind::Script), table("Greek", PropertyKind::Script));
  EXPECT_FALSE(table("Greek").contains(0x3B1));  // script names are not accepted alone
  CodePointSet greek = table("Greek", PropertyKind::Script);
  greek.remove(table("Grek", PropertyKind::ScriptExtensions).intervals());
  EXPECT_TRUE(greek.empty());
  EXPECT_EQ(table("Any"), CodePointSet(std::vector<Interval>{{0, 0x10FFFF}}));
  EXPECT_EQ(table("ASCII"), CodePointSet(std::vector<Interval>{{0, 0x7F}}));
  EXPECT_TRUE(table("Zzzz", PropertyKind::Script).contains(0x378));
  EXPECT_TRUE(table("space").contains(' '));
  EXPECT_EQ(table("Assigned"), table("Cn").inverted());
  EXPECT_FALSE(unicode::unicode_property_from_str("letter", PropertyKind::None, false));
  EXPECT_FALSE(unicode::unicode_property_from_str("RGI_Emoji", PropertyKind::None, false));
  auto emoji = unicode::unicode_property_from_str("RGI_Emoji", PropertyKind::None, true);
  ASSERT_TRUE(emoji);
  EXPECT_GT(std::get<std::span<const zarnu_regex::unicodetables::Sequence>>(*emoji).size(), 3000u);
  EXPECT_TRUE(unicode::is_id_start('a') && !unicode::is_id_start('1') && unicode::is_id_continue('1'));
}

}  // namespace

// The full case conversion tables generated with the engine's tables, for the string built-ins.
#include "support/casetables.hpp"

namespace {

std::u32string convert(std::size_t (*f)(char32_t, char32_t*) noexcept, char32_t c) {
  char32_t out[3];
  const std::size_t n = f(c, out);
  return std::u32string(out, n);
}

TEST(RegexCaseTables, FullMappingsAndFinalSigmaProperties) {
  namespace casing = zarnu_core::casing;
  EXPECT_EQ(convert(casing::uppercase, 0xDF), U"SS");
  EXPECT_EQ(convert(casing::uppercase, 0xFB03), U"FFI");
  EXPECT_EQ(convert(casing::uppercase, 'a'), U"A");
  EXPECT_EQ(convert(casing::uppercase, 0x0101), U"\u0100");
  EXPECT_EQ(convert(casing::uppercase, 0x0100), U"\u0100");
  EXPECT_EQ(convert(casing::uppercase, '1'), U"1");
  EXPECT_EQ(convert(casing::lowercase, 0x130), U"i\u0307");
  EXPECT_EQ(convert(casing::lowercase, 0x3A3), U"\u03C3");
  EXPECT_EQ(convert(casing::lowercase, 'Z'), U"z");
  EXPECT_EQ(convert(casing::lowercase, 0x1E9E), U"\u00DF");
  EXPECT_EQ(convert(casing::lowercase, 0x10400), U"\U00010428");
  EXPECT_TRUE(casing::is_cased('a') && casing::is_cased(0x3A3) && !casing::is_cased('1'));
  EXPECT_TRUE(casing::is_case_ignorable('\'') && casing::is_case_ignorable(0x0301) &&
              !casing::is_case_ignorable('a'));
}

}  // namespace
