// The tracer's view of a value.
#include "value/value_view.hpp"

#include "value/stringify.hpp"

namespace zarnu_core::value {

std::string Inspect::fmt() const {
  if (value_->is_undefined()) return "undefined";
  if (value_->is_function()) return "<function>";
  auto text = stringify(*value_, false, kDetailBudget);
  return text ? std::move(*text) : std::string("<invalid>");
}

std::optional<json::Json> Inspect::to_json() const {
  JsonBuilder b;
  std::uint64_t budget = UINT64_MAX;
  auto built = write_spending(*value_, b, budget, 0);
  if (!built) return std::nullopt;
  return std::move(*built);
}

std::expected<std::optional<json::Json>, TooLarge> Inspect::to_json_within(std::uint64_t budget) const {
  JsonBuilder b;
  auto built = write_spending(*value_, b, budget, 0);
  if (!built) return std::unexpected(std::get<TooLarge>(built.error()));  // no poll: never stopped
  return std::move(*built);
}

}  // namespace zarnu_core::value
