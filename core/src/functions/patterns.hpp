// The pattern built-ins $match, $contains, $replace and $split, and the matcher protocol they share: a
// pattern is a plain string or a function returning match objects whose offsets count UTF-16 code units.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "eval/native.hpp"

namespace zarnu_core::functions::strings {

Result<value::Value> match_(eval::Evaluator& ev, value::Items args, const Call& call);
Result<value::Value> contains(eval::Evaluator& ev, value::Items args, const Call& call);
Result<value::Value> replace(eval::Evaluator& ev, value::Items args, const Call& call);
Result<value::Value> split(eval::Evaluator& ev, value::Items args, const Call& call);

// Calls a matcher with one argument (the subject, or undefined for a continuation) and accepts undefined
// or an object whose "start" is a number, "groups" an array or "next" a function; anything else is T1010.
Result<value::Value> evaluate_matcher(eval::Evaluator& ev, const value::Value& matcher, value::Value arg,
                                      const Call& call);

// The member `key` of an object (read whole first), else undefined.
value::Value field(const value::Value& v, std::string_view key);

// The text between two UTF-16 offsets (clamped to the text, swapped when reversed; no end means the end of
// the text). Half of a surrogate pair cut at either edge becomes U+FFFD.
std::string utf16_substring(std::string_view text, std::size_t start,
                            std::optional<std::size_t> end = std::nullopt);

// At most `max_digits` ASCII digits of `text` from `pos`, as a number; none when there is no digit there or
// the number overflows.
std::optional<std::size_t> read_digits(std::string_view text, std::size_t pos, std::size_t max_digits);

// A string replacement for one match object with its "$$", "$0" and "$n" references expanded.
std::string substitute(std::string_view replacement, const value::Value& match);

}  // namespace zarnu_core::functions::strings
