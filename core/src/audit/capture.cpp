// Bounded snapshots of values and one-line source excerpts for the audit.
#include "audit/capture.hpp"

#include "value/value_view.hpp"

#include <algorithm>

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

std::optional<json::Json> capture(const value::Value& v, const Limits& limits, std::size_t depth) {
  using value::Tag;
  switch (v.tag()) {
    case Tag::Undefined:
      return std::nullopt;
    case Tag::Null:
      return json::Json(nullptr);
    case Tag::Bool:
      return json::Json(v.as_boolean());
    case Tag::Number:
      return value::json_number(v.as_number());
    case Tag::String: {
      std::string_view s = v.as_string();
      if (utf::char_count(s) <= limits.max_string) return json::Json(std::string(s));
      std::string cut(first_chars(s, limits.max_string));
      cut.append(kEllipsis);
      return json::Json(std::move(cut));
    }
    case Tag::Function:
      return json::Json("<function>");
    case Tag::Array:
    case Tag::Object:
      break;
  }
  if (depth >= limits.max_depth || depth >= zarnu_core::kNestingLimit)
    return json::Json(std::string(kEllipsis));
  value::Value keep = v;
  const std::uint64_t max = limits.max_items;
  if (keep.is_array()) {
    const value::Items& items = keep.as_array().read();
    json::Json out = json::Json::array();
    for (std::size_t i = 0; i < items.size() && i < max; ++i) {
      auto one = stack::nest(depth + 1, [&] { return capture(items[i], limits, depth + 1); });
      out.push_back(one ? std::move(*one) : json::Json(nullptr));
    }
    if (items.size() > max)
      out.push_back(std::string(kEllipsis) + " " + std::to_string(items.size() - max) + " more");
    return out;
  }
  value::FieldsRef fields = keep.as_object().borrow();
  json::Json out = json::Json::object();
  auto& members = out.get_ref<json::Json::object_t&>();
  // Room up front: a growing member vector copies its members (their keys are const), deeply.
  members.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(fields->size(), max)) + 1);
  std::size_t seen = 0;
  for (const auto& [key, member] : *fields) {
    if (seen++ >= max) break;
    auto one = stack::nest(depth + 1, [&] { return capture(member, limits, depth + 1); });
    if (one) members.emplace_back(std::string(key.view()), std::move(*one));
  }
  if (fields->size() > max)
    members.emplace_back(std::string(kEllipsis), std::to_string(fields->size() - max) + " more");
  return out;
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
