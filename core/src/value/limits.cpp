// Limit errors.
#include "value/limits.hpp"

namespace zarnu_core {

error::Error limit_error(std::string_view message, std::size_t limit) {
  std::string text(message);
  auto at = text.find("{}");
  if (at != std::string::npos) text.replace(at, 2, std::to_string(limit));
  return error::Error("U1001").with_message(std::move(text));
}

}  // namespace zarnu_core
