// Reading timestamps: with a date-time picture (one case-insensitive regular expression with a group per
// part, a reader per component, missing components from the current time or fixed defaults), and the
// ISO 8601 form read when no picture is given.
#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <limits>
#include <span>

#include "datetime/datetime.hpp"
#include "eval/eval.hpp"
#include "eval/regex.hpp"
#include "support/saturate.hpp"
#include "support/utf.hpp"

namespace zarnu_core::datetime {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kDay = 86400000;

struct FractionReader {};
struct ZoneReader {
  bool gmt = false;
  std::optional<char32_t> separator;
};
struct NameReader {
  std::vector<std::pair<std::string, double>> names;
};
using Reader = std::variant<IntegerReader, FractionReader, ZoneReader, NameReader>;

// One group of the pattern: a literal (no reader) or a component with its reader.
struct Capture {
  char32_t component = 0;
  std::optional<Reader> reader;
};

struct Plan {
  std::string pattern;
  std::vector<Capture> captures;
};

double read_fraction(std::string_view text) {
  const std::string digits = "0." + std::string(text.substr(0, 3));
  double v = kNaN;
  const auto r = std::from_chars(digits.data(), digits.data() + digits.size(), v);
  if (r.ec != std::errc() || r.ptr != digits.data() + digits.size()) return kNaN;
  return v * 1000;
}

// An offset in minutes from "±hh:mm", "±hhmm" or "±hh" (after "GMT" for "z").
double read_zone(std::string_view text, const ZoneReader& z) {
  std::u32string t = to_chars(text);
  if (z.gmt) t.erase(0, std::min<std::size_t>(3, t.size()));
  double hours = 0, minutes = 0;
  const std::size_t sep = z.separator ? t.find(*z.separator) : std::u32string::npos;
  if (sep != std::u32string::npos) {
    hours = js_parse_int(to_utf8(t.substr(0, sep)));
    minutes = js_parse_int(to_utf8(t.substr(sep + 1)));
  } else if (t.size() <= 3) {
    hours = js_parse_int(to_utf8(t));
  } else {
    hours = js_parse_int(to_utf8(t.substr(0, 3)));
    minutes = js_parse_int(to_utf8(t.substr(3)));
  }
  return !t.empty() && t.front() == U'-' ? hours * 60 - minutes : hours * 60 + minutes;
}

double read(const Reader& reader, std::string_view text) {
  return std::visit(
      [&](const auto& r) -> double {
        using R = std::decay_t<decltype(r)>;
        if constexpr (std::is_same_v<R, IntegerReader>) {
          return r(text);
        } else if constexpr (std::is_same_v<R, FractionReader>) {
          return read_fraction(text);
        } else if constexpr (std::is_same_v<R, ZoneReader>) {
          return read_zone(text, r);
        } else {
          // The pattern matches names in any case, and so does the reader.
          auto same = [&](std::string_view name) {
            return std::ranges::equal(name, text, [](char a, char b) { return (a | 0x20) == (b | 0x20); });
          };
          for (const auto& [name, value] : r.names)
            if (same(name)) return value;
          return kNaN;
        }
      },
      reader);
}

NameReader names(std::span<const std::string_view> table, double first, const std::optional<Width>& width) {
  NameReader r;
  for (std::size_t i = 0; i < table.size(); ++i) {
    std::string name(table[i]);
    if (width && width->max && *width->max < name.size()) name.resize(static_cast<std::size_t>(*width->max));
    r.names.emplace_back(std::move(name), first + static_cast<double>(i));
  }
  return r;
}

constexpr std::string_view kMonths[] = {"January",   "February", "March",    "April",
                                        "May",       "June",     "July",     "August",
                                        "September", "October",  "November", "December"};
constexpr std::string_view kDays[] = {"Monday", "Tuesday",  "Wednesday", "Thursday",
                                      "Friday", "Saturday", "Sunday"};

Result<Capture> marker_capture(const Marker& m, std::string& pattern) {
  Capture c{m.component, std::nullopt};
  if (m.component == U'f') {
    pattern += "([0-9]+)";
    c.reader = FractionReader{};
  } else if (m.component == U'Z' || m.component == U'z') {
    ZoneReader z{m.component == U'z', std::nullopt};
    pattern += z.gmt ? "(GMT[-+][0-9]+" : "([-+][0-9]+";
    if (m.format && m.format->regular) {
      z.separator = m.format->separators.front().character;
      pattern += escape_regex(to_utf8(std::u32string(1, *z.separator)));
      pattern += "[0-9]+";
    }
    pattern += ')';
    c.reader = z;
  } else if (m.format) {
    ZR_TRY(IntegerMatcher matcher, integer_matcher(*m.format));
    pattern += '(';
    pattern += matcher.fragment;
    pattern += ')';
    c.reader = std::move(matcher.reader);
  } else if (m.component == U'P') {
    pattern += "([a-zA-Z]+)";
    c.reader = NameReader{{{"am", 0}, {"pm", 1}}};
  } else if (m.component == U'M' || m.component == U'x') {
    pattern += "([a-zA-Z]+)";
    c.reader = names(kMonths, 1, m.width);
  } else if (m.component == U'F') {
    pattern += "([a-zA-Z]+)";
    c.reader = names(kDays, 1, m.width);
  } else {
    return fail(error::Error("D3133").with("value", to_utf8(std::u32string(1, m.component))));
  }
  return c;
}

Result<Plan> make_plan(const std::vector<Part>& parts) {
  Plan plan;
  plan.pattern = "^";
  for (const Part& part : parts) {
    if (const auto* literal = std::get_if<std::string>(&part)) {
      plan.pattern += '(';
      plan.pattern += escape_regex(*literal);
      plan.pattern += ')';
      plan.captures.push_back({});
      continue;
    }
    ZR_TRY(Capture c, marker_capture(std::get<Marker>(part), plan.pattern));
    plan.captures.push_back(std::move(c));
  }
  plan.pattern += '$';
  return plan;
}

error::Error missing_components() {
  return error::Error("D3136");
}

// Combines the components read (and filled in) into milliseconds. A year written with at most two digits
// (or in words or letters) stands for 1900 to 1999; one of three or more digits, and the current year, are
// taken as they stand.
Result<double> combine(std::array<std::optional<double>, 128>& values, double now, bool short_year) {
  auto has = [&](char c) {
    const auto& v = values[static_cast<unsigned char>(c)];
    return v && *v != 0 && !std::isnan(*v);
  };
  auto mask = [&](std::string_view letters) {
    unsigned bits = 0;
    for (char c : letters) bits = (bits << 1) | (has(c) ? 1 : 0);
    return bits;
  };
  // Bits in the order of "YXMxWwdD" and of "PHhmsf".
  enum : unsigned { Y = 128, X = 64, M = 32, x = 16, W = 8, w = 4, d = 2 };
  enum : unsigned { P = 32, h = 8, m = 4, s = 2, f = 1 };
  const unsigned dates = mask("YXMxWwdD");
  const unsigned times = mask("PHhmsf");
  std::string_view date_form = "YMD";
  if (dates != 0 && (dates & ~(Y | d)) == 0 && (dates & d) != 0)
    date_form = "Yd";
  else if (dates != 0 && (dates & ~(X | x | w)) == 0)
    date_form = "XxwF";
  else if (dates != 0 && (dates & ~(X | W)) == 0 && (dates & W) != 0)
    date_form = "XWF";
  const bool twelve = times != 0 && (times & ~(P | h | m | s | f)) == 0 && (times & (P | h)) != 0;
  const std::string_view time_form = twelve ? "Phmsf" : "Hmsf";

  // Components before the first one given come from the current time; those after it take the lowest
  // value, and a given component after such a default leaves a gap that nothing can fill.
  const CivilTime current = civil_time(now);
  bool seen = false, defaulted = false;
  for (std::string_view form : {date_form, time_form}) {
    for (char c : form) {
      std::optional<double>& v = values[static_cast<unsigned char>(c)];
      if (v) {
        if (defaulted) return fail(missing_components());
        seen = true;
      } else if (!seen) {
        const FragmentValue now_value = fragment(current, static_cast<char32_t>(c));
        if (const auto* n = std::get_if<double>(&now_value)) v = *n;
      } else {
        v = c == 'M' || c == 'D' || c == 'd' ? 1 : 0;
        defaulted = true;
      }
    }
  }
  if (date_form == "XxwF" || date_form == "XWF") return fail(missing_components());

  auto get = [&](char c) {
    const auto& v = values[static_cast<unsigned char>(c)];
    return v ? *v : 0;
  };
  const auto millis = short_year ? calendar_millis : civil_millis;
  const double year = get('Y');
  double month = get('M') > 0 ? get('M') - 1 : 0;
  double day = get('D');
  if (date_form == "Yd") {
    const double first = millis(year, 0, 1, 0, 0, 0, 0) + (get('d') - 1) * kDay;
    if (std::isnan(first) || std::fabs(first) > kMaxInstant) {
      month = day = kNaN;
    } else {
      const CivilTime date = civil_time(first);
      month = date.month;
      day = date.day;
    }
  }
  double hour = get('H');
  if (twelve) {
    const auto& hv = values[static_cast<unsigned char>('h')];
    hour = !hv || *hv == 12 ? 0 : *hv;
    if (get('P') == 1) hour += 12;
  }
  double ms = millis(year, month, day, hour, get('m'), get('s'), get('f'));
  if (std::fabs(ms) > kMaxInstant) return kNaN;
  const auto& zone = values['Z'] ? values['Z'] : values['z'];
  if (zone && *zone != 0) {
    ms -= *zone * 60000;
    if (std::fabs(ms) > kMaxInstant) return kNaN;
  }
  return ms;
}

bool is_digit(char c) noexcept {
  return c >= '0' && c <= '9';
}
bool in_range(char c, char lo, char hi) noexcept {
  return c >= lo && c <= hi;
}

// The groups of the ISO 8601 pattern
//   ^(\d{4})(?:-([01]\d))?(?:-([0-3]\d))?(?:T([0-2]\d):([0-5]\d):([0-5]\d))?(?:\.(\d+))?
//   (?:([+-])([0-2]\d):?([0-5]\d)|(Z))?$
// found with the same priorities as a backtracking matcher: each optional piece is tried before it is
// skipped. Every piece matches in at most one way at a given place (the fraction's digits can only be
// followed by a zone or the end), so the search tries at most 2^5 combinations.
class IsoMatcher {
 public:
  explicit IsoMatcher(std::string_view text) : t_(text) {}

  bool match() {
    if (t_.size() < 4 || !std::all_of(t_.begin(), t_.begin() + 4, is_digit)) return false;
    set(0, 0, 4);
    return from(0, 4);
  }
  std::optional<std::string_view> group(std::size_t i) const {
    if (!groups_[i].second) return std::nullopt;
    return t_.substr(groups_[i].first, groups_[i].second);
  }

 private:
  using Groups = std::array<std::pair<std::size_t, std::size_t>, 11>;  // start, length (0: absent)

  char at(std::size_t i) const noexcept { return i < t_.size() ? t_[i] : '\0'; }
  void set(std::size_t g, std::size_t start, std::size_t length) { groups_[g] = {start, length}; }

  // The end of piece `stage` matched at `p`, or npos.
  std::size_t piece(int stage, std::size_t p) {
    switch (stage) {
      case 0:  // month
        if (at(p) != '-' || !in_range(at(p + 1), '0', '1') || !is_digit(at(p + 2))) break;
        set(1, p + 1, 2);
        return p + 3;
      case 1:  // day
        if (at(p) != '-' || !in_range(at(p + 1), '0', '3') || !is_digit(at(p + 2))) break;
        set(2, p + 1, 2);
        return p + 3;
      case 2:  // time
        if (at(p) != 'T' || !in_range(at(p + 1), '0', '2') || !is_digit(at(p + 2)) || at(p + 3) != ':' ||
            !in_range(at(p + 4), '0', '5') || !is_digit(at(p + 5)) || at(p + 6) != ':' ||
            !in_range(at(p + 7), '0', '5') || !is_digit(at(p + 8)))
          break;
        set(3, p + 1, 2);
        set(4, p + 4, 2);
        set(5, p + 7, 2);
        return p + 9;
      case 3: {  // fraction
        if (at(p) != '.' || !is_digit(at(p + 1))) break;
        std::size_t e = p + 1;
        while (is_digit(at(e))) ++e;
        set(6, p + 1, e - p - 1);
        return e;
      }
      case 4:  // zone
        if (at(p) == 'Z') {
          set(10, p, 1);
          return p + 1;
        }
        if ((at(p) != '+' && at(p) != '-') || !in_range(at(p + 1), '0', '2') || !is_digit(at(p + 2))) break;
        {
          const std::size_t q = at(p + 3) == ':' ? p + 4 : p + 3;
          if (!in_range(at(q), '0', '5') || !is_digit(at(q + 1))) break;
          set(7, p, 1);
          set(8, p + 1, 2);
          set(9, q, 2);
          return q + 2;
        }
      default:
        break;
    }
    return std::string_view::npos;
  }

  bool from(int stage, std::size_t p) {
    if (stage == 5) return p == t_.size();
    const Groups saved = groups_;
    if (const std::size_t e = piece(stage, p); e != std::string_view::npos && from(stage + 1, e)) return true;
    groups_ = saved;
    return from(stage + 1, p);
  }

  std::string_view t_;
  Groups groups_{};
};

double decimal(std::string_view digits) noexcept {
  std::int64_t v = 0;
  std::from_chars(digits.data(), digits.data() + digits.size(), v);
  return static_cast<double>(v);
}

}  // namespace

std::string escape_regex(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (std::string_view("$()*+.?[\\]^{|}").find(c) != std::string_view::npos) out.push_back('\\');
    out.push_back(c);
  }
  return out;
}

Result<std::string> datetime_pattern(std::string_view picture) {
  ZR_TRY(std::vector<Part> parts, analyse_datetime_picture(picture));
  ZR_TRY(Plan plan, make_plan(parts));
  return std::move(plan.pattern);
}

Result<std::optional<double>> parse_datetime(std::string_view text, std::string_view picture,
                                             eval::Evaluator& ev, double now) {
  ZR_TRY(std::vector<Part> parts, analyse_datetime_picture(picture));
  ZR_TRY(Plan plan, make_plan(parts));
  const regex::Engine& engine = regex::engine();
  auto compiled = engine.compile(plan.pattern, "i");
  if (!compiled) return fail(error::Error("D3136").with_message(std::move(compiled).error()));
  ZR_TRY(std::optional<regex::Match> found, engine.search(compiled->get(), text, 0, ev));
  if (!found) return std::optional<double>();
  std::array<std::optional<double>, 128> values;
  bool any = false, unreadable = false, short_year = false;
  for (std::size_t i = 0; i < plan.captures.size() && i < found->groups.size(); ++i) {
    const Capture& c = plan.captures[i];
    const auto [start, end] = found->groups[i];
    if (!c.reader || start == std::string_view::npos || c.component >= values.size()) continue;
    const std::string_view captured = text.substr(start, end - start);
    const double v = read(*c.reader, captured);
    values[c.component] = v;
    if (c.component == U'Y') short_year = std::ranges::count_if(captured, is_digit) <= 2;
    unreadable = unreadable || std::isnan(v);
    any = true;
  }
  if (!any) return std::optional<double>();
  ZR_TRY(double ms, combine(values, now, short_year));
  // A component that was written but cannot be read (an unknown name, a stray character) leaves the
  // instant unknown, whichever components the date is made from.
  return std::optional<double>(unreadable ? kNaN : ms);
}

Result<double> parse_iso8601(std::string_view text) {
  IsoMatcher m(text);
  if (!m.match()) return fail(error::Error("D3110").with("value", text));
  auto number = [&](std::size_t g, double fallback) {
    const auto s = m.group(g);
    return s ? decimal(*s) : fallback;
  };
  const double year = number(0, 0), month = number(1, 1), day = number(2, 1);
  const double hour = number(3, 0), minute = number(4, 0), second = number(5, 0);
  if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 24)
    return std::numeric_limits<double>::quiet_NaN();
  double fraction = 0;
  if (const auto digits = m.group(6)) {
    std::string ms(digits->substr(0, 3));
    ms.resize(3, '0');
    fraction = decimal(ms);
  }
  const auto days = days_from_civil(saturate_cast<std::int64_t>(year), saturate_cast<std::int64_t>(month),
                                    saturate_cast<std::int64_t>(day));
  double ms = static_cast<double>(days) * kDay + hour * 3600000 + minute * 60000 + second * 1000 + fraction;
  if (const auto sign = m.group(7)) {
    const double offset = (number(8, 0) * 60 + number(9, 0)) * 60000;
    ms += *sign == "+" ? -offset : offset;
  }
  return ms;
}

}  // namespace zarnu_core::datetime
