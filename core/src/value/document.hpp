// Parsing JSON text straight into values: whole, or cut to the fields an expression reads, where the
// members it never reads are checked as syntax only and nothing is built for them.
#pragma once

#include <cstddef>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "value/error.hpp"
#include "value/lazy.hpp"
#include "value/limits.hpp"
#include "value/reads.hpp"
#include "value/value.hpp"

namespace zarnu_core::document {

// A syntax error of JSON text: the reason and where it was found (1-based line and column).
struct ParseError {
  std::string reason;
  std::size_t line = 0;
  std::size_t column = 0;
  // The poll's error when a poll stopped the parse (the text may be valid).
  std::optional<error::Error> stopped;
  // "<reason> at line L column C".
  std::string text() const;
};

template <class T>
using Parsed = std::expected<T, ParseError>;

// The most arrays and objects that can be open at once while building values, plus one.
inline constexpr int kNestingAllowance = 128;

// A parsed input document.
struct Document {
  value::Value value;

  // Parses the whole text; only whitespace may follow the value. `poll`, when given, is asked every
  // kPollTicks values: a long text must not outlast a stop (Ctrl-C, the time limit). The string values
  // (not the keys) are made by `strings` when given.
  static Parsed<Document> parse(std::string_view text, const PollHook* poll = nullptr,
                                const value::StringMaker* strings = nullptr);
  // Parses the text keeping only what `read` reads; unread members are checked as syntax only.
  static Parsed<Document> parse_cut(std::string_view text, const reads::Read& read,
                                    const PollHook* poll = nullptr,
                                    const value::StringMaker* strings = nullptr);
};

}  // namespace zarnu_core::document
