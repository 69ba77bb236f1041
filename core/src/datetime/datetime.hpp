// Integer pictures (letters, Roman numerals, words, digit families, grouping, ordinals) in both
// directions, the calendar arithmetic of time instants (milliseconds since 1970 as doubles, proleptic
// Gregorian, UTC), and date-time formatting and parsing with a picture.
// The date-time stage (datetime/) hands the numeric and date built-ins their picture formatting and
// parsing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "value/result.hpp"

namespace zarnu_core::eval {
class Evaluator;
}

namespace zarnu_core::datetime {

// Instants beyond this many milliseconds either side of the epoch are out of range.
inline constexpr double kMaxInstant = 8.64e15;

// ---------------------------------------------------------------------------------------------------------
// Text helpers shared by the pictures.

// UTF-8 text as characters, and back.
std::u32string to_chars(std::string_view text);
std::string to_utf8(std::u32string_view chars);
// The Unicode White_Space property.
bool is_white_space(char32_t c) noexcept;
// Whether a code point is a Unicode scalar value (not a surrogate, not beyond U+10FFFF).
inline bool is_scalar(char32_t c) noexcept {
  return c <= 0x10FFFF && (c < 0xD800 || c > 0xDFFF);
}

// ---------------------------------------------------------------------------------------------------------
// Integer pictures.

enum class Kind : std::uint8_t { Decimal, Letters, Roman, Words, Other };
enum class Case : std::uint8_t { Upper, Lower, Title };

struct Separator {
  std::uint64_t position = 0;  // digit signs to the separator's right in the pattern
  char32_t character = 0;
  bool operator==(const Separator&) const = default;
};

// An analysed integer picture.
struct IntegerFormat {
  // Set by date-time pictures on a number directly followed by another, so that the two can be read apart.
  std::optional<std::uint64_t> fixed_digits;
  Kind kind = Kind::Decimal;
  Case letter_case = Case::Lower;
  bool ordinal = false;
  char32_t zero = U'0';
  std::uint64_t mandatory = 0;
  std::uint64_t optional = 0;
  // In increasing positions; a regular grouping keeps one entry (interval, separator).
  std::vector<Separator> separators;
  bool regular = false;
  std::string token;  // the primary token of a picture of kind Other
};

// D3131 when a digit pattern mixes digit families.
Result<IntegerFormat> analyse_integer_picture(std::string_view picture);
// Writes |value| (an integral number) as the format says, with "-" in front when value < 0; D3130 for a
// format of kind Other.
Result<std::string> format_integer_with(double value, const IntegerFormat& format);
// Analyses the picture and formats floor(value); U1001 up front when a Roman form would pass `limit` bytes.
Result<std::string> format_integer(double value, std::string_view picture, std::size_t limit);
// Bijective base 26 from `first` ("a" or "A"): 1 is a, 27 is aa; nothing for values not above 0.
std::string decimal_to_letters(double value, char32_t first);

namespace number_to_words {
// English words in title case ("One Hundred and Twenty-Three"), `prev` when joined to a larger part.
std::string lookup(double x, bool prev, bool ordinal);
}  // namespace number_to_words

struct IntegerMatcher;

// Turns text written by an integer picture back into a number; text it cannot read gives NaN.
class IntegerReader {
 public:
  double operator()(std::string_view text) const;

 private:
  friend Result<IntegerMatcher> integer_matcher(const IntegerFormat& format);
  Kind kind_ = Kind::Decimal;
  bool ordinal_ = false;
  char32_t zero_ = U'0';
  std::vector<char32_t> separators_;
};

// A regular-expression fragment matching what a picture writes, and the reader of such text.
struct IntegerMatcher {
  std::string fragment;
  IntegerReader reader;
};

// D3130 for a format of kind Other.
Result<IntegerMatcher> integer_matcher(const IntegerFormat& format);
// The English number words in lower case with their values, cardinals and ordinals, in a fixed order.
std::vector<std::pair<std::string, double>> word_values();
// A base-10 integer with the rules of ECMAScript's parseInt: leading white space, a sign, ASCII digits up
// to the first other character; NaN without digits.
double js_parse_int(std::string_view text);

// ---------------------------------------------------------------------------------------------------------
// Date-time pictures.

struct Width {
  std::optional<std::uint64_t> min;
  std::optional<std::uint64_t> max;
};

// A component marker such as "[Y0001]" or "[MNn,3-3]", analysed.
struct Marker {
  std::optional<Width> width;
  std::optional<IntegerFormat> format;  // numeric components and time zones
  std::string presentation;
  std::optional<std::uint64_t> year_width;  // trailing digits a year is cut to
  char32_t component = U' ';
  std::optional<char32_t> modifier;  // a, c, o or t
  std::optional<Case> name;          // set when the presentation is a name
};

// One element of an analysed picture: literal text or a marker.
using Part = std::variant<std::string, Marker>;

// D3135 for an unclosed marker, D3132 for an unknown component without a presentation, and the errors of
// the integer pictures inside markers.
Result<std::vector<Part>> analyse_datetime_picture(std::string_view picture);

// The broken-down time of an instant.
struct CivilTime {
  double instant = 0;     // the milliseconds, truncated
  std::int64_t year = 0;  // astronomical: 0 is 1 BC
  int month = 0;          // 0 to 11
  int day = 1;
  int hour = 0;
  int minute = 0;
  int second = 0;
  int millisecond = 0;
  int weekday = 4;  // 0 = Sunday
};

// The broken-down time of an instant within range.
CivilTime civil_time(double millis) noexcept;

// The value of one component: none, a number or a text.
using FragmentValue = std::variant<std::monostate, double, std::string_view>;
FragmentValue fragment(const CivilTime& time, char32_t component);

// Milliseconds of a date and time (month counted from 0, overflowing into years; years 0 to 99 taken as
// 1900 to 1999); NaN for non-finite arguments and for years or months far out of range.
double calendar_millis(double year, double month, double day, double hour, double minute, double second,
                       double millisecond) noexcept;
// As calendar_millis, with the year taken as it stands.
double civil_millis(double year, double month, double day, double hour, double minute, double second,
                    double millisecond) noexcept;
// Days from 1970-01-01 of a proleptic Gregorian date (month 1 to 12, day 1 to 31).
std::int64_t days_from_civil(std::int64_t year, std::int64_t month, std::int64_t day) noexcept;
// The first day of the first week of a month: the Monday on or before the month's first Thursday.
double start_of_first_week(std::int64_t year, std::int64_t month) noexcept;

// Writes an instant by a picture (the ISO 8601 form when absent) in a time zone given as "±hhmm" (UTC
// when absent). D3150 for an unreadable zone, D1001 for an instant out of range, U1001 when a marker asks
// for more digits than `limit` bytes.
Result<std::string> from_millis(double millis, std::optional<std::string_view> picture,
                                std::optional<std::string_view> zone, std::size_t limit);

// Reads a timestamp written by a picture: none when the text does not match or holds no component, NaN for
// a date out of range. Missing components come from `now` (milliseconds) or take fixed defaults. The
// search runs through the evaluator so that its time limit and cancellation apply.
Result<std::optional<double>> parse_datetime(std::string_view text, std::string_view picture,
                                             eval::Evaluator& ev, double now);
// The regular expression a picture is read with ("^" ... "$", one group per part), compiled
// case-insensitively by parse_datetime.
Result<std::string> datetime_pattern(std::string_view picture);
// Puts a backslash before each of $ ( ) * + . ? [ \ ] ^ { | }.
std::string escape_regex(std::string_view text);
// An ISO 8601 timestamp "yyyy[-mm[-dd]][Thh:mm:ss][.f+][±hh[:]mm|Z]": its milliseconds (NaN for a month,
// day or hour out of range), or D3110 with the text as "value".
Result<double> parse_iso8601(std::string_view text);

}  // namespace zarnu_core::datetime
