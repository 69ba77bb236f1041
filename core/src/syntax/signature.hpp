// Function signatures such as "<s-nn?:s>": parsed into one letter class per parameter, and used to check
// and normalise a call's arguments (taking a missing one from the context, wrapping single values into
// arrays) without a regular-expression engine.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "value/result.hpp"
#include "value/value.hpp"

namespace zarnu_core::signature {

struct Param {
  std::string symbol;                          // "a", "b", "f", "j", "l", "n", "o", "s", "x" or "(...)"
  std::string pattern;                         // a letter class and its modifiers, e.g. "[sm]?"
  std::optional<std::string> context_pattern;  // the pattern as it stood when "-" was read
  std::optional<std::string> subtype;          // "n" of "a<n>", "s:o" of "f<s:o>"
  bool use_context = false;
};

// A letter class with repetition bounds, made by `piece`.
struct Piece {
  std::string letters;
  std::size_t min = 1;
  std::size_t max = 1;    // SIZE_MAX for unbounded
  std::uint8_t mask = 0;  // the value letters ("mlbnsaof", bit i for letter i) that `letters` holds

  // Whether a value's letter belongs to the class; letters no value has never do.
  bool contains(char letter) const noexcept;
};

// The (start, end) range of argument letters one piece took.
using LetterSpan = std::pair<std::size_t, std::size_t>;

class Signature {
 public:
  static Result<Signature> parse(std::string_view text);

  const std::string& text() const noexcept { return text_; }
  const std::vector<Param>& params() const noexcept { return params_; }
  const std::vector<Piece>& pieces() const noexcept { return pieces_; }

  // Checks the arguments and returns them normalised (T0410, T0411, T0412 on mismatch, unlocated and
  // without the function's name: the caller adds both). The arguments are moved out of `args`, so
  // `context` must not refer into it. `step`, when given, is called for each array item a subtype check
  // looks at; its failure ends the check.
  Result<value::Items> validate(value::Items args, const value::Value& context,
                                const std::function<Status()>* step = nullptr) const;

 private:
  Result<value::Items> normalise(value::Items& args, std::span<const LetterSpan> spans,
                                 std::string_view letters, const value::Value& context,
                                 const std::function<Status()>* step) const;
  error::Error mismatch(const value::Items& args, std::string_view letters) const;

  std::string text_;
  std::vector<Param> params_;
  std::vector<Piece> pieces_;                // one per parameter, made once
  std::vector<std::uint8_t> context_masks_;  // per parameter: the letters its context value may have
};

Piece piece(std::string_view pattern);

// Matches pieces against argument letters from `pos`, greedily (longest first) with backtracking; on
// success `spans[k]` holds the letters piece k took. `spans` needs room for one slot per piece.
bool match_pieces(std::span<const Piece> pieces, std::string_view letters, std::size_t pos,
                  std::span<LetterSpan> spans, bool anchored);

}  // namespace zarnu_core::signature
