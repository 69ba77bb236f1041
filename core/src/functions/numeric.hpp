// Number pictures and the numeric built-ins: decimal-format pictures ($formatNumber) analysed once per
// evaluation into a small cache, radix formatting, integer pictures ($formatInteger, $parseInteger),
// square root and power; and the decimal shift that rounding at a number of places goes through.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "eval/native.hpp"

namespace zarnu_core::functions::numeric {

// The decimal-format properties of one $formatNumber call.
struct DecimalFormat {
  char32_t decimal_separator = U'.';
  char32_t grouping_separator = U',';
  char32_t exponent_separator = U'e';
  std::string minus_sign = "-";
  char32_t percent = U'%';
  char32_t per_mille = U'\u2030';
  char32_t zero_digit = U'0';
  char32_t digit = U'#';
  char32_t pattern_separator = U';';
  bool operator==(const DecimalFormat&) const = default;
};

// The properties an options object sets: string entries of at least one character under the nine names;
// anything else keeps the defaults.
DecimalFormat decimal_format(const value::Value& options);

// The ten digits of the picture's digit family, zero first.
using Family = std::array<char32_t, 10>;

// What the formatter needs of one sub-picture.
struct Analysis {
  std::vector<std::size_t> integer_grouping;  // digit signs to the right of each separator, left to right
  std::string prefix;
  std::vector<std::size_t> fraction_grouping;  // digit signs to the left of each separator, ascending
  std::string suffix;
  std::u32string chars;              // the sub-picture
  std::size_t regular_grouping = 0;  // 0: not regular
  std::size_t min_integer = 0;
  std::size_t scaling = 0;
  std::size_t min_fraction = 0;
  std::size_t max_fraction = 0;
  std::size_t min_exponent = 0;  // 0: no exponent
};

struct Analysed {
  Family family{};
  Analysis positive;
  Analysis negative;
};

// Splits a picture into its sub-pictures and checks and analyses each: D3080 to D3093.
Result<Analysed> analyse_picture(std::string_view picture, const DecimalFormat& format);

// An analysed picture, as the per-evaluation cache keeps it.
struct Picture {
  Family family{};
  Analysis positive;
  Analysis negative;
  DecimalFormat format;
  value::Str text;

  static Result<Picture> parse(value::Str text, DecimalFormat format);
};

// The analysed picture for a text and properties: from the evaluation's cache (at most 8 entries, the
// oldest evicted first) or analysed now and cached.
Result<const Picture*> cached_picture(eval::Evaluator& ev, const value::Str& text,
                                      const DecimalFormat& format);

// Writes text into a working text, turning ASCII digits into the family's digits.
class Digits {
 public:
  Digits(std::u32string& out, const Family& family) noexcept : out_(out), family_(family) {}
  void write(std::string_view ascii);

 private:
  std::u32string& out_;
  const Family& family_;
};

// x × 10^n worked on the decimal text of x, so that rounding sees the digits a reader sees
// (shift(1.005, 2) is 100.5). NaN for a non-finite x or a non-integral n.
double shift(double x, double n);
// Writes |x| with exactly n fraction digits: the exact binary value rounded, halves away from zero.
void write_fixed(Digits& sink, double x, std::size_t n);
// Formats a number with an analysed picture.
std::string format_with(const Picture& picture, double value);

// The built-ins.
Result<value::Value> format_number(eval::Evaluator& ev, value::Items args, const Call& call);
Result<value::Value> format_base(eval::Evaluator& ev, value::Items args, const Call& call);
Result<value::Value> format_integer(eval::Evaluator& ev, value::Items args, const Call& call);
Result<value::Value> parse_integer(eval::Evaluator& ev, value::Items args, const Call& call);
Result<value::Value> sqrt(eval::Evaluator& ev, value::Items args, const Call& call);
Result<value::Value> power(eval::Evaluator& ev, value::Items args, const Call& call);

}  // namespace zarnu_core::functions::numeric
