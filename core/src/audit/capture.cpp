// Bounded snapshots of values for the audit.
#include "audit/capture.hpp"

#include <algorithm>

#include "lazy.hpp"
#include "limits.hpp"
#include "stack.hpp"
#include "utf.hpp"

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

}  // namespace zarnu_core::audit
