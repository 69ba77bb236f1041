// Shared helpers of the C++ tests: values written as JSON text, and values written back as text.
#pragma once

#include <string>

#include "value/from_json.hpp"
#include "value/json.hpp"
#include "value/lazy.hpp"
#include "value/stringify.hpp"
#include "value/value.hpp"

namespace zarnu_test {

using zarnu_core::json::Json;
using zarnu_core::value::Value;

// A value from JSON text (test data only).
inline Value J(const std::string& text) {
  return zarnu_core::value::from_json(Json::parse(text));
}

// The compact JSON text of a value, or "!CODE" when writing fails.
inline std::string S(const Value& v) {
  auto text = zarnu_core::value::stringify(v, false, 268435456);
  return text ? *text : "!" + std::string(text.error().code());
}

// A chain of `depth` arrays, each holding the next; the innermost holds `leaf`.
inline Value nested_arrays(std::size_t depth, Value leaf = Value::number(1)) {
  Value v = std::move(leaf);
  for (std::size_t i = 0; i < depth; ++i) {
    zarnu_core::value::Items items;
    items.push_back(std::move(v));
    v = Value::array_with(std::move(items), 0);
  }
  return v;
}

using namespace zarnu_core::value;

// A host source over JSON data that counts what it is asked and can be told to fail.
class TestSource : public zarnu_core::value::Sources {
 public:
  explicit TestSource(Json root, bool single_fields = true)
      : root_(std::move(root)), single_fields_(single_fields) {}

  Value top(const Rc<Shared>& shared) { return convert(root_, shared); }

  std::optional<std::string> read(std::uint32_t index, Sink& sink) override {
    ++reads;
    const Json& c = *containers_.at(index);
    if (fail_index == static_cast<int>(index)) {
      if (c.is_array() && !c.empty()) sink.push(Value::number(1));  // partly delivered, then failed
      return "cannot read container " + std::to_string(index);
    }
    sink.reserve(c.size());
    if (c.is_array()) {
      for (const Json& item : c) sink.push(convert(item, sink.shared()));
    } else {
      for (auto it = c.begin(); it != c.end(); ++it) {
        sink.set_key(std::string_view(it.key()));
        sink.push(convert(it.value(), sink.shared()));
      }
    }
    return std::nullopt;
  }

  FieldOutcome read_field(std::uint32_t index, std::string_view key, Sink& slot,
                          std::string& failure) override {
    if (!single_fields_) return FieldOutcome::NotSupported;
    ++field_reads;
    if (fail_index == static_cast<int>(index)) {
      failure = "cannot read member " + std::string(key);
      return FieldOutcome::Failed;
    }
    const Json& c = *containers_.at(index);
    auto it = c.find(key);
    if (it != c.end()) slot.push(convert(*it, slot.shared()));
    return FieldOutcome::Handled;
  }

  int reads = 0;
  int field_reads = 0;
  int conversions = 0;
  int fail_index = -1;

 private:
  Value convert(const Json& j, const Rc<Shared>& shared) {
    ++conversions;
    if (!j.is_structured()) return from_json(j);
    auto index = static_cast<std::uint32_t>(containers_.size());
    containers_.push_back(&j);
    Pending pending{shared, Rc<Sources>::share(this), nullptr};
    return j.is_array() ? lazy_array(std::move(pending), index) : lazy_object(std::move(pending), index);
  }

  Json root_;
  bool single_fields_;
  std::vector<const Json*> containers_;
};

}  // namespace zarnu_test
