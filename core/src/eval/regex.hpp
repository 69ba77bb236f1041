// The bridge between the evaluator and the regular-expression engine: compiled literals (cached per
// evaluation), the search that turns a match into the language's match object, and UTF-16 offsets.
#pragma once

#include <cstddef>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "api.hpp"
#include "exec.hpp"
#include "value/result.hpp"
#include "value/value.hpp"

namespace zarnu_core::eval {
class Evaluator;
}

namespace zarnu_core::regex {

// A match of a substitute engine: byte offsets of the whole match and of each capture group (npos for a
// group that did not take part).
struct Match {
  std::size_t start = 0;
  std::size_t end = 0;
  std::vector<std::pair<std::size_t, std::size_t>> groups;
};

// A stand-in for the built-in engine, for tests that want patterns of their own making.
class Engine {
 public:
  virtual ~Engine() = default;
  // Compiles a pattern; a failure gives the engine's error text.
  virtual std::expected<std::shared_ptr<const void>, std::string> compile(std::string_view pattern,
                                                                          std::string_view flags) const = 0;
  // Searches from a byte offset.
  virtual Result<std::optional<Match>> search(const void* compiled, std::string_view text, std::size_t start,
                                              eval::Evaluator& ev) const = 0;
};

// The engine in use: a substitute when one is installed, else the built-in engine behind this
// interface (its searches go through Evaluator::find_regex, under the time limit).
const Engine& engine();
// Installs a substitute engine for the patterns compiled from now on; nullptr restores the built-in one.
void set_engine(const Engine* e);

// A compiled pattern, shared within one evaluation (by non-atomic counts: it never leaves its thread).
struct Regex : value::Counted {
  std::string pattern;
  std::string flags;
  std::optional<zarnu_regex::api::Regex> compiled;  // the built-in engine's program
  std::shared_ptr<const void> substitute;           // or a substitute engine's

  // Compiles a pattern; S0302 with "value" (the pattern) and "message" (the engine's text) on failure.
  // `poll`, when given, is asked during compilation; a compilation it stops fails with U1003 (the
  // caller's poll callback knows the actual reason).
  static Result<value::Rc<Regex>> create(std::string_view pattern, std::string_view flags,
                                         zarnu_regex::interrupt::Poll* poll = nullptr);
};

// Searches `text` (of `length` bytes) from a byte offset at a character boundary: undefined when there is
// no match or the offset is past the end, else a match object {match, start, end, groups, next}.
// The UTF-16 offset of a search's start when the caller does not know it.
inline constexpr std::size_t kUnknownUnits = static_cast<std::size_t>(-1);

Result<value::Value> exec(eval::Evaluator& ev, const value::Rc<Regex>& regex, const value::Str& text,
                          std::size_t length, std::size_t start, std::size_t start_units = kUnknownUnits);

// The matches of a pattern over one text in the order that the match objects' "next" functions give them
// (the first search from the start, each later one from where the one before ended, none once that is
// the end of the text; a later match that is empty fails with D1004), read without building match
// objects. Only for the built-in engine (`regex.compiled`).
class Matches {
 public:
  Matches(eval::Evaluator& ev, const value::Rc<Regex>& regex, std::string_view text);
  ~Matches();
  Matches(const Matches&) = delete;
  Matches& operator=(const Matches&) = delete;

  // Moves to the next match; false when there is none.
  Result<bool> next();
  // Byte offsets and UTF-16 offsets of the current match, and its captures as byte spans.
  std::size_t start() const noexcept;
  std::size_t end() const noexcept;
  std::size_t start_units() noexcept { return units_at(start()); }
  std::size_t end_units() noexcept { return units_at(end()); }
  const std::vector<zarnu_regex::exec::Searcher::Capture>& captures() const noexcept;
  std::string_view text() const noexcept { return text_; }

 private:
  struct Search;
  eval::Evaluator* ev_;
  value::Rc<Regex> regex_;
  std::string_view text_;
  std::unique_ptr<Search> search_;
  // The UTF-16 offset of a byte offset, counted on demand (only $match needs it).
  std::size_t units_at(std::size_t offset) noexcept;
  bool first_ = true;
  std::size_t counted_ = 0, counted_units_ = 0;
};

// The byte offset of a UTF-16 code-unit index into text: the first character at which the count of units
// before it reaches the index (an index inside a surrogate pair moves past that character); the length of
// the text when the index lies beyond it.
std::size_t byte_offset(std::string_view text, std::size_t utf16_index) noexcept;

// The UTF-16 code units of UTF-8 text.
std::size_t utf16_units(std::string_view text) noexcept;

}  // namespace zarnu_core::regex
