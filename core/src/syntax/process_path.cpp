// Location paths: "." flattens chains into one path of steps; predicates, focus and index bindings attach
// to the last step; group-by attaches to the whole node and order-by becomes a step of its own.
#include <iterator>
#include <utility>

#include "syntax/process.hpp"
#include "value/json.hpp"

namespace zarnu_core::process {

using ast::Node;
using ast::NodeKind;
using ast::Stage;
using detail::from_token;
using detail::last_step;
using detail::pass_up;
using detail::widen;
using parser::Raw;

namespace detail {

Node& last_step(Node& node) noexcept {
  return node.kind == NodeKind::Path ? node.children.back() : node;
}

Node wrap_in_path(Node node) {
  Node path(NodeKind::Path, node.span, node.position);
  path.children.push_back(std::move(node));
  return path;
}

}  // namespace detail

namespace {

bool is_literal(NodeKind kind) noexcept {
  return kind == NodeKind::Number || kind == NodeKind::Bool || kind == NodeKind::Null;
}

json::Json literal_json(const Node& node) {
  switch (node.kind) {
    case NodeKind::Number:
      return value::json_number(node.number);
    case NodeKind::Bool:
      return json::Json(node.flag);
    default:
      return json::Json(nullptr);
  }
}

// The binding name of "@$v" or "#$v" (the parser admits only a variable there).
std::string binding_name(Raw& right) {
  return right.kind == parser::RawKind::Variable ? std::move(right.text) : std::string();
}

}  // namespace

Result<Node> Processor::path(Raw& raw) {
  std::vector<Raw> kids = std::move(raw.children);
  Node result;
  ZR_TRY(into(result, kids.at(0)));
  if (result.kind != NodeKind::Path) {
    const bool parent = result.kind == NodeKind::Parent;
    const std::size_t slot = result.slot;
    result = detail::wrap_in_path(std::move(result));
    if (parent) result.a_mut().seeking.push_back(slot);
  }
  Node right;
  ZR_TRY(into(right, kids.at(1)));
  ZR_TRY(extend_path(result, std::move(right)));
  return result;
}

Status Processor::extend_path(Node& path, Node right) {
  if (right.kind == NodeKind::Path) {
    path.children.insert(path.children.end(), std::make_move_iterator(right.children.begin()),
                         std::make_move_iterator(right.children.end()));
  } else {
    if (right.has_predicates()) {
      right.attrs->stages = std::move(right.attrs->predicates);
      right.attrs->predicates.clear();
    }
    path.children.push_back(std::move(right));
  }

  bool keep = false;
  bool reported = false;
  for (Node& step : path.children) {
    if (step.kind == NodeKind::String) {
      step.kind = NodeKind::Name;
    } else if (is_literal(step.kind) && !reported) {
      // Recovering, the step becomes the error node; only the first such step is reported.
      ZR_TRY(step, failing(error("S0213", step.span, step.position).with("value", literal_json(step))));
      reported = true;
    }
    keep = keep || step.keep_array;
  }
  if (keep) path.keep_singleton = true;
  if (path.children.front().kind == NodeKind::Array) path.children.front().cons_array = true;
  if (path.children.back().kind == NodeKind::Array) path.children.back().cons_array = true;
  return resolve_ancestry(path);
}

Result<Node> Processor::filter(Raw& raw) {
  std::vector<Raw> kids = std::move(raw.children);
  Node result;
  ZR_TRY(into(result, kids.at(0)));
  Node& target = last_step(result);
  if (target.group()) {
    // Recovering, the error node is the result; the predicate is still processed for its own errors.
    ZR_TRY(Node failed, failing(error("S0209", raw.span, raw.position)));
    Node dropped;
    ZR_TRY(into(dropped, kids.at(1)));
    return failed;
  }
  Node predicate;
  ZR_TRY(into(predicate, kids.at(1)));
  ZR_TRY(attach_filter(result, std::move(predicate), raw));
  return result;
}

Status Processor::attach_filter(Node& result, Node predicate, const Raw& raw) {
  Node& target = last_step(result);
  if (predicate.attrs) {
    // A "%" one level down inside the predicate reads the input of this very step.
    for (std::size_t slot : predicate.attrs->seeking) {
      if (slots_[slot].level == 1) {
        ZR_TRY(seek_parent(target, slot, depth_));
      } else if (slots_[slot].level > 1) {
        --slots_[slot].level;
      }
    }
  }
  pass_up(target, predicate);

  Stage stage;
  stage.kind = Stage::Kind::Filter;
  stage.span = from_token(raw.position, raw.span);
  stage.constant = is_constant(predicate);
  stage.predicate = std::make_unique<Node>(std::move(predicate));
  auto& list = result.kind == NodeKind::Path ? target.a_mut().stages : target.a_mut().predicates;
  list.push_back(std::move(stage));

  widen(target.span, raw.span);
  widen(result.span, raw.span);
  return {};
}

Result<Node> Processor::focus(Raw& raw) {
  std::vector<Raw> kids = std::move(raw.children);
  Node result;
  ZR_TRY(into(result, kids.at(0)));
  Node& target = last_step(result);
  if (target.has_stages() || target.has_predicates()) return failing(error("S0215", raw.span, raw.position));
  if (target.kind == NodeKind::Sort) return failing(error("S0216", raw.span, raw.position));
  if (raw.keep_array) target.keep_array = true;
  target.a_mut().focus = binding_name(kids.at(1));
  target.tuple = true;
  widen(result.span, raw.span);
  return result;
}

Result<Node> Processor::index(Raw& raw) {
  std::vector<Raw> kids = std::move(raw.children);
  Node result;
  ZR_TRY(into(result, kids.at(0)));
  std::string name = binding_name(kids.at(1));
  if (result.kind != NodeKind::Path) {
    if (result.has_predicates()) {
      result.attrs->stages = std::move(result.attrs->predicates);
      result.attrs->predicates.clear();
    }
    result = detail::wrap_in_path(std::move(result));
  }
  Node& target = result.children.back();
  if (target.has_stages()) {
    // After a predicate the position is counted among what the predicate kept.
    Stage stage;
    stage.kind = Stage::Kind::Index;
    stage.name = std::move(name);
    stage.span = from_token(raw.position, raw.span);
    target.attrs->stages.push_back(std::move(stage));
  } else {
    target.a_mut().index = std::move(name);
  }
  target.tuple = true;
  widen(result.span, raw.span);
  return result;
}

Result<Node> Processor::group_by(Raw& raw) {
  std::vector<Raw> kids = std::move(raw.children);
  Node node;
  ZR_TRY(into(node, kids.at(0)));
  std::unique_ptr<Node> failed;
  if (node.group()) {
    // Recovering, the error node is the result; the pairs are still processed for their own errors.
    ZR_TRY(Node bad, failing(error("S0210", raw.span, raw.position)));
    failed = std::make_unique<Node>(std::move(bad));
  }
  // Parent references inside a group-by are not handed up: the pairs run per group, not per step.
  std::vector<Node> flat;
  ZR_TRY(pairs(std::span<Raw>(kids).subspan(1), flat, nullptr));
  if (failed) return std::move(*failed);
  auto group = std::make_unique<ast::Group>();
  group->pairs.reserve(flat.size() / 2);
  for (std::size_t i = 0; i + 1 < flat.size(); i += 2)
    group->pairs.emplace_back(std::move(flat[i]), std::move(flat[i + 1]));
  group->span = from_token(raw.position, raw.span);
  node.a_mut().group = std::move(group);
  widen(node.span, raw.span);
  return node;
}

Result<Node> Processor::order_by(Raw& raw) {
  std::vector<Raw> kids = std::move(raw.children);
  Node result;
  ZR_TRY(into(result, kids.at(0)));
  if (result.kind != NodeKind::Path) result = detail::wrap_in_path(std::move(result));
  Node& sort = result.children.emplace_back(NodeKind::Sort, raw.span, raw.position);
  sort.children.reserve(kids.size() - 1);
  for (std::size_t i = 1; i < kids.size(); ++i) {
    ZR_TRY(into(sort.children.emplace_back(), kids[i]));
    pass_up(sort, sort.children.back());
  }
  sort.descending = std::move(raw.descending);
  ZR_TRY(resolve_ancestry(result));
  return result;
}

}  // namespace zarnu_core::process
