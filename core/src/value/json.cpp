// JSON text of JSON values, ECMAScript number text and JSON string literals.
#include "value/json.hpp"

#include <charconv>
#include <cmath>
#include <cstring>

#include <double-conversion/double-conversion.h>

#include "support/stack.hpp"

namespace zarnu_core::value {

void append_js_number(std::string& out, double x) {
  if (x == 0) {
    out.push_back('0');
    return;
  }
  char buffer[64];
  double_conversion::StringBuilder builder(buffer, sizeof buffer);
  double_conversion::DoubleToStringConverter::EcmaScriptConverter().ToShortest(x, &builder);
  int n = builder.position();
  out.append(builder.Finalize(), static_cast<std::size_t>(n));
}

std::string js_number(double x) {
  std::string out;
  append_js_number(out, x);
  return out;
}

double round15(double x) noexcept {
  // A value whose shortest form has at most 15 significant digits rounds to itself.
  char buf[64];
  auto shortest = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::scientific);
  const char* e =
      static_cast<const char*>(std::memchr(buf, 'e', static_cast<std::size_t>(shortest.ptr - buf)));
  std::size_t digits = 0;
  for (const char* p = buf; p < e; ++p) digits += (*p >= '0' && *p <= '9');
  if (digits <= 15) return x;
  // An exact tie between two 15-digit texts takes the one of larger magnitude, as ECMAScript's
  // toPrecision does (correctly rounded printing would pick the even one).
  double_conversion::StringBuilder builder(buf, sizeof buf);
  double_conversion::DoubleToStringConverter::EcmaScriptConverter().ToPrecision(x, 15, &builder);
  const int n = builder.position();
  double y = x;
  std::from_chars(buf, buf + n, y);
  return y;
}

void write_json_string(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  out.push_back('"');
  const char* p = text.data();
  const char* end = p + text.size();
  const char* run = p;
  for (; p < end; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (c >= 0x20 && c != '"' && c != '\\') [[likely]]
      continue;
    out.append(run, static_cast<std::size_t>(p - run));
    run = p + 1;
    switch (c) {
      case '"':
        out.append("\\\"");
        break;
      case '\\':
        out.append("\\\\");
        break;
      case '\b':
        out.append("\\b");
        break;
      case '\t':
        out.append("\\t");
        break;
      case '\n':
        out.append("\\n");
        break;
      case '\f':
        out.append("\\f");
        break;
      case '\r':
        out.append("\\r");
        break;
      default: {
        char esc[6] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 15]};
        out.append(esc, 6);
      }
    }
  }
  out.append(run, static_cast<std::size_t>(end - run));
  out.push_back('"');
}

json::Json json_number(double x) {
  if (std::fabs(x) < 9007199254740992.0 && x == std::trunc(x)) {
    auto i = static_cast<std::int64_t>(x);
    if (i >= 0) return json::Json(static_cast<std::uint64_t>(i));
    return json::Json(i);
  }
  if (std::isfinite(x)) return json::Json(x);
  return json::Json(nullptr);
}

}  // namespace zarnu_core::value

namespace zarnu_core::json {

namespace {

void line_break(std::string& out, bool pretty, std::size_t depth) {
  if (!pretty) return;
  out.push_back('\n');
  out.append(2 * depth, ' ');
}

}  // namespace

void write(std::string& out, const Json& value, bool pretty, std::size_t depth) {
  switch (value.type()) {
    case Json::value_t::null:
    case Json::value_t::discarded:
      out.append("null");
      return;
    case Json::value_t::boolean:
      out.append(value.get<bool>() ? "true" : "false");
      return;
    case Json::value_t::number_unsigned: {
      char buf[24];
      auto r = std::to_chars(buf, buf + sizeof buf, value.get<std::uint64_t>());
      out.append(buf, r.ptr);
      return;
    }
    case Json::value_t::number_integer: {
      char buf[24];
      auto r = std::to_chars(buf, buf + sizeof buf, value.get<std::int64_t>());
      out.append(buf, r.ptr);
      return;
    }
    case Json::value_t::number_float:
      value::append_js_number(out, value.get<double>());
      return;
    case Json::value_t::string:
      value::write_json_string(out, value.get_ref<const std::string&>());
      return;
    case Json::value_t::binary:
      out.append("null");
      return;
    case Json::value_t::array: {
      if (value.empty()) {
        out.append("[]");
        return;
      }
      out.push_back('[');
      bool first = true;
      for (const Json& item : value) {
        if (!first) out.push_back(',');
        first = false;
        line_break(out, pretty, depth + 1);
        stack::nest(depth + 1, [&] { write(out, item, pretty, depth + 1); });
      }
      line_break(out, pretty, depth);
      out.push_back(']');
      return;
    }
    case Json::value_t::object: {
      if (value.empty()) {
        out.append("{}");
        return;
      }
      out.push_back('{');
      bool first = true;
      for (auto it = value.begin(); it != value.end(); ++it) {
        if (!first) out.push_back(',');
        first = false;
        line_break(out, pretty, depth + 1);
        value::write_json_string(out, it.key());
        out.push_back(':');
        if (pretty) out.push_back(' ');
        stack::nest(depth + 1, [&] { write(out, it.value(), pretty, depth + 1); });
      }
      line_break(out, pretty, depth);
      out.push_back('}');
      return;
    }
  }
}

std::string to_text(const Json& value) {
  std::string out;
  write(out, value, false, 0);
  return out;
}

namespace {

Json copy_at(const Json& value, std::size_t depth) {
  switch (value.type()) {
    case Json::value_t::array: {
      Json out = Json::array();
      out.get_ref<Json::array_t&>().reserve(value.size());
      for (const Json& item : value)
        out.push_back(stack::nest(depth + 1, [&] { return copy_at(item, depth + 1); }));
      return out;
    }
    case Json::value_t::object: {
      Json out = Json::object();
      out.get_ref<Json::object_t&>().reserve(value.size());
      for (auto it = value.begin(); it != value.end(); ++it)
        out.get_ref<Json::object_t&>().emplace_back(
            it.key(), stack::nest(depth + 1, [&] { return copy_at(it.value(), depth + 1); }));
      return out;
    }
    default:
      return value;
  }
}

}  // namespace

Json copy(const Json& value) {
  return copy_at(value, 0);
}

}  // namespace zarnu_core::json
