// The Pratt parser: pulls tokens from the lexer one at a time and builds the parse tree (Raw), deciding
// binding powers, what may start an expression, what follows each infix symbol and the syntax errors.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "annotation.hpp"
#include "error.hpp"
#include "lexer.hpp"
#include "raw.hpp"
#include "result.hpp"

namespace zarnu_core::parser {

// The parser's symbols are the lexer's tokens; the end of the text is a symbol of its own kind.
using SymKind = lexer::TokKind;
using Sym = lexer::Token;

// Expressions may nest this deep (each infix step of one level counts too).
inline constexpr std::size_t kMaxNesting = 1000;

// The left binding power of a symbol: how strongly it takes the operand before it (0: not at all).
std::uint8_t lbp(const Sym& sym) noexcept;

// The detail "token" of an error raised at a symbol, and the token value of a node: its text, number or
// literal, null for composite nodes.
json::Json sym_value(const Sym& sym);
json::Json token_value(const Raw& raw);

// Sets the keep-array flag of "[]": on the step below any predicates, so that «a[0][]» marks a.
void mark_keep_array(Raw& raw) noexcept;

struct Parsed {
  Raw root;
  std::vector<error::Diagnostic> warnings;
};

// Parses the text: the first token in operand position, expression(0), S0201 when symbols are left, then
// W0101 for doc comments still queued after the last token.
Result<Parsed> parse_text(std::string_view text);

class Parser {
 public:
  explicit Parser(std::string_view text) noexcept : lexer_(text), text_(text) {}

  // Reads the first token, in operand position.
  Status start() { return lexer_.next(sym_, false); }

  // The Pratt driver: an expression whose infix operators bind tighter than `rbp`.
  Result<Raw> expression(std::uint8_t rbp);

  const Sym& current() const noexcept { return sym_; }
  const lexer::Lexer& lexer() const noexcept { return lexer_; }
  std::vector<error::Diagnostic> take_warnings() noexcept { return std::move(warnings_); }

  // `code` with the current symbol as its token, located at the current symbol.
  error::Error error_at_node(std::string_view code) const;

 private:
  Status advance(std::string_view expected, bool infix);
  Status advance(bool infix) { return advance({}, infix); }
  Status deeper();
  void expression_here(std::uint8_t rbp, Result<Raw>& left);
  // Parses expression(rbp) straight into the children of `into`.
  Status push(Raw& into, std::uint8_t rbp);
  Result<Raw> nud(Sym& t);
  Result<Raw> led_step(Raw left);
  Result<Raw> block(Sym& t);
  Result<Raw> array(Sym& t);
  Result<Raw> transform(Sym& t);
  Status object_pairs(Raw& into);
  Result<Raw> call(Raw left, std::size_t position);
  Result<Raw> lambda(Raw call, std::size_t start);
  Result<Raw> sort(Raw left, std::size_t position);
  bool at(std::string_view op) const noexcept { return sym_.kind == SymKind::Operator && sym_.op == op; }
  // Leaves the current symbol: its doc comments annotate nothing, and the furthest end moves past it.
  void leave();
  // The span from `start` to the furthest symbol consumed.
  ast::Span span_from(std::size_t start) const noexcept { return {start, std::max(start, last_end_)}; }
  error::Error at_raw(error::Error e, const Raw& raw) const {
    return std::move(e).located(text_, raw.span, raw.position);
  }

  lexer::Lexer lexer_;
  std::string_view text_;
  Sym sym_;
  std::size_t last_end_ = 0;
  std::size_t depth_ = 0;
  std::vector<error::Diagnostic> warnings_;
};

}  // namespace zarnu_core::parser
