// Rewrites of the intermediate form before emission: small classes become lists, short loops are
// unrolled, single-character loops get their own form, literals become UTF-8 byte runs, empty parts go
// and parts that cannot match make their surroundings fail early.
#pragma once

#include <cstddef>

#include "interrupt.hpp"
#include "ir.hpp"

namespace zarnu_regex::optimizer {

// `poll`, when given, is asked at every node visited; once it says stop, the tree is left half rewritten
// (the caller discards it).
void optimize(ir::Node& root, interrupt::Poll* poll = nullptr);

// Whether a loop body may be unrolled: no nested loop and at most `budget` nodes.
bool is_unrollable(const ir::Node& node, std::size_t& budget);
bool contains_capture_groups(const ir::Node& node);

}  // namespace zarnu_regex::optimizer
