// The front end's single entry: expression text in, the processed syntax tree (or the first error) out.
#pragma once

#include <string_view>

#include "ast.hpp"
#include "result.hpp"

namespace zarnu_core {

Result<ast::Ast> parse(std::string_view text);

}  // namespace zarnu_core
