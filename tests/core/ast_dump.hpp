// A compact text form of a processed syntax tree, for tests: one node per line, indented two spaces per
// level, with its kind, its data and the attributes that shape evaluation.
#pragma once

#include <string>

#include "syntax/ast.hpp"
#include "value/json.hpp"

namespace zarnu_test {

namespace dump_detail {

using zarnu_core::ast::Node;
using zarnu_core::ast::NodeKind;

inline const char* kind_word(NodeKind kind) {
  static const char* const kWords[] = {
      "path", "binary", "negate", "array",    "object",      "name",   "variable",  "string",  "number",
      "bool", "null",   "regex",  "wildcard", "descendant",  "parent", "condition", "default", "block",
      "bind", "apply",  "call",   "partial",  "placeholder", "lambda", "transform", "sort",    "error"};
  return kWords[static_cast<int>(kind)];
}

inline void line(std::string& out, int depth, const std::string& text) {
  out.append(static_cast<std::size_t>(depth) * 2, ' ');
  out += text;
  out += '\n';
}

inline std::string head(const Node& n) {
  std::string s = kind_word(n.kind);
  switch (n.kind) {
    case NodeKind::Binary:
      s += " " + std::string(zarnu_core::ast::op_text(n.op));
      break;
    case NodeKind::Name:
      s += " " + n.text;
      break;
    case NodeKind::Variable:
      s += " $" + n.text;
      break;
    case NodeKind::String:
      s += " \"" + n.text + "\"";
      break;
    case NodeKind::Number:
      s += " " + zarnu_core::value::js_number(n.number);
      break;
    case NodeKind::Bool:
      s += n.flag ? " true" : " false";
      break;
    case NodeKind::Regex:
      s += " /" + n.text + "/" + (n.regex_flags ? *n.regex_flags : std::string());
      break;
    case NodeKind::Parent:
      s += " slot=" + std::to_string(n.slot);
      if (!n.text.empty()) s += " label=" + n.text;
      break;
    case NodeKind::Default:
      s += n.flag ? " ?:" : " ??";
      break;
    case NodeKind::Block:
      if (n.flag) s += " frame";
      break;
    case NodeKind::Lambda: {
      s += " (";
      for (std::size_t i = 0; i < n.lambda->params.size(); ++i) s += (i ? ", $" : "$") + n.lambda->params[i];
      s += ")";
      if (n.lambda->thunk) s += " thunk";
      break;
    }
    case NodeKind::Sort:
      for (bool d : n.descending) s += d ? " >" : " <";
      break;
    case NodeKind::Error:
      s += " " + std::string(n.error->code());
      break;
    default:
      break;
  }
  if (n.keep_array) s += " keep_array";
  if (n.cons_array) s += " cons_array";
  if (n.keep_singleton) s += " keep_singleton";
  if (n.tuple) s += " tuple";
  const auto& a = n.a();
  if (a.focus) s += " focus=$" + *a.focus;
  if (a.index) s += " index=$" + *a.index;
  if (a.ancestor) s += " ancestor=" + std::to_string(*a.ancestor);
  if (a.ancestor_label) s += " label=" + *a.ancestor_label;
  if (!a.seeking.empty()) {
    s += " seeking=[";
    for (std::size_t i = 0; i < a.seeking.size(); ++i) s += (i ? "," : "") + std::to_string(a.seeking[i]);
    s += "]";
  }
  return s;
}

inline void dump_at(std::string& out, const Node& n, int depth) {
  line(out, depth, head(n));
  for (const Node& c : n.children) dump_at(out, c, depth + 1);
  if (n.lambda) dump_at(out, n.lambda->body, depth + 1);
  if (n.transform) {
    dump_at(out, n.transform->pattern, depth + 1);
    dump_at(out, n.transform->update, depth + 1);
    if (n.transform->remove) dump_at(out, *n.transform->remove, depth + 1);
  }
  const auto& a = n.a();
  for (const auto& st : a.stages) {
    if (st.is_filter()) {
      line(out, depth + 1, st.constant ? "[filter const]" : "[filter]");
      dump_at(out, *st.predicate, depth + 2);
    } else {
      line(out, depth + 1, "[index $" + st.name + "]");
    }
  }
  for (const auto& st : a.predicates) {
    line(out, depth + 1, st.constant ? "[pred const]" : "[pred]");
    dump_at(out, *st.predicate, depth + 2);
  }
  if (a.group) {
    line(out, depth + 1, "{group}");
    for (const auto& [k, v] : a.group->pairs) {
      dump_at(out, k, depth + 2);
      dump_at(out, v, depth + 2);
    }
  }
}

}  // namespace dump_detail

// The dump of a tree (test trees are shallow: this recursion has no stack guard).
inline std::string dump(const zarnu_core::ast::Node& root) {
  std::string out;
  dump_detail::dump_at(out, root, 0);
  return out;
}

}  // namespace zarnu_test
