// Parent references: each "%" gets a numbered slot, and the slot climbs the steps of the enclosing paths
// until it reaches the step whose input it names; that step binds its input under the slot's label.
#include <algorithm>
#include <string>

#include "syntax/process.hpp"

namespace zarnu_core::process {

using ast::Node;
using ast::NodeKind;

Node Processor::new_parent(const parser::Raw& raw) {
  Node node(NodeKind::Parent, raw.span, raw.position);
  node.slot = slots_.size();
  slots_.push_back(ast::Slot{"!" + std::to_string(node.slot), 1});
  return node;
}

namespace {

bool has_focus(const Node& step) noexcept {
  return step.attrs && step.attrs->focus.has_value();
}

}  // namespace

Status Processor::resolve_ancestry(Node& path) {
  if (path.kind != NodeKind::Path || path.children.empty()) return {};
  const Node& last = path.children.back();
  if (last.kind != NodeKind::Parent && (!last.attrs || last.attrs->seeking.empty())) return {};
  std::vector<std::size_t> sought;
  append_ancestry(last, sought);
  for (std::size_t slot : sought) {
    std::size_t i = path.children.size() - 1;
    while (slots_[slot].level >= 1) {
      if (i == 0) {
        // Not resolved within this path: the enclosing expression carries on.
        path.a_mut().seeking.push_back(slot);
        break;
      }
      --i;
      // Neighbouring steps that bind a focus keep their input items, so they count as one step.
      while (i > 0 && has_focus(path.children[i]) && has_focus(path.children[i - 1])) --i;
      ZR_TRY(seek_parent(path.children[i], slot, depth_));
    }
  }
  return {};
}

Status Processor::seek_parent(Node& step, std::size_t slot, std::size_t depth) {
  auto deeper = [&](Node& next) {
    return stack::nest(depth + 1, [&] { return seek_parent(next, slot, depth + 1); });
  };
  switch (step.kind) {
    case NodeKind::Name:
    case NodeKind::Wildcard: {
      ast::Slot& s = slots_[slot];
      if (s.level > 0) --s.level;
      if (s.level == 0) {
        ast::Attrs& a = step.a_mut();
        // Every "%" that resolves to this step shares one label, the one the step binds.
        if (a.ancestor) s.label = slots_[*a.ancestor].label;
        a.ancestor = slot;
        step.tuple = true;
      }
      return {};
    }
    case NodeKind::Parent:
      ++slots_[slot].level;
      return {};
    case NodeKind::Block:
      if (step.children.empty()) return {};
      step.tuple = true;
      return deeper(step.children.back());
    case NodeKind::Path: {
      step.tuple = true;
      std::size_t i = step.children.size();
      ZR_TRY(deeper(step.children[--i]));
      while (i > 0 && slots_[slot].level >= 1) ZR_TRY(deeper(step.children[--i]));
      return {};
    }
    default: {
      error::Error e = error("S0217", step.span, step.position).with_token(ast::type_name(step.kind));
      if (!recover_) return fail(std::move(e));
      // Recovering, the slot is left as it is and no node changes.
      errors_.push_back(std::move(e));
      reported_.push_back(slot);
      return {};
    }
  }
}

bool Processor::reported(std::size_t slot) const noexcept {
  return std::find(reported_.begin(), reported_.end(), slot) != reported_.end();
}

}  // namespace zarnu_core::process
