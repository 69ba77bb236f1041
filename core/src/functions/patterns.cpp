// The pattern built-ins. A string pattern is searched by bytes; a matcher's offsets count UTF-16 code units
// and are mapped onto the UTF-8 text by a slicer that walks it once while the cuts move left to right.
#include "functions/patterns.hpp"

#include <algorithm>
#include <limits>
#include <string>

#include "eval/eval.hpp"
#include "eval/function.hpp"
#include "eval/regex.hpp"
#include "support/saturate.hpp"
#include "support/utf.hpp"
#include "value/limits.hpp"
#include "value/output.hpp"

namespace zarnu_core::functions::strings {

using value::Items;
using value::Value;

namespace {

// The limit argument: none unless it is a number.
std::optional<double> limit_of(const Value& v) noexcept {
  if (!v.is_number()) return std::nullopt;
  return v.as_number();
}

bool reached(const std::optional<double>& limit, std::size_t count) noexcept {
  return limit && static_cast<double>(count) >= *limit;
}

// A number field read as an offset: truncated toward zero, negatives and NaN 0, large values saturating.
std::size_t offset_field(const Value& match, std::string_view key) {
  const Value v = field(match, key);
  return v.is_number() ? saturate_cast<std::size_t>(v.as_number()) : 0;
}

std::size_t add_saturating(std::size_t a, std::size_t b) noexcept {
  return b > std::numeric_limits<std::size_t>::max() - a ? std::numeric_limits<std::size_t>::max() : a + b;
}

// Cuts UTF-8 text by UTF-16 offsets. It remembers the character boundary where the last cut ended, so a
// series of cuts moving left to right walks the text once; a cut that starts further left walks it again.
class Slicer {
 public:
  explicit Slicer(std::string_view text) : text_(text) {}

  void append(std::string& out, std::size_t start, std::size_t end) {
    if (start > end) std::swap(start, end);
    seek(start);
    std::size_t unit = unit_, byte = byte_;
    while (byte < text_.size() && unit < end) {
      const std::size_t len = utf::sequence_length(static_cast<unsigned char>(text_[byte]));
      const std::size_t width = len == 4 ? 2 : 1;
      const bool first = unit >= start;  // the character, or the high half of a pair, lies inside
      const bool second = width == 2 && unit + 1 < end;
      if (first && (width == 1 || second)) {
        out.append(text_.substr(byte, len));
      } else if (first || second) {
        out.append("\xEF\xBF\xBD");  // only one half of the pair lies inside the cut
      }
      if (unit + width <= end) {
        unit_ = unit + width;
        byte_ = byte + len;
      }
      unit += width;
      byte += len;
    }
  }

 private:
  // Moves to the character that holds the code unit `target` (or to the end of the text).
  void seek(std::size_t target) {
    if (target < unit_) unit_ = byte_ = 0;
    while (byte_ < text_.size()) {
      const std::size_t len = utf::sequence_length(static_cast<unsigned char>(text_[byte_]));
      const std::size_t width = len == 4 ? 2 : 1;
      if (unit_ + width > target) break;
      unit_ += width;
      byte_ += len;
    }
  }

  std::string_view text_;
  std::size_t unit_ = 0;  // the UTF-16 offset of the character at byte_
  std::size_t byte_ = 0;
};

// $split's result is an ordinary array: a single piece stays wrapped.
Value plain_array(Items items) {
  return Value::array_with(std::move(items), 0);
}

constexpr std::size_t kToEnd = std::numeric_limits<std::size_t>::max();

Result<Value> check_length(eval::Evaluator& ev, const std::string& out) {
  if (auto e = ev.check_string(ev.max_string_length(), out.size())) return fail(std::move(*e));
  return Value();
}

// An array being built item by item fails as soon as it passes the array limit (a single item may still
// become a plain value).
Result<Value> check_items(eval::Evaluator& ev, const Items& items) {
  if (items.size() > 1) ZR_TRY(ev.check_items(items.size()));
  return Value();
}

// A regular expression of the built-in engine, whose matches the built-ins can read without applying
// it and its "next" functions one by one (same matches, same errors, no match objects); null for any
// other matcher, and when applying one more function would pass the depth limit (the general road
// reports that).
const value::Rc<regex::Regex>* builtin_pattern(eval::Evaluator& ev, const Value& v) {
  if (!v.is_function() || ev.depth() + 1 > ev.limits().max_depth) return nullptr;
  const auto* m = v.as_function().as<value::MatcherFn>();
  return m && m->regex->compiled ? &m->regex : nullptr;
}

// The groups of the current match as the language's array (undefined for a group that took no part).
Value groups_of(const regex::Matches& m) {
  Items groups;
  groups.reserve(m.captures().size());
  for (const auto& c : m.captures())
    groups.push_back(c ? Value::string(m.text().substr(c->first, c->second - c->first)) : Value());
  return Value::array_with(std::move(groups), 0);
}

// Appends a replacement text with its "$" references resolved: "$$" a dollar, "$0" the match, "$n" the
// group n (the longest number that names a group, nothing for a group that took no part), and a "$"
// before anything else itself. `group(n)` gives group n (from 1) or nothing.
template <class Group>
void substitute_into(std::string& out, std::string_view replacement, std::string_view matched,
                     std::size_t count, Group group) {
  std::size_t max_digits = 1;
  for (std::size_t g = count; g >= 10; g /= 10) ++max_digits;
  std::size_t pos = 0;
  while (pos < replacement.size()) {
    const std::size_t dollar = replacement.find('$', pos);
    if (dollar == std::string_view::npos) {
      out.append(replacement.substr(pos));
      break;
    }
    out.append(replacement.substr(pos, dollar - pos));
    pos = dollar + 1;
    if (pos == replacement.size()) {
      out.push_back('$');
      break;
    }
    if (replacement[pos] == '$') {
      out.push_back('$');
      ++pos;
      continue;
    }
    if (replacement[pos] == '0') {
      out.append(matched);
      ++pos;
      continue;
    }
    auto n = read_digits(replacement, pos, max_digits);
    if (n && max_digits >= 2 && *n > count) n = read_digits(replacement, pos, max_digits - 1);
    if (!n) {
      out.push_back('$');
      continue;
    }
    if (*n >= 1 && *n <= count) {
      if (const std::optional<std::string_view> g = group(*n)) out.append(*g);
    }
    for (std::size_t k = *n; k > 0; k /= 10) ++pos;
  }
}

// ---------------------------------------------------------------------------------------------------------
// $replace

Result<Value> replace_string(eval::Evaluator& ev, std::string_view str, std::string_view pattern,
                             const Value& replacement, std::optional<double> limit) {
  // A function replacement only has meaning for a matcher: here occurrences are removed.
  const std::string_view text = replacement.is_string() ? replacement.as_string() : std::string_view();
  std::string out;
  std::size_t pos = 0, count = 0;
  while (!reached(limit, count)) {
    ZR_TRY(ev.step());
    const std::size_t at = str.find(pattern, pos);
    if (at == std::string_view::npos) break;
    out.append(str.substr(pos, at - pos)).append(text);
    ZR_TRY(check_length(ev, out));
    pos = at + pattern.size();
    ++count;
  }
  out.append(str.substr(pos));
  return Value::string(out);
}

Result<Value> replace_pattern(eval::Evaluator& ev, const Value& str, const value::Rc<regex::Regex>& re,
                              std::string_view replacement, std::optional<double> limit) {
  const std::string_view text = str.as_string();
  regex::Matches m(ev, re, text);
  ZR_TRY(bool found, m.next());
  if (!found) return str;
  std::string out;
  std::size_t prev = 0, count = 0;
  do {
    out.append(text.substr(prev, m.start() - prev));
    const auto& captures = m.captures();
    substitute_into(out, replacement, text.substr(m.start(), m.end() - m.start()), captures.size(),
                    [&](std::size_t n) -> std::optional<std::string_view> {
                      const auto& c = captures[n - 1];
                      if (!c) return std::nullopt;
                      return text.substr(c->first, c->second - c->first);
                    });
    ZR_TRY(check_length(ev, out));
    ++count;
    prev = m.end();
    ZR_TRY(found, m.next());
  } while (found && !reached(limit, count));
  out.append(text.substr(prev));
  return Value::string(out);
}

Result<Value> replace_matcher(eval::Evaluator& ev, const Value& str, const Value& pattern,
                              const Value& replacement, std::optional<double> limit, const Call& call) {
  if (const auto* re = builtin_pattern(ev, pattern); re && replacement.is_string())
    return replace_pattern(ev, str, *re, replacement.as_string(), limit);
  ZR_TRY(Value r, evaluate_matcher(ev, pattern, str, call));
  if (r.is_undefined()) return str;
  const std::string_view text = str.as_string();
  Slicer slicer(text);
  std::string out;
  std::size_t prev = 0, count = 0;
  do {
    const std::size_t start = offset_field(r, "start");
    slicer.append(out, prev, start);
    if (replacement.is_string()) {
      out.append(substitute(replacement.as_string(), r));
    } else {
      Items args;
      args.push_back(r);
      ZR_TRY(Value inserted, ev.callback(replacement, std::move(args), call.frame));
      if (!inserted.is_string()) return fail(eval::with_value(error::Error("D3012"), inserted));
      out.append(inserted.as_string());
    }
    ZR_TRY(check_length(ev, out));
    const Value matched = field(r, "match");
    const std::size_t len = matched.is_string() ? utf::utf16_length(matched.as_string()) : 0;
    ++count;
    ZR_TRY(r, evaluate_matcher(ev, field(r, "next"), Value(), call));
    prev = add_saturating(start, len);
  } while (!r.is_undefined() && !reached(limit, count));
  slicer.append(out, prev, kToEnd);
  return Value::string(out);
}

// ---------------------------------------------------------------------------------------------------------
// $split

Result<Items> split_string(eval::Evaluator& ev, std::string_view str, std::string_view sep,
                           std::size_t keep) {
  Items pieces;
  if (sep.empty()) {
    for (std::size_t i = 0; i < str.size() && pieces.size() < keep;) {
      ZR_TRY(ev.step());
      const std::size_t len = utf::sequence_length(static_cast<unsigned char>(str[i]));
      pieces.push_back(Value::string(str.substr(i, len)));
      i += len;
    }
    return pieces;
  }
  std::size_t pos = 0;
  while (pieces.size() < keep) {
    ZR_TRY(ev.step());
    const std::size_t at = str.find(sep, pos);
    if (at == std::string_view::npos) {
      pieces.push_back(Value::string(str.substr(pos)));
      break;
    }
    pieces.push_back(Value::string(str.substr(pos, at - pos)));
    pos = at + sep.size();
  }
  return pieces;
}

Result<Value> split_pattern(eval::Evaluator& ev, const Value& str, const value::Rc<regex::Regex>& re,
                            std::optional<double> limit) {
  const std::string_view text = str.as_string();
  regex::Matches m(ev, re, text);
  ZR_TRY(bool found, m.next());
  Items pieces;
  if (!found) {
    pieces.push_back(str);
    return plain_array(std::move(pieces));
  }
  std::size_t prev = 0;
  while (!reached(limit, pieces.size())) {
    pieces.push_back(Value::string(text.substr(prev, m.start() - prev)));
    ZR_TRY(check_items(ev, pieces));
    prev = m.end();
    ZR_TRY(found, m.next());
    if (!found) {
      if (!reached(limit, pieces.size())) pieces.push_back(Value::string(text.substr(prev)));
      break;
    }
  }
  return plain_array(std::move(pieces));
}

Result<Value> split_matcher(eval::Evaluator& ev, const Value& str, const Value& sep,
                            std::optional<double> limit, const Call& call) {
  if (const auto* re = builtin_pattern(ev, sep)) return split_pattern(ev, str, *re, limit);
  ZR_TRY(Value r, evaluate_matcher(ev, sep, str, call));
  Items pieces;
  if (r.is_undefined()) {
    pieces.push_back(str);
    return plain_array(std::move(pieces));
  }
  Slicer slicer(str.as_string());
  std::size_t prev = 0;
  std::string piece;
  while (!reached(limit, pieces.size())) {
    piece.clear();
    slicer.append(piece, prev, offset_field(r, "start"));
    pieces.push_back(Value::string(piece));
    ZR_TRY(check_items(ev, pieces));
    const std::size_t end = offset_field(r, "end");
    ZR_TRY(r, evaluate_matcher(ev, field(r, "next"), Value(), call));
    prev = end;
    if (r.is_undefined()) {
      if (!reached(limit, pieces.size())) {
        piece.clear();
        slicer.append(piece, prev, kToEnd);
        pieces.push_back(Value::string(piece));
      }
      break;
    }
  }
  return plain_array(std::move(pieces));
}

// ---------------------------------------------------------------------------------------------------------
// $match

Value match_object(eval::Evaluator& ev, const Value& r) {
  Value out = Value::object(3);
  auto fields = out.as_object().borrow_mut();
  fields->insert_or_assign(ev.key("match"), field(r, "match"));
  fields->insert_or_assign(ev.key("index"), field(r, "start"));
  fields->insert_or_assign(ev.key("groups"), field(r, "groups"));
  return out;
}

}  // namespace

// ---------------------------------------------------------------------------------------------------------
// The matcher protocol

Result<Value> evaluate_matcher(eval::Evaluator& ev, const Value& matcher, Value arg, const Call& call) {
  Items args;
  args.push_back(std::move(arg));
  ZR_TRY(Value r, ev.callback(matcher, std::move(args), call.frame));
  if (r.is_undefined()) return r;
  if (r.is_object()) {
    if (field(r, "start").is_number() || field(r, "groups").is_array() || field(r, "next").is_function())
      return r;
  }
  return fail(error::Error("T1010"));
}

Value field(const Value& v, std::string_view key) {
  if (!v.is_object()) return Value();
  auto fields = v.as_object().borrow();
  auto it = fields->find(key);
  return it == fields->end() ? Value() : it->second;
}

std::string utf16_substring(std::string_view text, std::size_t start, std::optional<std::size_t> end) {
  std::string out;
  Slicer(text).append(out, start, end.value_or(kToEnd));
  return out;
}

std::optional<std::size_t> read_digits(std::string_view text, std::size_t pos, std::size_t max_digits) {
  std::size_t n = 0, taken = 0;
  for (; taken < max_digits && pos + taken < text.size(); ++taken) {
    const char c = text[pos + taken];
    if (c < '0' || c > '9') break;
    const auto digit = static_cast<std::size_t>(c - '0');
    if (n > (std::numeric_limits<std::size_t>::max() - digit) / 10) return std::nullopt;
    n = n * 10 + digit;
  }
  if (taken == 0) return std::nullopt;
  return n;
}

std::string substitute(std::string_view replacement, const Value& match) {
  const Value groups = field(match, "groups");
  const Items* items = groups.is_array() ? &groups.as_array().read() : nullptr;
  const Value matched = field(match, "match");
  std::string out;
  substitute_into(out, replacement, matched.is_string() ? matched.as_string() : std::string_view(),
                  items ? items->size() : 0, [&](std::size_t n) -> std::optional<std::string_view> {
                    const Value& g = (*items)[n - 1];
                    if (!g.is_string()) return std::nullopt;
                    return g.as_string();
                  });
  return out;
}

// ---------------------------------------------------------------------------------------------------------
// The built-ins

Result<Value> match_(eval::Evaluator& ev, Items args, const Call& call) {
  const Value& str = arg_at(args, 0);
  if (!str.is_string()) return Value();
  const std::optional<double> limit = limit_of(arg_at(args, 2));
  if (limit && *limit < 0) return fail(error::Error("D3040").with("value", *limit).with("index", 3));
  Items out;
  if (limit && *limit == 0) return Value::sequence(std::move(out));
  if (const auto* re = builtin_pattern(ev, arg_at(args, 1))) {
    regex::Matches m(ev, *re, str.as_string());
    // Every match object is a copy of one with the three keys in place, whose values are then set:
    // no key lookups per match. Without groups every object shares one empty groups array.
    const Value no_groups = (*re)->compiled->group_count() == 0 ? Value::array_with({}, 0) : Value();
    value::Fields shape(3);
    for (const char* key : {"match", "index", "groups"}) shape.try_emplace(ev.key(key), Value());
    ZR_TRY(bool found, m.next());
    for (std::size_t count = 0; found && !reached(limit, count); ++count) {
      Value object = Value::object(0);
      value::Fields& fields = object.as_object().fields;
      fields = shape;
      auto it = fields.begin();
      it.value() = Value::string(m.text().substr(m.start(), m.end() - m.start()));
      (++it).value() = Value::number(static_cast<double>(m.start_units()));
      (++it).value() = no_groups.is_undefined() ? groups_of(m) : no_groups;
      out.push_back(std::move(object));
      ZR_TRY(check_items(ev, out));
      if (count == 256 && m.end() > 0) {
        // Room for as many matches as the rest of the text holds at the rate seen so far, instead of
        // growing step by step through a long walk.
        const std::size_t expected = saturate_cast<std::size_t>(
            static_cast<double>(count) * static_cast<double>(m.text().size()) / static_cast<double>(m.end()));
        out.reserve(std::min({expected + expected / 8, m.text().size() + 1, ev.max_array_length() + 1,
                              limit ? saturate_cast<std::size_t>(*limit) : m.text().size() + 1}));
      }
      ZR_TRY(found, m.next());
    }
    return Value::sequence(std::move(out));
  }
  ZR_TRY(Value r, evaluate_matcher(ev, arg_at(args, 1), str, call));
  for (std::size_t count = 0; !r.is_undefined() && !reached(limit, count); ++count) {
    out.push_back(match_object(ev, r));
    ZR_TRY(check_items(ev, out));
    ZR_TRY(r, evaluate_matcher(ev, field(r, "next"), Value(), call));
  }
  return Value::sequence(std::move(out));
}

Result<Value> contains(eval::Evaluator& ev, Items args, const Call& call) {
  const Value& str = arg_at(args, 0);
  const Value& token = arg_at(args, 1);
  if (!str.is_string() || token.is_undefined()) return Value();
  if (token.is_string())
    return Value::boolean(str.as_string().find(token.as_string()) != std::string_view::npos);
  if (const auto* re = builtin_pattern(ev, token)) {
    regex::Matches m(ev, *re, str.as_string());
    ZR_TRY(const bool found, m.next());
    return Value::boolean(found);
  }
  ZR_TRY(Value r, evaluate_matcher(ev, token, str, call));
  return Value::boolean(!r.is_undefined());
}

Result<Value> replace(eval::Evaluator& ev, Items args, const Call& call) {
  const Value& str = arg_at(args, 0);
  const Value& pattern = arg_at(args, 1);
  if (!str.is_string()) return Value();
  if (pattern.is_string() && pattern.as_string().empty())
    return fail(error::Error("D3010").with("value", "").with("index", 2));
  const std::optional<double> limit = limit_of(arg_at(args, 3));
  if (limit && *limit < 0) return fail(error::Error("D3011").with("value", *limit).with("index", 4));
  if (pattern.is_undefined()) return Value();
  if (limit && *limit == 0) return str;
  if (pattern.is_string())
    return replace_string(ev, str.as_string(), pattern.as_string(), arg_at(args, 2), limit);
  return replace_matcher(ev, str, pattern, arg_at(args, 2), limit, call);
}

Result<Value> split(eval::Evaluator& ev, Items args, const Call& call) {
  const Value& str = arg_at(args, 0);
  const Value& sep = arg_at(args, 1);
  if (!str.is_string()) return Value();
  const std::optional<double> limit = limit_of(arg_at(args, 2));
  if (limit && *limit < 0) return fail(error::Error("D3020").with("value", *limit).with("index", 3));
  if (sep.is_undefined()) return Value();
  if (limit && *limit == 0) return plain_array({});
  if (sep.is_string()) {
    // One piece past the size limit is enough to fail with it, and spares building the rest.
    const std::size_t keep = std::min(limit ? saturate_cast<std::size_t>(*limit) : kToEnd,
                                      add_saturating(ev.max_array_length(), 1));
    ZR_TRY(Items pieces, split_string(ev, str.as_string(), sep.as_string(), keep));
    return plain_array(std::move(pieces));
  }
  return split_matcher(ev, str, sep, limit, call);
}

}  // namespace zarnu_core::functions::strings
