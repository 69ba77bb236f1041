// Full Unicode case conversion of UTF-8 text, for the string built-ins and the date-time name readers.
#pragma once

#include <string>
#include <string_view>

namespace zarnu_core::casing {

// Each code point by its full mapping; lower case applies the final-sigma rule.
std::string to_lower(std::string_view text);
std::string to_upper(std::string_view text);

}  // namespace zarnu_core::casing
