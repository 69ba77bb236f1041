// The front end's single entry: expression text in, the processed syntax tree (or the first error) out.
// The syntax stage (syntax/) owns the lexer, parser, annotations, signatures and the processing pass; it
// hands the evaluator an immutable Ast.
#pragma once

#include <string_view>

#include "syntax/ast.hpp"
#include "value/result.hpp"

namespace zarnu_core {

struct ParseOptions {
  // Recover mode: syntax and processing errors do not end the parse. Each is recorded as a diagnostic of
  // kind error (the parser's, then the processing pass's, each in the order found, after the warnings)
  // and error nodes stand in for what failed. Only the nesting limit still ends the parse. A tree with
  // such diagnostics is never evaluated (S0500).
  bool recover = false;
};

Result<ast::Ast> parse(std::string_view text, const ParseOptions& options = {});

}  // namespace zarnu_core
