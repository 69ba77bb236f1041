// Number, integer and date-time pictures below the language: picture analysis and its cache, exact digit
// writing, integer readers, calendar arithmetic, the parse pattern a date-time picture builds, and the
// built-ins called directly with a real evaluator.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "datetime/datetime.hpp"
#include "eval/eval.hpp"
#include "eval/regex.hpp"
#include "functions/dates.hpp"
#include "functions/numeric.hpp"
#include "helpers.hpp"

using namespace zarnu_core;
using zarnu_test::J;
using zarnu_test::S;
using zarnu_test::Value;

namespace {

namespace numeric = functions::numeric;

class Pictures : public ::testing::Test {
 protected:
  explicit Pictures(eval::Limits limits = {}) : ev_(limits, value::Rc<eval::Keeper>::make()) {}

  // The JSON text of a built-in's result, "!CODE" for an error, "undefined" for nothing.
  std::string call(functions::Implementation f, const std::string& args_json) {
    const Value list = J(args_json);
    value::Items args(list.as_array().read());
    value::Rc<eval::Frame> frame;
    auto r = f(ev_, std::move(args), functions::Call{eval::static_undefined(), frame});
    if (!r) return "!" + std::string(r.error().code());
    return r->is_undefined() ? "undefined" : S(*r);
  }

  eval::Evaluator ev_;
};

std::string text_or_code(const Result<std::string>& r) {
  return r ? *r : "!" + std::string(r.error().code());
}

// ---------------------------------------------------------------------------------------------------------
// Decimal-format pictures

TEST_F(Pictures, AnalysisOfAGroupedPicture) {
  auto a = numeric::analyse_picture("#,##0.00", {});
  ASSERT_TRUE(a);
  EXPECT_EQ(a->positive.integer_grouping, std::vector<std::size_t>{3});
  EXPECT_EQ(a->positive.regular_grouping, 3u);
  EXPECT_EQ(a->positive.min_integer, 1u);
  EXPECT_EQ(a->positive.min_fraction, 2u);
  EXPECT_EQ(a->positive.max_fraction, 2u);
  EXPECT_EQ(a->positive.min_exponent, 0u);
  EXPECT_EQ(a->negative.prefix, "-");

  auto e = numeric::analyse_picture("$0.00e0", {});
  ASSERT_TRUE(e);
  EXPECT_EQ(e->positive.prefix, "$");
  EXPECT_EQ(e->positive.min_exponent, 1u);
  EXPECT_EQ(e->positive.max_fraction, 2u);

  // Adjustments: an exponent with only an optional digit keeps one integer and one fraction digit.
  auto h = numeric::analyse_picture("#e0", {});
  ASSERT_TRUE(h);
  EXPECT_EQ(h->positive.min_integer, 1u);
  EXPECT_EQ(h->positive.min_fraction, 1u);
  EXPECT_EQ(h->positive.max_fraction, 1u);
  EXPECT_EQ(h->positive.scaling, 0u);

  // Swapped separators analyse like the defaults.
  numeric::DecimalFormat swapped;
  swapped.decimal_separator = U',';
  swapped.grouping_separator = U'.';
  auto s = numeric::analyse_picture("#.##0,00", swapped);
  ASSERT_TRUE(s);
  EXPECT_EQ(s->positive.integer_grouping, a->positive.integer_grouping);
  EXPECT_EQ(s->positive.max_fraction, 2u);
}

TEST_F(Pictures, PictureChecksReportTheLastFailingTest) {
  const std::pair<const char*, const char*> cases[] = {
      {"0;0;0", "D3080"},  {"", "D3085"},      {"0.0.0", "D3081"}, {"#%%", "D3082"},    {"#‰‰", "D3083"},
      {"#%‰", "D3084"},    {"abc", "D3086"},   {"..", "D3085"},    {"#,.00", "D3087"},  {"#,", "D3088"},
      {"#,,##0", "D3089"}, {"0#", "D3090"},    {"#.#0", "D3091"},  {"0.0e0%", "D3092"}, {"0.0e", "D3093"},
      {"0.0eA", "D3093"},  {"0.0e#", "D3093"}, {"0;abc", "D3086"},
  };
  for (const auto& [picture, code] : cases) {
    auto a = numeric::analyse_picture(picture, {});
    ASSERT_FALSE(a) << picture;
    EXPECT_EQ(a.error().code(), code) << picture;
  }
}

TEST_F(Pictures, CacheKeepsEightPicturesFirstInFirstOut) {
  auto& cache = ev_.pictures();
  auto format = [&](const std::string& picture) {
    return call(numeric::format_number, "[1, \"" + picture + "\"]");
  };
  for (int i = 1; i <= 8; ++i) format(std::string(static_cast<std::size_t>(i), '0'));
  ASSERT_EQ(cache.size(), 8u);
  const numeric::Picture* second = cache[1].get();
  EXPECT_EQ(format("00"), "\"01\"");
  EXPECT_EQ(cache[1].get(), second);  // a hit neither re-analyses nor reorders
  EXPECT_EQ(format("#,##0;"), "!D3085");
  EXPECT_EQ(cache.size(), 8u);  // a failing picture is not cached
  format("000000000");
  EXPECT_EQ(cache.size(), 8u);
  EXPECT_EQ(cache.front()->text.view(), "00");  // the first one went
  // Other properties make another entry.
  EXPECT_EQ(call(numeric::format_number, R"([1, "٠٠", {"zero-digit": "٠"}])"), "\"٠١\"");
  EXPECT_EQ(cache.back()->format.zero_digit, U'٠');
}

TEST_F(Pictures, OptionsTakeTheFirstCharacterOfNonEmptyStrings) {
  auto f = numeric::decimal_format(J(R"({"percent": "", "per-mille": "pm", "minus-sign": "--", "digit": 7,
                                        "Digit": "x", "zero-digit": "٠"})"));
  EXPECT_EQ(f.percent, U'%');
  EXPECT_EQ(f.per_mille, U'p');
  EXPECT_EQ(f.minus_sign, "--");
  EXPECT_EQ(f.digit, U'#');
  EXPECT_EQ(f.zero_digit, U'٠');
  EXPECT_EQ(numeric::decimal_format(J("[1]")), numeric::DecimalFormat{});
}

TEST_F(Pictures, ShiftWorksOnTheDecimalText) {
  EXPECT_EQ(numeric::shift(1.005, 2), 100.5);
  EXPECT_EQ(numeric::shift(1e21, -2), 1e19);
  EXPECT_EQ(numeric::shift(1.5e-7, 7), 1.5);
  EXPECT_EQ(numeric::shift(1.5, 400), std::numeric_limits<double>::infinity());
  EXPECT_EQ(numeric::shift(-1.5, -400), 0.0);
  EXPECT_EQ(numeric::shift(1.5, 1e300), std::numeric_limits<double>::infinity());
  EXPECT_EQ(numeric::shift(0, 1e300), 0.0);
  EXPECT_TRUE(std::isnan(numeric::shift(1.5, 0.5)));
  EXPECT_TRUE(std::isnan(numeric::shift(std::numeric_limits<double>::infinity(), 1)));
}

std::string fixed(double x, std::size_t n) {
  std::u32string out;
  numeric::Family ascii{U'0', U'1', U'2', U'3', U'4', U'5', U'6', U'7', U'8', U'9'};
  numeric::Digits sink(out, ascii);
  numeric::write_fixed(sink, x, n);
  return datetime::to_utf8(out);
}

TEST_F(Pictures, FixedDigitsAreExactBeyondTheConverter) {
  // Halves of the exact binary value round away from zero; others to the nearest.
  EXPECT_EQ(fixed(0.5, 0), "1");
  EXPECT_EQ(fixed(2.5, 0), "3");
  EXPECT_EQ(fixed(-0.125, 2), "0.13");
  EXPECT_EQ(fixed(1.005, 2), "1.00");  // just below the half in binary
  // Past 100 places and from 1e60 the exact expansion takes over; both sides of each edge agree.
  const std::string a100 = fixed(0.1, 100), a101 = fixed(0.1, 101);
  EXPECT_EQ(a101.substr(0, a100.size()),
            a100.substr(0, a100.size() - 1).append(a101.substr(a100.size() - 1, 1)));
  EXPECT_EQ(a101, "0.1000000000000000055511151231257827021181583404541015625" + std::string(46, '0'));
  const std::string tiny = fixed(0x1p-1074, 1074);  // the smallest double, all its 1074 digits
  EXPECT_EQ(tiny.substr(0, 8), "0.000000");
  EXPECT_EQ(tiny.substr(tiny.size() - 4), "5625");
  EXPECT_EQ(fixed(0x1p-1074, 1073).substr(tiny.size() - 4), "563");  // ...562|5 rounds up
  EXPECT_EQ(fixed(0x1p-1074, 1075), tiny + "0");
  EXPECT_EQ(fixed(9.999999999999998e59, 1), "999999999999999770981173708829033734677898829826518025240576.0");
  EXPECT_EQ(fixed(1e60, 1), "999999999999999949387135297074018866963645011013410073083904.0");
  EXPECT_EQ(fixed(1.0000000000000001e60, 0), "1000000000000000127793096885319003999249391192200302120927232");
  EXPECT_EQ(fixed(std::numeric_limits<double>::quiet_NaN(), 2), "NaN");
}

// ---------------------------------------------------------------------------------------------------------
// Radix, square root and power

TEST_F(Pictures, FormatBaseWritesTheExactInteger) {
  EXPECT_EQ(call(numeric::format_base, "[9007199254740993, 2]"), "\"1" + std::string(53, '0') + "\"");
  EXPECT_EQ(call(numeric::format_base, "[1.7976931348623157e308, 16]"),
            "\"fffffffffffff8" + std::string(242, '0') + "\"");
  EXPECT_EQ(call(numeric::format_base, "[-1e21, 10]"), "\"-1e+21\"");
  EXPECT_EQ(call(numeric::format_base, "[-0.4, 2]"), "\"0\"");
  EXPECT_EQ(call(numeric::format_base, "[255, null]"), "\"255\"");
}

TEST_F(Pictures, RadixAndPowerFailuresCarryTheirDetails) {
  auto detail = [&](functions::Implementation f, std::vector<double> args) {
    value::Items items;
    for (double a : args) items.push_back(Value::number(a));
    value::Rc<eval::Frame> frame;
    auto r = f(ev_, std::move(items), functions::Call{eval::static_undefined(), frame});
    return r ? std::string("ok") : std::string(r.error().code()) + " " + json::to_text(r.error().details());
  };
  const double inf = std::numeric_limits<double>::infinity();
  EXPECT_EQ(detail(numeric::format_base, {10, 0.5}), R"(D3100 {"value":0})");
  EXPECT_EQ(detail(numeric::format_base, {10, inf}), R"(D3100 {"value":null})");
  EXPECT_EQ(detail(numeric::sqrt, {-1}), R"(D3060 {"value":-1,"index":1})");
  EXPECT_EQ(detail(numeric::power, {2}), R"(D3061 {"value":2,"exp":null,"index":1})");
  EXPECT_EQ(detail(numeric::power, {-1, inf}), R"(D3061 {"value":-1,"exp":null,"index":1})");
  EXPECT_EQ(detail(numeric::power, {0, -1}), R"(D3061 {"value":0,"exp":-1,"index":1})");
  EXPECT_EQ(detail(numeric::power, {-8, 1.0 / 3}),
            R"(D3061 {"value":-8,"exp":0.3333333333333333,"index":1})");
  EXPECT_EQ(call(numeric::sqrt, "[-0.0]"), "0");
  EXPECT_TRUE(std::signbit(std::sqrt(-0.0)));
}

// ---------------------------------------------------------------------------------------------------------
// Integer pictures

TEST_F(Pictures, IntegerPictureAnalysis) {
  auto regular = datetime::analyse_integer_picture("#,##0");
  ASSERT_TRUE(regular);
  EXPECT_TRUE(regular->regular);
  EXPECT_EQ(regular->separators, (std::vector<datetime::Separator>{{3, U','}}));
  EXPECT_EQ(regular->mandatory, 1u);
  EXPECT_EQ(regular->optional, 3u);

  auto irregular = datetime::analyse_integer_picture("#,##,##0");
  ASSERT_TRUE(irregular);
  EXPECT_FALSE(irregular->regular);
  EXPECT_EQ(irregular->separators, (std::vector<datetime::Separator>{{3, U','}, {5, U','}}));

  auto mixed = datetime::analyse_integer_picture("0.000-00");  // two separator characters
  ASSERT_TRUE(mixed);
  EXPECT_FALSE(mixed->regular);

  auto other = datetime::analyse_integer_picture("#;o");
  ASSERT_TRUE(other);
  EXPECT_EQ(other->kind, datetime::Kind::Other);
  EXPECT_EQ(other->token, "#");
  EXPECT_TRUE(other->ordinal);

  auto families = datetime::analyse_integer_picture("0\u0661");
  ASSERT_FALSE(families);
  EXPECT_EQ(families.error().code(), "D3131");
}

TEST_F(Pictures, IntegerFormattingEdges) {
  // Separators beyond the number's digits are not written.
  EXPECT_EQ(text_or_code(datetime::format_integer(5, "#,##,##0", 100)), "5");
  EXPECT_EQ(text_or_code(datetime::format_integer(12345, "#,##,##0", 100)), "12,345");
  EXPECT_EQ(text_or_code(datetime::format_integer(123456, "#,##,##0", 100)), "1,23,456");
  EXPECT_EQ(text_or_code(datetime::format_integer(12, "00-", 100)), "12-");
  EXPECT_EQ(text_or_code(datetime::format_integer(1234, "0-/000", 100)), "1-/234");  // picture order
  EXPECT_EQ(text_or_code(datetime::format_integer(4000, "i", 100)), "mmmm");
  EXPECT_EQ(text_or_code(datetime::format_integer(1e12, "I", 100000000)), "!U1001");
  // Integers of 1e21 and more are written digit by digit, never in exponent form.
  EXPECT_EQ(text_or_code(datetime::format_integer(1e21, "0", 100)), "1" + std::string(21, '0'));
  std::string arabic = "\u0661";
  for (int i = 0; i < 21; ++i) arabic += "\u0660";
  EXPECT_EQ(text_or_code(datetime::format_integer(1e21, "\u0660", 100)), arabic);
  EXPECT_EQ(datetime::decimal_to_letters(702, U'a'), "zz");
  EXPECT_EQ(datetime::decimal_to_letters(703, U'a'), "aaa");
  EXPECT_EQ(datetime::number_to_words::lookup(1e15, false, false), "One Thousand Trillion");
  EXPECT_EQ(datetime::number_to_words::lookup(1000001, false, true), "One Million and First");
}

TEST_F(Pictures, IntegerReaders) {
  auto read = [](std::string_view picture, std::string_view text) {
    auto format = datetime::analyse_integer_picture(picture);
    auto matcher = datetime::integer_matcher(*format);
    return matcher->reader(text);
  };
  EXPECT_EQ(read("1;o", "12th"), 12);
  EXPECT_TRUE(std::isnan(read("1;o", "1")));
  EXPECT_EQ(read("#,##,##0", "12,34,567"), 1234567);
  EXPECT_EQ(read("#.##0", "1.234.567"), 1234567);  // what the picture writes reads back
  EXPECT_EQ(read("\u0660", "\u0661\u0662\u0663"), 123);
  EXPECT_TRUE(std::isnan(read("\u0660", "-\u0661")));
  EXPECT_TRUE(std::signbit(read("A", "")));
  EXPECT_EQ(read("A", "Z"), 26);
  EXPECT_EQ(read("I", "IC"), 99);
  EXPECT_EQ(read("I", ""), 0);
  EXPECT_EQ(read("I", "\u0131v"), 4);  // dotless i upper-cases to I
  EXPECT_EQ(read("w", "one hundred thousand"), 100000);
  EXPECT_EQ(read("w", "ninety-ninth"), 99);
  EXPECT_EQ(read("w", "one, two"), 3);
  EXPECT_TRUE(std::isnan(read("w", "one,two")));

  auto fixed = datetime::analyse_integer_picture("01;o");
  fixed->fixed_digits = 4;
  EXPECT_EQ(datetime::integer_matcher(*fixed)->fragment, "[0-9]{4}(?:th|st|nd|rd)");
  EXPECT_EQ(datetime::integer_matcher(*datetime::analyse_integer_picture("abc")).error().code(), "D3130");
  EXPECT_EQ(datetime::word_values().size(), 66u);
  EXPECT_EQ(datetime::word_values()[55], (std::pair<std::string, double>{"ninetieth", 90}));
}

TEST_F(Pictures, ParseIntLikeECMAScript) {
  EXPECT_EQ(datetime::js_parse_int("\u00a0\u2003 42abc"), 42);
  EXPECT_EQ(datetime::js_parse_int("+7"), 7);
  EXPECT_TRUE(std::signbit(datetime::js_parse_int("-0")));
  for (const char* t : {"-", "x1", "", " ", "\u0661"})
    EXPECT_TRUE(std::isnan(datetime::js_parse_int(t))) << t;
  EXPECT_EQ(datetime::js_parse_int(std::string(400, '9')), std::numeric_limits<double>::infinity());
  EXPECT_EQ(datetime::js_parse_int("9007199254740993"), 9007199254740992.0);
}

// ---------------------------------------------------------------------------------------------------------
// Calendar

TEST_F(Pictures, CalendarArithmetic) {
  EXPECT_EQ(datetime::calendar_millis(1970, 0, 1, 0, 0, 0, 0), 0);
  EXPECT_EQ(datetime::calendar_millis(2018, 14, 1, 0, 0, 0, 0),
            datetime::calendar_millis(2019, 2, 1, 0, 0, 0, 0));
  EXPECT_EQ(datetime::calendar_millis(2018, -1, 1, 0, 0, 0, 0),
            datetime::calendar_millis(2017, 11, 1, 0, 0, 0, 0));
  EXPECT_EQ(datetime::calendar_millis(18, 0, 1, 0, 0, 0, 0),
            datetime::calendar_millis(1918, 0, 1, 0, 0, 0, 0));
  EXPECT_EQ(datetime::calendar_millis(2000.9, 0.9, 1.9, 0, 0, 0, 0.9),
            datetime::calendar_millis(2000, 0, 1, 0, 0, 0, 0));
  EXPECT_TRUE(std::isnan(datetime::calendar_millis(1e6 + 1, 0, 1, 0, 0, 0, 0)));
  EXPECT_TRUE(std::isnan(datetime::calendar_millis(2000, 1e7 + 1, 1, 0, 0, 0, 0)));
  EXPECT_TRUE(std::isnan(datetime::calendar_millis(2000, 0, 1, std::nan(""), 0, 0, 0)));
  // Week 1 starts on the Monday on or before the first Thursday.
  EXPECT_EQ(datetime::start_of_first_week(2021, 0), datetime::calendar_millis(2021, 0, 4, 0, 0, 0, 0));
  EXPECT_EQ(datetime::start_of_first_week(2026, 0), datetime::calendar_millis(2025, 11, 29, 0, 0, 0, 0));
  EXPECT_EQ(datetime::days_from_civil(-1, 12, 31), -719529);

  const auto t = datetime::civil_time(-1);  // the last millisecond of 1969
  EXPECT_EQ(t.year, 1969);
  EXPECT_EQ(t.month, 11);
  EXPECT_EQ(t.day, 31);
  EXPECT_EQ(t.millisecond, 999);
  EXPECT_EQ(t.weekday, 3);
  EXPECT_EQ(datetime::civil_time(-62198755200000).year, -1);  // 1 January of 2 BC
}

TEST_F(Pictures, WeekComponents) {
  struct Case {
    double year, month, day;
    double W, X, w, x;
  };
  const Case cases[] = {
      {2021, 0, 3, 53, 2020, 5, 12},  // a Sunday before the first week
      {2024, 11, 30, 1, 2025, 1, 1},  // a Monday of the next year's first week
      {2024, 1, 29, 9, 2024, 5, 2},
      {2023, 0, 1, 52, 2022, 5, 12},
  };
  for (const Case& c : cases) {
    const auto t = datetime::civil_time(datetime::calendar_millis(c.year, c.month, c.day, 12, 0, 0, 0));
    auto num = [&](char32_t k) { return std::get<double>(datetime::fragment(t, k)); };
    EXPECT_EQ(num(U'W'), c.W) << c.year << "-" << c.month;
    EXPECT_EQ(num(U'X'), c.X) << c.year << "-" << c.month;
    EXPECT_EQ(num(U'w'), c.w) << c.year << "-" << c.month;
    EXPECT_EQ(num(U'x'), c.x) << c.year << "-" << c.month;
  }
  EXPECT_TRUE(std::holds_alternative<std::monostate>(datetime::fragment(datetime::civil_time(0), U'Q')));
}

// ---------------------------------------------------------------------------------------------------------
// Date-time pictures

TEST_F(Pictures, DatetimePictureAnalysis) {
  auto parts = datetime::analyse_datetime_picture("a]]b[[[Y0001,2-*][M01][D]x[ZN]");
  ASSERT_TRUE(parts);
  ASSERT_EQ(parts->size(), 7u);
  EXPECT_EQ(std::get<std::string>((*parts)[0]), "a]b");
  EXPECT_EQ(std::get<std::string>((*parts)[1]), "[");
  const auto& year = std::get<datetime::Marker>((*parts)[2]);
  EXPECT_EQ(year.width->min, 2u);
  EXPECT_FALSE(year.width->max);
  EXPECT_EQ(year.year_width, 4u);
  EXPECT_EQ(year.format->fixed_digits, 4u);  // followed directly by a number
  const auto& month = std::get<datetime::Marker>((*parts)[3]);
  EXPECT_EQ(month.format->fixed_digits, 2u);
  EXPECT_FALSE(std::get<datetime::Marker>((*parts)[4]).format->fixed_digits);  // a literal follows
  const auto& zone = std::get<datetime::Marker>((*parts)[6]);
  EXPECT_EQ(zone.name, datetime::Case::Upper);
  EXPECT_EQ(zone.format->kind, datetime::Kind::Other);

  auto width = datetime::analyse_datetime_picture("[M,*--1]");
  ASSERT_TRUE(width);
  const auto& m = std::get<datetime::Marker>(width->front());
  EXPECT_FALSE(m.width->min);
  EXPECT_EQ(m.width->max, 0u);  // a negative width saturates to 0
  EXPECT_EQ(datetime::analyse_datetime_picture("[Y\u0661\u0030]").error().code(), "D3131");
}

TEST_F(Pictures, FromMillisLimitsAndFaults) {
  auto at = [](double ms, const char* picture, std::optional<std::string_view> zone = std::nullopt,
               std::size_t limit = 1000) {
    return text_or_code(datetime::from_millis(ms, picture, zone, limit));
  };
  EXPECT_EQ(at(0, "[Y000000000]", std::nullopt, 5), "!U1001");
  EXPECT_EQ(at(0, "[Y,6]", std::nullopt, 5), "!U1001");
  EXPECT_EQ(at(0, "[Y00000]", std::nullopt, 5), "01970");
  EXPECT_EQ(at(std::nan(""), "[Y"), "!D3135");  // the picture is analysed before the instant is checked
  EXPECT_EQ(at(std::nan(""), "[Y]"), "!D1001");
  EXPECT_EQ(at(0, "[Y]", "x"), "!D3150");
  for (const auto& [picture, component] : {std::pair{"[Q1]", "\"Q\""}, {"[]", "\" \""}, {"[DNn]", "\"D\""}}) {
    auto r = datetime::from_millis(0, picture, std::nullopt, 1000);
    ASSERT_FALSE(r) << picture;
    EXPECT_EQ(json::to_text(*r.error().detail("value")), component) << picture;
  }
  EXPECT_EQ(at(-8.64e15, "[Y] [E] [C] [fNn]"), "!D3133");
  EXPECT_EQ(at(-8.64e15, "[Y] [E] [C]"), "-271821 ISO ISO");
  EXPECT_EQ(at(0, "[H]:[m]", "-0001"), "23:59");
  EXPECT_EQ(at(0, "[Z0001]", "-0001"), "-0001");
  EXPECT_EQ(at(0, "[z0]", "+0100"), "GMT+1");
  EXPECT_EQ(at(0, "[Yw] [Mi] [DA] [F#]"), "!D3130");
  EXPECT_EQ(at(0, "[Yw] [Mi] [DA] [dI]"), "one thousand, nine hundred and seventy i A I");
  EXPECT_EQ(at(0, "[FNn,2-2] [MN,*-1] [Mn,5]"), "Th J january");
  EXPECT_EQ(at(1e12, "[Y0001,2-2]"), "01");
}

TEST_F(Pictures, Iso8601Reading) {
  auto ms = [](std::string_view t) {
    auto r = datetime::parse_iso8601(t);
    return r ? *r : -1.0;
  };
  EXPECT_EQ(ms("2018-02-01T09:42:13-0130"), ms("2018-02-01T09:42:13Z") + 5400000);
  EXPECT_EQ(ms("2018-02-01T09:42:13.123456Z"), ms("2018-02-01T09:42:13Z") + 123);
  EXPECT_EQ(ms("2018-25"), ms("2018-01-25"));  // no month fits, so the digits are the day
  EXPECT_TRUE(std::isnan(ms("2018-19")));      // a month fits the pattern but not the calendar
  EXPECT_TRUE(std::isnan(ms("2018-00-01")));
  EXPECT_EQ(ms("0000-01-01"), -62167219200000);
  EXPECT_EQ(ms("2018Z"), ms("2018"));
  for (const char* bad :
       {"2018-13-45", "2018-01-01T10:00:00+0530x", "2018-01-01T10:00:00.Z", "201", "2018-01-01t10:00:00"}) {
    auto r = datetime::parse_iso8601(bad);
    ASSERT_FALSE(r) << bad;
    EXPECT_EQ(r.error().code(), "D3110");
    EXPECT_EQ(json::to_text(*r.error().detail("value")), "\"" + std::string(bad) + "\"");
  }
}

TEST_F(Pictures, ParsePatterns) {
  auto pattern = [](std::string_view picture) { return text_or_code(datetime::datetime_pattern(picture)); };
  EXPECT_EQ(pattern("[Y0001][M01][D01]"), "^([0-9]{4})([0-9]{2})([0-9]+)$");
  EXPECT_EQ(pattern("[H]:[m] [P]"), "^([0-9]+)(:)([0-9]+)( )([a-zA-Z]+)$");
  EXPECT_EQ(pattern("[f] [Z] [z0101] [Z0]"),
            "^([0-9]+)( )([-+][0-9]+:[0-9]+)( )(GMT[-+][0-9]+)( )([-+][0-9]+)$");
  const std::string words = pattern("$(x)[Dwo]");
  EXPECT_TRUE(words.starts_with("^(\\$\\(x\\))((?:zero|one|")) << words;
  EXPECT_TRUE(words.ends_with("|trillionth|and|[\\-, ])+)$")) << words;
  EXPECT_EQ(datetime::escape_regex("a-b$()*+.?[\\]^{|}/"), "a-b\\$\\(\\)\\*\\+\\.\\?\\[\\\\\\]\\^\\{\\|\\}/");
  EXPECT_EQ(pattern("[E]"), "!D3133");
  EXPECT_EQ(pattern("[Q1]"), "!D3133");
  EXPECT_EQ(pattern("[Y#]"), "!D3130");
}

// Parsing needs the regular-expression engine behind the evaluator's bridge.
bool engine_ready() {
  return regex::engine().compile("a", "i").has_value();
}

TEST_F(Pictures, ParseDatetime) {
  if (!engine_ready()) GTEST_SKIP() << "no regular-expression engine installed";
  // The language cases cover the common pictures; these are the readers and combinations they do not reach.
  const double now = datetime::calendar_millis(2020, 5, 15, 13, 14, 15, 16);
  const double today = datetime::calendar_millis(2020, 5, 15, 0, 0, 0, 0);
  auto parse = [&](std::string_view text, std::string_view picture) -> std::string {
    auto r = datetime::parse_datetime(text, picture, ev_, now);
    if (!r) return "!" + std::string(r.error().code());
    if (!*r) return "none";
    return value::js_number(**r);
  };
  auto ms = [](double v) { return value::js_number(v); };
  EXPECT_EQ(parse("10:00 GMT-0530", "[H01]:[m01] [z0000]"), ms(today + 55800000));
  EXPECT_EQ(parse("1.5", "[s].[f]"), ms(today + 47641500));  // hour and minute from the current time
  EXPECT_EQ(parse("MMXVIII", "[YI]"), ms(datetime::calendar_millis(2018, 0, 1, 0, 0, 0, 0)));
  EXPECT_EQ(parse("2018-02-30", "[Y]-[M]-[D]"), ms(datetime::calendar_millis(2018, 2, 2, 0, 0, 0, 0)));
  EXPECT_EQ(parse("2018-400", "[Y]-[d]"),
            ms(datetime::calendar_millis(2018, 1, 4, 0, 0, 0, 0)));  // year kept
  EXPECT_EQ(parse("999999-01-01", "[Y]-[M]-[D]"), "NaN");
  EXPECT_EQ(parse("2020-W10-3", "[X]-W[W]-[F]"), "none");  // a day name was expected
  EXPECT_EQ(parse("Friday 2018", "[FNn] [Y]"), ms(datetime::calendar_millis(2018, 0, 1, 0, 0, 0, 0)));
}

// ---------------------------------------------------------------------------------------------------------
// Date-time built-ins

class FixedNow : public Pictures {
 protected:
  static eval::Limits limits() {
    eval::Limits l;
    l.now = 1521801216617;
    return l;
  }
  FixedNow() : Pictures(limits()) {}
};

TEST_F(FixedNow, BuiltinsUseTheFixedTime) {
  EXPECT_EQ(call(functions::dates::millis, "[]"), "1521801216617");
  EXPECT_EQ(call(functions::dates::now, "[]"), "\"2018-03-23T10:33:36.617Z\"");
  EXPECT_EQ(call(functions::dates::now, R"(["[H01]:[m01]", "+0100"])"), "\"11:33\"");
  EXPECT_EQ(call(functions::dates::now, R"([1, "+0100"])"), "\"2018-03-23T11:33:36.617+01:00\"");
  EXPECT_EQ(call(functions::dates::from_millis, R"(["0"])"), "undefined");
  EXPECT_EQ(call(functions::dates::to_millis, "[1]"), "undefined");
  EXPECT_EQ(call(functions::dates::to_millis, R"(["1970", 5])"), "0");  // a non-string picture is absent
  EXPECT_EQ(call(functions::dates::to_millis, R"(["x"])"), "!D3110");
}

TEST_F(Pictures, TimestampIsTakenOnceAndOnlyWithoutAFixedTime) {
  const std::string first = call(functions::dates::millis, "[]");
  const std::string iso = call(functions::dates::now, "[]");
  EXPECT_EQ(call(functions::dates::millis, "[]"), first);
  EXPECT_EQ(call(functions::dates::from_millis, "[" + first + "]"), iso);
  EXPECT_EQ(std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(ev_.timestamp()).count()),
            first);
}

}  // namespace
