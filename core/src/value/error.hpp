// The language's errors: a five-character code, an optional place in the source text and named details
// held as JSON values. Messages are rendered on demand from one table of codes and templates.
#pragma once

#include <concepts>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "support/pool.hpp"
#include "support/span.hpp"

namespace zarnu_core::json {
// JSON values keep their members in order, and take their containers from the pool like the values do.
using Json = nlohmann::basic_json<nlohmann::ordered_map, std::vector, std::string, bool, std::int64_t,
                                  std::uint64_t, double, pool::Allocator>;
}  // namespace zarnu_core::json

namespace zarnu_core::error {

using json::Json;

struct ErrorInner;

// A move-only owned error; `clone` makes a deep copy.
class Error {
 public:
  explicit Error(std::string_view code);
  Error(Error&&) noexcept;
  Error& operator=(Error&&) noexcept;
  Error(const Error&) = delete;
  Error& operator=(const Error&) = delete;
  ~Error();

  Error clone() const;

  // Sets a detail (replacing an existing one in its place) and returns the error.
  Error with(std::string_view key, std::string_view text) &&;
  Error with(std::string_view key, const char* text) && {
    return std::move(*this).with(key, std::string_view(text));
  }
  Error with(std::string_view key, const std::string& text) && {
    return std::move(*this).with(key, std::string_view(text));
  }
  Error with(std::string_view key, Json value) &&;
  Error with(std::string_view key, double value) &&;  // null when not finite
  // Without this overload a bool would convert to double and be stored as a number.
  Error with(std::string_view key, bool value) &&;
  template <std::integral I>
  requires(!std::same_as<I, bool>) Error with(std::string_view key, I value) && {
    if constexpr (std::is_signed_v<I>)
      return std::move(*this).with_integer(key, static_cast<std::int64_t>(value));
    else
      return std::move(*this).with_unsigned(key, static_cast<std::uint64_t>(value));
  }
  Error with_message(std::string message) &&;
  Error with_token(std::string_view token) &&;
  Error with_index(std::int32_t index) &&;

  // Sets the position (UTF-16 code units of `source` before `offset`) and the span.
  Error located(std::string_view source, ast::Span span, std::size_t offset) &&;
  // Sets a position already counted in UTF-16 code units, and the span.
  Error located_at(std::size_t position, ast::Span span) &&;

  std::string_view code() const noexcept;
  std::optional<std::size_t> position() const noexcept;
  std::optional<ast::Span> span() const noexcept;
  bool is_located() const noexcept { return position().has_value(); }
  const Json* detail(std::string_view name) const noexcept;
  const Json& details() const noexcept;  // a JSON object
  // The detail "token" as text: a string as itself, any other JSON value as its compact JSON text.
  std::optional<std::string> token() const;
  // The rendered message.
  std::string message() const;
  // Text form for debugging.
  std::string debug() const;

 private:
  Error with_integer(std::string_view key, std::int64_t value) &&;
  Error with_unsigned(std::string_view key, std::uint64_t value) &&;
  std::unique_ptr<ErrorInner> inner_;
};

// A warning about an expression, with its message already rendered.
struct Diagnostic {
  std::string code;
  std::string message;
  std::size_t start = 0;
  std::size_t end = 0;
  std::uint8_t kind = 1;  // 0 error, 1 warning

  static Diagnostic warning(std::string_view code, std::size_t start, std::size_t end,
                            std::optional<std::pair<std::string_view, std::string_view>> detail);
};

struct CodeEntry {
  std::string_view code;
  std::string_view text;
};

// The message template of a code, or none when the code is not in the table.
std::optional<std::string_view> template_for(std::string_view code) noexcept;

// The whole code table, in order.
std::span<const CodeEntry> code_table() noexcept;

// Renders a template: {{name}} inserts the detail's compact JSON text, {{{name}}} a string detail
// verbatim, and a missing detail reads "undefined".
std::string populate(std::string_view templ, const Json& details);

}  // namespace zarnu_core::error
