// What a thread lets go of as a call from Python starts work on it, whichever road the work then takes.
#pragma once

#include "document_object.hpp"
#include "support/pool.hpp"

namespace zarnu_py::entry {

// Drops the thread's copies of the documents that died since it last looked, then unmaps the segments it
// kept of an earlier peak once they are past their grace. Every call that evaluates or converts runs it
// first: the core's evaluation does the second too, but simple queries answered straight over the Python
// objects never enter it, and a worker answering only those would keep its peak for good. The copies go
// first, so that the segments they leave start their grace at once. Two loads and compares when there is
// nothing to let go.
inline void let_go() noexcept {
  document_object::drop_dead_copies();
  zarnu_core::pool::tidy();
}

}  // namespace zarnu_py::entry
