// The bridge between the evaluator and the regular-expression engine: compiled literals (cached per
// evaluation) and the search that turns a match into the language's match object.
#pragma once

#include <cstddef>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "result.hpp"
#include "value.hpp"

namespace zarnu_core::eval {
class Evaluator;
}

namespace zarnu_core::regex {

// One match: byte offsets of the whole match and of each capture group (npos for a group that did not
// take part).
struct Match {
  std::size_t start = 0;
  std::size_t end = 0;
  std::vector<std::pair<std::size_t, std::size_t>> groups;
};

// The engine behind compiled patterns.
class Engine {
 public:
  virtual ~Engine() = default;
  // Compiles a pattern; a failure gives the engine's error text.
  virtual std::expected<std::shared_ptr<const void>, std::string> compile(std::string_view pattern,
                                                                          std::string_view flags) const = 0;
  // Searches from a byte offset; the poll is called now and then and stops the search with its error.
  virtual Result<std::optional<Match>> search(const void* compiled, std::string_view text, std::size_t start,
                                              eval::Evaluator& ev) const = 0;
};

// The engine in use (replaceable for tests).
const Engine& engine();
void set_engine(const Engine* e);

// A compiled pattern, shared within one evaluation.
struct Regex : value::Counted {
  std::string pattern;
  std::string flags;
  std::shared_ptr<const void> compiled;

  // Compiles a pattern; S0302 with "value" (the pattern) and "message" (the engine's text) on failure.
  static Result<value::Rc<Regex>> create(std::string_view pattern, std::string_view flags);
};

// Searches `text` from a byte offset: undefined when there is no match (or the offset is past the end),
// else a match object {match, start, end, groups, next}.
Result<value::Value> exec(eval::Evaluator& ev, const value::Rc<Regex>& regex, const value::Str& text,
                          std::size_t length, std::size_t start);

// The byte offset of a UTF-16 code-unit index into text.
std::size_t byte_offset(std::string_view text, std::size_t utf16_index) noexcept;

}  // namespace zarnu_core::regex
