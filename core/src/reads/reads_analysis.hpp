// The read analysis: what an expression's processed tree reads of its input and of its bindings, found
// without evaluating it.
// The reads stage (reads/) hands the module the Reads answer that the cut parse
// (value/document) takes.
#pragma once

#include "value/reads.hpp"

namespace zarnu_core {
struct Bindings;
namespace ast {
struct Node;
}
}  // namespace zarnu_core

namespace zarnu_core::reads {

// What an expression's processed tree can read, found without evaluating it. Calls of the host functions
// in `bindings` (except those that ask for their call's context) read only their arguments and what
// their signatures take from the context; calls of anything the analysis cannot identify read their
// context whole. Never fails: when unsure it records more.
Reads analyse(const ast::Node& root);
Reads analyse(const ast::Node& root, const Bindings& bindings);

}  // namespace zarnu_core::reads
