// Bounded snapshots of values and one-line source excerpts for the audit.
#include "audit/capture.hpp"

#include "value/value_view.hpp"

#include <algorithm>
#include <vector>

#include "support/stack.hpp"
#include "support/utf.hpp"
#include "value/lazy.hpp"
#include "value/limits.hpp"

namespace zarnu_core::audit {

namespace {

constexpr std::string_view kEllipsis = "\u2026";

// The first `n` characters of UTF-8 text.
std::string_view first_chars(std::string_view text, std::uint64_t n) {
  std::size_t pos = 0;
  for (std::uint64_t k = 0; k < n && pos < text.size(); ++k)
    pos += utf::sequence_length(static_cast<unsigned char>(text[pos]));
  return text.substr(0, std::min(pos, text.size()));
}

// The characters with the Unicode property White_Space.
bool is_white_space(char32_t c) noexcept {
  if (c < 0x80) return (c >= 0x09 && c <= 0x0D) || c == 0x20;
  return c == 0x85 || c == 0xA0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x2028 ||
         c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

bool on_boundary(std::string_view text, std::size_t at) noexcept {
  return at == text.size() || !utf::is_continuation(static_cast<unsigned char>(text[at]));
}

}  // namespace

namespace {

// Whether a snapshot is the value it was taken of.
bool same(const value::Value& snapshot, const value::Value& v) noexcept {
  return snapshot.tag() == v.tag() && (!v.is_shared() || snapshot.same_payload(v));
}

std::string more(std::uint64_t left) {
  return std::to_string(left) + " more";
}

}  // namespace

Unchanging objects_of(const value::Value& value) {
  Unchanging out;
  // (The value holds what the walk meets.)
  std::vector<const value::Value*> pending{&value};
  while (!pending.empty()) {
    const value::Value& v = *pending.back();
    pending.pop_back();
    auto more = [&](const value::Value& child) {
      if (child.is_array() || (child.is_object() && !out.contains(&child.as_object())))
        pending.push_back(&child);
    };
    if (v.is_array()) {
      for (const value::Value& item : v.as_array().read()) more(item);
    } else if (v.is_object() && out.insert(&v.as_object()).second) {
      value::FieldsRef fields = v.as_object().borrow();
      for (const auto& entry : *fields) more(entry.second);
    }
  }
  return out;
}

value::Value snapshot(const value::Value& v, const Limits& limits, std::size_t depth,
                      const Unchanging* unchanging) {
  using value::Tag;
  using value::Value;
  switch (v.tag()) {
    case Tag::Undefined:
    case Tag::Null:
    case Tag::Bool:
    case Tag::Number:
      return v;
    case Tag::String: {
      std::string_view s = v.as_string();
      if (s.size() <= limits.max_string || utf::char_count(s) <= limits.max_string) return v;
      std::string cut(first_chars(s, limits.max_string));
      cut.append(kEllipsis);
      return Value::string(cut);
    }
    case Tag::Function:
      return Value::string("<function>");
    case Tag::Array:
    case Tag::Object:
      break;
  }
  if (depth >= limits.max_depth || depth >= zarnu_core::kNestingLimit) return Value::string(kEllipsis);
  Value keep = v;
  const std::uint64_t max = limits.max_items;
  auto item = [&](const Value& one) {
    return stack::nest(depth + 1, [&] { return snapshot(one, limits, depth + 1, unchanging); });
  };
  if (keep.is_array()) {
    const value::Items& items = keep.as_array().read();
    const bool cut = items.size() > max;
    const std::size_t kept = cut ? static_cast<std::size_t>(max) : items.size();
    // An array is not changed once made (a builder takes over the items of one only when nothing else
    // holds it), so one whose items are all kept as they are is shared. Otherwise a new one is made once
    // an item differs from its snapshot (or the array is cut), with the items before it as they are.
    std::optional<value::Items> out;
    if (cut) out.emplace().reserve(kept + 1);
    for (std::size_t i = 0; i < kept; ++i) {
      Value one = item(items[i]);
      if (one.is_undefined()) one = Value::null();
      if (!out) {
        if (same(one, items[i])) continue;
        out.emplace(items.begin(), items.begin() + static_cast<std::ptrdiff_t>(i));
      }
      out->push_back(std::move(one));
    }
    if (!out) return keep;
    if (cut) out->push_back(Value::string(std::string(kEllipsis) + " " + more(items.size() - max)));
    return Value::array_with(std::move(*out), 0);
  }
  // An object that may still change is copied (its keys, strings and arrays shared); an unchanging one is
  // shared as arrays are.
  value::FieldsRef fields = keep.as_object().borrow();
  const bool cut = fields->size() > max;
  std::optional<Value> out;
  auto start = [&](std::size_t before) {
    out.emplace(Value::object(static_cast<std::size_t>(std::min<std::uint64_t>(fields->size(), max)) + 1));
    value::FieldsMut into = out->as_object().borrow_mut();
    std::size_t k = 0;
    for (auto it = fields->begin(); k < before; ++it, ++k) into->append_new(it->first, it->second);
  };
  if (cut || !unchanging || !unchanging->contains(&keep.as_object())) start(0);
  std::size_t seen = 0;
  for (const auto& [key, member] : *fields) {
    if (seen >= max) break;
    Value one = item(member);
    // (An undefined member is left out, but counts.)
    if (!out && same(one, member) && !one.is_undefined()) {
      ++seen;
      continue;
    }
    if (!out) start(seen);
    ++seen;
    if (!one.is_undefined()) out->as_object().borrow_mut()->append_new(key, std::move(one));
  }
  if (!out) return keep;
  // An entry of the object may have that key already: it then takes the count in its place, as a key
  // added twice does.
  if (cut)
    out->as_object().borrow_mut()->insert_or_assign(value::Str::make(kEllipsis),
                                                    Value::string(more(fields->size() - max)));
  return std::move(*out);
}

std::optional<json::Json> snapshot_json(const value::Value& snapshot) {
  // Most captures are scalars (operands, outputs of steps): made here, without the budgeted walk.
  switch (snapshot.tag()) {
    case value::Tag::Undefined:
      return std::nullopt;
    case value::Tag::Null:
      return json::Json(nullptr);
    case value::Tag::Bool:
      return json::Json(snapshot.as_boolean());
    case value::Tag::Number:
      return value::json_number(snapshot.as_number());
    case value::Tag::String:
      return json::Json(std::string(snapshot.as_string()));
    default:
      return value::Inspect(snapshot).to_json();
  }
}

std::optional<json::Json> capture(const value::Value& v, const Limits& limits, std::size_t depth) {
  return snapshot_json(snapshot(v, limits, depth));
}

std::string snippet(std::string_view source, std::size_t start, std::size_t end, std::uint64_t max_source) {
  if (end > source.size() || start > end || !on_boundary(source, start) || !on_boundary(source, end))
    return {};
  const std::string_view text = source.substr(start, end - start);
  // One pass that removes comments, folds white space and stops at the first character past the cut,
  // so a long span costs no more than the characters kept. A "/*" is a comment opener wherever it
  // stands, string literals included: the excerpt is for reading, not for parsing.
  std::string out;
  std::uint64_t chars = 0;
  bool gap = false;
  std::size_t pos = 0;
  while (pos < text.size()) {
    if (text[pos] == '/' && pos + 1 < text.size() && text[pos + 1] == '*') {
      const std::size_t close = text.find("*/", pos + 2);
      if (close == std::string_view::npos) break;
      pos = close + 2;
      continue;
    }
    const std::size_t at = pos;
    const char32_t c = utf::decode(text, pos);
    pos = std::min(pos, text.size());
    if (is_white_space(c)) {
      gap = true;
      continue;
    }
    if (gap && !out.empty()) {
      if (chars == max_source) return out.append(kEllipsis);
      out.push_back(' ');
      ++chars;
    }
    gap = false;
    if (chars == max_source) return out.append(kEllipsis);
    out.append(text.substr(at, pos - at));
    ++chars;
  }
  return out;
}

}  // namespace zarnu_core::audit

namespace zarnu_core::value {

std::optional<json::Json> Inspect::capture(const audit::Limits& limits) const {
  return audit::capture(*value_, limits, 0);
}

}  // namespace zarnu_core::value
