// Date-time pictures and formatting: the analysis of a picture into literal text and component markers,
// the calendar arithmetic of instants, the value of each component, and the writing of an instant.
#include "datetime/datetime.hpp"
#include "support/once.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

#include "support/saturate.hpp"
#include "support/utf.hpp"
#include "value/limits.hpp"

namespace zarnu_core::datetime {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kDay = 86400000;
constexpr double kWeek = 604800000;

constexpr std::string_view kDefaultPicture = "[Y0001]-[M01]-[D01]T[H01]:[m01]:[s01].[f001][Z01:01t]";

constexpr std::string_view kMonths[] = {"January",   "February", "March",    "April",
                                        "May",       "June",     "July",     "August",
                                        "September", "October",  "November", "December"};
constexpr std::string_view kDays[] = {"",         "Monday", "Tuesday",  "Wednesday",
                                      "Thursday", "Friday", "Saturday", "Sunday"};

// Components and their default presentations.
std::optional<std::string_view> default_presentation(char32_t component) noexcept {
  switch (component) {
    case U'Y':
    case U'M':
    case U'D':
    case U'd':
    case U'W':
    case U'w':
    case U'X':
    case U'x':
    case U'H':
    case U'h':
    case U'f':
      return "1";
    case U'm':
    case U's':
      return "01";
    case U'Z':
    case U'z':
      return "01:01";
    case U'F':
    case U'P':
    case U'C':
    case U'E':
      return "n";
    default:
      return std::nullopt;
  }
}

bool is_numeric(char32_t component) noexcept {
  return std::u32string_view(U"YMDdFWwXxHhmsf").find(component) != std::u32string_view::npos;
}

std::int64_t floor_div(std::int64_t a, std::int64_t b) noexcept {
  return a / b - ((a % b != 0) && ((a < 0) != (b < 0)));
}

// Years 0 to 99 stand for 1900 to 1999 wherever a date is made from parts.
double century(double year) noexcept {
  return year >= 0 && year <= 99 ? 1900 + year : year;
}

// The week number of `t` counted from `start` (weeks of `limit` or fewer), moving into the following or
// the previous period's weeks at the edges.
double week_number(double t, double start, double next_start, double previous_start, double limit) noexcept {
  const double w = (t - start) / kWeek + 1;
  if (w > limit) return next_start <= t ? 1 : std::floor(w);
  if (w < 1) return std::floor((t - previous_start) / kWeek + 1);
  return std::floor(w);
}

// The start of the first week of a month of a year taken as it stands (no two-digit rule).
double first_week(std::int64_t year, std::int64_t month) noexcept {
  if (month > 10000000 || month < -10000000 || year > 1000000 || year < -1000000) return kNaN;
  const double first = civil_millis(static_cast<double>(year), static_cast<double>(month), 1, 0, 0, 0, 0);
  const auto days = saturate_cast<std::int64_t>(first / kDay);  // exact: the first is a midnight
  std::int64_t d = ((days + 4) % 7 + 7) % 7;
  if (d == 0) d = 7;
  const auto dd = static_cast<double>(d);
  return d > 4 ? first + (8 - dd) * kDay : first - (dd - 1) * kDay;
}

// An optional count of a width modifier: "*" or an unreadable text means no limit.
std::optional<std::uint64_t> width_count(std::u32string_view text) {
  if (text == U"*") return std::nullopt;
  const double v = js_parse_int(to_utf8(text));
  if (std::isnan(v)) return std::nullopt;
  return saturate_cast<std::uint64_t>(v);
}

void flush_literal(std::u32string& run, std::vector<Part>& parts) {
  if (run.empty()) return;
  std::u32string text;
  for (std::size_t i = 0; i < run.size(); ++i) {
    text.push_back(run[i]);
    if (run[i] == U']' && i + 1 < run.size() && run[i + 1] == U']') ++i;
  }
  parts.emplace_back(to_utf8(text));
  run.clear();
}

Result<Marker> analyse_marker(std::u32string_view raw, std::vector<Part>& parts) {
  std::u32string content;
  for (char32_t c : raw)
    if (!is_white_space(c)) content.push_back(c);
  Marker m;
  m.component = content.empty() ? U' ' : content.front();
  std::u32string presentation;
  const std::size_t comma = content.rfind(U',');
  if (comma != std::u32string::npos) {
    const std::u32string_view width = std::u32string_view(content).substr(comma + 1);
    const std::size_t dash = width.find(U'-');
    Width w;
    w.min = width_count(width.substr(0, dash));
    if (dash != std::u32string_view::npos) w.max = width_count(width.substr(dash + 1));
    m.width = w;
    if (comma >= 1) presentation = content.substr(1, comma - 1);
  } else if (content.size() > 1) {
    presentation = content.substr(1);
  }
  if (presentation.size() >= 2 &&
      std::u32string_view(U"acot").find(presentation.back()) != std::u32string::npos) {
    m.modifier = presentation.back();
    presentation.pop_back();
  }
  if (presentation.empty()) {
    const auto fallback = default_presentation(m.component);
    if (!fallback) return fail(error::Error("D3132").with("value", to_utf8(std::u32string(1, m.component))));
    presentation = to_chars(*fallback);
  }
  m.presentation = to_utf8(presentation);
  if (presentation.front() == U'N')
    m.name = presentation.size() >= 2 && presentation[1] == U'n' ? Case::Title : Case::Upper;
  else if (presentation.front() == U'n')
    m.name = Case::Lower;
  if (!m.name && is_numeric(m.component)) {
    std::string picture = m.presentation;
    if (m.modifier) {
      picture.push_back(';');
      utf::append(picture, *m.modifier);
    }
    ZR_TRY(IntegerFormat f, analyse_integer_picture(picture));
    if (m.width && m.width->min) f.mandatory = std::max(f.mandatory, *m.width->min);
    if (m.component == U'Y') {
      if (m.width && m.width->max) {
        m.year_width = f.mandatory = *m.width->max;
      } else {
        const std::uint64_t digits =
            f.optional > UINT64_MAX - f.mandatory ? UINT64_MAX : f.mandatory + f.optional;
        if (digits > 1) m.year_width = digits;
      }
    }
    // Two numbers with nothing between them can only be read apart when the first has a fixed width.
    if (!parts.empty()) {
      if (auto* previous = std::get_if<Marker>(&parts.back()); previous && previous->format)
        previous->format->fixed_digits = previous->format->mandatory;
    }
    m.format = std::move(f);
  }
  if (m.component == U'Z' || m.component == U'z') {
    ZR_TRY(IntegerFormat f, analyse_integer_picture(m.presentation));
    m.format = std::move(f);
  }
  return m;
}

const std::vector<Part>& default_parts() {
  static constinit once::Once<std::vector<Part>> parts;
  return parts.get([] { return std::move(*analyse_datetime_picture(kDefaultPicture)); });
}

std::string cased(std::string_view name, Case c, const std::optional<Width>& width) {
  std::string out(name);
  for (char& ch : out) {
    if (c == Case::Upper && ch >= 'a' && ch <= 'z') ch = static_cast<char>(ch - 'a' + 'A');
    if (c == Case::Lower && ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
  }
  if (width && width->max && *width->max < out.size()) out.resize(static_cast<std::size_t>(*width->max));
  return out;
}

std::string component_text(char32_t component) {
  return to_utf8(std::u32string(1, component));
}

// The text of a time-zone marker for an offset of `hours` and `minutes` (both carrying the sign). The
// sign is the offset's: an offset of less than an hour west has no hours to carry it.
Result<std::string> zone_text(const Marker& m, double hours, double minutes, std::size_t limit) {
  const IntegerFormat& f = *m.format;
  const double hhmm = 100 * hours + minutes;
  std::string text;
  if (f.regular) {
    ZR_TRY(text, format_integer_with(std::fabs(hhmm), f));
  } else if (f.mandatory == 1 || f.mandatory == 2) {
    ZR_TRY(text, format_integer_with(std::fabs(hours), f));
    if (minutes != 0) {
      ZR_TRY(std::string mm, format_integer(std::fabs(minutes), "00", limit));
      text += ':';
      text += mm;
    }
  } else if (f.mandatory == 3 || f.mandatory == 4) {
    ZR_TRY(text, format_integer_with(std::fabs(hhmm), f));
  } else {
    return fail(error::Error("D3134").with("value", f.mandatory));
  }
  text.insert(0, 1, hhmm < 0 ? '-' : '+');
  if (m.component == U'z') text.insert(0, "GMT");
  if (hhmm == 0 && m.modifier == U't') text = "Z";
  return text;
}

Result<std::string> marker_text(const Marker& m, const CivilTime& time, double hours, double minutes,
                                std::size_t limit) {
  if (m.format && m.format->mandatory > limit) return fail(string_too_long(limit));
  const FragmentValue value = fragment(time, m.component);
  switch (m.component) {
    case U'P': {
      const std::string_view half = std::get<std::string_view>(value);
      if (m.name == Case::Upper) return half == "am" ? std::string("AM") : std::string("PM");
      return std::string(half);
    }
    case U'f':
      if (!m.format) return fail(error::Error("D3133").with("value", "f"));
      return format_integer_with(std::get<double>(value), *m.format);
    case U'Z':
    case U'z':
      return zone_text(m, hours, minutes, limit);
    default:
      break;
  }
  if (is_numeric(m.component)) {
    double v = std::get<double>(value);
    if (m.year_width) v = std::fmod(v, std::pow(10.0, static_cast<double>(*m.year_width)));
    if (!m.name) return format_integer_with(v, *m.format);
    const auto index = saturate_cast<std::size_t>(v);
    switch (m.component) {
      case U'F':
        return cased(index < std::size(kDays) ? kDays[index] : "", *m.name, m.width);
      case U'M':
      case U'x':
        return cased(index >= 1 && index <= 12 ? kMonths[index - 1] : "", *m.name, m.width);
      default:
        return fail(error::Error("D3133").with("value", component_text(m.component)));
    }
  }
  if (const auto* text = std::get_if<std::string_view>(&value)) return std::string(*text);
  return fail(error::Error("D3132").with("value", component_text(m.component)));
}

}  // namespace

// ---------------------------------------------------------------------------------------------------------
// Text helpers

std::u32string to_chars(std::string_view text) {
  std::u32string out;
  out.reserve(text.size());
  for (std::size_t pos = 0; pos < text.size();) out.push_back(utf::decode(text, pos));
  return out;
}

std::string to_utf8(std::u32string_view chars) {
  std::string out;
  out.reserve(chars.size());
  for (char32_t c : chars) utf::append(out, c);
  return out;
}

bool is_white_space(char32_t c) noexcept {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

// ---------------------------------------------------------------------------------------------------------
// Calendar

std::int64_t days_from_civil(std::int64_t year, std::int64_t month, std::int64_t day) noexcept {
  const std::int64_t y = month <= 2 ? year - 1 : year;
  const std::int64_t era = floor_div(y, 400);
  const std::int64_t yoe = y - era * 400;
  const std::int64_t doy = (153 * ((month + 9) % 12) + 2) / 5 + day - 1;
  const std::int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

double civil_millis(double year, double month, double day, double hour, double minute, double second,
                    double millisecond) noexcept {
  for (double v : {year, month, day, hour, minute, second, millisecond})
    if (!std::isfinite(v)) return kNaN;
  year = std::trunc(year);
  month = std::trunc(month);
  if (std::fabs(month) > 1e7 || std::fabs(year) > 1e6) return kNaN;
  const auto m = saturate_cast<std::int64_t>(month);
  const auto y = saturate_cast<std::int64_t>(year) + floor_div(m, 12);
  const std::int64_t m12 = m - floor_div(m, 12) * 12;
  const auto days = static_cast<double>(days_from_civil(y, m12 + 1, 1));
  double ms = (days + std::trunc(day) - 1) * kDay + std::trunc(hour) * 3600000;
  ms += std::trunc(minute) * 60000;
  ms += std::trunc(second) * 1000;
  ms += std::trunc(millisecond);
  return ms;
}

double calendar_millis(double year, double month, double day, double hour, double minute, double second,
                       double millisecond) noexcept {
  return civil_millis(century(std::trunc(year)), month, day, hour, minute, second, millisecond);
}

double start_of_first_week(std::int64_t year, std::int64_t month) noexcept {
  if (year >= 0 && year <= 99) year += 1900;
  return first_week(year, month);
}

CivilTime civil_time(double millis) noexcept {
  CivilTime t;
  const auto ms = saturate_cast<std::int64_t>(millis);
  t.instant = static_cast<double>(ms);
  const std::int64_t days = floor_div(ms, 86400000);
  std::int64_t in_day = ms - days * 86400000;
  // Days to a civil date: eras of 400 years, years starting in March.
  const std::int64_t z = days + 719468;
  const std::int64_t era = floor_div(z, 146097);
  const std::int64_t doe = z - era * 146097;
  const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const std::int64_t mp = (5 * doy + 2) / 153;
  const std::int64_t d = doy - (153 * mp + 2) / 5 + 1;
  const std::int64_t m = mp < 10 ? mp + 3 : mp - 9;
  t.year = yoe + era * 400 + (m <= 2);
  t.month = static_cast<int>(m - 1);
  t.day = static_cast<int>(d);
  t.hour = static_cast<int>(in_day / 3600000);
  in_day %= 3600000;
  t.minute = static_cast<int>(in_day / 60000);
  in_day %= 60000;
  t.second = static_cast<int>(in_day / 1000);
  t.millisecond = static_cast<int>(in_day % 1000);
  t.weekday = static_cast<int>(((days + 4) % 7 + 7) % 7);
  return t;
}

FragmentValue fragment(const CivilTime& t, char32_t component) {
  // The broken-down year is the year itself: the two-digit rule is for dates made from written parts.
  const auto year = static_cast<double>(t.year);
  const double month = t.month;
  const std::int64_t y = t.year;
  switch (component) {
    case U'Y':
      return year;
    case U'M':
      return month + 1;
    case U'D':
      return static_cast<double>(t.day);
    case U'd':
      return std::trunc(
          (civil_millis(year, month, t.day, 0, 0, 0, 0) - civil_millis(year, 0, 1, 0, 0, 0, 0)) / kDay + 1);
    case U'F':
      return static_cast<double>(t.weekday == 0 ? 7 : t.weekday);
    case U'W':
      return week_number(civil_millis(year, month, t.day, 0, 0, 0, 0), first_week(y, 0), first_week(y + 1, 0),
                         first_week(y - 1, 0), 52);
    case U'X':
      if (t.instant < first_week(y, 0)) return year - 1;
      if (t.instant >= first_week(y + 1, 0)) return year + 1;
      return year;
    case U'w': {
      const std::int64_t m = t.month;
      const double next = m == 11 ? first_week(y + 1, 0) : first_week(y, m + 1);
      const double previous = m == 0 ? first_week(y - 1, 11) : first_week(y, m - 1);
      return week_number(civil_millis(year, month, t.day, 0, 0, 0, 0), first_week(y, m), next, previous, 4);
    }
    case U'x': {
      const std::int64_t m = t.month;
      if (t.instant < first_week(y, m)) return m == 0 ? 12.0 : month;
      const double next = m == 11 ? first_week(y + 1, 0) : first_week(y, m + 1);
      if (t.instant >= next) return m == 11 ? 1.0 : month + 2;
      return month + 1;
    }
    case U'H':
      return static_cast<double>(t.hour);
    case U'h':
      return static_cast<double>(t.hour % 12 == 0 ? 12 : t.hour % 12);
    case U'P':
      return std::string_view(t.hour <= 11 ? "am" : "pm");
    case U'm':
      return static_cast<double>(t.minute);
    case U's':
      return static_cast<double>(t.second);
    case U'f':
      return static_cast<double>(t.millisecond);
    case U'C':
    case U'E':
      return std::string_view("ISO");
    default:
      return std::monostate();
  }
}

// ---------------------------------------------------------------------------------------------------------
// Pictures

Result<std::vector<Part>> analyse_datetime_picture(std::string_view picture) {
  const std::u32string chars = to_chars(picture);
  std::vector<Part> parts;
  std::u32string run;
  for (std::size_t i = 0; i < chars.size(); ++i) {
    if (chars[i] != U'[') {
      run.push_back(chars[i]);
      continue;
    }
    flush_literal(run, parts);
    if (i + 1 < chars.size() && chars[i + 1] == U'[') {
      parts.emplace_back(std::string("["));
      ++i;
      continue;
    }
    const std::size_t close = chars.find(U']', i + 1);
    if (close == std::u32string::npos) return fail(error::Error("D3135"));
    ZR_TRY(Marker m, analyse_marker(std::u32string_view(chars).substr(i + 1, close - i - 1), parts));
    parts.emplace_back(std::move(m));
    i = close;
  }
  flush_literal(run, parts);
  return parts;
}

Result<std::string> from_millis(double millis, std::optional<std::string_view> picture,
                                std::optional<std::string_view> zone, std::size_t limit) {
  double hours = 0, minutes = 0;
  if (zone) {
    const double z = js_parse_int(*zone);
    if (std::isnan(z)) return fail(error::Error("D3150").with("value", *zone));
    hours = std::trunc(z / 100);
    minutes = z - 100 * hours;
  }
  std::vector<Part> analysed;
  if (picture) {
    ZR_TRY(analysed, analyse_datetime_picture(*picture));
  }
  const std::vector<Part>& parts = picture ? analysed : default_parts();
  const double adjusted = (60 * hours + minutes) * 60000 + millis;
  if (std::isnan(adjusted) || std::fabs(adjusted) > kMaxInstant)
    return fail(error::Error("D1001").with("value", millis));
  const CivilTime time = civil_time(adjusted);
  std::string out;
  for (const Part& part : parts) {
    if (const auto* literal = std::get_if<std::string>(&part)) {
      out += *literal;
      continue;
    }
    ZR_TRY(std::string text, marker_text(std::get<Marker>(part), time, hours, minutes, limit));
    out += text;
  }
  return out;
}

}  // namespace zarnu_core::datetime
