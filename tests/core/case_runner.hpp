// Language cases as data: each line of tests/cases/*.jsonl is one case, evaluated through the core's
// expression interface and compared with its expected result or error.
#pragma once

#include <string>
#include <vector>

#include "value/json.hpp"

namespace zarnu_test {

struct CaseOutcome {
  bool passed = true;
  std::string message;
};

// Runs one case (a JSON object: expr, input, bindings, options, and result, undefined or
// error/token/position).
CaseOutcome run_case(const zarnu_core::json::Json& c);

// The names of the case files.
std::vector<std::string> case_files();

}  // namespace zarnu_test
