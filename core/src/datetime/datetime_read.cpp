// Reading integers back by an integer picture: the regular-expression fragment that matches what a
// picture writes, and the readers of digits, letters, Roman numerals and English words; also the
// parseInt-style reader used for widths and time-zone offsets.
#include <cmath>
#include <limits>

#include <double-conversion/double-conversion.h>

#include "datetime/datetime.hpp"
#include "support/casing.hpp"
#include "support/utf.hpp"

namespace zarnu_core::datetime {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// The white space of ECMAScript patterns' "\s".
bool is_pattern_space(char32_t c) noexcept {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0xA0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) ||
         c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000 || c == 0xFEFF;
}

// The pieces between the word separators ", " (a comma and one space), " and ", and single spaces,
// backslashes and hyphens. At each place the alternatives are tried in that order; empty pieces count.
std::vector<std::u32string_view> word_pieces(std::u32string_view t) {
  std::vector<std::u32string_view> pieces;
  std::size_t from = 0, i = 0;
  while (i < t.size()) {
    std::size_t length = 0;
    if (t[i] == U',' && i + 1 < t.size() && is_pattern_space(t[i + 1]))
      length = 2;
    else if (is_pattern_space(t[i]) && t.substr(i + 1, 3) == U"and" && i + 4 < t.size() &&
             is_pattern_space(t[i + 4]))
      length = 5;
    else if (is_pattern_space(t[i]) || t[i] == U'\\' || t[i] == U'-')
      length = 1;
    if (length == 0) {
      ++i;
      continue;
    }
    pieces.push_back(t.substr(from, i - from));
    i += length;
    from = i;
  }
  pieces.push_back(t.substr(from));
  return pieces;
}

double read_words(std::string_view text) {
  const std::u32string lower = to_chars(casing::to_lower(text));
  const auto table = word_values();
  std::vector<double> sums{0};
  for (std::u32string_view piece : word_pieces(lower)) {
    const std::string word = to_utf8(piece);
    double value = kNaN;
    for (const auto& [name, v] : table) {
      if (name == word) {
        value = v;
        break;
      }
    }
    if (value >= 100)
      sums.back() *= value;
    else if (sums.back() >= 1000)
      sums.push_back(value);
    else
      sums.back() += value;
  }
  double total = -0.0;
  for (double s : sums) total += s;
  return total;
}

double read_roman(std::string_view text) {
  const std::u32string upper = to_chars(casing::to_upper(text));
  double total = 0, largest = 1;
  for (auto it = upper.rbegin(); it != upper.rend(); ++it) {
    double v = kNaN;
    switch (*it) {
      case U'I':
        v = 1;
        break;
      case U'V':
        v = 5;
        break;
      case U'X':
        v = 10;
        break;
      case U'L':
        v = 50;
        break;
      case U'C':
        v = 100;
        break;
      case U'D':
        v = 500;
        break;
      case U'M':
        v = 1000;
        break;
      default:
        break;
    }
    if (v < largest)
      total -= v;
    else
      total += v;
    largest = std::max(largest, v);
  }
  return total;
}

// Bijective base 26 over the Latin letters, either case; any other character makes the text unreadable.
double read_letters(std::string_view text) {
  const std::u32string chars = to_chars(text);
  double total = -0.0, scale = 1;
  for (auto it = chars.rbegin(); it != chars.rend(); ++it) {
    const char32_t c = *it | 0x20;  // ASCII upper to lower case
    if (c < U'a' || c > U'z') return kNaN;
    total += static_cast<double>(c - U'a' + 1) * scale;
    scale *= 26;
  }
  return total;
}

}  // namespace

double js_parse_int(std::string_view text) {
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t next = pos;
    if (!is_white_space(utf::decode(text, next))) break;
    pos = next;
  }
  bool negative = false;
  if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) negative = text[pos++] == '-';
  const std::size_t start = pos;
  while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') ++pos;
  if (pos == start) return kNaN;
  // Made for each call (a few stores): a static one would be made under a guard another thread may hold.
  const double_conversion::StringToDoubleConverter converter(
      double_conversion::StringToDoubleConverter::NO_FLAGS, kNaN, kNaN, nullptr, nullptr);
  int used = 0;
  const double v = converter.StringToDouble(text.data() + start, static_cast<int>(pos - start), &used);
  return negative ? -v : v;
}

std::vector<std::pair<std::string, double>> word_values() {
  static constexpr std::string_view kCardinals[] = {
      "zero",     "one",     "two",     "three",     "four",     "five",    "six",
      "seven",    "eight",   "nine",    "ten",       "eleven",   "twelve",  "thirteen",
      "fourteen", "fifteen", "sixteen", "seventeen", "eighteen", "nineteen"};
  static constexpr std::string_view kOrdinals[] = {
      "zeroth",     "first",     "second",    "third",       "fourth",     "fifth",     "sixth",
      "seventh",    "eighth",    "ninth",     "tenth",       "eleventh",   "twelfth",   "thirteenth",
      "fourteenth", "fifteenth", "sixteenth", "seventeenth", "eighteenth", "nineteenth"};
  static constexpr std::string_view kTens[] = {"twenty", "thirty",  "forty",  "fifty",
                                               "sixty",  "seventy", "eighty", "ninety"};
  static constexpr std::pair<std::string_view, double> kMagnitudes[] = {
      {"hundred", 100}, {"thousand", 1e3}, {"million", 1e6}, {"billion", 1e9}, {"trillion", 1e12}};
  std::vector<std::pair<std::string, double>> table;
  table.reserve(66);
  for (std::size_t i = 0; i < 20; ++i) table.emplace_back(kCardinals[i], static_cast<double>(i));
  for (std::size_t i = 0; i < 20; ++i) table.emplace_back(kOrdinals[i], static_cast<double>(i));
  for (std::size_t i = 0; i < 8; ++i) {
    const auto value = static_cast<double>(20 + 10 * i);
    table.emplace_back(kTens[i], value);
    std::string ordinal(kTens[i].substr(0, kTens[i].size() - 1));
    table.emplace_back(ordinal + "ieth", value);
  }
  for (const auto& [word, value] : kMagnitudes) {
    table.emplace_back(word, value);
    table.emplace_back(std::string(word) + "th", value);
  }
  return table;
}

Result<IntegerMatcher> integer_matcher(const IntegerFormat& format) {
  IntegerMatcher m;
  m.reader.kind_ = format.kind;
  switch (format.kind) {
    case Kind::Other:
      return fail(error::Error("D3130").with("value", format.token));
    case Kind::Decimal:
      m.fragment = "[0-9]";
      m.fragment += format.fixed_digits ? "{" + std::to_string(*format.fixed_digits) + "}" : "+";
      if (format.ordinal) m.fragment += "(?:th|st|nd|rd)";
      m.reader.ordinal_ = format.ordinal;
      m.reader.zero_ = format.zero;
      for (const Separator& s : format.separators) m.reader.separators_.push_back(s.character);
      break;
    case Kind::Letters:
      m.fragment = format.letter_case == Case::Upper ? "[A-Z]+" : "[a-z]+";
      break;
    case Kind::Roman:
      m.fragment = format.letter_case == Case::Upper ? "[MDCLXVI]+" : "[mdclxvi]+";
      break;
    case Kind::Words:
      m.fragment = "(?:";
      for (const auto& [word, value] : word_values()) {
        m.fragment += word;
        m.fragment += '|';
      }
      m.fragment += "and|[\\-, ])+";
      break;
  }
  return m;
}

double IntegerReader::operator()(std::string_view text) const {
  switch (kind_) {
    case Kind::Decimal: {
      std::u32string t = to_chars(text);
      if (ordinal_) t.erase(t.size() >= 2 ? t.size() - 2 : 0);
      // Every separator of the picture goes, whether the grouping is regular or not: what formatting
      // wrote with a picture reads back with it.
      for (char32_t sep : separators_) std::erase(t, sep);
      if (zero_ != U'0') {
        for (char32_t& c : t) {
          const char32_t mapped = c - zero_ + U'0';
          c = c >= zero_ - U'0' && is_scalar(mapped) ? mapped : U'\uFFFD';
        }
      }
      return js_parse_int(to_utf8(t));
    }
    case Kind::Letters:
      return read_letters(text);
    case Kind::Roman:
      return read_roman(text);
    case Kind::Words:
      return read_words(text);
    case Kind::Other:
      break;
  }
  return kNaN;
}

}  // namespace zarnu_core::datetime
