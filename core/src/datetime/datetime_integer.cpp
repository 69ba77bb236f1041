// Integer pictures: analysis of a picture such as "#,##0", "a", "I", "Ww" or "1;o" and the writing of
// integers with it, in digits of one of 37 decimal families, letters, Roman numerals or English words.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <numeric>
#include <tuple>

#include "datetime/datetime.hpp"
#include "support/saturate.hpp"
#include "value/json.hpp"
#include "value/limits.hpp"

namespace zarnu_core::datetime {

namespace {

// The zero digits of the decimal digit families, each followed by its nine other digits.
constexpr char32_t kFamilies[] = {
    0x0030, 0x0660, 0x06F0, 0x07C0, 0x0966, 0x09E6, 0x0A66, 0x0AE6, 0x0B66, 0x0BE6, 0x0C66, 0x0CE6, 0x0D66,
    0x0DE6, 0x0E50, 0x0ED0, 0x0F20, 0x1040, 0x1090, 0x17E0, 0x1810, 0x1946, 0x19D0, 0x1A80, 0x1A90, 0x1B50,
    0x1BB0, 0x1C40, 0x1C50, 0xA620, 0xA8D0, 0xA900, 0xA9D0, 0xA9F0, 0xAA50, 0xABF0, 0xFF10};

// The zero of the family a decimal digit belongs to; none for any other character.
std::optional<char32_t> family_zero(char32_t c) noexcept {
  for (char32_t zero : kFamilies)
    if (c >= zero && c <= zero + 9) return zero;
  return std::nullopt;
}

void ascii_upper(std::string& s) noexcept {
  for (char& c : s)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
}

void ascii_lower(std::string& s) noexcept {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
}

std::string roman(double a) {
  static constexpr std::pair<std::uint64_t, std::string_view> kNumerals[] = {
      {1000, "m"}, {900, "cm"}, {500, "d"}, {400, "cd"}, {100, "c"}, {90, "xc"}, {50, "l"},
      {40, "xl"},  {10, "x"},   {9, "ix"},  {5, "v"},    {4, "iv"},  {1, "i"}};
  auto n = saturate_cast<std::uint64_t>(a);
  std::string out;
  for (const auto& [value, text] : kNumerals)
    for (; n >= value; n -= value) out.append(text);
  return out;
}

// Places separators among the characters of a number: each ends up with `position` characters of the
// number to its right. A separator with no character to its left is not written, as with regular grouping:
// a short number under "#,##,##0" is "5" or "12,345", not ",,5" or ",12,345".
std::u32string group_irregular(const std::u32string& digits, const std::vector<Separator>& separators) {
  const std::size_t length = digits.size();
  // before[k]: the separators with k characters to their right, in picture order. The list runs from the
  // right of the picture, so walking it backwards gives picture order within one position.
  std::vector<std::u32string> before(length);
  for (auto it = separators.rbegin(); it != separators.rend(); ++it)
    if (it->position < length) before[static_cast<std::size_t>(it->position)].push_back(it->character);
  std::u32string out;
  out.reserve(length + separators.size());
  for (std::size_t i = 0; i < length; ++i) {
    if (i > 0) out.append(before[length - i]);
    out.push_back(digits[i]);
  }
  if (length > 0) out.append(before[0]);
  return out;
}

// The digits of a non-negative number: its number text, but every digit of an integer of 1e21 or more,
// where the number text would switch to exponent form.
std::string plain_digits(double a) {
  if (!(a >= 1e21) || std::isinf(a)) return value::js_number(a);
  char buf[400];  // the largest double has 309 digits
  const auto r = std::to_chars(buf, buf + sizeof buf, a, std::chars_format::fixed, 0);
  return std::string(buf, r.ptr);
}

std::string format_decimal(double a, const IntegerFormat& f) {
  std::u32string t = to_chars(plain_digits(a));
  if (f.mandatory > t.size()) t.insert(0, static_cast<std::size_t>(f.mandatory) - t.size(), U'0');
  if (f.zero != U'0') {
    for (char32_t& c : t) {
      const char32_t shifted = c + (f.zero - U'0');
      if (is_scalar(shifted)) c = shifted;
    }
  }
  if (f.regular && !f.separators.empty()) {
    const std::uint64_t g = f.separators.front().position;
    const char32_t sep = f.separators.front().character;
    std::u32string grouped;
    grouped.reserve(t.size() + t.size() / static_cast<std::size_t>(g));
    for (std::size_t i = 0; i < t.size(); ++i) {
      if (i >= 1 && (t.size() - i) % g == 0) grouped.push_back(sep);
      grouped.push_back(t[i]);
    }
    t = std::move(grouped);
  } else if (!f.separators.empty()) {
    t = group_irregular(t, f.separators);
  }
  if (f.ordinal) {
    const char32_t c = t.empty() ? 0 : t.back();
    const char32_t p = t.size() >= 2 ? t[t.size() - 2] : 0;
    std::u32string_view suffix = U"th";
    if (p != U'1') {
      if (c == U'1') suffix = U"st";
      if (c == U'2') suffix = U"nd";
      if (c == U'3') suffix = U"rd";
    }
    t.append(suffix);
  }
  return to_utf8(t);
}

// The exponent of the scientific notation of a positive finite number.
int decimal_exponent(double x) noexcept {
  char buf[40];
  auto r = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::scientific);
  const char* e = std::find(buf, r.ptr, 'e');
  int exponent = 0;
  if (e != r.ptr) {
    const char* p = e + 1;
    if (p < r.ptr && *p == '+') ++p;
    std::from_chars(p, r.ptr, exponent);
  }
  return exponent;
}

}  // namespace

Result<IntegerFormat> analyse_integer_picture(std::string_view picture) {
  IntegerFormat f;
  std::string_view primary = picture;
  if (const auto semi = picture.rfind(';'); semi != std::string_view::npos) {
    primary = picture.substr(0, semi);
    f.ordinal = picture.substr(semi + 1).starts_with('o');
  }
  static constexpr std::tuple<std::string_view, Kind, Case> kTokens[] = {
      {"A", Kind::Letters, Case::Upper}, {"a", Kind::Letters, Case::Lower}, {"I", Kind::Roman, Case::Upper},
      {"i", Kind::Roman, Case::Lower},   {"W", Kind::Words, Case::Upper},   {"w", Kind::Words, Case::Lower},
      {"Ww", Kind::Words, Case::Title}};
  for (const auto& [token, kind, letter_case] : kTokens) {
    if (primary == token) {
      f.kind = kind;
      f.letter_case = letter_case;
      return f;
    }
  }
  if (primary.empty()) {
    f.kind = Kind::Other;
    return f;
  }
  const std::u32string chars = to_chars(primary);
  std::optional<char32_t> zero;
  std::uint64_t signs = 0;
  for (auto it = chars.rbegin(); it != chars.rend(); ++it) {
    if (const auto family = family_zero(*it)) {
      if (zero && *zero != *family) return fail(error::Error("D3131"));
      zero = family;
      ++f.mandatory;
      ++signs;
    } else if (*it == U'#') {
      ++f.optional;
      ++signs;
    } else {
      f.separators.push_back({signs, *it});
    }
  }
  if (!zero) {
    f.kind = Kind::Other;
    f.token = std::string(primary);
    f.separators.clear();
    f.mandatory = f.optional = 0;
    return f;
  }
  f.zero = *zero;
  if (!f.separators.empty()) {
    const char32_t first = f.separators.front().character;
    const bool same = std::all_of(f.separators.begin(), f.separators.end(),
                                  [&](const Separator& s) { return s.character == first; });
    std::uint64_t g = 0;
    for (const Separator& s : f.separators) g = std::gcd(g, s.position);
    bool every = g > 0;
    for (std::uint64_t k = 1; every && k <= f.separators.size(); ++k)
      every = std::any_of(f.separators.begin(), f.separators.end(),
                          [&](const Separator& s) { return s.position == k * g; });
    if (same && every) {
      f.regular = true;
      f.separators = {{g, first}};
    }
  }
  return f;
}

Result<std::string> format_integer_with(double value, const IntegerFormat& format) {
  const double a = std::fabs(value);
  std::string text;
  switch (format.kind) {
    case Kind::Other:
      return fail(error::Error("D3130").with("value", format.token));
    case Kind::Letters:
      text = decimal_to_letters(a, format.letter_case == Case::Upper ? U'A' : U'a');
      break;
    case Kind::Roman:
      text = roman(a);
      if (format.letter_case == Case::Upper) ascii_upper(text);
      break;
    case Kind::Words: {
      const double w = std::floor(a);
      if (std::isfinite(w)) text = number_to_words::lookup(w, false, format.ordinal);
      if (format.letter_case == Case::Upper) ascii_upper(text);
      if (format.letter_case == Case::Lower) ascii_lower(text);
      break;
    }
    case Kind::Decimal:
      text = format_decimal(a, format);
      break;
  }
  if (value < 0) text.insert(0, 1, '-');
  return text;
}

Result<std::string> format_integer(double value, std::string_view picture, std::size_t limit) {
  ZR_TRY(IntegerFormat f, analyse_integer_picture(picture));
  // A Roman numeral has at least one character per thousand.
  if (f.kind == Kind::Roman && std::fabs(value) / 1000 > static_cast<double>(limit))
    return fail(string_too_long(limit));
  return format_integer_with(std::floor(value), f);
}

std::string decimal_to_letters(double value, char32_t first) {
  if (!std::isfinite(value) || !(value > 0)) return {};
  std::u32string letters;
  double a = value;
  do {
    a -= 1;
    const char32_t c = first + saturate_cast<char32_t>(std::fmod(a, 26));
    letters.push_back(is_scalar(c) ? c : U'?');
    a = std::floor(a / 26);
  } while (a > 0);
  std::reverse(letters.begin(), letters.end());
  return to_utf8(letters);
}

namespace number_to_words {

namespace {

constexpr std::string_view kUnits[] = {"Zero",    "One",     "Two",       "Three",    "Four",
                                       "Five",    "Six",     "Seven",     "Eight",    "Nine",
                                       "Ten",     "Eleven",  "Twelve",    "Thirteen", "Fourteen",
                                       "Fifteen", "Sixteen", "Seventeen", "Eighteen", "Nineteen"};
constexpr std::string_view kOrdinalUnits[] = {
    "Zeroth",     "First",     "Second",    "Third",       "Fourth",     "Fifth",     "Sixth",
    "Seventh",    "Eighth",    "Ninth",     "Tenth",       "Eleventh",   "Twelfth",   "Thirteenth",
    "Fourteenth", "Fifteenth", "Sixteenth", "Seventeenth", "Eighteenth", "Nineteenth"};
constexpr std::string_view kTens[] = {"Twenty", "Thirty",  "Forty",  "Fifty",
                                      "Sixty",  "Seventy", "Eighty", "Ninety"};
constexpr std::string_view kMagnitudes[] = {"Thousand", "Million", "Billion", "Trillion"};

}  // namespace

std::string lookup(double x, bool prev, bool ordinal) {
  std::string out;
  if (x <= 19) {
    if (prev) out = " and ";
    const auto i = saturate_cast<std::size_t>(x);
    out.append(ordinal ? kOrdinalUnits[i] : kUnits[i]);
  } else if (x < 100) {
    if (prev) out = " and ";
    out.append(kTens[saturate_cast<std::size_t>(std::floor(x / 10)) - 2]);
    const double r = std::fmod(x, 10);
    if (r > 0) {
      out.push_back('-');
      out.append(lookup(r, false, ordinal));
    } else if (ordinal) {
      out.pop_back();
      out.append("ieth");
    }
  } else if (x < 1000) {
    if (prev) out = ", ";
    out.append(kUnits[saturate_cast<std::size_t>(std::floor(x / 100))]);
    out.append(" Hundred");
    const double r = std::fmod(x, 100);
    if (r > 0)
      out.append(lookup(r, true, ordinal));
    else if (ordinal)
      out.append("th");
  } else {
    const int m = std::min(decimal_exponent(x) / 3, 4);
    const double f = std::pow(10.0, 3 * m);
    const double q = std::floor(x / f);
    if (prev) out = ", ";
    out.append(lookup(q, false, false));
    out.push_back(' ');
    out.append(kMagnitudes[m - 1]);
    const double r = x - f * q;
    if (r > 0)
      out.append(lookup(r, true, ordinal));
    else if (ordinal)
      out.append("th");
  }
  return out;
}

}  // namespace number_to_words

}  // namespace zarnu_core::datetime
