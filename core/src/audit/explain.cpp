// Explanation lines of an audit tree and their text.
#include "audit/explain.hpp"

#include <utility>

#include "support/stack.hpp"

namespace zarnu_core::audit::explain {

namespace {

bool has_line(const AuditNode& node) noexcept {
  return node.label || node.operands || node.binding || node.outcome == NodeOutcome::Error || node.branch ||
         (node.kind == "function" &&
          (node.outcome == NodeOutcome::True || node.outcome == NodeOutcome::False));
}

std::string line_text(const AuditNode& node) {
  std::string text;
  if (node.label) text.append(*node.label).append(" \u2014 ");
  text.append(node.source);
  if (node.outcome == NodeOutcome::Error && node.error) {
    text.append(" \u2192 error ").append(node.error->code).append(": ").append(node.error->message);
  } else if (node.binding) {
    text.append(" = ").append(value_text(node.output));
  } else {
    text.append(" \u2192 ").append(value_text(node.output));
  }
  if (node.operands && node.op) {
    text.append(" (")
        .append(value_text(node.operands->first))
        .append(" ")
        .append(*node.op)
        .append(" ")
        .append(value_text(node.operands->second))
        .append(")");
  }
  if (node.short_circuited) text.append(" (right side not evaluated)");
  if (node.branch) {
    switch (*node.branch) {
      case Branch::Then:
        text.append(" [then]");
        break;
      case Branch::Else:
        text.append(" [else]");
        break;
      case Branch::None:
        text.append(" [no branch]");
        break;
    }
  }
  return text;
}

std::string filter_text(const FilterAudit& filter) {
  std::string text;
  if (filter.label) text.append(*filter.label).append(" \u2014 ");
  text.append("[")
      .append(filter.source)
      .append("]: ")
      .append(std::to_string(filter.passed))
      .append(" of ")
      .append(std::to_string(filter.tested))
      .append(" items passed");
  if (!filter.rejected.empty()) {
    text.append("; rejected: ");
    for (std::size_t i = 0; i < filter.rejected.size(); ++i) {
      if (i) text.append(", ");
      text.append(value_text(filter.rejected[i]));
    }
  }
  return text;
}

// `level` counts the recursion for the stack check; `depth` is the indentation, which stays put below
// nodes that have no line.
void explain_at(const AuditNode& node, std::size_t depth, std::vector<ExplanationLine>& lines,
                std::size_t level, Poll* poll) {
  if (poll && poll->stop()) return;
  std::size_t below = depth;
  if (has_line(node)) {
    ExplanationLine& line = lines.emplace_back();
    line.depth = depth;
    if (node.outcome == NodeOutcome::True) line.passed = true;
    if (node.outcome == NodeOutcome::False) {
      line.passed = false;
      line.message = node.message;
    }
    line.text = line_text(node);
    line.node = node.node;
    below = depth + 1;
  }
  // Below a true "or" or a false "and" only the operands that decided it are worth reading.
  std::optional<NodeOutcome> only;
  if (node.op && *node.op == "or" && node.outcome == NodeOutcome::True) only = NodeOutcome::True;
  if (node.op && *node.op == "and" && node.outcome == NodeOutcome::False) only = NodeOutcome::False;
  for (const AuditNode& child : node.children) {
    if (only && child.outcome != *only) continue;
    stack::nest(level + 1, [&] { explain_at(child, below, lines, level + 1, poll); });
  }
  for (const FilterAudit& filter : node.filters) {
    ExplanationLine& line = lines.emplace_back();
    line.depth = below;
    line.text = filter_text(filter);
    line.node = filter.node;
  }
}

}  // namespace

std::string value_text(const std::optional<json::Json>& value) {
  if (!value) return "undefined";
  std::string out;
  json::write(out, *value, false);
  return out;
}

std::string value_text(const value::Value& snapshot) {
  return value_text(snapshot_json(snapshot));
}

void explain_node(const AuditNode& node, std::size_t depth, std::vector<ExplanationLine>& lines, Poll* poll) {
  explain_at(node, depth, lines, 0, poll);
}

std::string result_text(const AuditHeader& header, Poll* poll) {
  std::string out;
  if (header.error) return "error " + header.error->code + ": " + header.error->message;
  if (!header.result) return "undefined";
  // The result can be as large as the evaluation made it: written item by item between polls.
  const json::Json& result = *header.result;
  if (!poll || !(result.is_array() || result.is_object())) {
    json::write(out, result, false);
    return out;
  }
  const bool array = result.is_array();
  out.push_back(array ? '[' : '{');
  for (auto it = result.begin(); it != result.end() && !poll->stop(); ++it) {
    if (it != result.begin()) out.push_back(',');
    if (!array) {
      value::write_json_string(out, it.key());
      out.push_back(':');
    }
    json::write(out, it.value(), false, 1);
  }
  out.push_back(array ? ']' : '}');
  return out;
}

Explanation explain(const AuditTree& tree, Poll* poll) {
  Explanation out;
  out.result = result_text(tree.header, poll);
  if (tree.root) explain_node(*tree.root, 0, out.lines, poll);
  return out;
}

std::string Explanation::to_string(Poll* poll) const {
  std::string out = "result: " + result + "\n";
  for (const ExplanationLine& line : lines) {
    if (poll && poll->stop()) break;
    const std::string indent(2 * line.depth, ' ');
    out.append(indent);
    out.append(!line.passed ? "\u2022" : *line.passed ? "\u2714" : "\u2718");
    out.append(" ").append(line.text).append("\n");
    if (line.message) out.append(indent).append("    ").append(*line.message).append("\n");
  }
  return out;
}

json::Json ExplanationLine::to_json() const {
  using Members = json::Json::object_t;
  json::Json item = json::Json::object();
  auto& m = item.get_ref<Members&>();
  m.reserve(5);
  m.emplace_back("depth", static_cast<std::uint64_t>(depth));
  m.emplace_back("passed", passed ? json::Json(*passed) : json::Json(nullptr));
  m.emplace_back("text", text);
  if (message) m.emplace_back("message", *message);
  m.emplace_back("node", node);
  return item;
}

json::Json Explanation::to_json() const {
  using Members = json::Json::object_t;
  json::Json list = json::Json::array();
  for (const ExplanationLine& line : lines) list.push_back(line.to_json());
  json::Json out = json::Json::object();
  auto& m = out.get_ref<Members&>();
  m.reserve(2);  // a growing member vector would copy the lines
  m.emplace_back("result", result);
  m.emplace_back("lines", std::move(list));
  return out;
}

}  // namespace zarnu_core::audit::explain
