// The Pratt parser: pulls tokens from the lexer one at a time and builds the parse tree (Raw), deciding
// binding powers, what may start an expression, what follows each infix symbol and the syntax errors.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "syntax/annotation.hpp"
#include "syntax/lexer.hpp"
#include "syntax/raw.hpp"
#include "value/error.hpp"
#include "value/result.hpp"

namespace zarnu_core::parser {

// The parser's symbols are the lexer's tokens; the end of the text is a symbol of its own kind.
using SymKind = lexer::TokKind;
using Sym = lexer::Token;

// The error symbol's text. In recover mode it replaces a token that could not be read or was not
// expected; as an operand it is an error node, as an infix operator (binding power 10) it takes the
// expression before it as its left operand and so lets parsing go on after it.
inline constexpr std::string_view kErrorSymbol = "(error)";
inline bool is_error(const Sym& sym) noexcept {
  return sym.kind == SymKind::Operator && sym.op == kErrorSymbol;
}

// Expressions may nest this deep (each infix step of one level counts too).
inline constexpr std::size_t kMaxNesting = 1000;

// The left binding power of a symbol: how strongly it takes the operand before it (0: not at all).
std::uint8_t lbp(const Sym& sym) noexcept;

// The detail "token" of an error raised at a symbol (null for the error symbol, which has no value: the
// detail is then left out), and the token value of a node: its text, number or literal, null for
// composite nodes.
json::Json sym_value(const Sym& sym);
json::Json token_value(const Raw& raw);

// Sets the keep-array flag of "[]": on the step below any predicates, so that «a[0][]» marks a.
void mark_keep_array(Raw& raw) noexcept;

struct Parsed {
  Raw root;
  std::vector<error::Diagnostic> warnings;
  std::vector<error::Error> errors;  // recover mode: the syntax errors, in the order found
};

// Parses the text: the first token in operand position, expression(0), S0201 when symbols are left, then
// W0101 for doc comments still queued after the last token. With `recover` the syntax errors are
// recorded and error nodes stand in for what failed; only the nesting limit still ends the parse.
Result<Parsed> parse_text(std::string_view text, bool recover = false);

class Parser {
 public:
  explicit Parser(std::string_view text, bool recover = false) noexcept
      : lexer_(text), text_(text), recover_(recover) {}

  // The whole text: the first token in operand position, expression(0), then what is left over (S0201;
  // in recover mode each left-over symbol is recorded and dropped, and parsing goes on after it).
  Result<Raw> root();

  // The Pratt driver: an expression whose infix operators bind tighter than `rbp`.
  Result<Raw> expression(std::uint8_t rbp);

  const Sym& current() const noexcept { return sym_; }
  const lexer::Lexer& lexer() const noexcept { return lexer_; }
  std::vector<error::Diagnostic> take_warnings() noexcept { return std::move(warnings_); }
  std::vector<error::Error> take_errors() noexcept { return std::move(errors_); }

  // `code` with the current symbol as its token, located at the current symbol.
  error::Error error_at_node(std::string_view code);

 private:
  // Recover mode: what an error does to the parse. Each returns the error unchanged when recover is off.
  // Reads the next token; one that cannot be read becomes the error symbol.
  Status read(bool infix);
  // An error about the current symbol (an expected symbol missing, symbols left over). The symbol is
  // replaced by the error symbol, unless it is the end or a symbol an enclosing construct waits for:
  // that one stays, and the construct that waits for it takes it up again.
  Status at_symbol(error::Error e);
  // An error about a construct already read: an error node takes its place.
  Result<Raw> in_place(error::Error e);
  // Records `e` once: in `first` when that is empty, else only in the list.
  Status record_first(error::Error e, std::unique_ptr<error::Error>& first);
  void record(const error::Error& e);
  Raw error_node(error::Error e) const;
  void become_error(error::Error e);
  // A symbol that cannot start an operand and that a recovering parse leaves where it stands: the end
  // once reported, and the closing and separating symbols.
  bool stays() const noexcept;
  Raw stuck_operand();
  bool awaited(const Sym& sym) const noexcept;
  // Marks the closing and separating symbols a construct waits for while it is being read.
  class Awaiting {
   public:
    Awaiting(Parser& p, std::initializer_list<std::string_view> symbols);
    ~Awaiting() { p_.awaited_.resize(size_); }
    Awaiting(const Awaiting&) = delete;
    Awaiting& operator=(const Awaiting&) = delete;

   private:
    Parser& p_;
    std::size_t size_;
  };

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
  error::Error at_raw(error::Error e, const Raw& raw) {
    return lexer_.locate(std::move(e), raw.span, raw.position);
  }

  lexer::Lexer lexer_;
  std::string_view text_;
  Sym sym_;
  std::size_t last_end_ = 0;
  std::size_t depth_ = 0;
  std::vector<error::Diagnostic> warnings_;
  bool recover_ = false;
  std::vector<error::Error> errors_;
  // The error already recorded at the current symbol, which was left in place (see `at_symbol`).
  std::unique_ptr<error::Error> stuck_;
  // The next token cannot be read and its error is already recorded (see `stuck_operand`).
  bool read_ahead_ = false;
  std::vector<std::string_view> awaited_;
};

}  // namespace zarnu_core::parser
