// Fuzzes the front end and the evaluator: any text must parse into a tree or fail with a located error of
// the table, never crash; a tree that parses is evaluated under tight limits against a fixed document, and
// every outcome must be a value or an error with a known code. A share of the inputs is also parsed in
// recover mode, which only the nesting limit may end and which agrees with the plain parse.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "eval/expression.hpp"
#include "reads/reads_analysis.hpp"
#include "syntax/parse.hpp"
#include "value/error.hpp"

namespace {

using zarnu_core::json::Json;

const std::shared_ptr<const Json>& document() {
  static const auto doc = std::make_shared<const Json>(Json::parse(R"({
    "a": 1, "b": "text", "c": [1, 2, {"d": [3, 4]}, null, true], "e": {"f": {"g": "h"}, "i": [{"j": 1}, {"j": 2}]},
    "k": 3.5, "l": "", "m": {}, "n": [], "o": "\u00e9\ud83d\ude00"})"));
  return doc;
}

void check(const zarnu_core::error::Error& e, bool located) {
  // Every error the language raises has a code of the table; positions come with spans.
  if (!zarnu_core::error::template_for(e.code()) && e.code() != "X0000") std::abort();
  if (located && !e.position()) std::abort();
  (void)e.message();
}

// Recover mode records every error and ends only at the nesting limit; it finds errors exactly when the
// plain parse fails, and a tree holding them refuses evaluation.
void recover(std::string_view text, const zarnu_core::Result<zarnu_core::Expression>& plain) {
  auto tree = zarnu_core::parse(text, zarnu_core::ParseOptions{.recover = true});
  if (!tree) {
    if (tree.error().code() != "U1001") std::abort();
    check(tree.error(), true);
    return;
  }
  bool errors = false;
  for (const auto& d : tree->diagnostics) {
    if (d.kind != 0) continue;
    errors = true;
    if (!zarnu_core::error::template_for(d.code) || d.start > d.end || d.end > text.size()) std::abort();
  }
  if (plain.has_value() == errors) std::abort();
  tree->root.walk([](const zarnu_core::ast::Node& n) {
    if (n.kind == zarnu_core::ast::NodeKind::Error && !n.error) std::abort();
  });
  (void)zarnu_core::reads::analyse(tree->root);
  if (!errors) return;  // the same tree as the plain parse, evaluated below
  auto out = zarnu_core::Expression::from_tree(std::move(*tree)).evaluate_with({}, {});
  if (out || out.error().code() != "S0500" || out.error().position() != 0u) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 4096) return 0;
  std::string_view text(reinterpret_cast<const char*>(data), size);
  auto compiled = zarnu_core::Expression::compile(text);
  unsigned sum = 0;
  for (std::uint8_t byte : std::string_view(text.substr(0, 16))) sum += byte;
  if (sum % 4 == 0) recover(text, compiled);
  if (!compiled) {
    // Syntax errors are located; a nesting error (U1001) too.
    check(compiled.error(), true);
    return 0;
  }
  zarnu_core::Options options;
  options.max_depth = 300;
  options.timeout = std::chrono::milliseconds(50);
  options.max_array_length = 10000;
  options.max_string_length = 100000;
  options.max_result_size = 1000000;
  zarnu_core::Bindings bindings;
  bindings.values.insert_or_assign("v", document());
  zarnu_core::value::JsonBuilder builder;
  auto input = [&](zarnu_core::value::Sink& sink) -> std::optional<std::string> {
    sink.push(zarnu_core::value::lazy(document(), sink.shared()));
    return std::nullopt;
  };
  auto out = compiled->evaluate_source_to(input, bindings, options, builder);
  if (!out) check(out.error(), false);
  return 0;
}
