// The front end's single entry: parse the text, process the parse tree, reject parent references that
// found no step, then number the nodes, convert their positions and mark which blocks need a frame.
#include "syntax/parse.hpp"

#include <algorithm>
#include <string>
#include <utility>

#include "syntax/parser.hpp"
#include "syntax/process.hpp"

namespace zarnu_core {

namespace {

error::Diagnostic error_diagnostic(const error::Error& e) {
  const ast::Span span = e.span().value_or(ast::Span{0, 0});
  return error::Diagnostic{std::string(e.code()), e.message(), span.start, span.end, 0};
}

}  // namespace

Result<ast::Ast> parse(std::string_view text, const ParseOptions& options) {
  ZR_TRY(parser::Parsed parsed, parser::parse_text(text, options.recover));
  process::Processor processor(text, options.recover);
  ZR_TRY(ast::Node root, processor.process(std::move(parsed.root)));
  std::vector<error::Error> errors = processor.take_errors();
  const auto& seeking = root.a().seeking;
  // Recovering, a slot whose climb already failed inside the tree is not reported again here.
  const bool unreported = std::any_of(seeking.begin(), seeking.end(),
                                      [&](std::size_t slot) { return !processor.reported(slot); });
  if (root.kind == ast::NodeKind::Parent || unreported) {
    error::Error e =
        error::Error("S0217").with_token(ast::type_name(root.kind)).located(text, root.span, root.position);
    // Recovering, the root stays as it is, as after the same error inside the tree.
    if (!options.recover) return fail(std::move(e));
    errors.push_back(std::move(e));
  }

  ast::Ast tree;
  tree.slots = processor.take_slots();
  const bool eval = process::mentions_eval(root);
  process::finish(root, tree.slots, process::utf16_table(text), eval);
  tree.root = std::move(root);
  tree.diagnostics = std::move(parsed.warnings);
  for (const auto* list : {&parsed.errors, &errors})
    for (const error::Error& e : *list) tree.diagnostics.push_back(error_diagnostic(e));
  tree.source = std::string(text);
  return tree;
}

}  // namespace zarnu_core
