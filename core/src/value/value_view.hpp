// The view of a value that an audited evaluation's tracer receives: its text form, its JSON (whole or
// within a budget), a bounded capture, its boolean and its signature letter.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>

#include "value/json.hpp"
#include "value/output.hpp"
#include "value/value.hpp"

namespace zarnu_core::audit {
struct Limits;
}  // namespace zarnu_core::audit

namespace zarnu_core::value {

class Inspect {
 public:
  explicit Inspect(const Value& value) noexcept : value_(&value) {}

  const Value& value() const noexcept { return *value_; }
  // "undefined", "<function>", the compact JSON text, or "<invalid>" when it cannot be written.
  std::string fmt() const;
  std::optional<json::Json> to_json() const;
  std::expected<std::optional<json::Json>, TooLarge> to_json_within(std::uint64_t budget) const;
  // Defined with the capture it runs (audit/capture.cpp).
  std::optional<json::Json> capture(const audit::Limits& limits) const;
  // The boolean of a boolean value; none for every other value.
  std::optional<bool> as_bool() const noexcept {
    return value_->is_bool() ? std::optional<bool>(value_->as_boolean()) : std::nullopt;
  }
  char signature_symbol() const noexcept { return value_->signature_letter(); }

 private:
  const Value* value_;
};

}  // namespace zarnu_core::value
