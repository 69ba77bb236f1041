// The JSON text of a value.
#include "value/stringify.hpp"

#include <cmath>

#include "support/stack.hpp"
#include "value/json.hpp"
#include "value/lazy.hpp"
#include "value/limits.hpp"

namespace zarnu_core::value {

namespace {

void line_break(std::string& out, bool pretty, std::size_t depth) {
  if (!pretty) return;
  out.push_back('\n');
  out.append(2 * depth, ' ');
}

Status write_child(std::string& out, const Value& v, bool pretty, std::size_t depth, std::size_t limit,
                   const Step* step) {
  if (step) ZR_TRY((*step)());
  return stack::nest(depth, [&] { return write_json(out, v, pretty, depth, limit, step); });
}

}  // namespace

Status write_json(std::string& out, const Value& value, bool pretty, std::size_t depth, std::size_t limit,
                  const Step* step) {
  switch (value.tag()) {
    case Tag::Undefined:
    case Tag::Null:
      out.append("null");
      break;
    case Tag::Bool:
      out.append(value.as_boolean() ? "true" : "false");
      break;
    case Tag::Number: {
      double x = value.as_number();
      if (std::isnan(x)) {
        out.append("null");
      } else if (std::isinf(x)) {
        return fail(error::Error("D1001").with("value", json::Json(nullptr)));
      } else {
        append_js_number(out, x == std::trunc(x) ? x : round15(x));
      }
      break;
    }
    case Tag::String:
      write_json_string(out, value.as_string());
      break;
    case Tag::Function:
      out.append("\"\"");
      break;
    case Tag::Array: {
      if (depth >= kNestingLimit) return fail(nested_too_deep());
      Value keep = value;
      const Items& items = keep.as_array().read();
      if (items.empty()) {
        out.append("[]");
        return {};
      }
      out.push_back('[');
      for (std::size_t i = 0; i < items.size(); ++i) {
        if (i) out.push_back(',');
        line_break(out, pretty, depth + 1);
        ZR_TRY(write_child(out, items[i], pretty, depth + 1, limit, step));
      }
      line_break(out, pretty, depth);
      out.push_back(']');
      break;
    }
    case Tag::Object: {
      if (depth >= kNestingLimit) return fail(nested_too_deep());
      Value keep = value;
      FieldsRef fields = keep.as_object().borrow();
      out.push_back('{');
      bool any = false;
      for (const auto& [key, v] : *fields) {
        if (v.is_undefined()) continue;
        if (any) out.push_back(',');
        any = true;
        line_break(out, pretty, depth + 1);
        write_json_string(out, key.view());
        out.push_back(':');
        if (pretty) out.push_back(' ');
        ZR_TRY(write_child(out, v, pretty, depth + 1, limit, step));
      }
      if (any) line_break(out, pretty, depth);
      out.push_back('}');
      break;
    }
  }
  if (out.size() > limit) [[unlikely]]
    return fail(string_too_long(limit));
  return {};
}

Result<std::string> stringify(const Value& value, bool pretty, std::size_t limit, const Step* step) {
  std::string out;
  const Value* v = &value;
  Value first;
  if (value.is_array() && (value.as_array().flags & kOuterWrapper)) {
    const Items& items = value.as_array().read();
    if (!items.empty()) {
      first = items.front();
      v = &first;
    }
  }
  ZR_TRY(write_json(out, *v, pretty, 0, limit, step));
  return out;
}

}  // namespace zarnu_core::value
