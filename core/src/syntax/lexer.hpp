// The lexer: reads expression text one token at a time on the parser's demand. Whether a "/" divides or
// opens a regular expression depends only on the position the parser asks for; doc comments are queued
// and handed to the next token.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support/span.hpp"
#include "syntax/annotation.hpp"
#include "syntax/positions.hpp"
#include "value/error.hpp"
#include "value/result.hpp"

namespace zarnu_core::lexer {

enum class TokKind : std::uint8_t {
  Name,      // `text`: a field name (also a quoted `name`)
  Variable,  // `text`: the name after "$", possibly empty
  String,    // `text`: the value with escapes resolved
  Number,    // `number`
  Literal,   // `literal`: 0 false, 1 true, 2 null
  Regex,     // `text`: the pattern as written, `flags`
  Operator,  // `op`: one of the static operator texts (also "and", "or", "in")
  End,       // no text left
};

struct Token {
  TokKind kind = TokKind::End;
  ast::Span span;
  std::string text;
  std::string flags;
  std::string_view op;  // static storage, never owned
  double number = 0;
  std::uint8_t literal = 0;
  std::vector<annotation::DocComment> docs;  // the doc comments read before this token
  // Set only on the parser's error symbol (operator "(error)"), which stands in for an unreadable or
  // unexpected token once its error has been recorded.
  std::unique_ptr<error::Error> error;
};

// True for the 26 characters that form operators; they end a name.
bool is_operator_char(unsigned char c) noexcept;

// The end of the number token that starts with a digit at `start`.
std::size_t scan_number(std::string_view text, std::size_t start) noexcept;

// Reads the four characters that follow "\u" as one hexadecimal code unit (a leading "+" is accepted).
std::optional<char16_t> hex4(std::string_view text) noexcept;

class Lexer {
 public:
  explicit Lexer(std::string_view text) noexcept : text_(text), positions_(text) {}

  // Reads the next token into `out`. In operator position (`infix`, after an operand) a "/" is the
  // division operator; in operand position it opens a regular expression. After an error the offset is
  // past the text that could not be read, so a recovering parser reads on from there.
  Status next(Token& out, bool infix);

  // The error of the next token when, read in operator position, it cannot be read. Nothing moves: the
  // next read meets the same text and fails with the same error, in either position.
  Status peek_infix() const;

  // Reads the quoted string whose opening quote is at the current offset.
  Result<std::string> scan_string();

  // `e` with the span and the UTF-16 position of the byte offset `offset` of the text.
  error::Error locate(error::Error e, ast::Span span, std::size_t offset) {
    return positions_.locate(std::move(e), span, offset);
  }

  std::size_t offset() const noexcept { return pos_; }
  // Doc comments read after the last token handed out.
  const std::vector<annotation::DocComment>& pending() const noexcept { return pending_; }
  void drop_pending() noexcept { pending_.clear(); }

 private:
  // An error with the span (start, max(start, end)), located at the span's end.
  error::Error fault(std::string_view code, std::size_t start, std::size_t end) {
    end = std::max(start, end);
    return locate(error::Error(code), {start, end}, end);
  }
  Status skip_space_and_comments();
  // After a bad escape: moves past the string's closing quote (or to the end), so that reading can go on
  // after the string rather than inside it.
  void skip_rest_of_string(char quote, std::size_t from) noexcept;
  Status scan_regex(Token& out);
  Status scan_number_token(Token& out);
  void scan_name(Token& out);

  std::string_view text_;
  std::size_t pos_ = 0;
  std::vector<annotation::DocComment> pending_;
  Positions positions_;
};

}  // namespace zarnu_core::lexer
