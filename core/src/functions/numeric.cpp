// Decimal-format pictures (analysis, the per-evaluation cache and formatting), radix formatting, the
// integer-picture built-ins, square root and power. Rounding to decimal places works on the decimal text
// of a number; digits are written from the exact binary value with JavaScript's toFixed rounding.
#include "functions/numeric.hpp"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <numeric>

#include <double-conversion/double-conversion.h>

#include "datetime/datetime.hpp"
#include "eval/eval.hpp"
#include "support/saturate.hpp"
#include "support/utf.hpp"
#include "value/json.hpp"

namespace zarnu_core::functions::numeric {

using value::Items;
using value::Value;

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr std::size_t kCacheSize = 8;

// ---------------------------------------------------------------------------------------------------------
// Exact digits of doubles, for what the fixed-notation converter does not cover (more than 100 fraction
// digits, magnitudes from 1e60) and for radices other than 10.

// An unsigned integer of any size, in 32-bit limbs, least significant first, without leading zero limbs.
class Big {
 public:
  explicit Big(std::uint64_t v) {
    for (; v != 0; v >>= 32) limbs_.push_back(static_cast<std::uint32_t>(v));
  }

  void mul(std::uint32_t m) {
    std::uint64_t carry = 0;
    for (std::uint32_t& l : limbs_) {
      const std::uint64_t p = std::uint64_t{l} * m + carry;
      l = static_cast<std::uint32_t>(p);
      carry = p >> 32;
    }
    if (carry != 0) limbs_.push_back(static_cast<std::uint32_t>(carry));
  }

  void shl(unsigned bits) {
    if (limbs_.empty()) return;
    limbs_.insert(limbs_.begin(), bits / 32, 0);
    const unsigned r = bits % 32;
    if (r == 0) return;
    std::uint32_t carry = 0;
    for (std::uint32_t& l : limbs_) {
      const std::uint32_t next = l >> (32 - r);
      l = (l << r) | carry;
      carry = next;
    }
    if (carry != 0) limbs_.push_back(carry);
  }

  // Divides in place and returns the remainder.
  std::uint32_t divmod(std::uint32_t d) {
    std::uint64_t rem = 0;
    for (std::size_t i = limbs_.size(); i-- > 0;) {
      const std::uint64_t cur = (rem << 32) | limbs_[i];
      limbs_[i] = static_cast<std::uint32_t>(cur / d);
      rem = cur % d;
    }
    while (!limbs_.empty() && limbs_.back() == 0) limbs_.pop_back();
    return static_cast<std::uint32_t>(rem);
  }

  // The digits in a radix from 2 to 36, lower-case letters beyond 9.
  std::string digits(unsigned radix) const {
    static constexpr char kDigits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    if (limbs_.empty()) return "0";
    // Divide by the largest power of the radix that fits a limb, then split each remainder.
    std::uint32_t chunk = radix;
    unsigned per_chunk = 1;
    while (std::uint64_t{chunk} * radix <= UINT32_MAX) {
      chunk *= radix;
      ++per_chunk;
    }
    Big n = *this;
    std::string out;
    while (!n.limbs_.empty()) {
      std::uint32_t rem = n.divmod(chunk);
      for (unsigned i = 0; i < per_chunk && (rem != 0 || !n.limbs_.empty()); ++i) {
        out.push_back(kDigits[rem % radix]);
        rem /= radix;
      }
    }
    std::reverse(out.begin(), out.end());
    return out;
  }

 private:
  std::vector<std::uint32_t> limbs_;
};

// A finite double as mantissa × 2^exponent.
std::pair<std::uint64_t, int> decompose(double x) noexcept {
  const auto bits = std::bit_cast<std::uint64_t>(x);
  const int biased = static_cast<int>((bits >> 52) & 0x7FF);
  std::uint64_t mantissa = bits & ((std::uint64_t{1} << 52) - 1);
  if (biased != 0) mantissa |= std::uint64_t{1} << 52;
  return {mantissa, (biased == 0 ? 1 : biased) - 1075};
}

// The exact decimal expansion of a finite non-negative double: its integer digits and its fraction
// digits (a double has at most 1074 of them).
std::pair<std::string, std::string> exact_decimal(double x) {
  const auto [mantissa, exponent] = decompose(x);
  Big b(mantissa);
  if (exponent >= 0) {
    b.shl(static_cast<unsigned>(exponent));
    return {b.digits(10), {}};
  }
  // m / 2^k = m × 5^k / 10^k.
  const auto k = static_cast<std::size_t>(-exponent);
  for (std::size_t done = 0; done < k;) {
    const std::size_t step = std::min<std::size_t>(13, k - done);
    std::uint32_t p = 1;
    for (std::size_t i = 0; i < step; ++i) p *= 5;
    b.mul(p);
    done += step;
  }
  std::string d = b.digits(10);
  if (d.size() <= k) d.insert(0, k + 1 - d.size(), '0');
  return {d.substr(0, d.size() - k), d.substr(d.size() - k)};
}

// Fixed notation from the exact expansion, rounding halves away from zero.
std::string exact_fixed(double x, std::size_t n) {
  auto [integer, fraction] = exact_decimal(x);
  const bool up = fraction.size() > n && fraction[n] >= '5';
  fraction.resize(n, '0');
  std::string all = integer + fraction;
  if (up) {
    std::size_t i = all.size();
    while (i > 0 && all[i - 1] == '9') all[--i] = '0';
    if (i == 0)
      all.insert(0, 1, '1');
    else
      ++all[i - 1];
  }
  const std::size_t int_digits = all.size() - n;
  if (n == 0) return all;
  return all.substr(0, int_digits) + "." + all.substr(int_digits);
}

// Half to even at the units: 2.5 is 2, 3.5 is 4, and minus zero becomes zero.
double round_half_even(double x) noexcept {
  const double f = std::floor(x);
  double r = x - f < 0.5 ? f : f + 1;
  if (std::fabs(r - x) == 0.5 && std::fabs(std::fmod(r, 2)) == 1) r -= 1;
  return r == 0 ? 0 : r;
}

// ---------------------------------------------------------------------------------------------------------
// Picture analysis

std::size_t count(std::u32string_view s, char32_t c) noexcept {
  return static_cast<std::size_t>(std::count(s.begin(), s.end(), c));
}

class Analyser {
 public:
  Analyser(const DecimalFormat& f, const Family& family) : f_(f), family_(family) {}

  bool is_family(char32_t c) const noexcept {
    return std::find(family_.begin(), family_.end(), c) != family_.end();
  }
  bool is_sign(char32_t c) const noexcept { return is_family(c) || c == f_.digit; }
  bool is_active(char32_t c) const noexcept {
    return is_sign(c) || c == f_.decimal_separator || c == f_.exponent_separator ||
           c == f_.grouping_separator || c == f_.pattern_separator;
  }
  std::size_t families(std::u32string_view s) const noexcept {
    return static_cast<std::size_t>(
        std::count_if(s.begin(), s.end(), [&](char32_t c) { return is_family(c); }));
  }
  std::size_t signs(std::u32string_view s) const noexcept {
    return static_cast<std::size_t>(
        std::count_if(s.begin(), s.end(), [&](char32_t c) { return is_sign(c); }));
  }

  Result<Analysis> run(std::u32string_view sp) const {
    const std::size_t n = sp.size();
    const char32_t exp = f_.exponent_separator;
    const char32_t grp = f_.grouping_separator;
    const char32_t dec = f_.decimal_separator;
    // Prefix and suffix: around the active characters, an exponent-separator at either edge not counting.
    std::size_t first = std::u32string_view::npos, last = std::u32string_view::npos;
    for (std::size_t i = 0; i < n; ++i) {
      if (is_active(sp[i]) && sp[i] != exp) {
        if (first == std::u32string_view::npos) first = i;
        last = i;
      }
    }
    const std::size_t prefix_len = first == std::u32string_view::npos ? 0 : first;
    const std::size_t suffix_len = last == std::u32string_view::npos ? 0 : n - last - 1;
    const std::u32string_view active = sp.substr(prefix_len, n - prefix_len - suffix_len);
    const std::size_t e = sp.find(exp, prefix_len);
    const bool has_exponent = e != std::u32string_view::npos && e <= n - suffix_len;
    std::u32string_view mantissa = active, exponent;
    if (has_exponent) {
      mantissa = sp.substr(prefix_len, e - prefix_len);
      if (e + 1 < n - suffix_len) exponent = sp.substr(e + 1, n - suffix_len - e - 1);
    }
    const std::size_t point = mantissa.find(dec);
    const std::u32string_view integer = mantissa.substr(0, point);
    const std::u32string_view fraction =
        point == std::u32string_view::npos ? std::u32string_view() : mantissa.substr(point + 1);

    // Every check runs; the last one failing names the error.
    const char* code = nullptr;
    if (count(sp, dec) > 1) code = "D3081";
    if (count(sp, f_.percent) > 1) code = "D3082";
    if (count(sp, f_.per_mille) > 1) code = "D3083";
    if (count(sp, f_.percent) > 0 && count(sp, f_.per_mille) > 0) code = "D3084";
    if (signs(mantissa) == 0) code = "D3085";
    if (std::any_of(active.begin(), active.end(), [&](char32_t c) { return !is_active(c); })) code = "D3086";
    if (const std::size_t at = sp.find(dec); at != std::u32string_view::npos) {
      if ((at > 0 && sp[at - 1] == grp) || (at + 1 < n && sp[at + 1] == grp)) code = "D3087";
    } else if (!integer.empty() && integer.back() == grp) {
      code = "D3088";
    }
    for (std::size_t i = 0; i + 1 < n; ++i)
      if (sp[i] == grp && sp[i + 1] == grp) code = "D3089";
    if (const std::size_t h = integer.find(f_.digit);
        h != std::u32string_view::npos && families(integer.substr(0, h)) > 0)
      code = "D3090";
    if (const std::size_t h = fraction.rfind(f_.digit);
        h != std::u32string_view::npos && families(fraction.substr(h + 1)) > 0)
      code = "D3091";
    if (has_exponent && !exponent.empty() && (count(sp, f_.percent) > 0 || count(sp, f_.per_mille) > 0))
      code = "D3092";
    if (has_exponent && (exponent.empty() || families(exponent) != exponent.size())) code = "D3093";
    if (code) return fail(error::Error(code));

    Analysis a;
    for (std::size_t i = 0; i < integer.size(); ++i)
      if (integer[i] == grp) a.integer_grouping.push_back(signs(integer.substr(i + 1)));
    if (!a.integer_grouping.empty()) {
      std::size_t g = 0;
      for (std::size_t p : a.integer_grouping) g = std::gcd(g, p);
      bool every = g > 0;
      for (std::size_t k = 1; every && k <= a.integer_grouping.size(); ++k)
        every = std::find(a.integer_grouping.begin(), a.integer_grouping.end(), k * g) !=
                a.integer_grouping.end();
      if (every) a.regular_grouping = g;
    }
    for (std::size_t i = 0; i < fraction.size(); ++i)
      if (fraction[i] == grp) a.fraction_grouping.push_back(signs(fraction.substr(0, i)));
    a.min_integer = a.scaling = families(integer);
    a.min_fraction = families(fraction);
    a.max_fraction = signs(fraction);
    a.min_exponent = has_exponent ? families(exponent) : 0;
    if (a.min_integer == 0 && a.max_fraction == 0) {
      if (has_exponent)
        a.min_fraction = a.max_fraction = 1;
      else
        a.min_integer = 1;
    }
    if (has_exponent && a.min_integer == 0 && integer.find(f_.digit) != std::u32string_view::npos)
      a.min_integer = 1;
    if (a.min_integer == 0 && a.min_fraction == 0) a.min_fraction = 1;
    a.prefix = datetime::to_utf8(sp.substr(0, prefix_len));
    a.suffix = datetime::to_utf8(sp.substr(n - suffix_len));
    a.chars = std::u32string(sp);
    return a;
  }

 private:
  const DecimalFormat& f_;
  const Family& family_;
};

char32_t first_char(std::string_view s) {
  std::size_t pos = 0;
  return utf::decode(s, pos);
}

}  // namespace

// ---------------------------------------------------------------------------------------------------------
// Options, analysis and the cache

DecimalFormat decimal_format(const Value& options) {
  DecimalFormat f;
  if (!options.is_object()) return f;
  const auto fields = options.as_object().borrow();
  for (const auto& [key, v] : *fields) {
    if (!v.is_string() || v.as_string().empty()) continue;
    const std::string_view k = key.view();
    const std::string_view s = v.as_string();
    const char32_t c = first_char(s);
    if (k == "decimal-separator")
      f.decimal_separator = c;
    else if (k == "grouping-separator")
      f.grouping_separator = c;
    else if (k == "exponent-separator")
      f.exponent_separator = c;
    else if (k == "minus-sign")
      f.minus_sign = std::string(s);
    else if (k == "percent")
      f.percent = c;
    else if (k == "per-mille")
      f.per_mille = c;
    else if (k == "zero-digit")
      f.zero_digit = c;
    else if (k == "digit")
      f.digit = c;
    else if (k == "pattern-separator")
      f.pattern_separator = c;
  }
  return f;
}

Result<Analysed> analyse_picture(std::string_view picture, const DecimalFormat& format) {
  Analysed out;
  for (std::size_t i = 0; i < 10; ++i) {
    const char32_t c = format.zero_digit + static_cast<char32_t>(i);
    out.family[i] = datetime::is_scalar(c) ? c : U'\uFFFD';
  }
  const std::u32string chars = datetime::to_chars(picture);
  std::vector<std::u32string_view> subs;
  std::u32string_view rest = chars;
  for (std::size_t at; (at = rest.find(format.pattern_separator)) != std::u32string_view::npos;) {
    subs.push_back(rest.substr(0, at));
    rest.remove_prefix(at + 1);
  }
  subs.push_back(rest);
  if (subs.size() > 2) return fail(error::Error("D3080"));
  const Analyser analyser(format, out.family);
  ZR_TRY(out.positive, analyser.run(subs[0]));
  if (subs.size() == 2) {
    ZR_TRY(out.negative, analyser.run(subs[1]));
  } else {
    out.negative = out.positive;
    out.negative.prefix = format.minus_sign + out.positive.prefix;
  }
  return out;
}

Result<Picture> Picture::parse(value::Str text, DecimalFormat format) {
  ZR_TRY(Analysed a, analyse_picture(text.view(), format));
  return Picture{a.family, std::move(a.positive), std::move(a.negative), std::move(format), std::move(text)};
}

Result<const Picture*> cached_picture(eval::Evaluator& ev, const value::Str& text,
                                      const DecimalFormat& format) {
  auto& cache = ev.pictures();
  for (const auto& p : cache)
    if (p->text == text && p->format == format) return p.get();
  ZR_TRY(Picture parsed, Picture::parse(text, format));
  if (cache.size() >= kCacheSize) cache.erase(cache.begin());
  cache.push_back(std::make_shared<Picture>(std::move(parsed)));
  return cache.back().get();
}

// ---------------------------------------------------------------------------------------------------------
// Formatting

void Digits::write(std::string_view ascii) {
  for (char c : ascii) out_.push_back(c >= '0' && c <= '9' ? family_[static_cast<std::size_t>(c - '0')] : c);
}

double shift(double x, double n) {
  if (!std::isfinite(x)) return kNaN;
  const std::string text = value::js_number(x);
  std::string_view mantissa = text;
  double exponent = 0;
  if (const auto e = text.find('e'); e != std::string::npos) {
    mantissa = std::string_view(text).substr(0, e);
    const char* p = text.data() + e + 1;
    if (*p == '+') ++p;
    int parsed = 0;
    std::from_chars(p, text.data() + text.size(), parsed);
    exponent = parsed;
  }
  const double sum = exponent + n;
  if (sum != std::trunc(sum)) return kNaN;
  // Beyond this every mantissa reads as an infinity or a zero.
  const auto e = saturate_cast<long long>(std::clamp(sum, -100000.0, 100000.0));
  std::string shifted(mantissa);
  shifted += 'e';
  shifted += std::to_string(e);
  // Made for each call (a few stores): a static one would be made under a guard another thread may hold.
  const double_conversion::StringToDoubleConverter converter(
      double_conversion::StringToDoubleConverter::NO_FLAGS, kNaN, kNaN, nullptr, nullptr);
  int used = 0;
  return converter.StringToDouble(shifted.data(), static_cast<int>(shifted.size()), &used);
}

void write_fixed(Digits& sink, double x, std::size_t n) {
  x = std::fabs(x);
  if (std::isnan(x)) return sink.write("NaN");
  if (std::isinf(x)) return sink.write("Infinity");
  using double_conversion::DoubleToStringConverter;
  if (n <= static_cast<std::size_t>(DoubleToStringConverter::kMaxFixedDigitsAfterPoint) && x < 1e60) {
    const DoubleToStringConverter converter(DoubleToStringConverter::NO_FLAGS, "Infinity", "NaN", 'e', 0, 0,
                                            0, 0);
    char buffer[DoubleToStringConverter::kMaxFixedDigitsBeforePoint +
                DoubleToStringConverter::kMaxFixedDigitsAfterPoint + 8];
    double_conversion::StringBuilder builder(buffer, sizeof buffer);
    converter.ToFixed(x, static_cast<int>(n), &builder);
    const int length = builder.position();
    sink.write(std::string_view(builder.Finalize(), static_cast<std::size_t>(length)));
    return;
  }
  sink.write(exact_fixed(x, n));
}

std::string format_with(const Picture& p, double value) {
  const Analysis& a = value < 0 ? p.negative : p.positive;
  const DecimalFormat& f = p.format;
  const char32_t zero = p.family[0];
  const char32_t dec = f.decimal_separator;
  const char32_t grp = f.grouping_separator;
  auto has = [&](char32_t c) { return a.chars.find(c) != std::u32string::npos; };

  double m = value;
  if (has(f.percent))
    m *= 100;
  else if (has(f.per_mille))
    m *= 1000;
  // A number without digits is written as its name between the sub-picture's prefix and suffix.
  if (!std::isfinite(m)) return a.prefix + (std::isnan(m) ? "NaN" : "Infinity") + a.suffix;
  long long e = 0;
  if (a.min_exponent > 0 && m != 0) {
    const double hi = std::pow(10.0, static_cast<double>(a.scaling));
    const double lo = std::pow(10.0, static_cast<double>(a.scaling) - 1);
    while (std::fabs(m) < lo) {
      m *= 10;
      --e;
    }
    while (std::fabs(m) > hi) {
      m /= 10;
      ++e;
    }
  }

  // Half to even at the picture's precision, on the decimal digits.
  const std::size_t n = a.max_fraction;
  const double places = static_cast<double>(n);
  const double x1 = n > 0 ? shift(m, places) : m;
  double r = m;
  if (!std::isinf(x1)) {
    r = round_half_even(x1);
    if (n > 0) r = shift(r, -places);
    if (r == 0) r = 0;
  }

  std::u32string w;
  w.reserve(32);
  Digits digits(w, p.family);
  write_fixed(digits, r, n);
  if (const std::size_t point = w.find(U'.'); point != std::u32string::npos)
    w[point] = dec;
  else
    w.push_back(dec);
  w.erase(0, std::min(w.find_first_not_of(zero), w.size()));
  w.erase(std::min(w.find_last_not_of(zero) + 1, w.size()));

  auto point_at = [&] { return std::min(w.find(dec), w.size()); };
  {
    const auto d = static_cast<long long>(point_at());
    const auto length = static_cast<long long>(w.size());
    const long long lead = static_cast<long long>(a.min_integer) - d;
    const long long trail = static_cast<long long>(a.min_fraction) - (length - d - 1);
    if (lead > 0) w.insert(0, static_cast<std::size_t>(lead), zero);
    if (trail > 0) w.append(static_cast<std::size_t>(trail), zero);
  }
  std::size_t d = point_at();
  if (a.regular_grouping > 0) {
    const std::size_t g = a.regular_grouping;
    const std::size_t groups = (d > 1 ? d - 1 : 0) / g;
    for (std::size_t j = 1; j <= groups; ++j) w.insert(d - j * g, 1, grp);
  } else {
    for (std::size_t pos : a.integer_grouping) {
      if (d > pos) {
        w.insert(d - pos, 1, grp);
        ++d;
      }
    }
  }
  d = point_at();
  for (std::size_t i = 0; i < a.fraction_grouping.size(); ++i) {
    const std::size_t at = d + 1 + a.fraction_grouping[i] + i;
    if (at >= w.size())
      w.push_back(grp);
    else
      w.insert(at, 1, grp);
  }
  // A trailing decimal-separator goes. Fraction digits that a sub-picture without one was given (such as
  // "#e0", which keeps one fraction digit so that the mantissa has a digit) stay, and their separator with
  // them: 1234 is "0.1e4", where dropping the digit would leave "0.e4".
  if (!w.empty() && w.back() == dec) w.pop_back();

  std::string out = a.prefix;
  out += datetime::to_utf8(w);
  if (a.min_exponent > 0) {
    std::u32string x;
    utf::append(out, f.exponent_separator);
    if (e < 0) out += f.minus_sign;
    Digits exponent_digits(x, p.family);
    write_fixed(exponent_digits, static_cast<double>(e), 0);
    if (a.min_exponent > x.size()) x.insert(0, a.min_exponent - x.size(), zero);
    out += datetime::to_utf8(x);
  }
  out += a.suffix;
  return out;
}

// ---------------------------------------------------------------------------------------------------------
// The built-ins

Result<Value> format_number(eval::Evaluator& ev, Items args, const Call&) {
  const Value& v = arg_at(args, 0);
  if (!v.is_number()) return Value();
  const Value& picture = arg_at(args, 1);
  const value::Str text = picture.is_string() ? picture.as_str() : value::Str::make({});
  const DecimalFormat format = decimal_format(arg_at(args, 2));
  ZR_TRY(const Picture* p, cached_picture(ev, text, format));
  return Value::string(format_with(*p, v.as_number()));
}

Result<Value> format_base(eval::Evaluator&, Items args, const Call&) {
  const Value& v = arg_at(args, 0);
  if (!v.is_number()) return Value();
  const double value = round_half_even(v.as_number());
  double radix = 10;
  if (const Value& r = arg_at(args, 1); r.is_number()) {
    radix = round_half_even(r.as_number());
    if (!(radix >= 2 && radix <= 36)) return fail(error::Error("D3100").with("value", radix));
  }
  if (!std::isfinite(value) || radix == 10) return Value::string(value::js_number(value));
  const auto [mantissa, exponent] = decompose(std::fabs(value));
  Big b(exponent >= 0 ? mantissa : exponent > -64 ? mantissa >> -exponent : 0);
  if (exponent > 0) b.shl(static_cast<unsigned>(exponent));
  std::string text = b.digits(saturate_cast<unsigned>(radix));
  if (value < 0) text.insert(0, 1, '-');
  return Value::string(text);
}

Result<Value> format_integer(eval::Evaluator& ev, Items args, const Call&) {
  const Value& v = arg_at(args, 0);
  if (!v.is_number()) return Value();
  const Value& picture = arg_at(args, 1);
  ZR_TRY(std::string text,
         datetime::format_integer(v.as_number(), picture.is_string() ? picture.as_string() : "",
                                  ev.max_string_length()));
  return Value::string(text);
}

Result<Value> parse_integer(eval::Evaluator&, Items args, const Call&) {
  const Value& v = arg_at(args, 0);
  if (!v.is_string()) return Value();
  const Value& picture = arg_at(args, 1);
  ZR_TRY(datetime::IntegerFormat format,
         datetime::analyse_integer_picture(picture.is_string() ? picture.as_string() : ""));
  ZR_TRY(datetime::IntegerMatcher matcher, datetime::integer_matcher(format));
  const double n = matcher.reader(v.as_string());
  if (std::isinf(n)) return fail(error::Error("D1001").with("value", json::Json(nullptr)));
  return Value::number(n);
}

Result<Value> sqrt(eval::Evaluator&, Items args, const Call&) {
  const Value& v = arg_at(args, 0);
  if (!v.is_number()) return Value();
  const double x = v.as_number();
  if (x < 0) return fail(error::Error("D3060").with("value", x).with("index", 1));
  return Value::number(std::sqrt(x));
}

Result<Value> power(eval::Evaluator&, Items args, const Call&) {
  const Value& v = arg_at(args, 0);
  if (!v.is_number()) return Value();
  const double base = v.as_number();
  const double exponent = arg_at(args, 1).is_number() ? arg_at(args, 1).as_number() : kNaN;
  // Unlike C, a base of magnitude 1 has no definite power for an exponent that is NaN or infinite.
  const double result = std::fabs(base) == 1 && !std::isfinite(exponent) ? kNaN : std::pow(base, exponent);
  if (!std::isfinite(result))
    return fail(error::Error("D3061").with("value", base).with("exp", exponent).with("index", 1));
  return Value::number(result);
}

}  // namespace zarnu_core::functions::numeric
