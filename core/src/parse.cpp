// The front end's single entry: parse the text, process the parse tree, reject parent references that
// found no step, then number the nodes, convert their positions and mark which blocks need a frame.
#include "parse.hpp"

#include <string>
#include <utility>

#include "parser.hpp"
#include "process.hpp"

namespace zarnu_core {

Result<ast::Ast> parse(std::string_view text) {
  ZR_TRY(parser::Parsed parsed, parser::parse_text(text));
  process::Processor processor(text);
  ZR_TRY(ast::Node root, processor.process(std::move(parsed.root)));
  if (root.kind == ast::NodeKind::Parent || !root.a().seeking.empty())
    return fail(
        error::Error("S0217").with_token(ast::type_name(root.kind)).located(text, root.span, root.position));

  ast::Ast tree;
  tree.slots = processor.take_slots();
  const bool eval = process::mentions_eval(root);
  process::finish(root, tree.slots, process::utf16_table(text), eval);
  tree.root = std::move(root);
  tree.diagnostics = std::move(parsed.warnings);
  tree.source = std::string(text);
  return tree;
}

}  // namespace zarnu_core
