// The string built-ins that need no pattern. Strings are UTF-8 and every position counts code points, so
// positions become byte offsets by one walk over the text; nothing is decoded into a list.
#include "functions/strings.hpp"

#include <string.h>

#include <cmath>
#include <limits>
#include <string>

#include "eval/eval.hpp"
#include "support/casing.hpp"
#include "support/saturate.hpp"
#include "support/utf.hpp"

namespace zarnu_core::functions::strings {

using value::Items;
using value::Value;

namespace {

Value empty_string() {
  return Value::string(std::string_view());
}

// ---------------------------------------------------------------------------------------------------------
// Positions

// The byte offset `count` code points after byte `from` (the end of the text at most).
std::size_t advance(std::string_view text, std::size_t from, std::size_t count) noexcept {
  std::size_t pos = from;
  for (; count > 0 && pos < text.size(); --count) {
    ++pos;
    while (pos < text.size() && utf::is_continuation(static_cast<unsigned char>(text[pos]))) ++pos;
  }
  return pos;
}

// A code point index from a position: truncated toward zero (NaN as 0), counted from the end when
// negative, clamped to 0..n.
double clamp_index(double x, double n) noexcept {
  x = std::trunc(x);
  if (std::isnan(x)) x = 0;
  return x < 0 ? std::fmax(x + n, 0) : std::fmin(x, n);
}

bool is_space(unsigned char b) noexcept {
  return b == ' ' || b == '\t' || b == '\n' || b == '\r';
}

}  // namespace

Result<Value> substring(eval::Evaluator&, Items args, const Call&) {
  const Value& str = arg_at(args, 0);
  if (!str.is_string()) return Value();
  const std::string_view s = str.as_string();
  const auto n = static_cast<double>(utf::char_count(s));
  const Value& start_arg = arg_at(args, 1);
  double start = start_arg.is_number() ? start_arg.as_number() : std::numeric_limits<double>::quiet_NaN();
  if (start + n < 0) start = 0;
  double from = clamp_index(start, n), to = n;
  if (const Value& length = arg_at(args, 2); length.is_number()) {
    if (length.as_number() <= 0) return empty_string();
    // The end comes from the untruncated start.
    to = clamp_index((start < 0 ? start + n : start) + length.as_number(), n);
  }
  if (from >= to) return empty_string();
  const std::size_t first = advance(s, 0, saturate_cast<std::size_t>(from));
  const std::size_t last = advance(s, first, saturate_cast<std::size_t>(to - from));
  if (first == 0 && last == s.size()) return str;
  return Value::string(s.substr(first, last - first));
}

namespace {

// The part of the first argument before (or after) the first occurrence of the second, found by a
// linear-time byte search; the first argument itself when the second is no string or does not occur.
Value around_first(const Items& args, bool after) {
  const Value& str = arg_at(args, 0);
  if (!str.is_string()) return Value();
  const Value& chars = arg_at(args, 1);
  if (!chars.is_string()) return str;
  const std::string_view s = str.as_string(), c = chars.as_string();
  if (c.empty()) return after ? str : empty_string();
  const void* found = memmem(s.data(), s.size(), c.data(), c.size());
  if (!found) return str;
  const auto at = static_cast<std::size_t>(static_cast<const char*>(found) - s.data());
  return Value::string(after ? s.substr(at + c.size()) : s.substr(0, at));
}

}  // namespace

Result<Value> substring_before(eval::Evaluator&, Items args, const Call&) {
  return around_first(args, false);
}

Result<Value> substring_after(eval::Evaluator&, Items args, const Call&) {
  return around_first(args, true);
}

Result<Value> lowercase(eval::Evaluator&, Items args, const Call&) {
  const Value& str = arg_at(args, 0);
  if (!str.is_string()) return Value();
  return Value::string(casing::to_lower(str.as_string()));
}

Result<Value> uppercase(eval::Evaluator&, Items args, const Call&) {
  const Value& str = arg_at(args, 0);
  if (!str.is_string()) return Value();
  return Value::string(casing::to_upper(str.as_string()));
}

Result<Value> length(eval::Evaluator&, Items args, const Call&) {
  const Value& str = arg_at(args, 0);
  if (!str.is_string()) return Value();
  return Value::number(static_cast<double>(utf::char_count(str.as_string())));
}

Result<Value> trim(eval::Evaluator&, Items args, const Call&) {
  const Value& str = arg_at(args, 0);
  if (!str.is_string()) return Value();
  const std::string_view s = str.as_string();
  // The four whitespace characters are ASCII, so the walk can be over bytes: no byte of a longer UTF-8
  // sequence is below 0x80.
  std::string out;
  out.reserve(s.size());
  bool gap = false;
  for (char ch : s) {
    if (is_space(static_cast<unsigned char>(ch))) {
      gap = true;
      continue;
    }
    if (gap && !out.empty()) out.push_back(' ');
    gap = false;
    out.push_back(ch);
  }
  if (out == s) return str;
  return Value::string(out);
}

Result<Value> pad(eval::Evaluator& ev, Items args, const Call&) {
  const Value& str = arg_at(args, 0);
  if (!str.is_string()) return Value();
  const std::string_view s = str.as_string();
  const Value& char_arg = arg_at(args, 2);
  const std::string_view fill =
      char_arg.is_string() && !char_arg.as_string().empty() ? char_arg.as_string() : std::string_view(" ");
  const Value& width_arg = arg_at(args, 1);
  const double w = width_arg.is_number() ? std::trunc(width_arg.as_number()) : 0;
  const double needed = std::fabs(w) - static_cast<double>(utf::char_count(s));
  // A NaN width asks for nothing.
  if (!(needed > 0)) return str;
  if (needed > 1e7) return fail(error::Error("D2016").with("value", needed));
  const auto count = saturate_cast<std::size_t>(needed);
  // Whole repetitions of the fill text, then the first code points of one more.
  const std::size_t per = utf::char_count(fill);
  const std::size_t whole = count / per;
  const std::size_t rest = advance(fill, 0, count % per);
  const std::size_t total = s.size() + whole * fill.size() + rest;
  if (auto e = ev.check_string(ev.max_string_length(), total)) return fail(std::move(*e));
  std::string out;
  out.reserve(total);
  if (w > 0) out.append(s);
  for (std::size_t i = 0; i < whole; ++i) out.append(fill);
  out.append(fill.substr(0, rest));
  if (w < 0) out.append(s);
  return Value::string(out);
}

Result<Value> join(eval::Evaluator& ev, Items args, const Call&) {
  const Value& strs = arg_at(args, 0);
  if (strs.is_undefined()) return Value();
  const Value& sep_arg = arg_at(args, 1);
  const std::string_view sep = sep_arg.is_string() ? sep_arg.as_string() : std::string_view();
  if (!strs.is_array()) return strs.is_string() ? strs : empty_string();
  const Items& items = strs.as_array().read();
  // The length is known before anything is built, so an oversized join allocates nothing.
  std::size_t total = items.empty() ? 0 : (items.size() - 1) * sep.size();
  for (const Value& item : items)
    if (item.is_string()) total += item.as_string().size();
  if (auto e = ev.check_string(ev.max_string_length(), total)) return fail(std::move(*e));
  std::string out;
  out.reserve(total);
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (i > 0) out.append(sep);
    if (items[i].is_string()) out.append(items[i].as_string());
  }
  return Value::string(out);
}

}  // namespace zarnu_core::functions::strings
